// Decodes arbitrary bytes as snapshot.bin.
#include <cstddef>
#include <cstdint>

#include "format/snapshot.h"
#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvid;
  BufferedReader in(std::string_view(reinterpret_cast<const char*>(data), size));
  RecordState state;
  if (decode_snapshot(in, &state).ok()) {
    check_or_die(in.consumed() <= size, "consumed within input");
    check_bitmap(state.live);
    check_bitmap(state.dead);
  }
  return 0;
}
