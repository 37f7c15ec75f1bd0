#include "collect/collectors/collectors.h"

#include <dirent.h>
#include <sys/statfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "base/clock.h"
#include "base/mutex.h"
#include "base/strings.h"
#include "base/sysfile.h"
#include "core/risk_sdk.h"
#include "crypto/digest.h"
#include "situation/event_list.h"

namespace risk {
namespace {

// How each key is stored: put_value ("put") skips empty values and "null";
// plain assignment ("always") stores what it is given.
//
// collector       key     source                                          store
// device_info     *       the SDK's device properties, key order           put
// oaid            K353    getOaid, unless "" or the all-zero id            put
// times_info      K200    clock, milliseconds                              always
//                 *       getTimeInfo's JSON object members                merge
//                 K202    clock seconds - whole seconds of uptime          put
//                 K205    first line of /proc/uptime                       put
// uuid            K58     installation id property, created on first use   put
// app_sign_md5    K7      getAppSignature, unchanged                       put
// mem_info        K66-1   "MemTotal" of /proc/meminfo (when the line is)   always
//                 K66-2   "MemFree"                                        always
//                 K67-1   statfs("/data") free blocks x block size         always
//                 K67-2   statfs("/data") total blocks x block size        always
// fonts_hash      K60     md5_hex of the /system/fonts listing             always
// cpu_info        K31..   "Features", "flags", "Hardware", "module_name",  put
//                         "Processor" of /proc/cpuinfo, last one wins
//                 K30     configured processors                            always
//                 K34..   five /sys files, see kCpuFiles                   put
// app_info        K2 K4   application name, version name                   put
//                 K850    version code, unsigned decimal                   put
// hard_id_list    K290    /proc/sys/kernel/random/boot_id                  put
//                 K291    /proc/sys/kernel/random/uuid                     put
//                 K292/3  uname release / version                          always
// event_history   K350    the event list's events_json                     put

struct CpuInfoName {
  const char* name;
  const char* key;
};
constexpr CpuInfoName kCpuInfoNames[] = {
    {"Features", "K31"},    {"flags", "K32"},     {"Hardware", "K33"},
    {"module_name", "K36"}, {"Processor", "K37"},
};

struct SingleValueFile {
  const char* key;
  const char* path;
};
constexpr SingleValueFile kCpuFiles[] = {
    {"K34", "/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq"},
    {"K35", "/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_min_freq"},
    {"K39", "/sys/devices/system/cpu/cpu0/cpufreq/scaling_cur_freq"},
    {"K40", "/sys/class/thermal/thermal_zone0/temp"},
    {"K41", "/sys/devices/system/cpu/present"},
};

constexpr char kCpuInfoPath[] = "/proc/cpuinfo";
constexpr char kMemInfoPath[] = "/proc/meminfo";
constexpr char kUptimePath[] = "/proc/uptime";
constexpr char kDataPath[] = "/data";
constexpr char kFontsPath[] = "/system/fonts";
constexpr char kBootIdPath[] = "/proc/sys/kernel/random/boot_id";
constexpr char kKernelUuidPath[] = "/proc/sys/kernel/random/uuid";

// Directory entries with this bit in d_type are left out of the font listing
// (DT_DIR, and the rarer types that share the bit).
constexpr unsigned kSkippedEntryTypeBit = 4;

// An uptime at or beyond this many seconds cannot be turned into a boot
// time (the float-to-integer conversion would be undefined).
constexpr float kMaxUptimeSeconds = 1e15f;

struct timeval wall_clock(const CollectorSources& sources) {
  if (sources.clock) return sources.clock();
  struct timeval tv {};
  ::gettimeofday(&tv, nullptr);
  return tv;
}

std::string call_service(const std::function<std::string()>& service) {
  return service ? service() : std::string();
}

std::string file_path(const CollectorSources& sources, const char* path) {
  return path_under_root(sources.root, path);
}

bool system_uname(std::string* release, std::string* version) {
  struct utsname names {};
  if (::uname(&names) != 0) return false;
  // The fields are zero-terminated; strnlen keeps the copy inside them even
  // if one is not.
  release->assign(names.release, strnlen(names.release, sizeof names.release));
  version->assign(names.version, strnlen(names.version, sizeof names.version));
  return true;
}

// --------------------------------------------------------------- collectors

void collect_device_info(const CollectorSources& sources, RiskApp&, StringMap& out) {
  if (!sources.device_properties) return;
  for (const auto& entry : sources.device_properties()) {
    put_value(out, entry.first, entry.second);
  }
}

void collect_oaid(const CollectorSources& sources, RiskApp&, StringMap& out) {
  const std::string oaid = call_service(sources.get_oaid);
  if (oaid.empty() || oaid == kZeroAdvertisingId) return;
  put_value(out, "K353", oaid);
}

void collect_times_info(const CollectorSources& sources, RiskApp&, StringMap& out) {
  out["K200"] = decimal_text(timeval_to_ms(wall_clock(sources)));
  merge_json_object(out, call_service(sources.get_time_info));

  const std::string line = read_first_line(file_path(sources, kUptimePath));
  if (line.empty()) return;
  // Single precision, as the fact has always been computed: on long-running
  // systems the boot time may be off by a few seconds.
  float uptime = 0;
  float idle = 0;
  std::sscanf(line.c_str(), "%f %f", &uptime, &idle);
  if (std::isfinite(uptime) && std::fabs(uptime) < kMaxUptimeSeconds) {
    const int64_t now_seconds = int64_t(wall_clock(sources).tv_sec);
    put_value(out, "K202", decimal_text(now_seconds - int64_t(uptime)));
  }
  put_value(out, "K205", line);
}

void collect_uuid(const CollectorSources&, RiskApp& app, StringMap& out) {
  RiskSdk* sdk = app.sdk();
  MutexLock hold(&sdk->installation_id_mutex());
  std::string value = sdk->get_property(kInstallationIdProperty);
  if (value.empty()) {
    std::string generated = generate_uuid_v4();
    if (!generated.empty()) value = std::move(generated);
    sdk->set_property(kInstallationIdProperty, value);
  }
  put_value(out, "K58", value);
}

void collect_app_sign(const CollectorSources& sources, RiskApp&, StringMap& out) {
  put_value(out, "K7", call_service(sources.get_app_signature));
}

void on_meminfo_line(void* user, const std::string& name, const std::string& value) {
  StringMap& out = *static_cast<StringMap*>(user);
  if (name == "MemTotal") {
    out["K66-1"] = value;
  } else if (name == "MemFree") {
    out["K66-2"] = value;
  }
}

void collect_mem_info(const CollectorSources& sources, RiskApp&, StringMap& out) {
  parse_key_value_file(file_path(sources, kMemInfoPath), on_meminfo_line, &out);
  struct statfs stats {};
  if (::statfs(file_path(sources, kDataPath).c_str(), &stats) != 0) return;
  const uint64_t block_size = uint64_t(stats.f_bsize);
  out["K67-1"] = unsigned_decimal_text(uint64_t(stats.f_bfree) * block_size);
  out["K67-2"] = unsigned_decimal_text(uint64_t(stats.f_blocks) * block_size);
}

void collect_fonts_hash(const CollectorSources& sources, RiskApp&, StringMap& out) {
  DIR* dir = ::opendir(file_path(sources, kFontsPath).c_str());
  if (dir == nullptr) return;
  // Listing order as the file system returns it: the hash identifies the
  // font set as installed, order included.
  std::string listing;
  while (const struct dirent* entry = ::readdir(dir)) {
    if ((unsigned(entry->d_type) & kSkippedEntryTypeBit) != 0) continue;
    listing += entry->d_name;
    listing += '_';
  }
  ::closedir(dir);
  out["K60"] = md5_hex(listing);
}

void on_cpuinfo_line(void* user, const std::string& name, const std::string& value) {
  StringMap& out = *static_cast<StringMap*>(user);
  for (const auto& known : kCpuInfoNames) {
    if (name == known.name) {
      put_value(out, known.key, value);
      return;
    }
  }
}

void collect_cpu_info(const CollectorSources& sources, RiskApp&, StringMap& out) {
  parse_key_value_file(file_path(sources, kCpuInfoPath), on_cpuinfo_line, &out);
  out["K30"] = decimal_text(int64_t(::sysconf(_SC_NPROCESSORS_CONF)));
  for (const auto& file : kCpuFiles) {
    put_value(out, file.key, read_first_line(file_path(sources, file.path)));
  }
}

void collect_app_info(const CollectorSources&, RiskApp& app, StringMap& out) {
  const SdkFacts& facts = app.sdk()->facts();
  put_value(out, "K2", facts.app_name);
  put_value(out, "K4", facts.app_version_name);
  put_value(out, "K850", unsigned_decimal_text(uint64_t(facts.app_version_code)));
}

void collect_hard_ids(const CollectorSources& sources, RiskApp&, StringMap& out) {
  put_value(out, "K290", read_first_line(file_path(sources, kBootIdPath)));
  put_value(out, "K291", read_first_line(file_path(sources, kKernelUuidPath)));
  std::string release;
  std::string version;
  const bool named =
      sources.uname ? sources.uname(&release, &version) : system_uname(&release, &version);
  if (!named) return;
  out["K292"] = release;
  out["K293"] = version;
}

void collect_event_history(const CollectorSources&, RiskApp& app, StringMap& out) {
  EventList* events = app.sdk()->event_list();
  if (events == nullptr) return;
  put_value(out, "K350", events->events_json());
}

using BoundCollector = void (*)(const CollectorSources&, RiskApp&, StringMap&);

struct BuiltinCollector {
  const char* name;
  BoundCollector fn;
};

// Registration order; collect runs them in the reverse order.
constexpr BuiltinCollector kBuiltinCollectors[] = {
    {"event_history", collect_event_history}, {"hard_id_list", collect_hard_ids},
    {"app_info", collect_app_info},           {"cpu_info", collect_cpu_info},
    {"fonts_hash", collect_fonts_hash},       {"mem_info", collect_mem_info},
    {"app_sign_md5", collect_app_sign},       {"uuid", collect_uuid},
    {"times_info", collect_times_info},       {"oaid", collect_oaid},
    {"device_info", collect_device_info},
};

}  // namespace

std::vector<std::pair<std::string, Collector>> builtin_collectors(const CollectorSources& sources) {
  // One shared copy: the collectors outlive the caller's sources.
  auto shared = std::make_shared<const CollectorSources>(sources);
  std::vector<std::pair<std::string, Collector>> collectors;
  collectors.reserve(sizeof kBuiltinCollectors / sizeof kBuiltinCollectors[0]);
  for (const auto& builtin : kBuiltinCollectors) {
    const BoundCollector fn = builtin.fn;
    collectors.emplace_back(
        builtin.name, [shared, fn](RiskApp& app, StringMap& out, void*) { fn(*shared, app, out); });
  }
  return collectors;
}

void register_builtin_collectors(RiskSdk& sdk, const CollectorSources& sources) {
  for (auto& collector : builtin_collectors(sources)) {
    sdk.register_collector(collector.first, std::move(collector.second));
  }
}

}  // namespace risk
