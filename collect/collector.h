// The collector registry's entries and the result-map helpers.
//
// A collector is a named function that writes one family of device facts
// into the result map of a token request. RiskSdk keeps the registry
// (register_collector) and runs it (RiskSdk::collect, defined in
// collector.cc): one collector at a time, each on a fresh thread, with a
// per-collector reporting time limit that never shortens the run.
//
// put_value and merge_json_object are the collectors' way of storing values;
// they touch only the map they are given (no locks, any thread).
#ifndef RISK_COLLECT_COLLECTOR_H_
#define RISK_COLLECT_COLLECTOR_H_

#include <functional>
#include <string>

#include "base/types.h"

namespace risk {

class RiskApp;

// fn(app, result, context): writes its facts into result. Runs on a thread
// of its own while the caller of collect waits; it is the only writer of
// result while it runs.
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

// map[key] = value, unless key is empty, value is empty or value is exactly
// "null"; then map is unchanged.
void put_value(StringMap& map, const std::string& key, const std::string& value);
// As above; also does nothing when either pointer is null.
void put_value(StringMap& map, const char* key, const char* value);

// Parses text as JSON; when it is an object, put_value(member name, member's
// string value) for every member in key order (non-string members have no
// string value and are skipped). Empty text, "null", invalid JSON and
// non-objects leave map unchanged.
void merge_json_object(StringMap& map, const std::string& text);

}  // namespace risk

#endif  // RISK_COLLECT_COLLECTOR_H_
