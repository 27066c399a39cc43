#include "format/key_index.h"

#include <sys/mman.h>

#include <bit>
#include <system_error>
#include <thread>

namespace corvid {

PairArray& PairArray::operator=(PairArray&& other) noexcept {
  if (this != &other) {
    unmap();
    owned_ = std::move(other.owned_);
    map_ = std::exchange(other.map_, nullptr);
    map_length_ = std::exchange(other.map_length_, 0);
    pairs_ = std::exchange(other.pairs_, nullptr);
    count_ = std::exchange(other.count_, 0);
  }
  return *this;
}

IndexPairs& PairArray::owned() {
  if (map_ != nullptr) {
    owned_.assign(pairs_, pairs_ + count_);
    unmap();
  }
  return owned_;
}

void PairArray::unmap() noexcept {
  if (map_ != nullptr) ::munmap(map_, map_length_);
  map_ = nullptr;
  map_length_ = 0;
  pairs_ = nullptr;
  count_ = 0;
}

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

void KeyIndex::load(PairArray pairs) {
  KeyIndex loaded;
  loaded.sorted_ = std::move(pairs);
  if (!loaded.index_sorted()) {
    IndexPairs& sorted = loaded.sorted_.owned();
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

std::span<const IndexPair> KeyIndex::in_order(IndexPairs* scratch) const {
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

namespace {

// Of a pass over pairs: whether their hashes ascend, and how many are
// erased.
struct Tally {
  bool ascending = true;
  size_t erased = 0;
};

// Counts the pairs of [p, end) by bucket into counts[b], each bucket
// clamped to [low, high]: pairs in order fall within them, and a pass over
// pairs out of order (whose counts are thrown away) writes nowhere else.
// No branch that depends on the data: a bucket's pairs, however many, cost
// one increment each, where filling starts pair by pair mispredicts.
Tally count_buckets(const IndexPair* p, const IndexPair* end, int shift, uint64_t low,
                    uint64_t high, uint32_t* counts, uint32_t erased_id) {
  Tally t;
  if (p == end) return t;
  uint64_t previous = p->hash;
  t.erased += p->id == erased_id;
  ++counts[std::clamp(previous >> shift, low, high)];
  for (++p; p < end; ++p) {
    const uint64_t h = p->hash;
    t.ascending &= h > previous;
    previous = h;
    t.erased += p->id == erased_id;
    ++counts[std::clamp(h >> shift, low, high)];
  }
  return t;
}

// Turns the counts in d[0, n) into running sums that start at `sum`.
void sum_up(uint32_t* d, size_t n, uint32_t sum) {
  for (size_t i = 0; i < n; ++i) d[i] = sum += d[i];
}

}  // namespace

bool KeyIndex::build_directory(std::span<const IndexPair> pairs, Directory* out, int* shift_out,
                               size_t* erased) {
  const size_t n = pairs.size();
  const int shift = 64 - directory_bits(n);
  const uint64_t buckets = uint64_t{1} << (64 - shift);
  Directory dir(buckets + 1);
  // Blocks that come from mmap are zero already.
  if (dir.size() * sizeof(uint32_t) < kHugeBlock) std::fill(dir.begin(), dir.end(), 0u);
  const IndexPair* p = pairs.data();
  // dir[b + 1] counts bucket b; then dir[b] becomes the number of pairs in
  // the buckets before b. A large array is counted in two halves at once,
  // split between two buckets: an open reads every pair of its snapshot
  // here, and two cores read memory faster than one.
  size_t half = n / 2;
  while (half < n && half > 0 && (p[half].hash >> shift) == (p[half - 1].hash >> shift)) ++half;
  Tally low, high;
  bool split = false;
  // The second half's first bucket, past the first half's last: the two
  // pairs either side of the split ascend, and each half checks its own.
  const uint64_t b = half < n ? p[half].hash >> shift : 0;
  if (n >= kSplitPairs && half < n && b > p[half - 1].hash >> shift) {
    try {
      std::thread second([&] {
        high = count_buckets(p + half, p + n, shift, b, buckets - 1, dir.data() + 1, kErased);
        sum_up(dir.data() + b + 1, buckets - b, static_cast<uint32_t>(half));
      });
      split = true;
      low = count_buckets(p, p + half, shift, 0, b - 1, dir.data() + 1, kErased);
      sum_up(dir.data(), b + 1, 0);
      second.join();
    } catch (const std::system_error&) {
      // No thread to be had: counted on this one alone, below.
    }
  }
  if (!split) {
    low = count_buckets(p, p + n, shift, 0, buckets - 1, dir.data() + 1, kErased);
    sum_up(dir.data(), dir.size(), 0);
  }
  if (!low.ascending || !high.ascending) return false;
  *out = std::move(dir);
  *shift_out = shift;
  *erased = low.erased + high.erased;
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
