#include "base/mutex.h"

#include <cstring>

#include "base/log.h"

namespace risk {

RwLock::RwLock() : lock_() {
  int rc = pthread_rwlock_init(&lock_, nullptr);
  if (rc != 0) log_message("pthread_rwlock_init: %s", std::strerror(rc));
}

RwLock::~RwLock() { pthread_rwlock_destroy(&lock_); }

}  // namespace risk
