// Runtime guards: a background watcher that looks for signs of a hostile
// runtime and reports them as events through the process-wide sink
// (send_event, situation/event_list.h), from where they travel in "K350".
//
// The watcher is one thread per RuntimeGuard. Its start, on the calling
// thread, reads /proc/cpuinfo once for signs of a virtual or emulated device
// and the "TracerPid" line of /proc/self/status, and reports what it finds
// before it returns; then, every interval (3 s by default), the thread reads
// the tracer again and reports every tracer (debugger, strace, an
// instrumentation tool) that attaches to the process or leaves it. A round
// costs one small file read; the thread sleeps in between and never holds a
// lock of the library while it reports.
//
// The process has one guard, behind init_runtime_guards (once per process,
// called by the first platform setup; later setups get false) and
// start_runtime_guards (called by that setup afterwards, on the script
// thread; it returns after the two reads of the start). Tests build their own RuntimeGuard with a
// fixture root, a short interval and their own report function, and stop it.
//
// Nothing here throws to its caller or lets an exception leave the watcher
// thread: an exception ends the watcher with a log line, and a thread that
// cannot be started is logged and skipped.
//
// Events (event number, code, message):
//
//   701 kEventTracer
//     1 kTracerAttached   "tracer attached: pid=<pid> comm=<name>"
//                         pid is the tracer's process id as this process
//                         sees it, name the first line of /proc/<pid>/comm
//                         ("" when unreadable)
//     2 kTracerDetached   "tracer detached: pid=<pid>"
//   702 kEventEmulator    (at most one of each per start)
//     1 kEmulatorHypervisor  "cpu flag: hypervisor"
//                         a "flags" line of /proc/cpuinfo lists the
//                         hypervisor bit: the processor runs virtualised
//     2 kEmulatorMarker   "emulator marker: <name>: <value>"
//                         a "Hardware" or "model name" line of
//                         /proc/cpuinfo names an emulator ("goldfish",
//                         "ranchu", "QEMU")
#ifndef RISK_COLLECT_RUNTIME_GUARD_H_
#define RISK_COLLECT_RUNTIME_GUARD_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "base/mutex.h"
#include "base/thread_annotations.h"

namespace risk {

constexpr uint32_t kEventTracer = 701;
constexpr uint32_t kTracerAttached = 1;
constexpr uint32_t kTracerDetached = 2;
constexpr uint32_t kEventEmulator = 702;
constexpr uint32_t kEmulatorHypervisor = 1;
constexpr uint32_t kEmulatorMarker = 2;

// Interval between two reads of the tracer state in production.
constexpr std::chrono::milliseconds kGuardInterval{3000};

// Receives one finding on the watcher thread.
using GuardReport = std::function<void(uint32_t event, uint32_t code, const std::string& message)>;

struct GuardOptions {
  // Prefix of the /proc paths read ("" = the real ones); see path_under_root.
  std::string root;
  // Sleep between two tracer reads; values below 1 ms count as 1 ms.
  std::chrono::milliseconds interval = kGuardInterval;
  // Where findings go; unset: send_event.
  GuardReport report;
};

// One watcher thread. start and stop may be called from any thread except
// the watcher itself (that is, not from report).
class RuntimeGuard {
 public:
  explicit RuntimeGuard(GuardOptions options);
  RuntimeGuard(const RuntimeGuard&) = delete;
  RuntimeGuard& operator=(const RuntimeGuard&) = delete;
  // Stops the watcher.
  ~RuntimeGuard();

  // Makes the start's reads and reports, then starts the watcher thread.
  // False when it is already running or the thread cannot be started
  // (logged "runtime guard not started: %s"). A stopped guard can be started again; each start
  // reads /proc/cpuinfo again and forgets the tracer seen before.
  bool start();

  // Wakes the watcher and waits for it to end (at most one round: one file
  // read and the reports it makes). Does nothing when it is not running.
  void stop();

 private:
  // The watcher thread, as its entry; tracer is the one the start saw (0
  // for none). A failing read or report ends the watch with a log line.
  void run(int64_t tracer) noexcept;
  // Waits one interval, or less when the guard is stopped; false once it is.
  bool wait_interval(std::chrono::milliseconds interval);
  void scan_cpuinfo();
  // The TracerPid of the process, or -1 when it cannot be read.
  int64_t read_tracer_pid() const;
  void report_tracer_change(int64_t before, int64_t now);
  void report(uint32_t event, uint32_t code, const std::string& message) const;

  const GuardOptions options_;

  Mutex control_mutex_;  // serialises start and stop
  std::thread thread_ GUARDED_BY(control_mutex_);

  Mutex wake_mutex_;
  CondVar wake_{&wake_mutex_};
  bool stopping_ GUARDED_BY(wake_mutex_) = false;
};

// The process's one-time guard initialisation: true on the first call in the
// process, false on every later one (also when calls race). Any thread.
bool init_runtime_guards();

// Starts the process's guard with the production options; does nothing
// before a successful init_runtime_guards or while it already runs. Returns
// at once. Any thread.
void start_runtime_guards();

// Stops the process's guard (tests, library unload); start_runtime_guards
// may start it again.
void stop_runtime_guards();

}  // namespace risk

#endif  // RISK_COLLECT_RUNTIME_GUARD_H_
