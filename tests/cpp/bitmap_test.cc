#include "format/bitmap.h"

#include <gtest/gtest.h>

#include <string>

namespace corvid {
namespace {

std::string hex(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

std::string payload(std::initializer_list<uint8_t> bytes) {
  return std::string(bytes.begin(), bytes.end());
}

TEST(BitmapTest, PortableForms) {
  Bitmap empty;
  EXPECT_EQ(hex(empty.serialize()), "3a30000000000000");
  Bitmap zero;
  zero.add(0);
  EXPECT_EQ(hex(zero.serialize()),
            "3a300000010000000000000010000000"
            "0000");
  Bitmap back;
  ASSERT_TRUE(Bitmap::deserialize(zero.serialize(), &back));
  EXPECT_EQ(back.cardinality(), 1u);
  EXPECT_TRUE(back.contains(0));
}

TEST(BitmapTest, RunContainersAreReadAndWrittenWithoutRuns) {
  // Cookie 12347, one container, flagged as runs: values 3..12.
  std::string runs = payload(
      {0x3b, 0x30, 0x00, 0x00, 0x01, 0x00, 0x00, 0x09, 0x00, 0x01, 0x00, 0x03, 0x00, 0x09, 0x00});
  Bitmap set;
  ASSERT_TRUE(Bitmap::deserialize(runs, &set));
  EXPECT_EQ(set.cardinality(), 10u);
  EXPECT_TRUE(set.contains(3) && set.contains(12) && !set.contains(13));
  EXPECT_EQ(set.serialize().substr(0, 4), std::string("\x3a\x30\x00\x00", 4));
}

TEST(BitmapTest, RunEndingAt65535) {
  // Found by fuzzing: CRoaring's own conversion of this run container writes
  // out of bounds. Four containers, runs in the first and third.
  std::string p =
      payload({0x3b, 0x30, 0x03, 0x00, 0x05, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0});
  p.append(16, '\0');  // offset header, not relied on
  p += payload({1, 0, 0x07, 0x20, 0, 0, 7, 0, 1, 0, 0xff, 0xff, 0, 0, 9, 0});
  Bitmap set;
  ASSERT_TRUE(Bitmap::deserialize(p, &set));
  EXPECT_EQ(set.cardinality(), 4u);
  for (uint32_t id : {0x2007u, 0x10007u, 0x2ffffu, 0x30009u}) EXPECT_TRUE(set.contains(id)) << id;
  Bitmap again;
  ASSERT_TRUE(Bitmap::deserialize(set.serialize(), &again));
  EXPECT_TRUE(roaring_bitmap_equals(set.raw(), again.raw()));
}

TEST(BitmapTest, DamagedPayloadsAreRefused) {
  Bitmap set;
  std::string good = payload({0x3a, 0x30, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 16, 0, 0, 0, 5, 0, 9, 0});
  ASSERT_TRUE(Bitmap::deserialize(good, &set));
  EXPECT_EQ(set.cardinality(), 2u);

  auto refused = [&](std::string p) { return !Bitmap::deserialize(p, &set); };
  EXPECT_TRUE(refused(""));
  EXPECT_TRUE(refused(good.substr(0, good.size() - 1)));         // cut short
  EXPECT_TRUE(refused(std::string("\x3c\x30\0\0\0\0\0\0", 8)));  // unknown cookie
  std::string unsorted = good;
  unsorted[16] = 9, unsorted[18] = 5;  // array values must ascend
  EXPECT_TRUE(refused(unsorted));
  std::string too_many = good;
  too_many[6] = 1;  // 65,537 containers
  EXPECT_TRUE(refused(too_many));
  // Runs overlapping, or running past 65535.
  EXPECT_TRUE(refused(payload({0x3b, 0x30, 0, 0, 1, 0, 0, 9, 0, 2, 0, 0, 0, 4, 0, 3, 0, 4, 0})));
  EXPECT_TRUE(refused(payload({0x3b, 0x30, 0, 0, 1, 0, 0, 9, 0, 1, 0, 0xfa, 0xff, 9, 0})));
  // A bitset container whose bits disagree with its stated cardinality.
  std::string bitset = payload({0x3a, 0x30, 0, 0, 1, 0, 0, 0, 0, 0, 0x00, 0x20, 16, 0, 0, 0});
  bitset.append(8192, '\xff');
  EXPECT_TRUE(refused(bitset));  // claims 8,193 values, holds 65,536
}

// A set's size and largest id come from the headers alone, and building
// keeps only the ids below a limit, whatever the containers claim.
TEST(BitmapTest, DescribeAndBuildBelowALimit) {
  Bitmap set;
  for (uint32_t id : {0u, 7u, 70000u, 70001u, 4000000u}) set.add(id);
  for (uint32_t id = 200000; id < 210000; ++id) set.add(id);  // a bitset container
  uint64_t count = 0;
  int64_t max = -2;
  ASSERT_TRUE(Bitmap::describe(set.serialize(), &count, &max));
  EXPECT_EQ(count, set.cardinality());
  EXPECT_EQ(max, 4000000);
  Bitmap empty;
  ASSERT_TRUE(Bitmap::describe(empty.serialize(), &count, &max));
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(max, -1);

  Bitmap below;
  ASSERT_TRUE(Bitmap::deserialize(set.serialize(), &below, 205000));
  EXPECT_EQ(below.cardinality(), 4u + 5000u);
  EXPECT_TRUE(below.contains(204999));
  EXPECT_FALSE(below.contains(205000));
  EXPECT_FALSE(below.contains(4000000));

  // Runs over every id: 65,536 containers of one run each, described at
  // once and built only as far as the limit.
  std::string all;
  auto put16 = [&](uint32_t v) { all.append({char(v & 0xFF), char(v >> 8)}); };
  uint32_t cookie = 12347 | (65535u << 16);
  all.append(reinterpret_cast<const char*>(&cookie), 4);
  all.append(65536 / 8, '\xFF');
  for (uint32_t key = 0; key < 65536; ++key) {
    put16(key);
    put16(65535);
  }
  all.append(65536 * 4, '\0');  // offsets
  for (uint32_t key = 0; key < 65536; ++key) {
    put16(1);
    put16(0);
    put16(65535);
  }
  ASSERT_TRUE(Bitmap::describe(all, &count, &max));
  EXPECT_EQ(count, uint64_t{1} << 32);
  EXPECT_EQ(max, int64_t{UINT32_MAX});
  Bitmap built;
  ASSERT_TRUE(Bitmap::deserialize(all, &built, 100));
  EXPECT_EQ(built.cardinality(), 100u);
}

}  // namespace
}  // namespace corvid
