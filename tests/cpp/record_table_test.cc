#include "format/record_table.h"

#include <gtest/gtest.h>

#include <random>

#include "temp_dir.h"

namespace corvid {
namespace {

DataFiles open_files(const std::string& dir) {
  DataFiles files;
  EXPECT_TRUE(DataFiles::open(StorePaths(dir).data, OpenMode::kCreate, &files).ok());
  EXPECT_TRUE(files.map_table().ok());
  return files;
}

// keys() reads spans of keys.bin; whatever the offsets, the result must be
// what one read per key gives, in the order the entries were added.
TEST(KeyReaderTest, MatchesOneReadPerKey) {
  DataFiles files = open_files(temp_dir());
  std::mt19937_64 rng(7);
  std::string bytes(3 << 20, '\0');
  for (char& c : bytes) c = static_cast<char>(rng());
  ASSERT_TRUE(write_all_at(files.keys_fd(), bytes.data(), bytes.size(), 0).ok());

  std::vector<RecordEntry> entries;
  uint64_t at = 0;
  while (entries.size() < 3000) {
    uint32_t len = rng() % 8 == 0 ? 0 : static_cast<uint32_t>(rng() % 64);
    switch (rng() % 10) {
      case 0:
        at += rng() % 20000;
        break;  // gaps on both sides of the limit
      case 1:
        at = rng() % (bytes.size() / 2);
        break;  // out of order
      case 2:
        len = (1 << 20) + 5;
        break;  // longer than a span
      default:
        break;
    }
    if (at + len > bytes.size()) at = 0;
    entries.push_back({at, len, 0, 0});
    at += len;
  }
  std::vector<std::string> got;
  KeyReader reader(files.keys_fd(), &got);
  for (const RecordEntry& e : entries) ASSERT_TRUE(reader.add(e).ok());
  ASSERT_TRUE(reader.finish().ok());
  ASSERT_EQ(got.size(), entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    ASSERT_EQ(got[i], bytes.substr(entries[i].key_offset, entries[i].key_len)) << i;
  }
}

TEST(KeyReaderTest, KeysPastTheEndFail) {
  DataFiles files = open_files(temp_dir());
  ASSERT_TRUE(write_all_at(files.keys_fd(), "abcdef", 6, 0).ok());
  std::vector<std::string> got;
  KeyReader reader(files.keys_fd(), &got);
  ASSERT_TRUE(reader.add({0, 3, 0, 0}).ok());
  ASSERT_TRUE(reader.add({3, 4, 0, 0}).ok());
  EXPECT_EQ(reader.finish().kind(), ErrorKind::kUnexpectedEof);

  // A damaged row whose key would end beyond 2^64 fails, and so does a
  // key that would join its span.
  std::vector<std::string> none;
  KeyReader wrapped(files.keys_fd(), &none);
  Status s = wrapped.add({UINT64_MAX - 2, 10, 0, 0});
  if (s.ok()) s = wrapped.add({8, 2, 0, 0});
  if (s.ok()) s = wrapped.finish();
  EXPECT_FALSE(s.ok());
  EXPECT_TRUE(none.empty());
}

}  // namespace
}  // namespace corvid
