// Where the host's log sink sends the library's lines, chosen by the host
// script at setup (the fourth argument of "setupNative"):
//   undefined   unchanged (at first: the default sink of base/log.h, which
//               RISK_LOG and RISK_LOG_FILE set)
//   "default"   the default sink again
//   "off"       nowhere
//   "stderr"    standard error, "[Risk] text" lines
//   a number    that open file descriptor (the host opened it for appending;
//               it must stay open while the process lives), the same lines
//   a function  called on the script thread of the environment that gave it,
//               as fn(text, dropped): the line's text without its tag, and
//               how many lines were dropped so far. The lines wait in a
//               queue of kLogQueueLines; a line that finds it full is
//               dropped and counted, so no library thread ever waits for
//               the script. What the function throws is caught and ignored.
//               The queue keeps no process alive; when its environment
//               ends, the default sink takes over again.
// Anything else is ignored. The choice is process-wide: the last setup that
// gives one decides.
#ifndef RISK_BRIDGE_HOST_LOG_H_
#define RISK_BRIDGE_HOST_LOG_H_

#include <node_api.h>

#include <cstddef>
#include <cstdint>

namespace risk {

constexpr size_t kLogQueueLines = 1024;

// Applies destination (see above). Runs on the script thread of env.
void set_log_destination(napi_env env, napi_value destination);

// Lines the function sink has dropped since the process started.
uint64_t dropped_log_lines();

}  // namespace risk

#endif  // RISK_BRIDGE_HOST_LOG_H_
