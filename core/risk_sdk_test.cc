#include "core/risk_sdk.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/log.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace risk {
namespace {

// Generous: the machine is shared and slow; nothing here asserts speed.
constexpr auto kPatience = std::chrono::seconds(30);
// A delay that no test outlives.
constexpr int64_t kFarAway = 600000;

Mutex g_log_mutex;
std::vector<std::string> g_log_lines GUARDED_BY(g_log_mutex);

void capture_log(const char*, const char* text) {
  MutexLock hold(&g_log_mutex);
  g_log_lines.emplace_back(text);
}

bool log_contains(const std::string& line) {
  MutexLock hold(&g_log_mutex);
  for (const std::string& seen : g_log_lines) {
    if (seen == line) return true;
  }
  return false;
}

struct Report {
  bool has_options = false;
  StringMap options;
  int64_t at_ms = 0;
};

struct ClientEvent {
  std::string app_key;
  uint32_t type;
  uint32_t code;
  std::string text;
};

class TestSdk;

// Records what the core hands it.
class TestApp : public RiskApp {
 public:
  TestApp(const std::string& key, RiskSdk* sdk, std::vector<ClientEvent>* events)
      : RiskApp(key, sdk), events_(events) {}

  void report_situation(std::unique_ptr<StringMap> options) override {
    MutexLock hold(&mutex_);
    Report report;
    report.has_options = options != nullptr;
    if (options) report.options = *options;
    report.at_ms = now_ms();
    reports_.push_back(report);
    changed_.notify_all();
    if (throw_in_report) throw std::runtime_error("report exploded");
  }

  void on_client_event(uint32_t type, uint32_t code, const std::string& text) override {
    events_->push_back(ClientEvent{app_key(), type, code, text});
  }

  // Waits (generously) until at least n reports arrived; returns them.
  std::vector<Report> wait_for_reports(size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    MutexLock hold(&mutex_);
    while (reports_.size() < n) {
      if (!changed_.wait_until(deadline)) break;
    }
    return reports_;
  }

  std::vector<Report> reports() {
    MutexLock hold(&mutex_);
    return reports_;
  }

  std::atomic<bool> throw_in_report{false};

 private:
  std::vector<ClientEvent>* events_;
  Mutex mutex_;
  CondVar changed_{&mutex_};
  std::vector<Report> reports_ GUARDED_BY(mutex_);
};

class TestSdk : public RiskSdk {
 public:
  std::unique_ptr<RiskApp> create_app(const std::string& key) override {
    ++create_calls;
    if (slow_create) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (throw_on_create.exchange(false)) throw std::runtime_error("no memory for apps");
    return std::make_unique<TestApp>(key, this, &client_events);
  }

  std::string get_sdk_property(const std::string& key) override {
    read_keys.emplace_back(key);
    return std::string("value of ") + key;
  }

  void set_sdk_property(const std::string& key, const std::string& value) override {
    written.emplace_back(key, value);
  }

  TestApp* app(const std::string& key) { return static_cast<TestApp*>(get_app(key)); }

  std::atomic<int> create_calls{0};
  std::atomic<bool> slow_create{false};
  std::atomic<bool> throw_on_create{false};
  std::vector<ClientEvent> client_events;
  std::vector<std::string> read_keys;
  std::vector<std::pair<std::string, std::string>> written;
};

std::unique_ptr<StringMap> options_of(const StringMap& map) {
  return std::make_unique<StringMap>(map);
}

class RiskSdkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      MutexLock hold(&g_log_mutex);
      g_log_lines.clear();
    }
    set_log_hook(&capture_log);
    sdk_ = std::make_unique<TestSdk>();
    sdk_->initialize();
  }
  void TearDown() override {
    sdk_.reset();
    set_log_hook(nullptr);
  }

  std::unique_ptr<TestSdk> sdk_;
};

TEST_F(RiskSdkTest, InitializeSetsVariantAndCreatesEventList) {
  EXPECT_EQ(sdk_->sdk_variant(), 2);
  EXPECT_NE(sdk_->event_list(), nullptr);
  EXPECT_EQ(sdk_->facts().os_type, 0);  // only the platform setup sets it
}

TEST_F(RiskSdkTest, ConcurrentFirstCallersShareOneApp) {
  sdk_->slow_create = true;  // widens the window in which both callers race
  constexpr int kCallers = 8;
  std::atomic<int> arrived{0};
  std::vector<RiskApp*> seen(kCallers, nullptr);
  std::vector<std::thread> callers;
  for (int i = 0; i < kCallers; ++i) {
    callers.emplace_back([&, i]() {
      ++arrived;
      while (arrived.load() < kCallers) std::this_thread::yield();
      seen[i] = sdk_->get_app("same-key");
    });
  }
  for (std::thread& caller : callers) caller.join();
  ASSERT_NE(seen[0], nullptr);
  for (RiskApp* app : seen) EXPECT_EQ(app, seen[0]);
  EXPECT_EQ(sdk_->create_calls.load(), 1);
  EXPECT_EQ(seen[0]->app_key(), "same-key");
}

TEST_F(RiskSdkTest, KeysAreComparedBytewise) {
  RiskApp* a = sdk_->get_app("key");
  RiskApp* b = sdk_->get_app(std::string("key\0x", 5));
  RiskApp* c = sdk_->get_app("Key");
  EXPECT_NE(a, b);
  EXPECT_NE(a, c);
  EXPECT_EQ(sdk_->get_app("key"), a);
  EXPECT_EQ(sdk_->create_calls.load(), 3);
}

TEST_F(RiskSdkTest, FailedCreationReturnsNullAndLaterCallsRetry) {
  sdk_->throw_on_create = true;
  EXPECT_EQ(sdk_->get_app("k"), nullptr);
  EXPECT_TRUE(log_contains("fail to create app: no memory for apps"));
  EXPECT_NE(sdk_->get_app("k"), nullptr);
}

// Every key is kept for the life of the process: one longer than any real
// key is refused before anything is made for it.
TEST_F(RiskSdkTest, KeysLongerThanOneKibibyteAreRefusedAndCreateNothing) {
  const std::string longest(kMaxAppKeyBytes, 'k');
  EXPECT_NE(sdk_->get_app(longest), nullptr);
  EXPECT_EQ(sdk_->get_app(longest + "k"), nullptr);
  EXPECT_EQ(sdk_->get_app(std::string(1 << 20, 'k')), nullptr);
  EXPECT_EQ(sdk_->create_calls.load(), 1);
  EXPECT_TRUE(
      log_contains("application key of 1025 bytes is longer than any real key (1024), refused"));
}

TEST_F(RiskSdkTest, NoAppsOnceShutDown) {
  ASSERT_NE(sdk_->get_app("before"), nullptr);
  sdk_->shutdown();
  EXPECT_TRUE(sdk_->is_destroyed());
  EXPECT_EQ(sdk_->get_app("before"), nullptr);
  EXPECT_EQ(sdk_->get_app("after"), nullptr);
  EXPECT_FALSE(sdk_->dispatch_client_event(1, 2, "x"));
}

TEST_F(RiskSdkTest, ClientEventsReachAppsInKeyOrder) {
  sdk_->get_app("b");
  sdk_->get_app("a");
  sdk_->get_app("c");
  EXPECT_TRUE(sdk_->dispatch_client_event(7, 9, "text"));
  ASSERT_EQ(sdk_->client_events.size(), 3u);
  EXPECT_EQ(sdk_->client_events[0].app_key, "a");
  EXPECT_EQ(sdk_->client_events[1].app_key, "b");
  EXPECT_EQ(sdk_->client_events[2].app_key, "c");
  EXPECT_EQ(sdk_->client_events[2].type, 7u);
  EXPECT_EQ(sdk_->client_events[2].code, 9u);
  EXPECT_EQ(sdk_->client_events[2].text, "text");
}

TEST_F(RiskSdkTest, AppPropertiesArePrefixedWithTheKey) {
  RiskApp* app = sdk_->get_app("k");
  EXPECT_EQ(app->get_property("Scene"), "value of k:Scene");
  app->set_property("Scene", "checkout");
  sdk_->set_property("bare", "v");
  EXPECT_EQ(sdk_->get_property("bare"), "value of bare");
  ASSERT_EQ(sdk_->written.size(), 2u);
  EXPECT_EQ(sdk_->written[0], std::make_pair(std::string("k:Scene"), std::string("checkout")));
  EXPECT_EQ(sdk_->written[1], std::make_pair(std::string("bare"), std::string("v")));
}

TEST_F(RiskSdkTest, BaseSdkHasNoPropertiesAndNoTransport) {
  RiskSdk plain;
  EXPECT_EQ(plain.get_property("anything"), "");
  EXPECT_EQ(plain.post("https://example.invalid/udid/m1", "body"), nullptr);
}

TEST_F(RiskSdkTest, SetOptionsReplacesTheWholeMap) {
  RiskApp* app = sdk_->get_app("k");
  app->set_options({{"A", "1"}, {"B", "2"}});
  app->set_options({{"B", "3"}});
  EXPECT_EQ(app->merged_options({}), (StringMap{{"B", "3"}}));
}

TEST_F(RiskSdkTest, CallOptionsWinWhenMerged) {
  RiskApp* app = sdk_->get_app("k");
  app->set_options({{"KEY_URL", "https://a"}, {"keep", "1"}});
  StringMap merged = app->merged_options({{"KEY_URL", "https://b"}, {"extra", ""}});
  EXPECT_EQ(merged, (StringMap{{"KEY_URL", "https://b"}, {"extra", ""}, {"keep", "1"}}));
  // The application's own map is untouched.
  EXPECT_EQ(app->merged_options({}).at("KEY_URL"), "https://a");
}

class ReportSchedulingTest : public RiskSdkTest {};

TEST_F(ReportSchedulingTest, EarlierLaterCallWinsWithItsOptions) {
  TestApp* app = sdk_->app("k");
  app->schedule_situation_update(kFarAway, options_of({{"call", "first"}}));
  const int64_t second_call = now_ms();
  app->schedule_situation_update(100, options_of({{"call", "second"}}));
  std::vector<Report> reports = app->wait_for_reports(1);
  ASSERT_EQ(reports.size(), 1u) << "the earlier deadline of the second call did not fire";
  EXPECT_EQ(reports[0].options, (StringMap{{"call", "second"}}));
  EXPECT_GE(reports[0].at_ms, second_call + 100);
  // The report cleared the deadline: nothing is left to report.
  sdk_->shutdown();
  EXPECT_EQ(app->reports().size(), 1u);
}

TEST_F(ReportSchedulingTest, LaterCallCannotPostponeButItsOptionsAreUsed) {
  TestApp* app = sdk_->app("k");
  app->schedule_situation_update(100, options_of({{"call", "first"}}));
  app->schedule_situation_update(kFarAway, options_of({{"call", "second"}}));
  std::vector<Report> reports = app->wait_for_reports(1);
  ASSERT_EQ(reports.size(), 1u) << "the later call postponed the report";
  EXPECT_EQ(reports[0].options, (StringMap{{"call", "second"}}));
  sdk_->shutdown();
  EXPECT_EQ(app->reports().size(), 1u);
}

TEST_F(ReportSchedulingTest, NegativeDelayFiresAtTheNextTick) {
  TestApp* app = sdk_->app("k");
  app->schedule_situation_update(-5000, options_of({{"n", "1"}}));
  ASSERT_EQ(app->wait_for_reports(1).size(), 1u);
}

TEST_F(ReportSchedulingTest, MissingOptionsReachTheReportAsNone) {
  TestApp* app = sdk_->app("k");
  app->schedule_situation_update(0, nullptr);
  std::vector<Report> reports = app->wait_for_reports(1);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_FALSE(reports[0].has_options);
}

TEST_F(ReportSchedulingTest, ExtremeDelaysNeitherOverflowNorWedge) {
  TestApp* app = sdk_->app("k");
  // Without saturation the first wraps to a time that never comes, the
  // second to one long past.
  app->schedule_situation_update(std::numeric_limits<int64_t>::max(), options_of({}));
  app->schedule_situation_update(std::numeric_limits<int64_t>::min(), options_of({{"m", "1"}}));
  std::vector<Report> reports = app->wait_for_reports(1);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].options, (StringMap{{"m", "1"}}));
}

TEST_F(ReportSchedulingTest, ScheduleAfterAReportStartsAnotherOne) {
  TestApp* app = sdk_->app("k");
  app->schedule_situation_update(0, options_of({{"round", "1"}}));
  ASSERT_EQ(app->wait_for_reports(1).size(), 1u);
  app->schedule_situation_update(0, options_of({{"round", "2"}}));
  std::vector<Report> reports = app->wait_for_reports(2);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1].options, (StringMap{{"round", "2"}}));
}

TEST_F(ReportSchedulingTest, ThrowingReportIsContainedAndLogged) {
  TestApp* app = sdk_->app("k");
  app->throw_in_report = true;
  app->schedule_situation_update(0, options_of({}));
  ASSERT_EQ(app->wait_for_reports(1).size(), 1u);
  sdk_->shutdown();  // the report thread has ended
  EXPECT_TRUE(log_contains("situation report failed: report exploded"));
}

TEST_F(ReportSchedulingTest, PendingReportDoesNotOutliveTheSdk) {
  TestApp* app = sdk_->app("k");
  app->schedule_situation_update(kFarAway, options_of({}));
  // Destruction waits for the report thread, which gives up at its next
  // tick; ASan/TSan builds catch any access after this point.
  sdk_.reset();
  SUCCEED();
}

TEST_F(ReportSchedulingTest, NoReportThreadStartsOnceShutDown) {
  TestApp* app = sdk_->app("k");
  sdk_->shutdown();
  app->schedule_situation_update(0, options_of({}));
  EXPECT_TRUE(log_contains("fail to start report thread"));
  EXPECT_TRUE(app->reports().empty());
}

TEST(ThreadGateTest, CloseWaitsForEveryPass) {
  ThreadGate gate;
  std::atomic<bool> finished{false};
  ThreadGate::Pass pass = gate.enter();
  ASSERT_TRUE(pass);
  std::thread worker([&finished, pass = std::move(pass)]() mutable {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    finished = true;
    pass.release();
  });
  gate.close_and_wait();
  EXPECT_TRUE(finished.load());
  EXPECT_FALSE(gate.enter());
  worker.join();
}

}  // namespace
}  // namespace risk
