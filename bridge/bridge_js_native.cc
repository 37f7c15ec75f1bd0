#include "bridge/bridge_js_native.h"

#include <initializer_list>
#include <limits>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "base/guarded.h"
#include "base/log.h"
#include "bridge/napi_helpers.h"

namespace risk {

namespace {

// Low 32 bits of a 64-bit code, as the signed status of a PostResponse.
int32_t low32(int64_t value) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
}

// A rejection's code as a status: negative whatever its size. Cutting it to
// 32 bits could turn it into any status, 200 included; a code beyond the
// 32-bit range stands at INT32_MIN instead.
int32_t rejection_status(int64_t code) {
  const int64_t negative = code < 0 ? code : -code;  // INT64_MIN has no positive twin
  return negative < std::numeric_limits<int32_t>::min() ? std::numeric_limits<int32_t>::min()
                                                        : static_cast<int32_t>(negative);
}

// One argument of a script service call: text, bytes (an ArrayBuffer) or an
// unsigned number. Text and bytes are borrowed for the call.
struct ServiceArg {
  enum class Kind { kText, kBytes, kNumber };
  Kind kind;
  const std::string* data;
  uint32_t number;
};
ServiceArg text_arg(const std::string& text) { return {ServiceArg::Kind::kText, &text, 0}; }
ServiceArg bytes_arg(const std::string& bytes) { return {ServiceArg::Kind::kBytes, &bytes, 0}; }
ServiceArg number_arg(uint32_t number) { return {ServiceArg::Kind::kNumber, nullptr, number}; }

// The ApiCaller of a call of the bridge function method with args (borrowed:
// they must outlive the call). Gives up (without calling) when an argument
// cannot be created: a call with a missing argument value would bring the
// engine down.
constexpr size_t kMaxArgs = 4;
ApiCaller service_caller(const char* method, std::vector<ServiceArg> args) {
  return [method, args = std::move(args)](napi_env env, const ApiCall& call) {
    napi_value argv[kMaxArgs] = {};
    size_t argc = 0;
    for (const ServiceArg& arg : args) {
      napi_status status;
      switch (arg.kind) {
        case ServiceArg::Kind::kText:
          status = make_text(env, *arg.data, &argv[argc]);
          break;
        case ServiceArg::Kind::kBytes:
          status = make_bytes(env, *arg.data, &argv[argc]);
          break;
        default:
          status = napi_create_uint32(env, arg.number, &argv[argc]);
          break;
      }
      if (status != napi_ok) return status;
      ++argc;
    }
    return call(method, argc, argc > 0 ? argv : nullptr);
  };
}

// Calls the bridge function method with args and waits for its answer.
napi_status call_service(BridgeContext* ctx, const char* method,
                         std::initializer_list<ServiceArg> args, const ResultHandler& on_result,
                         const ErrorHandler& on_error) {
  if (args.size() > kMaxArgs) return napi_invalid_arg;
  return js_call_api_promise_blocking(ctx, service_caller(method, args), on_result, on_error);
}

// Handlers of the s_ helpers: keep the answer as text; log a rejection as
// "<what> fail <code>".
ResultHandler keep_text(std::string* out) {
  return [out](napi_env env, napi_value value) { *out = js_to_string(env, value); };
}
ResultHandler ignore_result() {
  return [](napi_env, napi_value) {};
}
ErrorHandler log_failure(const char* what) {
  return
      [what](napi_env, int64_t code) { log_message("%s fail %ld", what, static_cast<long>(code)); };
}

// The handler of a "prefPut" answer: a store that could not keep the value
// answers false; the old value is then still there, and the caller carries
// on with what it holds. name is borrowed for the call.
ResultHandler check_stored(const std::string& name) {
  return [&name](napi_env env, napi_value answer) {
    bool stored = true;
    napi_valuetype type = napi_undefined;
    if (napi_typeof(env, answer, &type) == napi_ok && type == napi_boolean &&
        napi_get_value_bool(env, answer, &stored) == napi_ok && !stored) {
      log_message("set fail: prefPut kept the old value of %s", name.c_str());
    }
  };
}

}  // namespace

napi_status js_getDeviceInfo(BridgeContext* ctx, const std::string& name,
                             const ResultHandler& on_result, const ErrorHandler& on_error) {
  return call_service(ctx, "getDeviceInfo", {text_arg(name)}, on_result, on_error);
}

napi_status js_getAppSinature(BridgeContext* ctx, const ResultHandler& on_result,
                              const ErrorHandler& on_error) {
  return call_service(ctx, "getAppSignature", {}, on_result, on_error);
}

napi_status js_getOaid(BridgeContext* ctx, const ResultHandler& on_result,
                       const ErrorHandler& on_error) {
  return call_service(ctx, "getOaid", {}, on_result, on_error);
}

napi_status js_getTimeInfo(BridgeContext* ctx, const ResultHandler& on_result,
                           const ErrorHandler& on_error) {
  return call_service(ctx, "getTimeInfo", {}, on_result, on_error);
}

napi_status js_OnSituationClientEvent(BridgeContext* ctx, const std::string& key, unsigned type,
                                      unsigned code, const std::string& text,
                                      const ResultHandler& on_result,
                                      const ErrorHandler& on_error) {
  return call_service(ctx, "onSituationClientEvent",
                      {text_arg(key), number_arg(type), number_arg(code), text_arg(text)},
                      on_result, on_error);
}

napi_status js_OnSituationServerEvent(BridgeContext* ctx, const std::string& key,
                                      const std::string& text, const ResultHandler& on_result,
                                      const ErrorHandler& on_error) {
  return call_service(ctx, "onSituationServerEvent", {text_arg(key), text_arg(text)}, on_result,
                      on_error);
}

napi_status js_post(BridgeContext* ctx, const std::string& url, const std::string& body,
                    const ResultHandler& on_result, const ErrorHandler& on_error) {
  return call_service(ctx, "post", {text_arg(url), bytes_arg(body)}, on_result, on_error);
}

napi_status js_pref_put(BridgeContext* ctx, const std::string& name, const std::string& value,
                        const ResultHandler& on_result, const ErrorHandler& on_error) {
  return call_service(ctx, "prefPut", {text_arg(name), text_arg(value)}, on_result, on_error);
}

napi_status js_pref_get(BridgeContext* ctx, const std::string& name, const ResultHandler& on_result,
                        const ErrorHandler& on_error) {
  return call_service(ctx, "prefGet", {text_arg(name)}, on_result, on_error);
}

std::string s_getDeviceInfo(BridgeContext* ctx, const std::string& name) {
  std::string result;
  js_getDeviceInfo(ctx, name, keep_text(&result), log_failure("get"));
  return result;
}

std::string s_getAppSignature(BridgeContext* ctx) {
  std::string result;
  js_getAppSinature(
      ctx,
      [&result](napi_env env, napi_value value) {
        result = js_to_string(env, value);
        log_message("%s ", result.c_str());
      },
      log_failure("get"));
  return result;
}

std::string s_getOaid(BridgeContext* ctx) {
  std::string result;
  js_getOaid(ctx, keep_text(&result), log_failure("getOaid"));
  return result;
}

std::string s_getTimeInfo(BridgeContext* ctx) {
  std::string result;
  js_getTimeInfo(ctx, keep_text(&result), log_failure("get"));
  return result;
}

void s_OnSituationClientEvent(BridgeContext* ctx, const std::string& key, unsigned type,
                              unsigned code, const std::string& text) {
  js_OnSituationClientEvent(ctx, key, type, code, text, ignore_result(), log_failure("get"));
}

void s_OnSituationServerEvent(BridgeContext* ctx, const std::string& key, const std::string& text) {
  js_OnSituationServerEvent(ctx, key, text, ignore_result(), log_failure("get"));
}

PostResponse s_post(BridgeContext* ctx, const std::string& url, const std::string& body,
                    size_t max_answer) {
  int64_t code = 0;
  std::optional<int32_t> rejected;
  std::string text;
  napi_status status = js_post(
      ctx, url, body,
      [&](napi_env env, napi_value response) {
        read_post_response(env, response, max_answer, &code, &text);
      },
      [&rejected](napi_env, int64_t error) {
        // A rejection is never reported as an HTTP status.
        rejected = rejection_status(error);
        log_message("http post error, err code %d", *rejected);
      });
  PostResponse response;
  if (status != napi_ok) {
    response.status_code = kPostCallFailed;
    return response;
  }
  response.status_code = rejected ? *rejected : low32(code);
  response.body = std::move(text);
  return response;
}

void s_pref_put(BridgeContext* ctx, const std::string& name, const std::string& value) {
  js_pref_put(ctx, name, value, check_stored(name), log_failure("set"));
}

std::string s_pref_get(BridgeContext* ctx, const std::string& name) {
  std::string stored;
  js_pref_get(ctx, name, keep_text(&stored), log_failure("get"));
  return stored;
}

std::vector<std::string> s_pref_get_each(BridgeContext* ctx,
                                         const std::vector<std::string>& names) {
  std::vector<std::string> stored(names.size());
  std::vector<ScriptCall> calls;
  if (!guarded_as("out of memory for a script call", [&] {
        for (size_t i = 0; i < names.size(); ++i) {
          calls.push_back(ScriptCall{service_caller("prefGet", {text_arg(names[i])}),
                                     keep_text(&stored[i]), log_failure("get")});
        }
      })) {
    return stored;  // every value "", as a failed read gives
  }
  js_call_api_sequence_blocking(ctx, calls);
  return stored;
}

void s_pref_put_each(BridgeContext* ctx,
                     const std::vector<std::pair<std::string, std::string>>& entries) {
  std::vector<ScriptCall> calls;
  if (!guarded_as("out of memory for a script call", [&] {
        for (const auto& entry : entries) {
          calls.push_back(
              ScriptCall{service_caller("prefPut", {text_arg(entry.first), text_arg(entry.second)}),
                         check_stored(entry.first), log_failure("set")});
        }
      })) {
    return;
  }
  js_call_api_sequence_blocking(ctx, calls);
}

}  // namespace risk
