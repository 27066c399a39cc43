#include "cli/json_lines.h"

#include <cstdint>

#include "format/buffered_reader.h"

namespace corvid::cli {

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

void append_utf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | (cp >> 6));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out += static_cast<char>(0xE0 | (cp >> 12));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (cp >> 18));
    *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

void append_json_string(std::string* out, std::string_view s) {
  static const char* hex = "0123456789abcdef";
  *out += '"';
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        *out += "\\\"";
        break;
      case '\\':
        *out += "\\\\";
        break;
      case '\n':
        *out += "\\n";
        break;
      case '\r':
        *out += "\\r";
        break;
      case '\t':
        *out += "\\t";
        break;
      default:
        if (c < 0x20) {
          *out += "\\u00";
          *out += hex[c >> 4];
          *out += hex[c & 15];
        } else {
          *out += static_cast<char>(c);
        }
    }
  }
  *out += '"';
}

// A small parser for exactly the objects the dump writes: string members only.
class Parser {
 public:
  explicit Parser(std::string_view s) : s_(s) {}

  bool object(std::string* key, std::string* value_b64, std::string* error) {
    bool have_key = false, have_value = false;
    skip_space();
    if (!eat('{')) return fail(error, "expected '{'");
    skip_space();
    if (!eat('}')) {
      for (;;) {
        std::string name, text;
        skip_space();
        if (!string(&name)) return fail(error, "expected a member name in double quotes");
        skip_space();
        if (!eat(':')) return fail(error, "expected ':'");
        skip_space();
        if (!string(&text)) return fail(error, "member values must be strings");
        if (name == "key") {
          *key = std::move(text);
          have_key = true;
        } else if (name == "value_b64") {
          *value_b64 = std::move(text);
          have_value = true;
        } else {
          return fail(error, "unexpected member \"" + name + "\"");
        }
        skip_space();
        if (eat('}')) break;
        if (!eat(',')) return fail(error, "expected ',' or '}'");
      }
    }
    skip_space();
    if (pos_ != s_.size()) return fail(error, "unexpected text after the object");
    if (!have_key || !have_value) return fail(error, "needs both \"key\" and \"value_b64\"");
    return true;
  }

 private:
  static bool fail(std::string* error, std::string what) {
    *error = std::move(what);
    return false;
  }
  void skip_space() {
    while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\r')) ++pos_;
  }
  bool eat(char c) {
    if (pos_ < s_.size() && s_[pos_] == c) {
      ++pos_;
      return true;
    }
    return false;
  }
  bool hex4(uint32_t* out) {
    if (s_.size() - pos_ < 4) return false;
    *out = 0;
    for (int i = 0; i < 4; ++i) {
      char c = s_[pos_++];
      int d = (c >= '0' && c <= '9')   ? c - '0'
              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                       : -1;
      if (d < 0) return false;
      *out = *out * 16 + static_cast<uint32_t>(d);
    }
    return true;
  }
  bool string(std::string* out) {
    if (!eat('"')) return false;
    out->clear();
    while (pos_ < s_.size()) {
      unsigned char c = static_cast<unsigned char>(s_[pos_++]);
      if (c == '"') return valid_utf8(*out);
      if (c < 0x20) return false;
      if (c != '\\') {
        *out += static_cast<char>(c);
        continue;
      }
      if (pos_ == s_.size()) return false;
      char e = s_[pos_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          *out += e;
          break;
        case 'b':
          *out += '\b';
          break;
        case 'f':
          *out += '\f';
          break;
        case 'n':
          *out += '\n';
          break;
        case 'r':
          *out += '\r';
          break;
        case 't':
          *out += '\t';
          break;
        case 'u': {
          uint32_t cp;
          if (!hex4(&cp)) return false;
          if (cp >= 0xD800 && cp < 0xDC00) {  // a surrogate pair
            uint32_t low;
            if (!eat('\\') || !eat('u') || !hex4(&low) || low < 0xDC00 || low > 0xDFFF) {
              return false;
            }
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp < 0xE000) {
            return false;
          }
          append_utf8(out, cp);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  std::string_view s_;
  size_t pos_ = 0;
};

}  // namespace

std::string base64_encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = (uint8_t(bytes[i]) << 16) | (uint8_t(bytes[i + 1]) << 8) | uint8_t(bytes[i + 2]);
    for (int k = 18; k >= 0; k -= 6) out += kAlphabet[(v >> k) & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = uint8_t(bytes[i]) << 16;
    if (rest == 2) v |= uint8_t(bytes[i + 1]) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<std::string> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    int a = sextet(text[i]), b = sextet(text[i + 1]);
    bool last = i + 4 == text.size();
    int c = last && text[i + 2] == '=' ? -2 : sextet(text[i + 2]);
    int d = last && text[i + 3] == '=' ? -2 : sextet(text[i + 3]);
    if (a < 0 || b < 0 || c == -1 || d == -1 || (c == -2 && d != -2)) return std::nullopt;
    uint32_t v = (a << 18) | (b << 12) | ((c < 0 ? 0 : c) << 6) | (d < 0 ? 0 : d);
    out += static_cast<char>(v >> 16);
    if (c >= 0) out += static_cast<char>((v >> 8) & 0xFF);
    if (d >= 0) out += static_cast<char>(v & 0xFF);
  }
  return out;
}

std::string json_string(std::string_view s) {
  std::string out;
  append_json_string(&out, s);
  return out;
}

std::string dump_line(std::string_view key, std::string_view value) {
  std::string out = "{\"key\": ";
  append_json_string(&out, key);
  out += ", \"value_b64\": \"";
  out += base64_encode(value);
  out += "\"}";
  return out;
}

bool parse_line(std::string_view line, std::string* key, std::string* value, std::string* error) {
  std::string b64;
  if (!Parser(line).object(key, &b64, error)) return false;
  auto decoded = base64_decode(b64);
  if (!decoded) {
    *error = "value_b64 is not valid base64";
    return false;
  }
  *value = std::move(*decoded);
  return true;
}

}  // namespace corvid::cli
