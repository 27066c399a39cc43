#include "format/snapshot.h"

namespace corvid::snapshot_detail {

Status write_bitmap(BufferedWriter& out, const Bitmap& set) {
  std::string payload = set.serialize();
  uint8_t len[8];
  encode_fixed64(len, payload.size());
  Status s = out.write(len, 8);
  if (s.ok()) s = out.write(payload.data(), payload.size());
  return s;
}

Status write_counters(BufferedWriter& out, const SnapshotCounters& counters) {
  uint8_t buf[8];
  encode_fixed32(buf, counters.record_count);
  Status s = out.write(buf, 4);
  if (!s.ok()) return s;
  encode_fixed64(buf, counters.keys_end);
  s = out.write(buf, 8);
  if (!s.ok()) return s;
  encode_fixed64(buf, counters.vals_end);
  return out.write(buf, 8);
}

Status read_bitmap(BufferedReader& in, Bitmap* out) {
  std::string payload;
  Status s = decode_bytes(in, &payload);
  if (!s.ok()) return s;
  if (!Bitmap::deserialize(payload, out)) {
    return Status::Custom(ErrorKind::kInvalidInput, "invalid bitmap");
  }
  return Status();
}

Status read_counters(BufferedReader& in, SnapshotCounters* out) {
  Status s = decode_u32(in, &out->record_count);
  if (s.ok()) s = decode_u64(in, &out->keys_end);
  if (s.ok()) s = decode_u64(in, &out->vals_end);
  return s;
}

}  // namespace corvid::snapshot_detail
