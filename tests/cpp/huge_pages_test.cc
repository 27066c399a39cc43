#include "format/huge_pages.h"

#include <gtest/gtest.h>

#include "format/hash_map.h"

namespace corvid {
namespace {

// Growing from small blocks (operator new) to mapped ones and rehashing
// between them must keep every entry, and each block must go back the way
// it came (ASan reports a mismatch).
TEST(HugePagesTest, TableGrowsAcrossTheThreshold) {
  auto map = new_hash_map<uint64_t, uint32_t>();
  for (uint32_t i = 0; i < 1'000'000; ++i) map.emplace(uint64_t{i} * 0x9e3779b97f4a7c15ULL, i);
  ASSERT_EQ(map.size(), 1'000'000u);
  for (uint32_t i = 0; i < 1'000'000; i += 997) {
    ASSERT_EQ(map.at(uint64_t{i} * 0x9e3779b97f4a7c15ULL), i);
  }
  map.clear();
  map.rehash(0);
  EXPECT_TRUE(map.empty());
}

TEST(HugePagesTest, MappedBlocksAreZeroedAndWritable) {
  HugePageAllocator<uint64_t> alloc;
  size_t n = kHugeBlock / sizeof(uint64_t) + 3;  // not a whole number of pages
  uint64_t* p = alloc.allocate(n);
  for (size_t i = 0; i < n; i += 4096) ASSERT_EQ(p[i], 0u);
  p[n - 1] = 42;
  EXPECT_EQ(p[n - 1], 42u);
  alloc.deallocate(p, n);
  EXPECT_THROW(alloc.allocate(SIZE_MAX / 4), std::bad_alloc);
}

}  // namespace
}  // namespace corvid
