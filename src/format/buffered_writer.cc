#include "format/buffered_writer.h"

#include <algorithm>
#include <cstring>

namespace corvid {

BufferedWriter::BufferedWriter(Fd fd, size_t capacity)
    : fd_(std::move(fd)), capacity_(capacity), buf_(new uint8_t[capacity]) {}

BufferedWriter::~BufferedWriter() { (void)flush(); }

Status BufferedWriter::flush() {
  if (pending_ == 0) return Status();
  size_t written = 0;
  Status s =
      write_all(fd_.get(), buf_.get(), pending_, "failed to write the buffered data", &written);
  written_ += written;
  if (written > 0) {
    std::memmove(buf_.get(), buf_.get() + written, pending_ - written);
    pending_ -= written;
  }
  return s;
}

Status BufferedWriter::write(const void* data, size_t n) {
  if (n <= capacity_ - pending_) {
    std::memcpy(buf_.get() + pending_, data, n);
    pending_ += n;
    return Status();
  }
  Status s = flush();
  if (!s.ok()) return s;
  if (n < capacity_) {
    std::memcpy(buf_.get(), data, n);
    pending_ = n;
    return Status();
  }
  size_t written = 0;
  s = write_all(fd_.get(), data, n, "failed to write whole buffer", &written);
  written_ += written;
  return s;
}

Status BufferedWriter::write_bytewise(std::string_view bytes) {
  // A single byte always fits an empty buffer, so the buffer is written out
  // only when it is full and another byte arrives.
  while (!bytes.empty()) {
    if (pending_ == capacity_) {
      Status s = flush();
      if (!s.ok()) return s;
    }
    size_t n = std::min(capacity_ - pending_, bytes.size());
    std::memcpy(buf_.get() + pending_, bytes.data(), n);
    pending_ += n;
    bytes.remove_prefix(n);
  }
  return Status();
}

}  // namespace corvid
