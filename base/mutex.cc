#include "base/mutex.h"

#include <cstring>

#include "base/log.h"

namespace risk {

RwLock::RwLock(ReleasePolicy release) : lock_(), release_(release) {
  int rc = pthread_rwlock_init(&lock_, nullptr);
  if (rc != 0) log_message("pthread_rwlock_init: %s", std::strerror(rc));
}

RwLock::~RwLock() { pthread_rwlock_destroy(&lock_); }

void RwLock::release() {
  if (release_ == nullptr) {
    pthread_rwlock_unlock(&lock_);  // a failure is ignored (see ReleasePolicy)
    return;
  }
  release_([this]() { return pthread_rwlock_unlock(&lock_); });
}

}  // namespace risk
