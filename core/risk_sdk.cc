#include "core/risk_sdk.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <thread>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/guarded.h"
#include "base/log.h"
#include "core/wire.h"
#include "situation/event_list.h"
#include "situation/situation_report.h"

namespace risk {

namespace {

constexpr int32_t kSdkVariant = 2;
constexpr auto kReportTick = std::chrono::milliseconds(100);

// now + delay_ms without signed overflow, kept within [0, INT64_MAX] so that
// the unsigned comparison with the report deadline orders it as a time: a
// due time before the epoch is simply due at once.
int64_t due_time(int64_t now, int64_t delay_ms) {
  if (delay_ms > 0 && now > std::numeric_limits<int64_t>::max() - delay_ms) {
    return std::numeric_limits<int64_t>::max();
  }
  if (delay_ms < 0 && now < std::numeric_limits<int64_t>::min() - delay_ms) return 0;
  int64_t due = now + delay_ms;
  return due < 0 ? 0 : due;
}

// An application as its situation report sees it: every call goes to the
// application's own operation, virtual ones to the subclass's.
class ReportedApp : public SituationApp {
 public:
  explicit ReportedApp(RiskApp& app) : app_(app) {}

  const std::string& app_key() const override { return app_.app_key(); }
  TokenRecord get_token(const StringMap& params, bool for_sign) override {
    return app_.get_token(params, for_sign);
  }
  std::string situation_fields(const TokenRecord& token) override {
    return app_.situation_fields(token);
  }
  int32_t post_request(const std::string& url, const std::string& payload, std::string& response,
                       const CipherScheme& scheme) override {
    return risk::post_request(app_, url, payload, response, scheme);
  }
  std::string get_property(const std::string& key) override { return app_.get_property(key); }
  void set_property(const std::string& key, const std::string& value) override {
    app_.set_property(key, value);
  }
  void on_server_event(const std::string& text) override { app_.on_server_event(text); }

 private:
  RiskApp& app_;
};

}  // namespace

// ------------------------------------------------------------------- RiskSdk

RiskSdk::RiskSdk() : RiskSdk(SdkFacts()) {}

RiskSdk::RiskSdk(SdkFacts facts) : facts_(std::make_shared<const SdkFacts>(std::move(facts))) {}

RiskSdk::~RiskSdk() {
  shutdown();
  MutexLock hold(&apps_mutex_);
  apps_.clear();
}

void RiskSdk::shutdown() {
  destroyed_.exchange(true);
  // Producers reach the list through the sink without a pass; cut them off
  // (waiting for any add in progress) before the list can go.
  if (event_list_) unregister_event_sink(event_list_.get());
  threads_.close_and_wait();
}

std::unique_ptr<RiskApp> RiskSdk::create_app(const std::string& key) {
  return std::make_unique<RiskApp>(key, this);
}

bool RiskSdk::dispatch_client_event(uint32_t type, uint32_t code, const std::string& text) {
  if (destroyed_.load()) return false;
  std::vector<RiskApp*> apps;
  {
    MutexLock hold(&apps_mutex_);
    apps.reserve(apps_.size());
    for (const auto& entry : apps_) apps.push_back(entry.second.get());
  }
  for (RiskApp* app : apps) app->on_client_event(type, code, text);
  return true;
}

std::unique_ptr<EventList> RiskSdk::create_event_list() {
  return std::make_unique<EventList>(this);
}

void RiskSdk::initialize() {
  sdk_variant_ = kSdkVariant;
  event_list_ = create_event_list();
}

std::string RiskSdk::get_property(const std::string& key) { return get_sdk_property(key); }

void RiskSdk::set_property(const std::string& key, const std::string& value) {
  set_sdk_property(key, value);
}

std::string RiskSdk::get_sdk_property(const std::string&) { return std::string(); }

void RiskSdk::set_sdk_property(const std::string&, const std::string&) {}

std::unique_ptr<PostResponse> RiskSdk::post(const std::string&, const std::string&) {
  return nullptr;
}

std::vector<std::string> RiskSdk::get_sdk_properties(const std::vector<std::string>& keys) {
  std::vector<std::string> values;
  values.reserve(keys.size());
  for (const std::string& key : keys) values.push_back(get_sdk_property(key));
  return values;
}

void RiskSdk::set_sdk_properties(const PropertyEntries& entries) {
  for (const auto& entry : entries) set_sdk_property(entry.first, entry.second);
}

RiskApp* RiskSdk::get_app(const std::string& key) {
  if (destroyed_.load()) return nullptr;
  if (key.size() > kMaxAppKeyBytes) {
    log_message("application key of %zu bytes is longer than any real key (%zu), refused",
                key.size(), kMaxAppKeyBytes);
    return nullptr;
  }
  MutexLock hold(&apps_mutex_);
  if (destroyed_.load()) return nullptr;
  auto found = apps_.find(key);
  if (found != apps_.end()) return found->second.get();
  // Callers are natives on the script thread, and an application the
  // platform cannot create is answered as none: nothing may escape to them.
  std::unique_ptr<RiskApp> app;
  if (!guarded_as("fail to create app", [&] { app = create_app(key); }) || !app) return nullptr;
  RiskApp* raw = app.get();
  apps_.emplace(key, std::move(app));
  return raw;
}

void RiskSdk::collect(RiskApp& app, const StringMap& params, StringMap& result) {
  run_collectors(collectors_, app, params, result);
}

void RiskSdk::register_collector(const std::string& name, Collector fn) {
  collectors_.push_front(CollectorEntry{name, std::move(fn), nullptr});
}

// ------------------------------------------------------------------- RiskApp

RiskApp::RiskApp(const std::string& app_key, RiskSdk* sdk) : app_key_(app_key), sdk_(sdk) {}

RiskApp::~RiskApp() = default;

// The report itself lives with the rest of the situation code, below the
// core (situation/situation_report.cc).
void RiskApp::report_situation(std::unique_ptr<StringMap> options) {
  ReportedApp app(*this);
  send_situation_report(app, std::move(options));
}

void RiskApp::on_server_event(const std::string&) {}

void RiskApp::on_client_event(uint32_t, uint32_t, const std::string&) {}

std::string RiskApp::situation_fields(const TokenRecord&) { return std::string(); }

void RiskApp::business_sign_fields(const std::string&, const StringMap&, StringMap&) {}

std::string RiskApp::property_name(const std::string& key) const { return app_key_ + ":" + key; }

std::string RiskApp::get_property(const std::string& key) {
  return sdk_->get_sdk_property(property_name(key));
}

void RiskApp::set_property(const std::string& key, const std::string& value) {
  sdk_->set_sdk_property(property_name(key), value);
}

void RiskApp::set_options(const StringMap& options) {
  MutexLock hold(&options_mutex_);
  options_ = options;
}

StringMap RiskApp::merged_options(const StringMap& call) const {
  StringMap merged;
  {
    MutexLock hold(&options_mutex_);
    merged = options_;
  }
  for (const auto& entry : call) merged[entry.first] = entry.second;
  return merged;
}

bool RiskApp::schedule_situation_update(int64_t delay_ms, std::unique_ptr<StringMap> options) {
  const uint64_t due = static_cast<uint64_t>(due_time(now_ms(), delay_ms));
  MutexLock hold(&report_mutex_);
  if (!report_running_) {
    ThreadGate::Pass pass = sdk_->thread_gate().enter();
    report_running_ =
        pass && start_thread(nullptr, [this, pass = std::move(pass)]() noexcept { report_loop(); });
    if (!report_running_) {
      log_message("fail to start report thread");
      return false;
    }
  }
  pending_report_ = std::move(options);
  if (due < report_deadline_) report_deadline_ = due;
  return true;
}

void RiskApp::report_loop() noexcept {
  std::unique_ptr<StringMap> options;
  for (;;) {
    std::this_thread::sleep_for(kReportTick);
    MutexLock hold(&report_mutex_);
    if (sdk_->is_destroyed()) {
      // The SDK waits for this thread; leave the pending report behind.
      report_running_ = false;
      return;
    }
    if (static_cast<uint64_t>(now_ms()) < report_deadline_) continue;
    report_deadline_ = kNoDeadline;
    report_running_ = false;
    options = std::move(pending_report_);
    break;
  }
  // Nothing may leave the thread; there is no caller to hand a failure to.
  guarded("situation report", [&] { report_situation(std::move(options)); });
}

}  // namespace risk
