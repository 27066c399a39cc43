// The dump format: one JSON object per line, {"key": ..., "value_b64": ...}.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace corvid::cli {

std::string base64_encode(std::string_view bytes);
std::optional<std::string> base64_decode(std::string_view text);

// `s` as a JSON string literal, quotes included.
std::string json_string(std::string_view s);

// One line of the dump format for a UTF-8 key and any value, without newline.
std::string dump_line(std::string_view key, std::string_view value);

// Parses one line of the dump format; on failure returns false with *error set.
bool parse_line(std::string_view line, std::string* key, std::string* value, std::string* error);

}  // namespace corvid::cli
