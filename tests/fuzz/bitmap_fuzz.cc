// Decodes arbitrary bytes as a portable Roaring payload.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace corvid;
  Bitmap set;
  if (Bitmap::deserialize(std::string_view(reinterpret_cast<const char*>(data), size), &set)) {
    check_bitmap(set);
  }
  return 0;
}
