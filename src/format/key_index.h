// KeyHash -> RecordId of each key's current record.
//
// The bulk of the index is one array of (hash, id) pairs sorted by hash --
// the array snapshot.bin holds, read in or mapped as it lies in the file --
// found through a directory of the hashes' high bits. Opening a store
// therefore builds no table. Keys first put since the array was made live in a small
// hash map beside it; an overwrite or delete of a key in the array changes
// its pair in place. A persist writes in_order(), the two folded into one
// sorted array, and takes that as its index from then on.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "format/hash_map.h"
#include "format/huge_pages.h"

namespace corvid {

// The layout of a pair in snapshot.bin: little-endian u64 hash, u32 id, no
// padding. On a little-endian host the file's bytes are the array's.
#pragma pack(push, 1)
struct IndexPair {
  uint64_t hash;
  uint32_t id;
};
#pragma pack(pop)
static_assert(sizeof(IndexPair) == 12);

// Sizes a vector without zeroing it: the index's arrays are written whole
// right after (a snapshot's pairs are read straight into theirs).
template <class T>
struct UnzeroedAllocator : HugePageAllocator<T> {
  template <class U>
  struct rebind {
    using other = UnzeroedAllocator<U>;
  };
  UnzeroedAllocator() = default;
  template <class U>
  UnzeroedAllocator(const UnzeroedAllocator<U>&) noexcept {}

  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

using IndexPairs = std::vector<IndexPair, UnzeroedAllocator<IndexPair>>;

// The index's sorted array: pairs in memory of their own, or pairs that lie
// in a private mapping of a snapshot file. A change to a mapped pair copies
// its page; the file stays as it was. The file must never shrink while it
// is mapped: nothing in this system writes a snapshot in place (a persist
// renames a new one over it), and a mapped array is left unmapped by the
// snapshot's own readers when it is damaged.
class PairArray {
 public:
  PairArray() = default;
  PairArray(IndexPairs pairs) : owned_(std::move(pairs)) {}  // NOLINT: a plain conversion
  // Takes over the mapping of `map_length` bytes at `map`, whose pairs are
  // the `count` at `pairs`.
  PairArray(void* map, size_t map_length, IndexPair* pairs, size_t count)
      : map_(map), map_length_(map_length), pairs_(pairs), count_(count) {}
  PairArray(PairArray&& other) noexcept { *this = std::move(other); }
  PairArray& operator=(PairArray&& other) noexcept;
  ~PairArray() { unmap(); }

  IndexPair* data() { return map_ != nullptr ? pairs_ : owned_.data(); }
  const IndexPair* data() const { return map_ != nullptr ? pairs_ : owned_.data(); }
  size_t size() const { return map_ != nullptr ? count_ : owned_.size(); }
  bool empty() const { return size() == 0; }
  const IndexPair* begin() const { return data(); }
  const IndexPair* end() const { return data() + size(); }
  operator std::span<const IndexPair>() const { return {data(), size()}; }
  bool mapped() const { return map_ != nullptr; }
  // The pairs in memory of their own, copied out of the mapping first.
  IndexPairs& owned();

 private:
  void unmap() noexcept;

  IndexPairs owned_;
  void* map_ = nullptr;  // with what follows, when the pairs are mapped
  size_t map_length_ = 0;
  IndexPair* pairs_ = nullptr;
  size_t count_ = 0;
};

// Sorts pairs by hash, stably: pairs of one hash keep their order.
void sort_by_hash(IndexPairs& pairs);

class KeyIndex {
  using Directory = std::vector<uint32_t, UnzeroedAllocator<uint32_t>>;

 public:
  // No record: what find() returns for an absent hash. No put uses it:
  // record ids stay below 2^32 - 1.
  static constexpr uint32_t kNone = UINT32_MAX;

  // The id of h, or kNone. (A plain value: an optional returned through
  // memory costs a lookup in cache a third of its time.)
  uint32_t find(uint64_t h) const {
    if (!added_.empty()) {
      auto it = added_.find(h);
      if (it != added_.end()) return it->second;
    }
    const IndexPair* p = find_sorted(h);
    return p == nullptr ? kNone : p->id;  // an erased pair's id is kNone
  }
  // Sets h's id; returns the id it replaces.
  std::optional<uint32_t> put(uint64_t h, uint32_t id);
  // Removes h; returns its id, or nothing when h has none. Never allocates.
  std::optional<uint32_t> erase(uint64_t h);

  // Many changes at once, in hash order instead of a random probe each: see
  // prepare_update().
  struct Update {
    // Sorted by hash, each hash once: the new id of each, kNone to erase it.
    IndexPairs changes;

   private:
    friend class KeyIndex;
    bool merge = false;
    IndexPairs merged;
    Directory dir;
    int shift = 63;
  };
  // Readies update->changes to leave the index as put() and erase() one by
  // one would; a bulk of new hashes is merged into the sorted array rather
  // than the map beside it. Allocates all it needs and changes no entry.
  void prepare_update(Update* update);
  // Applies a prepared update, which no other change may have come before;
  // allocates nothing.
  void apply_update(Update* update) noexcept;

  size_t size() const { return sorted_.size() - erased_ + added_.size(); }
  // Room for `n` more keys than the index holds: puts of them cannot fail.
  void reserve_new(size_t n) { added_.reserve(added_.size() + n); }

  // Replaces the contents by `pairs`, in any order; of a hash seen twice the
  // later pair stands. Pairs already in order (as persist writes them) are
  // taken as they are, mapped or not, after one pass that checks the order.
  void load(PairArray pairs);
  // Whether the sorted array is the whole index.
  bool merged() const { return added_.empty() && erased_ == 0; }
  // Every entry in hash order: the sorted array itself when merged(),
  // otherwise a merged copy made in *scratch.
  std::span<const IndexPair> in_order(IndexPairs* scratch) const;

  // Calls f(hash, id) for every entry, in no particular order.
  template <class F>
  void for_each(F f) const {
    for (const IndexPair& p : sorted_) {
      if (p.id != kErased) f(p.hash, p.id);
    }
    for (const auto& [h, id] : added_) f(h, id);
  }

 private:
  // Marks an erased pair of the sorted array until the next persist.
  static constexpr uint32_t kErased = kNone;
  static constexpr ptrdiff_t kScanned = 8;
  // From this many pairs on, the directory is built on two threads.
  static constexpr size_t kSplitPairs = size_t{1} << 19;

  const IndexPair* find_sorted(uint64_t h) const {
    if (sorted_.empty()) return nullptr;
    const size_t b = h >> shift_;
    const IndexPair* first = sorted_.data() + dir_[b];
    const IndexPair* last = sorted_.data() + dir_[b + 1];
    if (last - first > kScanned) return find_in(h, first, last);
    for (; first < last; ++first) {
      if (first->hash >= h) return first->hash == h ? first : nullptr;
    }
    return nullptr;
  }
  // Binary search: only crafted keys fill a bucket this much.
  static const IndexPair* find_in(uint64_t h, const IndexPair* first, const IndexPair* last) {
    first =
        std::lower_bound(first, last, h, [](const IndexPair& p, uint64_t x) { return p.hash < x; });
    return first != last && first->hash == h ? first : nullptr;
  }
  IndexPair* find_sorted(uint64_t h) {
    return const_cast<IndexPair*>(static_cast<const KeyIndex*>(this)->find_sorted(h));
  }
  // Builds the directory over sorted_ and counts its erased pairs; false,
  // with nothing changed, when sorted_ is out of order.
  bool index_sorted();
  // The directory's size and shift for n pairs.
  static int directory_bits(size_t n);
  // Builds the directory over `pairs`, with its shift, and counts the erased
  // pairs; false, with nothing set, when the pairs are not in strictly
  // ascending hash order.
  static bool build_directory(std::span<const IndexPair> pairs, Directory* dir, int* shift,
                              size_t* erased);

  PairArray sorted_;
  // dir_[b] is the first pair whose hash's top `bits` bits are b or more.
  Directory dir_;
  int shift_ = 63;     // 64 - bits
  size_t erased_ = 0;  // pairs of sorted_ marked kErased
  // Keys absent from sorted_; never holds kErased.
  HashMap<uint64_t, uint32_t> added_ = new_hash_map<uint64_t, uint32_t>();
};

}  // namespace corvid
