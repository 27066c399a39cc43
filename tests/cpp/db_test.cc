#include "store/db.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>

#include "db_util.h"
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

std::vector<std::string> keys_of(Db& db) {
  std::vector<std::string> keys;
  EXPECT_TRUE(db.keys(&keys).ok());
  return keys;
}

TEST(DbTest, PutGetDelete) {
  std::string dir = temp_dir();
  std::unique_ptr<Db> db;
  ASSERT_TRUE(Db::open(dir + "/s", 2, &db).ok());
  ASSERT_TRUE(db->set_bytes("a", "1").ok());
  ASSERT_TRUE(db->set_bytes("b", "22").ok());
  ASSERT_TRUE(db->set_bytes("a", "333").ok());
  EXPECT_EQ(value_of(*db, "a"), "333");
  ASSERT_TRUE(db->clear_cache().ok());
  EXPECT_EQ(value_of(*db, "b"), "22");
  EXPECT_EQ(keys_of(*db), (std::vector<std::string>{"b", "a"}));
  bool found = false;
  ASSERT_TRUE(db->delete_key("a", &found).ok());
  EXPECT_TRUE(found);
  ASSERT_TRUE(db->delete_key("a", &found).ok());
  EXPECT_FALSE(found);
  EXPECT_EQ(value_of(*db, "a"), "<none>");
  uint64_t n = 0;
  ASSERT_TRUE(db->len(&n).ok());
  EXPECT_EQ(n, 1u);
  EXPECT_EQ(size_of(dir + "/s/keys.bin"), 3u);
  EXPECT_EQ(size_of(dir + "/s/vals.bin"), 6u);
}

// A read-only open beside the writer reaches the state the writer's next
// open would: the snapshot, then the log, records of the log served from it.
TEST(DbTest, ReadOnlyOpenSeesWhatTheNextOpenWould) {
  std::string dir = temp_dir() + "/s";
  {
    std::unique_ptr<Db> db;
    ASSERT_TRUE(Db::open(dir, 100, &db).ok());
    for (int i = 0; i < 50; ++i) {
      char key[16];
      std::snprintf(key, sizeof key, "k%d", i);
      ASSERT_TRUE(db->set_bytes(key, "v").ok());
    }
    ASSERT_TRUE(db->persist().ok());
    bool found;
    ASSERT_TRUE(db->delete_key("k3", &found).ok());
    ASSERT_TRUE(db->set_bytes("k7", std::string(9000, 'x')).ok());  // overflows the buffer
    ASSERT_TRUE(db->set_bytes("new", "n").ok());
  }
  std::unique_ptr<Db> ro;
  ASSERT_TRUE(Db::open_read_only(dir, 4, &ro).ok());
  EXPECT_TRUE(ro->read_only());
  EXPECT_EQ(ro->report().log.entries, 3u);
  std::vector<std::string> ro_keys = keys_of(*ro);
  StoreStats ro_stats;
  ASSERT_TRUE(ro->stats(&ro_stats).ok());
  EXPECT_EQ(value_of(*ro, "k7"), std::string(9000, 'x'));
  EXPECT_EQ(value_of(*ro, "k3"), "<none>");
  EXPECT_EQ(ro->set_bytes("x", "y").kind(), ErrorKind::kPermissionDenied);
  EXPECT_EQ(ro->persist().kind(), ErrorKind::kPermissionDenied);
  EXPECT_EQ(ro->vacuum().kind(), ErrorKind::kPermissionDenied);

  std::unique_ptr<Db> rw;
  ASSERT_TRUE(Db::open(dir, 4, &rw).ok());
  EXPECT_EQ(keys_of(*rw), ro_keys);
  StoreStats rw_stats;
  ASSERT_TRUE(rw->stats(&rw_stats).ok());
  const RecordCounts& written = rw_stats.records;
  const RecordCounts& read = ro_stats.records;
  EXPECT_EQ(written.index_entries, read.index_entries);
  EXPECT_EQ(written.live, read.live);
  EXPECT_EQ(written.dead, read.dead);
  EXPECT_EQ(written.record_count, read.record_count);
  EXPECT_EQ(written.keys_end, read.keys_end);
  EXPECT_EQ(written.vals_end, read.vals_end);
  EXPECT_EQ(rw_stats.live_bytes, ro_stats.live_bytes);
  for (const std::string& k : ro_keys) EXPECT_EQ(value_of(*ro, k), value_of(*rw, k)) << k;
}

// An exclusive open replays on two threads, in several folds here (the log
// outgrows one): it must reach the state a read-only open reaches entry by
// entry, and leave the cache cold.
TEST(DbTest, ParallelReplayMatchesReplayEntryByEntry) {
  std::string dir = temp_dir() + "/s";
  std::mt19937_64 rng(7);
  {
    std::unique_ptr<Db> db;
    ASSERT_TRUE(Db::open(dir, 100, &db, Durability::kBuffered, /*exclusive=*/true).ok());
    for (int i = 0; i < 30000; ++i) {
      std::string key = "k";
      key += std::to_string(rng() % 12000);
      if (rng() % 4 == 0) {
        bool found;
        ASSERT_TRUE(db->delete_key(key, &found).ok());
      } else {
        ASSERT_TRUE(db->set_bytes(key, std::string(rng() % 2500, 'a' + i % 26)).ok());
      }
      if (i == 9000) {
        ASSERT_TRUE(db->persist().ok());
      }
    }
    ASSERT_TRUE(db->flush_log().ok());
  }
  std::unique_ptr<Db> ro;
  ASSERT_TRUE(Db::open_read_only(dir, 100, &ro).ok());
  ASSERT_GT(ro->report().log.whole_end, 16u << 20);
  StoreStats ro_stats;
  ASSERT_TRUE(ro->stats(&ro_stats).ok());
  std::unique_ptr<Db> rw;
  ASSERT_TRUE(Db::open(dir, 100, &rw, Durability::kBuffered, /*exclusive=*/true).ok());
  StoreStats rw_stats;
  ASSERT_TRUE(rw->stats(&rw_stats).ok());
  EXPECT_EQ(rw_stats.cache_entries, 0u);
  EXPECT_EQ(rw_stats.records.index_entries, ro_stats.records.index_entries);
  EXPECT_EQ(rw_stats.records.live, ro_stats.records.live);
  EXPECT_EQ(rw_stats.records.dead, ro_stats.records.dead);
  EXPECT_EQ(rw_stats.records.record_count, ro_stats.records.record_count);
  EXPECT_EQ(rw_stats.records.keys_end, ro_stats.records.keys_end);
  EXPECT_EQ(rw_stats.records.vals_end, ro_stats.records.vals_end);
  const std::vector<std::string> keys = keys_of(*ro);
  EXPECT_EQ(keys_of(*rw), keys);
  for (const std::string& k : keys) ASSERT_EQ(value_of(*ro, k), value_of(*rw, k)) << k;
}

// A vacuum takes the index over from the old one when it names the live
// records exactly, and builds it from the copied keys otherwise (here:
// far more dead records than live ones). Either way every key reads back,
// before and after a reopen, and the keys keep their order.
TEST(DbTest, VacuumKeepsEveryKeyWhicheverWayItsIndexIsBuilt) {
  auto name = [](int i) {
    std::string k = std::to_string(i);
    k.insert(0, 1, 'k');
    return k;
  };
  for (int rewrites : {1, 40}) {
    SCOPED_TRACE(rewrites);
    std::string dir = temp_dir();
    std::map<std::string, std::string> model;
    std::vector<std::string> order;  // by current record: a rewrite moves a key last
    std::unique_ptr<Db> db;
    ASSERT_TRUE(Db::open(dir + "/s", 100, &db).ok());
    auto put = [&](const std::string& k, const std::string& v) {
      ASSERT_TRUE(db->set_bytes(k, v).ok());
      std::erase(order, k);
      order.push_back(k);
      model[k] = v;
    };
    for (int i = 0; i < 3000; ++i) put(name(i), "v");
    ASSERT_TRUE(db->persist().ok());  // the index is one sorted array
    // Keys after the persist sit beside it; overwrites and deletes change it.
    for (int r = 0; r < rewrites; ++r) {
      for (int i = 0; i < 3000; i += 3) put(name(i), std::to_string(r));
    }
    for (int i = 3000; i < 3500; ++i) put(name(i), "n");
    for (int i = 1; i < 3500; i += 7) {
      bool found = false;
      ASSERT_TRUE(db->delete_key(name(i), &found).ok());
      model.erase(name(i));
      std::erase(order, name(i));
    }
    ASSERT_TRUE(db->vacuum().ok());
    for (int reopen = 0; reopen < 2; ++reopen) {
      uint64_t n = 0;
      ASSERT_TRUE(db->len(&n).ok());
      EXPECT_EQ(n, model.size());
      ASSERT_TRUE(db->clear_cache().ok());
      for (const auto& [k, v] : model) ASSERT_EQ(value_of(*db, k), v) << k;
      EXPECT_EQ(value_of(*db, "k1"), "<none>");
      EXPECT_EQ(keys_of(*db), order);
      db.reset();
      ASSERT_TRUE(Db::open(dir + "/s", 100, &db).ok());
    }
  }
}

TEST(DbTest, ReadOnlyOpenRefusesWhatHoldsNoStore) {
  std::string dir = temp_dir();
  std::unique_ptr<Db> db;
  Status s = Db::open_read_only(dir, 4, &db);
  EXPECT_EQ(s.kind(), ErrorKind::kNotFound);
  EXPECT_NE(s.message().find("is not a storage directory"), std::string::npos);
  EXPECT_EQ(Db::open_read_only(dir + "/missing", 4, &db).code(), ENOENT);
  EXPECT_EQ(size_of(dir + "/offsets.bin"), 0u);
  EXPECT_EQ(::access((dir + "/missing").c_str(), F_OK), -1);
}

}  // namespace
}  // namespace corvid
