// A set of RecordIds: an owned CRoaring bitmap, and its portable encoding.
#pragma once

#include <roaring/roaring.h>

#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>

namespace corvid {

class Bitmap {
 public:
  Bitmap() : r_(roaring_bitmap_create()) {
    if (r_ == nullptr) throw std::bad_alloc();
  }
  // Takes ownership of a bitmap CRoaring made.
  explicit Bitmap(roaring_bitmap_t* owned) : r_(owned) {}
  Bitmap(Bitmap&& other) noexcept : r_(std::exchange(other.r_, nullptr)) {}
  Bitmap& operator=(Bitmap&& other) noexcept {
    std::swap(r_, other.r_);
    return *this;
  }
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;
  ~Bitmap() {
    if (r_ != nullptr) roaring_bitmap_free(r_);
  }

  void add(uint32_t id) { roaring_bitmap_add(r_, id); }
  void remove(uint32_t id) { roaring_bitmap_remove(r_, id); }
  bool contains(uint32_t id) const { return roaring_bitmap_contains(r_, id); }
  uint64_t cardinality() const { return roaring_bitmap_get_cardinality(r_); }
  // The largest id; the set must not be empty.
  uint32_t maximum() const { return roaring_bitmap_maximum(r_); }
  void clear() { roaring_bitmap_clear(r_); }
  const roaring_bitmap_t* raw() const { return r_; }

  // The portable serialisation; only single-id inserts and removals build a
  // set, so it never holds run containers and starts with cookie 12346.
  std::string serialize() const;
  // Checks a portable serialisation of either cookie completely, without
  // building it: its number of members and its largest one (-1 for none),
  // from the headers. A damaged or hostile payload is refused.
  static bool describe(std::string_view payload, uint64_t* cardinality, int64_t* max);
  // Parses a checked payload, keeping only the ids below `limit`: the cost
  // is bounded by the payload and the limit, whatever ranges it claims.
  static bool deserialize(std::string_view payload, Bitmap* out,
                          uint64_t limit = uint64_t{1} << 32);

  // Calls f(id) for every id in ascending order.
  template <class F>
  void for_each(F&& f) const {
    roaring_uint32_iterator_t it;
    roaring_init_iterator(r_, &it);
    while (it.has_value) {
      f(it.current_value);
      roaring_advance_uint32_iterator(&it);
    }
  }

  // Calls f(id) for the ids from `start` on, in ascending order, while it
  // returns true.
  template <class F>
  void for_each_from(uint32_t start, F&& f) const {
    roaring_uint32_iterator_t it;
    roaring_init_iterator(r_, &it);
    if (!roaring_move_uint32_iterator_equalorlarger(&it, start)) return;
    while (it.has_value && f(it.current_value)) roaring_advance_uint32_iterator(&it);
  }

 private:
  roaring_bitmap_t* r_;
};

}  // namespace corvid
