// Decodes arbitrary bytes as wal.bin, entry after entry.
#include <cstddef>
#include <cstdint>

#include "format/log_reader.h"
#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvid;
  BufferedReader in(std::string_view(reinterpret_cast<const char*>(data), size));
  WalEntry entry;
  uint64_t previous = 0;
  while (decode_wal_entry(in, &entry).ok()) {
    check_or_die(valid_utf8(entry.key), "keys are UTF-8");
    check_or_die(in.consumed() > previous && in.consumed() <= size, "progress within input");
    check_or_die(entry.type == WalEntry::Type::kPut || entry.value.empty(), "delete has no value");
    previous = in.consumed();
  }
  return 0;
}
