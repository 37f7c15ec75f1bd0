// The library's wall clock. Any thread; no state.
#ifndef RISK_BASE_CLOCK_H_
#define RISK_BASE_CLOCK_H_

#include <sys/time.h>

#include <cstdint>

namespace risk {

// Wall-clock milliseconds since the Unix epoch.
int64_t now_ms();
// seconds * 1000 + microseconds / 1000 of tv: {1, 999999} gives 1999.
int64_t timeval_to_ms(const struct timeval& tv);

}  // namespace risk

#endif  // RISK_BASE_CLOCK_H_
