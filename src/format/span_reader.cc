#include "format/span_reader.h"

#include <algorithm>

#include "format/file_util.h"

namespace corvid {

Status SpanReader::read(uint64_t offset, uint32_t len, std::string_view* out) {
  if (offset < start_ || offset + len > start_ + buf_.size()) {
    const uint64_t ahead = offset < limit_ ? std::min(kSpan, limit_ - offset) : 0;
    const auto want = static_cast<size_t>(std::max<uint64_t>(len, ahead));
    buf_.resize(want);
    Status s = read_exact_at(fd_, buf_.data(), want, offset);
    if (s.kind() == ErrorKind::kUnexpectedEof && want > len) {
      // A file shorter than its counters: the range alone may still be there.
      buf_.resize(len);
      s = read_exact_at(fd_, buf_.data(), len, offset);
    }
    if (!s.ok()) {
      buf_.clear();
      return s;
    }
    start_ = offset;
  }
  *out = std::string_view(buf_).substr(static_cast<size_t>(offset - start_), len);
  return Status();
}

}  // namespace corvid
