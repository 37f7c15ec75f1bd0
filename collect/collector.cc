#include "collect/collector.h"

#include <chrono>
#include <climits>
#include <cstdlib>
#include <exception>
#include <memory>
#include <set>
#include <thread>
#include <utility>

#include "base/clock.h"
#include "base/log.h"
#include "base/mutex.h"
#include "base/settings.h"
#include "base/strings.h"
#include "base/thread_annotations.h"
#include "crypto/block_cipher.h"
#include "crypto/encoding.h"
#include "crypto/json/json11.h"

namespace risk {

namespace {

constexpr unsigned long kSkipListKeyLength = sizeof(kSkipListKey) - 1;  // 32: AES-256
static_assert(kSkipListKeyLength == 32, "the skip-list key is an AES-256 key");

// The names sealed in "PRIVATE_BLACK"; empty when absent or unusable.
std::set<std::string> read_skip_list(const StringMap& params) {
  std::set<std::string> skip;
  auto found = params.find(kSkipListSetting);
  if (found == params.end() || found->second.empty()) return skip;
  std::string names = AES_ECB_Decrypt_pkcs7unpadding(
      reinterpret_cast<const unsigned char*>(kSkipListKey), kSkipListKeyLength,
      base64_decode(found->second));
  if (!names.empty()) split_to_set(names, "|", skip);
  return skip;
}

// atoi's reading (leading white space, optional sign, decimal digits, 0 when
// there is no number) without its undefined overflow: out-of-range values
// are clamped to the int range.
int read_limit(const std::string& text) {
  long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// Runs on the collector's own thread. The failure is logged here and
// rethrown into the shared state, from which collect hands it to its caller
// (or drops it when the collector was already reported late).
void run_collector(const CollectorEntry& entry, RiskApp& app, StringMap& result) {
  try {
    entry.fn(app, result, entry.context);
  } catch (const std::exception& e) {
    log_message("collector '%s' failed: %s", entry.name.c_str(), e.what());
    throw;
  } catch (...) {
    log_message("collector '%s' failed: unknown exception", entry.name.c_str());
    throw;
  }
}

}  // namespace

void put_value(StringMap& map, const std::string& key, const std::string& value) {
  if (key.empty() || value.empty() || value == "null") return;
  map[key] = value;
}

void put_value(StringMap& map, const char* key, const char* value) {
  if (key == nullptr || value == nullptr) return;
  put_value(map, std::string(key), std::string(value));
}

void put_user_entries(const StringMap& params, StringMap& out) {
  for (const auto& param : params) {
    if (has_prefix(param.first, "KEY_") || has_prefix(param.first, "PRIVATE_")) continue;
    out[kUserEntryPrefix + param.first] = param.second;
  }
}

void merge_json_object(StringMap& map, const std::string& text) {
  if (text.empty() || text == "null") return;
  std::string error;
  json11::Json parsed = json11::Json::parse(text, error);
  if (!error.empty() || !parsed.is_object()) return;
  for (const auto& member : parsed.object_items()) {
    put_value(map, member.first, member.second.string_value());
  }
}

namespace {

// One collector on a thread of its own. The caller waits for done; once
// the thread has set it, it only ends. It is detached: waiting for its exit
// as well (a join) would cost the caller a second wake-up per collector.
struct CollectorRun {
  Mutex mutex;
  CondVar finished{&mutex};
  bool done GUARDED_BY(mutex) = false;
  std::exception_ptr failure GUARDED_BY(mutex);  // what the collector threw
};

// Starts entry on a new detached thread; throws std::system_error when the
// thread cannot be started. entry, app and result are used until done.
std::shared_ptr<CollectorRun> start_collector(const CollectorEntry& entry, RiskApp& app,
                                              StringMap& result) {
  auto run = std::make_shared<CollectorRun>();
  std::thread([run, &entry, &app, &result] {
    std::exception_ptr failure;
    try {
      run_collector(entry, app, result);
    } catch (...) {
      failure = std::current_exception();
    }
    MutexLock lock(&run->mutex);
    run->done = true;
    // Handed over whole: this thread keeps no reference to the exception,
    // so the caller alone releases it.
    run->failure = std::move(failure);
    run->finished.notify_all();
  }).detach();
  return run;
}

// Waits for run until deadline; true when it was done by then.
bool done_by(CollectorRun& run, std::chrono::steady_clock::time_point deadline) {
  MutexLock lock(&run.mutex);
  while (!run.done) {
    if (!run.finished.wait_until(deadline) && std::chrono::steady_clock::now() >= deadline) {
      return run.done;
    }
  }
  return true;
}

// Waits for run to be done; takes what its collector threw, if anything.
std::exception_ptr outcome_of(CollectorRun& run) {
  MutexLock lock(&run.mutex);
  while (!run.done) run.finished.wait();
  return std::move(run.failure);
}

}  // namespace

void run_collectors(const std::list<CollectorEntry>& entries, RiskApp& app,
                    const StringMap& params, StringMap& result) {
  const std::set<std::string> skip = read_skip_list(params);
  const int64_t start = now_ms();
  auto configured = params.find(kCollectTimeoutSetting);
  const int limit =
      read_limit(configured != params.end() ? configured->second : kDefaultCollectTimeout);
  log_message("async collect timeout: %d", limit);

  std::string timed_out;
  for (const CollectorEntry& entry : entries) {
    if (skip.count(entry.name) != 0) continue;
    const std::shared_ptr<CollectorRun> run = start_collector(entry, app, result);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit);
    const bool on_time = done_by(*run, deadline);
    if (!on_time) {
      log_message("action '%s' timed out %d", entry.name.c_str(), limit);
      timed_out += entry.name;
      timed_out += ',';
    }
    // The next collector starts only after this one is done, and a late one
    // still delivers its keys; what a late one throws is dropped.
    const std::exception_ptr failure = outcome_of(*run);
    if (on_time && failure) std::rethrow_exception(failure);
  }

  result["K300"] = decimal_text(now_ms() - start);
  result["K450"] = timed_out;
  put_user_entries(params, result);
}

}  // namespace risk
