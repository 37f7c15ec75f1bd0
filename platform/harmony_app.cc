#include "platform/harmony_app.h"

#include <cinttypes>
#include <cstdio>
#include <utility>

#include "base/clock.h"
#include "base/log.h"
#include "base/strings.h"
#include "bridge/bridge_js_native.h"
#include "collect/collector.h"
#include "collect/collectors/collectors.h"
#include "crypto/json/json11.h"
#include "platform/harmony_sdk.h"
#include "situation/event_list.h"
#include "situation/situation_report.h"

namespace risk {

namespace {

constexpr char kDefaultScene[] = "default";

std::string events_json_of(HarmonyRiskSdk* sdk) {
  EventList* events = sdk->event_list();
  return events != nullptr ? events->events_json() : std::string();
}

}  // namespace

HarmonyRiskApp::HarmonyRiskApp(const std::string& app_key, HarmonyRiskSdk* sdk)
    : RiskApp(app_key, sdk), harmony_sdk_(sdk) {}

HarmonyRiskApp::~HarmonyRiskApp() {
  MutexLock lock(&hold_mutex_);
  report_hold_.release();
}

void HarmonyRiskApp::schedule_report(int64_t delay_ms, std::unique_ptr<StringMap> options) {
  // The lock spans the schedule call so that a report starting meanwhile
  // sees either the earlier options or these, together with their identity.
  MutexLock lock(&hold_mutex_);
  // Taken before the report thread can start, kept only when it runs; on a
  // failed start it goes back as this function returns.
  ScriptHold hold;
  if (!report_hold_) hold = acquire_script_hold(harmony_sdk_->bridge());
  const StringMap* scheduled = options.get();
  if (!schedule_situation_update(delay_ms, std::move(options))) return;
  if (!report_hold_) report_hold_ = std::move(hold);
  last_options_ = scheduled;
  schedule_outstanding_ = true;
}

void HarmonyRiskApp::report_situation(std::unique_ptr<StringMap> options) {
  {
    MutexLock lock(&hold_mutex_);
    // The options are alive here, so their address cannot have been reused
    // by the options of a later schedule call.
    if (options != nullptr && options.get() == last_options_) schedule_outstanding_ = false;
    ++reports_running_;
  }
  RiskApp::report_situation(std::move(options));
  MutexLock lock(&hold_mutex_);
  --reports_running_;
  if (reports_running_ == 0 && !schedule_outstanding_) report_hold_.release();
}

void HarmonyRiskApp::on_server_event(const std::string& text) {
  s_OnSituationServerEvent(harmony_sdk_->bridge(), app_key(), text);
}

void HarmonyRiskApp::on_client_event(uint32_t type, uint32_t code, const std::string& /*text*/) {
  s_OnSituationClientEvent(harmony_sdk_->bridge(), app_key(), type, code, std::string());
}

std::string HarmonyRiskApp::situation_fields(const TokenRecord& token) {
  StringMap fields;
  fields["os_type"] = decimal_text(harmony_sdk_->facts().os_type);
  if (is_usable(token, now_ms())) {
    fields["ulvok"] = token.ulvok;
  } else {
    log_message("degrade token detected");
  }
  put_value(fields, "version", harmony_sdk_->facts().sdk_version);
  put_value(fields, "K350", events_json_of(harmony_sdk_));
  return json11::Json(fields).dump();
}

void HarmonyRiskApp::business_sign_fields(const std::string& /*text*/, const StringMap& params,
                                          StringMap& out) {
  const TokenRecord token = get_token(params, true);
  const int64_t now = now_ms();
  if (is_usable(token, now) || token.state == TokenState::DEGRADED) out["ulvok"] = token.ulvok;
  out["timestamp"] = decimal_text(now);

  std::string scene = get_property("Scene");
  if (scene.empty()) scene = kDefaultScene;
  out["K3000"] = scene;

  put_user_entries(params, out);
  out["K3002"] = get_property(kSituationUpTimeProperty);
  out["os_type"] = decimal_text(harmony_sdk_->facts().os_type);
  put_value(out, "K8", harmony_sdk_->facts().sdk_version);
  put_value(out, "K350", events_json_of(harmony_sdk_));
  for (const auto& entry : harmony_sdk_->device_property_texts()) {
    put_value(out, entry.first, entry.second);
  }
  const std::string oaid = s_getOaid(harmony_sdk_->bridge());
  if (!oaid.empty() && oaid != kZeroAdvertisingId) put_value(out, "K353", oaid);
}

}  // namespace risk
