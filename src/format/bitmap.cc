#include "format/bitmap.h"

#include <algorithm>
#include <bit>
#include <new>
#include <vector>

#include "format/coding.h"

namespace corvid {

namespace {

constexpr uint32_t kCookieNoRuns = 12346;
constexpr uint32_t kCookieRuns = 12347;
constexpr uint32_t kMaxContainers = 65536;
constexpr uint32_t kNoOffsetThreshold = 4;
constexpr uint32_t kMaxArrayCardinality = 4096;
constexpr size_t kBitsetBytes = 8192;

// Bounds-checked reads from the payload.
class Cursor {
 public:
  explicit Cursor(std::string_view bytes)
      : p_(reinterpret_cast<const uint8_t*>(bytes.data())), left_(bytes.size()) {}

  bool skip(size_t n) {
    if (n > left_) return false;
    p_ += n;
    left_ -= n;
    return true;
  }
  bool u16(uint16_t* out) {
    if (left_ < 2) return false;
    *out = static_cast<uint16_t>(p_[0] | (p_[1] << 8));
    return skip(2);
  }
  bool u32(uint32_t* out) {
    if (left_ < 4) return false;
    *out = decode_fixed32(p_);
    return skip(4);
  }
  const uint8_t* here() const { return p_; }

 private:
  const uint8_t* p_;
  size_t left_;
};

// Each check validates one container, returns its largest member in *max,
// and, when `values` is given, appends its members (with the container's
// key as high bits) in ascending order.
bool check_array(Cursor& in, uint32_t cardinality, uint32_t high, std::vector<uint32_t>* values,
                 uint32_t* max) {
  int32_t previous = -1;
  for (uint32_t i = 0; i < cardinality; ++i) {
    uint16_t v;
    if (!in.u16(&v) || v <= previous) return false;
    previous = v;
    if (values) values->push_back(high | v);
  }
  *max = high | static_cast<uint32_t>(previous);
  return true;
}

bool check_bitset(Cursor& in, uint32_t cardinality, uint32_t high, std::vector<uint32_t>* values,
                  uint32_t* max) {
  const uint8_t* words = in.here();
  if (!in.skip(kBitsetBytes)) return false;
  uint32_t count = 0;
  for (size_t i = 0; i < kBitsetBytes; i += 8) {
    uint64_t word = decode_fixed64(words + i);
    count += std::popcount(word);
    if (word != 0) *max = high | static_cast<uint32_t>(i * 8 + 63 - std::countl_zero(word));
    for (; values && word != 0; word &= word - 1) {
      values->push_back(high | static_cast<uint32_t>(i * 8 + std::countr_zero(word)));
    }
  }
  return count == cardinality;
}

// Runs sorted, not overlapping, inside 0..65535, adding up to the cardinality.
bool check_runs(Cursor& in, uint32_t cardinality, uint32_t high, std::vector<uint32_t>* values,
                uint32_t* max) {
  uint16_t runs;
  if (!in.u16(&runs) || runs == 0) return false;
  int32_t previous_end = -1;
  uint32_t count = 0;
  for (uint16_t i = 0; i < runs; ++i) {
    uint16_t start, length;
    if (!in.u16(&start) || !in.u16(&length)) return false;
    if (int32_t{start} <= previous_end || uint32_t{start} + length > 0xFFFF) return false;
    previous_end = start + length;
    count += uint32_t{length} + 1;
    if (count > cardinality) return false;
    for (uint32_t v = start; values && v <= uint32_t{start} + length; ++v) {
      values->push_back(high | v);
    }
  }
  *max = high | static_cast<uint32_t>(previous_end);
  return count == cardinality;
}

struct Parse {
  bool runs = false;         // the payload has run containers
  uint64_t cardinality = 0;  // the members, counted from the headers
  int64_t max = -1;          // the largest member
};

// Validates the whole payload. With `built`, also builds the ids below
// `limit` into it, container by container, value by value: CRoaring's own
// conversion of run containers is not to be trusted with every valid input
// (a run ending at 65535 corrupts memory). Containers wholly at or above
// the limit are checked but not collected.
bool parse_portable(std::string_view payload, Parse* out, roaring_bitmap_t* built = nullptr,
                    uint64_t limit = 0) {
  std::vector<uint32_t> values;
  Cursor in(payload);
  uint32_t cookie;
  if (!in.u32(&cookie)) return false;
  uint32_t containers;
  const uint8_t* run_flags = nullptr;
  bool offsets;
  if ((cookie & 0xFFFF) == kCookieRuns) {
    containers = (cookie >> 16) + 1;
    run_flags = in.here();
    if (!in.skip((containers + 7) / 8)) return false;
    offsets = containers >= kNoOffsetThreshold;
    out->runs = true;
  } else if (cookie == kCookieNoRuns) {
    if (!in.u32(&containers) || containers > kMaxContainers) return false;
    offsets = true;
  } else {
    return false;
  }
  Cursor header = in;
  if (!in.skip(size_t{containers} * 4)) return false;
  if (offsets && !in.skip(size_t{containers} * 4)) return false;

  int32_t previous_key = -1;
  for (uint32_t i = 0; i < containers; ++i) {
    uint16_t key = 0, card_minus_one = 0;
    // In bounds: the whole descriptive header was skipped over above.
    header.u16(&key);
    header.u16(&card_minus_one);
    if (key <= previous_key) return false;
    previous_key = key;
    uint32_t cardinality = uint32_t{card_minus_one} + 1;
    bool run = run_flags != nullptr && (run_flags[i / 8] >> (i % 8)) & 1;
    uint32_t high = uint32_t{key} << 16;
    std::vector<uint32_t>* collect = built != nullptr && high < limit ? &values : nullptr;
    uint32_t max = 0;
    bool ok = run ? check_runs(in, cardinality, high, collect, &max)
              : cardinality > kMaxArrayCardinality
                  ? check_bitset(in, cardinality, high, collect, &max)
                  : check_array(in, cardinality, high, collect, &max);
    if (!ok) return false;
    out->cardinality += cardinality;
    out->max = max;
    if (collect != nullptr) {
      auto end = std::lower_bound(values.begin(), values.end(), limit);
      roaring_bitmap_add_many(built, static_cast<size_t>(end - values.begin()), values.data());
      values.clear();
    }
  }
  return true;
}

}  // namespace

std::string Bitmap::serialize() const {
  std::string out(roaring_bitmap_portable_size_in_bytes(r_), '\0');
  roaring_bitmap_portable_serialize(r_, out.data());
  return out;
}

bool Bitmap::describe(std::string_view payload, uint64_t* cardinality, int64_t* max) {
  Parse parse;
  if (!parse_portable(payload, &parse)) return false;
  *cardinality = parse.cardinality;
  *max = parse.max;
  return true;
}

bool Bitmap::deserialize(std::string_view payload, Bitmap* out, uint64_t limit) {
  Parse parse;
  if (!parse_portable(payload, &parse)) return false;
  // Sets held in memory never have run containers, so what persist writes
  // later is always the no-run form. A payload without runs whose ids all
  // lie below the limit is CRoaring's to read; any other is built here.
  if (!parse.runs && parse.max < static_cast<int64_t>(limit)) {
    roaring_bitmap_t* r = roaring_bitmap_portable_deserialize_safe(payload.data(), payload.size());
    if (r == nullptr) return false;
    *out = Bitmap(r);
    return true;
  }
  Bitmap built;
  Parse again;
  if (!parse_portable(payload, &again, built.r_, limit)) return false;
  *out = std::move(built);
  return true;
}

}  // namespace corvid
