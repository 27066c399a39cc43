#include "format/snapshot.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "format/coding.h"
#include "temp_dir.h"

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

std::string file_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream all;
  all << f.rdbuf();
  return all.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A snapshot of `n` pairs with ids 0..n-1, its hashes ascending unless
// `shuffled`.
std::string snapshot_of(uint32_t n, bool shuffled, std::map<uint64_t, uint32_t>* pairs) {
  std::vector<std::pair<uint64_t, uint32_t>> v;
  for (uint32_t i = 0; i < n; ++i) v.push_back({(i + 1) * 0x9e3779b97f4a7c15ULL % (1ULL << 63), i});
  std::sort(v.begin(), v.end());
  if (shuffled) std::shuffle(v.begin(), v.end(), std::mt19937_64(3));
  std::string bytes = u64(n);
  for (const auto& [h, id] : v) {
    bytes += u64(h) + u32(id);
    (*pairs)[h] = id;
  }
  return bytes + kEmptySet + kEmptySet + u32(n) + u64(0) + u64(0);
}

// Mapped pairs are the index as they lie in the file; changes to them stay
// in this process, and pairs out of order are taken into memory and sorted.
TEST(SnapshotTest, MappedPairs) {
  const std::string path = temp_dir() + "/snapshot.bin";
  for (bool shuffled : {false, true}) {
    std::map<uint64_t, uint32_t> expected;
    const std::string bytes = snapshot_of(50000, shuffled, &expected);
    write_file(path, bytes);
    SnapshotImage image;
    bool found = false;
    ASSERT_TRUE(read_snapshot(path, &image, &found, /*map_pairs=*/true).ok());
    ASSERT_TRUE(found);
    EXPECT_TRUE(image.pairs.mapped());
    RecordState state;
    image.build(&state);
    EXPECT_TRUE(state.index.merged());
    const uint64_t first = expected.begin()->first, last = expected.rbegin()->first;
    EXPECT_EQ(state.index.put(first, 7), std::optional<uint32_t>(expected[first]));
    EXPECT_EQ(state.index.erase(last), std::optional<uint32_t>(expected[last]));
    expected[first] = 7;
    expected.erase(last);
    ASSERT_EQ(state.index.size(), expected.size());
    for (const auto& [h, id] : expected) ASSERT_EQ(state.index.find(h), id);
    EXPECT_EQ(state.index.find(last), KeyIndex::kNone);
    IndexPairs scratch;
    EXPECT_EQ(state.index.in_order(&scratch).size(), expected.size());
    EXPECT_EQ(file_bytes(path), bytes) << "shuffled " << shuffled;
    std::filesystem::remove(path);  // the mapping outlives the name
    for (const auto& [h, id] : expected) ASSERT_EQ(state.index.find(h), id);
  }
}

// A snapshot cut short, at any length, is found by a mapped read exactly
// when it is found by a plain one.
TEST(SnapshotTest, MappedCutsDecodeAsReadOnes) {
  const std::string path = temp_dir() + "/snapshot.bin";
  std::map<uint64_t, uint32_t> expected;
  const std::string bytes = snapshot_of(100, false, &expected);
  for (size_t cut = 0; cut <= bytes.size(); cut += cut < 20 || cut + 40 > bytes.size() ? 1 : 37) {
    write_file(path, bytes.substr(0, cut));
    bool read = false, mapped = false;
    SnapshotImage a, b;
    ASSERT_TRUE(read_snapshot(path, &a, &read).ok());
    ASSERT_TRUE(read_snapshot(path, &b, &mapped, true).ok());
    EXPECT_EQ(read, mapped) << cut;
    EXPECT_EQ(mapped, cut == bytes.size()) << cut;
  }
}

}  // namespace
}  // namespace corvid
