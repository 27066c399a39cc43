// Opening a Store: the data files, then the snapshot and the log replayed
// on top by the rule of every write (record_state.h).
#include <algorithm>
#include <exception>
#include <limits>
#include <optional>
#include <system_error>
#include <thread>

#include "format/snapshot.h"
#include "store/handoff.h"
#include "store/key_hash.h"
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
                   std::unique_ptr<Store>* out, OpenReport* report, const ReplayOptions& replay) {
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
  s = store->recover(paths, replay, report);
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

// With `warm_cache`, the cache takes what apply_put and apply_delete would
// have left in it. A fold that cannot fill the cache to evicting -- every
// hash it puts that the cache may lack fits beside what it holds -- leaves
// it holding the last value of each hash still put at the end, most recent
// last: those are cached in id order, each once, and nothing else is
// touched. Otherwise the puts and deletes reach the cache one by one, in
// log order.
void Store::apply_replayed(ReplayFold* fold, bool warm_cache) {
  state_.prepare(&fold->state);
  if (warm_cache) warm_cache_with(*fold);
  state_.apply(&fold->state);
  fold->runs.clear();
  fold->deletes.clear();
  fold->bytes = 0;
}

void Store::warm_cache_with(const ReplayFold& fold) {
  const uint32_t first = fold.state.first_id();
  auto for_each_put = [&](auto&& f) {
    uint32_t id = first;
    for (const PutBatch& run : fold.runs) {
      run.for_each([&](std::string_view key, std::string_view value) { f(id++, key, value); });
    }
  };
  // The cache holds only hashes the index names; holding as many, it holds
  // them all, and only hashes new to the index can be new to it.
  const uint64_t room = std::max<uint64_t>(cache_.capacity(), 1);
  const bool holds_all = cache_.size() == state_.index.size();
  const size_t new_to_cache = holds_all ? fold.state.new_put_hashes() : fold.state.put_hashes();
  if (cache_.size() + new_to_cache <= room) {
    std::vector<bool> last(fold.state.next_id() - first, false);
    size_t cached = 0;
    for (const IndexPair& c : fold.state.changes()) {
      if (c.id == KeyIndex::kNone) {
        cache_.remove(c.hash);
      } else {
        last[c.id - first] = true;
        ++cached;
      }
    }
    cache_.reserve(cached);
    for_each_put([&](uint32_t id, std::string_view key, std::string_view value) {
      if (last[id - first]) cache_.put(key_hash(key), std::string(value));
    });
    return;
  }
  auto del = fold.deletes.begin();
  for_each_put([&](uint32_t id, std::string_view key, std::string_view value) {
    for (; del != fold.deletes.end() && del->first <= id; ++del) cache_.remove(del->second);
    cache_.put(key_hash(key), std::string(value));
  });
  for (; del != fold.deletes.end(); ++del) cache_.remove(del->second);
}

Status Store::recover(const StorePaths& paths, const ReplayOptions& options, OpenReport* report) {
  report->snapshot_present = path_exists(paths.snapshot);
  SnapshotImage image;
  bool found = false;
  Status s = read_snapshot(paths.snapshot, &image, &found, options.map_index);
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
  // leave them, with two system calls per run instead of per record. The
  // index, the record sets and the cache take the changes in folds of many
  // (see apply_replayed). In parallel, a second thread reads on meanwhile:
  // that one alone then touches the log and the data files, this one the
  // state and the cache, and a fold changes hands whole.
  constexpr size_t kReplayRunBytes = 4 << 20;
  constexpr size_t kFoldChanges = 1 << 21;
  const bool warm = options.warm_cache;
  // Smaller folds in parallel: the last one is applied after the reading.
  const size_t fold_bytes = options.parallel ? 8 << 20 : 64 << 20;
  Handoff<ReplayFold> handoff;
  auto read = [&](bool handed) {
    ReplayFold fold(state_.record_count, state_.keys_end, state_.vals_end);
    PutBatch run;
    bool stopped = false;  // the applying side gave up
    auto write_run = [&] {
      const uint32_t first = fold.state.next_id() - static_cast<uint32_t>(run.size());
      unwrap(write_records(run, first, fold.state.keys_end() - run.keys.size(),
                           fold.state.vals_end() - run.values.size(), /*skip_same=*/true));
      fold.bytes += run.keys.size() + run.values.size();
      if (warm) {
        fold.runs.push_back(std::move(run));  // the cache takes its values
        run = PutBatch();
      } else {
        run.clear();  // its buffers serve the next run
      }
    };
    auto end_fold = [&] {
      if (run.size() > 0) write_run();
      if (!handed) return apply_replayed(&fold, warm);
      ReplayFold next(fold.state.next_id(), fold.state.keys_end(), fold.state.vals_end());
      if (!handoff.give(fold)) stopped = true;
      fold = std::move(next);
    };
    Status read_status = read_wal(
        paths.wal,
        [&](WalEntry& entry) {
          if (stopped) return;
          const uint64_t h = key_hash(entry.key);
          if (entry.type == WalEntry::Type::kPut) {
            fold.state.put(h, static_cast<uint32_t>(entry.key.size()),
                           static_cast<uint32_t>(entry.value.size()));
            run.add(entry.key, entry.value);
            if (run.keys.size() + run.values.size() >= kReplayRunBytes) write_run();
          } else {
            fold.state.erase(h);
            if (warm) fold.deletes.push_back({fold.state.next_id(), h});
          }
          if (fold.state.size() >= kFoldChanges || fold.bytes >= fold_bytes) end_fold();
        },
        &report->log);
    if (read_status.ok() && !stopped) end_fold();
    return read_status;
  };
  if (!options.parallel) return read(false);
  Status read_status;
  std::exception_ptr failure;
  std::thread reader;
  try {
    reader = std::thread([&] {
      try {
        read_status = read(true);
      } catch (...) {
        failure = std::current_exception();
      }
      handoff.close();
    });
  } catch (const std::system_error&) {
    return read(false);  // no thread to be had: the replay goes on alone
  }
  try {
    while (std::optional<ReplayFold> fold = handoff.take()) apply_replayed(&*fold, warm);
  } catch (...) {
    handoff.abandon();
    reader.join();
    throw;
  }
  reader.join();
  if (failure) std::rethrow_exception(failure);
  return read_status;
}

}  // namespace corvid
