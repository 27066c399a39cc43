#include "format/snapshot.h"

#include <fcntl.h>

#include <algorithm>

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

Status write_snapshot(BufferedWriter& out, const RecordState& state) {
  uint8_t buf[8];
  encode_fixed64(buf, state.index.size());
  Status s = out.write(buf, 8);
  for (auto it = state.index.begin(); s.ok() && it != state.index.end(); ++it) {
    encode_fixed64(buf, it->first);
    s = out.write(buf, 8);
    if (!s.ok()) break;
    encode_fixed32(buf, it->second);
    s = out.write(buf, 4);
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

Status decode_snapshot(BufferedReader& in, SnapshotImage* image, uint64_t input_size) {
  uint64_t n;
  Status s = decode_u64(in, &n);
  if (!s.ok()) return s;
  // At most what the input can hold, 12 bytes a pair.
  uint64_t reserve = input_size > 0 ? std::min(n, input_size / 12) : std::min(n, kMaxIndexReserve);
  image->pairs.clear();
  image->pairs.reserve(static_cast<size_t>(reserve));
  constexpr uint64_t kBatch = 4096;
  std::vector<uint8_t> raw(kBatch * 12);
  for (uint64_t done = 0; done < n;) {
    uint64_t batch = std::min(kBatch, n - done);
    s = in.read_exact(raw.data(), batch * 12);
    if (!s.ok()) return s;
    for (const uint8_t* p = raw.data(); p < raw.data() + batch * 12; p += 12) {
      image->pairs.push_back({decode_fixed64(p), decode_fixed32(p + 8)});
    }
    done += batch;
  }
  uint64_t dead_count;
  s = read_bitmap(in, &image->live, &image->live_count, &image->live_max);
  if (s.ok()) s = read_bitmap(in, &image->dead, &dead_count, &image->dead_max);
  if (s.ok()) s = decode_u32(in, &image->record_count);
  if (s.ok()) s = decode_u64(in, &image->keys_end);
  if (s.ok()) s = decode_u64(in, &image->vals_end);
  return s;
}

void SnapshotImage::build(RecordState* state, uint64_t live_limit, uint64_t dead_limit) const {
  if (live_limit >= record_count) {
    state->load_index(pairs);
  } else {
    IndexPairs kept;
    for (const IndexPair& p : pairs) {
      if (p.id < live_limit) kept.push_back(p);
    }
    state->load_index(kept);
  }
  // Both payloads were checked when decoded.
  (void)Bitmap::deserialize(live, &state->live, live_limit);
  (void)Bitmap::deserialize(dead, &state->dead, dead_limit);
  state->record_count = record_count;
  state->keys_end = keys_end;
  state->vals_end = vals_end;
}

Status read_snapshot(const std::string& path, SnapshotImage* image, bool* found) {
  *found = false;
  if (!path_exists(path)) return Status();
  Fd fd;
  Status s = open_file(path, O_RDONLY, &fd);
  if (!s.ok()) return s;
  uint64_t size = 0;
  (void)file_length(fd.get(), &size);
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
