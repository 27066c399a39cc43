// What the engine knows of its records, and what snapshot.bin holds: the
// index, the two record sets and the three counters. Every change to it goes
// through apply_put and apply_delete, the one rule by which a put or a delete
// -- made now, replayed from the log, or copied by vacuum -- moves the state,
// or through a RecordFold, which reaches the state that rule would by many
// changes at once.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "format/bitmap.h"
#include "format/key_index.h"
#include "format/record_table.h"

namespace corvid {

// The sizes of a RecordState, as reports show them.
struct RecordCounts {
  uint64_t index_entries = 0;
  uint64_t live = 0;
  uint64_t dead = 0;
  uint32_t record_count = 0;
  uint64_t keys_end = 0;
  uint64_t vals_end = 0;
};

// Puts and deletes gathered to be applied to a RecordState at once: the same
// state as apply_put and apply_delete one by one in the order gathered,
// reached in hash order instead of through a random probe of the index per
// record. Gathered against the state as it is: the puts are the records from
// its record_count on.
class RecordFold {
 public:
  RecordFold(uint32_t record_count, uint64_t keys_end, uint64_t vals_end)
      : first_id_(record_count), next_id_(record_count), keys_end_(keys_end), vals_end_(vals_end) {}

  // A put of the record at next_id(), at keys_end() and vals_end().
  void put(uint64_t h, uint32_t key_len, uint32_t val_len) {
    ops_.push_back({h, next_id_++});
    keys_end_ += key_len;
    vals_end_ += val_len;
  }
  void erase(uint64_t h) { ops_.push_back({h, KeyIndex::kNone}); }
  void reserve(size_t n) { ops_.reserve(ops_.size() + n); }

  size_t size() const { return ops_.size(); }
  uint32_t first_id() const { return first_id_; }
  uint32_t next_id() const { return next_id_; }
  uint64_t keys_end() const { return keys_end_; }
  uint64_t vals_end() const { return vals_end_; }

  // Once prepared: each changed hash once, in hash order, with the id it
  // ends with (KeyIndex::kNone: erased).
  const IndexPairs& changes() const { return update_.changes; }
  // Once prepared: how many hashes one or more of the puts are of, and how
  // many of those the state did not hold.
  size_t put_hashes() const { return put_hashes_; }
  size_t new_put_hashes() const { return new_put_hashes_; }

 private:
  friend struct RecordState;
  IndexPairs ops_;  // (hash, id) in order; id kNone: a delete
  uint32_t first_id_;
  uint32_t next_id_;
  uint64_t keys_end_;
  uint64_t vals_end_;
  // Made by prepare():
  KeyIndex::Update update_;
  std::vector<uint32_t> retired_;
  size_t put_hashes_ = 0;
  size_t new_put_hashes_ = 0;
  bool prepared_ = false;
};

// Invariants between operations: live and dead are disjoint; the index names
// exactly the ids in live; every id in either set is below record_count.
struct RecordState {
  KeyIndex index;
  Bitmap live;                // current records of existing keys
  Bitmap dead;                // superseded or deleted records, garbage for vacuum
  uint32_t record_count = 0;  // rows in use; the RecordId of the next record
  uint64_t keys_end = 0;      // in-use length of keys.bin: where the next key goes
  uint64_t vals_end = 0;      // the same for vals.bin

  // The current record of the key with hash h, if it has one. Every read
  // asks it: inline.
  std::optional<uint32_t> find(uint64_t h) const {
    const uint32_t id = index.find(h);
    if (id == KeyIndex::kNone || !live.contains(id)) return std::nullopt;
    return id;
  }
  // The row the next put of these lengths appends, at id record_count.
  RecordEntry next_entry(uint32_t key_len, uint32_t val_len) const {
    return {keys_end, key_len, vals_end, val_len};
  }
  // Makes the record at record_count (written as next_entry described) the
  // current one of h; returns the id of h's previous record, now retired.
  std::optional<uint32_t> apply_put(uint64_t h, uint32_t key_len, uint32_t val_len);
  // Retires h's current record; returns its id, or nothing when h has none.
  std::optional<uint32_t> apply_delete(uint64_t h);
  // Works out what `fold`, gathered against this state, changes, and
  // allocates all that applying it takes; changes nothing. Throws
  // std::bad_alloc when memory runs out.
  void prepare(RecordFold* fold);
  // Applies a prepared fold, before any other change; cannot fail. The fold
  // is left empty, gathered against the new state.
  void apply(RecordFold* fold);

  RecordCounts counts() const {
    return {index.size(), live.cardinality(), dead.cardinality(), record_count, keys_end, vals_end};
  }
};

}  // namespace corvid
