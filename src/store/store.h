// The engine state of one open storage directory, and the operations on it.
// A Store is opened for writing (the data files created, sized and written)
// or read-only (nothing on disk changes; records that live only in the log
// are served from its entries). The caller serialises access: operations
// marked const may run together, every other needs the Store to itself.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/file_names.h"
#include "format/log_reader.h"
#include "format/log_writer.h"
#include "format/record_state.h"
#include "format/record_table.h"
#include "store/batch.h"
#include "store/load_gate.h"
#include "store/panic.h"
#include "store/release_thread.h"
#include "store/value_cache.h"

namespace corvid {

// What opening found on disk.
struct OpenReport {
  bool snapshot_present = false;
  bool snapshot_decoded = false;
  RecordCounts snapshot;  // when decoded: the snapshot's own, before the log
  WalReplay log;
  // Read-only opens: a vacuum had committed but not yet put its files in
  // place; the state is the vacuum's, read from its copies.
  bool vacuum_interrupted = false;
  // What of the snapshot the files do not bear out; a salvage opens anyway.
  std::string damage;
};

// How a writer's open replays the log.
struct ReplayOptions {
  // Apply what the log holds on a second thread while this one reads on
  // (the thread is gone again when the open returns).
  bool parallel = false;
  // Leave in the cache the replayed values a put of each would have; a
  // store left cold reads them from the files when asked.
  bool warm_cache = true;
  // Leave the snapshot's pairs in a mapping of snapshot.bin instead of
  // reading them in: for a store that keeps every other writer out, as the
  // data files' mappings are.
  bool map_index = false;
};

struct StoreStats {
  RecordCounts records;
  uint64_t live_bytes = 0;  // key and value bytes of the live records
  uint64_t cache_entries = 0;
  uint64_t cache_capacity = 0;
  // The files' lengths (read-only: 0 for a missing file).
  uint64_t keys_file_bytes = 0;
  uint64_t vals_file_bytes = 0;
  uint64_t table_file_bytes = 0;
  uint64_t log_file_bytes = 0;  // the log's buffered bytes included
};

class Store {
 public:
  // A salvage is a read-only open that also takes a damaged store, as far
  // as its files bear it out.
  enum class Mode { kReadWrite, kReadOnly, kSalvage };

  // Opens the data files of `paths`, loads the snapshot and replays the log.
  // For writing, the files are created and sized, the replayed puts are
  // written to them, and every failure but opening the snapshot or the log
  // panics; read-only, nothing is written and failures come back as Status.
  static Status open(const StorePaths& paths, Mode mode, uint64_t cache_size,
                     std::unique_ptr<Store>* out, OpenReport* report,
                     const ReplayOptions& replay = ReplayOptions());

  const RecordState& state() const { return state_; }
  // Replaces the index by `index`, which holds the same entries (merged,
  // as a persist wrote them).
  void adopt_index(KeyIndex&& index) noexcept { std::swap(state_.index, index); }

  // The value stored under `key`, or nullptr. The pointer refers to the
  // cached copy and stays valid until the next change to the Store.
  const std::string* lookup(std::string_view key);
  // Appends a new record for key and makes it current, retiring the previous
  // record of the key's hash. When the record cannot be written, nothing
  // changes and the failure comes back.
  Status apply_put(std::string_view key, std::string value);
  // Retires the key's current record; false when it has none.
  bool apply_delete(std::string_view key);
  // Appends the batch's records with one write to each data file, then
  // makes each current in turn, as apply_put would, caching each value when
  // `cache_values` (else dropping what the cache held for the key). When the
  // records cannot be written, nothing changes and the failure comes back.
  Status apply_batch(const PutBatch& batch, bool cache_values = false);

  // Whether `key` has a record: its key is read, its value is not, and the
  // cache is left as it is.
  bool contains(std::string_view key) const;
  // Whether the key's hash names a current record, without reading it: what
  // a delete would retire.
  bool names(std::string_view key) const;
  // The live records from RecordId `from` on, in order, within `limits`.
  void scan(uint32_t from, const ScanLimits& limits, ScanChunk* out) const;
  // The key and value of the live record with the largest RecordId, the
  // last one written; false when there is none.
  bool last_record(std::string* key, std::string* value) const;
  // Forces the data files to the disk.
  Status sync_files() const { return files_.sync(); }
  // See DataFiles::hold_appends and write_held.
  void hold_appends() { files_.hold_appends(); }
  bool holds_appends() const { return files_.holds_appends(); }
  Status write_held() { return files_.write_held(); }

  // Live keys in ascending RecordId order, read from keys.bin.
  std::vector<std::string> keys() const;
  // Calls f(key, value) for every live record in RecordId order, reading
  // each in turn; nothing is held in memory beyond one record.
  template <class F>
  void for_each_live(F&& f) const;
  uint64_t len() const { return state_.live.cardinality(); }
  StoreStats stats() const;
  // For a salvage: calls keep(key, value) for every live record that can be
  // read as the one its index entry names (record_check.h), lose(id, why)
  // for every other, in RecordId order. Nothing here panics.
  void salvage(const std::function<void(const std::string&, const std::string&)>& keep,
               const std::function<void(uint32_t, const char*)>& lose) const;

  void clear_cache() { cache_.clear(); }
  bool cached(std::string_view key) const;
  uint64_t cache_entries() const { return cache_.size(); }
  uint64_t cache_capacity() const { return cache_.capacity(); }

  // Rewrites the data files without garbage (see vacuum.cc). Failures of
  // file operations come back as a Status; a row outside the table or a
  // failed mapping panics. On success the log holds only entries the new
  // state reflects, and *installing the gate readers still wait at: the
  // caller empties the log before it lets them in.
  Status vacuum(const StorePaths& paths, LogWriter& log, std::optional<LoadGate>* installing);
  // A vacuum committed but could not put its files in place; the next open
  // completes it, and until then neither persist nor vacuum may run.
  bool vacuum_unfinished() const { return vacuum_unfinished_; }

 private:
  // A record that a read-only open knows only from the log.
  struct LoggedRecord {
    std::string key;
    std::string value;
  };

  // A writer's replay, gathered since its last fold.
  struct ReplayFold {
    ReplayFold(uint32_t next_id, uint64_t keys_end, uint64_t vals_end)
        : state(next_id, keys_end, vals_end) {}
    RecordFold state;
    std::vector<PutBatch> runs;  // the puts' records, written out, for the cache
    size_t bytes = 0;            // of the records written since the fold began
    // Each delete: the id of the next put, and the hash.
    std::vector<std::pair<uint32_t, uint64_t>> deletes;
  };

  Store(DataFiles files, Mode mode, uint64_t cache_size);
  Status recover(const StorePaths& paths, const ReplayOptions& options, OpenReport* report);
  Status choose_ends(const StorePaths& paths);
  // Applies a fold to the state, and to the cache when `warm_cache`; the fold
  // is left empty, gathered against the new state.
  void apply_replayed(ReplayFold* fold, bool warm_cache);
  // A prepared, not yet applied fold's changes to the cache.
  void warm_cache_with(const ReplayFold& fold);
  // Writes the batch's records as rows `first` on, at keys_at and vals_at,
  // with one write to each data file (none where the bytes are there
  // already, with `skip_same`); changes no state.
  Status write_records(const PutBatch& batch, uint32_t first, uint64_t keys_at, uint64_t vals_at,
                       bool skip_same = false);
  // Writes every live record to the .vac copies of `data`, building in
  // *copy the state those copies describe.
  Status copy_live_records(const DataPaths& data, RecordState* copy) const;
  const LoggedRecord* logged(uint32_t id) const;
  // Row `id`, which must lie inside the table and where appending left it
  // (record_table.h): a row that says otherwise is damage, read as a file
  // that ends too early, before anything is allocated for it.
  Status read_row(uint32_t id, RecordEntry* out) const;
  // The generation row `id` belongs to: the snapshot's, or the one since.
  RowRun run_of(uint32_t id) const {
    if (id < loaded_.end_id) return loaded_;
    return {state_.record_count, state_.keys_end, state_.vals_end};
  }
  // The same where a failure has no error path.
  RecordEntry entry(uint32_t id) const {
    RecordEntry e;
    unwrap(read_row(id, &e));
    return e;
  }
  // Reads record `id`'s key and, unless `value` is null, its value.
  void read_record(uint32_t id, std::string* key, std::string* value) const;

  RecordState state_;
  RowRun loaded_;  // the records the snapshot (or the vacuum) counted
  ValueCache cache_;
  DataFiles files_;
  // Closes the files a vacuum replaced, for a writer that holds its appends.
  ReleaseThread<DataFiles> replaced_files_;
  const Mode mode_;
  const bool read_only_;
  HashMap<uint32_t, LoggedRecord> logged_ = new_hash_map<uint32_t, LoggedRecord>();
  static constexpr size_t kKeptScratch = 1 << 16;
  std::string key_scratch_;
  bool vacuum_unfinished_ = false;
};

template <class F>
void Store::for_each_live(F&& f) const {
  std::string key, value;
  state_.live.for_each([&](uint32_t id) {
    if (const LoggedRecord* r = logged(id)) return f(r->key, r->value);
    RecordEntry e = entry(id);
    unwrap(files_.read_key(e, &key));
    unwrap(files_.read_value(e, &value));
    f(key, value);
  });
}

}  // namespace corvid
