#include "store/vacuum.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "format/buffered_writer.h"
#include "format/snapshot.h"
#include "store/crash_point.h"
#include "store/key_hash.h"

namespace corvid {

namespace {

// The copies go through buffers; the files see the same bytes, front to back.
constexpr size_t kCopyBuffer = 1 << 20;

const char* const kDataFiles[] = {"keys.bin", "vals.bin", "offsets.bin"};

struct Paths {
  explicit Paths(const std::string& dir)
      : keys(join_path(dir, "keys.bin")),
        vals(join_path(dir, "vals.bin")),
        offsets(join_path(dir, "offsets.bin")),
        snapshot(join_path(dir, "snapshot.bin")) {}
  std::string keys, vals, offsets, snapshot;
  static std::string vac(const std::string& path) { return path + ".vac"; }
};

Status sync_dir(const std::string& dir) {
  Fd fd;
  Status s = open_file(dir.empty() ? "." : dir, O_RDONLY | O_DIRECTORY, &fd);
  return s.ok() ? sync_file(fd.get()) : s;
}

// The state the copies describe, built while copying.
struct Compacted {
  RecordIndex index = new_hash_map<uint64_t, uint32_t>();
  Bitmap live;
  uint32_t count = 0;
  uint64_t keys_end = 0;
  uint64_t vals_end = 0;
};

Status copy_live_records(const Store& store, const Paths& paths, Compacted* out) {
  Fd keys_fd, vals_fd, offsets_fd;
  const int create = O_WRONLY | O_CREAT | O_TRUNC;
  Status s = open_file(Paths::vac(paths.keys), create, &keys_fd);
  if (s.ok()) s = open_file(Paths::vac(paths.vals), create, &vals_fd);
  if (s.ok()) s = open_file(Paths::vac(paths.offsets), create, &offsets_fd);
  if (!s.ok()) return s;
  // The writers flush on destruction too; every path below flushes first.
  BufferedWriter keys(std::move(keys_fd), kCopyBuffer);
  BufferedWriter vals(std::move(vals_fd), kCopyBuffer);
  BufferedWriter rows(std::move(offsets_fd), kCopyBuffer);

  out->index.reserve(store.index.size());
  const DataFiles& files = store.files;
  std::string key, value;
  bool done = false;
  store.live.for_each([&](uint32_t old_id) {
    if (done || old_id >= files.record_count) return;
    RecordEntry entry = files.read_entry(old_id);
    s = files.read_key(entry, &key);
    if (s.ok()) s = files.read_value(entry, &value);
    if (s.ok()) s = keys.write(key.data(), key.size());
    if (s.ok()) s = vals.write(value.data(), value.size());
    uint8_t row[kRowSize];
    encode_row(row, {out->keys_end, entry.key_len, out->vals_end, entry.val_len});
    if (s.ok()) s = rows.write(row, sizeof row);
    if (!s.ok()) {
      done = true;
      return;
    }
    uint32_t id = out->count++;
    out->index.insert_or_assign(key_hash(key), id);
    out->live.add(id);
    out->keys_end += entry.key_len;
    out->vals_end += entry.val_len;
  });
  if (!s.ok()) return s;
  for (BufferedWriter* w : {&keys, &vals, &rows}) {
    s = w->flush();
    if (s.ok()) s = sync_file(w->fd());
    if (!s.ok()) return s;
  }
  return Status();
}

Status write_new_snapshot(const Compacted& state, const Paths& paths, const std::string& dir) {
  Fd fd;
  Status s = open_file(Paths::vac(paths.snapshot), O_WRONLY | O_CREAT | O_TRUNC, &fd);
  if (!s.ok()) return s;
  BufferedWriter out(std::move(fd), kSnapshotWriteBuffer);
  s = write_snapshot(out, state.index, state.live, Bitmap(),
                     {state.count, state.keys_end, state.vals_end});
  if (s.ok()) s = out.flush();
  if (s.ok()) s = sync_file(out.fd());
  if (s.ok()) s = sync_dir(dir);
  return s;
}

Fd open_final(const std::string& path, Status* s) {
  Fd fd;
  if (s->ok()) *s = open_file(path, O_RDWR, &fd);
  return fd;
}

}  // namespace

Status vacuum_store(Store& store, const std::string& dir, LogWriter& log) {
  // The log's pending entries reach the file first: a crash anywhere in the
  // vacuum then loses no finished call, and the log, replayed on top of the
  // new snapshot, holds only entries that state already reflects.
  Status s = log.flush();
  if (!s.ok()) return s;
  const Paths paths(dir);
  Compacted state;
  s = copy_live_records(store, paths, &state);
  if (!s.ok()) return s;
  crash_point("vacuum-copied");

  s = write_new_snapshot(state, paths, dir);
  if (!s.ok()) return s;
  crash_point("vacuum-committed");

  for (const std::string* p : {&paths.keys, &paths.vals, &paths.offsets}) {
    s = rename_file(Paths::vac(*p), *p);
    if (!s.ok()) return s;
    crash_point("vacuum-renamed-one");
  }
  Fd keys_fd = open_final(paths.keys, &s);
  Fd vals_fd = open_final(paths.vals, &s);
  Fd offsets_fd = open_final(paths.offsets, &s);
  if (!s.ok()) return s;
  TableMapping table;
  unwrap(map_record_table(offsets_fd.get(), &table));

  DataFiles& files = store.files;
  files.table = std::move(table);
  files.keys_fd = std::move(keys_fd);
  files.vals_fd = std::move(vals_fd);
  files.offsets_fd = std::move(offsets_fd);
  store.index = std::move(state.index);
  store.live = std::move(state.live);
  store.dead.clear();
  files.record_count = state.count;
  files.keys_end = state.keys_end;
  files.vals_end = state.vals_end;
  store.cache.clear();

  files.capacity = std::max<uint64_t>(files.record_count, kInitialCapacity);
  uint64_t length;
  s = file_length(files.offsets_fd.get(), &length);
  if (s.ok() && length < files.capacity * kRowSize) {
    s = set_length(files.offsets_fd.get(), files.capacity * kRowSize);
    if (s.ok()) {
      TableMapping grown;
      unwrap(map_record_table(files.offsets_fd.get(), &grown));
      files.table = std::move(grown);
    }
  }
  if (!s.ok()) return s;

  s = rename_file(Paths::vac(paths.snapshot), paths.snapshot);
  crash_point("vacuum-installed");
  if (s.ok()) s = log.empty_file();
  return s;
}

Status finish_interrupted_vacuum(const std::string& dir) {
  const Paths paths(dir);
  const std::string snapshot_vac = Paths::vac(paths.snapshot);
  if (!path_exists(snapshot_vac)) {
    // A vacuum that stopped before its snapshot was complete changed nothing.
    for (const char* name : kDataFiles) ::unlink(Paths::vac(join_path(dir, name)).c_str());
    return Status();
  }
  auto index = new_hash_map<uint64_t, uint32_t>();
  Bitmap live, dead;
  SnapshotCounters counters;
  bool decoded = false;
  Status s = read_snapshot(snapshot_vac, &index, &live, &dead, &counters, &decoded);
  if (!s.ok()) return s;
  if (!decoded) {
    ::unlink(snapshot_vac.c_str());
    return finish_interrupted_vacuum(dir);
  }
  for (const std::string* p : {&paths.keys, &paths.vals, &paths.offsets}) {
    if (path_exists(Paths::vac(*p))) {
      s = rename_file(Paths::vac(*p), *p);
      if (!s.ok()) return s;
    }
  }
  return rename_file(snapshot_vac, paths.snapshot);
}

}  // namespace corvid
