#include "format/log_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "format/coding.h"

namespace corvid {

namespace {

Status broken_log() {
  return Status::Custom(ErrorKind::kUncategorized,
                        "wal.bin ends in a torn entry that could not be cut back after a failed "
                        "write; reopen the store");
}

}  // namespace

Status LogWriter::reserve_more() {
  // Well ahead, so that a log written out at every call reserves once per
  // many calls, not at each; a nearly full disk still gets the buffer's worth.
  uint64_t ahead = kReserveAhead;
  Status s = reserve_beyond_end(out_.fd(), file_length_, ahead);
  if (s.code() == ENOSPC || s.code() == EDQUOT) {
    ahead = kLogBufferSize;
    s = reserve_beyond_end(out_.fd(), file_length_, ahead);
  }
  if (s.code() == EOPNOTSUPP || s.code() == ENOSYS) {
    can_reserve_ = false;
    return Status();
  }
  if (s.ok()) reserved_end_ = file_length_ + ahead;
  return s;
}

template <class Append>
Status LogWriter::append(Append write_entry) {
  if (broken_) return broken_log();
  // The entry's buffered bytes need their room before it is acknowledged,
  // and again once a write-out has moved the file's end.
  Status s = keep_reserved();
  if (!s.ok()) return s;
  const uint64_t mark = end();
  const uint64_t before = out_.written();
  s = write_entry();
  note_written(before);
  if (s.ok()) s = keep_reserved();
  if (!s.ok()) (void)roll_back(mark);
  return s;
}

Status LogWriter::roll_back(uint64_t mark) {
  if (file_length_ <= mark) {
    // Everything after the mark is still in the buffer.
    out_.discard(static_cast<size_t>(mark - file_length_));
    return Status();
  }
  // Part of it reached the file: everything pending lies beyond the mark.
  out_.discard();
  Status s = set_length(out_.fd(), mark);
  if (!s.ok()) {
    broken_ = true;
    return s;
  }
  file_length_ = mark;
  reserved_end_ = 0;  // cutting may have given the reserved blocks back
  return Status();
}

Status LogWriter::append_key(WalEntry::Type type, std::string_view key) {
  uint8_t tag[4];
  encode_fixed32(tag, static_cast<uint32_t>(type));
  Status s = out_.write(tag, sizeof tag);
  if (!s.ok()) return s;
  uint8_t len[8];
  encode_fixed64(len, key.size());
  s = out_.write(len, sizeof len);
  if (!s.ok()) return s;
  return out_.write(key.data(), key.size());
}

Status LogWriter::append_put(std::string_view key, std::string_view value) {
  return append([&] {
    Status s = append_key(WalEntry::Type::kPut, key);
    if (!s.ok()) return s;
    uint8_t len[8];
    encode_fixed64(len, value.size());
    s = out_.write(len, sizeof len);
    if (!s.ok()) return s;
    return out_.write_bytewise(value);
  });
}

Status LogWriter::append_delete(std::string_view key) {
  return append([&] { return append_key(WalEntry::Type::kDelete, key); });
}

Status LogWriter::flush() {
  const uint64_t before = out_.written();
  Status s = out_.flush();
  note_written(before);
  if (s.ok()) (void)keep_reserved();  // nothing is pending; the next append tries again
  return s;
}

Status LogWriter::empty_file() {
  Status s = set_length(out_.fd(), 0);
  return s.ok() ? file_emptied() : s;
}

Status LogWriter::file_emptied() {
  file_length_ = 0;
  reserved_end_ = 0;
  broken_ = false;  // the torn entry went with the rest
  (void)keep_reserved();
  if (::lseek(out_.fd(), 0, SEEK_SET) < 0) return Status::FromErrno(errno);
  return Status();
}

}  // namespace corvid
