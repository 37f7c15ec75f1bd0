// HarmonyRiskApp: the platform's RiskApp, one per application key, created
// by HarmonyRiskSdk::create_app and owned by that SDK. It supplies what the
// core leaves to the platform: the fields a business sign covers, the body
// of a situation report, and the forwarding of situation events to the
// script's "onSituationServerEvent" / "onSituationClientEvent".
//
// Threads: the field builders run on native threads (the business-sign
// worker, the report thread) and block on the script thread for "prefGet"
// and "getOaid"; business_sign_fields may run a token exchange. The event
// forwarders block their caller until the script has answered.
// schedule_report runs on the script thread ("scheduleUpdateSituationNative").
//
// Returned strings and maps are the caller's.
#ifndef RISK_PLATFORM_HARMONY_APP_H_
#define RISK_PLATFORM_HARMONY_APP_H_

#include <cstdint>
#include <memory>
#include <string>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "base/types.h"
#include "bridge/bridge_js_native.h"
#include "core/risk_sdk.h"

namespace risk {

class HarmonyRiskSdk;

class HarmonyRiskApp : public RiskApp {
 public:
  // REQUIRES: sdk is not null and outlives this object.
  HarmonyRiskApp(const std::string& app_key, HarmonyRiskSdk* sdk);
  ~HarmonyRiskApp() override;

  // --- Overrides, in RiskApp's slot order. ---

  // 1. The core's report, then gives back the script-thread hold that
  // schedule_report took once no report is outstanding. Report thread.
  void report_situation(std::unique_ptr<StringMap> options) override;
  // 2. "onSituationServerEvent"(app_key, text).
  void on_server_event(const std::string& text) override;
  // 3. "onSituationClientEvent"(app_key, type, code, ""): the text stays here.
  void on_client_event(uint32_t type, uint32_t code, const std::string& text) override;
  // 4. JSON object text of "os_type", "ulvok" (only for a usable record;
  // otherwise logs "degrade token detected"), "version" and "K350".
  std::string situation_fields(const TokenRecord& token) override;
  // 5. Fills out with the token, "timestamp", the scene "K3000", the
  // caller's "user_" entries, "K3002", "os_type", "K8", "K350", the device
  // properties and "K353" (see harmony_app.cc); text is not used.
  void business_sign_fields(const std::string& text, const StringMap& params,
                            StringMap& out) override;

  // Script thread: schedule_situation_update(delay_ms, options), keeping the
  // script thread's event loop alive until the report of this (or a later)
  // schedule call has been sent, so that a host with nothing else to do
  // does not end before the report. When the report thread cannot be
  // started nothing is kept: no hold, no pending report (logged by the core).
  void schedule_report(int64_t delay_ms, std::unique_ptr<StringMap> options);

  // The SDK that owns this application, as the platform class.
  HarmonyRiskSdk* harmony_sdk() const { return harmony_sdk_; }

 private:
  HarmonyRiskSdk* const harmony_sdk_;

  // The hold is taken by the first schedule_report and given back when no
  // report is running and the options of the last schedule call have been
  // taken by a report. last_options_ identifies those options (compared,
  // never dereferenced).
  Mutex hold_mutex_;
  ScriptHold report_hold_ GUARDED_BY(hold_mutex_);
  const StringMap* last_options_ GUARDED_BY(hold_mutex_) = nullptr;
  bool schedule_outstanding_ GUARDED_BY(hold_mutex_) = false;
  int reports_running_ GUARDED_BY(hold_mutex_) = 0;
};

}  // namespace risk

#endif  // RISK_PLATFORM_HARMONY_APP_H_
