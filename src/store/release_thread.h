// Destroys what a writer no longer needs on a thread of its own, off the
// call that let it go: closing the data files a vacuum replaced, and
// emptying its log, hand their pages back to the system, a large part of
// the vacuum.
#pragma once

#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

#include "store/dir_lock.h"

namespace corvid {

template <class T>
class ReleaseThread {
 public:
  ReleaseThread() = default;
  ReleaseThread(const ReleaseThread&) = delete;
  ReleaseThread& operator=(const ReleaseThread&) = delete;
  ~ReleaseThread() { wait(); }

  // Destroys `object`, moved out of the caller, on a new thread, after the
  // one before is done. Without memory for the move, `object` stays where it
  // is, for its owner to destroy; without a thread, it is destroyed here.
  void release(T&& object) {
    wait();
    try {
      auto owned = std::make_unique<T>(std::move(object));
      thread_ =
          std::make_unique<std::thread>([owned = std::move(owned)]() mutable { owned.reset(); });
      generation_ = fork_generation();
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
  }

  // Waits for the last release to finish. In a child made by fork() the
  // thread was never there: it and its object are left as they are.
  void wait() noexcept {
    if (!thread_) return;
    if (generation_ != fork_generation()) {
      (void)thread_.release();  // never joined, never destroyed
      return;
    }
    try {
      thread_->join();
    } catch (const std::system_error&) {
      (void)thread_.release();  // not joinable after all: leave it
      return;
    }
    thread_.reset();
  }

 private:
  std::unique_ptr<std::thread> thread_;
  uint64_t generation_ = 0;
};

}  // namespace corvid
