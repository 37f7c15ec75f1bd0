// Calls from native threads into the script thread, and the script services
// of the bridge object.
//
// The bridge object is the script object handed to "setupNative"; its
// functions ("getDeviceInfo", "post", "prefGet", ...) may only run on the
// script thread. init_bridge() remembers that thread, its env and the bridge
// object, and creates the thread-safe function through which any native
// thread queues work for the script thread and blocks until it has run
// (run_in_main_thread_blocking), including answers that the script delivers
// as promises (js_call_api_promise_blocking). The s_* and js_* service
// wrappers build the arguments of each bridge function and read its answer.
//
// Threads: init_bridge, get_os_version, call_js_method, call_js_api and the
// property helpers run on the script thread only. The blocking calls and the
// service wrappers may be called from any thread; on the script thread itself
// they run inline. No lock is held while a caller waits, and there is no
// time limit: a script function that never answers blocks its caller for good.
//
// Nothing here throws: failures are napi_status values and log lines. Every
// returned string is owned by the caller.
#ifndef RISK_BRIDGE_BRIDGE_JS_NATIVE_H_
#define RISK_BRIDGE_BRIDGE_JS_NATIVE_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "base/types.h"
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
// Bridge context and blocking calls.

// Runs on the script thread ("setupNative"). Remembers the calling thread as
// the script thread, the env and a strong reference to `bridge`, and creates
// the thread-safe function. A later call replaces the context; the earlier
// thread-safe function is released and its reference deleted once the calls
// still using it are done. Returns the first failing status (the previous
// context then stays in place).
napi_status init_bridge(napi_env env, napi_value bridge);

// Runs `task` on the script thread and returns its status. From another
// thread the caller blocks until the task has run; napi_invalid_arg before
// init_bridge, napi_closing when the script environment is shutting down
// (the task then does not run). On the script thread the task runs at once.
napi_status run_in_main_thread_blocking(const ScriptTask& task);

// Calls one bridge function through `caller` on the script thread and waits
// until its answer has reached `on_result`, or the "code" of its rejected
// promise has reached `on_error`. Both handlers run on the script thread, at
// most one of them, and only while this call is waiting. Returns napi_ok when
// the call was made and answered; otherwise the failing status, and neither
// handler has run (the caller keeps its defaults).
//
// On the script thread itself a promise answer cannot be awaited (its
// callbacks only run once the thread is free again): the call then returns
// napi_would_deadlock at once with the log line "promise answer of %s is not
// awaited on the script thread", and the promise's later settlement is
// dropped. Script functions called from the script thread must answer with
// plain values.
napi_status js_call_api_promise_blocking(const ApiCaller& caller, const ResultHandler& on_result,
                                         const ErrorHandler& on_error);

// Resolves a promise with a JS string of exactly the bytes of `text` (as
// UTF-8). Blocks until the script thread has done so.
napi_status js_resolve_deferred(napi_deferred deferred, const std::string& text);

// Keeps the script thread's event loop alive while a native thread that will
// call into the script is running, so that the host does not exit before the
// thread's calls are served. Call acquire on the script thread before
// starting such a thread; the thread (or anyone) calls release exactly once
// when it no longer needs the script thread. Returns null before init_bridge
// or while shutting down; release ignores null. Blocking calls keep the loop
// alive on their own from the moment the script thread picks them up.
struct BridgeContext;
BridgeContext* acquire_script_hold();
void release_script_hold(BridgeContext* hold);

// ---------------------------------------------------------------------------
// Script-thread helpers. `env` and the values belong to the current call.

// Calls object[name](argv...) with the object as receiver. Logs "fail to get
// function %s" when the property lookup fails; a property that is not a
// function fails in the call.
napi_status call_js_method(napi_env env, napi_value object, const char* name, size_t argc,
                           const napi_value* argv, napi_value* result);

// Calls bridge[name](argv...). A plain answer goes to `on_result` at once; a
// promise answer gets fulfilment and rejection callbacks that call copies of
// `on_result` / `on_error` later. Returns the call's failure status (logged
// "fail to call api %s => %d"; a script exception is cleared) or napi_ok.
napi_status call_js_api(napi_env env, napi_value bridge, const char* name, size_t argc,
                        const napi_value* argv, const ResultHandler& on_result,
                        const ErrorHandler& on_error);

// Reads object[name] as a signed 64-bit number. napi_object_expected for a
// null handle; otherwise the failing status, logged. `out` is written only
// on success.
napi_status get_int64_property(napi_env env, napi_value object, const char* name, int64_t* out);

// Reads object[name] as text: the empty string when the value is not a
// string. napi_object_expected for a null handle; a failing lookup is logged
// and returned, `out` is then unchanged.
napi_status get_string_property(napi_env env, napi_value object, const char* name,
                                 std::string* out);

// The UTF-8 text of a JS string; the empty string for anything else.
std::string js_to_string(napi_env env, napi_value value);

// Reads the answer of "post": "responseCode" into *code (unchanged when
// absent) and "result" into *body according to "resultType" (0 text, 2
// ArrayBuffer; 1 and unknown types leave it empty, with a log line).
void read_post_response(napi_env env, napi_value response, int64_t* code, std::string* body);

// Runs on the script thread: bridge.getOsVersion() without the blocking
// layer; the empty string when the call fails or the answer is not a string.
std::string get_os_version(napi_env env, napi_value bridge);

// ---------------------------------------------------------------------------
// Script services. Any thread; each returns the status of
// js_call_api_promise_blocking. Texts pass their exact bytes.

napi_status js_getDeviceInfo(const char* name, const ResultHandler& on_result,
                             const ErrorHandler& on_error);
napi_status js_getAppSinature(const ResultHandler& on_result, const ErrorHandler& on_error);
napi_status js_getOaid(const ResultHandler& on_result, const ErrorHandler& on_error);
napi_status js_getTimeInfo(const ResultHandler& on_result, const ErrorHandler& on_error);
napi_status js_OnSituationClientEvent(const std::string& key, unsigned type, unsigned code,
                                      const std::string& text, const ResultHandler& on_result,
                                      const ErrorHandler& on_error);
napi_status js_OnSituationServerEvent(const std::string& key, const std::string& text,
                                      const ResultHandler& on_result,
                                      const ErrorHandler& on_error);
// The body travels as a new ArrayBuffer holding a copy of its bytes.
napi_status js_post(const std::string& url, const std::string& body,
                    const ResultHandler& on_result, const ErrorHandler& on_error);
napi_status js_pref_put(const char* name, const std::string& value,
                        const ResultHandler& on_result, const ErrorHandler& on_error);
napi_status js_pref_get(const char* name, const ResultHandler& on_result,
                        const ErrorHandler& on_error);

// Blocking text services: the answer's text, or the empty string when the
// call failed, the answer was not a string or the promise was rejected
// (logged with its code).
std::string s_getDeviceInfo(const char* name);
std::string s_getAppSignature();
std::string s_getOaid();
std::string s_getTimeInfo();

// Blocking notifications: return once the script has answered.
void s_OnSituationClientEvent(const std::string& key, unsigned type, unsigned code,
                              const std::string& text);
void s_OnSituationServerEvent(const std::string& key, const std::string& text);

// Posts through the bridge's "post". Status: the answer's "responseCode"
// (low 32 bits); minus the absolute rejection code when the promise is
// rejected (logged "http post error, err code %d"), with an empty body;
// -9999 when the script call failed (missing "post", thrown, not queued).
PostResponse s_post(const std::string& url, const std::string& body);
constexpr int32_t kPostCallFailed = -9999;

// Preference store through "prefPut" / "prefGet". A rejection is logged
// ("set fail %ld", "get fail %ld"); s_pref_get then answers "".
void s_pref_put(const char* name, const std::string& value);
std::string s_pref_get(const char* name);

}  // namespace risk

#endif  // RISK_BRIDGE_BRIDGE_JS_NATIVE_H_
