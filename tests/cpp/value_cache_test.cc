#include "store/value_cache.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "store/panic.h"

namespace corvid {
namespace {

// The cache as the tick rule defines it: every put and hit takes a fresh
// tick, and a put of a new hash into a full cache evicts the smallest tick.
class TickModel {
 public:
  explicit TickModel(uint64_t capacity) : capacity_(capacity) {}

  const std::string* get(uint64_t h) {
    auto it = entries_.find(h);
    if (it == entries_.end()) return nullptr;
    it->second.second = ++clock_;
    return &it->second.first;
  }
  void put(uint64_t h, std::string v) {
    ++clock_;
    if (entries_.size() >= capacity_ && !entries_.empty() && !entries_.count(h)) {
      auto victim = entries_.begin();
      for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->second.second < victim->second.second) victim = it;
      }
      entries_.erase(victim);
    }
    entries_[h] = {std::move(v), clock_};
  }
  void remove(uint64_t h) { entries_.erase(h); }
  void clear() {
    entries_.clear();
    clock_ = 0;
  }
  size_t size() const { return entries_.size(); }

 private:
  uint64_t capacity_;
  uint64_t clock_ = 0;
  std::map<uint64_t, std::pair<std::string, uint64_t>> entries_;
};

TEST(ValueCacheTest, MatchesTheTickModel) {
  std::mt19937_64 rng(12345);
  for (uint64_t capacity : {0, 1, 2, 3, 5, 16}) {
    for (int round = 0; round < 20; ++round) {
      ValueCache cache(capacity);
      TickModel model(capacity);
      for (int step = 0; step < 2000; ++step) {
        uint64_t h = rng() % 12;
        int op = static_cast<int>(rng() % 100);
        if (op < 45) {
          std::string v = std::to_string(rng() % 1000);
          cache.put(h, v);
          model.put(h, v);
        } else if (op < 90) {
          const std::string* a = cache.get(h);
          const std::string* b = model.get(h);
          ASSERT_EQ(a == nullptr, b == nullptr) << "capacity " << capacity << " step " << step;
          if (a != nullptr) {
            ASSERT_EQ(*a, *b);
          }
        } else if (op < 99) {
          cache.remove(h);
          model.remove(h);
        } else {
          cache.clear();
          model.clear();
        }
        ASSERT_EQ(cache.size(), model.size());
      }
      // Whatever is cached must agree, without touching recency in the model's favour.
      for (uint64_t h = 0; h < 12; ++h) {
        const std::string* a = cache.get(h);
        const std::string* b = model.get(h);
        ASSERT_EQ(a == nullptr, b == nullptr);
      }
    }
  }
}

TEST(ValueCacheTest, CapacityLimits) {
  ValueCache zero(0);
  zero.put(1, "a");
  zero.put(2, "b");
  EXPECT_EQ(zero.size(), 1u);
  EXPECT_EQ(zero.get(1), nullptr);
  ASSERT_NE(zero.get(2), nullptr);
  EXPECT_EQ(*zero.get(2), "b");

  ValueCache two(2);
  two.put(1, "a");
  two.put(2, "b");
  two.put(1, "c");  // a cached hash never evicts
  EXPECT_EQ(two.size(), 2u);
  EXPECT_EQ(*two.get(1), "c");
}

TEST(ValueCacheTest, TableBeyondRangePanics) {
  try {
    ValueCache huge(UINT64_MAX);
    FAIL() << "no panic";
  } catch (const Panic& p) {
    EXPECT_EQ(p.error().kind(), ErrorKind::kCapacityOverflow);
    EXPECT_EQ(p.error().message(), "Hash table capacity overflow");
  }
}

}  // namespace
}  // namespace corvid
