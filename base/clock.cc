#include "base/clock.h"

namespace risk {

int64_t timeval_to_ms(const struct timeval& tv) {
  return int64_t(tv.tv_sec) * 1000 + int64_t(tv.tv_usec) / 1000;
}

int64_t now_ms() {
  struct timeval tv {};
  ::gettimeofday(&tv, nullptr);
  return timeval_to_ms(tv);
}

}  // namespace risk
