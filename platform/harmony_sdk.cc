#include "platform/harmony_sdk.h"

#include <utility>

#include "base/log.h"
#include "base/mutex.h"
#include "base/strings.h"
#include "base/thread_annotations.h"
#include "bridge/bridge_js_native.h"
#include "bridge/napi_helpers.h"
#include "collect/collectors/collectors.h"
#include "collect/runtime_guard.h"
#include "core/wire.h"
#include "platform/harmony_app.h"
#include "platform/harmony_event_list.h"
#include "situation/event_list.h"

namespace risk {

namespace {

// A string property of the device information object and the key it is
// stored under in device_properties (null: the property's own name). Read
// in this order.
struct DeviceStringProperty {
  const char* property;
  const char* key;
};

constexpr DeviceStringProperty kDeviceStringProperties[] = {
    {"deviceType", nullptr},
    {"manufacture", nullptr},
    {"brand", "K19"},
    {"marketName", "K18"},
    {"productSeries", nullptr},
    {"productModel", "K20"},
    {"softwareModel", nullptr},
    {"hardwareModel", nullptr},
    {"bootloaderVersion", "K1315"},
    {"abiList", "K21"},
    {"securityPatchTag", "K1061"},
    {"displayVersion", "K22"},
    {"incrementalVersion", "K1084"},
    {"osReleaseType", nullptr},
    {"osFullName", nullptr},
    {"versionId", "K13"},
    {"buildType", "K1073"},
    {"buildUser", "K1068"},
    {"buildHost", "K15"},
    {"buildTime", "K16"},
    {"buildRootHash", nullptr},
    {"distributionOSName", nullptr},
    {"distributionOSVersion", "K11"},
    {"distributionOSApiName", nullptr},
    {"distributionOSReleaseType", nullptr},
};

// Integer properties of the device information object, each stored under
// its own name as decimal text. Read in this order, after the strings.
constexpr const char* kDeviceIntegerProperties[] = {
    "majorVersion",  "seniorVersion",   "featureVersion",           "buildVersion",
    "sdkApiVersion", "firstApiVersion", "distributionOSApiVersion",
};

// The environment whose SDK holds the process-wide event sink. Never
// destroyed: setup may run while the process exits.
struct SinkOwner {
  Mutex mutex;
  BridgeContext* bridge GUARDED_BY(mutex) = nullptr;
};

SinkOwner& sink_owner() {
  static auto* owner = new SinkOwner;
  return *owner;
}

}  // namespace

HarmonyRiskSdk::HarmonyRiskSdk() : harmony_facts_(std::make_shared<const HarmonyFacts>()) {}

HarmonyRiskSdk::~HarmonyRiskSdk() {
  // Library threads read harmony_facts_ and call the overrides below; they must be
  // gone before this part of the object is.
  shutdown();
}

void HarmonyRiskSdk::set_facts(HarmonyFacts facts) {
  facts.device_property_texts.clear();
  for (const auto& entry : facts.device_properties) {
    facts.device_property_texts[entry.first] = entry.second.string_value();
  }
  harmony_facts_ = std::make_shared<const HarmonyFacts>(std::move(facts));
  // The core's view of the same object.
  RiskSdk::set_facts(std::shared_ptr<const SdkFacts>(harmony_facts_, &harmony_facts_->sdk));
}

std::unique_ptr<RiskApp> HarmonyRiskSdk::create_app(const std::string& key) {
  auto app = std::make_unique<HarmonyRiskApp>(key, this);
  MutexLock lock(&harmony_apps_mutex_);
  harmony_apps_[key] = app.get();
  return app;
}

HarmonyRiskApp* HarmonyRiskSdk::get_harmony_app(const std::string& key) {
  RiskApp* app = get_app(key);
  if (app == nullptr) return nullptr;
  MutexLock lock(&harmony_apps_mutex_);
  auto found = harmony_apps_.find(key);
  // The same object, seen as the core's class: no cast needed to trust it.
  if (found == harmony_apps_.end() || found->second != app) return nullptr;
  return found->second;
}

std::unique_ptr<EventList> HarmonyRiskSdk::create_event_list() {
  return std::make_unique<HarmonyEventList>(this);
}

void HarmonyRiskSdk::initialize() {
  RiskSdk::initialize();
  CollectorSources sources;
  sources.get_oaid = [this] { return s_getOaid(bridge_); };
  sources.get_time_info = [this] { return s_getTimeInfo(bridge_); };
  sources.get_app_signature = [this] { return s_getAppSignature(bridge_); };
  sources.device_properties = [this] { return device_property_texts(); };
  register_builtin_collectors(*this, sources);
}

std::string HarmonyRiskSdk::get_sdk_property(const std::string& name) {
  return open_property(facts().app_name, name, s_pref_get(bridge_, name));
}

void HarmonyRiskSdk::set_sdk_property(const std::string& name, const std::string& value) {
  s_pref_put(bridge_, name, seal_property(facts().app_name, name, value));
}

std::vector<std::string> HarmonyRiskSdk::get_sdk_properties(const std::vector<std::string>& names) {
  std::vector<std::string> values = s_pref_get_each(bridge_, names);
  for (size_t i = 0; i < values.size(); ++i) {
    values[i] = open_property(facts().app_name, names[i], values[i]);
  }
  return values;
}

void HarmonyRiskSdk::set_sdk_properties(const PropertyEntries& entries) {
  PropertyEntries sealed;
  sealed.reserve(entries.size());
  for (const auto& entry : entries) {
    sealed.emplace_back(entry.first, seal_property(facts().app_name, entry.first, entry.second));
  }
  s_pref_put_each(bridge_, sealed);
}

std::unique_ptr<PostResponse> HarmonyRiskSdk::post(const std::string& url,
                                                   const std::string& body) {
  return std::make_unique<PostResponse>(s_post(bridge_, url, body, kMaxAnswerSize));
}

bool HarmonyRiskSdk::setup(napi_env env, napi_value bridge, napi_value app_info,
                           napi_value device_info) {
  bridge_ = bridge_context(env);
  // Only the first setup of the process goes on. A refused one leaves the
  // event sink where it is: its SDK is not kept (see "setupNative"), and
  // events sent to its list would reach nobody.
  if (!init_runtime_guards()) return false;
  // The sink goes to the environment of the first setup; one that finds it
  // held by another environment (a worker) leaves it there.
  {
    SinkOwner& owner = sink_owner();
    MutexLock lock(&owner.mutex);
    if (owner.bridge == nullptr || owner.bridge == bridge_) {
      register_event_sink(event_list());
      owner.bridge = bridge_;
    }
  }
  set_facts(read_facts(env, bridge, app_info, device_info));
  start_runtime_guards();
  return true;
}

HarmonyFacts HarmonyRiskSdk::read_facts(napi_env env, napi_value bridge, napi_value app_info,
                                        napi_value device_info) {
  HarmonyFacts facts;
  facts.sdk.sdk_version = kSdkVersion;

  std::string text;
  if (get_string_property(env, app_info, "name", &text) == napi_ok) facts.sdk.app_name = text;
  int64_t number = 0;
  if (get_int64_property(env, app_info, "versionCode", &number) == napi_ok) {
    facts.sdk.app_version_code = number;
  }
  text.clear();
  if (get_string_property(env, app_info, "versionName", &text) == napi_ok) {
    facts.sdk.app_version_name = text;
  }

  facts.sdk.os_version = get_os_version(env, bridge);
  facts.sdk.os_type = kOsType;

  json11::Json::object& properties = facts.device_properties;
  for (const DeviceStringProperty& entry : kDeviceStringProperties) {
    text.clear();
    if (get_string_property(env, device_info, entry.property, &text) != napi_ok) continue;
    properties[entry.key != nullptr ? entry.key : entry.property] = json11::Json(text);
  }
  for (const char* property : kDeviceIntegerProperties) {
    if (get_int64_property(env, device_info, property, &number) != napi_ok) continue;
    properties[property] = json11::Json(decimal_text(number));
  }
  return facts;
}

}  // namespace risk
