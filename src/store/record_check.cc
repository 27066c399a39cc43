#include "store/record_check.h"

#include "format/buffered_reader.h"
#include "store/key_hash.h"

namespace corvid {

HashMap<uint32_t, uint64_t> hashes_by_id(const RecordIndex& index) {
  HashMap<uint32_t, uint64_t> named = new_hash_map<uint32_t, uint64_t>();
  named.reserve(index.size());
  for (const auto& [h, id] : index) named[id] = h;
  return named;
}

const char* record_damage(const DataFiles& files, const RowRun& run, uint32_t id,
                          const uint64_t* hash, std::string* key, std::string* value) {
  RecordEntry e;
  if (!files.row_on_disk(id) || !files.read_entry(id, &e).ok()) {
    return "row lies outside offsets.bin";
  }
  if (!inside(e.key_offset, e.key_len, files.keys_length())) return "key lies outside keys.bin";
  if (!inside(e.val_offset, e.val_len, files.vals_length())) return "value lies outside vals.bin";
  if (!files.in_place(id, e, run)) return "row is not where appending left it";
  if (!files.read_key(e, key).ok()) return "key cannot be read";
  if (!valid_utf8(*key)) return "key is not valid UTF-8";
  if (hash == nullptr) return "no index entry names it";
  if (key_hash(*key) != *hash) return "stored key does not hash to its index entry";
  if (value != nullptr && !files.read_value(e, value).ok()) return "value cannot be read";
  return nullptr;
}

}  // namespace corvid
