#include "format/snapshot.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "format/coding.h"

namespace corvid {
namespace {

std::string u64(uint64_t v) {
  std::string s(8, '\0');
  encode_fixed64(reinterpret_cast<uint8_t*>(s.data()), v);
  return s;
}

std::string u32(uint32_t v) {
  std::string s(4, '\0');
  encode_fixed32(reinterpret_cast<uint8_t*>(s.data()), v);
  return s;
}

const std::string kEmptySet = u64(8) + std::string("\x3a\x30\0\0\0\0\0\0", 8);

TEST(SnapshotTest, RepeatedKeyHashKeepsTheLaterId) {
  // Many pairs, many repeats: the decoded index must equal inserting them in order.
  std::mt19937_64 rng(7);
  std::map<uint64_t, uint32_t> expected;
  std::string bytes = u64(200000);
  for (uint32_t i = 0; i < 200000; ++i) {
    uint64_t hash = rng() % 50000 * 0x9e3779b97f4a7c15ULL;
    bytes += u64(hash) + u32(i);
    expected[hash] = i;
  }
  bytes += kEmptySet + kEmptySet + u32(200000) + u64(3) + u64(4) + "trailing";
  BufferedReader in{std::string_view(bytes)};
  SnapshotImage image;
  ASSERT_TRUE(decode_snapshot(in, &image, bytes.size()).ok());
  RecordState state;
  image.build(&state);
  ASSERT_EQ(state.index.size(), expected.size());
  for (const auto& [hash, id] : expected) EXPECT_EQ(state.index.find(hash), id);
  EXPECT_EQ(state.record_count, 200000u);
  EXPECT_EQ(state.vals_end, 4u);
}

TEST(SnapshotTest, HugeCountEndsAtTheInput) {
  std::string bytes = u64(uint64_t{1} << 62) + u64(1) + u32(1);
  BufferedReader in{std::string_view(bytes)};
  SnapshotImage image;
  EXPECT_EQ(decode_snapshot(in, &image).kind(), ErrorKind::kUnexpectedEof);
}

std::string set_of(std::initializer_list<uint32_t> ids) {
  Bitmap set;
  for (uint32_t id : ids) set.add(id);
  std::string payload = set.serialize();
  return u64(payload.size()) + payload;
}

// A set naming an id at or above record_count decodes, and says so: the
// snapshot contradicts itself, and the open takes that as damage.
TEST(SnapshotTest, IdsAtOrAboveTheRecordCountAreSeen) {
  std::string pairs = u64(1) + u64(77) + u32(4);
  for (uint32_t count : {4u, 5u}) {
    std::string bytes = pairs + set_of({4}) + kEmptySet + u32(count) + u64(0) + u64(0);
    BufferedReader in{std::string_view(bytes)};
    SnapshotImage image;
    ASSERT_TRUE(decode_snapshot(in, &image).ok());
    EXPECT_EQ(image.ids_past_count(), count == 4) << count;
    EXPECT_EQ(image.rows_named(), 5u);
  }
  std::string dead = pairs + set_of({1}) + set_of({9}) + u32(9) + u64(0) + u64(0);
  BufferedReader in{std::string_view(dead)};
  SnapshotImage image;
  ASSERT_TRUE(decode_snapshot(in, &image).ok());
  EXPECT_TRUE(image.ids_past_count());
  EXPECT_EQ(image.rows_named(), 10u);
}

// Built against a table of fewer rows than it counts (a salvage of a
// truncated offsets.bin): live records the index names stay, to be
// reported; dead ones past the table go.
TEST(SnapshotTest, BuiltWithinATable) {
  std::string bytes = u64(2) + u64(1) + u32(1) + u64(2) + u32(8) + set_of({1, 8}) + set_of({0, 9}) +
                      u32(10) + u64(5) + u64(6);
  BufferedReader in{std::string_view(bytes)};
  SnapshotImage image;
  ASSERT_TRUE(decode_snapshot(in, &image).ok());
  EXPECT_EQ(image.live_count, 2u);
  RecordState state;
  image.build_within(&state, 4);
  EXPECT_EQ(state.live.cardinality(), 2u);
  EXPECT_EQ(state.index.size(), 2u);
  EXPECT_TRUE(state.dead.contains(0));
  EXPECT_FALSE(state.dead.contains(9));
  EXPECT_EQ(state.record_count, 10u);
  EXPECT_EQ(state.keys_end, 5u);
}

}  // namespace
}  // namespace corvid
