// Test-only Node addon that drives HarmonyRiskSdk and HarmonyRiskApp for
// js/test/platform.test.js. Not part of the library.
//
// Natives (all called on the script thread):
//   init(bridge) -> status                         init_bridge
//   captureLog() / takeLog() -> [lines]            log lines since the last take
//   makeSdk(bridge, appInfo, deviceInfo) -> id     new SDK: initialize + set_facts(read_facts)
//   setup(bridge, appInfo, deviceInfo) -> { ok, id } new SDK: initialize + setup
//   facts(id) -> { appName, appVersionCode, appVersionName, osVersion, osType,
//                  sdkVersion, deviceProperties: { key: JSON text } }
//   setAppName(id, name)                           the facts handed over again, renamed
//   propertyKey(appName, name) / sealProperty(appName, name, value) /
//   openProperty(appName, name, stored) -> Buffer (bytes of the result)
//   setPropertyInline(id, name, value)             set_sdk_property on this thread
//   situationFields(id, key, state, ulvok, expiresAt) -> string
//   sendEvent(event, code, message)                through the process sink
//   onThread(op, id, ...args) -> Promise<result>   op on a new native thread:
//     "getProperty"(name) -> Buffer; "setProperty"(name, value) -> undefined;
//     "post"(url, body) -> { status, body: Buffer }; "clientEvent"(key, type,
//     code, text) and "serverEvent"(key, text) -> undefined;
//     "businessSignFields"(key, params as JSON object text) -> { field: Buffer };
//     "collect"(key, params as JSON object text) -> { data key: Buffer }
#include <cstdint>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "base/types.h"
#include "bridge/bridge_js_native.h"
#include "bridge/napi_helpers.h"
#include "bridge/testing/addon.h"
#include "crypto/json/json11.h"
#include "platform/harmony_app.h"
#include "platform/harmony_sdk.h"
#include "situation/event_list.h"

namespace {

using risk::HarmonyRiskApp;
using risk::HarmonyRiskSdk;
using risk::StringMap;
using risk::testing::CaptureLog;
using risk::testing::TakeLog;

// The SDKs made here, by id. Leaked on purpose: the SDKs are never
// destroyed while their threads may run.
struct SdkTable {
  risk::Mutex mutex;
  std::vector<HarmonyRiskSdk*> sdks GUARDED_BY(mutex);
};
SdkTable& g_sdk_table = *new SdkTable;

template <size_t N>
void read_args(napi_env env, napi_callback_info info, napi_value (&argv)[N], size_t* count) {
  size_t argc = N;
  for (napi_value& arg : argv) arg = nullptr;
  napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr);
  napi_value undefined = nullptr;
  napi_get_undefined(env, &undefined);
  for (size_t i = argc; i < N; ++i) argv[i] = undefined;
  if (count != nullptr) *count = argc;
}

// A string argument, or the bytes of a Buffer argument.
std::string bytes_arg(napi_env env, napi_value value) {
  bool is_buffer = false;
  napi_is_buffer(env, value, &is_buffer);
  if (is_buffer) {
    void* data = nullptr;
    size_t length = 0;
    if (napi_get_buffer_info(env, value, &data, &length) == napi_ok) {
      return std::string(static_cast<const char*>(data), length);
    }
  }
  return risk::js_to_string(env, value);
}

int64_t int_arg(napi_env env, napi_value value) {
  int64_t n = 0;
  napi_get_value_int64(env, value, &n);
  return n;
}

napi_value make_buffer(napi_env env, const std::string& bytes) {
  napi_value buffer = nullptr;
  napi_create_buffer_copy(env, bytes.size(), bytes.data(), nullptr, &buffer);
  return buffer;
}

napi_value make_string(napi_env env, const std::string& text) {
  napi_value value = nullptr;
  napi_create_string_utf8(env, text.data(), text.size(), &value);
  return value;
}

napi_value make_number(napi_env env, int64_t n) {
  napi_value value = nullptr;
  napi_create_int64(env, n, &value);
  return value;
}

HarmonyRiskSdk* sdk_arg(napi_env env, napi_value value) {
  const int64_t id = int_arg(env, value);
  risk::MutexLock lock(&g_sdk_table.mutex);
  if (id < 0 || static_cast<size_t>(id) >= g_sdk_table.sdks.size()) return nullptr;
  return g_sdk_table.sdks[static_cast<size_t>(id)];
}

HarmonyRiskSdk* new_sdk(int64_t* id) {
  auto* sdk = new HarmonyRiskSdk();
  sdk->initialize();
  risk::MutexLock lock(&g_sdk_table.mutex);
  *id = static_cast<int64_t>(g_sdk_table.sdks.size());
  g_sdk_table.sdks.push_back(sdk);
  return sdk;
}

napi_value Init(napi_env env, napi_callback_info info) {
  napi_value argv[1];
  read_args(env, info, argv, nullptr);
  return make_number(env, risk::init_bridge(env, argv[0]));
}

napi_value MakeSdk(napi_env env, napi_callback_info info) {
  napi_value argv[3];
  read_args(env, info, argv, nullptr);
  int64_t id = 0;
  HarmonyRiskSdk* sdk = new_sdk(&id);
  sdk->set_bridge(risk::bridge_context(env));
  sdk->set_facts(HarmonyRiskSdk::read_facts(env, argv[0], argv[1], argv[2]));
  return make_number(env, id);
}

napi_value Setup(napi_env env, napi_callback_info info) {
  napi_value argv[3];
  read_args(env, info, argv, nullptr);
  int64_t id = 0;
  HarmonyRiskSdk* sdk = new_sdk(&id);
  napi_value ok = nullptr;
  napi_get_boolean(env, sdk->setup(env, argv[0], argv[1], argv[2]), &ok);
  napi_value result = nullptr;
  napi_create_object(env, &result);
  napi_set_named_property(env, result, "ok", ok);
  napi_set_named_property(env, result, "id", make_number(env, id));
  return result;
}

napi_value Facts(napi_env env, napi_callback_info info) {
  napi_value argv[1];
  read_args(env, info, argv, nullptr);
  HarmonyRiskSdk* sdk = sdk_arg(env, argv[0]);
  if (sdk == nullptr) return nullptr;
  napi_value out = nullptr;
  napi_create_object(env, &out);
  const risk::SdkFacts& facts = sdk->facts();
  napi_set_named_property(env, out, "appName", make_string(env, facts.app_name));
  napi_set_named_property(env, out, "appVersionCode", make_number(env, facts.app_version_code));
  napi_set_named_property(env, out, "appVersionName", make_string(env, facts.app_version_name));
  napi_set_named_property(env, out, "osVersion", make_string(env, facts.os_version));
  napi_set_named_property(env, out, "osType", make_number(env, facts.os_type));
  napi_set_named_property(env, out, "sdkVersion", make_string(env, facts.sdk_version));
  napi_value props = nullptr;
  napi_create_object(env, &props);
  for (const auto& entry : sdk->device_properties()) {
    napi_set_named_property(env, props, entry.first.c_str(), make_string(env, entry.second.dump()));
  }
  napi_set_named_property(env, out, "deviceProperties", props);
  return out;
}

napi_value SetAppName(napi_env env, napi_callback_info info) {
  napi_value argv[2];
  read_args(env, info, argv, nullptr);
  HarmonyRiskSdk* sdk = sdk_arg(env, argv[0]);
  if (sdk == nullptr) return nullptr;
  risk::HarmonyFacts facts = sdk->harmony_facts();
  facts.sdk.app_name = bytes_arg(env, argv[1]);
  sdk->set_facts(std::move(facts));
  return nullptr;
}

napi_value PropertyKey(napi_env env, napi_callback_info info) {
  napi_value argv[2];
  read_args(env, info, argv, nullptr);
  return make_buffer(env, risk::property_key(bytes_arg(env, argv[0]), bytes_arg(env, argv[1])));
}

napi_value SealProperty(napi_env env, napi_callback_info info) {
  napi_value argv[3];
  read_args(env, info, argv, nullptr);
  return make_buffer(env, risk::seal_property(bytes_arg(env, argv[0]), bytes_arg(env, argv[1]),
                                              bytes_arg(env, argv[2])));
}

napi_value OpenProperty(napi_env env, napi_callback_info info) {
  napi_value argv[3];
  read_args(env, info, argv, nullptr);
  return make_buffer(env, risk::open_property(bytes_arg(env, argv[0]), bytes_arg(env, argv[1]),
                                              bytes_arg(env, argv[2])));
}

napi_value SetPropertyInline(napi_env env, napi_callback_info info) {
  napi_value argv[3];
  read_args(env, info, argv, nullptr);
  HarmonyRiskSdk* sdk = sdk_arg(env, argv[0]);
  if (sdk != nullptr) sdk->set_sdk_property(bytes_arg(env, argv[1]), bytes_arg(env, argv[2]));
  return nullptr;
}

napi_value SituationFields(napi_env env, napi_callback_info info) {
  napi_value argv[5];
  read_args(env, info, argv, nullptr);
  HarmonyRiskSdk* sdk = sdk_arg(env, argv[0]);
  if (sdk == nullptr) return nullptr;
  risk::RiskApp* app = sdk->get_app(bytes_arg(env, argv[1]));
  if (app == nullptr) return nullptr;
  risk::TokenRecord record;
  record.state = static_cast<risk::TokenState>(int_arg(env, argv[2]));
  record.ulvok = bytes_arg(env, argv[3]);
  record.expires_at = int_arg(env, argv[4]);
  return make_string(env, app->situation_fields(record));
}

napi_value SendEvent(napi_env env, napi_callback_info info) {
  napi_value argv[3];
  read_args(env, info, argv, nullptr);
  const std::string message = bytes_arg(env, argv[2]);
  risk::send_event(static_cast<uint32_t>(int_arg(env, argv[0])),
                   static_cast<uint32_t>(int_arg(env, argv[1])), message.c_str());
  return nullptr;
}

// What a thread operation hands back to the script.
struct ThreadResult {
  enum Kind { NOTHING, BYTES, POST, FIELDS } kind = NOTHING;
  std::string bytes;
  int32_t status = 0;
  StringMap fields;
};

napi_value to_js(napi_env env, const ThreadResult& result) {
  switch (result.kind) {
    case ThreadResult::BYTES:
      return make_buffer(env, result.bytes);
    case ThreadResult::POST: {
      napi_value out = nullptr;
      napi_create_object(env, &out);
      napi_set_named_property(env, out, "status", make_number(env, result.status));
      napi_set_named_property(env, out, "body", make_buffer(env, result.bytes));
      return out;
    }
    case ThreadResult::FIELDS: {
      napi_value out = nullptr;
      napi_create_object(env, &out);
      for (const auto& entry : result.fields) {
        napi_set_named_property(env, out, entry.first.c_str(), make_buffer(env, entry.second));
      }
      return out;
    }
    case ThreadResult::NOTHING:
      break;
  }
  napi_value undefined = nullptr;
  napi_get_undefined(env, &undefined);
  return undefined;
}

napi_value OnThread(napi_env env, napi_callback_info info) {
  napi_value argv[8];
  size_t argc = 0;
  read_args(env, info, argv, &argc);
  const std::string op = risk::js_to_string(env, argv[0]);
  HarmonyRiskSdk* sdk = sdk_arg(env, argv[1]);
  std::vector<std::string> args;
  for (size_t i = 2; i < argc && i < 8; ++i) args.push_back(bytes_arg(env, argv[i]));
  args.resize(6);
  if (sdk == nullptr) {
    napi_throw_error(env, nullptr, "unknown sdk id");
    return nullptr;
  }
  napi_deferred deferred = nullptr;
  napi_value promise = nullptr;
  napi_create_promise(env, &deferred, &promise);

  auto run = [op, sdk, args]() {
    ThreadResult r;
    if (op == "getProperty") {
      r.kind = ThreadResult::BYTES;
      r.bytes = sdk->get_sdk_property(args[0]);
    } else if (op == "setProperty") {
      sdk->set_sdk_property(args[0], args[1]);
    } else if (op == "post") {
      std::unique_ptr<risk::PostResponse> response = sdk->post(args[0], args[1]);
      r.kind = ThreadResult::POST;
      r.status = response->status_code;
      r.bytes = response->body;
    } else if (op == "clientEvent") {
      sdk->get_app(args[0])->on_client_event(static_cast<uint32_t>(std::stoul(args[1])),
                                             static_cast<uint32_t>(std::stoul(args[2])), args[3]);
    } else if (op == "serverEvent") {
      sdk->get_app(args[0])->on_server_event(args[1]);
    } else if (op == "businessSignFields" || op == "collect") {
      StringMap params;
      std::string error;
      const json11::Json object = json11::Json::parse(args[1], error);
      for (const auto& member : object.object_items()) {
        params[member.first] = member.second.string_value();
      }
      r.kind = ThreadResult::FIELDS;
      risk::RiskApp* app = sdk->get_app(args[0]);
      if (op == "collect") {
        sdk->collect(*app, params, r.fields);
      } else {
        app->business_sign_fields("", params, r.fields);
      }
    }
    return r;
  };

  risk::BridgeContext* bridge = risk::bridge_context(env);
  auto resolve = [run, deferred, bridge]() {
    auto result = std::make_shared<ThreadResult>(run());
    risk::run_in_main_thread_blocking(bridge, [result, deferred](napi_env env, napi_value) {
      return napi_resolve_deferred(env, deferred, to_js(env, *result));
    });
  };
  if (!risk::testing::start_thread(env, resolve)) return nullptr;
  return promise;
}

}  // namespace

NAPI_MODULE_INIT() {
  const napi_property_descriptor natives[] = {
      {"init", nullptr, Init, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"captureLog", nullptr, CaptureLog, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"takeLog", nullptr, TakeLog, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"makeSdk", nullptr, MakeSdk, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"setup", nullptr, Setup, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"facts", nullptr, Facts, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"setAppName", nullptr, SetAppName, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"propertyKey", nullptr, PropertyKey, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"sealProperty", nullptr, SealProperty, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"openProperty", nullptr, OpenProperty, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"setPropertyInline", nullptr, SetPropertyInline, nullptr, nullptr, nullptr, napi_default,
       nullptr},
      {"situationFields", nullptr, SituationFields, nullptr, nullptr, nullptr, napi_default,
       nullptr},
      {"sendEvent", nullptr, SendEvent, nullptr, nullptr, nullptr, napi_default, nullptr},
      {"onThread", nullptr, OnThread, nullptr, nullptr, nullptr, napi_default, nullptr},
  };
  napi_define_properties(env, exports, sizeof(natives) / sizeof(natives[0]), natives);
  return exports;
}
