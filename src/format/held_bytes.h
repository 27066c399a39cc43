// Appends to one data file held in memory until they are written out: the
// bytes of the file from `start` on. A put then costs no system call; the
// log, written first, is what makes it recoverable until the bytes are out.
//
// Who may touch it: appends and drop_written() need the file to themselves
// (no reader beside them); write_out() and reads may run beside readers,
// and write_out() beside no other write_out() or append.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "format/file_view.h"
#include "format/status.h"

namespace corvid {

struct HeldBytes {
  // Held bytes are written out once this many wait.
  static constexpr size_t kLimit = 1 << 20;

  uint64_t start = 0;  // the file offset of bytes[0]
  std::string bytes;
  size_t written = 0;  // bytes[0, written) are in the file too

  bool empty() const { return bytes.empty(); }
  uint64_t end() const { return start + bytes.size(); }
  // Whether [offset, offset + len) starts among the held bytes.
  bool holds(uint64_t offset) const { return !bytes.empty() && offset >= start; }

  // Writes the bytes not yet written at their offsets in `fd`. On a failure
  // they stay held, to be written again: the same bytes at the same places.
  Status write_out(int fd);
  // Forgets what the file holds already.
  void drop_written();
  // Makes room for `n` bytes appended at `offset`: what is held is written
  // out first when the append would not follow it or the limit is reached.
  // After success, append() cannot fail.
  Status prepare(int fd, uint64_t offset, size_t n);
  void append(std::string_view data) { bytes.append(data); }

  // The end of what the file holds of them.
  uint64_t file_end() const { return start + written; }

  // Reads [offset, offset + len) of the file as it will be: the part below
  // `start` from `view` when it holds it, else from `fd`; the rest from
  // memory.
  Status read(int fd, const FileView* view, uint64_t offset, uint64_t len, char* out) const;
};

}  // namespace corvid
