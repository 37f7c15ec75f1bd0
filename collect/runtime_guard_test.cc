#include "collect/runtime_guard.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/ptrace.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "core/risk_sdk.h"
#include "situation/event_list.h"

namespace risk {
namespace {

// How long a test waits for the watcher before it gives up: a bound on a
// hung watcher, not a measure of its speed.
constexpr auto kPatience = std::chrono::seconds(30);
constexpr std::chrono::milliseconds kFastInterval{2};

struct Finding {
  uint32_t event;
  uint32_t code;
  std::string message;
  bool operator==(const Finding& other) const {
    return event == other.event && code == other.code && message == other.message;
  }
};

std::ostream& operator<<(std::ostream& out, const Finding& finding) {
  return out << "{" << finding.event << ", " << finding.code << ", \"" << finding.message << "\"}";
}

// Collects the findings a guard reports, from its watcher thread.
class Recorder {
 public:
  GuardReport report() {
    return [this](uint32_t event, uint32_t code, const std::string& message) {
      MutexLock hold(&mutex_);
      findings_.push_back(Finding{event, code, message});
      changed_.notify_all();
    };
  }
  // Waits until count findings have arrived; false after the patience.
  bool wait_for(size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    MutexLock hold(&mutex_);
    while (findings_.size() < count) {
      if (!changed_.wait_until(deadline)) return findings_.size() >= count;
    }
    return true;
  }
  std::vector<Finding> findings() {
    MutexLock hold(&mutex_);
    return findings_;
  }

 private:
  Mutex mutex_;
  CondVar changed_{&mutex_};
  std::vector<Finding> findings_ GUARDED_BY(mutex_);
};

// A fixture root: <root>/proc/cpuinfo and <root>/proc/self/status, rewritten
// atomically (rename) so that the watcher never reads half a file.
class FakeProc {
 public:
  FakeProc() {
    char name[] = "/tmp/guard_test.XXXXXX";
    const char* made = ::mkdtemp(name);
    root_ = made != nullptr ? made : "";
    std::system(("mkdir -p '" + root_ + "/proc/self'").c_str());
  }
  ~FakeProc() {
    if (!root_.empty()) std::system(("rm -rf '" + root_ + "'").c_str());
  }
  const std::string& root() const { return root_; }

  void write(const std::string& relative, const std::string& text) {
    const std::string path = root_ + "/" + relative;
    std::system(("mkdir -p \"$(dirname '" + path + "')\"").c_str());
    {
      std::ofstream out(path + ".new", std::ios::trunc);
      out << text;
    }
    std::rename((path + ".new").c_str(), path.c_str());
  }
  void set_tracer(const std::string& value) {
    write("proc/self/status",
          "Name:\tapp\nState:\tS (sleeping)\nTgid:\t100\nPid:\t100\nPPid:\t1\n"
          "TracerPid:\t" +
              value + "\nUid:\t1000\t1000\t1000\t1000\n");
  }

 private:
  std::string root_;
};

GuardOptions fast_options(const FakeProc& proc, Recorder& recorder) {
  GuardOptions options;
  options.root = proc.root();
  options.interval = kFastInterval;
  options.report = recorder.report();
  return options;
}

// --------------------------------------------------------- tracer watcher

TEST(TracerWatcher, ReportsAttachAndDetachOnce) {
  FakeProc proc;
  proc.write("proc/cpuinfo", "processor\t: 0\nflags\t\t: fpu vme\n");
  proc.set_tracer("0");
  proc.write("proc/4242/comm", "gdb\n");
  Recorder recorder;
  RuntimeGuard guard(fast_options(proc, recorder));
  ASSERT_TRUE(guard.start());

  proc.set_tracer("4242");
  ASSERT_TRUE(recorder.wait_for(1));
  // Many rounds with the same tracer: no second report.
  std::this_thread::sleep_for(kFastInterval * 20);
  proc.set_tracer("0");
  ASSERT_TRUE(recorder.wait_for(2));
  guard.stop();
  EXPECT_EQ(
      recorder.findings(),
      (std::vector<Finding>{{kEventTracer, kTracerAttached, "tracer attached: pid=4242 comm=gdb"},
                            {kEventTracer, kTracerDetached, "tracer detached: pid=4242"}}));
}

TEST(TracerWatcher, ReportsATracerPresentAtStart) {
  FakeProc proc;
  proc.set_tracer("77");  // no /proc/77/comm: the name stays empty
  Recorder recorder;
  RuntimeGuard guard(fast_options(proc, recorder));
  ASSERT_TRUE(guard.start());
  ASSERT_TRUE(recorder.wait_for(1));
  guard.stop();
  EXPECT_EQ(
      recorder.findings(),
      (std::vector<Finding>{{kEventTracer, kTracerAttached, "tracer attached: pid=77 comm="}}));
}

TEST(TracerWatcher, UnreadableStatesChangeNothing) {
  FakeProc proc;  // no status file yet, no cpuinfo at all
  proc.write("proc/9/comm", "strace\n");
  Recorder recorder;
  RuntimeGuard guard(fast_options(proc, recorder));
  ASSERT_TRUE(guard.start());
  std::this_thread::sleep_for(kFastInterval * 10);
  for (const char* garbage : {"", "abc", "-5", "12x", "99999999999", " "}) {
    proc.set_tracer(garbage);
    std::this_thread::sleep_for(kFastInterval * 10);
  }
  proc.write("proc/self/status", "Name:\tapp\nPid:\t100\n");  // no TracerPid line
  std::this_thread::sleep_for(kFastInterval * 10);
  proc.set_tracer("9");
  ASSERT_TRUE(recorder.wait_for(1));
  guard.stop();
  // Garbage neither attached nor detached a tracer.
  EXPECT_EQ(recorder.findings(), (std::vector<Finding>{{kEventTracer, kTracerAttached,
                                                        "tracer attached: pid=9 comm=strace"}}));
}

TEST(TracerWatcher, ATracerReplacedByAnotherGivesBothEvents) {
  FakeProc proc;
  proc.set_tracer("5");
  Recorder recorder;
  RuntimeGuard guard(fast_options(proc, recorder));
  ASSERT_TRUE(guard.start());
  ASSERT_TRUE(recorder.wait_for(1));
  proc.set_tracer("6");
  ASSERT_TRUE(recorder.wait_for(3));
  guard.stop();
  const std::vector<Finding> findings = recorder.findings();
  EXPECT_EQ(findings[1], (Finding{kEventTracer, kTracerDetached, "tracer detached: pid=5"}));
  EXPECT_EQ(findings[2], (Finding{kEventTracer, kTracerAttached, "tracer attached: pid=6 comm="}));
}

// ------------------------------------------------------- processor scan

// The processor scan runs before the first tracer read; a tracer present
// from the start therefore marks the end of the scan's reports.
std::vector<Finding> scan_findings(const std::string& cpuinfo) {
  FakeProc proc;
  proc.write("proc/cpuinfo", cpuinfo);
  proc.set_tracer("1");
  Recorder recorder;
  RuntimeGuard guard(fast_options(proc, recorder));
  if (!guard.start()) return {};
  for (size_t count = 1; recorder.wait_for(count); ++count) {
    if (recorder.findings().back().event == kEventTracer) break;
  }
  guard.stop();
  std::vector<Finding> findings = recorder.findings();
  if (!findings.empty() && findings.back().event == kEventTracer) findings.pop_back();
  return findings;
}

TEST(ProcessorScan, ReportsTheHypervisorFlagAndQemuOnce) {
  std::ifstream in(std::string(RISK_SOURCE_DIR) + "/collect/testdata/server/proc/cpuinfo");
  const std::string cpuinfo((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(cpuinfo.empty());
  EXPECT_EQ(scan_findings(cpuinfo),
            (std::vector<Finding>{{kEventEmulator, kEmulatorHypervisor, "cpu flag: hypervisor"},
                                  {kEventEmulator, kEmulatorMarker,
                                   "emulator marker: model name: QEMU Virtual CPU version 2.5+"}}));
}

TEST(ProcessorScan, ReportsTheAndroidEmulatorBoard) {
  EXPECT_EQ(scan_findings("processor\t: 0\nFeatures\t: fp asimd\nHardware\t: ranchu\n"),
            (std::vector<Finding>{
                {kEventEmulator, kEmulatorMarker, "emulator marker: Hardware: ranchu"}}));
}

TEST(ProcessorScan, ARealDeviceReportsNothing) {
  std::ifstream in(std::string(RISK_SOURCE_DIR) + "/collect/testdata/phone/proc/cpuinfo");
  const std::string cpuinfo((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_FALSE(cpuinfo.empty());
  EXPECT_TRUE(scan_findings(cpuinfo).empty());
}

TEST(ProcessorScan, MatchesWholeFlagsOnly) {
  EXPECT_TRUE(scan_findings("flags\t: fpu hypervisorx xhypervisor\nFlags\t: hypervisor\n"
                            "model name\t: Intel(R) Xeon(R)\nhardware\t: goldfish\n")
                  .empty());
  EXPECT_EQ(scan_findings("flags\t: fpu\thypervisor\n").size(), 1u);
}

// ------------------------------------------------------------- lifecycle

TEST(RuntimeGuardLifecycle, StartsOnceAndRestartsAfterStop) {
  FakeProc proc;
  proc.write("proc/cpuinfo", "flags\t: hypervisor\n");
  proc.set_tracer("0");
  Recorder recorder;
  RuntimeGuard guard(fast_options(proc, recorder));
  ASSERT_TRUE(guard.start());
  EXPECT_FALSE(guard.start());
  ASSERT_TRUE(recorder.wait_for(1));
  guard.stop();
  guard.stop();
  // A new start scans again.
  ASSERT_TRUE(guard.start());
  ASSERT_TRUE(recorder.wait_for(2));
  guard.stop();
  EXPECT_EQ(recorder.findings().size(), 2u);
}

TEST(RuntimeGuardLifecycle, StopEndsALongSleepAtOnce) {
  FakeProc proc;
  proc.set_tracer("3");
  Recorder recorder;
  GuardOptions options = fast_options(proc, recorder);
  options.interval = std::chrono::hours(1);
  RuntimeGuard guard(options);
  ASSERT_TRUE(guard.start());
  ASSERT_TRUE(recorder.wait_for(1));
  // Would hang for an hour if stop did not wake the watcher.
  guard.stop();
  EXPECT_EQ(recorder.findings().size(), 1u);
}

Mutex g_log_mutex;
CondVar g_log_changed{&g_log_mutex};
std::vector<std::string> g_log_lines GUARDED_BY(g_log_mutex);

// True when line was logged.
bool logged(const std::string& line) REQUIRES(g_log_mutex) {
  return std::count(g_log_lines.begin(), g_log_lines.end(), line) != 0;
}

void capture_log(const char*, const char* text) {
  MutexLock hold(&g_log_mutex);
  g_log_lines.emplace_back(text);
  g_log_changed.notify_all();
}

TEST(RuntimeGuardLifecycle, AnExceptionEndsTheWatcherWithALogLine) {
  FakeProc proc;
  proc.set_tracer("0");
  GuardOptions options;
  options.root = proc.root();
  options.interval = kFastInterval;
  std::atomic<int> reports{0};
  options.report = [&reports](uint32_t, uint32_t, const std::string&) {
    ++reports;
    throw std::runtime_error("report failed");
  };
  set_log_hook(capture_log);
  RuntimeGuard guard(options);
  ASSERT_TRUE(guard.start());
  proc.set_tracer("8");  // seen by the watcher thread, whose report throws
  {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    MutexLock hold(&g_log_mutex);
    while (!logged("runtime guard ended: report failed")) {
      if (!g_log_changed.wait_until(deadline)) break;
    }
    EXPECT_TRUE(logged("runtime guard ended: report failed"));
  }
  proc.set_tracer("0");  // would be a second report if the watcher still ran
  std::this_thread::sleep_for(kFastInterval * 20);
  guard.stop();
  set_log_hook(nullptr);
  EXPECT_EQ(reports.load(), 1);
}

// What holds when the guard starts is in the reports when start returns: a
// token request made right after setup already carries it.
TEST(RuntimeGuardLifecycle, FindingsAtStartAreReportedBeforeStartReturns) {
  FakeProc proc;
  proc.write("proc/cpuinfo", "processor\t: 0\nflags\t\t: fpu hypervisor\n");
  proc.set_tracer("12");
  Recorder recorder;
  RuntimeGuard guard(fast_options(proc, recorder));
  ASSERT_TRUE(guard.start());
  const std::vector<Finding> at_start = recorder.findings();
  guard.stop();
  ASSERT_EQ(at_start.size(), 2u);
  EXPECT_EQ(at_start[0].event, kEventEmulator);
  EXPECT_EQ(at_start[1], (Finding{kEventTracer, kTracerAttached, "tracer attached: pid=12 comm="}));
}

TEST(RuntimeGuardLifecycle, ReportsThroughTheEventSinkByDefault) {
  FakeProc proc;
  proc.set_tracer("31");
  RiskSdk sdk;
  sdk.initialize();
  register_event_sink(sdk.event_list());
  GuardOptions options;
  options.root = proc.root();
  options.interval = kFastInterval;
  RuntimeGuard guard(options);
  ASSERT_TRUE(guard.start());
  const auto give_up = std::chrono::steady_clock::now() + kPatience;
  std::vector<EventSnapshot> events;
  while (events.empty() && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    events = sdk.event_list()->entries();
  }
  guard.stop();
  unregister_event_sink(sdk.event_list());
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].event, kEventTracer);
  EXPECT_EQ(events[0].code, kTracerAttached);
  EXPECT_EQ(events[0].message, "tracer attached: pid=31 comm=");
}

// ---------------------------------------------------- the process's guard

size_t thread_count() {
  size_t count = 0;
  if (DIR* dir = ::opendir("/proc/self/task")) {
    while (const struct dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
  }
  return count;
}

// thread_count() once it shows expected, or after about two seconds. A
// joined thread can still be listed for a moment: pthread_join returns when
// the kernel clears the thread's id, before the task leaves /proc (much
// longer under an emulator such as qemu-user).
size_t thread_count_when_settled(size_t expected) {
  size_t count = thread_count();
  for (int i = 0; i < 200 && count != expected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    count = thread_count();
  }
  return count;
}

TEST(ProcessGuard, InitialisesOnceAcrossRacingCallers) {
  const size_t before = thread_count();
  start_runtime_guards();  // before the initialisation: nothing starts
  EXPECT_EQ(thread_count(), before);

  std::atomic<int> successes{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < 8; ++i) {
    callers.emplace_back([&successes] {
      if (init_runtime_guards()) ++successes;
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(successes.load(), 1);
  EXPECT_FALSE(init_runtime_guards());

  start_runtime_guards();
  start_runtime_guards();  // already running: no second thread
  EXPECT_EQ(thread_count_when_settled(before + 1), before + 1);
  stop_runtime_guards();
  EXPECT_EQ(thread_count_when_settled(before), before);
}

// ------------------------------------------------------- a real tracer

// Writes all of text to fd; false on failure.
bool write_all(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

// The child: runs a guard that reads the real /proc/self/status and reports
// through the event sink, tells the parent it is ready, waits until the
// tracer's event is held, then sends the list's JSON and exits.
[[noreturn]] void run_traced_child(int ready_fd, int result_fd) {
  RiskSdk sdk;
  sdk.initialize();
  register_event_sink(sdk.event_list());
  GuardOptions options;
  options.interval = std::chrono::milliseconds(10);
  RuntimeGuard guard(options);
  guard.start();
  write_all(ready_fd, "r");
  ::close(ready_fd);
  const auto give_up = std::chrono::steady_clock::now() + kPatience;
  bool seen = false;
  while (!seen && std::chrono::steady_clock::now() < give_up) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (const EventSnapshot& event : sdk.event_list()->entries()) {
      if (event.event == kEventTracer && event.code == kTracerAttached) seen = true;
    }
  }
  guard.stop();
  write_all(result_fd, sdk.event_list()->events_json());
  ::close(result_fd);
  ::_exit(seen ? 0 : 3);
}

TEST(RealTracer, AttachedTracerIsReportedInTheEventList) {
  int ready[2];
  int result[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(result), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0) << std::strerror(errno);
  if (child == 0) {
    ::close(ready[0]);
    ::close(result[0]);
    run_traced_child(ready[1], result[1]);
  }
  ::close(ready[1]);
  ::close(result[1]);

  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  if (::ptrace(PTRACE_SEIZE, child, nullptr, nullptr) != 0) {
    const int error = errno;
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ::close(result[0]);
    GTEST_SKIP() << "ptrace is not permitted here: " << std::strerror(error);
  }

  std::string json;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(result[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    json.append(buffer, size_t(n));
  }
  ::close(result[0]);

  // A seized tracee stops only for signals; pass them on until it exits.
  int status = 0;
  while (::waitpid(child, &status, 0) == child && WIFSTOPPED(status)) {
    const int signal = WSTOPSIG(status) == SIGTRAP ? 0 : WSTOPSIG(status);
    ::ptrace(PTRACE_CONT, child, nullptr, reinterpret_cast<void*>(intptr_t(signal)));
  }
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << json;
  const std::string expected =
      "\"code\": 1, \"event\": 701, \"msg\": \"tracer attached: pid=" + std::to_string(::getpid()) +
      " comm=";
  EXPECT_NE(json.find(expected), std::string::npos) << json;
}

}  // namespace
}  // namespace risk
