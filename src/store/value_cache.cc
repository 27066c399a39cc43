#include "store/value_cache.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <new>
#include <stdexcept>

#include "store/panic.h"

namespace corvid {

namespace {

// Whether a table for `capacity` entries can be described at all: its bucket
// count and byte size must not overflow.
bool table_fits(uint64_t capacity) {
  if (capacity > SIZE_MAX / 8) return false;
  uint64_t buckets = capacity < 8 ? 8 : std::bit_ceil(capacity * 8 / 7);
  if (buckets == 0) return false;
  constexpr uint64_t kBytesPerBucket = sizeof(std::pair<uint64_t, uint32_t>) + 1;
  return buckets <= static_cast<uint64_t>(PTRDIFF_MAX) / kBytesPerBucket;
}

}  // namespace

ValueCache::ValueCache(uint64_t capacity) : capacity_(capacity), where_(0, new_seeded_hash()) {
  if (!table_fits(capacity)) {
    panic(Status::Custom(ErrorKind::kCapacityOverflow, "Hash table capacity overflow"));
  }
  try {
    where_.reserve(static_cast<size_t>(capacity));
  } catch (const std::length_error&) {
    throw std::bad_alloc();
  }
}

void ValueCache::unlink(uint32_t slot) {
  Slot& s = slots_[slot];
  if (s.prev != kNone) {
    slots_[s.prev].next = s.next;
  } else {
    oldest_ = s.next;
  }
  if (s.next != kNone) {
    slots_[s.next].prev = s.prev;
  } else {
    newest_ = s.prev;
  }
  s.prev = s.next = kNone;
}

void ValueCache::link_most_recent(uint32_t slot) {
  Slot& s = slots_[slot];
  s.prev = newest_;
  s.next = kNone;
  if (newest_ != kNone) {
    slots_[newest_].next = slot;
  } else {
    oldest_ = slot;
  }
  newest_ = slot;
}

uint32_t ValueCache::take_free_slot() {
  if (free_ != kNone) {
    uint32_t slot = free_;
    free_ = slots_[slot].next;
    slots_[slot].next = kNone;
    return slot;
  }
  slots_.emplace_back();
  return static_cast<uint32_t>(slots_.size() - 1);
}

const std::string* ValueCache::get(uint64_t h) {
  auto it = where_.find(h);
  if (it == where_.end()) return nullptr;
  uint32_t slot = it->second;
  if (slot != newest_) {
    unlink(slot);
    link_most_recent(slot);
  }
  return &slots_[slot].value;
}

const std::string* ValueCache::put(uint64_t h, std::string value) {
  auto it = where_.find(h);
  uint32_t slot;
  if (it != where_.end()) {
    slot = it->second;
    unlink(slot);
  } else {
    if (where_.size() >= capacity_ && oldest_ != kNone) {
      // Reuse the least recent entry's slot for the new one.
      slot = oldest_;
      unlink(slot);
      where_.erase(slots_[slot].hash);
    } else {
      slot = take_free_slot();
    }
    where_.emplace(h, slot);
    slots_[slot].hash = h;
  }
  slots_[slot].value = std::move(value);
  link_most_recent(slot);
  return &slots_[slot].value;
}

void ValueCache::remove(uint64_t h) {
  auto it = where_.find(h);
  if (it == where_.end()) return;
  uint32_t slot = it->second;
  where_.erase(it);
  unlink(slot);
  slots_[slot].value = std::string();
  slots_[slot].next = free_;
  free_ = slot;
}

void ValueCache::reserve(size_t n) {
  const uint64_t most = std::max<uint64_t>(capacity_, 1);
  slots_.reserve(static_cast<size_t>(std::min<uint64_t>(most, slots_.size() + n)));
}

void ValueCache::clear() {
  where_.clear();
  slots_.clear();
  oldest_ = newest_ = free_ = kNone;
}

}  // namespace corvid
