// The records of a call that puts many at once, and the chunks in which a
// scan hands live records out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvid {

// Keys and values back to back, in the order of the call: the data files
// take each run with one write.
struct PutBatch {
  std::string keys;
  std::string values;
  std::vector<std::pair<uint32_t, uint32_t>> lengths;  // of each record's key and value

  size_t size() const { return lengths.size(); }
  // Empties the batch, keeping its buffers.
  void clear() {
    keys.clear();
    values.clear();
    lengths.clear();
  }
  // The lengths must have been checked (check_put_lengths).
  void add(std::string_view key, std::string_view value) {
    keys.append(key);
    values.append(value);
    lengths.emplace_back(static_cast<uint32_t>(key.size()), static_cast<uint32_t>(value.size()));
  }
  // Calls f(key, value) for every record in order.
  template <class F>
  void for_each(F&& f) const {
    size_t k = 0, v = 0;
    for (auto [key_len, val_len] : lengths) {
      f(std::string_view(keys).substr(k, key_len), std::string_view(values).substr(v, val_len));
      k += key_len;
      v += val_len;
    }
  }
};

// How much one scan call hands out: it stops before the record that would
// pass either limit, but always hands out at least one.
struct ScanLimits {
  bool values = false;  // keys only, or keys and values
  size_t max_records = 1024;
  size_t max_bytes = 1 << 20;
};

struct ScanChunk {
  std::vector<std::string> keys;
  std::vector<std::string> values;  // when asked for
  uint32_t next = 0;                // the RecordId to go on from
  bool done = false;                // no live record from `next` on
};

}  // namespace corvid
