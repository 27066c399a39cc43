// wal.bin: WalEntry records back to back, with no header or framing. An entry
// is a u32 tag (0 Put, 1 Delete), the key as a u64 length plus UTF-8 bytes,
// and for Put the value as a u64 length plus its bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace corvid {

inline constexpr size_t kLogBufferSize = 8192;

struct WalEntry {
  enum class Type : uint32_t { kPut = 0, kDelete = 1 };
  Type type = Type::kPut;
  std::string key;
  std::string value;  // Put only
};

}  // namespace corvid
