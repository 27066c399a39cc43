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
  KeyReader reader(files, &got);
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
  KeyReader reader(files, &got);
  ASSERT_TRUE(reader.add({0, 3, 0, 0}).ok());
  ASSERT_TRUE(reader.add({3, 4, 0, 0}).ok());
  EXPECT_EQ(reader.finish().kind(), ErrorKind::kUnexpectedEof);

  // A damaged row whose key would end beyond 2^64 fails, and so does a
  // key that would join its span.
  std::vector<std::string> none;
  KeyReader wrapped(files, &none);
  Status s = wrapped.add({UINT64_MAX - 2, 10, 0, 0});
  if (s.ok()) s = wrapped.add({8, 2, 0, 0});
  if (s.ok()) s = wrapped.finish();
  EXPECT_FALSE(s.ok());
  EXPECT_TRUE(none.empty());
}

std::string file_bytes(int fd) {
  uint64_t length = 0;
  EXPECT_TRUE(file_length(fd, &length).ok());
  std::string out(length, '\0');
  EXPECT_TRUE(read_exact_at(fd, out.data(), out.size(), 0).ok());
  return out;
}

// Held appends against appends written at once: every read in between, key
// spans across the held boundary included, and the files once written out
// must be the same. Batches go behind what is held.
TEST(HeldAppendsTest, ReadAndEndAsDirectAppends) {
  DataFiles direct = open_files(temp_dir());
  DataFiles held = open_files(temp_dir());
  for (DataFiles* f : {&direct, &held}) {
    ASSERT_TRUE(f->size_table(0).ok());
    ASSERT_TRUE(f->map_table().ok());
  }
  held.hold_appends();
  std::mt19937_64 rng(11);
  std::vector<RecordEntry> rows;
  uint64_t keys_end = 0, vals_end = 0;
  auto random_bytes = [&](size_t n) {
    std::string b(n, '\0');
    for (char& c : b) c = static_cast<char>(rng());
    return b;
  };
  for (int step = 0; step < 4000; ++step) {
    const auto id = static_cast<uint32_t>(rows.size());
    const unsigned op = rng() % 100;
    if (op < 3) {
      // A batch of a few records.
      std::vector<RecordEntry> entries;
      std::string keys, values;
      for (int i = 0; i < 5; ++i) {
        std::string k = random_bytes(rng() % 40), v = random_bytes(rng() % 3000);
        entries.push_back(
            {keys_end, static_cast<uint32_t>(k.size()), vals_end, static_cast<uint32_t>(v.size())});
        keys_end += k.size();
        vals_end += v.size();
        keys += k;
        values += v;
      }
      for (DataFiles* f : {&direct, &held}) {
        ASSERT_TRUE(f->ensure_rows(id, id + entries.size()).ok());
        ASSERT_TRUE(f->append_records(id, entries, keys, values).ok());
      }
      rows.insert(rows.end(), entries.begin(), entries.end());
    } else if (op < 5) {
      ASSERT_TRUE(held.write_held().ok());
    } else {
      // Values up to 600 KB: the 1 MiB hold fills every few.
      std::string k = random_bytes(rng() % 40);
      std::string v = random_bytes(rng() % 10 == 0 ? rng() % 600000 : rng() % 200);
      RecordEntry e{keys_end, static_cast<uint32_t>(k.size()), vals_end,
                    static_cast<uint32_t>(v.size())};
      keys_end += k.size();
      vals_end += v.size();
      for (DataFiles* f : {&direct, &held}) {
        ASSERT_TRUE(f->ensure_capacity(id).ok());
        ASSERT_TRUE(f->append_record(id, e, k, v).ok());
      }
      rows.push_back(e);
    }
    const RecordEntry& e = rows[rng() % rows.size()];
    std::string a, b;
    ASSERT_TRUE(direct.read_value(e, &a).ok());
    ASSERT_TRUE(held.read_value(e, &b).ok());
    ASSERT_EQ(a, b) << step;
    const uint64_t from = rng() % (keys_end + 1);
    const uint64_t len = rng() % (keys_end - from + 1);
    ASSERT_TRUE(direct.read_keys(from, len, &a).ok());
    ASSERT_TRUE(held.read_keys(from, len, &b).ok());
    ASSERT_EQ(a, b) << step;
  }
  uint64_t held_keys = 0, held_vals = 0, table = 0;
  ASSERT_TRUE(held.lengths(&held_keys, &held_vals, &table).ok());
  EXPECT_EQ(held_keys, keys_end);
  EXPECT_EQ(held_vals, vals_end);
  ASSERT_TRUE(held.write_held().ok());
  EXPECT_EQ(file_bytes(held.keys_fd()), file_bytes(direct.keys_fd()));
  EXPECT_EQ(file_bytes(held.vals_fd()), file_bytes(direct.vals_fd()));
  // Reads past what was appended fail as reads past a file's end do.
  std::string out;
  EXPECT_EQ(held.read_keys(keys_end, 1, &out).kind(), ErrorKind::kUnexpectedEof);
}

}  // namespace
}  // namespace corvid
