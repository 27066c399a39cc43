// Whether a record can be read as the one its index entry names: the one
// rule by which `corvid verify` reports damaged records and a salvage
// leaves them out.
#pragma once

#include <cstdint>
#include <string>

#include "format/hash_map.h"
#include "format/record_state.h"
#include "format/record_table.h"

namespace corvid {

// The KeyHash that names each live RecordId.
HashMap<uint32_t, uint64_t> hashes_by_id(const RecordIndex& index);

// What keeps record `id`, of the generation `run`, from being read, or
// nullptr when nothing does: its row must lie inside the table, its bytes
// inside the files and where appending left them (record_table.h), and its
// stored key must hash to `hash` (nullptr: no index entry names it). Reads
// the key into *key, and the value into *value when it is given.
const char* record_damage(const DataFiles& files, const RowRun& run, uint32_t id,
                          const uint64_t* hash, std::string* key, std::string* value);

}  // namespace corvid
