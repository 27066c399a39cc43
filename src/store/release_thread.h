// Destroys what a writer no longer needs on a thread of its own, off the
// call that let it go: closing the data files a vacuum replaced hands their
// pages back to the system, a tenth of the vacuum.
#pragma once

#include <memory>
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
      thread_ = std::thread([object = std::move(object)]() mutable { object.reset(); });
      generation_ = fork_generation();
    } catch (const std::system_error&) {
    }
  }

  // Waits for the last release to finish. In a child made by fork() the
  // thread was never there: it and its object are left as they are.
  void wait() {
    if (!thread_.joinable()) return;
    if (generation_ != fork_generation()) {
      new std::thread(std::move(thread_));  // never joined, never destroyed
      return;
    }
    thread_.join();
  }

 private:
  std::thread thread_;
  uint64_t generation_ = 0;
};

}  // namespace corvid
