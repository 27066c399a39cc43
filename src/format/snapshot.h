// snapshot.bin: one RecordState, with no header, magic or checksum:
//   u64 N, then N pairs (u64 KeyHash, u32 RecordId)   -- the index
//   u64 L1, L1 bytes of portable Roaring              -- live
//   u64 L2, L2 bytes of portable Roaring              -- dead
//   u32 record_count, u64 keys_end, u64 vals_end
// Bytes after vals_end are ignored.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>

#include "format/buffered_reader.h"
#include "format/buffered_writer.h"
#include "format/record_state.h"

namespace corvid {

inline constexpr size_t kSnapshotWriteBuffer = 1 << 20;
inline constexpr size_t kSnapshotReadBuffer = 1 << 20;

// Encodes the six fields piece by piece into `out`, the index's pairs in
// hash order: an open then takes them as its index as they are.
Status write_snapshot(BufferedWriter& out, const RecordState& state);
// The same with `pairs`, state.index.in_order(), made by the caller.
Status write_snapshot(BufferedWriter& out, const RecordState& state,
                      std::span<const IndexPair> pairs);

// A decoded snapshot before its sets are built: its counters can be checked
// against the files first, so that no set is built that the files cannot
// hold. The payloads are checked.
struct SnapshotImage {
  PairArray pairs;
  std::string live;  // portable Roaring
  std::string dead;
  uint64_t live_count = 0;  // members of the live set, from its headers
  int64_t live_max = -1;    // the largest id of each set, -1 for none
  int64_t dead_max = -1;
  uint32_t record_count = 0;
  uint64_t keys_end = 0;
  uint64_t vals_end = 0;

  // The state it describes, leaving out live records at or above
  // `live_limit` and dead ones at or above `dead_limit`. The pairs move into
  // the state's index.
  void build(RecordState* state, uint64_t live_limit = uint64_t{1} << 32,
             uint64_t dead_limit = uint64_t{1} << 32);
  // Whether the sets name ids at or above record_count: the snapshot then
  // contradicts itself, which is damage. Checked by the sets' largest ids,
  // not by walking them: a few bytes of run containers can name four billion.
  bool ids_past_count() const {
    return std::max(live_max, dead_max) >= static_cast<int64_t>(record_count);
  }
  // The rows the snapshot's records occupy, whatever its record_count says.
  uint64_t rows_named() const {
    return std::max<uint64_t>(record_count,
                              static_cast<uint64_t>(std::max(live_max, dead_max) + 1));
  }
  // The state as far as a record table of `rows` rows bears it out. Live
  // records past the table stay (to be reported, one by one) as long as the
  // index names as many, which the snapshot's own size bounds; dead ones
  // past it are left out. A sound snapshot is built whole.
  void build_within(RecordState* state, uint64_t rows) {
    build(state, live_count <= pairs.size() ? uint64_t{1} << 32 : rows, rows);
  }
};

// Decodes one record from `in`. `input_size`, when known, bounds how many
// index entries the input holds.
Status decode_snapshot(BufferedReader& in, SnapshotImage* image, uint64_t input_size = 0);

// Reads the snapshot at `path`. *found is false when there is no file or it
// does not decode. Fails only when an existing file cannot be opened. With
// `map_pairs`, the pairs are left in a private mapping of the file (see
// PairArray) rather than read: only for a store that keeps every other
// writer out.
Status read_snapshot(const std::string& path, SnapshotImage* image, bool* found,
                     bool map_pairs = false);

}  // namespace corvid
