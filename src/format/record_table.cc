#include "format/record_table.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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

Status map_record_table(int fd, bool read_only, TableMapping* out) {
  uint64_t length;
  Status s = file_length(fd, &length);
  if (!s.ok()) return s;
  int protection = read_only ? PROT_READ : PROT_READ | PROT_WRITE;
  void* p = ::mmap(nullptr, length == 0 ? 1 : length, protection, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) return Status::FromErrno(errno);
  *out = TableMapping(static_cast<uint8_t*>(p), length);
  return Status();
}

namespace {

void advise_random(const TableMapping& map) {
  // Only advice: a refusal changes nothing that matters.
  ::madvise(map.data(), map.length() == 0 ? 1 : map.length(), MADV_RANDOM);
}

Status read_at(int fd, uint64_t offset, uint64_t len, std::string* out) {
  out->resize(len);
  if (fd < 0) return len == 0 ? Status() : Status::UnexpectedEof();  // a missing file
  return read_exact_at(fd, out->data(), len, offset);
}

// Read-only, a missing file is one a writer's open would create empty.
Status open_data_file(const std::string& path, OpenMode mode, Fd* out) {
  if (mode != OpenMode::kReadOnly) {
    return open_file(path, mode == OpenMode::kCreate ? O_RDWR | O_CREAT : O_RDWR, out);
  }
  Status s = open_file(path, O_RDONLY, out);
  return s.kind() == ErrorKind::kNotFound ? Status() : s;
}

Status length_of(const Fd& fd, uint64_t* length) {
  *length = 0;
  return fd ? file_length(fd.get(), length) : Status();
}

}  // namespace

Status DataFiles::open(const DataPaths& paths, OpenMode mode, DataFiles* out) {
  DataFiles files;
  files.read_only_ = mode == OpenMode::kReadOnly;
  Status s = open_data_file(paths.offsets, mode, &files.offsets_fd_);
  if (s.ok()) s = open_data_file(paths.keys, mode, &files.keys_fd_);
  if (s.ok()) s = open_data_file(paths.vals, mode, &files.vals_fd_);
  uint64_t offsets_length = 0;
  if (s.ok()) s = length_of(files.offsets_fd_, &offsets_length);
  if (s.ok()) s = length_of(files.keys_fd_, &files.keys_length_);
  if (s.ok()) s = length_of(files.vals_fd_, &files.vals_length_);
  if (!s.ok()) return s;
  files.rows_on_disk_ = offsets_length / kRowSize;
  files.offsets_length_ = offsets_length;
  files.capacity_ = std::max(offsets_length / kRowSize, kInitialCapacity);
  *out = std::move(files);
  return Status();
}

Status DataFiles::size_table(uint64_t rows_in_use) {
  if (read_only_) return Status();
  if (offsets_length_ < capacity_ * kRowSize) {
    Status s = set_length(offsets_fd_.get(), capacity_ * kRowSize);
    if (!s.ok()) return s;
  }
  (void)reserve_rows(rows_in_use);  // failing, the next append tries again
  return Status();
}

Status DataFiles::reserve_rows(uint64_t from_row) {
  const uint64_t from = std::min(from_row, capacity_) * kRowSize;
  if (from < capacity_ * kRowSize) {
    Status s = reserve_blocks(offsets_fd_.get(), from, capacity_ * kRowSize - from);
    if (!s.ok()) return s;
  }
  reserved_ = true;
  return Status();
}

Status DataFiles::map_table() {
  if (!offsets_fd_) return Status();
  TableMapping table;
  Status s = map_record_table(offsets_fd_.get(), read_only_, &table);
  if (!s.ok()) return s;
  table_ = std::move(table);
  advise_random(table_);
  return Status();
}

Status DataFiles::ensure_rows(uint64_t first, uint64_t end) {
  if (read_only_) {
    while (end > capacity_) capacity_ *= 2;
    return Status();
  }
  // The table is written through a shared mapping, where a full disk would
  // be a SIGBUS: the blocks of the rows to come are reserved before any is
  // written, and a full disk is an error of the append instead.
  if (!reserved_) {
    Status s = reserve_rows(first);
    if (!s.ok()) return s;
  }
  if (end <= capacity_) return Status();
  uint64_t capacity = capacity_;
  while (end > capacity) capacity *= 2;
  // No msync first: the mapping is shared, so its dirty pages are already the
  // file's pages and survive the unmap; forcing them to disk would only make
  // every doubling wait for a write of the whole table.
  Status s =
      reserve_blocks(offsets_fd_.get(), capacity_ * kRowSize, (capacity - capacity_) * kRowSize);
  if (s.ok()) s = map_table();
  if (s.ok()) capacity_ = capacity;
  return s;
}

Status DataFiles::append_record(uint32_t id, const RecordEntry& entry, std::string_view key,
                                std::string_view value) {
  Status s = check_row(id);
  if (s.ok() && hold_) {
    s = held_keys_.prepare(keys_fd_.get(), entry.key_offset, key.size());
    if (s.ok()) s = held_vals_.prepare(vals_fd_.get(), entry.val_offset, value.size());
    note_written();
    if (!s.ok()) return s;
    held_keys_.append(key);
    held_vals_.append(value);
  } else {
    if (s.ok()) s = write_all_at(keys_fd_.get(), key.data(), key.size(), entry.key_offset);
    if (s.ok()) s = write_all_at(vals_fd_.get(), value.data(), value.size(), entry.val_offset);
  }
  if (s.ok()) encode_row(table_.data() + uint64_t{id} * kRowSize, entry);
  return s;
}

void DataFiles::hold_appends() {
  hold_ = true;
  // Mapping is only a faster way to read: without it, reads are preads.
  for (auto [fd, view] : {std::pair{keys_fd_.get(), &keys_view_}, {vals_fd_.get(), &vals_view_}}) {
    uint64_t length = 0;
    auto mapped = std::make_unique<FileView>();
    if (file_length(fd, &length).ok() && mapped->map(fd, length).ok()) *view = std::move(mapped);
  }
}

void DataFiles::note_written() {
  if (keys_view_ != nullptr) keys_view_->written_to(held_keys_.file_end());
  if (vals_view_ != nullptr) vals_view_->written_to(held_vals_.file_end());
}

Status DataFiles::write_held() {
  Status s = held_keys_.write_out(keys_fd_.get());
  if (s.ok()) s = held_vals_.write_out(vals_fd_.get());
  note_written();
  return s;
}

Status DataFiles::append_records(uint32_t first, const std::vector<RecordEntry>& entries,
                                 std::string_view keys, std::string_view values, bool skip_same) {
  if (entries.empty()) return Status();
  Status s = check_row(static_cast<uint32_t>(first + entries.size() - 1));
  // A batch is written at once, behind what is held.
  if (s.ok() && hold_) {
    s = write_held();
    if (s.ok()) {
      held_keys_.drop_written();
      held_vals_.drop_written();
    }
  }
  auto write = [skip_same](int fd, std::string_view bytes, uint64_t offset) {
    if (skip_same && holds_bytes_at(fd, bytes.data(), bytes.size(), offset)) return Status();
    return write_all_at(fd, bytes.data(), bytes.size(), offset);
  };
  if (s.ok()) s = write(keys_fd_.get(), keys, entries[0].key_offset);
  if (s.ok()) s = write(vals_fd_.get(), values, entries[0].val_offset);
  if (!s.ok()) return s;
  if (keys_view_ != nullptr) keys_view_->written_to(entries[0].key_offset + keys.size());
  if (vals_view_ != nullptr) vals_view_->written_to(entries[0].val_offset + values.size());
  uint8_t* row = table_.data() + uint64_t{first} * kRowSize;
  for (const RecordEntry& e : entries) {
    if (skip_same) {
      uint8_t encoded[kRowSize];
      encode_row(encoded, e);
      if (std::memcmp(row, encoded, kRowSize) != 0) std::memcpy(row, encoded, kRowSize);
    } else {
      encode_row(row, e);
    }
    row += kRowSize;
  }
  return Status();
}

Status DataFiles::sync() const {
  Status s = sync_file(keys_fd_.get());
  if (s.ok()) s = sync_file(vals_fd_.get());
  // The table's pages are the file's: msync writes them, fsync its metadata.
  if (s.ok() && table_.data() != nullptr &&
      ::msync(table_.data(), table_.length() == 0 ? 1 : table_.length(), MS_SYNC) != 0) {
    s = Status::FromErrno(errno);
  }
  if (s.ok()) s = sync_file(offsets_fd_.get());
  return s;
}

Status DataFiles::lengths(uint64_t* keys, uint64_t* vals, uint64_t* table) const {
  Status s = length_of(keys_fd_, keys);
  if (s.ok()) s = length_of(vals_fd_, vals);
  if (s.ok()) s = length_of(offsets_fd_, table);
  // As the files will be once the held appends are out.
  if (!held_keys_.empty()) *keys = std::max(*keys, held_keys_.end());
  if (!held_vals_.empty()) *vals = std::max(*vals, held_vals_.end());
  return s;
}

Status DataFiles::check_row(uint32_t id) const {
  const uint64_t length =
      read_only_ ? std::max(table_.length(), capacity_ * kRowSize) : table_.length();
  uint64_t start = uint64_t{id} * kRowSize;
  uint64_t end = start + kRowSize;
  if (end <= length) return Status();
  std::string tail = " out of range for slice of length " + std::to_string(length);
  return Status::Custom(ErrorKind::kOutOfRange,
                        start > length ? "range start index " + std::to_string(start) + tail
                                       : "range end index " + std::to_string(end) + tail);
}

Status DataFiles::read_entry_past_mapping(uint32_t id, RecordEntry* out) const {
  Status s = check_row(id);
  if (s.ok()) *out = RecordEntry();
  return s;
}

Status DataFiles::read_stored_entry(uint32_t id, RecordEntry* out) const {
  if (id >= rows_on_disk_) return Status::UnexpectedEof();
  uint8_t row[kRowSize];
  Status s = read_exact_at(offsets_fd_.get(), row, kRowSize, uint64_t{id} * kRowSize);
  if (s.ok()) *out = decode_row(row);
  return s;
}

bool DataFiles::in_place(uint32_t id, const RecordEntry& entry, const RowRun& run) const {
  const bool inside_run = inside(entry.key_offset, entry.key_len, run.keys_end) &&
                          inside(entry.val_offset, entry.val_len, run.vals_end);
  if (!inside_run) return false;
  uint64_t keys_end = run.keys_end, vals_end = run.vals_end;
  if (id + 1 < run.end_id) {
    // A next row lost with the end of the table leaves only the counters.
    if ((uint64_t{id} + 2) * kRowSize > table_.length()) return true;
    RecordEntry next;
    if (!read_entry(id + 1, &next).ok()) return false;
    keys_end = next.key_offset;
    vals_end = next.val_offset;
  }
  return entry.key_offset + entry.key_len == keys_end &&
         entry.val_offset + entry.val_len == vals_end;
}

Status DataFiles::read_key(const RecordEntry& entry, std::string* out) const {
  return read_keys(entry.key_offset, entry.key_len, out);
}

Status DataFiles::read_keys(uint64_t offset, uint64_t len, std::string* out) const {
  return read_from(keys_fd_, held_keys_, keys_view_.get(), offset, len, out);
}

Status DataFiles::read_value(const RecordEntry& entry, std::string* out) const {
  return read_from(vals_fd_, held_vals_, vals_view_.get(), entry.val_offset, entry.val_len, out);
}

Status DataFiles::read_from(const Fd& fd, const HeldBytes& held, const FileView* view,
                            uint64_t offset, uint64_t len, std::string* out) const {
  if (!hold_) return read_at(fd.get(), offset, len, out);
  out->resize(len);
  return held.read(fd.get(), view, offset, len, out->data());
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
  Status s = files_.read_keys(span_start_, span_end_ - span_start_, &span_);
  if (!s.ok()) return s;
  for (const RecordEntry& e : pending_) {
    out_->emplace_back(span_.data() + (e.key_offset - span_start_), e.key_len);
  }
  pending_.clear();
  return Status();
}

}  // namespace corvid
