// The key index against a hash table of the same pairs (the engine's
// HashMap, as a store without a sorted index would keep): time to build
// from a snapshot's pairs, lookups of present and absent hashes in random
// order, and resident memory per key. The index is built twice: from pairs
// in memory, and from a snapshot file whose pairs it maps, as a store's
// writer opens it ("mapped"; the file's pages are the page cache's, not
// counted as resident here). Run by `make bench-index`; sizes may be given
// as arguments.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "format/hash_map.h"
#include "format/key_index.h"
#include "format/record_state.h"
#include "format/snapshot.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// Resident bytes of this process.
double resident() {
  std::ifstream f("/proc/self/statm");
  double size = 0, pages = 0;
  f >> size >> pages;
  return pages * 4096;
}

template <class Find>
double ns_per_lookup(const std::vector<uint64_t>& probes, Find find) {
  uint64_t sum = 0;
  auto t = Clock::now();
  for (uint64_t h : probes) sum += find(h);
  double ns = seconds_since(t) * 1e9 / static_cast<double>(probes.size());
  if (sum == 1) std::puts("");  // keeps the loop
  return ns;
}

struct Result {
  double build_ms = 0, hit_ns = 0, miss_ns = 0, bytes_per_key = 0;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Builds an index with `build`, then times lookups through `find`.
template <class Build, class Find>
Result measure(size_t n, const std::vector<uint64_t>& hits, const std::vector<uint64_t>& misses,
               Build build, Find find) {
  Result r;
  double before = resident();
  auto t = Clock::now();
  auto index = build();
  r.build_ms = seconds_since(t) * 1e3;
  r.bytes_per_key = (resident() - before) / static_cast<double>(n);
  r.hit_ns = ns_per_lookup(hits, [&](uint64_t h) { return find(index, h); });
  r.miss_ns = ns_per_lookup(misses, [&](uint64_t h) { return find(index, h); });
  return r;
}

// Writes a snapshot holding `pairs` (and no records) at `path`.
void write_pairs(const std::string& path, const corvid::IndexPairs& pairs) {
  corvid::RecordState state;
  state.index.load(pairs);
  corvid::Fd fd;
  if (!corvid::open_file(path, O_WRONLY | O_CREAT | O_TRUNC, &fd).ok()) std::abort();
  corvid::BufferedWriter out(std::move(fd), corvid::kSnapshotWriteBuffer);
  if (!corvid::write_snapshot(out, state).ok() || !out.flush().ok()) std::abort();
}

}  // namespace

int main(int argc, char** argv) {
  using corvid::IndexPair;
  using corvid::IndexPairs;
  constexpr int kRounds = 5;
  std::printf("medians of %d rounds, lookups in random order\n", kRounds);
  std::printf("%10s  %-6s %10s %10s %10s %10s\n", "keys", "index", "build ms", "hit ns", "miss ns",
              "bytes/key");
  std::vector<size_t> sizes{100'000, 1'000'000, 10'000'000};
  if (argc > 1) sizes.clear();
  for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
  const std::string file = "/tmp/index_bench." + std::to_string(::getpid()) + ".bin";
  for (size_t n : sizes) {
    std::mt19937_64 rng(n);
    IndexPairs pairs(n);
    for (size_t i = 0; i < n; ++i) pairs[i] = {rng(), static_cast<uint32_t>(i)};
    std::vector<uint64_t> hits, misses;
    for (size_t i = 0; i < 2'000'000; ++i) {
      hits.push_back(pairs[rng() % n].hash);
      misses.push_back(rng());
    }
    std::sort(pairs.begin(), pairs.end(),
              [](const IndexPair& a, const IndexPair& b) { return a.hash < b.hash; });
    write_pairs(file, pairs);
    std::vector<Result> sorted, mapped, hashed;
    for (int round = 0; round < kRounds; ++round) {
      mapped.push_back(measure(
          n, hits, misses,
          [&] {
            corvid::SnapshotImage image;
            bool found = false;
            if (!corvid::read_snapshot(file, &image, &found, true).ok() || !found) std::abort();
            corvid::KeyIndex index;
            index.load(std::move(image.pairs));
            return index;
          },
          [](const corvid::KeyIndex& index, uint64_t h) { return index.find(h); }));
      sorted.push_back(measure(
          n, hits, misses,
          [&] {
            corvid::KeyIndex index;
            index.load(pairs);
            return index;
          },
          [](const corvid::KeyIndex& index, uint64_t h) { return index.find(h); }));
      hashed.push_back(measure(
          n, hits, misses,
          [&] {
            auto map = corvid::new_hash_map<uint64_t, uint32_t>();
            map.reserve(n);
            for (const IndexPair& p : pairs) map.insert_or_assign(p.hash, p.id);
            return map;
          },
          [](const auto& map, uint64_t h) {
            auto it = map.find(h);
            return it == map.end() ? corvid::KeyIndex::kNone : it->second;
          }));
    }
    for (auto [name, results] :
         {std::pair{"sorted", &sorted}, std::pair{"mapped", &mapped}, std::pair{"hash", &hashed}}) {
      auto pick = [&](double Result::*field) {
        std::vector<double> v;
        for (const Result& r : *results) v.push_back(r.*field);
        return median(v);
      };
      std::printf("%10zu  %-6s %10.1f %10.1f %10.1f %10.1f\n", n, name, pick(&Result::build_ms),
                  pick(&Result::hit_ns), pick(&Result::miss_ns), (*results)[0].bytes_per_key);
    }
  }
  ::unlink(file.c_str());
}
