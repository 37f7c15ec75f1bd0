// The module the script layer loads: its record, its export function and
// the nine natives. The natives read their arguments with bridge/arguments.h
// and find their SDK through the registry of bridge/sdk_registry.h.
//
// The module is context-aware: several script environments (the main thread
// and workers) may load it at once, and each that runs "setupNative" gets a
// bridge context of its own (bridge/script_thread.h). An SDK belongs to
// the environment that set it up: its handle is unknown in any other, so that
// its bridge functions run, and its promises settle, only there.
//
// Every native runs on the script thread of its environment. The promise natives
// ("getTokenNative", "getDegradeTokenNative", "getBusinessSignNative") start
// one detached worker thread per call; the worker holds a pass of its SDK's
// ThreadGate and a script-thread hold (so the host does not end while it
// runs), runs the core operation, resolves the promise through the script
// thread and ends. Promises are only ever resolved, never rejected.
//
// Creating a thread costs the calling thread far more than queueing a
// request (a hundred calls at once would stall the event loop for tens of
// milliseconds), so the script thread does not create the workers itself: it
// takes the pass and the hold, queues a start request and returns the
// promise. One long-lived launcher thread, started on the first promise
// call of the process, creates the workers in the order of the calls
// (bridge/worker_launcher.h). The launcher holds no script hold of its own:
// idle, it keeps nothing alive.
//
// Nothing leaves a native, the launcher or a worker as a C++ exception:
// natives catch, log and return undefined; workers catch, log and resolve
// with "". A worker the launcher cannot create resolves its promise with ""
// (log line "thread constructor failed"). The only JS errors thrown are
// "RiskSdk is null, please call setup first." (unknown handle) and "thread
// constructor failed": the launcher thread cannot be started and the worker
// cannot be started from the script thread either; the promise is then
// settled with "" and not returned.
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "base/guarded.h"
#include "base/log.h"
#include "base/types.h"
#include "bridge/host.h"
#include "bridge/host_log.h"
#include "bridge/module/arguments.h"
#include "bridge/module/sdk_registry.h"
#include "bridge/module/worker_launcher.h"
#include "bridge/napi_helpers.h"
#include "bridge/script_thread.h"
#include "core/risk_sdk.h"
#include "core/wire.h"
#include "platform/harmony_app.h"
#include "platform/harmony_sdk.h"
#include "situation/event_list.h"

namespace risk {

namespace {

// Runs a native's body; a C++ exception becomes a log line and undefined.
template <typename Body>
napi_value run_native(napi_env env, const char* name, Body body) {
  napi_value result = nullptr;
  if (!guarded("native", name, [&] { result = body(); })) return undefined_value(env);
  return result;
}

// Settles deferred with the empty string, the answer of a worker that cannot
// run.
void resolve_with_empty_text(napi_env env, napi_deferred deferred) {
  napi_value empty = nullptr;
  make_text(env, std::string(), &empty);
  napi_resolve_deferred(env, deferred, empty);
}

// Starts the worker of a promise native for app through the launcher; returns
// the promise, or null after throwing kThreadFailedMessage into the script.
napi_value start_worker(napi_env env, const char* name, HarmonyRiskSdk* sdk, napi_deferred deferred,
                        napi_value promise, WorkerOperation operation) {
  auto start = std::make_unique<WorkerStart>();
  start->pass = sdk->thread_gate().enter();
  if (!start->pass) {
    // The SDK is being destroyed: nothing may start on it.
    resolve_with_empty_text(env, deferred);
    return promise;
  }
  start->name = name;
  start->operation = std::move(operation);
  // The promise is resolved through the environment that made it (dropped
  // when that environment has ended); the hold is given back with start,
  // once the promise is resolved.
  BridgeContext* bridge = sdk->bridge();
  auto hold = std::make_shared<ScriptHold>(acquire_script_hold(bridge));
  start->resolve = [bridge, deferred, hold = std::move(hold)](const std::string& text) {
    js_resolve_deferred(bridge, deferred, text);
  };
  WorkerLauncher& launcher = WorkerLauncher::instance();
  if (launcher.try_launch(start)) return promise;
  // No launcher: the worker is started from here, as the launcher would.
  if (guarded_with(
          [name](const char* reason) {
            log_message("%s: %s: %s", name, kThreadFailedMessage, reason);
          },
          [&] { launcher.start_worker_thread(start); })) {
    return promise;
  }
  start.reset();  // returns the pass and the hold
  resolve_with_empty_text(env, deferred);
  napi_throw_error(env, nullptr, kThreadFailedMessage);
  return nullptr;
}

// The common part of the three promise natives: arguments, promise, lookup,
// worker. make_operation(app, options, text) builds the worker's work.
template <typename MakeOperation>
napi_value promise_native(napi_env env, napi_callback_info info, const char* name, bool with_text,
                          MakeOperation make_operation) {
  napi_value argv[4];
  read_args(env, info, argv);
  StringMap options = pairs_to_map(env, argv[2]);
  std::string text = with_text ? js_to_string(env, argv[3]) : std::string();
  HarmonyRiskApp* app = find_app(env, argv[0], argv[1]);
  // The promise is made only for a known application, so that no promise
  // is left unsettled behind the exception of an unknown handle.
  if (app == nullptr) return nullptr;
  napi_deferred deferred = nullptr;
  napi_value promise = nullptr;
  if (napi_create_promise(env, &deferred, &promise) != napi_ok) return undefined_value(env);
  return start_worker(env, name, app->harmony_sdk(), deferred, promise,
                      make_operation(app, std::move(options), std::move(text)));
}

// ---------------------------------------------------------------------------
// The natives.

napi_value SetupNative(napi_env env, napi_callback_info info) {
  return run_native(env, "setupNative", [&]() -> napi_value {
    napi_value argv[4];
    read_args(env, info, argv);
    // Where the library's log goes: the host's choice (bridge/host_log.h),
    // made before anything of the setup logs.
    set_log_destination(env, argv[3]);
    // Without a bridge nothing could answer the SDK's calls or settle its
    // promises: no SDK is made (a non-object bridge is logged by
    // init_bridge). A failure in an environment set up before keeps its
    // earlier bridge; that setup answers 0 all the same.
    const napi_status bridged = init_bridge(env, argv[0]);
    if (bridged != napi_ok) {
      log_message("setupNative: no bridge (%d), no sdk", bridged);
      napi_value none = nullptr;
      napi_create_int64(env, 0, &none);
      return none;
    }
    auto owned = std::make_unique<HarmonyRiskSdk>();
    owned->initialize();
    napi_value handle = nullptr;
    // A refused setup keeps nothing: its SDK, which no handle could reach,
    // goes with this call.
    if (!owned->setup(env, argv[0], argv[1], argv[2])) {
      napi_create_int64(env, 0, &handle);
      return handle;
    }
    HarmonyRiskSdk* sdk = owned.release();  // never destroyed while the process lives
    sdk_registry().insert(sdk);
    // The first call's worker waits ready by the time it is made (created
    // by the launcher thread, off this thread); without it, the call
    // creates its worker as usual.
    WorkerLauncher::instance().prepare(&warm_archive);
    napi_create_int64(env, static_cast<int64_t>(reinterpret_cast<uintptr_t>(sdk)), &handle);
    return handle;
  });
}

napi_value Init(napi_env env, napi_callback_info info) {
  return run_native(env, "init", [&]() -> napi_value {
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
  return run_native(env, "getTokenNative", [&]() -> napi_value {
    return promise_native(env, info, "getTokenNative", false,
                          [](RiskApp* app, StringMap options, std::string) -> WorkerOperation {
                            return [app, options = std::move(options)]() {
                              return app->get_token(app->merged_options(options), false).ulvok;
                            };
                          });
  });
}

napi_value GetDegradeTokenNative(napi_env env, napi_callback_info info) {
  return run_native(env, "getDegradeTokenNative", [&]() -> napi_value {
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
  return run_native(env, "getBusinessSignNative", [&]() -> napi_value {
    return promise_native(env, info, "getBusinessSignNative", true,
                          [](RiskApp* app, StringMap options, std::string text) -> WorkerOperation {
                            return [app, options = std::move(options), text = std::move(text)]() {
                              return app->business_sign(text, app->merged_options(options));
                            };
                          });
  });
}

napi_value IsDegradeTokenNative(napi_env env, napi_callback_info info) {
  return run_native(env, "isDegradeTokenNative", [&]() -> napi_value {
    napi_value argv[3];
    read_args(env, info, argv);
    // The application object is made although the test does not use it;
    // a key that is refused (see RiskSdk::get_app) gets the answer all the
    // same, an unknown handle the pending exception.
    bool thrown = false;
    if (find_app(env, argv[0], argv[1]) == nullptr &&
        (napi_is_exception_pending(env, &thrown) != napi_ok || thrown)) {
      return nullptr;
    }
    napi_value result = nullptr;
    napi_get_boolean(env, is_degrade_token(js_to_string(env, argv[2])), &result);
    return result;
  });
}

napi_value ScheduleUpdateSituationNative(napi_env env, napi_callback_info info) {
  return run_native(env, "scheduleUpdateSituationNative", [&]() -> napi_value {
    napi_value argv[4];
    read_args(env, info, argv);
    StringMap options = pairs_to_map(env, argv[2]);
    HarmonyRiskApp* app = find_app(env, argv[0], argv[1]);
    if (app == nullptr) return nullptr;
    int64_t delay_ms = 0;
    if (napi_get_value_int64(env, argv[3], &delay_ms) != napi_ok) delay_ms = 0;
    auto merged = std::make_unique<StringMap>(app->merged_options(options));
    app->schedule_report(delay_ms, std::move(merged));
    return undefined_value(env);
  });
}

napi_value SetSceneNative(napi_env env, napi_callback_info info) {
  return run_native(env, "setSceneNative", [&]() -> napi_value {
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
  return run_native(env, "readyToCallback", [&]() -> napi_value {
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
    1,  // nm_version
    0,  // nm_flags
    "bridge-js-native",
    Export,
    "QuonRiskComm-v4_9_2r_a07c3e51",
    nullptr,  // nm_priv
    {nullptr, nullptr, nullptr, nullptr},
};

// The record of the design, for the load that runs this initialiser (and
// for hosts that register modules only this way)...
__attribute__((constructor)) void RegisterModule() { napi_module_register(&g_module); }

}  // namespace

}  // namespace risk

// ...and the host's entry point for every later environment that loads the
// library, however many have loaded it and ended before.
RISK_HOST_MODULE_ENTRY(risk::Export)
