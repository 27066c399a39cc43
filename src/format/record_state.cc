#include "format/record_state.h"

#include <algorithm>
#include <bit>

namespace corvid {

namespace {

// Smaller indexes fit in cache and gain nothing from sorting first.
constexpr size_t kSortedLoadFrom = 65536;

// A stable counting sort of `pairs` by bucket(pair), which must be below 2^16.
template <class Bucket>
IndexPairs sorted_by(const IndexPairs& pairs, Bucket bucket) {
  std::vector<uint32_t> starts(65537, 0);
  for (const IndexPair& p : pairs) ++starts[bucket(p) + 1];
  for (size_t i = 1; i < starts.size(); ++i) starts[i] += starts[i - 1];
  IndexPairs out(pairs.size());
  for (const IndexPair& p : pairs) out[starts[bucket(p)]++] = p;
  return out;
}

}  // namespace

std::optional<uint32_t> RecordState::apply_put(uint64_t h, uint32_t key_len, uint32_t val_len) {
  const uint32_t id = record_count;
  std::optional<uint32_t> retired;
  auto [it, inserted] = index.try_emplace(h, id);
  if (!inserted) {
    retired = it->second;
    live.remove(it->second);
    dead.add(it->second);
    it->second = id;
  }
  live.add(id);
  record_count = id + 1;
  keys_end += key_len;
  vals_end += val_len;
  return retired;
}

std::optional<uint32_t> RecordState::apply_delete(uint64_t h) {
  auto it = index.find(h);
  if (it == index.end()) return std::nullopt;
  uint32_t id = it->second;
  live.remove(id);
  dead.add(id);
  index.erase(it);
  return id;
}

void RecordState::load_index(const IndexPairs& pairs) {
  index = new_hash_map<uint64_t, uint32_t>();
  index.reserve(pairs.size());
  // The table places an entry by the high bits of its hash: inserting a large
  // index in that order fills it front to back instead of at random, several
  // times faster. Buckets of a few hundred entries each cover a stretch of
  // the table that stays in cache while it fills. The sort is stable, so a
  // repeated KeyHash still keeps its later id.
  if (pairs.size() < kSortedLoadFrom) {
    for (const IndexPair& p : pairs) index.insert_or_assign(p.hash, p.id);
    return;
  }
  int bits = std::min(16, static_cast<int>(std::bit_width(pairs.size())) - 9);
  auto bucket = [hash = index.hash_function(), shift = 64 - bits](const IndexPair& p) {
    return static_cast<uint32_t>(hash(p.hash) >> shift);
  };
  for (const IndexPair& p : sorted_by(pairs, bucket)) index.insert_or_assign(p.hash, p.id);
}

}  // namespace corvid
