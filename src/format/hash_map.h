// The in-memory hash maps of the engine. Each instance seeds its own bucket
// hashing, so iteration order differs between instances and runs; nothing on
// disk depends on it.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>
#include <cstdint>
#include <functional>
#include <utility>

#include "format/huge_pages.h"

namespace corvid {

struct SeededHash {
  using is_avalanching = void;
  uint64_t seed = 0;

  size_t operator()(uint64_t x) const {
    x ^= seed;
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    x ^= x >> 33;
    return x;
  }
};

// A fresh seed from the kernel's random source.
SeededHash new_seeded_hash();

template <class K, class V>
using HashMap = boost::unordered_flat_map<K, V, SeededHash, std::equal_to<K>,
                                          HugePageAllocator<std::pair<const K, V>>>;

template <class K, class V>
HashMap<K, V> new_hash_map() {
  return HashMap<K, V>(0, new_seeded_hash());
}

}  // namespace corvid
