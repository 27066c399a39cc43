#include "format/held_bytes.h"

#include <algorithm>
#include <cstring>

#include "format/file_util.h"

namespace corvid {

Status HeldBytes::write_out(int fd) {
  if (written == bytes.size()) return Status();
  Status s = write_all_at(fd, bytes.data() + written, bytes.size() - written, start + written);
  if (s.ok()) written = bytes.size();
  return s;
}

void HeldBytes::drop_written() {
  if (written == 0) return;
  start += written;
  bytes.erase(0, written);
  written = 0;
}

Status HeldBytes::prepare(int fd, uint64_t offset, size_t n) {
  drop_written();
  if (!bytes.empty() && (offset != end() || bytes.size() + n > kLimit)) {
    Status s = write_out(fd);
    if (!s.ok()) return s;
    drop_written();
  }
  if (bytes.empty()) start = offset;
  // Doubling growth, as append would, but before anything changes.
  if (bytes.capacity() < bytes.size() + n) {
    bytes.reserve(std::max(bytes.size() + n, 2 * bytes.capacity()));
  }
  return Status();
}

Status HeldBytes::read(int fd, const FileView* view, uint64_t offset, uint64_t len,
                       char* out) const {
  uint64_t from_file = len;
  if (!bytes.empty() && offset + len > start) from_file = offset >= start ? 0 : start - offset;
  if (from_file > 0 && (view == nullptr || !view->read(offset, from_file, out))) {
    Status s = read_exact_at(fd, out, static_cast<size_t>(from_file), offset);
    if (!s.ok()) return s;
  }
  if (from_file == len) return Status();
  const uint64_t at = offset + from_file - start;
  if (at + (len - from_file) > bytes.size()) return Status::UnexpectedEof();
  std::memcpy(out + from_file, bytes.data() + at, static_cast<size_t>(len - from_file));
  return Status();
}

}  // namespace corvid
