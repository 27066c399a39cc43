// snapshot.bin: one record of six fields, with no header, magic or checksum:
//   u64 N, then N pairs (u64 KeyHash, u32 RecordId)   -- the index
//   u64 L1, L1 bytes of portable Roaring              -- live
//   u64 L2, L2 bytes of portable Roaring              -- dead
//   u32 record_count, u64 keys_end, u64 vals_end
// Bytes after vals_end are ignored.
#pragma once

#include <fcntl.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "format/bitmap.h"
#include "format/buffered_reader.h"
#include "format/buffered_writer.h"
#include "format/coding.h"
#include "format/file_util.h"
#include "format/huge_pages.h"

namespace corvid {

inline constexpr size_t kSnapshotWriteBuffer = 1 << 20;
inline constexpr size_t kSnapshotReadBuffer = 1 << 20;
inline constexpr size_t kMaxIndexReserve = 65536;
// Smaller indexes fit in cache and gain nothing from sorting first.
inline constexpr size_t kSortedLoadFrom = 65536;

struct SnapshotCounters {
  uint32_t record_count = 0;
  uint64_t keys_end = 0;
  uint64_t vals_end = 0;
};

struct IndexPair {
  uint64_t hash;
  uint32_t id;
};

namespace snapshot_detail {

using IndexPairs = std::vector<IndexPair, HugePageAllocator<IndexPair>>;

// A stable counting sort of `pairs` by key(pair), which must be below 2^16.
template <class Key>
IndexPairs sorted_by(const IndexPairs& pairs, Key key) {
  std::vector<uint32_t> starts(65537, 0);
  for (const IndexPair& p : pairs) ++starts[key(p) + 1];
  for (size_t i = 1; i < starts.size(); ++i) starts[i] += starts[i - 1];
  IndexPairs out(pairs.size());
  for (const IndexPair& p : pairs) out[starts[key(p)]++] = p;
  return out;
}

Status write_bitmap(BufferedWriter& out, const Bitmap& set);
Status write_counters(BufferedWriter& out, const SnapshotCounters& counters);
Status read_bitmap(BufferedReader& in, Bitmap* out);
Status read_counters(BufferedReader& in, SnapshotCounters* out);

}  // namespace snapshot_detail

// Encodes the six fields piece by piece into `out`. `Index` is a map from
// KeyHash to RecordId.
template <class Index>
Status write_snapshot(BufferedWriter& out, const Index& index, const Bitmap& live,
                      const Bitmap& dead, const SnapshotCounters& counters) {
  uint8_t buf[8];
  encode_fixed64(buf, index.size());
  Status s = out.write(buf, 8);
  for (auto it = index.begin(); s.ok() && it != index.end(); ++it) {
    encode_fixed64(buf, it->first);
    s = out.write(buf, 8);
    if (!s.ok()) break;
    encode_fixed32(buf, it->second);
    s = out.write(buf, 4);
  }
  if (s.ok()) s = snapshot_detail::write_bitmap(out, live);
  if (s.ok()) s = snapshot_detail::write_bitmap(out, dead);
  if (s.ok()) s = snapshot_detail::write_counters(out, counters);
  return s;
}

// Decodes one record from `in` into the given fields; on failure they hold
// partial state and must be discarded. `input_size`, when known, bounds how
// many index entries the input can hold.
template <class Index>
Status decode_snapshot(BufferedReader& in, Index* index, Bitmap* live, Bitmap* dead,
                       SnapshotCounters* counters, uint64_t input_size = 0) {
  uint64_t n;
  Status s = decode_u64(in, &n);
  if (!s.ok()) return s;
  // A corrupt count must not reserve memory it names: at most what the input
  // can hold, 12 bytes a pair.
  uint64_t reserve =
      input_size > 0 ? std::min(n, input_size / 12) : std::min<uint64_t>(n, kMaxIndexReserve);
  index->reserve(static_cast<size_t>(reserve));
  snapshot_detail::IndexPairs pairs;
  pairs.reserve(static_cast<size_t>(reserve));
  constexpr uint64_t kBatch = 4096;
  std::vector<uint8_t> raw(kBatch * 12);
  for (uint64_t done = 0; done < n;) {
    uint64_t batch = std::min(kBatch, n - done);
    s = in.read_exact(raw.data(), batch * 12);
    if (!s.ok()) return s;
    for (const uint8_t* p = raw.data(); p < raw.data() + batch * 12; p += 12) {
      pairs.push_back({decode_fixed64(p), decode_fixed32(p + 8)});
    }
    done += batch;
  }
  // The table places an entry by the high bits of its hash: inserting a large
  // index in that order fills it front to back instead of at random, several
  // times faster. Buckets of a few hundred entries each cover a stretch of
  // the table that stays in cache while it fills. The sort is stable, so a
  // repeated KeyHash still keeps its later id.
  if (pairs.size() >= kSortedLoadFrom) {
    int bits = std::min(16, static_cast<int>(std::bit_width(pairs.size())) - 9);
    auto place = [hash = index->hash_function(), shift = 64 - bits](const IndexPair& p) {
      return static_cast<uint32_t>(hash(p.hash) >> shift);
    };
    pairs = snapshot_detail::sorted_by(pairs, place);
  }
  for (const IndexPair& p : pairs) index->insert_or_assign(p.hash, p.id);
  s = snapshot_detail::read_bitmap(in, live);
  if (s.ok()) s = snapshot_detail::read_bitmap(in, dead);
  if (s.ok()) s = snapshot_detail::read_counters(in, counters);
  return s;
}

// Reads snapshot.bin at `path`. *found is false when there is no file or it
// does not decode. Fails only when an existing file cannot be opened.
template <class Index>
Status read_snapshot(const std::string& path, Index* index, Bitmap* live, Bitmap* dead,
                     SnapshotCounters* counters, bool* found) {
  *found = false;
  if (!path_exists(path)) return Status();
  Fd fd;
  Status s = open_file(path, O_RDONLY, &fd);
  if (!s.ok()) return s;
  uint64_t size = 0;
  (void)file_length(fd.get(), &size);
  BufferedReader in(fd.get(),
                    static_cast<size_t>(std::min<uint64_t>(size + 1, kSnapshotReadBuffer)));
  *found = decode_snapshot(in, index, live, dead, counters, size).ok();
  return Status();
}

}  // namespace corvid
