// Reading a storage directory without changing it: what `corvid stat` and
// `corvid verify` report. Nothing here creates, sizes or writes a file, and
// both may run beside a live writer.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "format/status.h"
#include "store/store.h"

namespace corvid {

struct Inspection {
  std::map<std::string, uint64_t> file_sizes;  // the five files that exist
  std::vector<std::string> leftovers;          // .tmp and .vac files
  std::optional<long> writer;                  // a process holding the directory
  OpenReport report;  // the snapshot and the log, as a read-only open found them
  StoreStats state;   // the state that open reached, which the next open reaches too
};

// Opens the store read-only and reports on it; fails as that open does.
Status inspect_directory(const std::string& dir, Inspection* out);

struct Verification {
  std::vector<std::string> damage;  // the findings shown (record findings capped)
  uint64_t damage_count = 0;        // every finding, shown or not
  std::vector<std::string> notes;   // what is not damage: data in flight, a vacuum to finish
  std::optional<long> writer;
};

// Checks the snapshot the next open starts from against the data files, and
// the log and the leftovers for damage. With a live writer, bytes after the
// log's last whole entry and work files are in flight, not damage. Fails
// when `dir` holds no store or cannot be read.
Status verify_directory(const std::string& dir, Verification* out);

}  // namespace corvid
