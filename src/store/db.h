// One open storage directory as a caller sees it: the Store behind its
// reader-writer lock and the log writer behind its own lock. Every method
// takes the locks it needs in the documented order; guards release them on
// every way out, failures included.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <utility>
#include <vector>

#include "format/log_writer.h"
#include "format/status.h"
#include "store/store.h"

namespace corvid {

inline constexpr uint64_t kMaxLength = UINT32_MAX;

// A row holds 32-bit lengths: longer keys or values are refused (kLengthLimit).
Status check_put_lengths(uint64_t key_len, uint64_t value_len);

struct StoreHandle {
  StoreHandle(DataFiles files, uint64_t cache_size) : store(std::move(files), cache_size) {}
  std::shared_mutex mu;
  Store store;
};

struct WalHandle {
  explicit WalHandle(Fd fd) : log(std::move(fd)) {}
  std::mutex mu;
  LogWriter log;
};

class Db {
 public:
  // Creates or opens the directory at `path`. Operating-system failures come
  // back as a Status; failures with no error path panic.
  static Status open(std::string path, uint64_t cache_size, std::unique_ptr<Db>* out);

  // Releases the Store before the log writer, which writes out its buffer.
  ~Db();

  // Refuses a key or value longer than a row can describe (kLengthLimit),
  // before anything is logged.
  Status set_bytes(std::string_view key, std::string value);
  bool delete_key(std::string_view key);

  // Calls make(value or nullptr) with the store lock held and returns its result.
  template <class F>
  auto get(std::string_view key, F&& make) {
    std::unique_lock lock(store_->mu);
    return make(store_->store.lookup(key));
  }
  // Looks up every key under one lock, calling each(i, value or nullptr) in order.
  template <class F>
  void get_many(const std::vector<std::string>& keys, F&& each) {
    std::unique_lock lock(store_->mu);
    for (size_t i = 0; i < keys.size(); ++i) each(i, store_->store.lookup(keys[i]));
  }

  // Writes snapshot.bin through snapshot.bin.tmp and a rename, then empties
  // the log. Operating-system failures come back as a Status.
  Status persist();

  // Rewrites the data files without garbage (see vacuum.h).
  Status vacuum();

  // Calls f(key, value) for every live record in RecordId order, reading
  // each from the data files; nothing is held in memory beyond one record.
  template <class F>
  void for_each_live(F&& f) {
    std::shared_lock lock(store_->mu);
    const DataFiles& files = store_->store.files;
    std::string key, value;
    store_->store.live.for_each([&](uint32_t id) {
      RecordEntry entry = files.read_entry(id);
      unwrap(files.read_key(entry, &key));
      unwrap(files.read_value(entry, &value));
      f(key, value);
    });
  }

  std::vector<std::string> keys();
  uint64_t len();
  void clear_cache();
  std::pair<uint64_t, uint64_t> cache_stats();

  const std::string& storage_path() const { return path_; }

 private:
  Db(std::string path, std::shared_ptr<StoreHandle> store, std::shared_ptr<WalHandle> wal)
      : path_(std::move(path)), store_(std::move(store)), wal_(std::move(wal)) {}

  std::string path_;
  std::shared_ptr<StoreHandle> store_;
  std::shared_ptr<WalHandle> wal_;
};

}  // namespace corvid
