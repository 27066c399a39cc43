#include "store/store.h"

#include <sys/random.h>

#include <chrono>

#include "store/key_hash.h"

namespace corvid {

SeededHash new_seeded_hash() {
  SeededHash h;
  if (::getrandom(&h.seed, sizeof h.seed, GRND_NONBLOCK) != sizeof h.seed) {
    h.seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
             reinterpret_cast<uintptr_t>(&h);
  }
  return h;
}

Store::Store(DataFiles data_files, uint64_t cache_size)
    : index(new_hash_map<uint64_t, uint32_t>()), cache(cache_size), files(std::move(data_files)) {}

const std::string* Store::lookup(std::string_view key) {
  uint64_t h = key_hash(key);
  if (const std::string* hit = cache.get(h)) return hit;
  auto it = index.find(h);
  if (it == index.end()) return nullptr;
  uint32_t id = it->second;
  if (!live.contains(id)) return nullptr;
  RecordEntry entry = files.read_entry(id);
  unwrap(files.read_key(entry, &key_scratch_));
  if (key_scratch_ != key) return nullptr;
  std::string value;
  unwrap(files.read_value(entry, &value));
  return cache.put(h, std::move(value));
}

void Store::apply_put(std::string_view key, std::string value) {
  uint64_t h = key_hash(key);
  auto it = index.find(h);
  if (it != index.end()) {
    uint32_t old = it->second;
    live.remove(old);
    dead.add(old);
  }
  uint32_t id = files.append_record(key, value);
  index.insert_or_assign(h, id);
  live.add(id);
  cache.put(h, std::move(value));
}

bool Store::apply_delete(std::string_view key) {
  uint64_t h = key_hash(key);
  auto it = index.find(h);
  if (it == index.end()) return false;
  uint32_t id = it->second;
  live.remove(id);
  dead.add(id);
  index.erase(it);
  cache.remove(h);
  return true;
}

std::vector<std::string> Store::keys() const {
  std::vector<std::string> out;
  out.reserve(static_cast<size_t>(live.cardinality()));
  KeyReader reader(files, &out);
  live.for_each([&](uint32_t id) { unwrap(reader.add(files.read_entry(id))); });
  unwrap(reader.finish());
  return out;
}

}  // namespace corvid
