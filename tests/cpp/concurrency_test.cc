// Several threads of mixed operations on one Db, with nothing but the
// engine's own locks between them. Each thread owns its keys, so every read
// it makes must see exactly its own last write; the whole store must match
// the union at the end and again after a reopen. `make tsan` runs it under
// ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "db_util.h"
#include "store/db.h"
#include "temp_dir.h"

namespace corvid {
namespace {

using Model = std::map<std::string, std::string>;

constexpr int kThreads = 6;
constexpr int kOpsPerThread = 2000;
constexpr int kKeysPerThread = 40;

std::string key_name(int thread, int n) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "t%d-%d", thread, n);
  return buf;
}

std::string expected(const Model& model, const std::string& key) {
  auto it = model.find(key);
  return it == model.end() ? "<none>" : it->second;
}

void run_thread(Db& db, int thread, Model* model) {
  std::mt19937 rng(thread * 7919 + 1);
  for (int i = 0; i < kOpsPerThread; ++i) {
    const std::string key = key_name(thread, static_cast<int>(rng() % kKeysPerThread));
    const unsigned r = rng() % 1000;
    if (r < 450) {
      std::string value(rng() % 300, static_cast<char>('a' + thread));
      value += std::to_string(i);
      ASSERT_TRUE(db.set_bytes(key, value).ok());
      (*model)[key] = value;
    } else if (r < 600) {
      bool found = false;
      ASSERT_TRUE(db.delete_key(key, &found).ok());
      ASSERT_EQ(found, model->erase(key) == 1) << key;
    } else if (r < 800) {
      ASSERT_EQ(value_of(db, key), expected(*model, key)) << key;
    } else if (r < 880) {
      std::vector<std::string> keys;
      for (int k = 0; k < 5; ++k) keys.push_back(key_name(thread, static_cast<int>(rng() % 40)));
      std::vector<std::string> got(keys.size());
      ASSERT_TRUE(db.get_many(keys, [&](size_t n, const std::string* v) {
                      got[n] = v != nullptr ? *v : "<none>";
                    }).ok());
      for (size_t n = 0; n < keys.size(); ++n) ASSERT_EQ(got[n], expected(*model, keys[n]));
    } else if (r < 940) {
      std::vector<std::string> keys;
      ASSERT_TRUE(db.keys(&keys).ok());
      std::set<std::string> unique(keys.begin(), keys.end());
      ASSERT_EQ(unique.size(), keys.size());
      for (const auto& [k, v] : *model) ASSERT_EQ(unique.count(k), 1u) << k;
    } else if (r < 970) {
      uint64_t n = 0, entries = 0, capacity = 0;
      ASSERT_TRUE(db.len(&n).ok());
      ASSERT_TRUE(db.cache_stats(&entries, &capacity).ok());
      ASSERT_LE(entries, capacity);
    } else if (r < 992) {
      ASSERT_TRUE(db.persist().ok());
    } else if (r < 996) {
      ASSERT_TRUE(db.clear_cache().ok());
    } else {
      ASSERT_TRUE(db.vacuum().ok());
    }
  }
}

void expect_contents(Db& db, const std::vector<Model>& models) {
  std::set<std::string> all;
  for (int t = 0; t < kThreads; ++t) {
    for (int n = 0; n < kKeysPerThread; ++n) {
      std::string key = key_name(t, n);
      EXPECT_EQ(value_of(db, key), expected(models[t], key)) << key;
    }
    for (const auto& [k, v] : models[t]) all.insert(k);
  }
  std::vector<std::string> keys;
  ASSERT_TRUE(db.keys(&keys).ok());
  EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()), all);
  uint64_t n = 0;
  ASSERT_TRUE(db.len(&n).ok());
  EXPECT_EQ(n, all.size());
}

// Both ways to hold a directory: the low-level module's, and the package's
// exclusive one, whose appends wait in memory and whose vacuum leaves the
// old files and the log's emptying to threads of its own.
class ConcurrencyTest : public testing::TestWithParam<bool> {};

INSTANTIATE_TEST_SUITE_P(Claims, ConcurrencyTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Exclusive" : "Shared";
                         });

TEST_P(ConcurrencyTest, MixedOperationsOnOneStore) {
  const std::string dir = temp_dir() + "/store";
  std::unique_ptr<Db> db;
  ASSERT_TRUE(Db::open(dir, 64, &db, Durability::kBuffered, GetParam()).ok());
  std::vector<Model> models(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back(run_thread, std::ref(*db), t, &models[t]);
  }
  for (std::thread& t : threads) t.join();
  expect_contents(*db, models);

  // A persist in the middle of the run, the log since: the reopened store
  // holds exactly what the threads left.
  db.reset();
  ASSERT_TRUE(Db::open(dir, 64, &db, Durability::kBuffered, GetParam()).ok());
  expect_contents(*db, models);
}

// Read-only opens beside a writer that persists and vacuums: each sees the
// files between two of the writer's installs, so the state after some
// prefix of the writer's puts, never the snapshot of one moment with the
// log of another.
TEST_P(ConcurrencyTest, ReadOnlyOpensBesideAnInstallingWriter) {
  const std::string dir = temp_dir() + "/store";
  std::unique_ptr<Db> db;
  ASSERT_TRUE(Db::open(dir, 16, &db, Durability::kBuffered, GetParam()).ok());
  std::atomic<bool> done{false};
  std::thread writer([&] {
    const std::string value(3000, 'v');  // the log's buffer goes out every few puts
    for (int i = 0; i < 3000; ++i) {
      ASSERT_TRUE(db->set_bytes(key_name(0, i), value).ok());
      if (i % 100 == 99) {
        ASSERT_TRUE(db->persist().ok());
      }
      if (i % 700 == 650) {  // a log to empty
        ASSERT_TRUE(db->vacuum().ok());
      }
    }
    done = true;
  });
  int opens = 0;
  for (; !done || opens < 5; ++opens) {
    std::unique_ptr<Db> reader;
    ASSERT_TRUE(Db::open_read_only(dir, 4, &reader).ok());
    std::vector<std::string> keys;
    ASSERT_TRUE(reader->keys(&keys).ok());
    for (size_t i = 0; i < keys.size(); ++i) ASSERT_EQ(keys[i], key_name(0, static_cast<int>(i)));
  }
  writer.join();
  EXPECT_GE(opens, 5);
}

}  // namespace
}  // namespace corvid
