// snapshot.bin: one RecordState, with no header, magic or checksum:
//   u64 N, then N pairs (u64 KeyHash, u32 RecordId)   -- the index
//   u64 L1, L1 bytes of portable Roaring              -- live
//   u64 L2, L2 bytes of portable Roaring              -- dead
//   u32 record_count, u64 keys_end, u64 vals_end
// Bytes after vals_end are ignored.
#pragma once

#include <cstdint>
#include <string>

#include "format/buffered_reader.h"
#include "format/buffered_writer.h"
#include "format/record_state.h"

namespace corvid {

inline constexpr size_t kSnapshotWriteBuffer = 1 << 20;
inline constexpr size_t kSnapshotReadBuffer = 1 << 20;

// Encodes the six fields piece by piece into `out`.
Status write_snapshot(BufferedWriter& out, const RecordState& state);

// Decodes one record from `in`; on failure *state holds partial state and
// must be discarded. `input_size`, when known, bounds how many index entries
// the input can hold.
Status decode_snapshot(BufferedReader& in, RecordState* state, uint64_t input_size = 0);

// Reads the snapshot at `path`. *found is false when there is no file or it
// does not decode. Fails only when an existing file cannot be opened.
Status read_snapshot(const std::string& path, RecordState* state, bool* found);

}  // namespace corvid
