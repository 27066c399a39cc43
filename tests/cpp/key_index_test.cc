#include "format/key_index.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

namespace corvid {
namespace {

void expect_same(const KeyIndex& index, const std::map<uint64_t, uint32_t>& model) {
  ASSERT_EQ(index.size(), model.size());
  for (const auto& [h, id] : model) ASSERT_EQ(index.find(h), id) << h;
  std::map<uint64_t, uint32_t> seen;
  index.for_each([&](uint64_t h, uint32_t id) { EXPECT_TRUE(seen.emplace(h, id).second); });
  EXPECT_EQ(seen, model);
  IndexPairs scratch;
  const std::span<const IndexPair> ordered = index.in_order(&scratch);
  ASSERT_EQ(ordered.size(), model.size());
  auto it = model.begin();
  for (const IndexPair& p : ordered) {
    EXPECT_EQ(p.hash, it->first);
    EXPECT_EQ(p.id, it->second);
    ++it;
  }
}

// What a persist does to the index: the same entries, as one sorted array.
void merge(KeyIndex& index) {
  IndexPairs scratch;
  const std::span<const IndexPair> in_order = index.in_order(&scratch);
  index.load(IndexPairs(in_order.begin(), in_order.end()));
}

// Puts, erases, loads and merges in random order against a std::map: the
// sorted array, its in-place changes and the map of added keys must answer
// as one table. Hashes come from a small pool so that every path meets
// keys present, erased and put again.
TEST(KeyIndexTest, MatchesAMapThroughPutsErasesAndMerges) {
  for (uint64_t pool : {8ull, 300ull, 20000ull}) {
    std::mt19937_64 rng(pool);
    KeyIndex index;
    std::map<uint64_t, uint32_t> model;
    uint32_t next_id = 0;
    for (int step = 0; step < 60000; ++step) {
      const uint64_t h = (rng() % pool) * 0x9e3779b97f4a7c15ULL;
      const unsigned op = rng() % 1000;
      if (op < 600) {
        auto before = model.find(h);
        std::optional<uint32_t> expected;
        if (before != model.end()) expected = before->second;
        ASSERT_EQ(index.put(h, next_id), expected);
        model[h] = next_id++;
      } else if (op < 995) {
        auto before = model.find(h);
        std::optional<uint32_t> expected;
        if (before != model.end()) expected = before->second;
        ASSERT_EQ(index.erase(h), expected);
        model.erase(h);
      } else if (op < 998) {
        merge(index);
        EXPECT_TRUE(index.merged());
      } else {
        // A reopen: a fresh index from the pairs as persist writes them.
        IndexPairs scratch;
        KeyIndex reopened;
        const std::span<const IndexPair> in_order = index.in_order(&scratch);
        reopened.load(IndexPairs(in_order.begin(), in_order.end()));
        index = std::move(reopened);
      }
      if (step % 5000 == 0) expect_same(index, model);
    }
    expect_same(index, model);
    merge(index);
    expect_same(index, model);
  }
}

// Pairs out of order, as an older snapshot holds them, are sorted once; of
// a repeated hash the later pair stands.
TEST(KeyIndexTest, UnsortedPairsLoadWithTheLaterIdOfARepeat) {
  std::mt19937_64 rng(3);
  IndexPairs pairs;
  std::map<uint64_t, uint32_t> model;
  for (uint32_t i = 0; i < 100000; ++i) {
    const uint64_t h = rng() % 40000 * 0xc2b2ae3d27d4eb4fULL;
    pairs.push_back({h, i});
    model[h] = i;
  }
  KeyIndex index;
  index.load(std::move(pairs));
  EXPECT_TRUE(index.merged());
  expect_same(index, model);
}

// A large array is counted in two halves at once, split between buckets:
// the directory must come out whole with the middle of the array in one
// crowded bucket, erased pairs (a snapshot's kNone ids) must count in either
// half, and pairs out of order must be seen at the split and on each side.
TEST(KeyIndexTest, LargeArraysCountedInHalves) {
  std::mt19937_64 rng(11);
  std::map<uint64_t, uint32_t> model;
  while (model.size() < 700000) model.emplace(rng() | 1, static_cast<uint32_t>(model.size()));
  const uint64_t middle = std::next(model.begin(), 350000)->first;
  for (uint32_t i = 0; i < 3000; ++i) model.emplace((middle & ~uint64_t{0xfffff}) + 2 * i, i);
  IndexPairs sorted;
  for (const auto& [h, id] : model) sorted.push_back({h, id});
  const size_t n = sorted.size();
  for (size_t erased : {size_t{10}, n - 10}) {
    model.erase(sorted[erased].hash);
    sorted[erased].id = KeyIndex::kNone;
  }
  const auto find = [&](uint64_t h) {
    return std::find_if(sorted.begin(), sorted.end(),
                        [&](const IndexPair& p) { return p.hash == h; }) -
           sorted.begin();
  };
  const size_t mid = find(middle);
  ASSERT_EQ(sorted[n / 2].hash >> 44, middle >> 44);  // the split falls in the crowd
  for (std::pair<size_t, size_t> swapped :
       {std::pair{n, n}, std::pair{mid - 1, mid}, std::pair{mid + 1500, mid + 1501},
        std::pair<size_t, size_t>{5, 6}, std::pair{n - 3, n - 2}}) {
    IndexPairs pairs = sorted;
    if (swapped.first < n) std::swap(pairs[swapped.first], pairs[swapped.second]);
    KeyIndex index;
    index.load(std::move(pairs));
    ASSERT_EQ(index.size(), model.size());
    for (const auto& [h, id] : model) ASSERT_EQ(index.find(h), id) << swapped.first;
    for (int i = 0; i < 10000; ++i) {
      const uint64_t h = rng() & ~uint64_t{1};  // even: absent, but for the crowded bucket's
      if (!model.contains(h)) {
        ASSERT_EQ(index.find(h), KeyIndex::kNone);
      }
    }
    EXPECT_EQ(index.find(sorted[10].hash), KeyIndex::kNone);
  }
}

// Hashes sharing their high bits, as crafted keys could make them, land in
// one bucket; lookups must still find every one and miss the rest.
TEST(KeyIndexTest, OneCrowdedBucket) {
  IndexPairs pairs;
  std::map<uint64_t, uint32_t> model;
  for (uint32_t i = 0; i < 5000; ++i) {
    const uint64_t h = (uint64_t{0xabcd} << 48) | (uint64_t{i} * 7919);
    pairs.push_back({h, i});
    model[h] = i;
  }
  for (uint32_t i = 0; i < 5000; ++i) {
    const uint64_t h = uint64_t{i} * 0x9e3779b97f4a7c15ULL;
    if (model.emplace(h, 5000 + i).second) pairs.push_back({h, 5000 + i});
  }
  KeyIndex index;
  index.load(std::move(pairs));
  expect_same(index, model);
  EXPECT_EQ(index.find((uint64_t{0xabcd} << 48) | 1), KeyIndex::kNone);
  EXPECT_EQ(index.find(UINT64_MAX), KeyIndex::kNone);
}

// Changes applied many at once must leave the index as one by one would:
// a few new hashes go into the map beside the array, many make a new array,
// and changes meet hashes of the array, of the map, erased ones and absent
// ones alike.
TEST(KeyIndexTest, UpdatesMatchPutsAndErasesOneByOne) {
  std::mt19937_64 rng(11);
  KeyIndex index;
  std::map<uint64_t, uint32_t> model;
  uint32_t next_id = 0;
  for (int round = 0; round < 300; ++round) {
    // Sizes from a handful to several times the index.
    const size_t n = size_t{1} << (rng() % 13);
    std::map<uint64_t, uint32_t> changes;
    for (size_t i = 0; i < n; ++i) {
      const uint64_t h = (rng() % 6000) * 0x9e3779b97f4a7c15ULL;
      changes[h] = rng() % 4 == 0 ? KeyIndex::kNone : next_id++;
    }
    KeyIndex::Update update;
    for (const auto& [h, id] : changes) {
      update.changes.push_back({h, id});
      if (id == KeyIndex::kNone) {
        model.erase(h);
      } else {
        model[h] = id;
      }
    }
    index.prepare_update(&update);
    index.apply_update(&update);
    if (round % 50 == 0) expect_same(index, model);
    if (round % 7 == 0) {  // single changes between: the map, erased pairs
      for (int i = 0; i < 50; ++i) {
        const uint64_t h = (rng() % 6000) * 0x9e3779b97f4a7c15ULL;
        if (rng() % 2 == 0) {
          (void)index.put(h, next_id);
          model[h] = next_id++;
        } else {
          (void)index.erase(h);
          model.erase(h);
        }
      }
    }
    if (round % 11 == 0) merge(index);
    if (round % 97 == 0) {
      index = KeyIndex();
      model.clear();
    }
  }
  expect_same(index, model);
}

// The sort keeps the order of pairs of one hash, in crowded buckets too.
TEST(KeyIndexTest, SortByHashIsStable) {
  std::mt19937_64 rng(5);
  IndexPairs pairs;
  for (uint32_t i = 0; i < 50000; ++i) {
    // A third share their high bits; the rest are spread.
    const uint64_t h = i % 3 == 0 ? (uint64_t{0x1234} << 48) | (rng() % 500)
                                  : (rng() % 20000) * 0xc2b2ae3d27d4eb4fULL;
    pairs.push_back({h, i});
  }
  IndexPairs sorted = pairs;
  sort_by_hash(sorted);
  std::stable_sort(pairs.begin(), pairs.end(),
                   [](const IndexPair& a, const IndexPair& b) { return a.hash < b.hash; });
  ASSERT_EQ(sorted.size(), pairs.size());
  for (size_t i = 0; i < pairs.size(); ++i) {
    ASSERT_EQ(sorted[i].hash, pairs[i].hash) << i;
    ASSERT_EQ(sorted[i].id, pairs[i].id) << i;
  }
}

}  // namespace
}  // namespace corvid
