// KeyHash: the persisted 64-bit hash of a key, SipHash-1-3 under an all-zero
// key over the key's UTF-8 bytes followed by one 0xFF byte. It is written to
// snapshot.bin, so it must never change.
#pragma once

#include <cstdint>
#include <string_view>

namespace corvid {

uint64_t key_hash(std::string_view key);

}  // namespace corvid
