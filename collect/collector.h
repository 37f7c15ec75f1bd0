// The collector registry's entries and the result-map helpers.
//
// A collector is a named function that writes one family of device facts
// into the result map of a token request. RiskSdk keeps the registry
// (register_collector) and runs it through run_collectors: one collector at
// a time, on one thread of the run while the caller watches each one's
// reporting time limit, which never shortens the run.
//
// put_value and merge_json_object are the collectors' way of storing values;
// they touch only the map they are given (no locks, any thread).
#ifndef RISK_COLLECT_COLLECTOR_H_
#define RISK_COLLECT_COLLECTOR_H_

#include <functional>
#include <list>
#include <string>

#include "base/types.h"

namespace risk {

class RiskApp;

// fn(app, result, context): writes its facts into result. Runs on the
// collector thread of the run while the caller of collect waits; it is the
// only writer of result while it runs.
using Collector = std::function<void(RiskApp&, StringMap&, void*)>;

struct CollectorEntry {
  std::string name;  // used in the skip list and in the late list "K450"
  Collector fn;
  void* context = nullptr;  // handed unchanged to fn
};

// AES-256 key of the "PRIVATE_BLACK" skip list: its 32 ASCII bytes as they are.
constexpr char kSkipListKey[] = "c41e8f20bdaj73k0915p6e2bb7c03d58";
// Per-collector reporting limit when "PRIVATE_COLLECT_TIMEOUT" is absent.
constexpr const char* kDefaultCollectTimeout = "500";

// Runs entries in order into result, one after another on one thread
// started for the run while the caller waits, skipping the names sealed in
// "PRIVATE_BLACK" of params; a collector still running
// "PRIVATE_COLLECT_TIMEOUT" ms (default kDefaultCollectTimeout) after its
// start is reported late ("K450") when that time comes, and waited for: the
// next one starts after it has ended, on the same thread. Then
// writes "K300" (the run's milliseconds), "K450" and the caller's data
// entries of params as "user_" + key. Runs on a native worker thread, never
// on the script thread. Throws what a collector threw before its time limit
// (no later collector runs then), or std::system_error when the collector
// thread cannot be started.
void run_collectors(const std::list<CollectorEntry>& entries, RiskApp& app, const StringMap& params,
                    StringMap& result);

// map[key] = value, unless key is empty, value is empty or value is exactly
// "null"; then map is unchanged.
void put_value(StringMap& map, const std::string& key, const std::string& value);
// As above; also does nothing when either pointer is null.
void put_value(StringMap& map, const char* key, const char* value);

// Option keys beginning "KEY_" or "PRIVATE_" are settings; every other key
// of an option map is caller data, sent under kUserEntryPrefix + key.
constexpr char kUserEntryPrefix[] = "user_";
// out[kUserEntryPrefix + key] = value for every caller-data entry of params
// (an existing entry is overwritten).
void put_user_entries(const StringMap& params, StringMap& out);

// Parses text as JSON; when it is an object, put_value(member name, member's
// string value) for every member in key order (non-string members have no
// string value and are skipped). Empty text, "null", invalid JSON and
// non-objects leave map unchanged.
void merge_json_object(StringMap& map, const std::string& text);

}  // namespace risk

#endif  // RISK_COLLECT_COLLECTOR_H_
