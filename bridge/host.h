// Host differences between OpenHarmony and the Linux/Node.js stand-in.
//
// Everything in the library that depends on which engine hosts it goes
// through this header: the N-API header, the log sink behind OH_LOG_Print,
// and the function handed to napi_create_threadsafe_function. An
// OpenHarmony build replaces this header and nothing else.
#ifndef RISK_BRIDGE_HOST_H_
#define RISK_BRIDGE_HOST_H_

#include <node_api.h>

#include <cstdarg>
#include <cstring>

#include "base/log.h"

// Log types, levels and OH_LOG_Print as HiLog declares them. On Linux the
// text goes to the library's default log sink (stderr with its tag, the file
// named by RISK_LOG_FILE, or nowhere when RISK_LOG is "off").
typedef enum { LOG_APP = 0 } LogType;
typedef enum { LOG_DEBUG = 3, LOG_INFO = 4, LOG_WARN = 5, LOG_ERROR = 6, LOG_FATAL = 7 } LogLevel;

namespace risk {
namespace host {

// The function value given to napi_create_threadsafe_function. Node
// requires a function or null there; the dispatch callback reaches the
// bridge object through its stored reference instead. On OpenHarmony this
// returns the bridge object itself.
inline napi_value threadsafe_function_value(napi_env /*env*/, napi_value /*bridge*/) {
  return nullptr;
}

}  // namespace host
}  // namespace risk

inline int OH_LOG_Print(LogType /*type*/, LogLevel /*level*/, unsigned int /*domain*/,
                        const char* tag, const char* fmt, ...) {
  // Only the "%{public}s" form is used by the library.
  if (std::strcmp(fmt, "%{public}s") != 0) return -1;
  va_list args;
  va_start(args, fmt);
  const char* text = va_arg(args, const char*);
  va_end(args);
  risk::write_default_log_line(tag, text != nullptr ? text : "");
  return 0;
}

#endif  // RISK_BRIDGE_HOST_H_
