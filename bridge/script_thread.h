// Calls from native threads into the script thread.
//
// The bridge object is the script object handed to "setupNative"; its
// functions ("getDeviceInfo", "post", "prefGet", ...) may only run on the
// script thread of its environment. init_bridge() remembers that thread, its
// env and the bridge object in the env's BridgeContext, and creates the
// thread-safe function through which any native thread queues work for that
// script thread and blocks until it has run
// (run_in_main_thread_blocking), including answers that the script delivers
// as promises (js_call_api_promise_blocking). Queued calls run on the script
// thread back to back for at most host::kDispatchBudgetUs per turn of its
// loop; the rest waits for a later turn. A ScriptHold keeps the script
// thread's loop alive for a native thread that will call into it. The
// script services (bridge/bridge_js_native.h) are built on these calls.
//
// Threads: init_bridge, bridge_context and call_js_api run on the script
// thread only. The blocking calls may be called from any thread; on the
// script thread itself they run inline. No lock is held while a caller
// waits, and there is no time limit: a script function that never answers
// blocks its caller for good.
//
// Nothing here throws: failures are napi_status values and log lines.
#ifndef RISK_BRIDGE_SCRIPT_THREAD_H_
#define RISK_BRIDGE_SCRIPT_THREAD_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bridge/host.h"

namespace risk {

// Work for the script thread: gets the env and the bridge object.
using ScriptTask = std::function<napi_status(napi_env env, napi_value bridge)>;
// Calls the bridge function `name` with the given arguments.
using ApiCall = std::function<napi_status(const char* name, size_t argc, napi_value* argv)>;
// Builds the script arguments and calls the ApiCall once.
using ApiCaller = std::function<napi_status(napi_env env, const ApiCall& api_call)>;
// Receives the answer (or the fulfilment value of an answered promise).
using ResultHandler = std::function<void(napi_env env, napi_value result)>;
// Receives the numeric "code" of a rejected promise (0 when it has none).
using ErrorHandler = std::function<void(napi_env env, int64_t code)>;

// ---------------------------------------------------------------------------
// Bridge contexts and blocking calls.
//
// Each script environment (the main thread, every worker) that runs
// "setupNative" has a BridgeContext of its own: its script thread, its env,
// its bridge object and its thread-safe function. An SDK keeps the context
// of the environment that set it up, and every call below names the
// context it goes through, so that a bridge function always runs, and a
// promise is always settled, in the environment it belongs to. Contexts are
// never freed (the SDKs that point to them live as long as the process).
//
// When an environment ends (a worker exits or is terminated), its context
// ends with it: calls queued or awaiting a promise there are woken with
// napi_closing, later calls fail at once with napi_closing, and promises of
// that environment are dropped unsettled (the environment is gone).
struct BridgeContext;
// One thread-safe function and bridge reference of a context (opaque).
struct ScriptChannel;

// Runs on the script thread ("setupNative"). Remembers the calling thread as
// env's script thread and a strong reference to `bridge`, and creates the
// thread-safe function. A later call in the same env replaces that env's
// bridge object and function (the earlier function is released and its
// reference deleted once the calls still using it are done); other
// environments are not touched. napi_object_expected, with the log line
// "bridge is not an object", when bridge is not an object or function;
// otherwise the first failing status (the env's previous bridge then stays).
napi_status init_bridge(napi_env env, napi_value bridge);

// The context of env made by init_bridge; null before the first successful
// one, and after env has ended. Script thread of env.
BridgeContext* bridge_context(napi_env env);

// Runs `task` on context's script thread and returns its status. From
// another thread the caller blocks until the task has run; napi_invalid_arg
// for a null context, napi_closing once its environment is shutting down
// (the task then does not run). On the script thread the task runs at once.
napi_status run_in_main_thread_blocking(BridgeContext* context, const ScriptTask& task);

// Calls one bridge function through `caller` on context's script thread and
// waits until its answer has reached `on_result`, or the "code" of its
// rejected promise has reached `on_error`. Both handlers run on the script
// thread, at most one of them, and only while this call is waiting. Returns
// napi_ok when the call was made and answered; otherwise the failing status,
// and neither handler has run (the caller keeps its defaults). A promise
// that settles twice (a hostile "then") counts once: the first settlement
// wins.
//
// There is no time limit. Once a call has waited kLongScriptWait for a
// promise, the log line "script function %s has not answered for %lld ms;
// its caller keeps waiting" names the function, once per call.
//
// On the script thread itself a promise answer cannot be awaited (its
// callbacks only run once the thread is free again): the call then returns
// napi_would_deadlock at once with the log line "promise answer of %s is not
// awaited on the script thread", and the promise's later settlement is
// dropped. Script functions called from the script thread must answer with
// plain values.
napi_status js_call_api_promise_blocking(BridgeContext* context, const ApiCaller& caller,
                                         const ResultHandler& on_result,
                                         const ErrorHandler& on_error);
constexpr int64_t kLongScriptWaitMs = 10000;

// One call of a sequence (js_call_api_sequence_blocking): what
// js_call_api_promise_blocking takes, and the status it would return, set
// once the sequence has returned.
struct ScriptCall {
  ApiCaller caller;
  ResultHandler on_result;
  ErrorHandler on_error;
  napi_status status = napi_generic_failure;
};

// Makes the calls in their order through context, each once the one before
// has answered (its plain answer handled, its promise settled, or its
// failure known), and gives each the handlers' runs and the status that
// js_call_api_promise_blocking would: the bridge sees what that many
// blocking calls would show it. What differs is the hand-offs: from another
// thread, calls that answer with plain values run back to back in one
// script-thread task and the caller is woken once for all of them; after a
// promise answer the rest go on in a task of their own once it has settled.
// When the script thread cannot be reached (the environment ended), that
// status goes to every call not yet made. On the script thread itself the
// calls run inline, one by one.
void js_call_api_sequence_blocking(BridgeContext* context, std::vector<ScriptCall>& calls);

// Resolves a promise made in context's environment with a JS string of
// exactly the bytes of `text` (as UTF-8). Blocks until the script thread has
// done so; napi_closing (the promise is dropped) when the environment ended.
napi_status js_resolve_deferred(BridgeContext* context, napi_deferred deferred,
                                const std::string& text);

// Keeps a script thread's event loop alive while a native thread that will
// call into the script is running, so that the host does not exit before
// the thread's calls are served. Move-only: the hold is given back by
// release() or the destructor, exactly once, on every path. Blocking calls
// keep the loop alive on their own from the moment the script thread picks
// them up.
class ScriptHold {
 public:
  ScriptHold() = default;
  ScriptHold(ScriptHold&& other) noexcept;
  ScriptHold& operator=(ScriptHold&& other) noexcept;
  ScriptHold(const ScriptHold&) = delete;
  ScriptHold& operator=(const ScriptHold&) = delete;
  ~ScriptHold() { release(); }

  // False for an empty hold (none could be taken, or it was given back).
  explicit operator bool() const { return channel_ != nullptr; }
  // Gives the hold back early; idempotent. Any thread.
  void release();

 private:
  friend ScriptHold acquire_script_hold(BridgeContext* context);
  explicit ScriptHold(ScriptChannel* channel) : channel_(channel) {}
  ScriptChannel* channel_ = nullptr;
};

// Takes a hold on context's script thread loop. Call it on the script thread
// before starting such a thread and move the hold into the thread. Empty for
// a null context or once its environment is shutting down.
ScriptHold acquire_script_hold(BridgeContext* context);

// Tests only: the wait after which js_call_api_promise_blocking logs that a
// script function has not answered (kLongScriptWaitMs by default).
void set_long_script_wait_for_testing(int64_t ms);

// Runs on the script thread: calls bridge[name](argv...). A plain answer
// goes to `on_result` at once; a promise answer gets fulfilment and
// rejection callbacks that call copies of `on_result` / `on_error` later (at
// most one of them, once, and never after env has ended). Returns the call's
// failure status (logged "fail to call api %s => %d"; a script exception is
// cleared) or napi_ok.
napi_status call_js_api(napi_env env, napi_value bridge, const char* name, size_t argc,
                        const napi_value* argv, const ResultHandler& on_result,
                        const ErrorHandler& on_error);

}  // namespace risk

#endif  // RISK_BRIDGE_SCRIPT_THREAD_H_
