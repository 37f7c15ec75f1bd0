#include "base/thread_gate.h"

namespace risk {

ThreadGate::Pass& ThreadGate::Pass::operator=(Pass&& other) noexcept {
  if (this != &other) {
    release();
    gate_ = other.gate_;
    other.gate_ = nullptr;
  }
  return *this;
}

void ThreadGate::Pass::release() {
  if (gate_ == nullptr) return;
  ThreadGate* gate = gate_;
  gate_ = nullptr;
  gate->leave();
}

ThreadGate::Pass ThreadGate::enter() {
  MutexLock hold(&mutex_);
  if (closed_) return Pass();
  ++active_;
  return Pass(this);
}

void ThreadGate::leave() {
  // The gate may be destroyed as soon as the mutex is released with
  // active_ at 0, so nothing here touches it after the unlock.
  MutexLock hold(&mutex_);
  if (--active_ == 0) idle_.notify_all();
}

void ThreadGate::close_and_wait() {
  MutexLock hold(&mutex_);
  closed_ = true;
  while (active_ != 0) idle_.wait();
}

}  // namespace risk
