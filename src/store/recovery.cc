// Opening a Store: the data files, then the snapshot and the log replayed
// on top through the same apply_put and apply_delete as every write.
#include <limits>

#include "format/snapshot.h"
#include "store/record_check.h"
#include "store/store.h"

namespace corvid {

Store::Store(DataFiles files, Mode mode, uint64_t cache_size)
    : cache_(cache_size),
      files_(std::move(files)),
      mode_(mode),
      read_only_(mode != Mode::kReadWrite) {
  // Without a snapshot, records are appended at the files' ends.
  state_.keys_end = files_.keys_length();
  state_.vals_end = files_.vals_length();
}

Status Store::open(const StorePaths& paths, Mode mode, uint64_t cache_size,
                   std::unique_ptr<Store>* out, OpenReport* report) {
  const bool read_only = mode != Mode::kReadWrite;
  DataFiles files;
  Status s =
      DataFiles::open(paths.data, read_only ? OpenMode::kReadOnly : OpenMode::kCreate, &files);
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

namespace {

// Whether the file holds `prefix` at offset 0; an empty prefix needs an
// empty file.
bool starts_with(const DataFiles& files, bool keys, const std::string& prefix) {
  const uint64_t length = keys ? files.keys_length() : files.vals_length();
  if (prefix.empty()) return length == 0;
  if (prefix.size() > length) return false;
  std::string head;
  const RecordEntry at_start{0, static_cast<uint32_t>(prefix.size()), 0,
                             static_cast<uint32_t>(prefix.size())};
  Status s = keys ? files.read_key(at_start, &head) : files.read_value(at_start, &head);
  return s.ok() && head == prefix;
}

}  // namespace

// Without a snapshot, records are appended at the files' ends -- unless the
// log is the store's whole history, its first key and value being the bytes
// the files begin with. Then the replay writes each record over the bytes
// it was first written to, and a store that was never persisted keeps the
// size of its files across opens. Anything else is appended behind, so
// that no byte a salvage could still read is overwritten.
Status Store::choose_ends(const StorePaths& paths) {
  std::string key, value;
  Status s = first_nonempty(paths.wal, &key, &value);
  if (!s.ok()) return s;
  if (starts_with(files_, true, key) && starts_with(files_, false, value)) {
    state_.keys_end = 0;
    state_.vals_end = 0;
  }
  return Status();
}

Status Store::recover(const StorePaths& paths, OpenReport* report) {
  report->snapshot_present = path_exists(paths.snapshot);
  SnapshotImage image;
  bool found = false;
  Status s = read_snapshot(paths.snapshot, &image, &found);
  if (!s.ok()) return s;
  if (found) {
    report->snapshot_decoded = true;
    const std::string damage = snapshot_damage(image, files_);
    if (!damage.empty()) {
      report->damage = "storage directory " + quoted_dir(paths.dir) + " is damaged: " + damage +
                       "; `corvid salvage " + directory_path(paths.dir) +
                       " NEW` copies what can still be read into a new store";
      if (mode_ != Mode::kSalvage) return Status::Custom(ErrorKind::kDamaged, report->damage);
    }
  }
  // Sized only now: a damaged store is refused before its table is
  // lengthened, which would hide the damage from the next open.
  s = files_.size_table(found ? image.record_count : 0);
  if (s.ok()) s = files_.map_table();
  if (!s.ok()) {
    if (read_only_) return s;
    panic(s);
  }
  if (!report->snapshot_present) {
    s = choose_ends(paths);
    if (!s.ok()) return s;
  }
  if (found) {
    // Only a salvage meets a snapshot that counts more rows than the table.
    RecordState loaded;
    image.build_within(&loaded, files_.rows_on_disk());
    report->snapshot = loaded.counts();
    state_ = std::move(loaded);
    // A salvage takes a record_count short of the snapshot's own ids as
    // damage of the count alone: the rows the ids name are read as records,
    // and the log's records go after them.
    state_.record_count = static_cast<uint32_t>(
        std::min<uint64_t>(image.rows_named(), std::numeric_limits<uint32_t>::max()));
    loaded_ = {state_.record_count, state_.keys_end, state_.vals_end};
    // A full table grows at the next put, not here: a full store on a full
    // disk still opens.
  }
  if (read_only_) {
    return read_wal(
        paths.wal,
        [&](WalEntry& entry) {
          if (entry.type == WalEntry::Type::kPut) {
            unwrap(apply_put(entry.key, std::move(entry.value)));
          } else {
            apply_delete(entry.key);
          }
        },
        &report->log);
  }
  // A writer's replay gathers runs of puts and writes each run with one
  // write per data file: the files end as record-by-record appends would
  // leave them, with two system calls per run instead of per record.
  constexpr size_t kReplayRunBytes = 4 << 20;
  PutBatch run;
  auto write_run = [&] {
    unwrap(apply_batch(run, /*cache_values=*/true));
    run = PutBatch();
  };
  s = read_wal(
      paths.wal,
      [&](WalEntry& entry) {
        if (entry.type == WalEntry::Type::kPut) {
          run.add(entry.key, entry.value);
          if (run.keys.size() + run.values.size() >= kReplayRunBytes) write_run();
        } else {
          if (run.size() > 0) write_run();
          apply_delete(entry.key);
        }
      },
      &report->log);
  if (s.ok() && run.size() > 0) write_run();
  return s;
}

}  // namespace corvid
