#include "format/record_table.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <cerrno>

#include "format/coding.h"

namespace corvid {

TableMapping& TableMapping::operator=(TableMapping&& other) noexcept {
  if (this != &other) {
    reset();
    data_ = std::exchange(other.data_, nullptr);
    length_ = std::exchange(other.length_, 0);
  }
  return *this;
}

void TableMapping::reset() {
  if (data_ != nullptr) ::munmap(data_, length_ == 0 ? 1 : length_);
  data_ = nullptr;
  length_ = 0;
}

Status map_record_table(int fd, TableMapping* out) {
  uint64_t length;
  Status s = file_length(fd, &length);
  if (!s.ok()) return s;
  void* p = ::mmap(nullptr, length == 0 ? 1 : length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return Status::FromErrno(errno);
  *out = TableMapping(static_cast<uint8_t*>(p), length);
  return Status();
}

void encode_row(uint8_t* dst, const RecordEntry& entry) {
  encode_fixed64(dst, entry.key_offset);
  encode_fixed32(dst + 8, entry.key_len);
  encode_fixed64(dst + 12, entry.val_offset);
  encode_fixed32(dst + 20, entry.val_len);
}

RecordEntry decode_row(const uint8_t* src) {
  return RecordEntry{decode_fixed64(src), decode_fixed32(src + 8), decode_fixed64(src + 12),
                     decode_fixed32(src + 20)};
}

namespace {

void advise_random(const TableMapping& map) {
  // Only advice: a refusal changes nothing that matters.
  ::madvise(map.data(), map.length() == 0 ? 1 : map.length(), MADV_RANDOM);
}

Fd open_data_file(const std::string& path) {
  Fd fd;
  unwrap(open_file(path, O_RDWR | O_CREAT, &fd));
  return fd;
}

}  // namespace

DataFiles DataFiles::open(const std::string& offsets_path, const std::string& keys_path,
                          const std::string& vals_path) {
  DataFiles files;
  files.offsets_fd = open_data_file(offsets_path);
  files.keys_fd = open_data_file(keys_path);
  files.vals_fd = open_data_file(vals_path);

  uint64_t offsets_len;
  unwrap(file_length(files.offsets_fd.get(), &offsets_len));
  unwrap(file_length(files.keys_fd.get(), &files.keys_end));
  unwrap(file_length(files.vals_fd.get(), &files.vals_end));

  files.capacity = std::max(offsets_len / kRowSize, kInitialCapacity);
  if (offsets_len < files.capacity * kRowSize) {
    unwrap(set_length(files.offsets_fd.get(), files.capacity * kRowSize));
  }
  unwrap(map_record_table(files.offsets_fd.get(), &files.table));
  advise_random(files.table);
  return files;
}

void DataFiles::ensure_capacity() {
  if (record_count < capacity) return;
  // No msync first: the mapping is shared, so its dirty pages are already the
  // file's pages and survive the unmap; forcing them to disk would only make
  // every doubling wait for a write of the whole table.
  unwrap(set_length(offsets_fd.get(), capacity * 2 * kRowSize));
  TableMapping grown;
  unwrap(map_record_table(offsets_fd.get(), &grown));
  table = std::move(grown);
  advise_random(table);
  capacity *= 2;
}

uint32_t DataFiles::append_record(std::string_view key, std::string_view value) {
  ensure_capacity();
  uint32_t id = record_count++;
  RecordEntry entry{keys_end, static_cast<uint32_t>(key.size()), 0,
                    static_cast<uint32_t>(value.size())};
  unwrap(write_all_at(keys_fd.get(), key.data(), key.size(), keys_end));
  keys_end += key.size();
  entry.val_offset = vals_end;
  unwrap(write_all_at(vals_fd.get(), value.data(), value.size(), vals_end));
  vals_end += value.size();
  write_entry(id, entry);
  return id;
}

void DataFiles::check_row(uint32_t id) const {
  uint64_t start = uint64_t{id} * kRowSize;
  uint64_t end = start + kRowSize;
  if (end <= table.length()) return;
  std::string tail = " out of range for slice of length " + std::to_string(table.length());
  if (start > table.length()) panic("range start index " + std::to_string(start) + tail);
  panic("range end index " + std::to_string(end) + tail);
}

RecordEntry DataFiles::read_entry(uint32_t id) const {
  check_row(id);
  return decode_row(table.data() + uint64_t{id} * kRowSize);
}

void DataFiles::write_entry(uint32_t id, const RecordEntry& entry) {
  check_row(id);
  encode_row(table.data() + uint64_t{id} * kRowSize, entry);
}

namespace {

Status read_at(int fd, uint64_t offset, uint64_t len, std::string* out) {
  out->resize(len);
  return read_exact_at(fd, out->data(), len, offset);
}

}  // namespace

Status DataFiles::read_key(const RecordEntry& entry, std::string* out) const {
  return read_at(keys_fd.get(), entry.key_offset, entry.key_len, out);
}

Status DataFiles::read_value(const RecordEntry& entry, std::string* out) const {
  return read_at(vals_fd.get(), entry.val_offset, entry.val_len, out);
}

Status KeyReader::add(const RecordEntry& entry) {
  uint64_t end = entry.key_offset + entry.key_len;
  bool joins = !pending_.empty() && entry.key_offset >= span_end_ &&
               entry.key_offset - span_end_ <= kMaxGap && end - span_start_ <= kMaxSpan;
  if (!joins) {
    Status s = finish();
    if (!s.ok()) return s;
    span_start_ = entry.key_offset;
  }
  span_end_ = end;
  pending_.push_back(entry);
  return Status();
}

Status KeyReader::finish() {
  if (pending_.empty()) return Status();
  Status s = read_at(files_.keys_fd.get(), span_start_, span_end_ - span_start_, &span_);
  if (!s.ok()) return s;
  for (const RecordEntry& e : pending_) {
    out_->emplace_back(span_.data() + (e.key_offset - span_start_), e.key_len);
  }
  pending_.clear();
  return Status();
}

}  // namespace corvid
