// Opening a Store: the data files, then the snapshot and the log replayed
// on top through the same apply_put and apply_delete as every write.
#include "format/snapshot.h"
#include "store/store.h"

namespace corvid {

Store::Store(DataFiles files, Mode mode, uint64_t cache_size)
    : cache_(cache_size), files_(std::move(files)), read_only_(mode == Mode::kReadOnly) {
  // Without a snapshot, records are appended at the files' ends.
  state_.keys_end = files_.keys_length();
  state_.vals_end = files_.vals_length();
}

Status Store::open(const StorePaths& paths, Mode mode, uint64_t cache_size,
                   std::unique_ptr<Store>* out, OpenReport* report) {
  const bool read_only = mode == Mode::kReadOnly;
  DataFiles files;
  Status s =
      DataFiles::open(paths.data, read_only ? OpenMode::kReadOnly : OpenMode::kCreate, &files);
  if (s.ok()) s = files.map_table();
  if (!s.ok()) {
    if (read_only) return s;
    panic(s);
  }
  std::unique_ptr<Store> store(new Store(std::move(files), mode, cache_size));
  *report = OpenReport();
  s = store->recover(paths, report);
  if (!s.ok()) return s;
  *out = std::move(store);
  return Status();
}

Status Store::recover(const StorePaths& paths, OpenReport* report) {
  report->snapshot_present = path_exists(paths.snapshot);
  RecordState loaded;
  bool found = false;
  Status s = read_snapshot(paths.snapshot, &loaded, &found);
  if (!s.ok()) return s;
  if (found) {
    report->snapshot_decoded = true;
    report->snapshot = loaded.counts();
    state_ = std::move(loaded);
    unwrap(files_.ensure_capacity(state_.record_count));
  }
  return read_wal(
      paths.wal,
      [&](WalEntry& entry) {
        if (entry.type == WalEntry::Type::kPut) {
          apply_put(entry.key, std::move(entry.value));
        } else {
          apply_delete(entry.key);
        }
      },
      &report->log);
}

}  // namespace corvid
