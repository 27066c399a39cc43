#include "store/record_check.h"

#include "format/buffered_reader.h"
#include "format/file_names.h"
#include "store/key_hash.h"

namespace corvid {

std::string snapshot_damage(const SnapshotImage& image, const DataFiles& files) {
  if (image.ids_past_count()) {
    return "its record sets name ids at or above its record_count " +
           std::to_string(image.record_count);
  }
  auto short_by = [](std::string_view file, uint64_t holds, const char* unit, uint64_t counts) {
    return std::string(file) + " holds " + std::to_string(holds) + " " + unit +
           " where the snapshot counts " + std::to_string(counts);
  };
  if (image.keys_end > files.keys_length()) {
    return short_by(kKeysFile, files.keys_length(), "bytes", image.keys_end);
  }
  if (image.vals_end > files.vals_length()) {
    return short_by(kValsFile, files.vals_length(), "bytes", image.vals_end);
  }
  if (image.record_count > files.rows_on_disk()) {
    return short_by(kOffsetsFile, files.rows_on_disk(), "rows", image.record_count);
  }
  RecordEntry last;
  if (image.live_max >= 0 &&
      (!files.read_stored_entry(static_cast<uint32_t>(image.live_max), &last).ok() ||
       !inside(last.key_offset, last.key_len, image.keys_end) ||
       !inside(last.val_offset, last.val_len, image.vals_end))) {
    return "record " + std::to_string(image.live_max) + " lies past the snapshot's keys_end " +
           std::to_string(image.keys_end) + " or vals_end " + std::to_string(image.vals_end);
  }
  return "";
}

bool row_fits(const DataFiles& files, const RecordState& state, uint32_t id,
              const RecordEntry& entry, const RowRun& run) {
  if (files.in_place(id, entry, run)) return true;
  const uint32_t next = id + 1;
  return next < run.end_id && !state.live.contains(next) && !state.dead.contains(next) &&
         inside(entry.key_offset, entry.key_len, run.keys_end) &&
         inside(entry.val_offset, entry.val_len, run.vals_end);
}

HashMap<uint32_t, uint64_t> hashes_by_id(const KeyIndex& index) {
  HashMap<uint32_t, uint64_t> named = new_hash_map<uint32_t, uint64_t>();
  named.reserve(index.size());
  index.for_each([&](uint64_t h, uint32_t id) { named[id] = h; });
  return named;
}

const char* record_damage(const DataFiles& files, const RecordState& state, const RowRun& run,
                          uint32_t id, const uint64_t* hash, std::string* key, std::string* value) {
  RecordEntry e;
  if (!files.row_on_disk(id) || !files.read_entry(id, &e).ok()) {
    return "row lies outside offsets.bin";
  }
  if (!inside(e.key_offset, e.key_len, files.keys_length())) return "key lies outside keys.bin";
  if (!inside(e.val_offset, e.val_len, files.vals_length())) return "value lies outside vals.bin";
  if (!row_fits(files, state, id, e, run)) return "row is not where appending left it";
  if (!files.read_key(e, key).ok()) return "key cannot be read";
  if (!valid_utf8(*key)) return "key is not valid UTF-8";
  if (hash == nullptr) return "no index entry names it";
  if (key_hash(*key) != *hash) return "stored key does not hash to its index entry";
  if (value != nullptr && !files.read_value(e, value).ok()) return "value cannot be read";
  return nullptr;
}

}  // namespace corvid
