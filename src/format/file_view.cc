#include "format/file_view.h"

#include <sys/mman.h>

#include <cerrno>

namespace corvid {

FileView::~FileView() {
  if (data_ != nullptr) ::munmap(const_cast<char*>(data_), kSpan);
}

Status FileView::map(int fd, uint64_t length) {
  void* p = ::mmap(nullptr, kSpan, PROT_READ, MAP_SHARED | MAP_NORESERVE, fd, 0);
  if (p == MAP_FAILED) return Status::FromErrno(errno);
  data_ = static_cast<const char*>(p);
  valid_.store(length, std::memory_order_release);
  return Status();
}

}  // namespace corvid
