// Test-only Node addon that drives the blocking calls and the script
// services from real native threads, for js/test/bridge.test.js. Not part of
// the library.
//
// Natives (all called on the script thread):
//   init(bridge) -> status                        init_bridge
//   captureLog() / takeLog() -> [lines]           every log line since the last take
//   onThread(op, ...args) -> Promise<outcome>     runs op on a new native thread
//   inline(op, ...args) -> outcome                runs op on the script thread
//   resolveOnThread(bytes) -> Promise<string>     js_resolve_deferred from a thread
//   lastThreadOutcome() -> outcome | undefined    outcome of the last thread that
//                                                 could not deliver it
//   handlerRuns() -> number                       handler calls so far (all ops)
//   callApi(bridge, name) -> status               call_js_api inline, counting handlers
//   (op "sequence": js_call_api_sequence_blocking, see perform)
//   setLongWait(ms)                               set_long_script_wait_for_testing
//   getInt64Property(o, name), getStringProperty(o, name), jsToString(v),
//   callJsMethod(o, name, ...strings), osVersion(bridge)
//   status: { name: number } of the napi_status values
// An outcome is { status, result?, bytes?, code?, results, errors, onScriptThread? }.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "bridge/bridge_js_native.h"
#include "bridge/napi_helpers.h"
#include "bridge/script_thread.h"
#include "bridge/testing/addon.h"

namespace {

using risk::ApiCall;
using risk::testing::CaptureLog;
using risk::testing::start_thread;
using risk::testing::TakeLog;

std::atomic<int> g_handler_runs{0};
std::atomic<pid_t> g_script_tid{0};

// The largest post answer these tests take: more than any of them sends
// (the library's own limit belongs to the core, see HarmonyRiskSdk::post).
constexpr size_t kMaxTestAnswer = 16u << 20;

// One request for an operation, parsed on the script thread.
struct Request {
  risk::BridgeContext* bridge = nullptr;  // of the calling environment
  std::string op;
  std::vector<std::string> texts;  // string arguments (ArrayBuffer/Buffer as bytes)
  std::vector<int64_t> numbers;    // number arguments, in order
};

struct Outcome {
  napi_status status = napi_ok;
  bool has_result = false;
  std::string result;
  bool has_bytes = false;
  std::string bytes;
  bool has_code = false;
  int64_t code = 0;
  int results = 0;
  int errors = 0;
  int on_script_thread = -1;  // -1: not measured
};

risk::Mutex& g_last_mutex = *new risk::Mutex;
std::unique_ptr<Outcome>& g_last_outcome GUARDED_BY(g_last_mutex) = *new std::unique_ptr<Outcome>;

std::string text_arg(const Request& r, size_t i) { return i < r.texts.size() ? r.texts[i] : ""; }
int64_t number_arg(const Request& r, size_t i) { return i < r.numbers.size() ? r.numbers[i] : 0; }

// Runs one operation on the calling thread.
Outcome perform(const Request& r) {
  Outcome out;
  auto on_result = [&out](napi_env env, napi_value value) {
    ++g_handler_runs;
    ++out.results;
    out.has_result = true;
    out.result = risk::js_to_string(env, value);
  };
  auto on_error = [&out](napi_env, int64_t code) {
    ++g_handler_runs;
    ++out.errors;
    out.has_code = true;
    out.code = code;
  };
  if (r.op == "sleepThen") {
    // A thread that works a while before it needs the script thread.
    std::this_thread::sleep_for(std::chrono::milliseconds(number_arg(r, 0)));
    out.status = napi_ok;
    out.has_result = true;
    out.result = risk::s_getOaid(r.bridge);
  } else if (r.op == "call") {
    // call(name, ...string args)
    const std::vector<std::string>& t = r.texts;
    out.status = risk::js_call_api_promise_blocking(
        r.bridge,
        [&t](napi_env env, const ApiCall& call) {
          std::vector<napi_value> argv(t.size() > 1 ? t.size() - 1 : 0);
          for (size_t i = 1; i < t.size(); ++i) {
            napi_status s = napi_create_string_utf8(env, t[i].data(), t[i].size(), &argv[i - 1]);
            if (s != napi_ok) return s;
          }
          return call(t.empty() ? "" : t[0].c_str(), argv.size(), argv.data());
        },
        on_result, on_error);
  } else if (r.op == "sequence") {
    // sequence(...names): one call of each named function, with its index
    // as its one argument, through js_call_api_sequence_blocking. result:
    // "<status>:<answer text, or ! and the rejection code>" per call,
    // joined by "|".
    const size_t n = r.texts.size();
    std::vector<std::string> answers(n);
    std::vector<std::string> indexes(n);
    std::vector<risk::ScriptCall> calls;
    for (size_t i = 0; i < n; ++i) {
      indexes[i] = std::to_string(i);
      const std::string& name = r.texts[i];
      const std::string& index = indexes[i];
      std::string& answer = answers[i];
      calls.push_back(risk::ScriptCall{[&name, &index](napi_env env, const ApiCall& call) {
                                         napi_value arg = nullptr;
                                         napi_status s = napi_create_string_utf8(
                                             env, index.data(), index.size(), &arg);
                                         if (s != napi_ok) return s;
                                         return call(name.c_str(), 1, &arg);
                                       },
                                       [&out, &answer](napi_env env, napi_value value) {
                                         ++g_handler_runs;
                                         ++out.results;
                                         answer = risk::js_to_string(env, value);
                                       },
                                       [&out, &answer](napi_env, int64_t code) {
                                         ++g_handler_runs;
                                         ++out.errors;
                                         answer = "!" + std::to_string(code);
                                       }});
    }
    risk::js_call_api_sequence_blocking(r.bridge, calls);
    out.has_result = true;
    for (size_t i = 0; i < n; ++i) {
      if (i > 0) out.result += "|";
      out.result += std::to_string(calls[i].status) + ":" + answers[i];
    }
  } else if (r.op == "notCalled") {
    const auto status = static_cast<napi_status>(number_arg(r, 0));
    out.status = risk::js_call_api_promise_blocking(
        r.bridge, [status](napi_env, const ApiCall&) { return status; }, on_result, on_error);
  } else if (r.op == "task") {
    // A task that reports where it ran and whether it got the bridge object.
    const auto status = static_cast<napi_status>(number_arg(r, 0));
    out.status = risk::run_in_main_thread_blocking(
        r.bridge, [&out, status](napi_env env, napi_value bridge) {
          out.on_script_thread = gettid() == g_script_tid.load() ? 1 : 0;
          napi_valuetype type = napi_undefined;
          napi_typeof(env, bridge, &type);
          out.has_result = true;
          out.result = type == napi_object ? "object" : "other";
          return status;
        });
  } else if (r.op == "getDeviceInfo") {
    out.has_result = true;
    out.result = risk::s_getDeviceInfo(r.bridge, text_arg(r, 0));
  } else if (r.op == "getAppSignature") {
    out.has_result = true;
    out.result = risk::s_getAppSignature(r.bridge);
  } else if (r.op == "getOaid") {
    out.has_result = true;
    out.result = risk::s_getOaid(r.bridge);
  } else if (r.op == "getTimeInfo") {
    out.has_result = true;
    out.result = risk::s_getTimeInfo(r.bridge);
  } else if (r.op == "clientEvent") {
    risk::s_OnSituationClientEvent(r.bridge, text_arg(r, 0),
                                   static_cast<unsigned>(number_arg(r, 0)),
                                   static_cast<unsigned>(number_arg(r, 1)), text_arg(r, 1));
  } else if (r.op == "serverEvent") {
    risk::s_OnSituationServerEvent(r.bridge, text_arg(r, 0), text_arg(r, 1));
  } else if (r.op == "post") {
    risk::PostResponse response =
        risk::s_post(r.bridge, text_arg(r, 0), text_arg(r, 1), kMaxTestAnswer);
    out.has_code = true;
    out.code = response.status_code;
    out.has_bytes = true;
    out.bytes = response.body;
  } else if (r.op == "prefPut") {
    risk::s_pref_put(r.bridge, text_arg(r, 0), text_arg(r, 1));
  } else if (r.op == "prefGet") {
    out.has_result = true;
    out.result = risk::s_pref_get(r.bridge, text_arg(r, 0));
  } else {
    out.status = napi_invalid_arg;
  }
  return out;
}

napi_value make_outcome(napi_env env, const Outcome& o) {
  napi_value obj = nullptr;
  napi_create_object(env, &obj);
  auto set = [&](const char* name, napi_value v) { napi_set_named_property(env, obj, name, v); };
  napi_value v = nullptr;
  napi_create_int32(env, o.status, &v);
  set("status", v);
  if (o.has_result) {
    napi_create_string_utf8(env, o.result.data(), o.result.size(), &v);
    set("result", v);
  }
  if (o.has_bytes) {
    void* data = nullptr;
    napi_create_arraybuffer(env, o.bytes.size(), &data, &v);
    if (!o.bytes.empty()) std::memcpy(data, o.bytes.data(), o.bytes.size());
    set("bytes", v);
  }
  if (o.has_code) {
    napi_create_int64(env, o.code, &v);
    set("code", v);
  }
  napi_create_int32(env, o.results, &v);
  set("results", v);
  napi_create_int32(env, o.errors, &v);
  set("errors", v);
  if (o.on_script_thread >= 0) {
    napi_get_boolean(env, o.on_script_thread == 1, &v);
    set("onScriptThread", v);
  }
  return obj;
}

// Reads (op, ...args): strings and byte buffers into texts, numbers into numbers.
Request read_request(napi_env env, napi_callback_info info) {
  size_t argc = 8;
  napi_value argv[8];
  napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr);
  Request r;
  r.bridge = risk::bridge_context(env);
  for (size_t i = 0; i < argc && i < 8; ++i) {
    napi_valuetype type = napi_undefined;
    napi_typeof(env, argv[i], &type);
    if (i == 0) {
      r.op = risk::js_to_string(env, argv[i]);
    } else if (type == napi_number) {
      int64_t n = 0;
      napi_get_value_int64(env, argv[i], &n);
      r.numbers.push_back(n);
    } else if (type == napi_string) {
      r.texts.push_back(risk::js_to_string(env, argv[i]));
    } else {
      bool is_buffer = false;
      napi_is_buffer(env, argv[i], &is_buffer);
      void* data = nullptr;
      size_t length = 0;
      if (is_buffer && napi_get_buffer_info(env, argv[i], &data, &length) == napi_ok) {
        r.texts.emplace_back(static_cast<const char*>(data), length);
      }
    }
  }
  return r;
}

napi_value Init(napi_env env, napi_callback_info info) {
  size_t argc = 1;
  napi_value bridge = nullptr;
  napi_get_cb_info(env, info, &argc, &bridge, nullptr, nullptr);
  g_script_tid = gettid();
  napi_value result = nullptr;
  napi_create_int32(env, risk::init_bridge(env, bridge), &result);
  return result;
}

napi_value OnThread(napi_env env, napi_callback_info info) {
  Request request = read_request(env, info);
  napi_deferred deferred = nullptr;
  napi_value promise = nullptr;
  if (napi_create_promise(env, &deferred, &promise) != napi_ok) return nullptr;
  bool started = start_thread(env, [request, deferred] {
    auto outcome = std::make_shared<Outcome>(perform(request));
    napi_status delivered = risk::run_in_main_thread_blocking(
        request.bridge, [outcome, deferred](napi_env e, napi_value) {
          return napi_resolve_deferred(e, deferred, make_outcome(e, *outcome));
        });
    if (delivered != napi_ok) {
      // The script side is gone: keep the outcome for lastThreadOutcome().
      risk::MutexLock lock(&g_last_mutex);
      g_last_outcome = std::make_unique<Outcome>(*outcome);
      g_last_outcome->has_code = true;
      g_last_outcome->code = delivered;
    }
  });
  return started ? promise : nullptr;
}

napi_value Inline(napi_env env, napi_callback_info info) {
  return make_outcome(env, perform(read_request(env, info)));
}

napi_value ResolveOnThread(napi_env env, napi_callback_info info) {
  Request request = read_request(env, info);  // (ignored op, bytes)
  napi_deferred deferred = nullptr;
  napi_value promise = nullptr;
  if (napi_create_promise(env, &deferred, &promise) != napi_ok) return nullptr;
  std::string text = text_arg(request, 0);
  risk::BridgeContext* bridge = request.bridge;
  bool started = start_thread(
      env, [bridge, text, deferred] { risk::js_resolve_deferred(bridge, deferred, text); });
  return started ? promise : nullptr;
}

napi_value LastThreadOutcome(napi_env env, napi_callback_info /*info*/) {
  risk::MutexLock lock(&g_last_mutex);
  if (!g_last_outcome) return nullptr;
  return make_outcome(env, *g_last_outcome);
}

napi_value HandlerRuns(napi_env env, napi_callback_info /*info*/) {
  napi_value v = nullptr;
  napi_create_int32(env, g_handler_runs.load(), &v);
  return v;
}

// callApi(bridge, name): call_js_api on the script thread with handlers that
// count their runs (handlerRuns), as a promise answer's callbacks reach them.
napi_value CallApi(napi_env env, napi_callback_info info) {
  size_t argc = 2;
  napi_value argv[2] = {nullptr, nullptr};
  napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr);
  const std::string name = risk::js_to_string(env, argv[1]);
  napi_status status = risk::call_js_api(
      env, argv[0], name.c_str(), 0, nullptr, [](napi_env, napi_value) { ++g_handler_runs; },
      [](napi_env, int64_t) { ++g_handler_runs; });
  napi_value v = nullptr;
  napi_create_int32(env, status, &v);
  return v;
}

// setLongWait(ms): the wait after which a blocking call names its function.
napi_value SetLongWait(napi_env env, napi_callback_info info) {
  size_t argc = 1;
  napi_value arg = nullptr;
  napi_get_cb_info(env, info, &argc, &arg, nullptr, nullptr);
  int64_t ms = 0;
  napi_get_value_int64(env, arg, &ms);
  risk::set_long_script_wait_for_testing(ms);
  return nullptr;
}

napi_value PropertyOutcome(napi_env env, napi_status status, napi_value value) {
  napi_value obj = nullptr;
  napi_create_object(env, &obj);
  napi_value s = nullptr;
  napi_create_int32(env, status, &s);
  napi_set_named_property(env, obj, "status", s);
  if (value != nullptr) napi_set_named_property(env, obj, "value", value);
  return obj;
}

napi_value GetInt64Property(napi_env env, napi_callback_info info) {
  size_t argc = 2;
  napi_value argv[2] = {nullptr, nullptr};
  napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr);
  napi_valuetype type = napi_undefined;
  napi_typeof(env, argv[0], &type);
  // A JS null stands for the null handle.
  napi_value object = type == napi_null ? nullptr : argv[0];
  int64_t out = -1;
  napi_status status =
      risk::get_int64_property(env, object, risk::js_to_string(env, argv[1]).c_str(), &out);
  napi_value value = nullptr;
  napi_create_int64(env, out, &value);
  return PropertyOutcome(env, status, value);
}

napi_value GetStringProperty(napi_env env, napi_callback_info info) {
  size_t argc = 2;
  napi_value argv[2] = {nullptr, nullptr};
  napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr);
  napi_valuetype type = napi_undefined;
  napi_typeof(env, argv[0], &type);
  napi_value object = type == napi_null ? nullptr : argv[0];
  std::string out = "unchanged";
  napi_status status =
      risk::get_string_property(env, object, risk::js_to_string(env, argv[1]).c_str(), &out);
  napi_value value = nullptr;
  napi_create_string_utf8(env, out.data(), out.size(), &value);
  return PropertyOutcome(env, status, value);
}

napi_value JsToString(napi_env env, napi_callback_info info) {
  size_t argc = 1;
  napi_value arg = nullptr;
  napi_get_cb_info(env, info, &argc, &arg, nullptr, nullptr);
  std::string text = risk::js_to_string(env, arg);
  napi_value result = nullptr;
  napi_create_buffer_copy(env, text.size(), text.data(), nullptr, &result);
  return result;
}

napi_value CallJsMethod(napi_env env, napi_callback_info info) {
  size_t argc = 6;
  napi_value argv[6];
  napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr);
  if (argc < 2) return nullptr;
  napi_value result = nullptr;
  napi_status status = risk::call_js_method(env, argv[0], risk::js_to_string(env, argv[1]).c_str(),
                                            argc - 2, argv + 2, &result);
  bool pending = false;
  napi_is_exception_pending(env, &pending);
  if (pending) {
    napi_value ignored = nullptr;
    napi_get_and_clear_last_exception(env, &ignored);
  }
  return PropertyOutcome(env, status, status == napi_ok ? result : nullptr);
}

napi_value OsVersion(napi_env env, napi_callback_info info) {
  size_t argc = 1;
  napi_value bridge = nullptr;
  napi_get_cb_info(env, info, &argc, &bridge, nullptr, nullptr);
  std::string text = risk::get_os_version(env, bridge);
  napi_value result = nullptr;
  napi_create_string_utf8(env, text.data(), text.size(), &result);
  return result;
}

napi_value StatusTable(napi_env env) {
  static const struct {
    const char* name;
    napi_status value;
  } kStatuses[] = {
      {"ok", napi_ok},
      {"invalid_arg", napi_invalid_arg},
      {"object_expected", napi_object_expected},
      {"function_expected", napi_function_expected},
      {"generic_failure", napi_generic_failure},
      {"pending_exception", napi_pending_exception},
      {"closing", napi_closing},
      {"would_deadlock", napi_would_deadlock},
  };
  napi_value table = nullptr;
  napi_create_object(env, &table);
  for (const auto& s : kStatuses) {
    napi_value v = nullptr;
    napi_create_int32(env, s.value, &v);
    napi_set_named_property(env, table, s.name, v);
  }
  return table;
}

}  // namespace

NAPI_MODULE_INIT() {
  const struct {
    const char* name;
    napi_callback callback;
  } kNatives[] = {
      {"init", Init},
      {"captureLog", CaptureLog},
      {"takeLog", TakeLog},
      {"onThread", OnThread},
      {"inline", Inline},
      {"resolveOnThread", ResolveOnThread},
      {"lastThreadOutcome", LastThreadOutcome},
      {"handlerRuns", HandlerRuns},
      {"callApi", CallApi},
      {"setLongWait", SetLongWait},
      {"getInt64Property", GetInt64Property},
      {"getStringProperty", GetStringProperty},
      {"jsToString", JsToString},
      {"callJsMethod", CallJsMethod},
      {"osVersion", OsVersion},
  };
  for (const auto& native : kNatives) {
    napi_value fn = nullptr;
    napi_create_function(env, native.name, NAPI_AUTO_LENGTH, native.callback, nullptr, &fn);
    napi_set_named_property(env, exports, native.name, fn);
  }
  napi_set_named_property(env, exports, "status", StatusTable(env));
  return exports;
}
