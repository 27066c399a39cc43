#include "store/key_hash.h"

#include <gtest/gtest.h>

namespace corvid {
namespace {

TEST(KeyHashTest, ReferenceValues) {
  EXPECT_EQ(key_hash(""), 0x30406ea523c53defULL);
  EXPECT_EQ(key_hash("a"), 0x719b50b9a4f0e9f3ULL);
  EXPECT_EQ(key_hash("abc"), 0xef09e0f4895a251dULL);
  EXPECT_EQ(key_hash("abcdefg"), 0x2295ef44bd078ae9ULL);
  EXPECT_EQ(key_hash("abcdefgh"), 0x5cd7657fa7f96c16ULL);
  EXPECT_EQ(key_hash("hello world!"), 0xe2e1f964f3e359e0ULL);
  EXPECT_EQ(key_hash("\xC3\xA9"), 0xd6e909f7d92e03b3ULL);
}

TEST(KeyHashTest, EveryTailLengthDiffers) {
  // Keys of 0..24 bytes cover every split of the final block.
  std::string key;
  uint64_t previous = key_hash(key);
  for (int i = 0; i < 24; ++i) {
    key.push_back('x');
    uint64_t h = key_hash(key);
    EXPECT_NE(h, previous) << i;
    previous = h;
  }
}

}  // namespace
}  // namespace corvid
