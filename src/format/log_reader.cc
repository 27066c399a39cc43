#include "format/log_reader.h"

#include <fcntl.h>

#include "format/file_util.h"

namespace corvid {

Status decode_wal_entry(BufferedReader& in, WalEntry* entry) {
  uint32_t tag;
  Status s = decode_u32(in, &tag);
  if (!s.ok()) return s;
  if (tag > 1) return Status::Custom(ErrorKind::kInvalidInput, "invalid entry tag");
  entry->type = static_cast<WalEntry::Type>(tag);
  s = decode_text(in, &entry->key);
  if (!s.ok()) return s;
  if (entry->type == WalEntry::Type::kPut) return decode_bytes(in, &entry->value);
  entry->value.clear();
  return Status();
}

Status first_nonempty(const std::string& path, std::string* key, std::string* value) {
  key->clear();
  value->clear();
  if (!path_exists(path)) return Status();
  Fd fd;
  Status s = open_file(path, O_RDONLY, &fd);
  if (!s.ok()) return s;
  BufferedReader in(fd.get(), kLogBufferSize);
  WalEntry entry;
  while ((key->empty() || value->empty()) && decode_wal_entry(in, &entry).ok()) {
    if (key->empty()) *key = entry.key;
    if (value->empty()) *value = entry.value;
  }
  return Status();
}

Status read_wal(const std::string& path, const std::function<void(WalEntry&)>& apply,
                WalReplay* replay) {
  *replay = WalReplay();
  if (!path_exists(path)) return Status();
  Fd fd;
  Status s = open_file(path, O_RDONLY, &fd);
  if (!s.ok()) return s;
  // Large reads: a replay reads the whole log.
  BufferedReader in(fd.get(), 1 << 20);
  WalEntry entry;
  for (;;) {
    s = decode_wal_entry(in, &entry);
    if (!s.ok()) break;
    replay->whole_end = in.consumed();
    ++replay->entries;
    apply(entry);
  }
  replay->read_error = s.code() != 0;
  if (!file_length(fd.get(), &replay->file_length).ok()) replay->read_error = true;
  return Status();
}

}  // namespace corvid
