#include "store/db.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <new>

#include "format/buffered_writer.h"
#include "format/file_util.h"
#include "format/snapshot.h"
#include "store/crash_point.h"
#include "store/load_gate.h"
#include "store/removed_unless_kept.h"
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

// A read-only open accepts a directory that holds at least one of the
// store's files, and creates nothing where there is none.
Status check_store_directory(const StorePaths& paths) {
  struct stat st;
  if (::stat(directory_path(paths.dir).c_str(), &st) != 0) return Status::FromErrno(errno);
  if (!S_ISDIR(st.st_mode)) return Status::FromErrno(ENOTDIR);
  // A directory that cannot be searched is refused as such, not as empty.
  if (::access(directory_path(paths.dir).c_str(), X_OK) != 0) return Status::FromErrno(errno);
  for (std::string_view name : kStoreFiles) {
    if (path_exists(join_path(paths.dir, name))) return Status();
  }
  if (path_exists(vacuum_copy(paths.snapshot))) return Status();
  std::string names;
  for (std::string_view name : kStoreFiles) {
    names += (names.empty() ? "" : ", ") + std::string(name);
  }
  return Status::Custom(
      ErrorKind::kNotFound,
      quoted_dir(paths.dir) + " is not a storage directory: it holds none of " + names);
}

Status check_put_lengths(uint64_t key_len, uint64_t value_len) {
  Status s = check_length("key", key_len);
  return s.ok() ? check_length("value", value_len) : s;
}

Db::Db(StorePaths paths, DirLock claim, std::unique_ptr<Store> store,
       std::unique_ptr<LogWriter> log, OpenReport report, Durability durability)
    : paths_(std::move(paths)),
      report_(std::move(report)),
      owner_pid_(::getpid()),
      generation_(fork_generation()),
      durability_(durability),
      claim_(std::move(claim)),
      log_(std::move(log)),
      store_(std::move(store)) {}

Db::~Db() {
  // No other instance may ask anything of this one from here on.
  claim_.clear_settle();
  // A forked child must not write its parent's pending entries: the parent
  // writes them itself, and a second copy could land after its later ones.
  if (generation_ != fork_generation() && log_ != nullptr) log_->abandon();
}

Status Db::open(std::string path, uint64_t cache_size, std::unique_ptr<Db>* out,
                Durability durability, bool exclusive) {
  Status s = make_dirs(path);
  if (!s.ok()) return s;
  // Another instance of this process that holds the directory writes out
  // its log's buffer first: this one then replays every call that one made,
  // and its cut of a torn log tail cuts nothing that one is still writing.
  DirLock claim;
  s = DirLock::acquire(path, &claim, exclusive);
  if (!s.ok()) return s;
  StorePaths paths(path);
  {
    LoadGate gate = LoadGate::for_installing(paths.wal);
    s = finish_interrupted_vacuum(paths);
  }
  if (!s.ok()) return s;

  std::unique_ptr<Store> store;
  OpenReport report;
  // An exclusive open (the package's) replays on two threads and leaves the
  // cache cold, as an open after a persist does; the low-level module keeps
  // to the thread it is called on and warms the cache with every replayed
  // put, as its calls would. Only the exclusive open maps the snapshot's
  // index: no other writer can be at its files (nor, with the low-level
  // module's positioned reads, can a file damaged behind it fault the
  // process).
  ReplayOptions replay;
  replay.parallel = exclusive;
  replay.warm_cache = !exclusive;
  replay.map_index = exclusive;
  s = Store::open(paths, Store::Mode::kReadWrite, cache_size, &store, &report, replay);
  if (!s.ok()) return s;
  // With no other instance appending, the data files' appends can wait in
  // memory: the log, replayed at the next open, recovers any that a crash
  // keeps from the files.
  if (exclusive) store->hold_appends();

  Fd wal_fd;
  s = open_file(paths.wal, O_WRONLY | O_APPEND | O_CREAT, &wal_fd);
  if (!s.ok()) return s;
  // Entries appended behind undecodable bytes would never be replayed.
  if (report.log.torn()) {
    s = set_length(wal_fd.get(), report.log.whole_end);
    if (!s.ok()) return s;
  }
  uint64_t wal_length = 0;
  s = file_length(wal_fd.get(), &wal_length);
  if (!s.ok()) return s;
  // A synced write survives a power loss only if the files it lands in do:
  // their names in the directory, and the directory's in its parent.
  if (durability == Durability::kSync) {
    s = sync_dir(paths.dir);
    if (s.ok()) s = sync_dir(std::filesystem::path(directory_path(paths.dir)).parent_path());
    if (!s.ok()) return s;
  }
  out->reset(new Db(std::move(paths), std::move(claim), std::move(store),
                    std::make_unique<LogWriter>(std::move(wal_fd), wal_length), std::move(report),
                    durability));
  Db* db = out->get();
  // Another instance that opens the directory replays the log: it must end
  // in whole entries, this one's included.
  db->claim_.set_settle([db] { return db->flush_log(); });
  return Status();
}

Status Db::open_read_only(std::string path, uint64_t cache_size, std::unique_ptr<Db>* out,
                          bool salvage) {
  StorePaths paths(path);
  Status s = check_store_directory(paths);
  if (!s.ok()) return s;
  std::unique_ptr<Store> store;
  OpenReport report;
  bool interrupted = false;
  {
    LoadGate gate = LoadGate::for_loading(paths.wal);
    StorePaths state_paths = paths;
    s = committed_vacuum(paths, &state_paths, &interrupted);
    const Store::Mode mode = salvage ? Store::Mode::kSalvage : Store::Mode::kReadOnly;
    if (s.ok()) s = Store::open(state_paths, mode, cache_size, &store, &report);
  }
  if (!s.ok()) return s;
  report.vacuum_interrupted = interrupted;
  out->reset(new Db(std::move(paths), DirLock(), std::move(store), nullptr, std::move(report),
                    Durability::kBuffered));
  return Status();
}

Status Db::forked() const {
  return Status::Custom(ErrorKind::kUncategorized,
                        "storage directory " + quoted_dir(paths_.dir) + " was opened by process " +
                            std::to_string(owner_pid_) + "; process " + std::to_string(::getpid()) +
                            ", forked from it, cannot use that instance");
}

Status Db::writable() const {
  Status s = usable();
  if (s.ok() && log_ == nullptr) {
    s = Status::Custom(ErrorKind::kPermissionDenied,
                       "storage directory " + quoted_dir(paths_.dir) + " is open read-only");
  }
  return s;
}

Status Db::flush_log() {
  if (log_ == nullptr || !usable().ok()) return Status();
  SharedLock store_lock(store_mu_);
  ExclusiveLock log_lock(log_mu_);
  Status s = log().flush();
  // The log holds every held append, so a failure to complete the files
  // loses nothing: persist and close, which need them, report it.
  if (s.ok()) (void)store_->write_held();
  return s;
}

Status Db::set_bytes(std::string_view key, std::string value) {
  Status s = check_put_lengths(key.size(), value.size());
  if (s.ok()) s = writable();
  if (!s.ok()) return s;
  ExclusiveLock store_lock(store_mu_);
  ExclusiveLock log_lock(log_mu_);
  return put_locked(key, std::move(value));
}

Status Db::put_locked(std::string_view key, std::string value) {
  // The last RecordId is 2^32 - 2: record_count must stay countable.
  if (store_->state().record_count == UINT32_MAX) {
    return Status::Custom(ErrorKind::kCapacityOverflow,
                          "the record table is full (4294967295 records): vacuum the store");
  }
  // A put that fails leaves nothing behind: neither its log entry nor any
  // change to the Store.
  const uint64_t mark = log().end();
  unwrap(log().append_put(key, value));
  Status s = settle_log(mark, Status());
  if (!s.ok()) return s;
  try {
    s = store_->apply_put(key, std::move(value));
  } catch (...) {  // out of memory in the index, say: the put did not happen
    roll_back(mark);
    throw;
  }
  if (!s.ok()) {
    roll_back(mark);
    panic(s);
  }
  changed();
  return Status();
}

Status Db::delete_key(std::string_view key, bool* found) {
  Status s = writable();
  if (!s.ok()) return s;
  ExclusiveLock store_lock(store_mu_);
  ExclusiveLock log_lock(log_mu_);
  const uint64_t mark = log().end();
  unwrap(log().append_delete(key));
  s = settle_log(mark, Status());
  if (!s.ok()) return s;
  *found = store_->apply_delete(key);
  if (*found) changed();
  return Status();
}

Status Db::delete_present_locked(std::span<const std::string_view> keys, uint64_t* deleted) {
  *deleted = 0;
  const uint64_t mark = log().end();
  std::vector<std::string_view> present;
  Status s;
  for (std::string_view key : keys) {
    if (!store_->names(key)) continue;
    s = log().append_delete(key);
    if (!s.ok()) break;
    present.push_back(key);
  }
  s = settle_log(mark, s);
  if (!s.ok()) return s;
  for (std::string_view key : present) *deleted += store_->apply_delete(key) ? 1 : 0;
  if (*deleted > 0) changed();
  return Status();
}

Status Db::take(std::string_view key, std::string* value, bool* found) {
  Status s = writable();
  if (!s.ok()) return s;
  ExclusiveLock store_lock(store_mu_);
  const std::string* current = store_->lookup(key);
  *found = current != nullptr;
  if (!*found) return Status();
  *value = *current;
  ExclusiveLock log_lock(log_mu_);
  uint64_t deleted = 0;
  return delete_present_locked(std::span(&key, 1), &deleted);
}

Status Db::set_default(std::string_view key, std::string value, std::string* current) {
  Status s = check_put_lengths(key.size(), value.size());
  if (s.ok()) s = writable();
  if (!s.ok()) return s;
  ExclusiveLock store_lock(store_mu_);
  if (const std::string* stored = store_->lookup(key)) {
    *current = *stored;
    return Status();
  }
  *current = value;
  ExclusiveLock log_lock(log_mu_);
  return put_locked(key, std::move(value));
}

void Db::roll_back(uint64_t mark) {
  (void)log().roll_back(mark);
  // A synced entry that was taken back must not come back after a power loss.
  if (durability_ == Durability::kSync) (void)sync_data(log().fd());
}

Status Db::settle_log(uint64_t mark, Status appended) {
  Status s = std::move(appended);
  if (s.ok() && durability_ != Durability::kBuffered) {
    s = log().flush();
    if (s.ok() && durability_ == Durability::kSync) s = sync_data(log().fd());
  }
  if (!s.ok()) roll_back(mark);
  return s;
}

Status Db::put_many(const PutBatch& batch) {
  Status s = writable();
  if (!s.ok() || batch.size() == 0) return s;
  LongCall long_call(*this);
  ExclusiveLock store_lock(store_mu_);
  if (uint64_t{store_->state().record_count} + batch.size() > UINT32_MAX - 1) {
    return Status::Custom(ErrorKind::kCapacityOverflow,
                          "the record table cannot take " + std::to_string(batch.size()) +
                              " more records (4294967295 at most): vacuum the store");
  }
  ExclusiveLock log_lock(log_mu_);
  const uint64_t mark = log().end();
  size_t key_at = 0, value_at = 0;
  for (auto [key_len, val_len] : batch.lengths) {
    s = log().append_put(std::string_view(batch.keys).substr(key_at, key_len),
                         std::string_view(batch.values).substr(value_at, val_len));
    if (!s.ok()) break;
    key_at += key_len;
    value_at += val_len;
  }
  s = settle_log(mark, s);
  if (!s.ok()) return s;
  try {
    s = store_->apply_batch(batch);
  } catch (...) {
    roll_back(mark);
    throw;
  }
  if (!s.ok()) {
    roll_back(mark);
    return s;
  }
  changed();
  return Status();
}

Status Db::delete_many(std::span<const std::string_view> keys, uint64_t* deleted) {
  *deleted = 0;
  Status s = writable();
  if (!s.ok()) return s;
  LongCall long_call(*this);
  ExclusiveLock store_lock(store_mu_);
  ExclusiveLock log_lock(log_mu_);
  return delete_present_locked(keys, deleted);
}

Status Db::pop_last(std::string* key, std::string* value, bool* found) {
  Status s = writable();
  if (!s.ok()) return s;
  ExclusiveLock store_lock(store_mu_);
  *found = store_->last_record(key, value);
  if (!*found) return Status();
  ExclusiveLock log_lock(log_mu_);
  const std::string_view last = *key;
  uint64_t deleted = 0;
  return delete_present_locked(std::span(&last, 1), &deleted);
}

Status Db::clear(uint64_t* removed) {
  *removed = 0;
  Status s = writable();
  if (!s.ok()) return s;
  LongCall long_call(*this);
  ExclusiveLock store_lock(store_mu_);
  const std::vector<std::string> keys = store_->keys();
  const std::vector<std::string_view> views(keys.begin(), keys.end());
  ExclusiveLock log_lock(log_mu_);
  return delete_present_locked(views, removed);
}

Status Db::contains(std::string_view key, bool* found) {
  Status s = usable();
  if (!s.ok()) return s;
  SharedLock lock(store_mu_);
  *found = store_->contains(key);
  return Status();
}

Status Db::scan(uint64_t seen, uint32_t from, const ScanLimits& limits, ScanChunk* out,
                bool* changed) {
  Status s = usable();
  if (!s.ok()) return s;
  LongCall long_call(*this);
  SharedLock lock(store_mu_);
  *changed = changes() != seen;
  if (!*changed) store_->scan(from, limits, out);
  return Status();
}

Status Db::close() {
  if (log_ == nullptr || !usable().ok()) return Status();
  LongCall long_call(*this);
  SharedLock store_lock(store_mu_);
  ExclusiveLock log_lock(log_mu_);
  Status s = log().flush();
  if (!s.ok() || log().end() == 0 || store_->vacuum_unfinished()) return s;
  return persist_locked();
}

Status Db::persist() {
  Status s = writable();
  if (!s.ok()) return s;
  LongCall long_call(*this);
  IndexPairs merged;
  uint64_t seen = 0;
  {
    SharedLock store_lock(store_mu_);
    ExclusiveLock log_lock(log_mu_);
    if (store_->vacuum_unfinished()) return unfinished_vacuum();
    seen = changes();
    s = persist_locked(&merged);
  }
  // The index the snapshot was written from, sorted, replaces the one in
  // use unless a change came first. It is built outside the locks, so that
  // readers wait only for the swap; short of memory, the old one stays.
  if (s.ok() && !merged.empty()) {
    KeyIndex sorted;
    try {
      sorted.load(std::move(merged));
    } catch (const std::bad_alloc&) {
      return s;
    }
    ExclusiveLock store_lock(store_mu_);
    if (changes() == seen) store_->adopt_index(std::move(sorted));
  }
  return s;
}

Status Db::persist_locked(IndexPairs* merged) {
  const std::string tmp_path = temp_copy(paths_.snapshot);
  const bool sync = durability_ == Durability::kSync;
  // A persist that fails before its rename leaves no snapshot.bin.tmp.
  RemovedUnlessKept tmp({tmp_path});
  IndexPairs sorted;  // empty when the index is one sorted array already
  {
    // The snapshot counts every record: each must be in the files before
    // the log that also holds it is emptied.
    Status s = store_->write_held();
    if (!s.ok()) return s;
    Fd fd;
    s = open_file(tmp_path, O_WRONLY | O_CREAT | O_TRUNC, &fd);
    if (!s.ok()) return s;
    BufferedWriter out(std::move(fd), kSnapshotWriteBuffer);
    s = write_snapshot(out, store_->state(), store_->state().index.in_order(&sorted));
    if (s.ok()) s = out.flush();
    if (!s.ok()) {
      out.discard();
      return s;
    }
    // Once the log is emptied, the snapshot and the data files hold the
    // only copy of its records.
    if (sync) s = store_->sync_files();
    if (s.ok() && sync) s = sync_file(out.fd());
    if (!s.ok()) return s;
  }
  // Every entry the snapshot covers reaches the log before the snapshot is
  // installed, and the log is emptied only once nothing of it is pending: a
  // crash at any step reopens to the state before persist or at it, and no
  // torn tail of an old entry lands at the start of the emptied log.
  Status s = log().flush();
  if (!s.ok()) return s;
  LoadGate gate = LoadGate::for_installing(log().fd());
  s = rename_file(tmp_path, paths_.snapshot);
  if (!s.ok()) return s;
  tmp.keep();
  crash_point("persist-renamed");
  if (sync) s = sync_dir(paths_.dir);
  if (s.ok()) s = log().empty_file();
  if (s.ok() && sync) s = sync_file(log().fd());
  if (s.ok() && merged != nullptr) *merged = std::move(sorted);
  return s;
}

Db::LogCut::~LogCut() {
  if (long_calls_ == nullptr) return;
  // An errno, not a Status: on the cut's thread nothing may allocate.
  int error;
  do {
    error = ::ftruncate(fd_, 0) == 0 ? 0 : errno;
  } while (error == EINTR);
  *error_ = error;
  long_calls_->fetch_sub(1);
}

LogWriter& Db::log() {
  if (log_cut_pending_) {
    log_cut_.wait();
    log_cut_pending_ = false;
    // A cut that failed is tried once more here, behind the gate again,
    // where a failure leaves the writer's view of the file as it was, as any
    // failed emptying does.
    if (log_cut_error_ == 0) {
      (void)log_->file_emptied();
    } else {
      LoadGate gate = LoadGate::for_installing(log_->fd());
      (void)log_->empty_file();
    }
  }
  return *log_;
}

Status Db::empty_log(LoadGate gate) {
  (void)log();  // the cut before, if any, is done
  if (store_->holds_appends()) {
    log_cut_pending_ = true;
    log_cut_.release(LogCut(log_->fd(), std::move(gate), &log_cut_error_, &long_calls_));
    return Status();
  }
  return log_->empty_file();
}

Status Db::unfinished_vacuum() const {
  return Status::Custom(ErrorKind::kUncategorized,
                        "a vacuum of storage directory " + quoted_dir(paths_.dir) +
                            " committed but could not put its files in place; reopen the store, "
                            "which completes it, before persisting or vacuuming again");
}

Status Db::vacuum() {
  Status s = writable();
  if (!s.ok()) return s;
  LongCall long_call(*this);
  ExclusiveLock store_lock(store_mu_);
  ExclusiveLock log_lock(log_mu_);
  if (store_->vacuum_unfinished()) return unfinished_vacuum();
  std::optional<LoadGate> installing;
  s = store_->vacuum(paths_, log(), &installing);
  changed();  // the records have new ids, even when it failed half-way
  if (s.ok() && installing) s = empty_log(std::move(*installing));
  return s;
}

Status Db::keys(std::vector<std::string>* out) {
  Status s = usable();
  if (!s.ok()) return s;
  SharedLock lock(store_mu_);
  *out = store_->keys();
  return Status();
}

Status Db::salvage(const std::function<void(const std::string&, const std::string&)>& keep,
                   const std::function<void(uint32_t, const char*)>& lose) {
  Status s = usable();
  if (!s.ok()) return s;
  SharedLock lock(store_mu_);
  store_->salvage(keep, lose);
  return Status();
}

Status Db::len(uint64_t* out) {
  Status s = usable();
  if (!s.ok()) return s;
  SharedLock lock(store_mu_);
  *out = store_->len();
  return Status();
}

Status Db::stats(StoreStats* out) {
  Status s = usable();
  if (!s.ok()) return s;
  LongCall long_call(*this);  // it reads every live row
  SharedLock lock(store_mu_);
  *out = store_->stats();
  if (log_ != nullptr) {
    ExclusiveLock log_lock(log_mu_);
    out->log_file_bytes = log().end();
  } else {
    struct stat st;
    if (::stat(paths_.wal.c_str(), &st) == 0)
      out->log_file_bytes = static_cast<uint64_t>(st.st_size);
  }
  return Status();
}

Status Db::clear_cache() {
  Status s = usable();
  if (!s.ok()) return s;
  ExclusiveLock lock(store_mu_);
  store_->clear_cache();
  return Status();
}

Status Db::cache_stats(uint64_t* entries, uint64_t* capacity) {
  Status s = usable();
  if (!s.ok()) return s;
  SharedLock lock(store_mu_);
  *entries = store_->cache_entries();
  *capacity = store_->cache_capacity();
  return Status();
}

}  // namespace corvid
