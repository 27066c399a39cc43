#include "format/record_state.h"

#include <gtest/gtest.h>

#include <random>

namespace corvid {
namespace {

void expect_same(const RecordState& a, const RecordState& b) {
  IndexPairs sa, sb;
  const std::span<const IndexPair> pa = a.index.in_order(&sa);
  const std::span<const IndexPair> pb = b.index.in_order(&sb);
  ASSERT_EQ(pa.size(), pb.size());
  for (size_t i = 0; i < pa.size(); ++i) {
    ASSERT_EQ(pa[i].hash, pb[i].hash);
    ASSERT_EQ(pa[i].id, pb[i].id);
  }
  // The sets byte for byte, as a persist would write them.
  EXPECT_TRUE(a.live.serialize() == b.live.serialize()) << "live sets differ";
  EXPECT_TRUE(a.dead.serialize() == b.dead.serialize()) << "dead sets differ";
  EXPECT_EQ(a.record_count, b.record_count);
  EXPECT_EQ(a.keys_end, b.keys_end);
  EXPECT_EQ(a.vals_end, b.vals_end);
}

// Puts and deletes gathered into folds of any size must move the state as
// apply_put and apply_delete one by one: the same index, sets and counters,
// also for a hash put and deleted several times within one fold, deletes
// of absent hashes, and folds on top of single changes.
TEST(RecordStateTest, FoldsMatchChangesOneByOne) {
  for (uint64_t pool : {5ull, 700ull, 50000ull}) {
    std::mt19937_64 rng(pool);
    RecordState one, folded;
    for (int round = 0; round < 60; ++round) {
      RecordFold fold(folded.record_count, folded.keys_end, folded.vals_end);
      const size_t n = rng() % 4000;
      for (size_t i = 0; i < n; ++i) {
        const uint64_t h = (rng() % pool) * 0x9e3779b97f4a7c15ULL;
        if (rng() % 3 != 0) {
          const auto key_len = static_cast<uint32_t>(rng() % 20);
          const auto val_len = static_cast<uint32_t>(rng() % 200);
          (void)one.apply_put(h, key_len, val_len);
          fold.put(h, key_len, val_len);
        } else {
          (void)one.apply_delete(h);
          fold.erase(h);
        }
      }
      folded.prepare(&fold);
      folded.apply(&fold);
      EXPECT_EQ(fold.size(), 0u);
      EXPECT_EQ(fold.next_id(), folded.record_count);
      if (round % 5 == 0) {
        const uint64_t h = (rng() % pool) * 0x9e3779b97f4a7c15ULL;
        (void)one.apply_put(h, 1, 1);
        (void)folded.apply_put(h, 1, 1);
      }
      if (round % 9 == 0) {  // a persist and reopen: the index as one array
        IndexPairs scratch;
        const std::span<const IndexPair> in_order = folded.index.in_order(&scratch);
        folded.index.load(IndexPairs(in_order.begin(), in_order.end()));
      }
      expect_same(one, folded);
    }
  }
}

// What a fold reports once prepared: the hashes it puts, and each changed
// hash's last id.
TEST(RecordStateTest, PreparedFoldNamesItsChanges) {
  RecordState state;
  (void)state.apply_put(10, 1, 1);  // id 0
  RecordFold fold(state.record_count, state.keys_end, state.vals_end);
  fold.put(20, 1, 1);  // id 1
  fold.put(10, 1, 1);  // id 2
  fold.erase(20);
  fold.put(30, 1, 1);  // id 3
  fold.erase(30);
  fold.erase(40);
  state.prepare(&fold);
  EXPECT_EQ(fold.put_hashes(), 3u);
  ASSERT_EQ(fold.changes().size(), 1u);  // 20 and 30 end as they began
  EXPECT_EQ(fold.changes()[0].hash, 10u);
  EXPECT_EQ(fold.changes()[0].id, 2u);
  state.apply(&fold);
  EXPECT_EQ(state.live.cardinality(), 1u);
  EXPECT_EQ(state.dead.cardinality(), 3u);
  EXPECT_EQ(state.record_count, 4u);
}

}  // namespace
}  // namespace corvid
