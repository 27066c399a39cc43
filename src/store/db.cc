#include "store/db.h"

#include <fcntl.h>

#include <optional>

#include "format/file_util.h"
#include "format/snapshot.h"
#include "store/crash_point.h"
#include "store/recovery.h"
#include "store/vacuum.h"

namespace corvid {

namespace {

Status check_length(const char* what, uint64_t length) {
  if (length <= kMaxLength) return Status();
  return Status::Custom(ErrorKind::kLengthLimit, std::string(what) + " is " +
                                                     std::to_string(length) +
                                                     " bytes long; the limit is 4294967295 bytes");
}

}  // namespace

Status check_put_lengths(uint64_t key_len, uint64_t value_len) {
  Status s = check_length("key", key_len);
  return s.ok() ? check_length("value", value_len) : s;
}

Status Db::open(std::string path, uint64_t cache_size, std::unique_ptr<Db>* out) {
  Status s = make_dirs(path);
  if (s.ok()) s = finish_interrupted_vacuum(path);
  if (!s.ok()) return s;
  std::string snapshot_path = join_path(path, "snapshot.bin");
  std::string wal_path = join_path(path, "wal.bin");
  std::string offsets_path = join_path(path, "offsets.bin");
  std::string keys_path = join_path(path, "keys.bin");
  std::string vals_path = join_path(path, "vals.bin");

  auto store = std::make_shared<StoreHandle>(DataFiles::open(offsets_path, keys_path, vals_path),
                                             cache_size);
  std::optional<uint64_t> truncate_log_to;
  s = recover_store(store->store, snapshot_path, wal_path, &truncate_log_to);
  if (!s.ok()) return s;

  Fd wal_fd;
  s = open_file(wal_path, O_WRONLY | O_APPEND | O_CREAT, &wal_fd);
  if (!s.ok()) return s;
  // Entries appended behind undecodable bytes would never be replayed.
  if (truncate_log_to) {
    s = set_length(wal_fd.get(), *truncate_log_to);
    if (!s.ok()) return s;
  }
  auto wal = std::make_shared<WalHandle>(std::move(wal_fd));
  out->reset(new Db(std::move(path), std::move(store), std::move(wal)));
  return Status();
}

Db::~Db() {
  store_.reset();
  wal_.reset();
}

Status Db::set_bytes(std::string_view key, std::string value) {
  Status s = check_put_lengths(key.size(), value.size());
  if (!s.ok()) return s;
  std::unique_lock store_lock(store_->mu);
  std::unique_lock wal_lock(wal_->mu);
  unwrap(wal_->log.append_put(key, value));
  store_->store.apply_put(key, std::move(value));
  wal_lock.unlock();
  return Status();
}

bool Db::delete_key(std::string_view key) {
  std::unique_lock wal_lock(wal_->mu);
  unwrap(wal_->log.append_delete(key));
  std::unique_lock store_lock(store_->mu);
  bool found = store_->store.apply_delete(key);
  wal_lock.unlock();
  return found;
}

Status Db::persist() {
  const std::string snapshot_path = join_path(path_, "snapshot.bin");
  const std::string tmp_path = join_path(path_, "snapshot.bin.tmp");
  {
    std::shared_lock lock(store_->mu);
    Fd fd;
    Status s = open_file(tmp_path, O_WRONLY | O_CREAT | O_TRUNC, &fd);
    if (!s.ok()) return s;
    BufferedWriter out(std::move(fd), kSnapshotWriteBuffer);
    const Store& store = store_->store;
    unwrap(write_snapshot(out, store.index, store.live, store.dead,
                          {store.files.record_count, store.files.keys_end, store.files.vals_end}));
    s = out.flush();
    if (!s.ok()) return s;
  }
  // Every entry the snapshot covers reaches the log before the snapshot is
  // installed, and the log is emptied only once nothing of it is pending: a
  // crash at any step reopens to the state before persist or at it, and no
  // torn tail of an old entry lands at the start of the emptied log.
  std::lock_guard wal_lock(wal_->mu);
  Status s = wal_->log.flush();
  if (!s.ok()) return s;
  s = rename_file(tmp_path, snapshot_path);
  if (!s.ok()) return s;
  crash_point("persist-renamed");
  return wal_->log.empty_file();
}

Status Db::vacuum() {
  std::unique_lock store_lock(store_->mu);
  std::lock_guard wal_lock(wal_->mu);
  return vacuum_store(store_->store, path_, wal_->log);
}

std::vector<std::string> Db::keys() {
  std::shared_lock lock(store_->mu);
  return store_->store.keys();
}

uint64_t Db::len() {
  std::shared_lock lock(store_->mu);
  return store_->store.len();
}

void Db::clear_cache() {
  std::unique_lock lock(store_->mu);
  store_->store.cache.clear();
}

std::pair<uint64_t, uint64_t> Db::cache_stats() {
  std::shared_lock lock(store_->mu);
  return {store_->store.cache.size(), store_->store.cache.capacity()};
}

}  // namespace corvid
