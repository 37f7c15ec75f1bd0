// RiskSdk and RiskApp: the platform-independent core objects.
//
// A RiskSdk owns one RiskApp per application key (created on first use by
// get_app and kept until the SDK is destroyed), the collector registry and
// the event list. The platform adapter derives from both classes and
// overrides their virtual operations; the slot order below is the design.
//
// Threads: the script thread (natives), the native worker threads, the
// network threads, the report threads, the collector threads and the event
// delivery worker all call in here. Each lock guards only its own fields and
// is never held across a call into the platform, save the installation-id
// lock (see installation_id_mutex).
//
// Lifetime: every thread the library starts that holds a pointer to a
// RiskSdk or to one of its RiskApps first takes a pass from the SDK's
// ThreadGate and returns it as its last use of the SDK. shutdown() sets the
// destroyed flag, refuses new passes and waits for every outstanding one, so
// no such thread outlives the objects it points to. The RiskSdk destructor
// calls shutdown(); a subclass whose own fields those threads read calls it
// first thing in its destructor, before its fields and its vtable go.
#ifndef RISK_CORE_RISK_SDK_H_
#define RISK_CORE_RISK_SDK_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "base/thread_gate.h"
#include "base/types.h"
#include "collect/collector.h"
#include "situation/event_list.h"

namespace risk {

class CipherScheme;
class RiskApp;

// Code of the last failed token exchange of the process (-1001 ... -1008),
// 0 while one is under way or after one succeeded. Any thread.
extern std::atomic<int32_t> last_request_error;

// True when params holds key with the value "true" (trimmed, any case), or,
// for "PRIVATE_CLEAR_TOKEN", "clear".
bool param_flag(const StringMap& params, const std::string& key);
// Longest application key an SDK takes. Real keys are a few dozen bytes;
// each key makes an application object that the SDK keeps for the life of
// the process (the key is copied into it, into every property name and
// every request), so a longer one is refused rather than kept for good.
constexpr size_t kMaxAppKeyBytes = 1024;

// True for an empty token or one longer than 40 bytes.
bool is_degrade_token(const std::string& text);
// "+" to "-", "/" to "_", every "=" removed.
std::string url_safe_token(const std::string& text);

// The application's identity and the platform's facts, as every request
// reports them. Built completely before it is handed to an SDK (at
// construction, or by the platform setup through set_facts) and never
// changed afterwards: any thread reads it without a lock.
struct SdkFacts {
  std::string app_name;
  int64_t app_version_code = 0;
  std::string app_version_name;
  int32_t os_type = 0;  // 2 on this platform
  std::string os_version;
  std::string sdk_version;  // RiskSdk::kSdkVersion once set up
};

// The SDK is the owner its event list talks to (EventListOwner).
class RiskSdk : public EventListOwner {
 public:
  // The SDK version text the platform setup stores in sdk_version.
  static constexpr const char* kSdkVersion = "v4_9_2r_a07c3e51";

  // With empty facts (every text empty, every number 0) until set_facts.
  RiskSdk();
  explicit RiskSdk(SdkFacts facts);
  RiskSdk(const RiskSdk&) = delete;
  RiskSdk& operator=(const RiskSdk&) = delete;

  // --- Virtual operations, in slot order. ---

  // 1. A new RiskApp for key, owned by the caller (get_app keeps it).
  virtual std::unique_ptr<RiskApp> create_app(const std::string& key);
  // 2. False once destruction has begun. Otherwise calls on_client_event on
  // every RiskApp in key order, with no lock held, and returns true.
  bool dispatch_client_event(uint32_t type, uint32_t code, const std::string& text) override;
  // 3. A new event list bound to this SDK, owned by the caller.
  virtual std::unique_ptr<EventList> create_event_list();
  // 4. Sets sdk_variant and creates the event list. Called once, right
  // after construction, by the platform adapter.
  virtual void initialize();
  // 5. Runs the registered collectors one after another into result
  // (run_collectors, collect/collector.h). Runs on a native worker thread, never on the
  // script thread. Throws what a collector threw before its time limit, or
  // std::system_error when the collector thread cannot be started.
  virtual void collect(RiskApp& app, const StringMap& params, StringMap& result);
  // 6, 7. Calls shutdown(), deletes every RiskApp, then the rest.
  virtual ~RiskSdk();
  // 8, 9. Forward to get_sdk_property / set_sdk_property, key unchanged.
  virtual std::string get_property(const std::string& key);
  virtual void set_property(const std::string& key, const std::string& value);
  // 10, 11. The platform's persistent properties; the base stores nothing
  // and returns "". Names are byte strings and travel whole: a zero byte in
  // an application key does not cut the name short (two keys that differ
  // after one never share a property).
  // Do not throw: a read that fails returns "", a write that fails is
  // dropped (and logged by the platform). The core calls them between
  // other steps without a catch of its own; only the stored-token read
  // survives a store that breaks this (it counts as no stored token).
  virtual std::string get_sdk_property(const std::string& key);
  virtual void set_sdk_property(const std::string& key, const std::string& value);
  // 12. HTTP post through the platform; the response is owned by the
  // caller. The base returns null.
  // Does not throw: a transport failure is a null response or a status
  // code. A throw that breaks this ends the thread's exchange at its entry
  // (for a token exchange: the code kPostNoResponse).
  virtual std::unique_ptr<PostResponse> post(const std::string& url, const std::string& body);
  // 13, 14. Several properties that follow each other: for each, in their
  // order, what get_sdk_property / set_sdk_property would do, so that a
  // platform may serve them with one wait. The base calls those one by one.
  // Do not throw, as those.
  using PropertyEntries = std::vector<std::pair<std::string, std::string>>;
  virtual std::vector<std::string> get_sdk_properties(const std::vector<std::string>& keys);
  virtual void set_sdk_properties(const PropertyEntries& entries);

  // --- Non-virtual interface. ---

  // The RiskApp of key, created by create_app on the first call for that
  // key (exactly once, also when several threads ask at once). Null once
  // destruction has begun, when create_app fails, or for a key longer than
  // kMaxAppKeyBytes (logged; nothing is created). The SDK keeps ownership;
  // the pointer stays valid until the SDK is destroyed.
  RiskApp* get_app(const std::string& key);

  // Inserts {name, fn, null context} at the front of the registry, so the
  // collector registered last runs first. Called during initialisation only,
  // before any collect.
  void register_collector(const std::string& name, Collector fn);

  // The event list created by initialize(); null before it. Owned by the SDK.
  EventList* event_list() const { return event_list_.get(); }

  bool is_destroyed() const { return destroyed_.load(); }

  // Every thread that points into this SDK takes a pass here first.
  ThreadGate& thread_gate() override { return threads_; }

  // Held by whoever reads-or-creates the installation identifier (the
  // "uuid" collector) or replaces it (a token exchange that brings a new
  // one), across the property calls: applications collecting at once on an
  // empty store then all find the one identifier the first of them stored,
  // and a replacement is never overwritten by an identifier created before
  // it. The one lock held across calls into the platform: only collector
  // and network threads take it, never the script thread those calls wait
  // for, so it cannot close a cycle.
  Mutex& installation_id_mutex() RETURN_CAPABILITY(installation_id_mutex_) {
    return installation_id_mutex_;
  }

  // Marks the SDK destroyed and waits for every thread holding a pass.
  // REQUIRES: not called from a thread that holds a pass of this SDK.
  void shutdown();

  // The facts handed over at construction or by the last set_facts. The
  // object never changes; read it from any thread without a lock.
  const SdkFacts& facts() const { return *facts_; }
  // Replaces the facts with complete new ones (the platform setup; tests).
  // REQUIRES: facts is not null, and no other thread uses this SDK yet.
  void set_facts(std::shared_ptr<const SdkFacts> facts) { facts_ = std::move(facts); }

  // 2 once initialize() ran, 0 before. Written by initialize only.
  int32_t sdk_variant() const { return sdk_variant_; }

 private:
  std::shared_ptr<const SdkFacts> facts_;
  int32_t sdk_variant_ = 0;

  Mutex apps_mutex_;
  std::map<std::string, std::unique_ptr<RiskApp>> apps_ GUARDED_BY(apps_mutex_);
  std::atomic<bool> destroyed_{false};
  Mutex installation_id_mutex_;
  // Filled during initialisation, read-only afterwards.
  std::list<CollectorEntry> collectors_;
  std::unique_ptr<EventList> event_list_;
  ThreadGate threads_;
};

// The per-application-key context: the key, its option map, its token state
// and its delayed situation report. Owned by its RiskSdk; threads that use it
// hold passes of that SDK's ThreadGate.
class RiskApp {
 public:
  // The report deadline when no report is due.
  static constexpr uint64_t kNoDeadline = std::numeric_limits<uint64_t>::max();
  // Exchange start times remembered by the rate limit.
  static constexpr int kRequestRingSize = 60;

  // REQUIRES: sdk is not null and outlives this object.
  RiskApp(const std::string& app_key, RiskSdk* sdk);
  RiskApp(const RiskApp&) = delete;
  RiskApp& operator=(const RiskApp&) = delete;

  // --- Virtual operations, in slot order. ---

  // 1. Sends one situation report with options (may be null). Runs on the
  // report thread.
  virtual void report_situation(std::unique_ptr<StringMap> options);
  // 2. The situation service's answer; the base ignores it.
  virtual void on_server_event(const std::string& text);
  // 3. One runtime event handed on by the event list; the base ignores it.
  virtual void on_client_event(uint32_t type, uint32_t code, const std::string& text);
  // 4. The JSON body of a situation report; the base returns "".
  virtual std::string situation_fields(const TokenRecord& token);
  // 5. Fills out with the business-sign fields; the base adds nothing.
  virtual void business_sign_fields(const std::string& text, const StringMap& params,
                                    StringMap& out);
  // 6, 7. Releases the fields; stops no thread (see the SDK's ThreadGate).
  virtual ~RiskApp();
  // 8, 9. The SDK property named app_key + ":" + key. Do not throw, like
  // the SDK's properties they reach.
  virtual std::string get_property(const std::string& key);
  virtual void set_property(const std::string& key, const std::string& value);

  // --- Non-virtual interface. ---

  // The SDK property name of this application's property key: app_key + ":"
  // + key.
  std::string property_name(const std::string& key) const;

  const std::string& app_key() const { return app_key_; }
  RiskSdk* sdk() const { return sdk_; }

  // Replaces the whole option map.
  void set_options(const StringMap& options);
  // A copy of the option map overlaid with call's entries (call wins).
  StringMap merged_options(const StringMap& call) const;

  // Asks for a situation report delay_ms from now with options. A later
  // call can only move the report earlier; the report uses the options of
  // the last call. Starts the report thread when none is running. Any thread.
  // True when a report thread will send the report; false (logged "fail to
  // start report thread") when none runs and none can be started: the call
  // then leaves nothing behind (its options are dropped, the deadline stays).
  bool schedule_situation_update(int64_t delay_ms, std::unique_ptr<StringMap> options);

  // --- Token acquisition (core/token.cc). ---

  // The token for a call with the merged options params: from memory, from
  // the stored properties, from the token service, or a degrade token.
  // Never fails: the state is FETCHED, STORED or DEGRADED. Runs on native
  // threads (workers, report thread), never on the script thread.
  TokenRecord get_token(const StringMap& params, bool for_sign);
  // Collects the device data and serializes a TokenRequest.
  std::string build_request(const std::string& previous, const StringMap& params);
  // One exchange with the token service: the network thread's entry. Its
  // outcome is the memory record (NONE when the exchange failed) and
  // last_request_error; waiters are woken whatever happened.
  void fetch_token(const std::string& previous, std::string request,
                   const StringMap& params) noexcept;
  // Starts an exchange under the rate limit (or joins the one under way)
  // and waits a bounded time; returns the memory record then. With
  // exchanges_seen (the exchange count a caller read with its memory record)
  // no exchange starts when one ended since and left a usable token: that
  // token is returned instead, as if the caller had waited for it.
  TokenRecord request_from_server(const std::string& previous, const std::string& request,
                                  const StringMap& params,
                                  std::optional<uint64_t> exchanges_seen = std::nullopt);

  // --- Degrade token and business sign (core/degrade.cc). ---

  std::string make_degrade_token(const std::string& request, const CipherScheme& scheme);
  TokenRecord degrade_token(const StringMap& params);
  std::string business_sign(const std::string& text, const StringMap& params);

 private:
  // Runs on the report thread: waits for the deadline in 100 ms ticks,
  // then reports once. Gives up without reporting when the SDK is being
  // destroyed. The thread's entry: a failing report ends in a log line.
  void report_loop() noexcept;

  // get_token's search: the memory record, the stored one, or an exchange;
  // the record NONE when none of them holds a token. May throw (no memory):
  // get_token is its boundary.
  TokenRecord find_token(const StringMap& params, bool for_sign);
  // The stored record (state STORED): empty with expiry 0 when the store
  // holds no token, holds one longer than a token of the service, or fails.
  TokenRecord read_stored_token();
  // Runs the SDK's collectors into data. A collector that throws, or a
  // collector thread that cannot be started, ends the collection there (one
  // log line "collect failed: ..."): data keeps what was collected before.
  void collect_partial(const StringMap& params, StringMap& data);
  // fetch_token's exchange: posts request (built first when empty) and
  // reads the answer; stores a token that came back. The new memory record.
  TokenRecord exchange_token(const std::string& previous, std::string request,
                             const StringMap& params);
  // Steps 2 to 6 of request_from_server: the rate limit, then a network
  // thread running fetch_token. True when the thread runs (it clears the
  // in-flight flag); false, logged, when the limit or the SDK refused it or
  // no thread could be had.
  bool start_exchange(const std::string& previous, const std::string& request,
                      const StringMap& params);

  // A copy of the cached request, taken under the token mutex.
  std::string cached_request_copy();
  // A DEGRADED record holding the degrade token of request (the cached
  // request when null) under the scheme params name; its text is empty when
  // the token cannot be built. Never throws.
  TokenRecord degraded_record(const StringMap& params, const std::string* request = nullptr);

  const std::string app_key_;
  RiskSdk* const sdk_;

  mutable Mutex options_mutex_;
  StringMap options_ GUARDED_BY(options_mutex_);

  // Token state. token_cv_ goes with token_mutex_.
  Mutex token_mutex_;
  CondVar token_cv_{&token_mutex_};
  TokenRecord token_ GUARDED_BY(token_mutex_);
  uint64_t exchanges_ended_ GUARDED_BY(token_mutex_) = 0;  // exchanges that wrote token_
  std::atomic<bool> in_flight_{false};  // an exchange with the token service runs

  Mutex report_mutex_;
  bool report_running_ GUARDED_BY(report_mutex_) = false;
  uint64_t report_deadline_ GUARDED_BY(report_mutex_) = kNoDeadline;
  std::unique_ptr<StringMap> pending_report_ GUARDED_BY(report_mutex_);

  std::string last_event_signature_ GUARDED_BY(token_mutex_);
  std::string cached_request_ GUARDED_BY(token_mutex_);

  // Start times of the last exchanges, microseconds since the epoch.
  RwLock request_ring_lock_;
  int64_t request_ring_[kRequestRingSize] GUARDED_BY(request_ring_lock_) = {};
  uint32_t request_ring_index_ GUARDED_BY(request_ring_lock_) = 0;
};

}  // namespace risk

#endif  // RISK_CORE_RISK_SDK_H_
