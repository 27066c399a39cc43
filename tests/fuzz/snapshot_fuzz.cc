// Decodes arbitrary bytes as snapshot.bin.
#include <cstddef>
#include <cstdint>

#include "format/snapshot.h"
#include "fuzz_checks.h"
#include "store/hash_map.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvid;
  BufferedReader in(std::string_view(reinterpret_cast<const char*>(data), size));
  auto index = new_hash_map<uint64_t, uint32_t>();
  Bitmap live, dead;
  SnapshotCounters counters;
  if (decode_snapshot(in, &index, &live, &dead, &counters).ok()) {
    check_or_die(in.consumed() <= size, "consumed within input");
    check_bitmap(live);
    check_bitmap(dead);
  }
  return 0;
}
