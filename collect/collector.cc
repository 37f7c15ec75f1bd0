#include "collect/collector.h"

#include <chrono>
#include <climits>
#include <cstdlib>
#include <exception>
#include <memory>
#include <set>
#include <thread>
#include <utility>
#include <vector>

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
  std::string names =
      AES_ECB_Decrypt_pkcs7unpadding(reinterpret_cast<const unsigned char*>(kSkipListKey),
                                     kSkipListKeyLength, base64_decode(found->second));
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

// Runs on the collector thread of the run. The failure is logged here and
// rethrown to the run, which hands it to collect's caller (or drops it when
// the collector was already reported late).
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

// One run of the collectors: the thread that runs them one after another,
// and the caller that watches each one's reporting limit. The thread starts
// each collector as soon as the one before has ended and wakes the caller
// only when the caller has to know: at the end of the run, when a collector
// throws in time, and when one that was reported late ends (the caller then
// watches the next one's limit). A run that keeps its limits therefore
// costs one thread start and one wake-up of the caller, not one of each per
// collector.
struct CollectorRun {
  CollectorRun(std::vector<const CollectorEntry*> to_run, RiskApp& a, StringMap& r)
      : entries(std::move(to_run)), app(a), result(r) {}

  // Never changed; the caller reads a late one's name.
  const std::vector<const CollectorEntry*> entries;
  // Used by the thread only, and only until the run has ended.
  RiskApp& app;
  StringMap& result;

  Mutex mutex;
  CondVar changed{&mutex};                                          // the caller waits on it
  size_t current GUARDED_BY(mutex) = 0;                             // the collector that runs
  std::chrono::steady_clock::time_point started GUARDED_BY(mutex);  // when it started
  bool current_late GUARDED_BY(mutex) = false;                      // reported late by the caller
  bool ended GUARDED_BY(mutex) = false;          // every collector ran, or one threw in time
  std::exception_ptr failure GUARDED_BY(mutex);  // what a collector threw in time
};

// The body of the collector thread. The end of one collector and the start
// of the next are one step under the lock, so that the caller never sees
// the next one under the late mark of the one before.
void run_in_turn(CollectorRun& run) {
  const size_t count = run.entries.size();
  for (size_t i = 0; i < count; ++i) {
    std::exception_ptr thrown;
    try {
      run_collector(*run.entries[i], run.app, run.result);
    } catch (...) {
      thrown = std::current_exception();
    }
    bool late;
    bool ended;
    {
      MutexLock lock(&run.mutex);
      late = run.current_late;
      if (thrown && !late) {
        // Handed over whole: this thread keeps no reference to the
        // exception, so the caller alone releases it. What a late one threw
        // is dropped.
        run.failure = std::move(thrown);
        run.ended = true;
      } else if (i + 1 < count) {
        run.current = i + 1;
        run.started = std::chrono::steady_clock::now();
        run.current_late = false;
      } else {
        run.ended = true;
      }
      ended = run.ended;
    }
    // The caller sleeps until the current collector's limit; it must know
    // now when the run ended, or when a late one did (the next one's limit
    // is then its to watch). Woken after the lock is given back, it does
    // not wait for it again.
    if (ended || late) run.changed.notify_all();
    if (ended) return;
  }
}

// Starts the collector thread of run; throws std::system_error when it
// cannot be started (no collector has run then).
void start_run(const std::shared_ptr<CollectorRun>& run) {
  std::thread([run] { run_in_turn(*run); }).detach();
  // The first collector's limit counts from its thread's start.
  MutexLock lock(&run->mutex);
  if (run->current == 0) run->started = std::chrono::steady_clock::now();
}

// Watches run until it has ended: a collector still running limit ms after
// it started is logged and its name added to timed_out, and is still
// waited for. Returns what a collector threw in time, if anything.
std::exception_ptr watch_run(CollectorRun& run, int limit, std::string& timed_out) {
  const auto allowed = std::chrono::milliseconds(limit);
  for (;;) {
    std::string late;
    {
      MutexLock lock(&run.mutex);
      for (bool reported = false; !reported;) {
        if (run.ended) return std::move(run.failure);
        if (run.current_late) {
          run.changed.wait();
          continue;
        }
        const auto deadline = run.started + allowed;
        if (std::chrono::steady_clock::now() < deadline) {
          run.changed.wait_until(deadline);
          continue;
        }
        run.current_late = true;
        late = run.entries[run.current]->name;
        reported = true;
      }
    }
    // Logged without the run's lock: the thread takes it when its
    // collector ends.
    log_message("action '%s' timed out %d", late.c_str(), limit);
    timed_out += late;
    timed_out += ',';
  }
}

}  // namespace

void run_collectors(const std::list<CollectorEntry>& entries, RiskApp& app, const StringMap& params,
                    StringMap& result) {
  const std::set<std::string> skip = read_skip_list(params);
  const int64_t start = now_ms();
  auto configured = params.find(kCollectTimeoutSetting);
  const int limit =
      read_limit(configured != params.end() ? configured->second : kDefaultCollectTimeout);
  log_message("async collect timeout: %d", limit);

  std::vector<const CollectorEntry*> to_run;
  for (const CollectorEntry& entry : entries) {
    if (skip.count(entry.name) == 0) to_run.push_back(&entry);
  }
  std::string timed_out;
  if (!to_run.empty()) {
    auto run = std::make_shared<CollectorRun>(std::move(to_run), app, result);
    start_run(run);
    // Each collector starts only after the one before has ended, and a late
    // one still delivers its keys; what a late one throws is dropped.
    const std::exception_ptr failure = watch_run(*run, limit, timed_out);
    if (failure) std::rethrow_exception(failure);
  }

  result["K300"] = decimal_text(now_ms() - start);
  result["K450"] = timed_out;
  put_user_entries(params, result);
}

}  // namespace risk
