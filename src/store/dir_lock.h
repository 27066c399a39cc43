// The writer's claim on a storage directory: an exclusive flock on the
// directory itself, so no file is added to it. The kernel holds the lock for
// the open file description and drops it when the process ends, however it
// ends: a killed writer leaves no stale lock behind. Instances of one process
// share one claim, which goes with the last of them; a child made by fork()
// does not keep its parent's claim. On a file system that cannot lock a
// directory, the claim is held in this process only.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "format/status.h"

namespace corvid {

class DirLock {
 public:
  DirLock() = default;
  DirLock(DirLock&& other) noexcept;
  DirLock& operator=(DirLock&& other) noexcept;
  DirLock(const DirLock&) = delete;
  DirLock& operator=(const DirLock&) = delete;
  ~DirLock() { release(); }

  // Claims the directory `dir` for this process. Fails with kWouldBlock,
  // naming the directory and where possible the holder's process id, when
  // another process holds it. When instances of this process hold it
  // already, each one's settle callback runs first, and a failure of one
  // fails the claim.
  // An `exclusive` claim is shared with no other instance of this process
  // either, and fails with kWouldBlock while one holds the directory.
  static Status acquire(const std::string& dir, DirLock* out, bool exclusive = false);

  // What another instance's claim of the same directory asks of this one
  // (see acquire); cleared by clear_settle() and by release.
  void set_settle(std::function<Status()> settle);
  void clear_settle();

 private:
  void release();

  bool held_ = false;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  uint64_t user_ = 0;  // this value's place among the claim's users
  uint64_t generation_ = 0;
};

// The id of a process that holds the writer's lock on `dir`, if one does.
std::optional<long> lock_holder(const std::string& dir);

// How many forks separate this process from the one that loaded the engine:
// an object made in an earlier generation belongs to an ancestor process.
// Counted by the fork handler in the child; read on every call, so inline.
extern std::atomic<uint64_t> forks_since_load;
inline uint64_t fork_generation() { return forks_since_load.load(std::memory_order_relaxed); }

}  // namespace corvid
