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

Status Store::write_records(const PutBatch& batch, uint32_t first, uint64_t keys_at,
                            uint64_t vals_at, bool skip_same) {
  Status s = files_.ensure_rows(first, uint64_t{first} + batch.size());
  if (!s.ok()) return s;
  std::vector<RecordEntry> entries;
  entries.reserve(batch.size());
  for (auto [key_len, val_len] : batch.lengths) {
    entries.push_back({keys_at, key_len, vals_at, val_len});
    keys_at += key_len;
    vals_at += val_len;
  }
  return files_.append_records(first, entries, batch.keys, batch.values, skip_same);
}

Status Store::apply_batch(const PutBatch& batch, bool cache_values) {
  const size_t n = batch.size();
  if (n == 0) return Status();
  RecordFold fold(state_.record_count, state_.keys_end, state_.vals_end);
  fold.reserve(n);
  std::vector<uint64_t> hashes;
  hashes.reserve(n);
  batch.for_each([&](std::string_view key, std::string_view value) {
    hashes.push_back(key_hash(key));
    fold.put(hashes.back(), static_cast<uint32_t>(key.size()), static_cast<uint32_t>(value.size()));
  });
  // All the state change takes is had before the write: from the write on
  // nothing may fail.
  state_.prepare(&fold);
  Status s = write_records(batch, state_.record_count, state_.keys_end, state_.vals_end);
  if (!s.ok()) return s;
  state_.apply(&fold);
  size_t i = 0;
  batch.for_each([&](std::string_view, std::string_view value) {
    if (cache_values) {
      cache_.put(hashes[i++], std::string(value));
    } else {
      cache_.remove(hashes[i++]);
    }
  });
  return Status();
}

bool Store::cached(std::string_view key) const { return cache_.contains(key_hash(key)); }

bool Store::names(std::string_view key) const { return state_.find(key_hash(key)).has_value(); }

bool Store::contains(std::string_view key) const {
  const uint64_t h = key_hash(key);
  // A cached value was read for this very key.
  if (cache_.contains(h)) return true;
  std::optional<uint32_t> id = state_.find(h);
  if (!id) return false;
  if (const LoggedRecord* r = logged(*id)) return r->key == key;
  RecordEntry e = entry(*id);
  if (e.key_len != key.size()) return false;
  std::string stored;
  unwrap(files_.read_key(e, &stored));
  return stored == key;
}

void Store::read_record(uint32_t id, std::string* key, std::string* value) const {
  if (const LoggedRecord* r = logged(id)) {
    *key = r->key;
    if (value != nullptr) *value = r->value;
    return;
  }
  RecordEntry e = entry(id);
  unwrap(files_.read_key(e, key));
  if (value != nullptr) unwrap(files_.read_value(e, value));
}

void Store::scan(uint32_t from, const ScanLimits& limits, ScanChunk* out) const {
  out->keys.clear();
  out->values.clear();
  out->done = true;
  size_t bytes = 0;
  std::string key, value;
  state_.live.for_each_from(from, [&](uint32_t id) {
    if (!out->keys.empty() &&
        (out->keys.size() >= limits.max_records || bytes >= limits.max_bytes)) {
      out->next = id;
      out->done = false;
      return false;
    }
    read_record(id, &key, limits.values ? &value : nullptr);
    bytes += key.size() + value.size();
    out->keys.push_back(std::move(key));
    if (limits.values) out->values.push_back(std::move(value));
    return true;
  });
}

bool Store::last_record(std::string* key, std::string* value) const {
  if (state_.live.cardinality() == 0) return false;
  read_record(state_.live.maximum(), key, value);
  return true;
}

std::vector<std::string> Store::keys() const {
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(len()));
  KeyReader reader(files_, &out);
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
  (void)files_.lengths(&st.keys_file_bytes, &st.vals_file_bytes, &st.table_file_bytes);
  return st;
}

}  // namespace corvid
