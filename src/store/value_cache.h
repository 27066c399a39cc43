// Copies of recently used values, keyed by KeyHash, with least-recently-used
// replacement. Every insert, replacement and hit makes an entry the most
// recent; an insert of a new hash into a full cache first evicts the least
// recent entry. The entries are kept in recency order, so eviction costs
// constant time whatever the capacity. A capacity of 0 still holds one entry.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "format/hash_map.h"

namespace corvid {

class ValueCache {
 public:
  // Reserves table room for `capacity` entries up front; a capacity beyond
  // the table's range panics with "Hash table capacity overflow", one whose
  // memory cannot be had throws std::bad_alloc.
  explicit ValueCache(uint64_t capacity);

  // The cached value for h, now the most recent, or nullptr. The pointer
  // stays valid until the next change to the cache.
  const std::string* get(uint64_t h);
  // Inserts or replaces the value for h and returns the stored copy.
  const std::string* put(uint64_t h, std::string value);
  void remove(uint64_t h);
  // Room for n more entries, within the capacity: puts of them do not move
  // the entries.
  void reserve(size_t n);
  // Whether h has an entry; its recency is left as it is.
  bool contains(uint64_t h) const { return where_.contains(h); }
  void clear();

  size_t size() const { return where_.size(); }
  uint64_t capacity() const { return capacity_; }

 private:
  static constexpr uint32_t kNone = UINT32_MAX;

  struct Slot {
    uint64_t hash = 0;
    std::string value;
    uint32_t prev = kNone;  // towards the least recent
    uint32_t next = kNone;  // towards the most recent; the free list's link
  };

  void unlink(uint32_t slot);
  void link_most_recent(uint32_t slot);
  uint32_t take_free_slot();

  uint64_t capacity_;
  HashMap<uint64_t, uint32_t> where_;  // hash -> slot
  std::vector<Slot> slots_;
  uint32_t oldest_ = kNone;
  uint32_t newest_ = kNone;
  uint32_t free_ = kNone;
};

}  // namespace corvid
