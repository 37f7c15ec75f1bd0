#include "bridge/module/worker_launcher.h"

#include <exception>
#include <thread>
#include <utility>

#include "base/guarded.h"
#include "base/log.h"

namespace risk {

namespace {

void start_detached_thread(std::function<void()> body) { std::thread(std::move(body)).detach(); }

// Resolves start with text; a resolve call that throws is logged.
void resolve_worker_promise(WorkerStart& start, const std::string& text) {
  guarded("resolve", start.name, [&] { start.resolve(text); });
}

// Runs start on this worker: its operation, its pass given back, its
// promise resolved; start goes (with what its resolve call held) on return.
void run_start(std::unique_ptr<WorkerStart> start) {
  std::string result;
  guarded("worker", start->name, [&] { result = start->operation(); });
  start->pass.release();
  resolve_worker_promise(*start, result);
}

// A thread's first creation in a process maps and faults in a new stack;
// the C library keeps the stacks of threads that ended for the next ones.
// One short thread made and joined here, ahead of the first call, leaves
// such a stack for the first of the threads the call starts.
void warm_thread_start() {
  guarded_as("worker launcher: no thread to warm", [] { std::thread([] {}).join(); });
}

}  // namespace

WorkerLauncher& WorkerLauncher::instance() {
  static WorkerLauncher* launcher =
      new WorkerLauncher(start_detached_thread, start_detached_thread, kIdleWorkerLinger);
  return *launcher;
}

WorkerLauncher::WorkerLauncher(ThreadStarter start_launcher, ThreadStarter start_worker,
                               std::chrono::milliseconds idle_linger)
    : start_launcher_(std::move(start_launcher)),
      start_worker_(std::move(start_worker)),
      idle_linger_(idle_linger) {}

bool WorkerLauncher::ensure_running() {
  if (running_) return true;
  running_ = guarded_with(
      [](const char* reason) {
        log_message("worker launcher: %s: %s", kThreadFailedMessage, reason);
      },
      [this] { start_launcher_([this] { run(); }); });
  return running_;
}

bool WorkerLauncher::try_launch(std::unique_ptr<WorkerStart>& start) {
  bool to_waiting_worker = false;
  {
    MutexLock lock(&mutex_);
    if (!ensure_running()) return false;
    try {
      // Unchanged when push_back throws.
      if (idle_ > 0) {
        handed_.push_back(std::move(start));
        --idle_;
        to_waiting_worker = true;
      } else {
        starts_.push_back(std::move(start));
      }
    } catch (const std::exception& e) {
      log_message("worker launcher cannot queue: %s", e.what());
      return false;
    }
  }
  (to_waiting_worker ? handed_ready_ : ready_).notify_one();
  return true;
}

bool WorkerLauncher::prepare(WarmUp warm_up) {
  {
    MutexLock lock(&mutex_);
    if (!ensure_running()) return false;
    if (warm_up != nullptr) warm_up_ = warm_up;
    if (idle_ > 0 || preparing_ || idle_linger_.count() <= 0) return true;
    try {
      starts_.push_back(nullptr);
    } catch (const std::exception& e) {
      log_message("worker launcher cannot queue: %s", e.what());
      return true;  // the first call creates its worker as usual
    }
    preparing_ = true;
  }
  ready_.notify_one();
  return true;
}

int WorkerLauncher::idle_workers() {
  MutexLock lock(&mutex_);
  return idle_;
}

void WorkerLauncher::start_worker_thread(std::unique_ptr<WorkerStart>& start) {
  WorkerStart* owned = start.get();
  start_worker_([this, owned] { serve(std::unique_ptr<WorkerStart>(owned)); });
  start.release();
}

void WorkerLauncher::serve(std::unique_ptr<WorkerStart> start) {
  if (!start) {
    warm_thread_start();
    WarmUp warm_up = nullptr;
    {
      MutexLock lock(&mutex_);
      warm_up = warm_up_;
    }
    if (warm_up != nullptr) guarded("prepared worker", [warm_up] { warm_up(); });
    start = next_handed(/*prepared=*/true);
  }
  while (start) {
    run_start(std::move(start));
    start = next_handed(/*prepared=*/false);
  }
}

std::unique_ptr<WorkerStart> WorkerLauncher::next_handed(bool prepared) {
  MutexLock lock(&mutex_);
  if (prepared) preparing_ = false;  // the next prepare() may ask again
  if (idle_linger_.count() <= 0 || idle_ >= kMaxIdleWorkers) return nullptr;
  ++idle_;
  const auto deadline = std::chrono::steady_clock::now() + idle_linger_;
  while (handed_.empty()) {
    if (!handed_ready_.wait_until(deadline) && std::chrono::steady_clock::now() >= deadline &&
        handed_.empty()) {
      --idle_;  // unclaimed: no start is on its way to this worker
      return nullptr;
    }
  }
  std::unique_ptr<WorkerStart> start = std::move(handed_.front());
  handed_.pop_front();
  return start;
}

void WorkerLauncher::run() {
  for (;;) guarded("worker launcher", [this] { launch_next(); });
}

// Waits for the next request and creates its worker. A worker that cannot
// be created settles its promise with "" from here.
void WorkerLauncher::launch_next() {
  std::unique_ptr<WorkerStart> start;
  {
    MutexLock lock(&mutex_);
    while (starts_.empty()) ready_.wait();
    start = std::move(starts_.front());
    starts_.pop_front();
  }
  if (guarded_with(
          [&start](const char* reason) {
            log_message("%s: %s: %s", start ? start->name : "prepared worker", kThreadFailedMessage,
                        reason);
          },
          [&] { start_worker_thread(start); })) {
    return;
  }
  if (!start) {
    MutexLock lock(&mutex_);
    preparing_ = false;
    return;
  }
  start->pass.release();
  // The script thread serves the resolution while this thread waits; it
  // never waits for this thread. What the resolve call holds goes with
  // start, after it.
  resolve_worker_promise(*start, "");
}

}  // namespace risk
