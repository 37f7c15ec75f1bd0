#include "collect/runtime_guard.h"

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <new>
#include <utility>

#include "base/log.h"
#include "base/sysfile.h"
#include "situation/event_list.h"

namespace risk {
namespace {

constexpr char kStatusPath[] = "/proc/self/status";
constexpr char kCpuInfoPath[] = "/proc/cpuinfo";
constexpr char kTracerPidName[] = "TracerPid";
constexpr std::chrono::milliseconds kMinInterval{1};

// cpuinfo lines that name the machine, and the texts that only emulators put
// there (the Android emulator's boards and the QEMU processor model).
constexpr const char* kMachineNames[] = {"Hardware", "model name"};
constexpr const char* kEmulatorMarkers[] = {"goldfish", "ranchu", "QEMU"};
constexpr char kHypervisorFlag[] = "hypervisor";

// True when the white-space separated list holds word.
bool has_word(const std::string& list, const std::string& word) {
  size_t at = 0;
  while (at < list.size()) {
    const size_t begin = list.find_first_not_of(" \t", at);
    if (begin == std::string::npos) return false;
    size_t end = list.find_first_of(" \t", begin);
    if (end == std::string::npos) end = list.size();
    if (list.compare(begin, end - begin, word) == 0) return true;
    at = end;
  }
  return false;
}

struct CpuFindings {
  bool hypervisor = false;
  std::string marker;  // "name: value" of the first emulator line; "" when none
};

void on_cpuinfo_line(void* user, const std::string& name, const std::string& value) {
  CpuFindings& findings = *static_cast<CpuFindings*>(user);
  if (name == "flags") {
    if (!findings.hypervisor && has_word(value, kHypervisorFlag)) findings.hypervisor = true;
    return;
  }
  if (!findings.marker.empty()) return;
  for (const char* machine : kMachineNames) {
    if (name != machine) continue;
    for (const char* marker : kEmulatorMarkers) {
      if (value.find(marker) != std::string::npos) {
        findings.marker = name + ": " + value;
        return;
      }
    }
  }
}

// A process id: decimal digits only, within the kernel's pid range.
int64_t parse_pid(const std::string& text) {
  if (text.empty() || text.size() > 10) return -1;
  int64_t pid = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return -1;
    pid = pid * 10 + (c - '0');
  }
  return pid <= INT32_MAX ? pid : -1;
}

void on_status_line(void* user, const std::string& name, const std::string& value) {
  if (name == kTracerPidName) *static_cast<int64_t*>(user) = parse_pid(value);
}

// The process's guard: created by the first start_runtime_guards after a
// successful init_runtime_guards and never destroyed, so its thread never
// meets a destroyed object while the process exits.
std::atomic<bool> g_guards_initialized{false};
Mutex g_process_guard_mutex;
RuntimeGuard* g_process_guard GUARDED_BY(g_process_guard_mutex) = nullptr;

}  // namespace

RuntimeGuard::RuntimeGuard(GuardOptions options) : options_(std::move(options)) {}

RuntimeGuard::~RuntimeGuard() { stop(); }

bool RuntimeGuard::start() {
  MutexLock control(&control_mutex_);
  if (thread_.joinable()) return false;
  {
    MutexLock hold(&wake_mutex_);
    stopping_ = false;
  }
  // What holds at start is reported before the first token request can
  // be made, not whenever the new thread happens to run first: a finding
  // that arrived between two token calls would make the second one ask the
  // service again.
  int64_t tracer = 0;
  try {
    scan_cpuinfo();
    tracer = std::max<int64_t>(read_tracer_pid(), 0);
    if (tracer != 0) report_tracer_change(0, tracer);
  } catch (const std::exception& error) {
    log_message("runtime guard ended: %s", error.what());
    return false;
  } catch (...) {
    log_message("runtime guard ended: unknown exception");
    return false;
  }
  try {
    thread_ = std::thread(&RuntimeGuard::run, this, tracer);
  } catch (const std::exception& error) {  // std::system_error, std::bad_alloc
    log_message("runtime guard not started: %s", error.what());
    return false;
  }
  return true;
}

void RuntimeGuard::stop() {
  MutexLock control(&control_mutex_);
  if (!thread_.joinable()) return;
  {
    MutexLock hold(&wake_mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

// Runs on the watcher thread.
void RuntimeGuard::run(int64_t tracer) {
  try {
    const std::chrono::milliseconds interval = std::max(options_.interval, kMinInterval);
    for (;;) {
      if (!wait_interval(interval)) break;
      const int64_t now = read_tracer_pid();
      if (now >= 0 && now != tracer) {
        report_tracer_change(tracer, now);
        tracer = now;
      }
    }
  } catch (const std::exception& error) {
    log_message("runtime guard ended: %s", error.what());
  } catch (...) {
    log_message("runtime guard ended: unknown exception");
  }
}

bool RuntimeGuard::wait_interval(std::chrono::milliseconds interval) {
  const auto deadline = std::chrono::steady_clock::now() + interval;
  MutexLock hold(&wake_mutex_);
  while (!stopping_ && wake_.wait_until(deadline)) {
  }
  return !stopping_;
}

void RuntimeGuard::scan_cpuinfo() {
  CpuFindings findings;
  parse_key_value_file(path_under_root(options_.root, kCpuInfoPath), on_cpuinfo_line, &findings);
  if (findings.hypervisor) {
    report(kEventEmulator, kEmulatorHypervisor, std::string("cpu flag: ") + kHypervisorFlag);
  }
  if (!findings.marker.empty()) {
    report(kEventEmulator, kEmulatorMarker, "emulator marker: " + findings.marker);
  }
}

int64_t RuntimeGuard::read_tracer_pid() const {
  int64_t pid = -1;
  parse_key_value_file(path_under_root(options_.root, kStatusPath), on_status_line, &pid);
  return pid;
}

void RuntimeGuard::report_tracer_change(int64_t before, int64_t now) {
  char text[96];
  if (before != 0) {
    std::snprintf(text, sizeof text, "tracer detached: pid=%" PRId64, before);
    report(kEventTracer, kTracerDetached, text);
  }
  if (now != 0) {
    const std::string comm_path = "/proc/" + std::to_string(now) + "/comm";
    const std::string comm = read_first_line(path_under_root(options_.root, comm_path));
    std::snprintf(text, sizeof text, "tracer attached: pid=%" PRId64 " comm=", now);
    report(kEventTracer, kTracerAttached, text + comm);
  }
}

void RuntimeGuard::report(uint32_t event, uint32_t code, const std::string& message) const {
  if (options_.report) {
    options_.report(event, code, message);
  } else {
    send_event(event, code, message.c_str());
  }
}

bool init_runtime_guards() { return !g_guards_initialized.exchange(true); }

void start_runtime_guards() {
  if (!g_guards_initialized.load()) return;
  MutexLock hold(&g_process_guard_mutex);
  if (g_process_guard == nullptr) {
    g_process_guard = new (std::nothrow) RuntimeGuard(GuardOptions{});
    if (g_process_guard == nullptr) {
      log_message("runtime guard not started: %s", "out of memory");
      return;
    }
  }
  g_process_guard->start();
}

void stop_runtime_guards() {
  MutexLock hold(&g_process_guard_mutex);
  if (g_process_guard != nullptr) g_process_guard->stop();
}

}  // namespace risk
