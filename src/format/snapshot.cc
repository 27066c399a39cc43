#include "format/snapshot.h"

#include <fcntl.h>
#include <sys/mman.h>

#include <algorithm>
#include <bit>

#include "format/coding.h"
#include "format/file_util.h"

namespace corvid {

namespace {

// A corrupt count must not reserve memory it names.
constexpr uint64_t kMaxIndexReserve = 65536;

Status write_bitmap(BufferedWriter& out, const Bitmap& set) {
  std::string payload = set.serialize();
  uint8_t len[8];
  encode_fixed64(len, payload.size());
  Status s = out.write(len, 8);
  if (s.ok()) s = out.write(payload.data(), payload.size());
  return s;
}

// A checked payload, its member count and its largest id.
Status read_bitmap(BufferedReader& in, std::string* payload, uint64_t* count, int64_t* max) {
  Status s = decode_bytes(in, payload);
  if (!s.ok()) return s;
  if (!Bitmap::describe(*payload, count, max)) {
    return Status::Custom(ErrorKind::kInvalidInput, "invalid bitmap");
  }
  return Status();
}

}  // namespace

Status write_snapshot(BufferedWriter& out, const RecordState& state,
                      std::span<const IndexPair> pairs) {
  uint8_t buf[8];
  encode_fixed64(buf, pairs.size());
  Status s = out.write(buf, 8);
  if constexpr (std::endian::native == std::endian::little) {
    if (s.ok() && !pairs.empty()) s = out.write(pairs.data(), pairs.size() * sizeof(IndexPair));
  } else {
    for (const IndexPair& p : pairs) {
      if (!s.ok()) break;
      uint8_t pair[12];
      encode_fixed64(pair, p.hash);
      encode_fixed32(pair + 8, p.id);
      s = out.write(pair, 12);
    }
  }
  if (s.ok()) s = write_bitmap(out, state.live);
  if (s.ok()) s = write_bitmap(out, state.dead);
  if (!s.ok()) return s;
  encode_fixed32(buf, state.record_count);
  s = out.write(buf, 4);
  if (!s.ok()) return s;
  encode_fixed64(buf, state.keys_end);
  s = out.write(buf, 8);
  if (!s.ok()) return s;
  encode_fixed64(buf, state.vals_end);
  return out.write(buf, 8);
}

Status write_snapshot(BufferedWriter& out, const RecordState& state) {
  IndexPairs scratch;
  return write_snapshot(out, state, state.index.in_order(&scratch));
}

namespace {

// The fields after the pairs.
Status decode_after_pairs(BufferedReader& in, SnapshotImage* image) {
  uint64_t dead_count;
  Status s = read_bitmap(in, &image->live, &image->live_count, &image->live_max);
  if (s.ok()) s = read_bitmap(in, &image->dead, &dead_count, &image->dead_max);
  if (s.ok()) s = decode_u32(in, &image->record_count);
  if (s.ok()) s = decode_u64(in, &image->keys_end);
  if (s.ok()) s = decode_u64(in, &image->vals_end);
  return s;
}

// Decodes a snapshot of `size` bytes at `map`, a writable private mapping,
// whose pairs then stay where they lie; the mapping goes to the pairs.
// False, with the mapping left to the caller, when it does not decode.
bool decode_mapped(void* map, uint64_t size, SnapshotImage* image) {
  const auto* bytes = static_cast<const uint8_t*>(map);
  if (size < 8) return false;
  const uint64_t n = decode_fixed64(bytes);
  if (n > (size - 8) / sizeof(IndexPair)) return false;
  const uint64_t after = 8 + n * sizeof(IndexPair);
  BufferedReader in(std::string_view(reinterpret_cast<const char*>(bytes) + after, size - after));
  if (!decode_after_pairs(in, image).ok()) return false;
  image->pairs = PairArray(map, size, reinterpret_cast<IndexPair*>(static_cast<uint8_t*>(map) + 8),
                           static_cast<size_t>(n));
  return true;
}

}  // namespace

Status decode_snapshot(BufferedReader& in, SnapshotImage* image, uint64_t input_size) {
  uint64_t n;
  Status s = decode_u64(in, &n);
  if (!s.ok()) return s;
  // The pairs lie in the file as they lie in memory (on a little-endian
  // host) and are read straight into the array. With the input's size known
  // they come in one read, after a check that it can hold them; otherwise
  // in chunks, so that a corrupt count reserves only what arrives.
  if (input_size > 0 && n > (input_size - std::min<uint64_t>(input_size, 8)) / sizeof(IndexPair)) {
    return Status::UnexpectedEof();
  }
  const uint64_t chunk = input_size > 0 ? n : kMaxIndexReserve;
  IndexPairs& pairs = image->pairs.owned();
  pairs.clear();
  for (uint64_t done = 0; done < n;) {
    const uint64_t take = std::min(chunk, n - done);
    pairs.resize(static_cast<size_t>(done + take));
    s = in.read_exact(pairs.data() + done, static_cast<size_t>(take) * sizeof(IndexPair));
    if (!s.ok()) return s;
    done += take;
  }
  if constexpr (std::endian::native != std::endian::little) {
    for (IndexPair& p : image->pairs.owned()) {
      const auto* raw = reinterpret_cast<const uint8_t*>(&p);
      p = {decode_fixed64(raw), decode_fixed32(raw + 8)};
    }
  }
  return decode_after_pairs(in, image);
}

void SnapshotImage::build(RecordState* state, uint64_t live_limit, uint64_t dead_limit) {
  if (live_limit < record_count) {
    std::erase_if(pairs.owned(), [&](const IndexPair& p) { return p.id >= live_limit; });
  }
  state->index.load(std::move(pairs));
  pairs = PairArray();
  // Both payloads were checked when decoded.
  (void)Bitmap::deserialize(live, &state->live, live_limit);
  (void)Bitmap::deserialize(dead, &state->dead, dead_limit);
  state->record_count = record_count;
  state->keys_end = keys_end;
  state->vals_end = vals_end;
}

Status read_snapshot(const std::string& path, SnapshotImage* image, bool* found, bool map_pairs) {
  *found = false;
  if (!path_exists(path)) return Status();
  Fd fd;
  Status s = open_file(path, O_RDONLY, &fd);
  if (!s.ok()) return s;
  uint64_t size = 0;
  (void)file_length(fd.get(), &size);
  // Mapped, the pairs cost neither a copy nor fresh memory to open. Their
  // page tables are filled up front: the open reads every pair once anyway.
  // Where there is no mapping to be had, the pairs are read as below.
  if (std::endian::native == std::endian::little && map_pairs && size >= 8 && size <= SIZE_MAX) {
    void* map = ::mmap(nullptr, static_cast<size_t>(size), PROT_READ | PROT_WRITE, MAP_PRIVATE,
                       fd.get(), 0);
    if (map != MAP_FAILED) {
      (void)::madvise(map, static_cast<size_t>(size), MADV_POPULATE_READ);
      SnapshotImage decoded;
      if (decode_mapped(map, size, &decoded)) {
        *image = std::move(decoded);
        *found = true;
      } else {
        ::munmap(map, static_cast<size_t>(size));
      }
      return Status();
    }
  }
  BufferedReader in(fd.get(),
                    static_cast<size_t>(std::min<uint64_t>(size + 1, kSnapshotReadBuffer)));
  SnapshotImage decoded;
  if (decode_snapshot(in, &decoded, size).ok()) {
    *image = std::move(decoded);
    *found = true;
  }
  return Status();
}

}  // namespace corvid
