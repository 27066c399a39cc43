// The replaying side of wal.bin.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "format/buffered_reader.h"
#include "format/log_format.h"

namespace corvid {

// Decodes one entry; any failure (end of input, bad tag, invalid UTF-8, a
// read error) means the log holds no further whole entry.
Status decode_wal_entry(BufferedReader& in, WalEntry* entry);

struct WalReplay {
  uint64_t entries = 0;      // whole entries handed over
  uint64_t whole_end = 0;    // offset just past the last whole entry
  uint64_t file_length = 0;  // bytes in the log when reading stopped
  bool read_error = false;   // stopped by a failed read, not by the bytes

  // Bytes after the last whole entry that do not decode.
  bool torn() const { return !read_error && whole_end < file_length; }
};

// The first non-empty key and the first non-empty value of the log's whole
// entries, each left empty when there is none.
Status first_nonempty(const std::string& path, std::string* key, std::string* value);

// Hands every whole entry from the start of the log to `apply`, in file order,
// stopping silently at the first one that does not decode. Fails only when an
// existing log cannot be opened; a missing log hands over nothing.
Status read_wal(const std::string& path, const std::function<void(WalEntry&)>& apply,
                WalReplay* replay);

}  // namespace corvid
