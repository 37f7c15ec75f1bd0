// HarmonyRiskSdk: the platform's RiskSdk. It binds the core to the script
// layer: it reads the application and device facts handed to "setupNative",
// keeps SDK properties persistent (sealed with SM4) through the bridge's
// "prefPut" / "prefGet", and posts HTTP requests through the bridge's "post".
//
// Callers: "setupNative" constructs one object per call, calls initialize()
// and then setup() on the script thread; only the first setup of a process
// succeeds. Each SDK talks to the bridge of the script environment that set
// it up (bridge()). The property and post operations are called by the core on any
// thread (native workers, collector, network and report threads, and the
// script thread itself for "setSceneNative"); they block on the script
// thread through bridge/bridge_js_native.h and hold no lock while waiting.
//
// The facts (the application's identity, the OS, the device properties) are
// read by read_facts into one HarmonyFacts and handed over whole by setup,
// before the SDK handle reaches the script; the object never changes after,
// so readers take no lock. The SDK owns the HarmonyRiskApps and the
// HarmonyEventList it creates.
#ifndef RISK_PLATFORM_HARMONY_SDK_H_
#define RISK_PLATFORM_HARMONY_SDK_H_

#include <map>
#include <memory>
#include <string>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "base/types.h"
#include "bridge/bridge_js_native.h"
#include "bridge/host.h"
#include "core/risk_sdk.h"
#include "crypto/json/json11.h"

namespace risk {

class HarmonyRiskApp;

// The SM4 key of the persisted property `name` of the application
// `app_name`: the first 16 bytes of SM3(app_name + "-" + name).
std::string property_key(const std::string& app_name, const std::string& name);

// The text stored for a property: Base64 of SM4-ECB (PKCS#7) of value under
// property_key(app_name, name); "" for an empty value.
std::string seal_property(const std::string& app_name, const std::string& name,
                          const std::string& value);

// Opens a stored text: "" when it is empty, not Base64, or does not decrypt
// under property_key(app_name, name).
std::string open_property(const std::string& app_name, const std::string& name,
                          const std::string& stored);

// What setup reads from the script: the core's facts and the device
// properties. Built completely by read_facts, then handed to the SDK.
struct HarmonyFacts {
  SdkFacts sdk;
  // Key -> JSON string value (the 25 string and 7 integer properties).
  json11::Json::object device_properties;
  // The same entries as plain texts ("" for a value that is not a string),
  // for the collectors; filled by set_facts.
  StringMap device_property_texts;
};

class HarmonyRiskSdk : public RiskSdk {
 public:
  // The value of os_type on this platform.
  static constexpr int32_t kOsType = 2;

  HarmonyRiskSdk();
  // Waits for every library thread of this SDK (shutdown) before the
  // device properties go.
  ~HarmonyRiskSdk() override;

  // --- Overrides, in RiskSdk's slot order. ---

  // 1. A HarmonyRiskApp for key.
  std::unique_ptr<RiskApp> create_app(const std::string& key) override;
  // 3. A HarmonyEventList bound to this SDK.
  std::unique_ptr<EventList> create_event_list() override;
  // 4. The core initialisation, then the built-in collectors.
  void initialize() override;
  // 10. The property `name` read through "prefGet" and opened (see
  // open_property); "" when absent, unreadable or sealed for another
  // application name.
  std::string get_sdk_property(const std::string& name) override;
  // 11. Seals value (see seal_property) and writes it through "prefPut".
  // An empty value is written as an empty preference.
  void set_sdk_property(const std::string& name, const std::string& value) override;
  // 12. Posts through the bridge's "post". status_code: the answer's
  // "responseCode"; minus the absolute rejection code (empty body) when the
  // script's promise is rejected; kPostCallFailed (-9999) when the script
  // call itself failed. Never null.
  std::unique_ptr<PostResponse> post(const std::string& url, const std::string& body) override;
  // 13, 14. As 10 and 11 for each entry, the "prefGet" (or "prefPut") calls
  // made one after another with one wait for them all.
  std::vector<std::string> get_sdk_properties(const std::vector<std::string>& names) override;
  void set_sdk_properties(const PropertyEntries& entries) override;

  // --- Setup. Runs on the script thread. ---

  // Takes the bridge context of env (see bridge()), registers this SDK's
  // event list as the event sink, runs the
  // once-per-process guard initialisation (false, with nothing else changed,
  // on every setup after the first in a process), reads the facts
  // (read_facts), hands them over (set_facts) and starts the guards. True
  // on success.
  bool setup(napi_env env, napi_value bridge, napi_value app_info, napi_value device_info);

  // The fact-reading steps of setup, touching no SDK: sdk_version, the
  // application identity from app_info ("name", "versionCode",
  // "versionName"), os_version from the bridge's "getOsVersion", os_type,
  // and device_properties from device_info (25 string and 7 integer
  // properties; a missing string property is stored as "", a missing
  // number is skipped). Script thread.
  static HarmonyFacts read_facts(napi_env env, napi_value bridge, napi_value app_info,
                                 napi_value device_info);

  // Hands facts over: the core's part becomes facts(), the device
  // properties device_properties(), both views of one immutable object.
  // Fills device_property_texts from device_properties.
  // REQUIRES: no other thread uses this SDK yet (setup, tests).
  void set_facts(HarmonyFacts facts);
  // The whole object handed over last (empty facts before).
  const HarmonyFacts& harmony_facts() const { return *harmony_facts_; }

  // The application of key (get_app) as the HarmonyRiskApp create_app made:
  // null where get_app answers null. Any thread.
  HarmonyRiskApp* get_harmony_app(const std::string& key) EXCLUDES(harmony_apps_mutex_);

  // The bridge context of the environment that set this SDK up: every
  // script service of the SDK, its applications and its collectors goes
  // through it. Set by setup (or by set_bridge, for an SDK that is not set
  // up), before the SDK is handed out; read-only afterwards. Null before.
  BridgeContext* bridge() const { return bridge_; }
  void set_bridge(BridgeContext* bridge) { bridge_ = bridge; }

  // Key -> JSON string value, handed over by setup; empty before.
  const json11::Json::object& device_properties() const {
    return harmony_facts_->device_properties;
  }
  // The same entries as plain texts ("" for a value that is not a string).
  const StringMap& device_property_texts() const { return harmony_facts_->device_property_texts; }

 private:
  // Never null; empty facts until set_facts. The core's part is shared
  // with RiskSdk::facts().
  std::shared_ptr<const HarmonyFacts> harmony_facts_;
  BridgeContext* bridge_ = nullptr;  // written by setup (or set_bridge) only
  // The last application create_app made for each key: the one get_app
  // keeps, once get_app has answered it (a key gets a new one only after
  // get_app dropped the one before). A leaf lock: taken under the apps
  // mutex by create_app, nothing is called while it is held.
  Mutex harmony_apps_mutex_;
  std::map<std::string, HarmonyRiskApp*> harmony_apps_ GUARDED_BY(harmony_apps_mutex_);
};

}  // namespace risk

#endif  // RISK_PLATFORM_HARMONY_SDK_H_
