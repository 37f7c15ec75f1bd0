// The module the script layer loads: its record, its export function, the
// nine natives, the helpers that turn script arguments into core values, and
// the process-wide registry of SDK objects behind the numeric handles.
//
// Every native runs on the script thread. The promise natives
// ("getTokenNative", "getDegradeTokenNative", "getBusinessSignNative") start
// one detached worker thread per call; the worker holds a pass of its SDK's
// ThreadGate and a script-thread hold (so the host does not end while it
// runs), runs the core operation, resolves the promise through the script
// thread and ends. Promises are only ever resolved, never rejected.
//
// Nothing leaves a native or a worker as a C++ exception: natives catch,
// log and return undefined; workers catch, log and resolve with "". The only
// JS errors thrown are "RiskSdk is null, please call setup first." (unknown
// handle) and "thread constructor failed" (no worker thread could be
// started; the promise is then settled with "" and not returned).
#include <cinttypes>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "bridge/bridge_js_native.h"
#include "bridge/host.h"
#include "bridge/log.h"
#include "core/risk_sdk.h"
#include "core/types.h"
#include "platform/harmony_app.h"
#include "platform/harmony_sdk.h"
#include "situation/event_list.h"

namespace risk {

namespace {

constexpr char kNoSdkMessage[] = "RiskSdk is null, please call setup first.";
constexpr char kThreadFailedMessage[] = "thread constructor failed";

// The SDK objects made by "setupNative", by address. Entries are never
// removed and the objects are never destroyed while the process lives.
class SdkRegistry {
 public:
  void insert(HarmonyRiskSdk* sdk) {
    std::lock_guard<std::mutex> lock(mutex_);
    sdks_.insert(reinterpret_cast<uintptr_t>(sdk));
  }

  // The SDK at address, or null when address is not one of ours.
  HarmonyRiskSdk* find(uintptr_t address) {
    std::lock_guard<std::mutex> lock(mutex_);
    return sdks_.count(address) != 0 ? reinterpret_cast<HarmonyRiskSdk*>(address) : nullptr;
  }

 private:
  std::mutex mutex_;
  std::set<uintptr_t> sdks_;  // guarded by mutex_
};

SdkRegistry g_registry;

napi_value undefined_value(napi_env env) {
  napi_value value = nullptr;
  napi_get_undefined(env, &value);
  return value;
}

napi_value js_string(napi_env env, const std::string& text) {
  napi_value value = nullptr;
  napi_create_string_utf8(env, text.data(), text.size(), &value);
  return value;
}

// Reads up to N arguments; the missing ones are undefined.
template <size_t N>
void read_args(napi_env env, napi_callback_info info, napi_value (&argv)[N]) {
  size_t argc = N;
  for (napi_value& arg : argv) arg = nullptr;
  napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr);
  for (size_t i = argc; i < N; ++i) argv[i] = undefined_value(env);
}

// Runs a native's body; a C++ exception becomes a log line and undefined.
template <typename Body>
napi_value guarded(napi_env env, const char* name, Body body) {
  try {
    return body();
  } catch (const std::exception& e) {
    log_message("native %s failed: %s", name, e.what());
  } catch (...) {
    log_message("native %s failed: unknown exception", name);
  }
  return undefined_value(env);
}

}  // namespace

// ---------------------------------------------------------------------------
// Argument helpers.

StringMap pairs_to_map(napi_env env, napi_value array) {
  StringMap map;
  uint32_t length = 0;
  if (array == nullptr || napi_get_array_length(env, array, &length) != napi_ok) return map;
  for (uint32_t i = 0; i < length; i += 2) {
    napi_handle_scope scope = nullptr;
    napi_open_handle_scope(env, &scope);
    napi_value key = nullptr;
    napi_value value = nullptr;
    napi_get_element(env, array, i, &key);
    // With an odd length the last key reads the missing element: "".
    if (i + 1 < length) napi_get_element(env, array, i + 1, &value);
    // emplace keeps the first occurrence of a key.
    map.emplace(js_to_string(env, key), value != nullptr ? js_to_string(env, value) : "");
    napi_close_handle_scope(env, scope);
  }
  return map;
}

HarmonyRiskSdk* find_sdk(napi_env env, napi_value handle) {
  int64_t address = 0;
  if (napi_get_value_int64(env, handle, &address) != napi_ok) address = 0;
  if (address == 0) return nullptr;
  return g_registry.find(static_cast<uintptr_t>(address));
}

// Throws kNoSdkMessage into the script when the handle is unknown.
RiskApp* find_app(napi_env env, napi_value handle, napi_value key) {
  HarmonyRiskSdk* sdk = find_sdk(env, handle);
  if (sdk == nullptr) {
    napi_throw_error(env, nullptr, kNoSdkMessage);
    return nullptr;
  }
  return sdk->get_app(js_to_string(env, key));
}

namespace {

// The core operation of a promise native, run on its worker thread.
using WorkerOperation = std::function<std::string()>;

// Starts the worker of a promise native for app; returns the promise, or
// null after throwing kThreadFailedMessage into the script.
napi_value start_worker(napi_env env, const char* name, RiskApp* app, napi_deferred deferred,
                        napi_value promise, WorkerOperation operation) {
  ThreadGate::Pass pass = app->sdk()->thread_gate().enter();
  if (!pass) {
    // The SDK is being destroyed: nothing may start on it.
    napi_resolve_deferred(env, deferred, js_string(env, ""));
    return promise;
  }
  BridgeContext* hold = acquire_script_hold();
  try {
    std::thread([name, deferred, hold, pass = std::move(pass),
                 operation = std::move(operation)]() mutable {
      std::string result;
      try {
        result = operation();
      } catch (const std::exception& e) {
        log_message("%s worker failed: %s", name, e.what());
      } catch (...) {
        log_message("%s worker failed: unknown exception", name);
      }
      pass.release();
      try {
        js_resolve_deferred(deferred, result);
      } catch (const std::exception& e) {
        log_message("%s worker cannot resolve: %s", name, e.what());
      }
      release_script_hold(hold);
    }).detach();
  } catch (const std::system_error& e) {
    // The pass went with the thread's state; the hold is still ours.
    log_message("%s: %s: %s", name, kThreadFailedMessage, e.what());
    release_script_hold(hold);
    napi_resolve_deferred(env, deferred, js_string(env, ""));
    napi_throw_error(env, nullptr, kThreadFailedMessage);
    return nullptr;
  }
  return promise;
}

// The common part of the three promise natives: arguments, promise, lookup,
// worker. make_operation(app, options, text) builds the worker's work.
template <typename MakeOperation>
napi_value promise_native(napi_env env, napi_callback_info info, const char* name,
                          bool with_text, MakeOperation make_operation) {
  napi_value argv[4];
  read_args(env, info, argv);
  StringMap options = pairs_to_map(env, argv[2]);
  std::string text = with_text ? js_to_string(env, argv[3]) : std::string();
  RiskApp* app = find_app(env, argv[0], argv[1]);
  // The promise is made only for a known application, so that no promise
  // is left unsettled behind the exception of an unknown handle.
  if (app == nullptr) return nullptr;
  napi_deferred deferred = nullptr;
  napi_value promise = nullptr;
  if (napi_create_promise(env, &deferred, &promise) != napi_ok) return undefined_value(env);
  return start_worker(env, name, app, deferred, promise,
                      make_operation(app, std::move(options), std::move(text)));
}

// ---------------------------------------------------------------------------
// The natives.

napi_value SetupNative(napi_env env, napi_callback_info info) {
  return guarded(env, "setupNative", [&]() -> napi_value {
    napi_value argv[3];
    read_args(env, info, argv);
    // Statuses are not checked: a failed bridge keeps the earlier context,
    // and every script call then fails on its own.
    init_bridge(env, argv[0]);
    auto owned = std::make_unique<HarmonyRiskSdk>();
    owned->initialize();
    HarmonyRiskSdk* sdk = owned.release();  // never destroyed while the process lives
    g_registry.insert(sdk);
    const bool ok = sdk->setup(env, argv[0], argv[1], argv[2]);
    napi_value handle = nullptr;
    napi_create_int64(env, ok ? static_cast<int64_t>(reinterpret_cast<uintptr_t>(sdk)) : 0,
                      &handle);
    return handle;
  });
}

napi_value Init(napi_env env, napi_callback_info info) {
  return guarded(env, "init", [&]() -> napi_value {
    napi_value argv[3];
    read_args(env, info, argv);
    StringMap options = pairs_to_map(env, argv[2]);
    RiskApp* app = find_app(env, argv[0], argv[1]);
    if (app == nullptr) return nullptr;
    app->set_options(options);
    return undefined_value(env);
  });
}

napi_value GetTokenNative(napi_env env, napi_callback_info info) {
  return guarded(env, "getTokenNative", [&]() -> napi_value {
    return promise_native(env, info, "getTokenNative", false,
                          [](RiskApp* app, StringMap options, std::string) -> WorkerOperation {
                            return [app, options = std::move(options)]() {
                              return app->get_token(app->merged_options(options), false).ulvok;
                            };
                          });
  });
}

napi_value GetDegradeTokenNative(napi_env env, napi_callback_info info) {
  return guarded(env, "getDegradeTokenNative", [&]() -> napi_value {
    return promise_native(env, info, "getDegradeTokenNative", false,
                          [](RiskApp* app, StringMap options, std::string) -> WorkerOperation {
                            // The call's own options, not merged.
                            return [app, options = std::move(options)]() {
                              return app->degrade_token(options).ulvok;
                            };
                          });
  });
}

napi_value GetBusinessSignNative(napi_env env, napi_callback_info info) {
  return guarded(env, "getBusinessSignNative", [&]() -> napi_value {
    return promise_native(
        env, info, "getBusinessSignNative", true,
        [](RiskApp* app, StringMap options, std::string text) -> WorkerOperation {
          return [app, options = std::move(options), text = std::move(text)]() {
            return app->business_sign(text, app->merged_options(options));
          };
        });
  });
}

napi_value IsDegradeTokenNative(napi_env env, napi_callback_info info) {
  return guarded(env, "isDegradeTokenNative", [&]() -> napi_value {
    napi_value argv[3];
    read_args(env, info, argv);
    // The application object is made although the test does not use it.
    if (find_app(env, argv[0], argv[1]) == nullptr) return nullptr;
    napi_value result = nullptr;
    napi_get_boolean(env, is_degrade_token(js_to_string(env, argv[2])), &result);
    return result;
  });
}

napi_value ScheduleUpdateSituationNative(napi_env env, napi_callback_info info) {
  return guarded(env, "scheduleUpdateSituationNative", [&]() -> napi_value {
    napi_value argv[4];
    read_args(env, info, argv);
    StringMap options = pairs_to_map(env, argv[2]);
    RiskApp* app = find_app(env, argv[0], argv[1]);
    if (app == nullptr) return nullptr;
    int64_t delay_ms = 0;
    if (napi_get_value_int64(env, argv[3], &delay_ms) != napi_ok) delay_ms = 0;
    auto merged = std::make_unique<StringMap>(app->merged_options(options));
    if (auto* harmony_app = dynamic_cast<HarmonyRiskApp*>(app)) {
      harmony_app->schedule_report(delay_ms, std::move(merged));
    } else {
      app->schedule_situation_update(delay_ms, std::move(merged));
    }
    return undefined_value(env);
  });
}

napi_value SetSceneNative(napi_env env, napi_callback_info info) {
  return guarded(env, "setSceneNative", [&]() -> napi_value {
    napi_value argv[3];
    read_args(env, info, argv);
    RiskApp* app = find_app(env, argv[0], argv[1]);
    if (app == nullptr) return nullptr;
    // Reaches "prefPut" inline on this thread: it must answer plainly.
    app->set_property("Scene", js_to_string(env, argv[2]));
    return undefined_value(env);
  });
}

napi_value ReadyToCallback(napi_env env, napi_callback_info info) {
  return guarded(env, "readyToCallback", [&]() -> napi_value {
    napi_value argv[1];
    read_args(env, info, argv);
    // An unknown handle is ignored without an exception.
    HarmonyRiskSdk* sdk = find_sdk(env, argv[0]);
    if (sdk != nullptr && sdk->event_list() != nullptr) sdk->event_list()->start_delivery();
    return undefined_value(env);
  });
}

// ---------------------------------------------------------------------------
// Registration.

struct NativeEntry {
  const char* name;
  napi_callback callback;
};

// The export order is part of the module's face.
constexpr NativeEntry kNatives[] = {
    {"getBusinessSignNative", GetBusinessSignNative},
    {"getDegradeTokenNative", GetDegradeTokenNative},
    {"getTokenNative", GetTokenNative},
    {"init", Init},
    {"isDegradeTokenNative", IsDegradeTokenNative},
    {"readyToCallback", ReadyToCallback},
    {"scheduleUpdateSituationNative", ScheduleUpdateSituationNative},
    {"setSceneNative", SetSceneNative},
    {"setupNative", SetupNative},
};

napi_value Export(napi_env env, napi_value exports) {
  for (const NativeEntry& native : kNatives) {
    napi_value function = nullptr;
    // Statuses are not checked: a missing native shows as a missing export.
    napi_create_function(env, native.name, NAPI_AUTO_LENGTH, native.callback, nullptr, &function);
    napi_set_named_property(env, exports, native.name, function);
  }
  return exports;
}

napi_module g_module = {
    1,         // nm_version
    0,         // nm_flags
    "bridge-js-native",
    Export,
    "QuonRiskComm-v4_9_2r_a07c3e51",
    nullptr,   // nm_priv
    {nullptr, nullptr, nullptr, nullptr},
};

__attribute__((constructor)) void RegisterModule() { napi_module_register(&g_module); }

}  // namespace

}  // namespace risk
