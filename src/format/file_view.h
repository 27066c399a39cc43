// A read-only shared mapping of a data file, for reads without a system
// call. It spans far more than the file (address space, not memory), so
// appends need no remap: `valid` says how much of it the file holds, and it
// only grows. A file truncated behind the mapping faults the process on the
// next read there (SIGBUS), as with any mapped store: only a writer that
// keeps every other writer out uses one, and nothing in this system shrinks
// a data file.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>

#include "format/status.h"

namespace corvid {

class FileView {
 public:
  // 64 GiB of address space a file; bytes past it are read by pread.
  static constexpr uint64_t kSpan = uint64_t{64} << 30;

  FileView() = default;
  FileView(const FileView&) = delete;
  FileView& operator=(const FileView&) = delete;
  ~FileView();

  // Maps `fd`, of which the first `length` bytes are written.
  Status map(int fd, uint64_t length);
  // After bytes up to `end` reached the file. Beside readers.
  void written_to(uint64_t end) {
    uint64_t now = valid_.load(std::memory_order_relaxed);
    while (end > now && !valid_.compare_exchange_weak(now, end, std::memory_order_release)) {
    }
  }
  // Copies [offset, offset + len) when the mapping holds all of it.
  bool read(uint64_t offset, uint64_t len, char* out) const {
    const uint64_t valid = std::min(valid_.load(std::memory_order_acquire), kSpan);
    if (data_ == nullptr || offset > valid || len > valid - offset) return false;
    std::memcpy(out, data_ + offset, static_cast<size_t>(len));
    return true;
  }

 private:
  const char* data_ = nullptr;
  std::atomic<uint64_t> valid_{0};
};

}  // namespace corvid
