// Passes work from one thread to another through a single slot: the giver
// waits while the slot is full, so it runs at most one item ahead.
#pragma once

#include <condition_variable>
#include <mutex>
#include <optional>
#include <utility>

namespace corvid {

template <class T>
class Handoff {
 public:
  // Waits for the slot to be free, then fills it; false, and `item` kept,
  // once the handoff is closed.
  bool give(T& item) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return !slot_ || closed_; });
    if (closed_) return false;
    slot_.emplace(std::move(item));
    cv_.notify_all();
    return true;
  }
  // Waits for an item; nothing once the handoff is closed and empty.
  std::optional<T> take() {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [&] { return slot_ || closed_; });
    std::optional<T> item = std::move(slot_);
    slot_.reset();
    cv_.notify_all();
    return item;
  }
  // No more gives; what the slot holds may still be taken.
  void close() {
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
    cv_.notify_all();
  }
  // Closed and emptied: what the slot held is dropped.
  void abandon() {
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
    slot_.reset();
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::optional<T> slot_;
  bool closed_ = false;
};

}  // namespace corvid
