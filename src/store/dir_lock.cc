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

#include "format/file_names.h"
#include "format/file_util.h"

namespace corvid {

std::atomic<uint64_t> forks_since_load{0};

namespace {

using DirKey = std::pair<dev_t, ino_t>;

struct Claim {
  int fd;                                             // holds the flock
  uint64_t next;                                      // the next user number
  std::map<uint64_t, std::function<Status()>> users;  // settle callbacks, or empty ones
  bool exclusive = false;                             // its one user shares it with none
};

std::mutex registry_mu;

// This process's claims. Never destroyed: a DirLock may be released while
// static objects are being torn down.
std::map<DirKey, Claim>& registry() {
  static auto* claims = new std::map<DirKey, Claim>();
  return *claims;
}

// Around fork(): a claim is never half-made at the moment of the fork (its
// descriptor is opened under the registry's mutex), and the child closes
// the descriptors it inherited without unlocking them, so that the lock
// stays the parent's and goes when the parent goes.
void before_fork() { registry_mu.lock(); }
void after_fork_in_parent() { registry_mu.unlock(); }
void after_fork_in_child() {
  for (const auto& [key, claim] : registry()) ::close(claim.fd);
  registry().clear();
  forks_since_load.fetch_add(1);
  registry_mu.unlock();
}

// Registered when the engine is loaded, so that every instance, read-only
// ones too, can tell that it runs in a forked child.
const int fork_handlers = ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

std::optional<long> holder_of(dev_t dev, ino_t ino) {
  FILE* f = std::fopen("/proc/locks", "re");
  if (f == nullptr) return std::nullopt;
  // "1: FLOCK  ADVISORY  WRITE 2316 fe:00:2146494 0 EOF"; waiters show "->".
  char line[256];
  std::optional<long> found;
  while (!found && std::fgets(line, sizeof line, f) != nullptr) {
    char type[16];
    long pid;
    unsigned major_id, minor_id;
    unsigned long long inode;
    if (std::strstr(line, "->") != nullptr) continue;
    if (std::sscanf(line, "%*d: %15s %*s %*s %ld %x:%x:%llu", type, &pid, &major_id, &minor_id,
                    &inode) != 5) {
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
                        "storage directory " + quoted_dir(dir) + " is in use by " + who +
                            ": one process at a time may open it for writing");
}

// Takes the directory's lock; false when another process holds it. A file
// system that cannot lock a directory (NFS emulates flock with record
// locks, which want a descriptor open for writing) leaves the claim to this
// process alone.
Status lock_exclusive(int fd, bool* held_elsewhere) {
  *held_elsewhere = false;
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) {
      *held_elsewhere = true;
      return Status();
    }
    if (errno == EBADF || errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL) {
      return Status();
    }
    return Status::FromErrno(errno);
  }
  return Status();
}

}  // namespace

DirLock::DirLock(DirLock&& other) noexcept
    : held_(std::exchange(other.held_, false)),
      dev_(other.dev_),
      ino_(other.ino_),
      user_(other.user_),
      generation_(other.generation_) {}

DirLock& DirLock::operator=(DirLock&& other) noexcept {
  if (this != &other) {
    release();
    held_ = std::exchange(other.held_, false);
    dev_ = other.dev_;
    ino_ = other.ino_;
    user_ = other.user_;
    generation_ = other.generation_;
  }
  return *this;
}

Status DirLock::acquire(const std::string& dir, DirLock* out, bool exclusive) {
  (void)fork_handlers;
  DirLock lock;
  {
    std::lock_guard guard(registry_mu);
    Fd fd;
    Status s = open_file(directory_path(dir), O_RDONLY | O_DIRECTORY, &fd);
    if (!s.ok()) return s;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return Status::FromErrno(errno);
    const DirKey key{st.st_dev, st.st_ino};
    auto it = registry().find(key);
    if (it != registry().end() && (exclusive || it->second.exclusive)) {
      return Status::Custom(ErrorKind::kWouldBlock,
                            "storage directory " + quoted_dir(dir) +
                                " is already open for writing in this process (" +
                                std::to_string(::getpid()) + "): close that store first");
    }
    if (it != registry().end()) {
      for (const auto& [user, settle] : it->second.users) {
        if (!settle) continue;
        s = settle();
        if (!s.ok()) return s;
      }
    } else {
      bool held_elsewhere = false;
      s = lock_exclusive(fd.get(), &held_elsewhere);
      if (!s.ok()) return s;
      if (held_elsewhere) {
        fd.reset();
        // The holder is looked up outside the registry's lock below.
        lock.dev_ = key.first;
        lock.ino_ = key.second;
      } else {
        it = registry().emplace(key, Claim{fd.get(), 0, {}, exclusive}).first;
        fd.release();
      }
    }
    if (it != registry().end()) {
      lock.user_ = it->second.next++;
      it->second.users.emplace(lock.user_, nullptr);
      lock.held_ = true;
      lock.dev_ = key.first;
      lock.ino_ = key.second;
      lock.generation_ = fork_generation();
    }
  }
  if (!lock.held_) return busy(dir, holder_of(lock.dev_, lock.ino_));
  *out = std::move(lock);
  return Status();
}

void DirLock::set_settle(std::function<Status()> settle) {
  std::lock_guard guard(registry_mu);
  if (!held_ || generation_ != fork_generation()) return;
  auto it = registry().find({dev_, ino_});
  if (it != registry().end()) it->second.users[user_] = std::move(settle);
}

void DirLock::clear_settle() { set_settle(nullptr); }

void DirLock::release() {
  if (!held_) return;
  held_ = false;
  std::lock_guard guard(registry_mu);
  // A claim made before a fork was given up in the child at the fork.
  if (generation_ != fork_generation()) return;
  auto it = registry().find({dev_, ino_});
  if (it == registry().end()) return;
  it->second.users.erase(user_);
  if (it->second.users.empty()) {
    ::flock(it->second.fd, LOCK_UN);
    ::close(it->second.fd);
    registry().erase(it);
  }
}

std::optional<long> lock_holder(const std::string& dir) {
  struct stat st;
  if (::stat(directory_path(dir).c_str(), &st) != 0) return std::nullopt;
  return holder_of(st.st_dev, st.st_ino);
}

}  // namespace corvid
