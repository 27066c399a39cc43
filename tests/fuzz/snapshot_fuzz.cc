// Decodes arbitrary bytes as snapshot.bin.
#include <cstddef>
#include <cstdint>

#include "format/snapshot.h"
#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvid;
  BufferedReader in(std::string_view(reinterpret_cast<const char*>(data), size));
  SnapshotImage image;
  if (decode_snapshot(in, &image).ok()) {
    check_or_die(in.consumed() <= size, "consumed within input");
    // An open refuses, before building anything, a snapshot whose sets name
    // ids past its count (a few bytes can name four billion) and one that
    // counts more rows than offsets.bin holds, here a table of 2^24 rows.
    if (image.ids_past_count() || image.record_count > (1u << 24)) return 0;
    RecordState state;
    image.build(&state);
    check_or_die(state.live.cardinality() == image.live_count, "live count from the headers");
    check_or_die(image.live_max < 0 || state.live.maximum() == image.live_max,
                 "largest live id from the headers");
    check_bitmap(state.live);
    check_bitmap(state.dead);
  }
  return 0;
}
