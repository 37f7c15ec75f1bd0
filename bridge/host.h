// Host differences between OpenHarmony and the Linux/Node.js stand-in.
//
// Everything in the library that depends on which engine hosts it goes
// through this header: the N-API header, the log sink behind OH_LOG_Print,
// per-environment data and teardown notice, the later turn of the event
// loop, the per-environment entry point, and the function handed to
// napi_create_threadsafe_function. (The library is also linked with
// -z nodelete, see the top CMakeLists.txt: a host that unloads an addon with
// its last environment must not unmap the code of the library's threads.) An
// OpenHarmony build replaces this header and nothing else.
#ifndef RISK_BRIDGE_HOST_H_
#define RISK_BRIDGE_HOST_H_

#include <node_api.h>
#include <uv.h>

#include <cstdarg>
#include <cstdint>
#include <cstring>

#include "base/log.h"

// Log types, levels and OH_LOG_Print as HiLog declares them. On Linux the
// text goes where the host script chose at setup (bridge/host_log.h): by
// default to the library's default log sink (the file named by
// RISK_LOG_FILE, stderr when RISK_LOG is on, else nowhere).
typedef enum { LOG_APP = 0 } LogType;
typedef enum { LOG_DEBUG = 3, LOG_INFO = 4, LOG_WARN = 5, LOG_ERROR = 6, LOG_FATAL = 7 } LogLevel;

namespace risk {
namespace host {

// Writes one line where the script chose (bridge/host_log.cc). Any thread;
// never waits for the script thread.
void write_log_text(const char* tag, const char* text);

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
inline bool add_env_teardown_hook(napi_env /*env*/, void (* /*hook*/)(void*), void* /*arg*/) {
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
// script thread (and the frames it draws) for long.
//
// The later turn is taken from the engine's loop itself, never from a
// script global such as setImmediate: the host's script may replace those
// (test frameworks install fake timers that run only when their clock is
// ticked) or wrap them, and nothing it does may decide whether the
// library's calls run. On Node a LaterTurn is libuv's check phase, kept
// from blocking in poll by an idle handle while a turn is asked for (the
// shape of Node's own setImmediate), entered through a callback scope of
// its own (async resource "n2j-later", beside the thread-safe function's
// "n2j") so that the script's microtasks run after it as after any
// callback. Its handles are closed by an async cleanup hook when the
// environment ends. The loop also numbers its turns, which tells dispatch
// when a new turn's budget begins.
constexpr int64_t kDispatchBudgetUs = 500;

class LaterTurn {
 public:
  using Run = void (*)(napi_env env, void* data);

  LaterTurn() = default;
  LaterTurn(const LaterTurn&) = delete;
  LaterTurn& operator=(const LaterTurn&) = delete;

  // Binds the turn to env's loop; run(env, data) is what a later turn
  // runs. Script thread of env, once. False when the host gives no loop or
  // no way to close it with the environment: ask() then answers false.
  // The object must stay where it is for the life of the process (its
  // handles point to it until their close callbacks have run).
  bool open(napi_env env, Run run, void* data) {
#ifdef RISK_HOST_WITHOUT_ENV_HOOKS
    // No async cleanup hook to close the handles with the environment.
    (void)env;
    (void)run;
    (void)data;
    return false;
#else
    uv_loop_t* loop = nullptr;
    if (open_ || env == nullptr || run == nullptr ||
        napi_get_uv_event_loop(env, &loop) != napi_ok || loop == nullptr) {
      return false;
    }
    napi_value name = nullptr;
    if (napi_create_string_utf8(env, "n2j-later", NAPI_AUTO_LENGTH, &name) != napi_ok ||
        napi_async_init(env, nullptr, name, &async_context_) != napi_ok) {
      return false;
    }
    // uv_check_init and uv_idle_init only fill the handles in.
    uv_check_init(loop, &check_);
    uv_idle_init(loop, &idle_);
    check_.data = this;
    idle_.data = this;
    loop_ = loop;
    env_ = env;
    run_ = run;
    data_ = data;
    open_ = true;
    if (napi_add_async_cleanup_hook(env, on_teardown, this, &hook_) != napi_ok) {
      // Without the hook nothing would close the handles in time: close them
      // now, and no later turn.
      hook_ = nullptr;
      close();
      return false;
    }
    return true;
#endif
  }

  // Asks for one run on a later turn of the loop: never runs it before
  // returning, and asks made before it has run give that one run. False
  // when there is no later turn (not open, or the environment has ended).
  // Script thread.
  bool ask() {
    if (!open_) return false;
    if (asked_) return true;
    asked_ = true;  // before starting: the flag never lags behind the turn
    uv_check_start(&check_, on_check);
    uv_idle_start(&idle_, on_idle);
    return true;
  }

  // The number of the loop's current turn (libuv's loop count), the same
  // for every callback of one turn; 0 when the turn is not open. Script
  // thread.
  uint64_t turn_number() const {
    uv_metrics_t metrics{};
    if (!open_ || uv_metrics_info(loop_, &metrics) != 0) return 0;
    return metrics.loop_count;
  }

 private:
  static void on_idle(uv_idle_t* /*handle*/) {}

  static void on_check(uv_check_t* handle) {
    auto* turn = static_cast<LaterTurn*>(handle->data);
    uv_check_stop(&turn->check_);
    uv_idle_stop(&turn->idle_);
    turn->asked_ = false;  // run may ask for the next turn
    napi_env env = turn->env_;
    napi_handle_scope handles = nullptr;
    if (napi_open_handle_scope(env, &handles) != napi_ok) return;
    napi_value resource = nullptr;
    napi_callback_scope scope = nullptr;
    const bool scoped =
        napi_create_object(env, &resource) == napi_ok &&
        napi_open_callback_scope(env, resource, turn->async_context_, &scope) == napi_ok;
    turn->run_(env, turn->data_);
    if (scoped) napi_close_callback_scope(env, scope);
    napi_close_handle_scope(env, handles);
  }

  static void on_teardown(napi_async_cleanup_hook_handle /*hook*/, void* arg) {
    static_cast<LaterTurn*>(arg)->close();
  }

  static void on_closed(uv_handle_t* handle) {
    auto* turn = static_cast<LaterTurn*>(handle->data);
    if (--turn->closing_ == 0 && turn->hook_ != nullptr) {
      // Both handles are gone: the environment may finish its teardown.
      napi_remove_async_cleanup_hook(turn->hook_);
      turn->hook_ = nullptr;
    }
  }

  // Closes the handles; the turn answers no more asks. Script thread.
  void close() {
    open_ = false;
    asked_ = false;
    napi_async_destroy(env_, async_context_);
    closing_ = 2;
    uv_close(reinterpret_cast<uv_handle_t*>(&check_), on_closed);
    uv_close(reinterpret_cast<uv_handle_t*>(&idle_), on_closed);
  }

  uv_check_t check_{};
  uv_idle_t idle_{};
  uv_loop_t* loop_ = nullptr;
  napi_env env_ = nullptr;
  napi_async_context async_context_ = nullptr;
  napi_async_cleanup_hook_handle hook_ = nullptr;
  Run run_ = nullptr;
  void* data_ = nullptr;
  bool open_ = false;
  bool asked_ = false;
  int closing_ = 0;
};

// The host's per-environment entry point, beside the module record that a
// static initialiser registers (bridge/module/module.cc). Node takes that record
// only on the load that ran the initialiser, and keeps it while some
// environment holds the library; the initialiser never runs again (the
// library stays mapped, -z nodelete), so once the last environment that
// loaded it has ended, Node finds a new environment's load through this
// exported symbol instead (bridge/module/exports.map names it). Every load makes a
// napi_env of its own, so per-environment state (instance data, cleanup
// hooks) starts afresh each time. A host that registers modules only by
// record defines this as nothing.
#define RISK_HOST_MODULE_ENTRY(register_function) \
  NAPI_MODULE_INIT() { return register_function(env, exports); }

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
  risk::host::write_log_text(tag, text != nullptr ? text : "");
  return 0;
}

#endif  // RISK_BRIDGE_HOST_H_
