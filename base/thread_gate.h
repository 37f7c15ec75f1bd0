// ThreadGate: counts the library threads that use one object (the SDK) and
// lets its owner wait for them before the object goes.
#ifndef RISK_BASE_THREAD_GATE_H_
#define RISK_BASE_THREAD_GATE_H_

#include <cstdint>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace risk {

// Counts the library threads that use one object. A thread is given a pass
// before it is started (moved into it) and returns the pass when it ends.
// Thread-safe.
class ThreadGate {
 public:
  // Move-only token of one running thread; an empty pass (false) means the
  // gate was closed and the thread must not be started.
  class Pass {
   public:
    Pass() = default;
    Pass(Pass&& other) noexcept : gate_(other.gate_) { other.gate_ = nullptr; }
    Pass& operator=(Pass&& other) noexcept;
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    ~Pass() { release(); }

    explicit operator bool() const { return gate_ != nullptr; }
    // Gives the pass back early (idempotent).
    void release();

   private:
    friend class ThreadGate;
    explicit Pass(ThreadGate* gate) : gate_(gate) {}
    ThreadGate* gate_ = nullptr;
  };

  ThreadGate() = default;
  ThreadGate(const ThreadGate&) = delete;
  ThreadGate& operator=(const ThreadGate&) = delete;

  // Returns a pass, or an empty one once close_and_wait() has begun.
  Pass enter();
  // Refuses new passes, then blocks until every outstanding pass has been
  // returned. Safe to call more than once.
  void close_and_wait();

 private:
  void leave();

  Mutex mutex_;
  CondVar idle_{&mutex_};
  int64_t active_ GUARDED_BY(mutex_) = 0;
  bool closed_ GUARDED_BY(mutex_) = false;
};

}  // namespace risk

#endif  // RISK_BASE_THREAD_GATE_H_
