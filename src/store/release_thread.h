// Destroys what a writer no longer needs on a thread of its own, off the
// call that let it go: closing the data files a vacuum replaced hands their
// pages back to the system, a tenth of the vacuum.
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

  // Destroys `object` on a new thread, after the one before is done; here,
  // at once, when no thread can be had.
  void release(std::unique_ptr<T> object) {
    wait();
    try {
      // When the thread cannot start, its callable, and the object with
      // it, is destroyed here.
      thread_ =
          std::make_unique<std::thread>([object = std::move(object)]() mutable { object.reset(); });
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
