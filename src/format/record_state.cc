#include "format/record_state.h"

namespace corvid {

std::optional<uint32_t> RecordState::apply_put(uint64_t h, uint32_t key_len, uint32_t val_len) {
  const uint32_t id = record_count;
  std::optional<uint32_t> retired = index.put(h, id);
  if (retired) {
    live.remove(*retired);
    dead.add(*retired);
  }
  live.add(id);
  record_count = id + 1;
  keys_end += key_len;
  vals_end += val_len;
  return retired;
}

std::optional<uint32_t> RecordState::apply_delete(uint64_t h) {
  std::optional<uint32_t> id = index.erase(h);
  if (id) {
    live.remove(*id);
    dead.add(*id);
  }
  return id;
}

}  // namespace corvid
