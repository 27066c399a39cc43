#include "format/key_index.h"

#include <bit>

namespace corvid {

namespace {

// Sorts `pairs` by hash, stably: a counting sort by the top bits, then each
// bucket of a few hundred pairs on its own, in cache.
void sort_by_hash(IndexPairs& pairs) {
  const size_t n = pairs.size();
  if (n < 2) return;
  const int bits = std::clamp(static_cast<int>(std::bit_width(n)) - 8, 1, 16);
  const int shift = 64 - bits;
  std::vector<size_t> starts((size_t{1} << bits) + 1, 0);
  for (const IndexPair& p : pairs) ++starts[(p.hash >> shift) + 1];
  for (size_t i = 1; i < starts.size(); ++i) starts[i] += starts[i - 1];
  IndexPairs out(n);
  {
    std::vector<size_t> next(starts.begin(), starts.end() - 1);
    for (const IndexPair& p : pairs) out[next[p.hash >> shift]++] = p;
  }
  auto by_hash = [](const IndexPair& a, const IndexPair& b) { return a.hash < b.hash; };
  for (size_t b = 0; b + 1 < starts.size(); ++b) {
    std::stable_sort(out.begin() + starts[b], out.begin() + starts[b + 1], by_hash);
  }
  pairs = std::move(out);
}

}  // namespace

std::optional<uint32_t> KeyIndex::put(uint64_t h, uint32_t id) {
  if (IndexPair* p = find_sorted(h)) {
    std::optional<uint32_t> previous;
    if (p->id == kErased) {
      --erased_;
    } else {
      previous = p->id;
    }
    p->id = id;
    return previous;
  }
  auto [it, inserted] = added_.try_emplace(h, id);
  if (inserted) return std::nullopt;
  uint32_t previous = it->second;
  it->second = id;
  return previous;
}

std::optional<uint32_t> KeyIndex::erase(uint64_t h) {
  if (!added_.empty()) {
    auto it = added_.find(h);
    if (it != added_.end()) {
      uint32_t id = it->second;
      added_.erase(it);
      return id;
    }
  }
  IndexPair* p = find_sorted(h);
  if (p == nullptr || p->id == kErased) return std::nullopt;
  uint32_t id = p->id;
  p->id = kErased;
  ++erased_;
  return id;
}

void KeyIndex::load(IndexPairs pairs) {
  KeyIndex loaded;
  loaded.sorted_ = std::move(pairs);
  if (!loaded.index_sorted()) {
    IndexPairs& sorted = loaded.sorted_;
    sort_by_hash(sorted);
    // Of a run of equal hashes the last, the later pair, stays.
    size_t kept = 0;
    for (size_t i = 0; i < sorted.size(); ++i) {
      if (i + 1 < sorted.size() && sorted[i + 1].hash == sorted[i].hash) continue;
      sorted[kept++] = sorted[i];
    }
    sorted.resize(kept);
    (void)loaded.index_sorted();
  }
  *this = std::move(loaded);
}

const IndexPairs& KeyIndex::in_order(IndexPairs* scratch) const {
  if (merged()) return sorted_;
  IndexPairs added;
  added.reserve(added_.size());
  for (const auto& [h, id] : added_) added.push_back({h, id});
  sort_by_hash(added);
  IndexPairs out;
  out.reserve(size());
  // The two are disjoint: added_ holds no hash of the sorted array.
  auto a = added.begin();
  for (const IndexPair& p : sorted_) {
    if (p.id == kErased) continue;
    for (; a != added.end() && a->hash < p.hash; ++a) out.push_back(*a);
    out.push_back(p);
  }
  out.insert(out.end(), a, added.end());
  *scratch = std::move(out);
  return *scratch;
}

bool KeyIndex::index_sorted() {
  const size_t n = sorted_.size();
  // Half a pair to one pair a bucket: a lookup reads one directory line,
  // then mostly one line of pairs, and its scan seldom goes past the first
  // pair. A sparser directory costs less memory but more mispredicted
  // scans; at 10^7 keys this one takes 4 to 8 bytes a key beside the
  // pairs' 12, against the 27 of a hash table.
  const int bits = std::clamp(static_cast<int>(std::bit_width(n)), 1, 28);
  const int shift = 64 - bits;
  std::vector<uint32_t, UnzeroedAllocator<uint32_t>> dir((size_t{1} << bits) + 1);
  size_t next = 0;  // the first bucket not yet given its start
  size_t erased = 0;
  const IndexPair* pairs = sorted_.data();
  for (size_t i = 0; i < n; ++i) {
    const uint64_t h = pairs[i].hash;
    if (i > 0 && h <= pairs[i - 1].hash) return false;
    erased += pairs[i].id == kErased;
    for (const size_t bucket = h >> shift; next <= bucket;) dir[next++] = static_cast<uint32_t>(i);
  }
  while (next < dir.size()) dir[next++] = static_cast<uint32_t>(n);
  dir_ = std::move(dir);
  shift_ = shift;
  erased_ = erased;
  return true;
}

}  // namespace corvid
