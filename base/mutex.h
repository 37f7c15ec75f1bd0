// Annotated locks: a mutex, its scoped holder and condition variable, and a
// POSIX reader-writer lock with scoped reader and writer holds. Fields they
// guard say so with GUARDED_BY (base/thread_annotations.h), so that clang's
// -Wthread-safety checks every access. Any thread; none of them is copyable.
#ifndef RISK_BASE_MUTEX_H_
#define RISK_BASE_MUTEX_H_

#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "base/thread_annotations.h"

namespace risk {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  friend class CondVar;
  std::mutex mutex_;
};

// Holds mutex for the life of the object.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_->lock(); }
  ~MutexLock() RELEASE() { mutex_->unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mutex_;
};

// A condition variable bound to one Mutex. Every wait requires that mutex
// held by the caller; it is released while waiting and held again on return.
class CondVar {
 public:
  explicit CondVar(Mutex* mutex) : mutex_(mutex) {}
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void wait() {
    std::unique_lock<std::mutex> held(mutex_->mutex_, std::adopt_lock);
    cv_.wait(held);
    held.release();
  }
  // False when deadline passed before a notification (or a spurious wake).
  template <typename Clock, typename Duration>
  bool wait_until(const std::chrono::time_point<Clock, Duration>& deadline) {
    std::unique_lock<std::mutex> held(mutex_->mutex_, std::adopt_lock);
    const bool woken = cv_.wait_until(held, deadline) == std::cv_status::no_timeout;
    held.release();
    return woken;
  }
  void notify_one() { cv_.notify_one(); }
  void notify_all() { cv_.notify_all(); }

 private:
  Mutex* const mutex_;
  std::condition_variable cv_;
};

// A POSIX reader-writer lock. Taking it can fail (the C library's error
// codes); the scoped holds below say whether they hold it. Giving it back
// follows the lock's release policy.
class CAPABILITY("mutex") RwLock {
 public:
  // How the lock is given back: unlock_once calls pthread_rwlock_unlock
  // once and returns 0 or its error code; the policy may call it again
  // until it succeeds. Without a policy it is called once and a failure is
  // ignored.
  using ReleasePolicy = void (*)(const std::function<int()>& unlock_once);

  // A lock that cannot be initialised is logged; the zero-filled lock is
  // the static initialiser on this C library, so it stays usable.
  explicit RwLock(ReleasePolicy release = nullptr);
  ~RwLock();
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;

  // 0 or the error code of pthread_rwlock_rdlock / _wrlock.
  int lock_shared() ACQUIRE_SHARED() { return pthread_rwlock_rdlock(&lock_); }
  int lock() ACQUIRE() { return pthread_rwlock_wrlock(&lock_); }
  void unlock_shared() RELEASE_SHARED() { release(); }
  void unlock() RELEASE() { release(); }

 private:
  void release();

  pthread_rwlock_t lock_;
  const ReleasePolicy release_;
};

// Holds lock for reading for the life of the object, when it could be
// taken: error() is then 0, else the code the C library returned and
// nothing is held (the guarded fields must not be read then).
class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(RwLock* lock) ACQUIRE_SHARED(lock)
      : lock_(lock), error_(lock->lock_shared()) {}
  ~ReaderLock() RELEASE() {
    if (error_ == 0) lock_->unlock_shared();
  }
  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;
  int error() const { return error_; }

 private:
  RwLock* const lock_;
  const int error_;
};

// As ReaderLock, for writing.
class SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(RwLock* lock) ACQUIRE(lock) : lock_(lock), error_(lock->lock()) {}
  ~WriterLock() RELEASE() {
    if (error_ == 0) lock_->unlock();
  }
  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;
  int error() const { return error_; }

 private:
  RwLock* const lock_;
  const int error_;
};

}  // namespace risk

#endif  // RISK_BASE_MUTEX_H_
