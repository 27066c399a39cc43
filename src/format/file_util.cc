#include "format/file_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "format/file_names.h"

namespace corvid {

namespace {

Status check_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return Status::Custom(ErrorKind::kInvalidInput, "file name contained an unexpected NUL byte");
  }
  return Status();
}

bool is_dir(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Status make_dir(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0) return Status();
  return Status::FromErrno(errno);
}

// The directory above `path`, ignoring trailing slashes; "" when there is none
// named (a relative single component), "/" for a top-level one.
std::string parent_of(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return "/";
  size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return "";
  size_t parent_end = path.find_last_not_of('/', slash);
  if (parent_end == std::string::npos) return "/";
  return path.substr(0, parent_end + 1);
}

}  // namespace

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void Fd::reset() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

Status make_dirs(const std::string& path) {
  if (path.empty()) return Status();
  Status s = check_path(path);
  if (!s.ok()) return s;
  s = make_dir(path);
  if (s.ok()) return s;
  if (s.kind() != ErrorKind::kNotFound) return is_dir(path) ? Status() : s;
  std::string parent = parent_of(path);
  if (parent != path) {
    s = make_dirs(parent);
    if (!s.ok()) return s;
  }
  s = make_dir(path);
  if (!s.ok() && is_dir(path)) return Status();
  return s;
}

Status open_file(const std::string& path, int flags, Fd* out) {
  Status s = check_path(path);
  if (!s.ok()) return s;
  Fd fd;
  for (;;) {
    int raw = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
    if (raw >= 0) {
      fd = Fd(raw);
      break;
    }
    if (errno != EINTR) return Status::FromErrno(errno);
  }
  if ((flags & O_DIRECTORY) == 0) {
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return Status::FromErrno(errno);
    if (S_ISDIR(st.st_mode)) return Status::FromErrno(EISDIR);
    if (!S_ISREG(st.st_mode)) {
      return Status::Custom(ErrorKind::kInvalidInput, path + " is not a regular file");
    }
  }
  *out = std::move(fd);
  return Status();
}

Status remove_file(const std::string& path) {
  Status s = check_path(path);
  if (!s.ok()) return s;
  if (::unlink(path.c_str()) == 0 || errno == ENOENT) return Status();
  return Status::FromErrno(errno);
}

Status file_length(int fd, uint64_t* length) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return Status::FromErrno(errno);
  *length = static_cast<uint64_t>(st.st_size);
  return Status();
}

Status set_length(int fd, uint64_t length) {
  while (::ftruncate(fd, static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) return Status::FromErrno(errno);
  }
  return Status();
}

Status reserve_blocks(int fd, uint64_t offset, uint64_t length) {
  int err;
  while ((err = ::posix_fallocate(fd, static_cast<off_t>(offset), static_cast<off_t>(length))) ==
         EINTR) {
  }
  return err == 0 ? Status() : Status::FromErrno(err);
}

Status reserve_beyond_end(int fd, uint64_t offset, uint64_t length) {
  while (::fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                     static_cast<off_t>(length)) != 0) {
    if (errno != EINTR) return Status::FromErrno(errno);
  }
  return Status();
}

Status sync_file(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return Status::FromErrno(errno);
  }
  return Status();
}

void start_writeback(int fd) { (void)::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE); }

Status sync_data(int fd) {
  while (::fdatasync(fd) != 0) {
    if (errno != EINTR) return Status::FromErrno(errno);
  }
  return Status();
}

Status sync_dir(const std::string& dir) {
  Fd fd;
  Status s = open_file(directory_path(dir), O_RDONLY | O_DIRECTORY, &fd);
  return s.ok() ? sync_file(fd.get()) : s;
}

Status rename_file(const std::string& from, const std::string& to) {
  Status s = check_path(from);
  if (s.ok()) s = check_path(to);
  if (!s.ok()) return s;
  if (::rename(from.c_str(), to.c_str()) != 0) return Status::FromErrno(errno);
  return Status();
}

bool path_exists(const std::string& path) {
  struct stat st;
  return path.find('\0') == std::string::npos && ::stat(path.c_str(), &st) == 0;
}

Status read_exact_at(int fd, void* buf, size_t n, uint64_t offset) {
  auto* p = static_cast<char*>(buf);
  while (n > 0) {
    ssize_t got = ::pread(fd, p, n, static_cast<off_t>(offset));
    if (got < 0) {
      if (errno == EINTR) continue;
      return Status::FromErrno(errno);
    }
    if (got == 0) return Status::UnexpectedEof();
    p += got;
    n -= static_cast<size_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return Status();
}

bool holds_bytes_at(int fd, const void* buf, size_t n, uint64_t offset) {
  constexpr size_t kChunk = 64 << 10;
  std::unique_ptr<char[]> chunk(new char[std::min(n, kChunk)]);
  auto* p = static_cast<const char*>(buf);
  while (n > 0) {
    const size_t want = std::min(n, kChunk);
    if (!read_exact_at(fd, chunk.get(), want, offset).ok()) return false;
    if (std::memcmp(chunk.get(), p, want) != 0) return false;
    p += want;
    n -= want;
    offset += want;
  }
  return true;
}

Status write_all_at(int fd, const void* buf, size_t n, uint64_t offset) {
  auto* p = static_cast<const char*>(buf);
  while (n > 0) {
    ssize_t put = ::pwrite(fd, p, n, static_cast<off_t>(offset));
    if (put < 0) {
      if (errno == EINTR) continue;
      return Status::FromErrno(errno);
    }
    if (put == 0) return Status::WriteZero();
    p += put;
    n -= static_cast<size_t>(put);
    offset += static_cast<uint64_t>(put);
  }
  return Status();
}

Status write_all(int fd, const void* buf, size_t n, const char* zero_text, size_t* written) {
  auto* p = static_cast<const char*>(buf);
  *written = 0;
  while (*written < n) {
    ssize_t put = ::write(fd, p + *written, n - *written);
    if (put < 0) {
      if (errno == EINTR) continue;
      return Status::FromErrno(errno);
    }
    if (put == 0) return Status::Custom(ErrorKind::kWriteZero, zero_text);
    *written += static_cast<size_t>(put);
  }
  return Status();
}

}  // namespace corvid
