// A test platform for the token core: a RiskSdk with an in-memory property
// store (shareable, so that a second SDK object can read what the first
// stored), a scripted post that can answer, fail, answer late or not at
// all, and a few scripted collectors; and a RiskApp that records what the
// core hands it. Test-only; header-only.
//
// The properties and the post keep the platform's promise not to throw,
// except in the fault modes a test asks for by name (Answer::throwing,
// set_throw_in_properties): those break it on purpose, to show that the
// thread that meets the throw still answers.
//
// Threads: the post and the collectors run on the library's threads
// (network, report, collector threads); everything here that they touch is
// guarded by a mutex (GUARDED_BY). The FakeSdk destructor first lets every
// held post return, then waits for the library threads (RiskSdk::shutdown),
// so no thread outlives the objects it points to.
#ifndef RISK_CORE_TESTING_FAKE_PLATFORM_H_
#define RISK_CORE_TESTING_FAKE_PLATFORM_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "base/log.h"
#include "base/mutex.h"
#include "base/strings.h"
#include "base/thread_annotations.h"
#include "base/types.h"
#include "core/risk_sdk.h"
#include "situation/event_list.h"

namespace risk {
namespace testing {

// Patience for anything the tests wait on: generous, the machine is shared.
constexpr auto kPatience = std::chrono::seconds(60);

// The application's persisted properties, shared by SDK objects.
class PropertyStore {
 public:
  std::string get(const std::string& key) const {
    MutexLock hold(&mutex_);
    auto found = values_.find(key);
    return found == values_.end() ? std::string() : found->second;
  }
  void set(const std::string& key, const std::string& value) {
    MutexLock hold(&mutex_);
    values_[key] = value;
  }
  bool has(const std::string& key) const {
    MutexLock hold(&mutex_);
    return values_.count(key) != 0;
  }
  StringMap snapshot() const {
    MutexLock hold(&mutex_);
    return values_;
  }

 private:
  mutable Mutex mutex_;
  StringMap values_ GUARDED_BY(mutex_);
};

// What the scripted post does with one request.
struct Answer {
  enum class Kind {
    kBody,        // a PostResponse with body (after delay)
    kNoResponse,  // no PostResponse at all (after delay)
    kHold,        // blocks until release_posts(), then no PostResponse
    kThrow,       // throws std::runtime_error
    kThrowOther,  // throws a value that is no std::exception
  };
  Kind kind = Kind::kNoResponse;
  std::string body;
  std::chrono::milliseconds delay{0};

  static Answer with_body(std::string body) {
    Answer a;
    a.kind = Kind::kBody;
    a.body = std::move(body);
    return a;
  }
  static Answer none() { return Answer(); }
  static Answer hold() {
    Answer a;
    a.kind = Kind::kHold;
    return a;
  }
  static Answer late(Answer answer, std::chrono::milliseconds delay) {
    answer.delay = delay;
    return answer;
  }
  static Answer throwing(bool std_exception = true) {
    Answer a;
    a.kind = std_exception ? Kind::kThrow : Kind::kThrowOther;
    return a;
  }
};

// One request the scripted post received.
struct PostRecord {
  std::string url;
  std::string body;
  std::thread::id thread;
};

// What a collector misbehaves with (set by the test).
enum class CollectorFault { kNone, kStdException, kOtherException, kSystemError };

class FakeApp;

// The SDK's event list, whose count can be made to fail.
class FaultyEventList : public EventList {
 public:
  FaultyEventList(RiskSdk* sdk, const std::atomic<bool>* fail) : EventList(sdk), fail_(fail) {}
  std::string count_text() override {
    if (fail_->load()) throw std::runtime_error("event list unavailable");
    return EventList::count_text();
  }

 private:
  const std::atomic<bool>* fail_;
};

class FakeSdk : public RiskSdk {
 public:
  // Data keys of the scripted collectors.
  static constexpr const char* kIdentityKey = "K1";
  static constexpr const char* kIdentityValue = "fake-device";
  static constexpr const char* kModelKey = "K2";
  static constexpr const char* kModelValue = "model 7";
  static constexpr const char* kLaterKey = "K9";  // written after the fault collector

  explicit FakeSdk(std::shared_ptr<PropertyStore> store = std::make_shared<PropertyStore>())
      : RiskSdk(fake_facts()), store_(std::move(store)) {
    initialize();
  }

  static SdkFacts fake_facts() {
    SdkFacts facts;
    facts.app_name = "fake-app";
    facts.app_version_code = 7;
    facts.app_version_name = "1.0.7";
    facts.os_type = 2;
    facts.os_version = "5.0.0";
    facts.sdk_version = kSdkVersion;
    return facts;
  }

  ~FakeSdk() override {
    // No post may hold from here on, or shutdown would wait for it forever.
    {
      MutexLock hold(&mutex_);
      closing_ = true;
      ++release_generation_;
      changed_.notify_all();
    }
    shutdown();
  }

  void initialize() override {
    RiskSdk::initialize();
    // Registered last runs first: identity, model, fault, later.
    register_collector(
        "later", [](RiskApp&, StringMap& result, void*) { result[kLaterKey] = "after the fault"; });
    register_collector("fault", [this](RiskApp&, StringMap&, void*) {
      switch (fault_.load()) {
        case CollectorFault::kNone:
          return;
        case CollectorFault::kStdException:
          throw std::runtime_error("collector exploded");
        case CollectorFault::kOtherException:
          throw 42;
        case CollectorFault::kSystemError:
          throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                  "thread");
      }
    });
    register_collector("model",
                       [](RiskApp&, StringMap& result, void*) { result[kModelKey] = kModelValue; });
    register_collector("identity", [](RiskApp&, StringMap& result, void*) {
      result[kIdentityKey] = kIdentityValue;
    });
  }

  std::unique_ptr<RiskApp> create_app(const std::string& key) override;

  std::unique_ptr<EventList> create_event_list() override {
    return std::make_unique<FaultyEventList>(this, &throw_in_event_count_);
  }

  // Records the thread that runs the collection, waits while the test holds
  // it, then collects.
  void collect(RiskApp& app, const StringMap& params, StringMap& result) override {
    {
      MutexLock hold(&mutex_);
      const bool held = collect_threads_.size() == held_collection_;
      collect_threads_.push_back(std::this_thread::get_id());
      changed_.notify_all();
      const auto deadline = std::chrono::steady_clock::now() + kPatience;
      while (held && collection_held_) {
        if (!changed_.wait_until(deadline)) break;
      }
    }
    RiskSdk::collect(app, params, result);
  }

  std::string get_sdk_property(const std::string& key) override {
    if (throw_in_properties_.load()) throw std::runtime_error("store unavailable");
    return store_->get(key);
  }
  void set_sdk_property(const std::string& key, const std::string& value) override {
    store_->set(key, value);
  }
  // Several at once: recorded as one batch ("get" or "set" and the keys in
  // their order), then served one by one as the base does.
  std::vector<std::string> get_sdk_properties(const std::vector<std::string>& keys) override {
    note_batch("get", keys);
    return RiskSdk::get_sdk_properties(keys);
  }
  void set_sdk_properties(const PropertyEntries& entries) override {
    std::vector<std::string> keys;
    for (const auto& entry : entries) keys.push_back(entry.first);
    note_batch("set", keys);
    RiskSdk::set_sdk_properties(entries);
  }
  // The batches so far: the operation, then the keys.
  std::vector<std::vector<std::string>> property_batches() const {
    MutexLock hold(&mutex_);
    return property_batches_;
  }

  std::unique_ptr<PostResponse> post(const std::string& url, const std::string& body) override {
    Answer answer;
    {
      MutexLock hold(&mutex_);
      posts_.push_back(PostRecord{url, body, std::this_thread::get_id()});
      changed_.notify_all();
      if (!queued_.empty()) {
        answer = queued_.front();
        queued_.pop_front();
      } else if (responder_) {
        answer = responder_(url, body);
      } else {
        answer = default_answer_;
      }
      if (closing_) {
        if (answer.kind == Answer::Kind::kHold) return nullptr;
        answer.delay = std::chrono::milliseconds(0);
      }
      if (answer.kind == Answer::Kind::kHold) {
        ++held_;
        changed_.notify_all();
        const uint64_t generation = release_generation_;
        while (release_generation_ == generation) changed_.wait();
        --held_;
        return nullptr;
      }
      if (answer.delay.count() > 0) {
        const uint64_t generation = release_generation_;
        const auto deadline = std::chrono::steady_clock::now() + answer.delay;
        while (release_generation_ == generation) {
          if (!changed_.wait_until(deadline)) break;
        }
      }
    }
    switch (answer.kind) {
      case Answer::Kind::kBody: {
        auto response = std::make_unique<PostResponse>();
        response->status_code = 200;
        response->body = answer.body;
        return response;
      }
      case Answer::Kind::kThrow:
        throw std::runtime_error("post exploded");
      case Answer::Kind::kThrowOther:
        throw 7;
      default:
        return nullptr;
    }
  }

  // --- Scripting (any thread). ---

  // Answers used in order before anything else.
  void queue(Answer answer) {
    MutexLock hold(&mutex_);
    queued_.push_back(std::move(answer));
  }
  // Computes the answer from the request when the queue is empty.
  void respond_with(std::function<Answer(const std::string& url, const std::string& body)> fn) {
    MutexLock hold(&mutex_);
    responder_ = std::move(fn);
  }
  void answer_always(Answer answer) {
    MutexLock hold(&mutex_);
    responder_ = nullptr;
    default_answer_ = std::move(answer);
  }
  // Lets every held or late post return now.
  void release_posts() {
    MutexLock hold(&mutex_);
    ++release_generation_;
    changed_.notify_all();
  }
  // The collection with this index (0 for the first) waits until
  // release_collection.
  void hold_collection(size_t index) {
    MutexLock hold(&mutex_);
    held_collection_ = index;
    collection_held_ = true;
  }
  void release_collection() {
    MutexLock hold(&mutex_);
    collection_held_ = false;
    changed_.notify_all();
  }
  // Waits until n collections began; false after kPatience.
  bool wait_for_collections(size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    MutexLock hold(&mutex_);
    while (collect_threads_.size() < n) {
      if (!changed_.wait_until(deadline)) return collect_threads_.size() >= n;
    }
    return true;
  }
  void set_collector_fault(CollectorFault fault) { fault_.store(fault); }
  // Makes every property read throw.
  void set_throw_in_properties(bool on) { throw_in_properties_.store(on); }
  // Makes the event list's count_text throw.
  void set_throw_in_event_count(bool on) { throw_in_event_count_.store(on); }

  // --- Observation (any thread). ---

  std::vector<PostRecord> posts() const {
    MutexLock hold(&mutex_);
    return posts_;
  }
  size_t post_count() const {
    MutexLock hold(&mutex_);
    return posts_.size();
  }
  // Waits until at least n posts arrived; false after kPatience.
  bool wait_for_posts(size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    MutexLock hold(&mutex_);
    while (posts_.size() < n) {
      if (!changed_.wait_until(deadline)) return posts_.size() >= n;
    }
    return true;
  }
  // Waits until n posts are held.
  bool wait_for_held(int n) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    MutexLock hold(&mutex_);
    while (held_ < n) {
      if (!changed_.wait_until(deadline)) return held_ >= n;
    }
    return true;
  }
  std::vector<std::thread::id> collect_threads() const {
    MutexLock hold(&mutex_);
    return collect_threads_;
  }
  PropertyStore& store() { return *store_; }

  FakeApp* app(const std::string& key);

 private:
  std::shared_ptr<PropertyStore> store_;
  std::atomic<CollectorFault> fault_{CollectorFault::kNone};
  std::atomic<bool> throw_in_properties_{false};
  std::atomic<bool> throw_in_event_count_{false};

  mutable Mutex mutex_;
  CondVar changed_{&mutex_};
  std::vector<PostRecord> posts_ GUARDED_BY(mutex_);
  std::vector<std::vector<std::string>> property_batches_ GUARDED_BY(mutex_);
  void note_batch(const char* operation, std::vector<std::string> keys) {
    keys.insert(keys.begin(), operation);
    MutexLock hold(&mutex_);
    property_batches_.push_back(std::move(keys));
  }
  std::deque<Answer> queued_ GUARDED_BY(mutex_);
  std::function<Answer(const std::string&, const std::string&)> responder_ GUARDED_BY(mutex_);
  Answer default_answer_ GUARDED_BY(mutex_);
  uint64_t release_generation_ GUARDED_BY(mutex_) = 0;
  bool closing_ GUARDED_BY(mutex_) = false;
  int held_ GUARDED_BY(mutex_) = 0;
  std::vector<std::thread::id> collect_threads_ GUARDED_BY(mutex_);
  size_t held_collection_ GUARDED_BY(mutex_) = SIZE_MAX;
  bool collection_held_ GUARDED_BY(mutex_) = false;
};

// Records the situation answers and token records it is handed; its
// situation body and business-sign fields are scripted.
class FakeApp : public RiskApp {
 public:
  FakeApp(const std::string& key, RiskSdk* sdk) : RiskApp(key, sdk) {}

  void on_server_event(const std::string& text) override {
    MutexLock hold(&mutex_);
    server_events_.push_back(text);
    changed_.notify_all();
  }

  std::string situation_fields(const TokenRecord& token) override {
    MutexLock hold(&mutex_);
    situation_tokens_.push_back(token);
    if (throw_in_fields_) throw std::runtime_error("fields exploded");
    return situation_body_;
  }

  void business_sign_fields(const std::string&, const StringMap&, StringMap& out) override {
    MutexLock hold(&mutex_);
    if (throw_in_fields_) throw std::runtime_error("fields exploded");
    out = sign_fields_;
  }

  void set_situation_body(const std::string& body) {
    MutexLock hold(&mutex_);
    situation_body_ = body;
  }
  void set_sign_fields(const StringMap& fields) {
    MutexLock hold(&mutex_);
    sign_fields_ = fields;
  }
  void set_throw_in_fields(bool on) {
    MutexLock hold(&mutex_);
    throw_in_fields_ = on;
  }
  std::vector<std::string> server_events() const {
    MutexLock hold(&mutex_);
    return server_events_;
  }
  std::vector<TokenRecord> situation_tokens() const {
    MutexLock hold(&mutex_);
    return situation_tokens_;
  }
  bool wait_for_server_events(size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    MutexLock hold(&mutex_);
    while (server_events_.size() < n) {
      if (!changed_.wait_until(deadline)) return server_events_.size() >= n;
    }
    return true;
  }

 private:
  mutable Mutex mutex_;
  CondVar changed_{&mutex_};
  std::vector<std::string> server_events_ GUARDED_BY(mutex_);
  std::vector<TokenRecord> situation_tokens_ GUARDED_BY(mutex_);
  std::string situation_body_ GUARDED_BY(mutex_);
  StringMap sign_fields_ GUARDED_BY(mutex_);
  bool throw_in_fields_ GUARDED_BY(mutex_) = false;
};

inline std::unique_ptr<RiskApp> FakeSdk::create_app(const std::string& key) {
  return std::make_unique<FakeApp>(key, this);
}

inline FakeApp* FakeSdk::app(const std::string& key) { return static_cast<FakeApp*>(get_app(key)); }

// Captures the library's log lines while it lives (one at a time).
class LogCapture {
 public:
  LogCapture() {
    std::lock_guard<std::mutex> hold(mutex());
    lines().clear();
    set_log_hook(&LogCapture::hook);
  }
  ~LogCapture() { set_log_hook(nullptr); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  size_t count(const std::string& line) const {
    std::lock_guard<std::mutex> hold(mutex());
    size_t n = 0;
    for (const std::string& seen : lines()) n += seen == line ? 1 : 0;
    return n;
  }
  bool contains(const std::string& line) const { return count(line) != 0; }
  // Lines that begin with prefix.
  size_t count_prefix(const std::string& prefix) const {
    std::lock_guard<std::mutex> hold(mutex());
    size_t n = 0;
    for (const std::string& seen : lines()) n += has_prefix(seen, prefix);
    return n;
  }
  // Waits until line was logged at least n times.
  bool wait_for(const std::string& line, size_t n) const {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (count(line) < n) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  void clear() {
    std::lock_guard<std::mutex> hold(mutex());
    lines().clear();
  }

 private:
  static std::mutex& mutex() {
    static std::mutex m;
    return m;
  }
  static std::vector<std::string>& lines() {
    static std::vector<std::string> l;
    return l;
  }
  static void hook(const char*, const char* text) {
    std::lock_guard<std::mutex> hold(mutex());
    lines().emplace_back(text);
  }
};

}  // namespace testing
}  // namespace risk

#endif  // RISK_CORE_TESTING_FAKE_PLATFORM_H_
