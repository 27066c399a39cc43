// The calls the corvid package adds: batches, scans, pops, clear and the
// durability levels, each checked against what a reopen finds.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "db_util.h"
#include "store/db.h"
#include "temp_dir.h"

namespace corvid {
namespace {

uint64_t size_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

std::unique_ptr<Db> open_db(const std::string& dir, Durability d = Durability::kBuffered) {
  std::unique_ptr<Db> db;
  EXPECT_TRUE(Db::open(dir, 100, &db, d).ok());
  return db;
}

PutBatch batch_of(std::initializer_list<std::pair<std::string, std::string>> items) {
  PutBatch b;
  for (const auto& [k, v] : items) b.add(k, v);
  return b;
}

// Every live record, in order, through scans of `per_chunk` records.
std::vector<std::pair<std::string, std::string>> scan_all(Db& db, size_t per_chunk) {
  std::vector<std::pair<std::string, std::string>> out;
  ScanLimits limits{true, per_chunk, 1 << 20};
  ScanChunk chunk;
  const uint64_t seen = db.changes();
  uint32_t from = 0;
  for (;;) {
    bool changed = true;
    EXPECT_TRUE(db.scan(seen, from, limits, &chunk, &changed).ok());
    EXPECT_FALSE(changed);
    for (size_t i = 0; i < chunk.keys.size(); ++i) out.emplace_back(chunk.keys[i], chunk.values[i]);
    if (chunk.done) return out;
    from = chunk.next;
  }
}

TEST(BatchTest, PutManyIsOneWritePerFileAndReplays) {
  std::string dir = temp_dir() + "/s";
  {
    auto db = open_db(dir);
    ASSERT_TRUE(db->set_bytes("a", "old").ok());
    ASSERT_TRUE(db->put_many(batch_of({{"b", "22"}, {"a", "1"}, {"c", ""}, {"b", "2"}})).ok());
    EXPECT_EQ(value_of(*db, "a"), "1");  // the cached "old" went with the batch
    EXPECT_EQ(value_of(*db, "b"), "2");
    EXPECT_EQ(size_of(dir + "/keys.bin"), 5u);
    EXPECT_EQ(size_of(dir + "/vals.bin"), 3u + 2 + 1 + 0 + 1);
    uint64_t n = 0;
    ASSERT_TRUE(db->len(&n).ok());
    EXPECT_EQ(n, 3u);
  }
  // Not persisted: the log replays the batch, over the bytes it wrote.
  auto db = open_db(dir);
  EXPECT_EQ(scan_all(*db, 2),
            (std::vector<std::pair<std::string, std::string>>{{"a", "1"}, {"c", ""}, {"b", "2"}}));
  EXPECT_EQ(size_of(dir + "/vals.bin"), 7u);
}

TEST(BatchTest, DeleteManyLogsOnlyPresentKeys) {
  std::string dir = temp_dir() + "/s";
  auto db = open_db(dir, Durability::kFlush);
  ASSERT_TRUE(db->put_many(batch_of({{"a", "1"}, {"b", "2"}, {"c", "3"}})).ok());
  const uint64_t log_before = size_of(dir + "/wal.bin");
  std::vector<std::string_view> absent = {"x", "y"};
  uint64_t deleted = 7;
  ASSERT_TRUE(db->delete_many(absent, &deleted).ok());
  EXPECT_EQ(deleted, 0u);
  EXPECT_EQ(size_of(dir + "/wal.bin"), log_before);
  const uint64_t changes = db->changes();
  std::vector<std::string_view> keys = {"a", "x", "c", "a"};
  ASSERT_TRUE(db->delete_many(keys, &deleted).ok());
  EXPECT_EQ(deleted, 2u);
  EXPECT_GT(db->changes(), changes);
  db.reset();
  db = open_db(dir);
  EXPECT_EQ(scan_all(*db, 10), (std::vector<std::pair<std::string, std::string>>{{"b", "2"}}));
}

TEST(BatchTest, ScanStopsAtItsLimitsAndSeesChanges) {
  std::string dir = temp_dir() + "/s";
  auto db = open_db(dir);
  PutBatch b;
  for (int i = 0; i < 50; ++i) {
    char key[8];
    std::snprintf(key, sizeof key, "k%d", i);
    b.add(key, std::string(i, 'v'));
  }
  ASSERT_TRUE(db->put_many(b).ok());
  bool found = false;
  ASSERT_TRUE(db->delete_key("k7", &found).ok());
  auto all = scan_all(*db, 3);
  ASSERT_EQ(all.size(), 49u);
  EXPECT_EQ(all[7].first, "k8");
  EXPECT_EQ(all[48].second, std::string(49, 'v'));

  // A byte limit hands out at least one record.
  ScanChunk chunk;
  bool changed = false;
  ASSERT_TRUE(db->scan(db->changes(), 0, {false, 100, 1}, &chunk, &changed).ok());
  EXPECT_EQ(chunk.keys.size(), 1u);
  EXPECT_TRUE(chunk.values.empty());
  EXPECT_FALSE(chunk.done);

  const uint64_t seen = db->changes();
  ASSERT_TRUE(db->set_bytes("new", "x").ok());
  ASSERT_TRUE(db->scan(seen, chunk.next, {}, &chunk, &changed).ok());
  EXPECT_TRUE(changed);
}

TEST(BatchTest, PopLastAndClear) {
  std::string dir = temp_dir() + "/s";
  auto db = open_db(dir);
  ASSERT_TRUE(db->put_many(batch_of({{"a", "1"}, {"b", "2"}})).ok());
  ASSERT_TRUE(db->set_bytes("a", "3").ok());
  std::string key, value;
  bool found = false;
  ASSERT_TRUE(db->pop_last(&key, &value, &found).ok());
  EXPECT_TRUE(found);
  EXPECT_EQ(key, "a");
  EXPECT_EQ(value, "3");
  bool present = true;
  ASSERT_TRUE(db->contains("a", &present).ok());
  EXPECT_FALSE(present);
  ASSERT_TRUE(db->contains("b", &present).ok());
  EXPECT_TRUE(present);
  uint64_t removed = 0;
  ASSERT_TRUE(db->clear(&removed).ok());
  EXPECT_EQ(removed, 1u);
  ASSERT_TRUE(db->pop_last(&key, &value, &found).ok());
  EXPECT_FALSE(found);
  db.reset();
  db = open_db(dir);
  uint64_t n = 1;
  ASSERT_TRUE(db->len(&n).ok());
  EXPECT_EQ(n, 0u);
}

// Contains reads the key, not the value, and leaves the cache alone.
TEST(BatchTest, ContainsComparesTheStoredKey) {
  std::string dir = temp_dir() + "/s";
  auto db = open_db(dir);
  ASSERT_TRUE(db->put_many(batch_of({{"key", "value"}})).ok());
  uint64_t entries = 9, capacity = 0;
  bool found = false;
  ASSERT_TRUE(db->contains("key", &found).ok());
  EXPECT_TRUE(found);
  ASSERT_TRUE(db->contains("kex", &found).ok());
  EXPECT_FALSE(found);
  ASSERT_TRUE(db->cache_stats(&entries, &capacity).ok());
  EXPECT_EQ(entries, 0u);
}

TEST(BatchTest, FlushDurabilityWritesEveryCallOut) {
  std::string dir = temp_dir() + "/s";
  auto buffered = open_db(dir + "b");
  auto flushed = open_db(dir + "f", Durability::kFlush);
  for (Db* db : {buffered.get(), flushed.get()}) {
    ASSERT_TRUE(db->set_bytes("a", "1").ok());
    bool found = false;
    ASSERT_TRUE(db->delete_key("a", &found).ok());
    ASSERT_TRUE(db->put_many(batch_of({{"b", "2"}})).ok());
  }
  EXPECT_EQ(size_of(dir + "b/wal.bin"), 0u);
  EXPECT_GT(size_of(dir + "f/wal.bin"), 0u);
}

TEST(BatchTest, CloseLeavesNothingToReplay) {
  std::string dir = temp_dir() + "/s";
  auto db = open_db(dir, Durability::kSync);
  ASSERT_TRUE(db->put_many(batch_of({{"a", "1"}, {"b", "2"}})).ok());
  ASSERT_TRUE(db->close().ok());
  EXPECT_EQ(size_of(dir + "/wal.bin"), 0u);
  EXPECT_GT(size_of(dir + "/snapshot.bin"), 0u);
  db.reset();
  const uint64_t keys = size_of(dir + "/keys.bin");
  db = open_db(dir);
  EXPECT_EQ(value_of(*db, "b"), "2");
  EXPECT_EQ(size_of(dir + "/keys.bin"), keys);
}

}  // namespace
}  // namespace corvid
