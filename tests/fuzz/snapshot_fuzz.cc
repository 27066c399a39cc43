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
    RecordState state;
    image.build(&state);
    check_or_die(state.live.cardinality() == image.live_count, "live count from the headers");
    check_or_die(state.dead.cardinality() == image.dead_count, "dead count from the headers");
    check_bitmap(state.live);
    check_bitmap(state.dead);
  }
  return 0;
}
