// Script-thread helpers over N-API: calling a method of a script object,
// reading properties and strings, making text and byte values, clearing a
// script exception, and reading the answer of the bridge's "post".
//
// Threads: every function runs on the script thread of `env`; `env` and the
// values belong to the current call. None keeps state between calls.
//
// Nothing here throws: failures are napi_status values and log lines. Every
// returned string is owned by the caller.
#ifndef RISK_BRIDGE_NAPI_HELPERS_H_
#define RISK_BRIDGE_NAPI_HELPERS_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "bridge/host.h"

namespace risk {

// Calls object[name](argv...) with the object as receiver. Logs "fail to get
// function %s" when the property lookup fails; a property that is not a
// function fails in the call.
napi_status call_js_method(napi_env env, napi_value object, const char* name, size_t argc,
                           const napi_value* argv, napi_value* result);

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
// ArrayBuffer; 1 and unknown types leave it empty, with a log line). A
// result above max_body bytes is not copied: empty, with a log line.
void read_post_response(napi_env env, napi_value response, size_t max_body, int64_t* code,
                        std::string* body);

// Runs on the script thread: bridge.getOsVersion() without the blocking
// layer; the empty string when the call fails or the answer is not a string.
std::string get_os_version(napi_env env, napi_value bridge);

// Clears a script exception left by a failed N-API step, so that none
// reaches the engine from the library. Returns true when there was one.
bool clear_exception(napi_env env);

// A JS string of exactly the bytes of text (as UTF-8, with its length: a
// zero byte does not end it).
napi_status make_text(napi_env env, const std::string& text, napi_value* out);

// A new ArrayBuffer holding a copy of bytes.
napi_status make_bytes(napi_env env, const std::string& bytes, napi_value* out);

// The value undefined (null when even that cannot be had).
napi_value undefined_value(napi_env env);

}  // namespace risk

#endif  // RISK_BRIDGE_NAPI_HELPERS_H_
