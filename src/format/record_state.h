// What the engine knows of its records, and what snapshot.bin holds: the
// index, the two record sets and the three counters. Every change to it goes
// through apply_put and apply_delete, the one rule by which a put or a delete
// -- made now, replayed from the log, or copied by vacuum -- moves the state.
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

  RecordCounts counts() const {
    return {index.size(), live.cardinality(), dead.cardinality(), record_count, keys_end, vals_end};
  }
};

}  // namespace corvid
