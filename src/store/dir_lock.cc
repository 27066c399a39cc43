#include "store/dir_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "format/file_util.h"

namespace corvid {

namespace {

using DirKey = std::pair<dev_t, ino_t>;

struct Claim {
  int fd;      // holds the flock
  long users;  // DirLock values sharing it
};

std::atomic<uint64_t> generation{0};
std::once_flag fork_handlers;
std::mutex registry_mu;

// This process's claims. Never destroyed: a DirLock may be released while
// static objects are being torn down.
std::map<DirKey, Claim>& registry() {
  static auto* claims = new std::map<DirKey, Claim>();
  return *claims;
}

// Around fork(): no claim is half-made at the moment of the fork, and the
// child gives up the descriptors it inherited, so that the lock goes when
// the parent goes.
void before_fork() { registry_mu.lock(); }
void after_fork_in_parent() { registry_mu.unlock(); }
void after_fork_in_child() {
  for (const auto& [key, claim] : registry()) ::close(claim.fd);
  registry().clear();
  generation.fetch_add(1);
  registry_mu.unlock();
}

std::string shown(const std::string& dir) { return dir.empty() ? "." : dir; }

std::optional<long> holder_of(dev_t dev, ino_t ino) {
  FILE* f = std::fopen("/proc/locks", "re");
  if (f == nullptr) return std::nullopt;
  // "1: FLOCK  ADVISORY  WRITE 2316 fe:00:2146494 0 EOF"; waiters show "->".
  char line[256];
  std::optional<long> found;
  while (!found && std::fgets(line, sizeof line, f) != nullptr) {
    char type[16], mode[16];
    long pid;
    unsigned major_id, minor_id;
    unsigned long long inode;
    if (std::strstr(line, "->") != nullptr) continue;
    if (std::sscanf(line, "%*d: %15s %*s %15s %ld %x:%x:%llu", type, mode, &pid, &major_id,
                    &minor_id, &inode) != 6) {
      continue;
    }
    if (std::strcmp(type, "FLOCK") == 0 && major_id == major(dev) && minor_id == minor(dev) &&
        inode == ino && pid > 0) {
      found = pid;
    }
  }
  std::fclose(f);
  return found;
}

Status busy(const std::string& dir, std::optional<long> pid) {
  std::string who = pid ? "process " + std::to_string(*pid) : "another process";
  return Status::Custom(ErrorKind::kWouldBlock,
                        "storage directory '" + shown(dir) + "' is in use by " + who +
                            ": one process at a time may open it for writing");
}

}  // namespace

DirLock::DirLock(DirLock&& other) noexcept
    : held_(std::exchange(other.held_, false)),
      dev_(other.dev_),
      ino_(other.ino_),
      generation_(other.generation_) {}

DirLock& DirLock::operator=(DirLock&& other) noexcept {
  if (this != &other) {
    release();
    held_ = std::exchange(other.held_, false);
    dev_ = other.dev_;
    ino_ = other.ino_;
    generation_ = other.generation_;
  }
  return *this;
}

Status DirLock::acquire(const std::string& dir, DirLock* out) {
  std::call_once(fork_handlers,
                 [] { ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); });
  Fd fd;
  Status s = open_file(shown(dir), O_RDONLY | O_DIRECTORY, &fd);
  if (!s.ok()) return s;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return Status::FromErrno(errno);
  DirKey key{st.st_dev, st.st_ino};

  std::lock_guard guard(registry_mu);
  auto it = registry().find(key);
  if (it != registry().end()) {
    ++it->second.users;
  } else {
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EINTR) continue;
      if (errno == EWOULDBLOCK) return busy(dir, holder_of(key.first, key.second));
      return Status::FromErrno(errno);
    }
    registry().emplace(key, Claim{fd.release(), 1});
  }
  DirLock lock;
  lock.held_ = true;
  lock.dev_ = key.first;
  lock.ino_ = key.second;
  lock.generation_ = generation.load();
  *out = std::move(lock);
  return Status();
}

void DirLock::release() {
  if (!held_) return;
  held_ = false;
  std::lock_guard guard(registry_mu);
  // A claim made before a fork was given up in the child at the fork.
  if (generation_ != generation.load()) return;
  auto it = registry().find({dev_, ino_});
  if (it != registry().end() && --it->second.users == 0) {
    ::close(it->second.fd);
    registry().erase(it);
  }
}

std::optional<long> lock_holder(const std::string& dir) {
  struct stat st;
  if (::stat(shown(dir).c_str(), &st) != 0) return std::nullopt;
  return holder_of(st.st_dev, st.st_ino);
}

uint64_t fork_generation() { return generation.load(std::memory_order_relaxed); }

}  // namespace corvid
