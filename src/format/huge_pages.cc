#include "format/huge_pages.h"

#include <sys/mman.h>

namespace corvid {

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

size_t mapped_length(size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace

void* map_huge_block(size_t bytes) {
  size_t length = mapped_length(bytes);
  if (length < bytes) throw std::bad_alloc();
  void* p = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  // Only advice: without huge pages the block works the same, only slower.
  // A tail shorter than half a huge page keeps small pages: the fault on a
  // huge page zeroes all 2 MiB of it, and a table of 2^k entries and one
  // more would otherwise clear a whole page for its last entry.
  size_t advised = (bytes + kHugePage / 2) / kHugePage * kHugePage;
  ::madvise(p, advised, MADV_HUGEPAGE);
  return p;
}

void unmap_huge_block(void* p, size_t bytes) { ::munmap(p, mapped_length(bytes)); }

}  // namespace corvid
