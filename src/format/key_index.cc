#include "format/key_index.h"

#include <bit>

namespace corvid {

// A counting sort by the top bits into buckets of a few pairs each, then
// each bucket on its own, in cache.
void sort_by_hash(IndexPairs& pairs) {
  const size_t n = pairs.size();
  if (n < 2) return;
  auto by_hash = [](const IndexPair& a, const IndexPair& b) { return a.hash < b.hash; };
  if (n > UINT32_MAX) {
    std::stable_sort(pairs.begin(), pairs.end(), by_hash);
    return;
  }
  const int bits = std::clamp(static_cast<int>(std::bit_width(n)) - 2, 1, 24);
  const int shift = 64 - bits;
  // ends[b]: first the count of bucket b, then its start, then its end.
  std::vector<uint32_t, UnzeroedAllocator<uint32_t>> ends(size_t{1} << bits, 0);
  for (const IndexPair& p : pairs) ++ends[p.hash >> shift];
  uint32_t at = 0;
  for (uint32_t& e : ends) at += std::exchange(e, at);
  IndexPairs out(n);
  for (const IndexPair& p : pairs) out[ends[p.hash >> shift]++] = p;
  IndexPair* const base = out.data();
  uint32_t first = 0;
  for (const uint32_t last : ends) {
    if (last - first > 16) {
      // Only crafted keys crowd a bucket.
      std::stable_sort(base + first, base + last, by_hash);
    } else {
      for (uint32_t i = first + 1; i < last; ++i) {  // insertion sort, stable
        const IndexPair x = base[i];
        uint32_t j = i;
        for (; j > first && base[j - 1].hash > x.hash; --j) base[j] = base[j - 1];
        base[j] = x;
      }
    }
    first = last;
  }
  pairs = std::move(out);
}

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

int KeyIndex::directory_bits(size_t n) {
  // Half a pair to one pair a bucket: a lookup reads one directory line,
  // then mostly one line of pairs, and its scan seldom goes past the first
  // pair. A sparser directory costs less memory but more mispredicted
  // scans; at 10^7 keys this one takes 4 to 8 bytes a key beside the
  // pairs' 12, against the 27 of a hash table.
  return std::clamp(static_cast<int>(std::bit_width(n)), 1, 28);
}

bool KeyIndex::build_directory(const IndexPairs& pairs, Directory* out, int* shift_out,
                               size_t* erased) {
  const size_t n = pairs.size();
  const int shift = 64 - directory_bits(n);
  Directory dir((size_t{1} << (64 - shift)) + 1);
  // Blocks that come from mmap are zero already.
  if (dir.size() * sizeof(uint32_t) < kHugeBlock) std::fill(dir.begin(), dir.end(), 0u);
  const IndexPair* p = pairs.data();
  uint32_t* counts = dir.data() + 1;  // of bucket b at b + 1
  bool ascending = true;
  size_t erased_pairs = 0;
  uint64_t previous = n > 0 ? p[0].hash : 0;
  if (n > 0) {
    erased_pairs += p[0].id == kErased;
    ++counts[previous >> shift];
  }
  // No branch that depends on the data: a bucket's pairs, however many,
  // cost one increment each, where filling starts pair by pair mispredicts.
  for (size_t i = 1; i < n; ++i) {
    const uint64_t h = p[i].hash;
    ascending &= h > previous;
    previous = h;
    erased_pairs += p[i].id == kErased;
    ++counts[h >> shift];
  }
  if (!ascending) return false;
  // dir[b] becomes the number of pairs in the buckets before b.
  uint32_t sum = 0;
  for (uint32_t& d : dir) d = sum += d;
  *out = std::move(dir);
  *shift_out = shift;
  *erased = erased_pairs;
  return true;
}

bool KeyIndex::index_sorted() { return build_directory(sorted_, &dir_, &shift_, &erased_); }

void KeyIndex::prepare_update(Update* update) {
  const IndexPairs& changes = update->changes;
  size_t fresh = 0;  // hashes the index does not hold yet
  for (const IndexPair& c : changes) {
    const uint64_t h = c.hash;  // a packed field binds to no reference
    fresh += c.id != kNone && !added_.contains(h) && find_sorted(h) == nullptr;
  }
  // A few new hashes go into the map; more than an eighth of the array's
  // make a new array, which costs a copy of it but keeps lookups in the
  // array and the next persist's merge short.
  update->merge = fresh > 0 && fresh * 8 >= sorted_.size();
  if (!update->merge) {
    added_.reserve(added_.size() + fresh);
    return;
  }
  IndexPairs& merged = update->merged;
  merged.clear();
  merged.reserve(sorted_.size() - erased_ + fresh);
  const IndexPair* p = sorted_.data();
  const IndexPair* const end = p + sorted_.size();
  for (const IndexPair& c : changes) {
    const uint64_t h = c.hash;
    if (added_.contains(h)) continue;  // changed in the map
    for (; p != end && p->hash < h; ++p) {
      if (p->id != kErased) merged.push_back(*p);
    }
    if (p != end && p->hash == h) ++p;  // replaced by the change
    if (c.id != kNone) merged.push_back(c);
  }
  for (; p != end; ++p) {
    if (p->id != kErased) merged.push_back(*p);
  }
  size_t erased = 0;  // none: merged leaves erased pairs out
  (void)build_directory(merged, &update->dir, &update->shift, &erased);  // in order
}

void KeyIndex::apply_update(Update* update) noexcept {
  for (const IndexPair& c : update->changes) {
    if (!added_.empty()) {
      const uint64_t h = c.hash;
      auto it = added_.find(h);
      if (it != added_.end()) {
        if (c.id == kNone) {
          added_.erase(it);
        } else {
          it->second = c.id;
        }
        continue;
      }
    }
    if (update->merge) continue;  // in the merged array
    if (c.id == kNone) {
      (void)erase(c.hash);
    } else {
      (void)put(c.hash, c.id);  // room reserved: does not allocate
    }
  }
  if (update->merge) {
    sorted_ = std::move(update->merged);
    dir_ = std::move(update->dir);
    shift_ = update->shift;
    erased_ = 0;
  }
}

}  // namespace corvid
