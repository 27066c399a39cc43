#include "store/key_hash.h"

#include <bit>

#include "format/coding.h"

namespace corvid {

namespace {

struct SipState {
  uint64_t v0 = 0x736f6d6570736575ULL;
  uint64_t v1 = 0x646f72616e646f6dULL;
  uint64_t v2 = 0x6c7967656e657261ULL;
  uint64_t v3 = 0x7465646279746573ULL;

  void round() {
    v0 += v1;
    v1 = std::rotl(v1, 13);
    v1 ^= v0;
    v0 = std::rotl(v0, 32);
    v2 += v3;
    v3 = std::rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = std::rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = std::rotl(v1, 17);
    v1 ^= v2;
    v2 = std::rotl(v2, 32);
  }

  void compress(uint64_t block) {
    v3 ^= block;
    round();
    v0 ^= block;
  }
};

}  // namespace

uint64_t key_hash(std::string_view key) {
  // The message is the key plus a 0xFF terminator, so it is one byte longer.
  const auto* p = reinterpret_cast<const uint8_t*>(key.data());
  const size_t n = key.size() + 1;
  SipState s;
  size_t whole = key.size() / 8;
  for (size_t i = 0; i < whole; ++i) s.compress(decode_fixed64(p + i * 8));

  // The bytes left over (0 to 6 of the key, then 0xFF) or, when the key fills
  // whole blocks, the 0xFF alone -- unless 0xFF completes a block of its own.
  size_t rest = key.size() - whole * 8;
  uint64_t tail = 0;
  for (size_t i = 0; i < rest; ++i) tail |= uint64_t{p[whole * 8 + i]} << (8 * i);
  if (rest == 7) {
    s.compress(tail | (uint64_t{0xFF} << 56));
    tail = 0;
  } else {
    tail |= uint64_t{0xFF} << (8 * rest);
  }
  s.compress(tail | (uint64_t{n & 0xFF} << 56));

  s.v2 ^= 0xFF;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace corvid
