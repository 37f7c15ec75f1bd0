// The eleven built-in collectors: the device and application facts of every
// token request, read from /proc, /sys, the font directory, the file-system
// statistics, the SDK's own state and the platform's script services.
//
// Callers: HarmonyRiskSdk::initialize calls register_builtin_collectors once
// per SDK, right after the base initialize has created the event list.
// RiskSdk::collect then runs each collector on a thread of its own, one at a
// time, so a collector is the only writer of the result map while it runs.
// The collectors read the SDK's application fields and device properties
// (written only during setup) without a lock, the event list under its own
// read lock, and reach the script thread only through CollectorSources.
//
// Collectors report no errors and log nothing: a fact that cannot be read
// leaves its key out (the table in collectors.cc says which keys are stored
// even when empty). They throw only what a service function throws.
#ifndef RISK_COLLECT_COLLECTORS_COLLECTORS_H_
#define RISK_COLLECT_COLLECTORS_COLLECTORS_H_

#include <sys/time.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "base/types.h"
#include "collect/collector.h"
#include "core/token.h"

namespace risk {

class RiskSdk;

// The SDK property of the installation identifier is kInstallationIdProperty
// (core/token.h), shared with the token exchange that may replace it.
// The advertising identifier of a device whose user has turned tracking off;
// it identifies nobody and is not sent.
constexpr char kZeroAdvertisingId[] = "00000000-0000-0000-0000-000000000000";

// Everything the collectors take from outside their own code. The platform
// fills the script services and the device properties; tests fill every
// member to run the collectors without a script engine and against fixture
// trees. Every member is optional: an unset script service answers "", an
// unset device_properties gives no entries, an unset clock or uname uses the
// system's. The functions are called on collector threads, one at a time.
struct CollectorSources {
  // Prefix of every file and directory the collectors read ("/proc/...",
  // "/sys/...", "/system/fonts", "/data"); "" reads the real paths. See
  // path_under_root.
  std::string root;

  // Wall clock for "K200" (milliseconds) and the boot time "K202" (whole
  // seconds). Unset: gettimeofday.
  std::function<struct timeval()> clock;

  // System identification: fills the kernel release and version and returns
  // true, or returns false (then neither key is written). Unset: uname(2).
  std::function<bool(std::string* release, std::string* version)> uname;

  // Script services (s_getOaid, s_getTimeInfo, s_getAppSignature in
  // production): the answer's text, "" on any failure. They block the
  // collector thread until the script thread answers.
  std::function<std::string()> get_oaid;
  std::function<std::string()> get_time_info;
  std::function<std::string()> get_app_signature;

  // The SDK's device-property map as key -> the entry's string value (""
  // for entries that are not JSON strings), in key order.
  std::function<StringMap()> device_properties;
};

// The built-in collectors bound to sources, in registration order:
// "event_history", "hard_id_list", "app_info", "cpu_info", "fonts_hash",
// "mem_info", "app_sign_md5", "uuid", "times_info", "oaid", "device_info".
// They share one copy of sources. The collectors reach the SDK through
// the RiskApp they are given: its application fields, its event list and,
// for "uuid", its get_property / set_property.
std::vector<std::pair<std::string, Collector>> builtin_collectors(const CollectorSources& sources);

// Registers builtin_collectors(sources) on sdk in the order above, so that
// collect runs them from "device_info" to "event_history". Called once per
// SDK during initialisation, before any collect.
void register_builtin_collectors(RiskSdk& sdk, const CollectorSources& sources);

}  // namespace risk

#endif  // RISK_COLLECT_COLLECTORS_COLLECTORS_H_
