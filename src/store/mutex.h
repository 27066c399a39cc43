// The engine's locks, annotated for clang's thread-safety analysis: a field
// says which lock guards it, a function which locks it needs or takes, and a
// lock which locks are taken before it. Under g++ the annotations are only
// documentation.
#pragma once

#include <mutex>
#include <shared_mutex>

#if defined(__clang__)
#define CORVID_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define CORVID_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) CORVID_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY CORVID_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) CORVID_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) CORVID_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_AFTER(...) CORVID_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRE(...) CORVID_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) CORVID_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) CORVID_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) CORVID_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define REQUIRES(...) CORVID_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) CORVID_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define EXCLUDES(...) CORVID_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))

namespace corvid {

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }

 private:
  std::mutex mu_;
};

// A reader-writer lock: many holders in shared mode, or one in exclusive mode.
class CAPABILITY("mutex") SharedMutex {
 public:
  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  void lock_shared() ACQUIRE_SHARED() { mu_.lock_shared(); }
  void unlock_shared() RELEASE_SHARED() { mu_.unlock_shared(); }

 private:
  std::shared_mutex mu_;
};

// Holds `mu` exclusively for the guard's lifetime, on every way out.
template <class M>
class SCOPED_CAPABILITY ExclusiveLock {
 public:
  explicit ExclusiveLock(M& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~ExclusiveLock() RELEASE() { mu_.unlock(); }
  ExclusiveLock(const ExclusiveLock&) = delete;
  ExclusiveLock& operator=(const ExclusiveLock&) = delete;

 private:
  M& mu_;
};

// Holds `mu` in shared mode for the guard's lifetime.
class SCOPED_CAPABILITY SharedLock {
 public:
  explicit SharedLock(SharedMutex& mu) ACQUIRE_SHARED(mu) : mu_(mu) { mu_.lock_shared(); }
  ~SharedLock() RELEASE() { mu_.unlock_shared(); }
  SharedLock(const SharedLock&) = delete;
  SharedLock& operator=(const SharedLock&) = delete;

 private:
  SharedMutex& mu_;
};

}  // namespace corvid
