// Shared checks for the fuzz targets: a set the decoder accepted must be
// exactly what it claims to be.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "format/bitmap.h"

namespace corvid {

inline void check_or_die(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "check failed: %s\n", what);
    std::abort();
  }
}

inline void check_bitmap(const Bitmap& set) {
  uint64_t count = 0;
  int64_t previous = -1;
  set.for_each([&](uint32_t id) {
    check_or_die(int64_t{id} > previous, "ids ascend");
    check_or_die(set.contains(id), "iterated id is contained");
    previous = id;
    ++count;
  });
  check_or_die(count == set.cardinality(), "cardinality matches iteration");
  Bitmap again;
  check_or_die(Bitmap::deserialize(set.serialize(), &again), "round trip decodes");
  check_or_die(roaring_bitmap_equals(set.raw(), again.raw()), "round trip is equal");
}

}  // namespace corvid
