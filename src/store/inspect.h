// Reading a storage directory without changing it: what `corvid stat` and
// `corvid verify` report. Nothing here creates, extends or writes a file.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "format/bitmap.h"
#include "format/snapshot.h"
#include "format/status.h"
#include "store/store.h"

namespace corvid {

struct Inspection {
  std::map<std::string, uint64_t> file_sizes;  // the five files that exist
  std::vector<std::string> leftovers;          // .tmp and .vac files

  bool snapshot_present = false;
  bool snapshot_decoded = false;
  uint64_t snapshot_index_entries = 0;
  uint64_t snapshot_live = 0;
  uint64_t snapshot_dead = 0;
  SnapshotCounters snapshot_counters;

  uint64_t log_entries = 0;    // whole entries
  uint64_t log_whole_end = 0;  // offset after the last whole entry
  bool log_torn = false;       // bytes after it that do not decode
  bool log_read_error = false;

  // The state the next open would reach: the snapshot plus the log.
  uint64_t live = 0;
  uint64_t dead = 0;
  uint32_t record_count = 0;
  uint64_t keys_end = 0;
  uint64_t vals_end = 0;
  uint64_t live_bytes = 0;  // key and value bytes of live records
  uint64_t garbage_bytes = 0;
};

struct Finding {
  std::string what;
};

// Fails when `dir` is not a readable directory.
Status inspect_directory(const std::string& dir, Inspection* out);

// Checks the snapshot against the data files and the log for decodability;
// adds one Finding per problem. Fails when `dir` cannot be read.
Status verify_directory(const std::string& dir, std::vector<Finding>* findings);

}  // namespace corvid
