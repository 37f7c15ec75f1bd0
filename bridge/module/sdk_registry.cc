#include "bridge/module/sdk_registry.h"

#include "base/log.h"
#include "bridge/napi_helpers.h"
#include "bridge/script_thread.h"
#include "platform/harmony_sdk.h"

namespace risk {

namespace {

constexpr char kNoSdkMessage[] = "RiskSdk is null, please call setup first.";

SdkRegistry g_registry;

}  // namespace

SdkRegistry& sdk_registry() { return g_registry; }

// An SDK talks to the bridge of the environment that set it up, and its
// promises can only be settled there: in any other environment (a worker
// the handle was passed to) its handle counts as unknown.
HarmonyRiskSdk* find_sdk(napi_env env, napi_value handle) {
  int64_t address = 0;
  if (napi_get_value_int64(env, handle, &address) != napi_ok) address = 0;
  if (address == 0) return nullptr;
  HarmonyRiskSdk* sdk = sdk_registry().find(static_cast<uintptr_t>(address));
  if (sdk != nullptr && sdk->bridge() != bridge_context(env)) {
    log_message("sdk handle of another script environment");
    return nullptr;
  }
  return sdk;
}

// Throws kNoSdkMessage into the script when the handle is unknown.
HarmonyRiskApp* find_app(napi_env env, napi_value handle, napi_value key) {
  HarmonyRiskSdk* sdk = find_sdk(env, handle);
  if (sdk == nullptr) {
    napi_throw_error(env, nullptr, kNoSdkMessage);
    return nullptr;
  }
  return sdk->get_harmony_app(js_to_string(env, key));
}

}  // namespace risk
