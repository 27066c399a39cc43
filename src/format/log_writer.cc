#include "format/log_writer.h"

#include <unistd.h>

#include <cerrno>

#include "format/coding.h"

namespace corvid {

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
  Status s = append_key(WalEntry::Type::kPut, key);
  if (!s.ok()) return s;
  uint8_t len[8];
  encode_fixed64(len, value.size());
  s = out_.write(len, sizeof len);
  if (!s.ok()) return s;
  return out_.write_bytewise(value);
}

Status LogWriter::append_delete(std::string_view key) {
  return append_key(WalEntry::Type::kDelete, key);
}

Status LogWriter::empty_file() {
  Status s = set_length(out_.fd(), 0);
  if (!s.ok()) return s;
  if (::lseek(out_.fd(), 0, SEEK_SET) < 0) return Status::FromErrno(errno);
  return Status();
}

}  // namespace corvid
