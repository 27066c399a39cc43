#include "format/record_state.h"

#include <algorithm>
#include <cassert>

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

void RecordState::prepare(RecordFold* fold) {
  IndexPairs& ops = fold->ops_;
  sort_by_hash(ops);  // stable: a hash's own changes stay in order
  KeyIndex::Update& update = fold->update_;
  update.changes.clear();
  update.changes.reserve(ops.size());
  fold->retired_.clear();
  fold->retired_.reserve(ops.size());
  fold->put_hashes_ = 0;
  fold->new_put_hashes_ = 0;
  for (size_t i = 0; i < ops.size();) {
    const uint64_t h = ops[i].hash;
    const uint32_t before = index.find(h);
    uint32_t current = before;
    bool put = false;
    for (; i < ops.size() && ops[i].hash == h; ++i) {
      // What apply_put and apply_delete would retire.
      if (current != KeyIndex::kNone) fold->retired_.push_back(current);
      current = ops[i].id;
      put |= current != KeyIndex::kNone;
    }
    fold->put_hashes_ += put;
    fold->new_put_hashes_ += put && before == KeyIndex::kNone;
    if (current != before) update.changes.push_back({h, current});
  }
  index.prepare_update(&update);
  fold->prepared_ = true;
}

void RecordState::apply(RecordFold* fold) {
  assert(fold->prepared_);
  index.apply_update(&fold->update_);
  // Set membership does not depend on the order of the changes: every new
  // id goes in, then every retired one moves to dead. Either way a set's
  // containers hold as many ids, so they take the same form.
  for (uint32_t id = record_count; id < fold->next_id_; ++id) live.add(id);
  for (uint32_t id : fold->retired_) {
    live.remove(id);
    dead.add(id);
  }
  record_count = fold->next_id_;
  keys_end = fold->keys_end_;
  vals_end = fold->vals_end_;
  fold->ops_.clear();
  fold->first_id_ = fold->next_id_;
  fold->retired_.clear();
  fold->update_.changes.clear();
  fold->prepared_ = false;
}

}  // namespace corvid
