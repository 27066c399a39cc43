#include "store/store.h"

#include "store/key_hash.h"
#include "store/record_check.h"

namespace corvid {

const Store::LoggedRecord* Store::logged(uint32_t id) const {
  if (!read_only_) return nullptr;
  auto it = logged_.find(id);
  return it == logged_.end() ? nullptr : &it->second;
}

Status Store::read_row(uint32_t id, RecordEntry* out) const {
  Status s = files_.read_entry(id, out);
  if (s.ok() && !row_fits(files_, state_, id, *out, run_of(id))) s = Status::UnexpectedEof();
  return s;
}

const std::string* Store::lookup(std::string_view key) {
  uint64_t h = key_hash(key);
  if (const std::string* hit = cache_.get(h)) return hit;
  std::optional<uint32_t> id = state_.find(h);
  if (!id) return nullptr;
  if (const LoggedRecord* r = logged(*id)) {
    return r->key == key ? cache_.put(h, r->value) : nullptr;
  }
  RecordEntry e = entry(*id);
  unwrap(files_.read_key(e, &key_scratch_));
  const bool same = key_scratch_ == key;
  // A long key's buffer is not kept for the instance's life.
  if (key_scratch_.capacity() > kKeptScratch) std::string().swap(key_scratch_);
  if (!same) return nullptr;
  std::string value;
  unwrap(files_.read_value(e, &value));
  return cache_.put(h, std::move(value));
}

Status Store::apply_put(std::string_view key, std::string value) {
  const uint64_t h = key_hash(key);
  const uint32_t id = state_.record_count;
  const auto key_len = static_cast<uint32_t>(key.size());
  const auto val_len = static_cast<uint32_t>(value.size());
  if (read_only_) {
    logged_.insert_or_assign(id, LoggedRecord{std::string(key), value});
  } else {
    Status s = files_.ensure_capacity(id);
    if (s.ok()) s = files_.append_record(id, state_.next_entry(key_len, val_len), key, value);
    if (!s.ok()) return s;
  }
  if (std::optional<uint32_t> retired = state_.apply_put(h, key_len, val_len)) {
    if (read_only_) logged_.erase(*retired);
  }
  cache_.put(h, std::move(value));
  return Status();
}

bool Store::apply_delete(std::string_view key) {
  const uint64_t h = key_hash(key);
  std::optional<uint32_t> retired = state_.apply_delete(h);
  if (!retired) return false;
  cache_.remove(h);
  if (read_only_) logged_.erase(*retired);
  return true;
}

std::vector<std::string> Store::keys() const {
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(len()));
  KeyReader reader(files_.keys_fd(), &out);
  // Records known only from the log come after every record in the files.
  state_.live.for_each([&](uint32_t id) {
    if (const LoggedRecord* r = logged(id)) {
      unwrap(reader.finish());
      out.push_back(r->key);
    } else {
      unwrap(reader.add(entry(id)));
    }
  });
  unwrap(reader.finish());
  return out;
}

void Store::salvage(const std::function<void(const std::string&, const std::string&)>& keep,
                    const std::function<void(uint32_t, const char*)>& lose) const {
  const HashMap<uint32_t, uint64_t> named = hashes_by_id(state_.index);
  std::string key, value;
  state_.live.for_each([&](uint32_t id) {
    if (const LoggedRecord* r = logged(id)) return keep(r->key, r->value);
    auto it = named.find(id);
    const char* damage = record_damage(files_, state_, run_of(id), id,
                                       it == named.end() ? nullptr : &it->second, &key, &value);
    if (damage == nullptr) {
      keep(key, value);
    } else {
      lose(id, damage);
    }
  });
}

StoreStats Store::stats() const {
  StoreStats st;
  st.records = state_.counts();
  state_.live.for_each([&](uint32_t id) {
    if (const LoggedRecord* r = logged(id)) {
      st.live_bytes += r->key.size() + r->value.size();
    } else if (RecordEntry e; files_.read_entry(id, &e).ok()) {
      st.live_bytes += uint64_t{e.key_len} + e.val_len;
    }
  });
  st.cache_entries = cache_.size();
  st.cache_capacity = cache_.capacity();
  return st;
}

}  // namespace corvid
