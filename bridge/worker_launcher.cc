#include "bridge/worker_launcher.h"

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

// The body of a worker thread.
void run_worker(std::unique_ptr<WorkerStart> start) {
  std::string result;
  guarded("worker", start->name, [&] { result = start->operation(); });
  start->pass.release();
  resolve_worker_promise(*start, result);
}

}  // namespace

WorkerLauncher& WorkerLauncher::instance() {
  static WorkerLauncher* launcher = new WorkerLauncher(start_detached_thread, start_detached_thread);
  return *launcher;
}

WorkerLauncher::WorkerLauncher(ThreadStarter start_launcher, ThreadStarter start_worker)
    : start_launcher_(std::move(start_launcher)), start_worker_(std::move(start_worker)) {}

bool WorkerLauncher::try_launch(std::unique_ptr<WorkerStart>& start) {
  {
    MutexLock lock(&mutex_);
    if (!running_) {
      try {
        start_launcher_([this] { run(); });
      } catch (const std::exception& e) {
        log_message("worker launcher: %s: %s", kThreadFailedMessage, e.what());
        return false;
      }
      running_ = true;
    }
    try {
      starts_.push_back(std::move(start));  // unchanged when it throws
    } catch (const std::exception& e) {
      log_message("worker launcher cannot queue: %s", e.what());
      return false;
    }
  }
  ready_.notify_one();
  return true;
}

void WorkerLauncher::start_worker_thread(std::unique_ptr<WorkerStart>& start) {
  WorkerStart* owned = start.get();
  start_worker_([owned] { run_worker(std::unique_ptr<WorkerStart>(owned)); });
  start.release();
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
  try {
    start_worker_thread(start);
    return;
  } catch (const std::exception& e) {
    log_message("%s: %s: %s", start->name, kThreadFailedMessage, e.what());
  }
  start->pass.release();
  // The script thread serves the resolution while this thread waits; it
  // never waits for this thread. What the resolve call holds goes with
  // start, after it.
  resolve_worker_promise(*start, "");
}

}  // namespace risk
