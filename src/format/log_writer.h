// The appending side of wal.bin: entries are encoded piece by piece into an
// 8,192-byte buffer that reaches the file only when it overflows, when it is
// flushed, or when the writer is destroyed.
#pragma once

#include <string_view>

#include "format/buffered_writer.h"
#include "format/log_format.h"

namespace corvid {

class LogWriter {
 public:
  explicit LogWriter(Fd fd) : out_(std::move(fd), kLogBufferSize) {}

  Status append_put(std::string_view key, std::string_view value);
  Status append_delete(std::string_view key);
  // Writes out the pending bytes, so that the file holds every entry so far.
  Status flush() { return out_.flush(); }
  // Sets the file to length 0 and position 0; the buffer is left alone.
  Status empty_file();
  // Drops the pending entries: they belong to another process's writer.
  void abandon() { out_.discard(); }

  size_t pending() const { return out_.pending(); }
  int fd() const { return out_.fd(); }

 private:
  Status append_key(WalEntry::Type type, std::string_view key);

  BufferedWriter out_;
};

}  // namespace corvid
