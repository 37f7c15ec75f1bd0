// Token acquisition and request pacing: RiskApp::get_token, build_request,
// fetch_token and request_from_server, and the helpers of core/token.h.
//
// Nothing here lets an exception out: get_token runs on worker threads of
// the natives and on the report thread, fetch_token is the network thread's
// entry. Each catches once, at that boundary, logs, and still answers (a
// degrade token, or the memory record NONE that waiters read); the steps
// between them let a failure run to it. The in-flight flag is cleared and
// waiters are woken on every path.
#include "core/token.h"

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/guarded.h"
#include "base/log.h"
#include "base/mutex.h"
#include "base/settings.h"
#include "base/strings.h"
#include "core/risk.pb-c.h"
#include "core/risk_sdk.h"
#include "core/wire.h"
#include "crypto/cipher_scheme.h"
#include "crypto/encoding.h"
#include "situation/event_list.h"

namespace risk {

std::atomic<int32_t> last_request_error{0};

namespace {

constexpr int32_t kCommandToken = 1002;
constexpr int32_t kStatusOk = 0;
constexpr int32_t kStatusBlocked = -10006;

// protobuf-c stores whatever varint it reads into an enum field, values that
// no enumerator names included; loading such a value through the C++ enum
// type is undefined, so the fields are read as the int32 they hold.
template <typename Enum>
int32_t enum_field_value(const Enum& field) {
  static_assert(sizeof(Enum) == sizeof(int32_t), "protobuf-c enums are int-sized");
  int32_t value;
  std::memcpy(&value, &field, sizeof value);
  return value;
}

// What the network thread owns for one exchange.
struct ExchangeArgs {
  std::string previous;
  std::string request;
  StringMap params;
};

// Wall clock in microseconds, the unit of the request ring.
int64_t now_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

int64_t saturating_add(int64_t a, int64_t b) {
  if (b > 0 && a > std::numeric_limits<int64_t>::max() - b) {
    return std::numeric_limits<int64_t>::max();
  }
  if (b < 0 && a < std::numeric_limits<int64_t>::min() - b) {
    return std::numeric_limits<int64_t>::min();
  }
  return a + b;
}

std::string option(const StringMap& params, const char* key) {
  auto found = params.find(key);
  return found == params.end() ? std::string() : found->second;
}

// 9. The newer of the two records.
const TokenRecord& newer_of(const TokenRecord& memory, const TokenRecord& stored) {
  return memory.expires_at > stored.expires_at ? memory : stored;
}

bool is_held_state(TokenState state) {
  return state == TokenState::FETCHED || state == TokenState::STORED;
}

struct TokenResponseDeleter {
  void operator()(Risk__TokenResponse* message) const {
    risk__token_response__free_unpacked(message, nullptr);
  }
};
struct TokenPayloadDeleter {
  void operator()(Risk__TokenPayload* message) const {
    risk__token_payload__free_unpacked(message, nullptr);
  }
};

const uint8_t* bytes_of(const std::string& text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

// Runs fn when it goes, unless dismissed first.
template <typename Fn>
class OnExit {
 public:
  explicit OnExit(Fn fn) : fn_(std::move(fn)) {}
  OnExit(const OnExit&) = delete;
  OnExit& operator=(const OnExit&) = delete;
  ~OnExit() {
    if (armed_) fn_();
  }
  void dismiss() { armed_ = false; }

 private:
  Fn fn_;
  bool armed_ = true;
};

}  // namespace

// ------------------------------------------------------------------ helpers

bool param_flag(const StringMap& params, const std::string& key) {
  auto found = params.find(key);
  if (found == params.end()) return false;
  std::string value = trim(found->second);
  std::transform(value.begin(), value.end(), value.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  });
  if (key == kClearTokenSetting && value == "clear") return true;
  return value == "true";
}

int64_t exchange_wait_ms(const StringMap& params) {
  auto found = params.find(kDelaySetting);
  if (found == params.end() || found->second.empty()) return kDefaultExchangeWaitMs;
  // atoi's reading without its overflow: strtol clamps to the long range.
  long value = std::strtol(found->second.c_str(), nullptr, 10);
  if (value > INT_MAX) value = INT_MAX;
  if (value <= 0) return kDefaultExchangeWaitMs;
  return std::min<int64_t>(value, kMaxExchangeWaitMs);
}

int count_recent_starts(const int64_t* ring, size_t count, int64_t now_us) {
  int recent = 0;
  for (size_t i = 0; i < count; ++i) {
    // Unsigned subtraction, read as signed: a wrapped difference, never
    // undefined behaviour.
    int64_t age =
        static_cast<int64_t>(static_cast<uint64_t>(now_us) - static_cast<uint64_t>(ring[i]));
    if (age < kRateWindowUs) ++recent;
  }
  return recent;
}

int64_t stored_token_expiry(const std::string& time_text) {
  if (time_text.empty()) return 0;
  long long stored = std::strtoll(time_text.c_str(), nullptr, 10);
  if (stored == 0) return 0;
  return saturating_add(stored, kTokenLifetimeMs);
}

TokenAnswer read_token_answer(int32_t transport_code, const std::string& answer) {
  TokenAnswer result;
  if (transport_code != 0) {
    result.code = transport_code;
    return result;
  }
  if (answer.empty()) {
    result.code = kTokenEmptyAnswer;
    return result;
  }
  if (!within_field_limit(bytes_of(answer), answer.size(), kMaxAnswerFields)) {
    result.code = kTokenBadMessage;
    result.refusal = "answer not unpacked: more fields than a TokenResponse has, or malformed";
    return result;
  }
  std::unique_ptr<Risk__TokenResponse, TokenResponseDeleter> response(
      risk__token_response__unpack(nullptr, answer.size(), bytes_of(answer)));
  if (!response) {
    result.code = kTokenBadMessage;
    return result;
  }
  const int32_t status = enum_field_value(response->status);
  if (status == kStatusBlocked) {
    result.code = kTokenStatusBlocked;
    return result;
  }
  if (status != kStatusOk || enum_field_value(response->command) != kCommandToken ||
      response->body.len == 0) {
    result.code = kTokenRefused;
    return result;
  }
  if (!within_field_limit(response->body.data, response->body.len, kMaxAnswerFields)) {
    result.code = kTokenBadMessage;
    result.refusal = "body not unpacked: more fields than a TokenPayload has, or malformed";
    return result;
  }
  std::unique_ptr<Risk__TokenPayload, TokenPayloadDeleter> payload(
      risk__token_payload__unpack(nullptr, response->body.len, response->body.data));
  if (!payload) {
    result.code = kTokenBadMessage;
    return result;
  }
  const size_t token_bytes = payload->ulvok != nullptr ? std::strlen(payload->ulvok) : 0;
  if (token_bytes == 0 || token_bytes > kMaxServiceTokenBytes) {
    result.code = kTokenRefused;
    if (token_bytes != 0) result.refusal = "token longer than 40 bytes";
    return result;
  }
  result.ulvok.assign(payload->ulvok, token_bytes);
  if (payload->uuid != nullptr && payload->uuid[0] != '\0') {
    std::string uuid = payload->uuid;
    if (is_plausible_installation_id(uuid)) {
      result.uuid = std::move(uuid);
    } else {
      result.refusal = "installation id is not a plausible identifier, the current one kept";
    }
  }
  return result;
}

bool is_plausible_installation_id(const std::string& text) {
  if (text.empty() || text.size() > kMaxInstallationIdBytes) return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
           c == '_';
  });
}

// ----------------------------------------------------------------- RiskApp

TokenRecord RiskApp::get_token(const StringMap& params, bool for_sign) {
  // Runs on native worker threads and the report thread, and cannot fail:
  // whatever ends the search early is answered like a search that found no
  // token, with a degrade token of the cached request.
  TokenRecord found;
  guarded("get token", [&] { found = find_token(params, for_sign); });
  if (is_held_state(found.state)) return found;
  // 11. Nothing held: a degrade token of the cached request.
  return degraded_record(params);
}

TokenRecord RiskApp::find_token(const StringMap& params, bool for_sign) {
  // 1. The memory record.
  TokenRecord memory;
  uint64_t exchanges_seen;
  {
    MutexLock hold(&token_mutex_);
    memory = token_;
    exchanges_seen = exchanges_ended_;
  }
  // 2. The stored record.
  const TokenRecord stored = read_stored_token();
  // 3. The event summary.
  EventList* events = sdk_->event_list();
  const std::string event_count = events != nullptr ? events->count_text() : std::string();
  // 4.
  const bool force = param_flag(params, kForceRefreshSetting);
  log_message("need_force_refresh: %d", force ? 1 : 0);
  // 5. The previous token sent with the request.
  std::string previous;
  if (memory.expires_at > stored.expires_at) {
    previous = is_held_state(memory.state) ? memory.ulvok : stored.ulvok;
  } else {
    previous = stored.ulvok;
  }
  // 6. The first call builds the request here; later exchanges build a
  // fresh one on the network thread.
  bool need_request;
  {
    MutexLock hold(&token_mutex_);
    need_request = cached_request_.empty();
  }
  std::string request;
  if (need_request) {
    request = build_request(previous, params);
    MutexLock hold(&token_mutex_);
    cached_request_ = request;
  }

  const int64_t now = now_ms();
  if (!is_usable(memory, now) && !is_usable(stored, now)) {
    // 7.
    log_message("both memory / stored token are invalid");
  } else if (for_sign) {
    return newer_of(memory, stored);
  } else {
    // 8.
    const bool clear = param_flag(params, kClearTokenSetting);
    std::string last_signature;
    {
      MutexLock hold(&token_mutex_);
      last_signature = last_event_signature_;
    }
    if (force || clear) {
      log_message(clear ? "PRIVATE_CLEAR_TOKEN set to force refresh token from server"
                        : "force_refresh set to true, force refresh token from server");
    } else if (event_count == last_signature) {
      return newer_of(memory, stored);
    } else {
      log_message("pre:%s after:%s", last_signature.c_str(), event_count.c_str());
    }
  }
  // 10.
  TokenRecord result = request_from_server(previous, request, params, exchanges_seen);
  MutexLock hold(&token_mutex_);
  last_event_signature_ = event_count;
  return result;
}

TokenRecord RiskApp::read_stored_token() {
  TokenRecord stored;
  stored.state = TokenState::STORED;
  // The store's reads do not throw; one that breaks that promise is read
  // as a store that holds no token.
  const bool read = guarded_as("fail to read stored token", [&] {
    // The two reads follow each other with nothing to decide between them:
    // the platform makes them with one wait.
    const std::vector<std::string> values = sdk_->get_sdk_properties(
        {property_name(kTokenTextProperty), property_name(kTokenTimeProperty)});
    stored.ulvok = values.at(0);
    stored.expires_at = stored_token_expiry(values.at(1));
  });
  // No exchange stores a longer one: whatever put it there, it is not a
  // token of the service, and would travel in every request and sign.
  const bool too_long = read && stored.ulvok.size() > kMaxServiceTokenBytes;
  if (too_long) {
    log_message("stored token of %zu bytes is not a token of the service, ignored",
                stored.ulvok.size());
  }
  if (!read || too_long) {
    stored.ulvok.clear();
    stored.expires_at = 0;
  }
  return stored;
}

std::string RiskApp::cached_request_copy() {
  MutexLock hold(&token_mutex_);
  return cached_request_;
}

void RiskApp::collect_partial(const StringMap& params, StringMap& data) {
  guarded("collect", [&] { sdk_->collect(*this, params, data); });
}

std::string RiskApp::build_request(const std::string& previous, const StringMap& params) {
  StringMap data;
  data["K451"] = decimal_text(now_ms());
  collect_partial(params, data);
  data["K452"] = decimal_text(now_ms());
  return serialize_request(*this, previous, data);
}

void RiskApp::fetch_token(const std::string& previous, std::string request,
                          const StringMap& params) noexcept {
  // Runs on the network thread, as its entry. Whatever ends the exchange
  // early leaves what a post without an answer leaves: the code -1001 and
  // the memory record NONE.
  TokenRecord record;
  if (!guarded("token exchange",
               [&] { record = exchange_token(previous, std::move(request), params); })) {
    last_request_error.store(kPostNoResponse);
    record = TokenRecord();
  }
  // 9. The record and the flag change together under the mutex, so that a
  // waiter testing the flag cannot miss the notification.
  {
    MutexLock hold(&token_mutex_);
    token_ = std::move(record);
    ++exchanges_ended_;
    in_flight_.store(false);
  }
  token_cv_.notify_all();
}

TokenRecord RiskApp::exchange_token(const std::string& previous, std::string request,
                                    const StringMap& params) {
  // 1.
  if (request.empty()) {
    request = build_request(previous, params);
    MutexLock hold(&token_mutex_);
    cached_request_ = request;
  }
  // 2, 3.
  const std::string configured = option(params, kUrlSetting);
  const std::string url = service_address(configured, kTokenServiceUrl, kTokenServicePath);
  if (configured.empty()) {
    log_message("KEY_URL is not set: the built-in address %s never resolves", url.c_str());
  }
  std::unique_ptr<CipherScheme> scheme = select_cipher_scheme(params, app_key_);
  // 4, 5.
  const int64_t started = now_ms();
  last_request_error.store(0);
  std::string answer;
  int32_t code = kPostNoResponse;
  // A platform post that throws, against its promise, is read as one that
  // gave no response: the exchange ends the same way, with its code.
  guarded("token post", [&] { code = post_request(*this, url, request, answer, *scheme); });
  log_message("http cost %d ms", static_cast<int>(now_ms() - started));
  // 6.
  if (code != 0) {
    log_message("Risk Server Response: fail %d for %s", code, url.c_str());
  } else if (answer.empty()) {
    log_message("the response from Risk Server is empty");
  }
  TokenAnswer outcome = read_token_answer(code, answer);
  if (outcome.refusal != nullptr) log_message("token answer: %s", outcome.refusal);
  TokenRecord record;  // NONE: what a failed exchange leaves
  if (outcome.code != 0) {
    // 8.
    log_message("fai to get token from server");
    last_request_error.store(outcome.code);
    return record;
  }
  // 7.
  const int64_t now = now_ms();
  record.state = TokenState::FETCHED;
  record.ulvok = outcome.ulvok;
  record.expires_at = saturating_add(now, kTokenLifetimeMs);
  // The writes, in this order, with one wait for them all: the new
  // installation identifier (SDK-wide), the exchange time, the token.
  RiskSdk::PropertyEntries writes;
  if (!outcome.uuid.empty()) writes.emplace_back(kInstallationIdProperty, outcome.uuid);
  writes.emplace_back(property_name(kTokenTimeProperty), decimal_text(now));
  writes.emplace_back(property_name(kTokenTextProperty), outcome.ulvok);
  if (outcome.uuid.empty()) {
    sdk_->set_sdk_properties(writes);
  } else {
    MutexLock hold(&sdk_->installation_id_mutex());
    sdk_->set_sdk_properties(writes);
  }
  return record;
}

TokenRecord RiskApp::request_from_server(const std::string& previous, const std::string& request,
                                         const StringMap& params,
                                         std::optional<uint64_t> exchanges_seen) {
  // WAIT: until the exchange under way ends or the caller's delay passes.
  // Unlike a single wait, testing the flag under the mutex neither misses a
  // notification sent before the wait began nor returns on a spurious wake.
  auto wait_for_exchange = [this, &params]() {
    const int64_t delay = exchange_wait_ms(params);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay);
    MutexLock hold(&token_mutex_);
    while (in_flight_.load()) {
      if (!token_cv_.wait_until(deadline) && in_flight_.load()) {
        log_message("timeout(2) !");
        break;
      }
    }
    return token_;
  };
  // RELEASE: this caller set the flag but started nothing.
  auto release = [this]() {
    {
      MutexLock hold(&token_mutex_);
      in_flight_.store(false);
    }
    token_cv_.notify_all();
  };

  // 1. Exactly one of several simultaneous callers starts the exchange.
  if (in_flight_.exchange(true)) return wait_for_exchange();

  // A caller that decided to ask while an exchange ran (its collection can
  // take longer than the exchange) takes the token that exchange left
  // rather than start the next one.
  if (exchanges_seen) {
    TokenRecord landed;
    {
      MutexLock hold(&token_mutex_);
      if (exchanges_ended_ != *exchanges_seen && is_usable(token_, now_ms())) {
        landed = token_;
        in_flight_.store(false);
      }
    }
    if (landed.state != TokenState::NONE) {
      token_cv_.notify_all();
      log_message("token fetched since this call began, no exchange started");
      return landed;
    }
  }

  bool started;
  {
    // The flag is this caller's until a network thread owns it: a start
    // that throws (no memory for the arguments) gives it back on its way out.
    OnExit give_back(release);
    started = start_exchange(previous, request, params);
    if (started) give_back.dismiss();
  }
  if (!started) {
    log_message("fail to create network thread, notify other waiting threads");
    MutexLock hold(&token_mutex_);
    return token_;
  }
  // 7.
  return wait_for_exchange();
}

bool RiskApp::start_exchange(const std::string& previous, const std::string& request,
                             const StringMap& params) {
  // 2. Starts within the last minute.
  int recent = 0;
  {
    ReaderLock hold(&request_ring_lock_);
    if (hold.error() == 0) {
      recent = count_recent_starts(request_ring_, kRequestRingSize, now_us());
    } else {
      log_message("request ring fail to rdlock: %s", std::strerror(hold.error()));
    }
  }
  // 3.
  if (recent > kMaxStartsPerWindow) {
    if (!param_flag(params, kClearTokenSetting)) {
      log_message("qpm(%d) > 15, blocking", recent);
      return false;
    }
    log_message("qpm(%d) > 15 with PRIVATE_CLEAR_TOKEN, allow refresh token from server", recent);
  }
  // 4.
  auto args = std::make_unique<ExchangeArgs>(ExchangeArgs{previous, request, params});
  // 5. Recorded before the thread exists, whatever comes of it.
  {
    WriterLock hold(&request_ring_lock_);
    if (hold.error() == 0) {
      request_ring_[request_ring_index_] = now_us();
      request_ring_index_ = (request_ring_index_ + 1) % kRequestRingSize;
    } else {
      log_message("request ring fail to wrlock: %s", std::strerror(hold.error()));
    }
  }
  // 6. The thread holds a pass of the SDK, so the SDK waits for it.
  ThreadGate::Pass pass = sdk_->thread_gate().enter();
  const bool started = pass && start_thread(nullptr, [this, args = std::move(args),
                                                      pass = std::move(pass)]() mutable noexcept {
                         fetch_token(args->previous, std::move(args->request), args->params);
                         args.reset();
                         pass.release();
                       });
  if (!started) log_message("fail to create network thread");
  return started;
}

}  // namespace risk
