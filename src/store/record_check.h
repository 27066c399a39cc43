// Whether a store's files bear out what it says of them: the one set of
// rules by which an open refuses a damaged snapshot, a read refuses a
// damaged row, `corvid verify` reports both and a salvage leaves out what
// it cannot trust.
#pragma once

#include <cstdint>
#include <string>

#include "format/hash_map.h"
#include "format/record_state.h"
#include "format/record_table.h"
#include "format/snapshot.h"

namespace corvid {

// What of the snapshot the files do not bear out, or "": its sets must not
// name ids at or above its record_count, and it must not count more than
// the files hold -- keys_end, vals_end, record_count against keys.bin,
// vals.bin and the rows of offsets.bin, and the live record with the
// largest id (which lies last in the files) inside keys_end and vals_end,
// or the replay would write over live records. Checked by lengths and one
// row, before the table is mapped.
std::string snapshot_damage(const SnapshotImage& image, const DataFiles& files);

// Whether row `id` of the generation `run` lies where appending left it
// (record_table.h). A neighbour that is no record at all -- a hole left by
// a put that failed in an earlier version -- leaves only the counters.
bool row_fits(const DataFiles& files, const RecordState& state, uint32_t id,
              const RecordEntry& entry, const RowRun& run);

// The KeyHash that names each live RecordId.
HashMap<uint32_t, uint64_t> hashes_by_id(const KeyIndex& index);

// What keeps record `id`, of the generation `run`, from being read, or
// nullptr when nothing does: its row must lie inside the table, its bytes
// inside the files and where appending left them, its stored key must be
// text and hash to `hash` (nullptr: no index entry names it). Reads the key
// into *key, and the value into *value when it is given.
const char* record_damage(const DataFiles& files, const RecordState& state, const RowRun& run,
                          uint32_t id, const uint64_t* hash, std::string* key, std::string* value);

}  // namespace corvid
