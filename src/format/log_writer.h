// The appending side of wal.bin: entries are encoded piece by piece into an
// 8,192-byte buffer that reaches the file only when it overflows, when it is
// flushed, or when the writer is destroyed.
//
// An append that fails leaves nothing behind: its bytes are taken back out
// of the buffer and whatever part of it reached the file is cut off again,
// so that no later entry lands behind a torn one. When the cut itself fails
// the writer refuses every later append: nothing then lands behind the
// failed entry, which the next open cuts when it is torn (and replays when
// it reached the file whole).
//
// The file keeps at least a buffer's worth of blocks reserved past its end
// (reserved several buffers ahead at a time), and an append is acknowledged
// only while they are: what is still buffered can then always be written
// out, also at release on a full disk. A file system that cannot reserve
// past the end goes without.
#pragma once

#include <cstdint>
#include <string_view>

#include "format/buffered_writer.h"
#include "format/log_format.h"

namespace corvid {

class LogWriter {
 public:
  // `fd` is open for appending to a file of `file_length` bytes.
  LogWriter(Fd fd, uint64_t file_length)
      : out_(std::move(fd), kLogBufferSize), file_length_(file_length) {
    (void)keep_reserved();  // an append tries again
  }

  // Where the log ends, its pending bytes included: a point to roll back to.
  uint64_t end() const { return file_length_ + out_.pending(); }
  // Takes back everything appended after `mark` (an earlier end()).
  Status roll_back(uint64_t mark);

  Status append_put(std::string_view key, std::string_view value);
  Status append_delete(std::string_view key);
  // Writes out the pending bytes, so that the file holds every entry so far.
  Status flush();
  // Sets the file to length 0 and position 0; the buffer is left alone.
  Status empty_file();
  // Takes up the file as empty: set to length 0 from elsewhere, while
  // nothing was pending and nothing else used the writer.
  Status file_emptied();
  // Drops the pending entries: they belong to another process's writer.
  void abandon() { out_.discard(); }

  size_t pending() const { return out_.pending(); }
  int fd() const { return out_.fd(); }

 private:
  template <class Append>
  Status append(Append write_entry);
  Status append_key(WalEntry::Type type, std::string_view key);
  // Counts what the last operation wrote to the file.
  void note_written(uint64_t before) { file_length_ += out_.written() - before; }
  // Reserves blocks for a full buffer past the file's end, unless they are.
  Status keep_reserved() {
    if (!can_reserve_ || reserved_end_ >= file_length_ + kLogBufferSize) return Status();
    return reserve_more();
  }
  Status reserve_more();
  static constexpr uint64_t kReserveAhead = 8 * kLogBufferSize;

  BufferedWriter out_;
  uint64_t file_length_;       // bytes in the file
  uint64_t reserved_end_ = 0;  // blocks are reserved up to here
  bool can_reserve_ = true;    // false where the file system cannot
  bool broken_ = false;        // a failed append could not be cut back
};

}  // namespace corvid
