// A write buffer in front of a file. The rule for each piece handed to it
// decides exactly which bytes reach the file and when: a piece that fits is
// copied; otherwise the pending bytes are written out first, and then the
// piece is copied when it is smaller than the buffer, or written straight
// through when it is not.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "format/file_util.h"
#include "format/status.h"

namespace corvid {

class BufferedWriter {
 public:
  BufferedWriter(Fd fd, size_t capacity);
  // Writes out what is still pending, ignoring failure, and closes the file.
  ~BufferedWriter();
  BufferedWriter(const BufferedWriter&) = delete;
  BufferedWriter& operator=(const BufferedWriter&) = delete;

  Status write(const void* data, size_t n);
  // Same bytes at the same moments as handing over `bytes` one byte at a time.
  Status write_bytewise(std::string_view bytes);
  // Writes out the pending bytes; on failure the unwritten ones stay pending.
  Status flush();
  // Drops the pending bytes unwritten, or all but the first `keep`.
  void discard(size_t keep = 0) { pending_ = std::min(pending_, keep); }

  size_t pending() const { return pending_; }
  // Bytes that have reached the file since the writer was made.
  uint64_t written() const { return written_; }
  int fd() const { return fd_.get(); }

 private:
  Fd fd_;
  size_t capacity_;
  std::unique_ptr<uint8_t[]> buf_;
  size_t pending_ = 0;
  uint64_t written_ = 0;
};

}  // namespace corvid
