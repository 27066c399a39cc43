// The three data files: keys.bin and vals.bin hold the bytes of every
// appended record, offsets.bin is the record table of fixed 24-byte rows,
// read and written through a shared memory mapping.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/file_util.h"
#include "format/status.h"

namespace corvid {

struct RecordEntry {
  uint64_t key_offset = 0;
  uint32_t key_len = 0;
  uint64_t val_offset = 0;
  uint32_t val_len = 0;
};

inline constexpr uint64_t kRowSize = 24;
inline constexpr uint64_t kInitialCapacity = 100000;

// A shared, readable and writable mapping of a whole file, unmapped on destruction.
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

// Maps the whole of the file (one byte when it is empty).
Status map_record_table(int fd, TableMapping* out);

// Encodes and decodes one packed row; val_offset sits at byte 12, unaligned.
void encode_row(uint8_t* dst, const RecordEntry& entry);
RecordEntry decode_row(const uint8_t* src);

class DataFiles {
 public:
  // Opens (creating) the three files, sizes the record table to at least
  // kInitialCapacity rows and maps it. Failures panic.
  static DataFiles open(const std::string& offsets_path, const std::string& keys_path,
                        const std::string& vals_path);

  // Grows the table by doubling when record_count has reached capacity.
  void ensure_capacity();
  // Appends the key and value at keys_end/vals_end and writes their row.
  uint32_t append_record(std::string_view key, std::string_view value);
  // Row `id`, bound-checked against the mapping.
  RecordEntry read_entry(uint32_t id) const;
  void write_entry(uint32_t id, const RecordEntry& entry);

  Status read_key(const RecordEntry& entry, std::string* out) const;
  Status read_value(const RecordEntry& entry, std::string* out) const;

  Fd offsets_fd;
  Fd keys_fd;
  Fd vals_fd;
  TableMapping table;
  uint64_t capacity = 0;  // rows the table is sized for
  uint32_t record_count = 0;
  uint64_t keys_end = 0;
  uint64_t vals_end = 0;

 private:
  void check_row(uint32_t id) const;
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
