// One open storage directory as the front ends see it: the Store behind the
// store lock and, for a writer, the log writer behind the log lock and the
// directory's writer lock. Every method checks that it runs in the process
// that opened the store, takes the locks it needs, and releases them on
// every way out, failures included.
//
// Lock order, the same in every operation: the store lock, then the log
// lock, then the load gate on wal.bin (load_gate.h). A put or a delete holds
// the store lock exclusively while it logs and applies the change, so the
// log's order is the order of the changes. Persist holds the store lock in
// shared mode from the snapshot's first byte until the log is emptied: no
// change can land between what the snapshot covers and what the emptied log
// would have kept.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "format/file_names.h"
#include "format/log_writer.h"
#include "format/status.h"
#include "store/batch.h"
#include "store/dir_lock.h"
#include "store/load_gate.h"
#include "store/mutex.h"
#include "store/release_thread.h"
#include "store/store.h"

namespace corvid {

inline constexpr uint64_t kMaxLength = UINT32_MAX;

// A row holds 32-bit lengths: longer keys or values are refused (kLengthLimit).
Status check_put_lengths(uint64_t key_len, uint64_t value_len);

// Whether `paths.dir` is a directory holding at least one of a store's files.
Status check_store_directory(const StorePaths& paths);

// When a change reaches the log file: kBuffered keeps it in the log's
// buffer until that overflows (a crash of the process may lose the last
// changes); kFlush writes it to the operating system before the call
// returns (a crash of the process loses nothing); kSync also forces it to
// the disk, and persist forces the data files and the snapshot first (a
// power loss loses nothing).
enum class Durability { kBuffered, kFlush, kSync };

class Db {
 public:
  // Creates or opens the directory at `path` for writing, claiming it for
  // this process. Operating-system failures come back as a Status (another
  // process's claim as kWouldBlock); failures with no error path panic.
  // An `exclusive` open shares the directory with no other instance of
  // this process: two writers of one directory must not both append.
  static Status open(std::string path, uint64_t cache_size, std::unique_ptr<Db>* out,
                     Durability durability = Durability::kBuffered, bool exclusive = false);
  // Opens the store at `path` without changing anything on disk and without
  // a claim: it may run beside a live writer, and sees the files as they
  // were between two of the writer's installs (load_gate.h). A directory
  // that holds no store is refused, and so is a damaged one unless
  // `salvage`: then what the files bear out is opened, and report() says
  // what they do not.
  static Status open_read_only(std::string path, uint64_t cache_size, std::unique_ptr<Db>* out,
                               bool salvage = false);

  // Releases the Store, then writes out the log's buffer, then the claim.
  // In a process forked from the one that opened it, writes nothing.
  ~Db();

  // Refuses a key or value longer than a row can describe (kLengthLimit),
  // before anything is logged.
  Status set_bytes(std::string_view key, std::string value) EXCLUDES(store_mu_, log_mu_);
  Status delete_key(std::string_view key, bool* found) EXCLUDES(store_mu_, log_mu_);

  // Puts every record of `batch` under one lock: the log entries first,
  // then one write to each data file. Fails as a whole, leaving nothing.
  Status put_many(const PutBatch& batch) EXCLUDES(store_mu_, log_mu_);
  // Deletes the keys that have a record, logging only those; *deleted
  // counts them.
  Status delete_many(std::span<const std::string_view> keys, uint64_t* deleted)
      EXCLUDES(store_mu_, log_mu_);
  // Deletes the last record written and hands out its key and value.
  Status pop_last(std::string* key, std::string* value, bool* found) EXCLUDES(store_mu_, log_mu_);
  // Deletes every record; *removed counts them.
  Status clear(uint64_t* removed) EXCLUDES(store_mu_, log_mu_);

  // Whether `key` has a record, without reading its value or touching the cache.
  Status contains(std::string_view key, bool* found) EXCLUDES(store_mu_);
  // The next chunk of live records from RecordId `from` on, unless the
  // store changed since changes() said `seen`: then *changed is set.
  Status scan(uint64_t seen, uint32_t from, const ScanLimits& limits, ScanChunk* out, bool* changed)
      EXCLUDES(store_mu_);
  // Removes `key` and hands out its value, under one lock; *found is false
  // when it had none.
  Status take(std::string_view key, std::string* value, bool* found) EXCLUDES(store_mu_, log_mu_);
  // Stores `value` under `key` unless it has one, under one lock; *current
  // is then the value the key has.
  Status set_default(std::string_view key, std::string value, std::string* current)
      EXCLUDES(store_mu_, log_mu_);

  // Counts every change that moves records: puts, deletes and vacuums.
  uint64_t changes() const { return changes_.load(std::memory_order_acquire); }
  // Whether a call that holds the store for long (persist, vacuum, a batch,
  // a scan) is running or waiting: a front end then waits for the store
  // without blocking its other threads.
  bool long_call_running() const { return long_calls_.load(std::memory_order_acquire) > 0; }

  // Calls use(value or nullptr) with the store lock held.
  template <class F>
  Status get(std::string_view key, F&& use) EXCLUDES(store_mu_);
  // Looks up every key under one lock, calling each(i, value or nullptr) in order.
  template <class F>
  Status get_many(const std::vector<std::string>& keys, F&& each) EXCLUDES(store_mu_);
  // Calls f(key, value) for every live record in RecordId order.
  template <class F>
  Status for_each_live(F&& f) EXCLUDES(store_mu_);

  // See Store::salvage.
  Status salvage(const std::function<void(const std::string&, const std::string&)>& keep,
                 const std::function<void(uint32_t, const char*)>& lose) EXCLUDES(store_mu_);

  Status keys(std::vector<std::string>* out) EXCLUDES(store_mu_);
  Status len(uint64_t* out) EXCLUDES(store_mu_);
  Status stats(StoreStats* out) EXCLUDES(store_mu_);
  Status clear_cache() EXCLUDES(store_mu_);
  Status cache_stats(uint64_t* entries, uint64_t* capacity) EXCLUDES(store_mu_);

  // Writes snapshot.bin through snapshot.bin.tmp and a rename, then empties
  // the log. Operating-system failures come back as a Status.
  Status persist() EXCLUDES(store_mu_, log_mu_);
  // Rewrites the data files without garbage (vacuum.cc).
  Status vacuum() EXCLUDES(store_mu_, log_mu_);

  // Writes out the log's buffer, as releasing the instance does, and says
  // whether that worked: entries that cannot be written out at release are
  // lost, which a front end reports. In a forked child it writes nothing.
  Status flush_log() EXCLUDES(log_mu_);
  // Before a release: writes out the log and persists when the log holds
  // anything, so that the next open has nothing to replay.
  Status close() EXCLUDES(store_mu_, log_mu_);

  const std::string& directory() const { return paths_.dir; }
  Durability durability() const { return durability_; }
  bool read_only() const { return log_ == nullptr; }
  const OpenReport& report() const { return report_; }

 private:
  Db(StorePaths paths, DirLock claim, std::unique_ptr<Store> store, std::unique_ptr<LogWriter> log,
     OpenReport report, Durability durability);

  // Empties the log's file as it is destroyed, then lets readers in: the
  // end of a vacuum, whose snapshot already reflects every entry: should
  // the process end before the cut, the next open replays them onto that
  // snapshot, to the same contents (the entries come back as garbage).
  // Until it is done it counts as a long call, so that a call waiting for
  // it in log() does not block the front end's other threads.
  class LogCut {
   public:
    LogCut(int fd, LoadGate gate, int* error, std::atomic<int>* long_calls)
        : fd_(fd), gate_(std::move(gate)), error_(error), long_calls_(long_calls) {
      long_calls_->fetch_add(1);
    }
    LogCut(LogCut&& other) noexcept
        : fd_(other.fd_),
          gate_(std::move(other.gate_)),
          error_(other.error_),
          long_calls_(std::exchange(other.long_calls_, nullptr)) {}
    ~LogCut();

   private:
    int fd_;  // not owned
    LoadGate gate_;
    int* error_;                    // receives 0 or the cut's errno
    std::atomic<int>* long_calls_;  // null once moved from
  };

  // Counts a long call from before it waits for the store until it returns.
  class LongCall {
   public:
    explicit LongCall(const Db& db) : n_(db.long_calls_) { n_.fetch_add(1); }
    ~LongCall() { n_.fetch_sub(1); }

   private:
    std::atomic<int>& n_;
  };

  // Makes the entries appended since `mark` as durable as durability_ asks;
  // when `appended` failed, or that fails, takes them back out.
  Status settle_log(uint64_t mark, Status appended) REQUIRES(log_mu_);
  // Takes the entries after `mark` back out of the log, durably at kSync.
  void roll_back(uint64_t mark) REQUIRES(log_mu_);
  // The log writer, once an emptying of its file left to a thread is done:
  // every use of the log goes through here.
  LogWriter& log() REQUIRES(log_mu_);
  // Empties the log after a vacuum, `gate` held until it is empty.
  // Emptying a long log hands its pages back to the system, milliseconds
  // for 10^5 entries: a writer that holds its appends leaves that to a
  // thread, which the next use of the log waits for.
  Status empty_log(LoadGate gate) REQUIRES(store_mu_, log_mu_);
  // Logs and applies a put with both locks held.
  Status put_locked(std::string_view key, std::string value) REQUIRES(store_mu_, log_mu_);
  // Logs and applies deletes of those of `keys` that have a record.
  Status delete_present_locked(std::span<const std::string_view> keys, uint64_t* deleted)
      REQUIRES(store_mu_, log_mu_);
  // Writes the snapshot and empties the log. *merged, when given, receives
  // the index in hash order if it was not one sorted array already.
  Status persist_locked(IndexPairs* merged = nullptr) REQUIRES_SHARED(store_mu_) REQUIRES(log_mu_);
  void changed() { changes_.fetch_add(1, std::memory_order_acq_rel); }

  // Fails for a writer in a process forked from the one that opened it; a
  // read-only instance only reads, and may go on in the child.
  Status usable() const {
    if (generation_ == fork_generation() || log_ == nullptr) return Status();
    return forked();
  }
  Status forked() const;
  Status unfinished_vacuum() const;
  // As usable(), and fails for a read-only open.
  Status writable() const;

  const StorePaths paths_;
  const OpenReport report_;
  const pid_t owner_pid_;
  const uint64_t generation_;
  const Durability durability_;
  std::atomic<uint64_t> changes_{0};
  mutable std::atomic<int> long_calls_{0};

  // Members are released in reverse order: the Store first, then the
  // emptying of the log, then the log (which writes out its buffer), then
  // the claim on the directory.
  DirLock claim_;
  Mutex log_mu_ ACQUIRED_AFTER(store_mu_);
  const std::unique_ptr<LogWriter> log_ PT_GUARDED_BY(log_mu_);  // null when read-only
  bool log_cut_pending_ GUARDED_BY(log_mu_) = false;
  int log_cut_error_ GUARDED_BY(log_mu_) = 0;  // written by the cut's thread before its join
  ReleaseThread<LogCut> log_cut_ GUARDED_BY(log_mu_);
  SharedMutex store_mu_;
  const std::unique_ptr<Store> store_ PT_GUARDED_BY(store_mu_);
};

template <class F>
Status Db::get(std::string_view key, F&& use) {
  Status s = usable();
  if (!s.ok()) return s;
  ExclusiveLock lock(store_mu_);
  use(store_->lookup(key));
  return Status();
}

template <class F>
Status Db::get_many(const std::vector<std::string>& keys, F&& each) {
  Status s = usable();
  if (!s.ok()) return s;
  ExclusiveLock lock(store_mu_);
  for (size_t i = 0; i < keys.size(); ++i) each(i, store_->lookup(keys[i]));
  return Status();
}

template <class F>
Status Db::for_each_live(F&& f) {
  Status s = usable();
  if (!s.ok()) return s;
  SharedLock lock(store_mu_);
  store_->for_each_live(f);
  return Status();
}

}  // namespace corvid
