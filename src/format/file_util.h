// Thin wrappers over the POSIX file calls: every one repeats a call
// interrupted by a signal and reports failure as a Status.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "format/status.h"

namespace corvid {

// An owned file descriptor, closed on destruction (errors ignored).
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }
  explicit operator bool() const { return fd_ >= 0; }
  void reset();

 private:
  int fd_ = -1;
};

// Creates `path` and its missing parents (0o777 before umask); an existing
// directory is success.
Status make_dirs(const std::string& path);

// Opens close-on-exec, creating with 0o666 before umask when O_CREAT is
// given. Only a regular file opens (a directory with O_DIRECTORY): anything
// else -- a FIFO, a device, a socket -- is refused without blocking, and a
// directory fails as opening it for writing would (EISDIR).
Status open_file(const std::string& path, int flags, Fd* out);
// Removes `path`; one that is not there is success.
Status remove_file(const std::string& path);

Status file_length(int fd, uint64_t* length);
Status set_length(int fd, uint64_t length);
// Gives the bytes [offset, offset + length) of the file blocks of their own,
// lengthening it as needed: writes there, through a mapping too, can then
// no longer fail for want of space.
Status reserve_blocks(int fd, uint64_t offset, uint64_t length);
// The same for bytes past the end of the file, which keeps its length.
Status reserve_beyond_end(int fd, uint64_t offset, uint64_t length);
Status sync_file(int fd);
// Starts writing the file's dirty pages to the disk without waiting: a
// later sync then has less to wait for. Only a hint; errors are ignored (a
// sync reports them).
void start_writeback(int fd);
// Forces the file's data, and the metadata needed to read it back (its
// length), to the disk: fdatasync.
Status sync_data(int fd);
// Syncs the storage directory `dir` itself: its entries, after a rename.
Status sync_dir(const std::string& dir);
Status rename_file(const std::string& from, const std::string& to);
// True when `path` names something whose metadata can be read.
bool path_exists(const std::string& path);

// Reads exactly n bytes at `offset`; a short file gives "failed to fill whole buffer".
Status read_exact_at(int fd, void* buf, size_t n, uint64_t offset);
// Whether the file holds exactly these n bytes at `offset`; a read that
// fails or comes short says no.
bool holds_bytes_at(int fd, const void* buf, size_t n, uint64_t offset);
// Writes all n bytes at `offset`; a write taking nothing gives "failed to write whole buffer".
Status write_all_at(int fd, const void* buf, size_t n, uint64_t offset);
// Writes all n bytes at the file position (the end, for a file opened to
// append); a write taking nothing fails with `zero_text`. `*written` counts
// the bytes that reached the file, also on failure.
Status write_all(int fd, const void* buf, size_t n, const char* zero_text, size_t* written);

}  // namespace corvid
