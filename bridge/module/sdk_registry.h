// The process-wide registry of the SDK objects behind the numeric handles
// that "setupNative" hands to the script, and the lookups of the natives.
//
// An SDK belongs to the environment that set it up: its handle is unknown in
// any other, so that its bridge functions run, and its promises settle, only
// there. Entries are never removed and the SDKs are never destroyed while
// the process lives. The registry may be used from any thread; the lookups
// run on the script thread of `env`.
#ifndef RISK_BRIDGE_MODULE_SDK_REGISTRY_H_
#define RISK_BRIDGE_MODULE_SDK_REGISTRY_H_

#include <cstdint>
#include <set>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "bridge/host.h"

namespace risk {

class HarmonyRiskApp;
class HarmonyRiskSdk;

// The SDK objects made by "setupNative", by address. Entries are never
// removed and the objects are never destroyed while the process lives.
class SdkRegistry {
 public:
  void insert(HarmonyRiskSdk* sdk) EXCLUDES(mutex_) {
    MutexLock lock(&mutex_);
    sdks_.insert(reinterpret_cast<uintptr_t>(sdk));
  }

  // The SDK at address, or null when address is not one of ours.
  HarmonyRiskSdk* find(uintptr_t address) EXCLUDES(mutex_) {
    MutexLock lock(&mutex_);
    return sdks_.count(address) != 0 ? reinterpret_cast<HarmonyRiskSdk*>(address) : nullptr;
  }

 private:
  Mutex mutex_;
  std::set<uintptr_t> sdks_ GUARDED_BY(mutex_);
};

// The registry of the process.
SdkRegistry& sdk_registry();

// The SDK of the handle argument, or null when the handle is not a number,
// not one of ours, or an SDK of another script environment (logged).
HarmonyRiskSdk* find_sdk(napi_env env, napi_value handle);

// The application of `key` (a string argument) of the SDK of `handle`. When
// the handle is unknown, throws "RiskSdk is null, please call setup first."
// into the script and returns null.
HarmonyRiskApp* find_app(napi_env env, napi_value handle, napi_value key);

}  // namespace risk

#endif  // RISK_BRIDGE_MODULE_SDK_REGISTRY_H_
