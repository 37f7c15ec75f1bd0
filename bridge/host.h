// Host differences between OpenHarmony and the Linux/Node.js stand-in.
//
// Everything in the library that depends on which engine hosts it goes
// through this header: the N-API header, the log sink behind OH_LOG_Print,
// per-environment data and teardown notice, and the function handed to
// napi_create_threadsafe_function. (The library is also linked with
// -z nodelete, see the top CMakeLists.txt: a host that unloads an addon with
// its last environment must not unmap the code of the library's threads.) An
// OpenHarmony build replaces this header and nothing else.
#ifndef RISK_BRIDGE_HOST_H_
#define RISK_BRIDGE_HOST_H_

#include <node_api.h>

#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "base/log.h"

// Log types, levels and OH_LOG_Print as HiLog declares them. On Linux the
// text goes to the library's default log sink (stderr with its tag, the file
// named by RISK_LOG_FILE, or nowhere when RISK_LOG is "off").
typedef enum { LOG_APP = 0 } LogType;
typedef enum { LOG_DEBUG = 3, LOG_INFO = 4, LOG_WARN = 5, LOG_ERROR = 6, LOG_FATAL = 7 } LogLevel;

namespace risk {
namespace host {

// Per-environment state. A module may be loaded by several script
// environments at once (the main thread and workers) and outlive each of
// them; the bridge keeps one context per environment. Node has instance data
// (napi_set_instance_data) and environment cleanup hooks
// (napi_add_env_cleanup_hook); OpenHarmony's N-API gained them only in
// releases after 2024. Where the host lacks them, set_env_data and
// add_env_teardown_hook answer false and env_data null: the bridge then keeps
// its own env -> context table and notices an ending environment through the
// finaliser of its thread-safe function. RISK_HOST_WITHOUT_ENV_HOOKS builds
// that fallback on Node too (for its test).
#ifdef RISK_HOST_WITHOUT_ENV_HOOKS
inline bool set_env_data(napi_env /*env*/, void* /*data*/) { return false; }
inline void* env_data(napi_env /*env*/) { return nullptr; }
inline bool add_env_teardown_hook(napi_env /*env*/, void (*/*hook*/)(void*), void* /*arg*/) {
  return false;
}
#else
// Attaches data to env; the bridge never frees it (no finaliser).
inline bool set_env_data(napi_env env, void* data) {
  return napi_set_instance_data(env, data, nullptr, nullptr) == napi_ok;
}
// The data attached to env, or null.
inline void* env_data(napi_env env) {
  void* data = nullptr;
  if (napi_get_instance_data(env, &data) != napi_ok) return nullptr;
  return data;
}
// Calls hook(arg) on env's script thread while env shuts down.
inline bool add_env_teardown_hook(napi_env env, void (*hook)(void*), void* arg) {
  return napi_add_env_cleanup_hook(env, hook, arg) == napi_ok;
}
#endif

// Script-thread dispatch yields to the event loop: queued blocking calls
// run back to back for at most kDispatchBudgetUs, then the rest waits for
// a later turn of the loop, so that a burst of calls never holds the
// script thread (and the frames it draws) for long. run_on_later_turn asks
// the host to call fn(data) on a later turn of env's loop (Node:
// setImmediate); false when it cannot, and the caller then runs the rest
// at once.
constexpr int64_t kDispatchBudgetUs = 500;
inline bool run_on_later_turn(napi_env env, napi_callback fn, void* data) {
  napi_value global = nullptr;
  napi_value schedule = nullptr;
  napi_value callback = nullptr;
  napi_value ignored = nullptr;
  napi_valuetype type = napi_undefined;
  if (napi_get_global(env, &global) != napi_ok ||
      napi_get_named_property(env, global, "setImmediate", &schedule) != napi_ok ||
      napi_typeof(env, schedule, &type) != napi_ok || type != napi_function ||
      napi_create_function(env, "riskDispatch", NAPI_AUTO_LENGTH, fn, data, &callback) !=
          napi_ok) {
    return false;
  }
  return napi_call_function(env, global, schedule, 1, &callback, &ignored) == napi_ok;
}

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
