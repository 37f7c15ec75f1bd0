// The script services of the bridge object: one call per bridge function
// ("getDeviceInfo", "getAppSignature", "getOaid", "getTimeInfo",
// "onSituationClientEvent", "onSituationServerEvent", "post", "prefPut",
// "prefGet"). The js_* wrappers build the arguments of each function, call
// it through the blocking calls of bridge/script_thread.h and hand its
// answer to the caller's handlers; the s_* services read the answer into a
// plain value.
//
// Threads: any thread; on the script thread itself a call runs inline, and
// a promise answer is then not awaited (see js_call_api_promise_blocking).
//
// Nothing here throws: failures are napi_status values and log lines. Every
// returned string is owned by the caller.
#ifndef RISK_BRIDGE_BRIDGE_JS_NATIVE_H_
#define RISK_BRIDGE_BRIDGE_JS_NATIVE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/types.h"
#include "bridge/host.h"
#include "bridge/script_thread.h"

namespace risk {

// Each js_* service goes through `context` (bridge/script_thread.h) and
// returns the status of js_call_api_promise_blocking. Texts, names included,
// pass their exact bytes (with their length: a zero byte does not end them).

napi_status js_getDeviceInfo(BridgeContext* context, const std::string& name,
                             const ResultHandler& on_result, const ErrorHandler& on_error);
napi_status js_getAppSinature(BridgeContext* context, const ResultHandler& on_result,
                              const ErrorHandler& on_error);
napi_status js_getOaid(BridgeContext* context, const ResultHandler& on_result,
                       const ErrorHandler& on_error);
napi_status js_getTimeInfo(BridgeContext* context, const ResultHandler& on_result,
                           const ErrorHandler& on_error);
napi_status js_OnSituationClientEvent(BridgeContext* context, const std::string& key, unsigned type,
                                      unsigned code, const std::string& text,
                                      const ResultHandler& on_result, const ErrorHandler& on_error);
napi_status js_OnSituationServerEvent(BridgeContext* context, const std::string& key,
                                      const std::string& text, const ResultHandler& on_result,
                                      const ErrorHandler& on_error);
// The body travels as a new ArrayBuffer holding a copy of its bytes.
napi_status js_post(BridgeContext* context, const std::string& url, const std::string& body,
                    const ResultHandler& on_result, const ErrorHandler& on_error);
napi_status js_pref_put(BridgeContext* context, const std::string& name, const std::string& value,
                        const ResultHandler& on_result, const ErrorHandler& on_error);
napi_status js_pref_get(BridgeContext* context, const std::string& name,
                        const ResultHandler& on_result, const ErrorHandler& on_error);

// Blocking text services: the answer's text, or the empty string when the
// call failed, the answer was not a string or the promise was rejected
// (logged with its code).
std::string s_getDeviceInfo(BridgeContext* context, const std::string& name);
std::string s_getAppSignature(BridgeContext* context);
std::string s_getOaid(BridgeContext* context);
std::string s_getTimeInfo(BridgeContext* context);

// Blocking notifications: return once the script has answered.
void s_OnSituationClientEvent(BridgeContext* context, const std::string& key, unsigned type,
                              unsigned code, const std::string& text);
void s_OnSituationServerEvent(BridgeContext* context, const std::string& key,
                              const std::string& text);

// Posts through the bridge's "post". Status: the answer's "responseCode"
// (low 32 bits); minus the absolute rejection code when the promise is
// rejected, INT32_MIN for one beyond the 32-bit range (logged "http post
// error, err code %d"), with an empty body: never zero or positive, unless
// the code was 0;
// -9999 when the script call failed (missing "post", thrown, not queued,
// environment ended). An answer body above max_answer bytes (the most the
// caller can use) is not copied out of the engine: empty, with a log line.
PostResponse s_post(BridgeContext* context, const std::string& url, const std::string& body,
                    size_t max_answer);
constexpr int32_t kPostCallFailed = -9999;

// Preference store through "prefPut" / "prefGet". A rejection is logged
// ("set fail %ld", "get fail %ld"); s_pref_get then answers "". A prefPut
// answering false (the store kept its old value) is logged too.
void s_pref_put(BridgeContext* context, const std::string& name, const std::string& value);
std::string s_pref_get(BridgeContext* context, const std::string& name);

// The same for several preferences that follow each other: one "prefGet"
// (or "prefPut") per entry, in their order, each made once the one before
// has answered, as that many calls of the above would make them, and
// answered (and logged) as they would be; the caller is woken once for all
// of them (js_call_api_sequence_blocking).
std::vector<std::string> s_pref_get_each(BridgeContext* context,
                                         const std::vector<std::string>& names);
void s_pref_put_each(BridgeContext* context,
                     const std::vector<std::pair<std::string, std::string>>& entries);

}  // namespace risk

#endif  // RISK_BRIDGE_BRIDGE_JS_NATIVE_H_
