// Fixed-width little-endian integers, the only integer form in any file.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace corvid {

static_assert(std::endian::native == std::endian::little, "files are written little-endian");

inline void encode_fixed32(uint8_t* dst, uint32_t value) { std::memcpy(dst, &value, 4); }
inline void encode_fixed64(uint8_t* dst, uint64_t value) { std::memcpy(dst, &value, 8); }

inline uint32_t decode_fixed32(const uint8_t* src) {
  uint32_t value;
  std::memcpy(&value, src, 4);
  return value;
}

inline uint64_t decode_fixed64(const uint8_t* src) {
  uint64_t value;
  std::memcpy(&value, src, 8);
  return value;
}

}  // namespace corvid
