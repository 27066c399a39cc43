#include "store/recovery.h"

#include "format/log_reader.h"
#include "format/snapshot.h"

namespace corvid {

namespace {

Status load_snapshot(Store& store, const std::string& path) {
  RecordIndex index = new_hash_map<uint64_t, uint32_t>();
  Bitmap live, dead;
  SnapshotCounters counters;
  bool found = false;
  Status s = read_snapshot(path, &index, &live, &dead, &counters, &found);
  if (!s.ok() || !found) return s;
  store.index = std::move(index);
  store.live = std::move(live);
  store.dead = std::move(dead);
  store.files.record_count = counters.record_count;
  store.files.keys_end = counters.keys_end;
  store.files.vals_end = counters.vals_end;
  store.files.ensure_capacity();
  return Status();
}

}  // namespace

Status recover_store(Store& store, const std::string& snapshot_path, const std::string& wal_path,
                     std::optional<uint64_t>* truncate_log_to) {
  Status s = load_snapshot(store, snapshot_path);
  if (!s.ok()) return s;
  WalReplay replay;
  s = read_wal(
      wal_path,
      [&](WalEntry& entry) {
        if (entry.type == WalEntry::Type::kPut) {
          store.apply_put(entry.key, std::move(entry.value));
        } else {
          store.apply_delete(entry.key);
        }
      },
      &replay);
  if (!s.ok()) return s;
  truncate_log_to->reset();
  if (!replay.read_error && replay.whole_end < replay.file_length) {
    *truncate_log_to = replay.whole_end;
  }
  return Status();
}

}  // namespace corvid
