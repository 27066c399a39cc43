#include "store/db.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "temp_dir.h"

namespace corvid {
namespace {

uint64_t size_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

TEST(DbTest, LengthLimit) {
  EXPECT_TRUE(check_put_lengths(UINT32_MAX, UINT32_MAX).ok());
  Status key = check_put_lengths(uint64_t{1} << 32, 0);
  EXPECT_EQ(key.kind(), ErrorKind::kLengthLimit);
  EXPECT_EQ(key.message(), "key is 4294967296 bytes long; the limit is 4294967295 bytes");
  EXPECT_EQ(check_put_lengths(0, uint64_t{1} << 32).message(),
            "value is 4294967296 bytes long; the limit is 4294967295 bytes");
}

TEST(DbTest, PutGetDelete) {
  std::string dir = temp_dir();
  std::unique_ptr<Db> db;
  ASSERT_TRUE(Db::open(dir + "/s", 2, &db).ok());
  ASSERT_TRUE(db->set_bytes("a", "1").ok());
  ASSERT_TRUE(db->set_bytes("b", "22").ok());
  ASSERT_TRUE(db->set_bytes("a", "333").ok());
  auto value_of = [&](const char* key) {
    return db->get(key, [](const std::string* v) { return v ? *v : std::string("<none>"); });
  };
  EXPECT_EQ(value_of("a"), "333");
  db->clear_cache();
  EXPECT_EQ(value_of("b"), "22");
  EXPECT_EQ(db->keys(), (std::vector<std::string>{"b", "a"}));
  EXPECT_TRUE(db->delete_key("a"));
  EXPECT_FALSE(db->delete_key("a"));
  EXPECT_EQ(value_of("a"), "<none>");
  EXPECT_EQ(db->len(), 1u);
  EXPECT_EQ(size_of(dir + "/s/keys.bin"), 3u);
  EXPECT_EQ(size_of(dir + "/s/vals.bin"), 6u);
}

}  // namespace
}  // namespace corvid
