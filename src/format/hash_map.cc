#include "format/hash_map.h"

#include <sys/random.h>

#include <chrono>

namespace corvid {

SeededHash new_seeded_hash() {
  SeededHash h;
  if (::getrandom(&h.seed, sizeof h.seed, GRND_NONBLOCK) != sizeof h.seed) {
    h.seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
             reinterpret_cast<uintptr_t>(&h);
  }
  return h;
}

}  // namespace corvid
