#include "format/buffered_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "format/coding.h"

namespace corvid {

namespace {

// A corrupt length must end in "end of input", not in a huge reservation.
constexpr size_t kMaxReserveAhead = 1 << 20;

Status invalid_data() { return Status::Custom(ErrorKind::kInvalidInput, "invalid data"); }

}  // namespace

BufferedReader::BufferedReader(int fd, size_t capacity)
    : fd_(fd), owned_(new uint8_t[capacity]), buf_(owned_.get()), capacity_(capacity) {}

BufferedReader::BufferedReader(std::string_view bytes)
    : buf_(reinterpret_cast<const uint8_t*>(bytes.data())),
      capacity_(bytes.size()),
      filled_(bytes.size()) {}

Status BufferedReader::refill() {
  if (fd_ < 0) return Status::UnexpectedEof();
  for (;;) {
    ssize_t got = ::read(fd_, owned_.get(), capacity_);
    if (got < 0) {
      if (errno == EINTR) continue;
      return Status::FromErrno(errno);
    }
    if (got == 0) return Status::UnexpectedEof();
    pos_ = 0;
    filled_ = static_cast<size_t>(got);
    return Status();
  }
}

Status BufferedReader::read_exact(void* dst, size_t n) {
  auto* out = static_cast<uint8_t*>(dst);
  while (n > 0) {
    if (pos_ == filled_ && n >= capacity_ && fd_ >= 0) {
      // Large reads go straight to their destination.
      ssize_t got = ::read(fd_, out, n);
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return Status::FromErrno(errno);
      if (got == 0) return Status::UnexpectedEof();
      consumed_ += static_cast<size_t>(got);
      out += got;
      n -= static_cast<size_t>(got);
      continue;
    }
    if (pos_ == filled_) {
      Status s = refill();
      if (!s.ok()) return s;
    }
    size_t take = std::min(n, filled_ - pos_);
    std::memcpy(out, buf_ + pos_, take);
    pos_ += take;
    consumed_ += take;
    out += take;
    n -= take;
  }
  return Status();
}

Status decode_u32(BufferedReader& in, uint32_t* out) {
  if (const uint8_t* p = in.take_buffered(4)) {
    *out = decode_fixed32(p);
    return Status();
  }
  uint8_t raw[4];
  Status s = in.read_exact(raw, 4);
  if (s.ok()) *out = decode_fixed32(raw);
  return s;
}

Status decode_u64(BufferedReader& in, uint64_t* out) {
  if (const uint8_t* p = in.take_buffered(8)) {
    *out = decode_fixed64(p);
    return Status();
  }
  uint8_t raw[8];
  Status s = in.read_exact(raw, 8);
  if (s.ok()) *out = decode_fixed64(raw);
  return s;
}

Status decode_bytes(BufferedReader& in, std::string* out) {
  uint64_t length;
  Status s = decode_u64(in, &length);
  if (!s.ok()) return s;
  if (const uint8_t* p = in.take_buffered(length)) {
    out->assign(reinterpret_cast<const char*>(p), length);
    return Status();
  }
  out->clear();
  while (out->size() < length) {
    size_t chunk = static_cast<size_t>(std::min<uint64_t>(length - out->size(), kMaxReserveAhead));
    size_t at = out->size();
    out->resize(at + chunk);
    s = in.read_exact(out->data() + at, chunk);
    if (!s.ok()) return s;
  }
  return Status();
}

Status decode_text(BufferedReader& in, std::string* out) {
  Status s = decode_bytes(in, out);
  if (s.ok() && !valid_utf8(*out)) return invalid_data();
  return s;
}

bool valid_utf8(std::string_view s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  const size_t n = s.size();
  size_t i = 0;
  while (i < n) {
    uint8_t c = p[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint8_t lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;  // no overlong forms
      if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    if (n - i < len) return false;
    if (p[i + 1] < lo || p[i + 1] > hi) return false;
    for (size_t k = 2; k < len; ++k) {
      if ((p[i + k] & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

}  // namespace corvid
