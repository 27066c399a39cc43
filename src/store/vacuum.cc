// Vacuum: copying the current records into fresh files, renumbered densely
// from 0, and switching the Store over to them.
//
// A crash at any moment leaves a directory that opens to the state just
// before the vacuum or just after it. The copies are written as .vac files
// and synced; then the snapshot of the new state is written and synced as
// snapshot.bin.vac together with the directory: from that point on the
// vacuum counts as done. Then the copies are renamed into place, the
// snapshot is installed and the log, whose entries the new state already
// reflects, is emptied. At open, a decodable snapshot.bin.vac finishes an
// interrupted vacuum; without one, leftover .vac files are dropped.
#include "store/vacuum.h"

#include <fcntl.h>
#include <unistd.h>

#include "format/buffered_writer.h"
#include "format/snapshot.h"
#include "format/span_reader.h"
#include "store/crash_point.h"
#include "store/key_hash.h"
#include "store/load_gate.h"
#include "store/removed_unless_kept.h"
#include "store/store.h"

namespace corvid {

namespace {

// The copies go through buffers; the files see the same bytes, front to back.
constexpr size_t kCopyBuffer = 1 << 20;
// Copied bytes between two starts of the copies' writeback.
constexpr uint64_t kWritebackStep = 4 << 20;

// The index of the copied records, whose KeyHashes `hashes` gives by id.
// Two live records of one hash (damage) copy as a put of each would: the
// later stays live, the earlier is garbage.
void index_copied(const std::vector<uint64_t>& hashes, RecordState* copy) {
  IndexPairs pairs(hashes.size());
  for (size_t id = 0; id < hashes.size(); ++id) {
    pairs[id] = {hashes[id], static_cast<uint32_t>(id)};
  }
  copy->index.load(std::move(pairs));
  if (copy->index.size() == hashes.size()) return;
  for (size_t id = 0; id < hashes.size(); ++id) {
    if (copy->index.find(hashes[id]) != id) {
      copy->live.remove(static_cast<uint32_t>(id));
      copy->dead.add(static_cast<uint32_t>(id));
    }
  }
}

// The same index taken from the old one, already in hash order, with each
// id renumbered through `new_ids` (old id -> new id): no sort. Only when the
// old index names every copied record once, under the hash its key has;
// false, with nothing changed, otherwise.
bool index_renumbered(const KeyIndex& old, const std::vector<uint32_t>& new_ids,
                      const std::vector<uint64_t>& hashes, RecordState* copy) {
  if (old.size() != hashes.size()) return false;
  IndexPairs scratch;
  const std::span<const IndexPair> in_order = old.in_order(&scratch);
  IndexPairs pairs(in_order.size());
  for (size_t i = 0; i < in_order.size(); ++i) {
    const uint64_t h = in_order[i].hash;
    const uint32_t id = in_order[i].id;
    const uint32_t renumbered = id < new_ids.size() ? new_ids[id] : KeyIndex::kNone;
    if (renumbered == KeyIndex::kNone || hashes[renumbered] != h) return false;
    pairs[i] = {h, renumbered};
  }
  copy->index.load(std::move(pairs));  // in order: taken after one pass
  return true;
}

Status create_copy(const std::string& path, Fd* fd) {
  return open_file(vacuum_copy(path), O_WRONLY | O_CREAT | O_TRUNC, fd);
}

// Writes `state` as snapshot.bin.vac and syncs it and the directory: the
// vacuum's commit point.
Status commit_snapshot(const RecordState& state, const StorePaths& paths) {
  Fd fd;
  Status s = create_copy(paths.snapshot, &fd);
  if (!s.ok()) return s;
  BufferedWriter out(std::move(fd), kSnapshotWriteBuffer);
  s = write_snapshot(out, state);
  if (s.ok()) s = out.flush();
  if (!s.ok()) out.discard();  // nothing more of it is written on the way out
  if (s.ok()) s = sync_file(out.fd());
  if (s.ok()) s = sync_dir(paths.dir);
  return s;
}

}  // namespace

Status Store::copy_live_records(const DataPaths& data, RecordState* copy) const {
  Fd keys_fd, vals_fd, offsets_fd;
  Status s = create_copy(data.keys, &keys_fd);
  if (s.ok()) s = create_copy(data.vals, &vals_fd);
  if (s.ok()) s = create_copy(data.offsets, &offsets_fd);
  if (!s.ok()) return s;
  // The writers flush on destruction too; every path below flushes first.
  BufferedWriter keys(std::move(keys_fd), kCopyBuffer);
  BufferedWriter vals(std::move(vals_fd), kCopyBuffer);
  BufferedWriter rows(std::move(offsets_fd), kCopyBuffer);

  copy->keys_end = copy->vals_end = 0;
  // The live records' bytes lie front to back in the files, in id order:
  // they are read in large spans, and the new ids are the ranks of the old.
  SpanReader key_bytes(files_.keys_fd(), state_.keys_end);
  SpanReader value_bytes(files_.vals_fd(), state_.vals_end);
  const uint64_t live_count = state_.live.cardinality();
  std::vector<uint64_t> hashes;  // by new id
  hashes.reserve(static_cast<size_t>(live_count));
  // Old id -> new id, for taking the index over without a sort; only while
  // that costs no more than a few bytes a live record.
  const bool renumber = state_.record_count <= 4 * live_count + 4096;
  std::vector<uint32_t> new_ids(renumber ? state_.record_count : 0, KeyIndex::kNone);
  uint64_t next_writeback = kWritebackStep;
  std::string_view key, value;
  state_.live.for_each([&](uint32_t old_id) {
    if (!s.ok() || old_id >= state_.record_count) return;
    RecordEntry old;
    s = read_row(old_id, &old);
    if (s.kind() == ErrorKind::kOutOfRange) panic(s);  // a row outside the table
    if (s.ok()) s = key_bytes.read(old.key_offset, old.key_len, &key);
    if (s.ok()) s = keys.write(key.data(), key.size());
    if (s.ok()) hashes.push_back(key_hash(key));
    if (s.ok()) s = value_bytes.read(old.val_offset, old.val_len, &value);
    if (s.ok()) s = vals.write(value.data(), value.size());
    uint8_t row[kRowSize];
    encode_row(row, copy->next_entry(old.key_len, old.val_len));
    if (s.ok()) s = rows.write(row, sizeof row);
    if (s.ok()) {
      if (renumber) new_ids[old_id] = copy->record_count;
      copy->live.add(copy->record_count++);
      copy->keys_end += old.key_len;
      copy->vals_end += old.val_len;
      // The disk writes the copies while the loop goes on, instead of all
      // of it in the syncs at the end.
      if (copy->keys_end + copy->vals_end >= next_writeback) {
        next_writeback = copy->keys_end + copy->vals_end + kWritebackStep;
        for (int fd : {keys.fd(), vals.fd()}) start_writeback(fd);
      }
    }
  });
  if (s.ok() && !(renumber && index_renumbered(state_.index, new_ids, hashes, copy))) {
    index_copied(hashes, copy);
  }
  if (!s.ok()) return s;
  // The copy of the table has its full size and blocks before the commit:
  // after it, nothing may need room that the old files still hold.
  s = rows.flush();
  if (s.ok()) {
    s = reserve_blocks(rows.fd(), 0,
                       std::max<uint64_t>(copy->record_count, kInitialCapacity) * kRowSize);
  }
  if (!s.ok()) return s;
  for (BufferedWriter* w : {&keys, &vals, &rows}) {
    s = w->flush();
    if (s.ok()) s = sync_file(w->fd());
    if (!s.ok()) return s;
  }
  return Status();
}

Status Store::vacuum(const StorePaths& paths, LogWriter& log, std::optional<LoadGate>* installing) {
  // The log's pending entries reach the file first: a crash anywhere in the
  // vacuum then loses no finished call, and the log, replayed on top of the
  // new snapshot, holds only entries that state already reflects.
  Status s = log.flush();
  if (s.ok()) s = files_.write_held();  // the copy reads the files
  if (!s.ok()) return s;
  // Until the commit, a failure takes the copies away again, so that a full
  // disk is not kept full by them.
  // The snapshot first: without it the copies are no vacuum a reader or
  // the next open would take up.
  RemovedUnlessKept copies({vacuum_copy(paths.snapshot), vacuum_copy(paths.data.keys),
                            vacuum_copy(paths.data.vals), vacuum_copy(paths.data.offsets)});
  RecordState compacted;
  s = copy_live_records(paths.data, &compacted);
  if (!s.ok()) return s;
  crash_point("vacuum-copied");

  s = commit_snapshot(compacted, paths);
  if (!s.ok()) return s;
  copies.keep();
  crash_point("vacuum-committed");
  // From here the directory holds the vacuum's state, which the next open
  // completes. Should a step fail, the instance goes on with its writes,
  // which the log carries onto that state, but a persist or another vacuum
  // would be undone by that completion: they wait for the reopen.
  struct Unfinished {
    bool* flag;
    ~Unfinished() {
      if (flag != nullptr) *flag = true;
    }
  } unfinished{&vacuum_unfinished_};

  // From the first rename until the log is emptied, readers wait.
  LoadGate gate = LoadGate::for_installing(log.fd());
  for (const std::string* p : {&paths.data.keys, &paths.data.vals, &paths.data.offsets}) {
    s = rename_file(vacuum_copy(*p), *p);
    if (!s.ok()) return s;
    crash_point("vacuum-renamed-one");
  }
  // The compacted files open as any store's do: the record table sized to
  // max(rows, 100000), mapped and advised for random access.
  DataFiles files;
  s = DataFiles::open(paths.data, OpenMode::kExisting, &files);
  if (s.ok()) s = files.size_table(compacted.record_count);
  if (!s.ok()) return s;
  unwrap(files.map_table());

  if (files_.holds_appends()) {
    files.hold_appends();
    // The old files close beside the calls that follow, or here as the new
    // ones take their place.
    replaced_files_.release(std::move(files_));
  }
  files_ = std::move(files);
  state_ = std::move(compacted);
  loaded_ = {state_.record_count, state_.keys_end, state_.vals_end};
  cache_.clear();

  s = rename_file(vacuum_copy(paths.snapshot), paths.snapshot);
  if (!s.ok()) return s;
  unfinished.flag = nullptr;
  crash_point("vacuum-installed");
  installing->emplace(std::move(gate));
  return Status();
}

namespace {

// Whether a vacuum had committed: its snapshot exists and decodes. Fails
// only when the snapshot exists but cannot be opened.
Status vacuum_committed(const StorePaths& paths, bool* committed) {
  SnapshotImage image;
  return read_snapshot(vacuum_copy(paths.snapshot), &image, committed);
}

}  // namespace

Status finish_interrupted_vacuum(const StorePaths& paths) {
  bool committed = false;
  Status s = vacuum_committed(paths, &committed);
  if (!s.ok()) return s;
  const std::string* data[] = {&paths.data.keys, &paths.data.vals, &paths.data.offsets};
  if (!committed) {
    // A vacuum that stopped before its snapshot was complete changed nothing.
    // Its copies go if they can; a torn snapshot that stays would be read
    // again at every open, so failing to remove it fails the open.
    for (const std::string* p : data) (void)remove_file(vacuum_copy(*p));
    return remove_file(vacuum_copy(paths.snapshot));
  }
  for (const std::string* p : data) {
    if (path_exists(vacuum_copy(*p))) {
      s = rename_file(vacuum_copy(*p), *p);
      if (!s.ok()) return s;
    }
  }
  return rename_file(vacuum_copy(paths.snapshot), paths.snapshot);
}

Status committed_vacuum(const StorePaths& paths, StorePaths* state_paths, bool* committed) {
  *state_paths = paths;
  Status s = vacuum_committed(paths, committed);
  if (!s.ok() || !*committed) return s;
  state_paths->snapshot = vacuum_copy(paths.snapshot);
  for (std::string* p :
       {&state_paths->data.keys, &state_paths->data.vals, &state_paths->data.offsets}) {
    if (path_exists(vacuum_copy(*p))) *p = vacuum_copy(*p);
  }
  return Status();
}

}  // namespace corvid
