// Byte ranges of one file, asked for mostly front to back -- the keys or
// values of ascending RecordIds -- read through one large buffer: one read
// call per few MiB instead of one per range.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "format/status.h"

namespace corvid {

class SpanReader {
 public:
  // Reads ahead no further than `limit`, the file's in-use length.
  SpanReader(int fd, uint64_t limit) : fd_(fd), limit_(limit) {}

  // *out views the `len` bytes at `offset` until the next call. Fails as a
  // positioned read would: "failed to fill whole buffer" past the file's end.
  Status read(uint64_t offset, uint32_t len, std::string_view* out);

 private:
  static constexpr uint64_t kSpan = 4 << 20;

  int fd_;
  uint64_t limit_;
  std::string buf_;
  uint64_t start_ = 0;  // the file offset of buf_[0]
};

}  // namespace corvid
