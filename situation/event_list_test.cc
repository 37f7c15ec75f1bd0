#include "situation/event_list.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/log.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "core/risk_sdk.h"
#include "crypto/json/json11.h"
#include "platform/harmony_event_list.h"

namespace risk {
namespace {

constexpr auto kPatience = std::chrono::seconds(30);

Mutex g_log_mutex;
std::vector<std::string> g_log_lines GUARDED_BY(g_log_mutex);

void capture_log(const char*, const char* text) {
  MutexLock hold(&g_log_mutex);
  g_log_lines.emplace_back(text);
}

int log_count(const std::string& line) {
  MutexLock hold(&g_log_mutex);
  int n = 0;
  for (const std::string& seen : g_log_lines) n += seen == line ? 1 : 0;
  return n;
}

// Counts deliveries; answers with `answer`. Never calls back into the list.
class CountingList : public EventList {
 public:
  explicit CountingList(RiskSdk* sdk) : EventList(sdk) {}
  bool deliver(EventEntry& entry) override {
    ++deliveries;
    if (throw_on_deliver) throw std::runtime_error("deliver exploded");
    if (answer) EventList::deliver(entry);
    return answer;
  }
  std::atomic<int> deliveries{0};
  std::atomic<bool> answer{true};
  std::atomic<bool> throw_on_deliver{false};
};

struct Seen {
  std::string app_key;
  uint32_t event;
  uint32_t code;
  std::string text;
};

class RecordingApp : public RiskApp {
 public:
  RecordingApp(const std::string& key, RiskSdk* sdk, Mutex* mutex, std::vector<Seen>* seen)
      : RiskApp(key, sdk), mutex_(mutex), seen_(seen) {}
  void on_client_event(uint32_t event, uint32_t code, const std::string& text) override {
    MutexLock hold(mutex_);
    seen_->push_back(Seen{app_key(), event, code, text});
  }

 private:
  Mutex* mutex_;
  std::vector<Seen>* seen_ PT_GUARDED_BY(mutex_);
};

enum class ListKind { kBase, kCounting, kHarmony };

class EventSdk : public RiskSdk {
 public:
  explicit EventSdk(ListKind kind) : kind_(kind) {}
  ~EventSdk() override { shutdown(); }

  std::unique_ptr<EventList> create_event_list() override {
    switch (kind_) {
      case ListKind::kCounting:
        return std::make_unique<CountingList>(this);
      case ListKind::kHarmony:
        return std::make_unique<HarmonyEventList>(this);
      case ListKind::kBase:
        break;
    }
    return std::make_unique<EventList>(this);
  }
  std::unique_ptr<RiskApp> create_app(const std::string& key) override {
    return std::make_unique<RecordingApp>(key, this, &seen_mutex, &seen);
  }

  std::vector<Seen> seen_events() {
    MutexLock hold(&seen_mutex);
    return seen;
  }

  Mutex seen_mutex;
  std::vector<Seen> seen GUARDED_BY(seen_mutex);

 private:
  ListKind kind_;
};

class EventListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    {
      MutexLock hold(&g_log_mutex);
      g_log_lines.clear();
    }
    set_log_hook(&capture_log);
  }
  void TearDown() override {
    sdk_.reset();
    set_log_hook(nullptr);
  }

  EventList* make(ListKind kind) {
    sdk_ = std::make_unique<EventSdk>(kind);
    sdk_->initialize();
    return sdk_->event_list();
  }
  CountingList* make_counting() { return static_cast<CountingList*>(make(ListKind::kCounting)); }

  // Polls (generously) until done() holds.
  template <typename Done>
  bool eventually(Done done) {
    auto give_up = std::chrono::steady_clock::now() + kPatience;
    while (!done()) {
      if (std::chrono::steady_clock::now() > give_up) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  std::unique_ptr<EventSdk> sdk_;
};

// The rendering written out by hand, independently of the JSON layer.
std::string expected_object(const EventSnapshot& e, const std::string& escaped_msg) {
  return "{\"code\": " + std::to_string(e.code) + ", \"event\": " + std::to_string(e.event) +
         ", \"msg\": \"" + escaped_msg + "\", \"ts\": " + std::to_string(e.time) + "}";
}

TEST_F(EventListTest, EmptyListRendersAsEmptyText) {
  EventList* list = make(ListKind::kBase);
  EXPECT_EQ(list->events_json(), "");
  EXPECT_EQ(list->count_text(), "0");
}

TEST_F(EventListTest, RendersOnlyTheLastHundred) {
  EventList* list = make(ListKind::kBase);
  for (uint32_t i = 1; i <= 150; ++i) list->add_event(i, i * 2, ("m" + std::to_string(i)).c_str());
  EXPECT_EQ(list->count_text(), "100");
  std::vector<EventSnapshot> held = list->entries();
  ASSERT_EQ(held.size(), 100u);
  std::string expected = "[";
  for (uint32_t i = 0; i < held.size(); ++i) {
    EXPECT_EQ(held[i].event, 51 + i);
    if (i > 0) expected += ", ";
    expected += expected_object(held[i], "m" + std::to_string(51 + i));
  }
  expected += "]";
  EXPECT_EQ(list->events_json(), expected);
}

TEST_F(EventListTest, WrapsExactlyAtTheHundredthEvent) {
  EventList* list = make(ListKind::kBase);
  for (uint32_t i = 1; i <= 100; ++i) list->add_event(i, 0, "");
  EXPECT_EQ(list->entries().front().event, 1u);
  list->add_event(101, 0, "");
  std::vector<EventSnapshot> held = list->entries();
  ASSERT_EQ(held.size(), 100u);
  EXPECT_EQ(held.front().event, 2u);
  EXPECT_EQ(held.back().event, 101u);
}

TEST_F(EventListTest, RendersExactJsonTextWithEscapesAndNullMessage) {
  EventList* list = make(ListKind::kBase);
  const int64_t before = now_ms();
  list->add_event(4294967295u, 9, "say \"hi\"\n\t/");
  list->add_event(1, 2, nullptr);
  const int64_t after = now_ms();
  std::vector<EventSnapshot> held = list->entries();
  ASSERT_EQ(held.size(), 2u);
  for (const EventSnapshot& e : held) {
    EXPECT_GE(e.time, before);
    EXPECT_LE(e.time, after);
    EXPECT_TRUE(e.has_message);
  }
  EXPECT_EQ(held[1].message, "");
  EXPECT_EQ(list->events_json(), "[" + expected_object(held[0], "say \\\"hi\\\"\\n\\t/") + ", " +
                                     expected_object(held[1], "") + "]");
}

TEST_F(EventListTest, SingleEventRendersAsOneElementArray) {
  EventList* list = make(ListKind::kBase);
  list->add_event(3, 4, "x");
  std::string error;
  json11::Json parsed = json11::Json::parse(list->events_json(), error);
  ASSERT_TRUE(error.empty()) << error;
  ASSERT_EQ(parsed.array_items().size(), 1u);
  EXPECT_EQ(parsed[0]["msg"].string_value(), "x");
  EXPECT_GT(parsed[0]["ts"].int_value(), int64_t{1600000000000});  // 64-bit, not cut
}

TEST_F(EventListTest, IdenticalEventsTakeTwoSlots) {
  EventList* list = make(ListKind::kHarmony);
  list->add_event(5, 5, "same");
  list->add_event(5, 5, "same");
  EXPECT_EQ(list->count_text(), "2");
  EXPECT_EQ(log_count("event exist"), 0);
}

TEST_F(EventListTest, HeldEventsAreDeliveredOnceAndNewOnesAtOnce) {
  CountingList* list = make_counting();
  sdk_->get_app("k");
  for (uint32_t i = 0; i < 3; ++i) list->add_event(i, 0, "early");
  for (const EventSnapshot& e : list->entries()) EXPECT_FALSE(e.delivered);
  EXPECT_EQ(list->deliveries.load(), 0);

  list->start_delivery();
  ASSERT_TRUE(eventually([&]() { return list->deliveries.load() == 3; }));
  list->add_event(9, 1, "late");
  EXPECT_EQ(list->deliveries.load(), 4);  // delivered inside add_event
  sdk_->shutdown();                       // the worker has ended
  EXPECT_EQ(list->deliveries.load(), 4);
  for (const EventSnapshot& e : list->entries()) EXPECT_TRUE(e.delivered);
  std::vector<Seen> seen = sdk_->seen_events();
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[3].event, 9u);
  EXPECT_EQ(seen[3].text, "late");
}

TEST_F(EventListTest, StartingDeliveryTwiceStartsOneWorker) {
  CountingList* list = make_counting();
  list->answer = false;  // flags stay false, so a second worker would deliver again
  for (uint32_t i = 0; i < 3; ++i) list->add_event(i, 0, "");
  list->start_delivery();
  list->start_delivery();
  sdk_->shutdown();  // waits for every worker
  EXPECT_EQ(list->deliveries.load(), 3);
}

TEST_F(EventListTest, BaseDeliveryReachesEveryAppInKeyOrder) {
  EventList* list = make(ListKind::kBase);
  sdk_->get_app("b");
  sdk_->get_app("a");
  list->start_delivery();
  list->add_event(11, 12, "msg");
  std::vector<Seen> seen = sdk_->seen_events();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].app_key, "a");
  EXPECT_EQ(seen[1].app_key, "b");
  EXPECT_EQ(seen[0].event, 11u);
  EXPECT_EQ(seen[0].code, 12u);
  EXPECT_EQ(seen[0].text, "msg");
  EXPECT_TRUE(list->entries().back().delivered);
}

TEST_F(EventListTest, HarmonyListNeverDelivers) {
  EventList* list = make(ListKind::kHarmony);
  sdk_->get_app("k");
  list->add_event(1, 1, "before");
  list->start_delivery();
  list->add_event(2, 2, "after");
  sdk_->shutdown();
  for (const EventSnapshot& e : list->entries()) EXPECT_FALSE(e.delivered);
  EXPECT_TRUE(sdk_->seen_events().empty());
}

TEST_F(EventListTest, ThrowingDeliveryDoesNotWedgeTheLock) {
  CountingList* list = make_counting();
  list->start_delivery();
  list->throw_on_deliver = true;
  list->add_event(1, 0, "boom");
  EXPECT_EQ(log_count("event list fail to add event 1: deliver exploded"), 1);
  list->throw_on_deliver = false;
  list->add_event(2, 0, "fine");  // would hang if the lock were still held
  EXPECT_EQ(list->count_text(), "2");
}

// A delivery that breaks the rule and calls back into the list finds the
// lock held by its own thread: the C library refuses it (EDEADLK), the
// inner operations are logged and skipped, and the outer add still gives
// the lock back.
class ReenteringList : public EventList {
 public:
  explicit ReenteringList(RiskSdk* sdk) : EventList(sdk) {}
  bool deliver(EventEntry&) override {
    inner_count = count_text();
    add_event(9, 9, "inner");
    return true;
  }
  std::string inner_count = "unset";
};

TEST_F(EventListTest, LockRefusedToItsOwnHolderIsLoggedAndSkipped) {
  auto sdk = std::make_unique<EventSdk>(ListKind::kBase);
  ReenteringList list(sdk.get());
  list.start_delivery();
  list.add_event(1, 0, "outer");
  EXPECT_EQ(list.inner_count, "");
  EXPECT_EQ(log_count("event list fail to rdlock"), 1);
  EXPECT_EQ(log_count("event list fail to wrlock"), 1);
  std::vector<EventSnapshot> held = list.entries();  // would hang if still held
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].message, "outer");
  EXPECT_TRUE(held[0].delivered);
  // The delivery thread uses the list until it gives its pass back.
  sdk->thread_gate().close_and_wait();
}

class EventSinkTest : public EventListTest {
 protected:
  void TearDown() override {
    register_event_sink(nullptr);
    EventListTest::TearDown();
  }
};

TEST_F(EventSinkTest, SendEventReachesTheRegisteredList) {
  EventList* list = make(ListKind::kHarmony);
  send_event(1, 1, "dropped: nothing registered");
  register_event_sink(list);
  send_event(2, 3, "kept");
  std::vector<EventSnapshot> held = list->entries();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held[0].event, 2u);
  EXPECT_EQ(held[0].message, "kept");
}

TEST_F(EventSinkTest, LaterRegistrationReplacesAndDestroyedListIsForgotten) {
  EventList* first = make(ListKind::kHarmony);
  register_event_sink(first);
  {
    EventSdk second(ListKind::kHarmony);
    second.initialize();
    register_event_sink(second.event_list());
    send_event(1, 0, "to second");
    EXPECT_EQ(second.event_list()->count_text(), "1");
  }
  send_event(2, 0, "nowhere");  // the second list is gone: must not touch it
  EXPECT_EQ(first->count_text(), "0");
}

TEST_F(EventSinkTest, FormattedMessageIsCutAt1023Characters) {
  EventList* list = make(ListKind::kHarmony);
  register_event_sink(list);
  send_event_format(1, 2, "%s", std::string(2000, 'x').c_str());
  send_event_format(3, 4, "%d-%s", 42, "y");
  std::vector<EventSnapshot> held = list->entries();
  ASSERT_EQ(held.size(), 2u);
  EXPECT_EQ(held[0].message, std::string(1023, 'x'));
  EXPECT_EQ(held[1].message, "42-y");
}

TEST_F(EventListTest, UnlockRetriesWithDoublingSleepsAndLogsPastOneMillisecond) {
  int failures_left = 6;
  std::vector<uint64_t> sleeps;
  std::vector<int> logs_before_retry;
  unlock_with_retry(
      [&]() {
        logs_before_retry.push_back(log_count("event list still fail to unlock"));
        return failures_left-- > 0 ? 1 : 0;
      },
      [&](uint64_t micros) { sleeps.push_back(micros); });
  EXPECT_EQ(sleeps, (std::vector<uint64_t>{200, 400, 800, 1600, 3200, 6400}));
  // Attempts 1..7: no log before the retries after 200 and 400 µs; one more
  // before every retry from the one after the 800 µs sleep on.
  EXPECT_EQ(logs_before_retry, (std::vector<int>{0, 0, 0, 1, 2, 3, 4}));
}

TEST_F(EventListTest, ProducersAndReadersRunConcurrently) {
  EventList* list = make(ListKind::kBase);
  sdk_->get_app("k");
  register_event_sink(list);
  constexpr int kProducers = 4;
  constexpr int kEventsEach = 400;
  std::atomic<bool> producing{true};
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([p]() {
      for (int i = 0; i < kEventsEach; ++i) send_event_format(p, i, "producer %d event %d", p, i);
    });
  }
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&]() {
      while (producing.load()) {
        std::string text = list->events_json();
        std::string error;
        if (!text.empty()) {
          json11::Json parsed = json11::Json::parse(text, error);
          EXPECT_TRUE(error.empty()) << error;
          EXPECT_LE(parsed.array_items().size(), 100u);
        }
        EXPECT_FALSE(list->count_text().empty());
      }
    });
  }
  list->start_delivery();
  for (std::thread& t : threads) t.join();
  producing = false;
  for (std::thread& t : readers) t.join();
  register_event_sink(nullptr);
  // The worker may still be going through the events held before
  // start_delivery.
  ASSERT_TRUE(eventually([&]() {
    for (const EventSnapshot& e : list->entries()) {
      if (!e.delivered) return false;
    }
    return true;
  }));
  EXPECT_EQ(list->count_text(), "100");
  std::vector<EventSnapshot> held = list->entries();
  ASSERT_EQ(held.size(), 100u);
  // Each producer's events stay in its own order.
  std::vector<int> last(kProducers, -1);
  for (const EventSnapshot& e : held) {
    EXPECT_GT(static_cast<int>(e.code), last[e.event]);
    last[e.event] = static_cast<int>(e.code);
  }
  // Every held event reached the one app; those overwritten before the
  // worker reached them never did.
  EXPECT_GE(sdk_->seen_events().size(), 100u);
  EXPECT_LE(sdk_->seen_events().size(), static_cast<size_t>(kProducers * kEventsEach));
}

}  // namespace
}  // namespace risk
