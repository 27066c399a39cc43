// The three data files: keys.bin and vals.bin hold the bytes of every
// appended record, offsets.bin is the record table of fixed 24-byte rows,
// read and written through a shared memory mapping. Every failure comes back
// as a Status; the engine decides what it means.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/coding.h"
#include "format/file_names.h"
#include "format/file_util.h"
#include "format/held_bytes.h"
#include "format/status.h"

namespace corvid {

struct RecordEntry {
  uint64_t key_offset = 0;
  uint32_t key_len = 0;
  uint64_t val_offset = 0;
  uint32_t val_len = 0;
};

inline constexpr uint64_t kRowSize = 24;

// Whether `len` bytes at `offset` lie within the first `size`, without
// overflowing.
inline bool inside(uint64_t offset, uint64_t len, uint64_t size) {
  return len <= size && offset <= size - len;
}
inline constexpr uint64_t kInitialCapacity = 100000;

// A shared mapping of a whole file, unmapped on destruction.
class TableMapping {
 public:
  TableMapping() = default;
  TableMapping(uint8_t* data, uint64_t length) : data_(data), length_(length) {}
  TableMapping(TableMapping&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), length_(std::exchange(other.length_, 0)) {}
  TableMapping& operator=(TableMapping&& other) noexcept;
  ~TableMapping() { reset(); }

  uint8_t* data() const { return data_; }
  uint64_t length() const { return length_; }
  void reset();

 private:
  uint8_t* data_ = nullptr;
  uint64_t length_ = 0;
};

// Maps the whole of the file (one byte when it is empty), readable, and
// writable unless `read_only`.
Status map_record_table(int fd, bool read_only, TableMapping* out);

// The records of one generation -- those a snapshot counts, or those
// appended after it -- lie back to back: each one's key and value end
// where the next one's begin, and the last one's where the counters say.
// A row that does not is damaged (or its neighbour is).
struct RowRun {
  uint64_t end_id = 0;  // the generation's rows are those below this
  uint64_t keys_end = 0;
  uint64_t vals_end = 0;
};

// Encodes and decodes one packed row; val_offset sits at byte 12, unaligned.
inline void encode_row(uint8_t* dst, const RecordEntry& entry) {
  encode_fixed64(dst, entry.key_offset);
  encode_fixed32(dst + 8, entry.key_len);
  encode_fixed64(dst + 12, entry.val_offset);
  encode_fixed32(dst + 20, entry.val_len);
}
inline RecordEntry decode_row(const uint8_t* src) {
  return RecordEntry{decode_fixed64(src), decode_fixed32(src + 8), decode_fixed64(src + 12),
                     decode_fixed32(src + 20)};
}

enum class OpenMode {
  kCreate,    // read and write; create the files that are missing
  kExisting,  // read and write; the files must exist
  kReadOnly,  // read only; nothing is created, sized or written
};

// Read-only, the files are seen as a writer's open would leave them: a
// missing file reads as empty, and rows a writer would add by lengthening
// the record table read as zeros.
class DataFiles {
 public:
  // Opens the three files and takes their lengths; nothing is sized yet.
  // The record table is for max(floor(L / 24), 100000) rows, L its length.
  static Status open(const DataPaths& paths, OpenMode mode, DataFiles* out);
  // For writing: lengthens a shorter table to its rows and reserves the
  // blocks of the rows from `rows_in_use` on, which appends will write
  // (read-only: nothing to do). A full disk leaves the reservation to the
  // next append, so that a full store still opens.
  Status size_table(uint64_t rows_in_use);
  // Maps the record table and advises the kernel that access is random.
  Status map_table();

  // Before an append at row `record_count`: the rows to come have their
  // blocks, and a full table grows by doubling.
  Status ensure_capacity(uint32_t record_count) {
    return ensure_rows(record_count, uint64_t{record_count} + 1);
  }
  // The same before appending the rows from `first` to below `end`.
  Status ensure_rows(uint64_t first, uint64_t end);
  // Writes the key and value where `entry` says, then the entry as row `id`.
  Status append_record(uint32_t id, const RecordEntry& entry, std::string_view key,
                       std::string_view value);
  // Appends records `first` on, whose keys and values lie back to back in
  // `keys` and `values` as `entries` say: one write per file, then the rows.
  // With `skip_same`, bytes the files already hold where they go (a replay
  // of records written before) are compared, not written again: their pages
  // are not dirtied a second time.
  Status append_records(uint32_t first, const std::vector<RecordEntry>& entries,
                        std::string_view keys, std::string_view values, bool skip_same = false);
  // Forces the three files' written bytes to the disk.
  Status sync() const;
  // Row `id`, bound-checked against the mapping. Every read asks for one
  // or two: the common case is inline.
  Status read_entry(uint32_t id, RecordEntry* out) const {
    const uint64_t start = uint64_t{id} * kRowSize;
    if (start + kRowSize > table_.length()) return read_entry_past_mapping(id, out);
    *out = decode_row(table_.data() + start);
    return Status();
  }
  // Row `id` read from the file itself, before the table is mapped.
  Status read_stored_entry(uint32_t id, RecordEntry* out) const;
  // Whether row `id`, read as `entry`, lies where appending left it in `run`.
  bool in_place(uint32_t id, const RecordEntry& entry, const RowRun& run) const;
  Status read_key(const RecordEntry& entry, std::string* out) const;
  Status read_value(const RecordEntry& entry, std::string* out) const;
  // Bytes [offset, offset + len) of keys.bin, held appends included.
  Status read_keys(uint64_t offset, uint64_t len, std::string* out) const;

  // From now on appends of keys and values are held in memory (held_bytes.h)
  // until write_held(), a full hold or a batch; reads see them all the same,
  // and read keys and values through memory maps (file_view.h) where they
  // can. Only for a writer that keeps every other writer out.
  void hold_appends();
  bool holds_appends() const { return hold_; }
  // Writes the held appends out. May run beside readers, not beside appends.
  Status write_held();

  int keys_fd() const { return keys_fd_.get(); }
  int vals_fd() const { return vals_fd_.get(); }
  // The files' lengths, as the file system reports them once held appends
  // are written out.
  Status lengths(uint64_t* keys, uint64_t* vals, uint64_t* table) const;
  uint64_t keys_length() const { return keys_length_; }
  uint64_t vals_length() const { return vals_length_; }
  uint64_t capacity() const { return capacity_; }
  // Whether row `id` lies within the record table as it is on disk.
  bool row_on_disk(uint32_t id) const { return id < rows_on_disk_; }
  // The rows offsets.bin held when it was opened, before any sizing.
  uint64_t rows_on_disk() const { return rows_on_disk_; }

 private:
  Status check_row(uint32_t id) const;
  // Tells the views how far the held bytes reached the files.
  void note_written();
  // Bytes of one data file: held ones from memory, the rest through its view
  // or with positioned reads.
  Status read_from(const Fd& fd, const HeldBytes& held, const FileView* view, uint64_t offset,
                   uint64_t len, std::string* out) const;
  Status reserve_rows(uint64_t from_row);
  // Read-only, rows a writer's open would add read as zeros.
  Status read_entry_past_mapping(uint32_t id, RecordEntry* out) const;

  Fd offsets_fd_;
  Fd keys_fd_;
  Fd vals_fd_;
  bool read_only_ = false;
  TableMapping table_;
  uint64_t capacity_ = 0;  // rows the table is sized for
  uint64_t keys_length_ = 0;
  uint64_t vals_length_ = 0;
  uint64_t rows_on_disk_ = 0;
  uint64_t offsets_length_ = 0;  // at open
  bool reserved_ = false;        // the rows appends will write have their blocks
  bool hold_ = false;
  HeldBytes held_keys_;
  HeldBytes held_vals_;
  // Null when not mapped; then reads are positioned reads.
  std::unique_ptr<FileView> keys_view_;
  std::unique_ptr<FileView> vals_view_;
};

// Reads the keys of many records with few reads. Records are appended, so
// the keys of ascending RecordIds lie front to back in keys.bin: keys that
// lie close together are read as one span and cut apart in memory.
class KeyReader {
 public:
  KeyReader(const DataFiles& files, std::vector<std::string>* out) : files_(files), out_(out) {}
  // Appends the entry's key to *out, now or at a later add() or finish().
  Status add(const RecordEntry& entry);
  // Reads what is still pending; call once after the last add().
  Status finish();

 private:
  static constexpr uint64_t kMaxSpan = 1 << 20;
  // Reading a gap this long costs less than one more read call.
  static constexpr uint64_t kMaxGap = 8 << 10;

  const DataFiles& files_;
  std::vector<std::string>* out_;
  std::vector<RecordEntry> pending_;
  uint64_t span_start_ = 0;
  uint64_t span_end_ = 0;
  std::string span_;
};

}  // namespace corvid
