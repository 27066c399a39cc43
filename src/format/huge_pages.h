// An allocator for the large tables of a store (the record index, the
// snapshot loader's buffers): blocks of 4 MiB and more come straight from
// mmap, advised for transparent huge pages. At millions of keys every index
// lookup lands on a random page; with 2 MiB pages the TLB covers the whole
// table, and filling a fresh table takes a fault per 2 MiB instead of per
// 4 KiB. Smaller blocks come from operator new.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace corvid {

inline constexpr size_t kHugeBlock = size_t{4} << 20;

// Whole multiples of 2 MiB, zero-filled; throws std::bad_alloc.
void* map_huge_block(size_t bytes);
void unmap_huge_block(void* p, size_t bytes);

template <class T>
struct HugePageAllocator {
  using value_type = T;

  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

  T* allocate(size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    size_t bytes = n * sizeof(T);
    if (bytes < kHugeBlock)
      return static_cast<T*>(::operator new(bytes, std::align_val_t{alignof(T)}));
    return static_cast<T*>(map_huge_block(bytes));
  }
  void deallocate(T* p, size_t n) noexcept {
    size_t bytes = n * sizeof(T);
    if (bytes < kHugeBlock) {
      ::operator delete(p, std::align_val_t{alignof(T)});
    } else {
      unmap_huge_block(p, bytes);
    }
  }

  template <class U>
  bool operator==(const HugePageAllocator<U>&) const noexcept {
    return true;
  }
};

}  // namespace corvid
