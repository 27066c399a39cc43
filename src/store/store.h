// The engine state of one open storage directory, and the operations on it.
// Callers hold the store lock: exclusively for anything that changes the
// cache, the index or the files, shared for keys(), len() and cache_stats().
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "format/bitmap.h"
#include "format/record_table.h"
#include "store/hash_map.h"
#include "store/value_cache.h"

namespace corvid {

// KeyHash -> RecordId of the key's current record.
using RecordIndex = HashMap<uint64_t, uint32_t>;

struct Store {
  Store(DataFiles files, uint64_t cache_size);

  // The value stored under `key`, or nullptr. The pointer refers to the
  // cached copy and stays valid until the next change to the Store.
  const std::string* lookup(std::string_view key);
  // Appends a new record for key and makes it current; the previous record
  // of the key's hash is retired. Failures panic.
  void apply_put(std::string_view key, std::string value);
  // Retires the key's current record; false when it has none.
  bool apply_delete(std::string_view key);
  // Live keys in ascending RecordId order, read from keys.bin. Failures panic.
  std::vector<std::string> keys() const;
  uint64_t len() const { return live.cardinality(); }

  Bitmap live;  // current records of existing keys
  Bitmap dead;  // superseded or deleted records, garbage for vacuum
  RecordIndex index;
  ValueCache cache;
  DataFiles files;

 private:
  std::string key_scratch_;
};

}  // namespace corvid
