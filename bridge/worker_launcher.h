// The worker launcher: the one long-lived thread that creates the worker
// threads of the promise natives, in the order of their calls.
//
// Creating a thread costs the calling thread far more than queueing a
// request (a hundred calls at once would stall the event loop for tens of
// milliseconds), so the script thread does not create the workers itself:
// it queues a WorkerStart and returns its promise. The launcher thread,
// started on the first try_launch, takes the starts in their order and
// creates one detached worker thread for each; the worker runs the start's
// operation, returns its pass and resolves the start with the result.
//
// Every start handed to the launcher is resolved exactly once: with its
// operation's result, or with "" when the operation threw or its worker
// could not be created (then from the launcher thread, logged "<name>:
// thread constructor failed: <reason>"). Nothing leaves the launcher or a
// worker as a C++ exception. The launcher holds nothing of a start once its
// worker runs; idle, it keeps nothing alive.
//
// The launcher sees no script engine: a start's resolve call knows how to
// reach its promise (the module's reaches the script thread through
// bridge/script_thread.h).
#ifndef RISK_BRIDGE_WORKER_LAUNCHER_H_
#define RISK_BRIDGE_WORKER_LAUNCHER_H_

#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "base/thread_gate.h"

namespace risk {

constexpr char kThreadFailedMessage[] = "thread constructor failed";

// The core operation of a promise native, run on its worker thread.
using WorkerOperation = std::function<std::string()>;

// Everything one worker owns: made on the script thread, moved to the
// launcher, then into the worker thread.
struct WorkerStart {
  const char* name = nullptr;  // the native's name, a literal
  ThreadGate::Pass pass;       // returned before the promise is resolved
  WorkerOperation operation;
  // Resolves the native's promise with text; blocks until it has been.
  // Called once, on the worker or the launcher thread, after the pass has
  // been returned. What it holds (the module's: a script-thread hold) goes
  // with the start, after it has been resolved.
  std::function<void(const std::string& text)> resolve;
};

// The one thread that creates the workers. Never destroyed (the launcher
// thread may be waiting on its members when the process exits). Any thread
// may queue.
class WorkerLauncher {
 public:
  // Starts body on a new detached thread, or throws (std::system_error)
  // when no thread can be had; body is then not run.
  using ThreadStarter = std::function<void(std::function<void()> body)>;

  // The launcher of the process, on std::thread; created on first use.
  static WorkerLauncher& instance();

  // A launcher whose own thread comes from start_launcher and whose workers
  // come from start_worker. Tests only: it must never be destroyed once
  // try_launch has started its thread.
  WorkerLauncher(ThreadStarter start_launcher, ThreadStarter start_worker);

  WorkerLauncher(const WorkerLauncher&) = delete;
  WorkerLauncher& operator=(const WorkerLauncher&) = delete;

  // Queues start (moved from) and returns true; returns false and leaves
  // start untouched when the launcher thread is not running and cannot be
  // started now (a later call tries again). Blocks only for the queue's
  // lock, and for the launcher thread's creation on the first call.
  bool try_launch(std::unique_ptr<WorkerStart>& start) EXCLUDES(mutex_);

  // Creates the detached worker thread of start, which then owns it (start
  // is null after). Throws when the thread cannot be created; start is then
  // still the caller's, so that the promise is settled while what its
  // resolve call holds still keeps the loop alive. For a caller that starts
  // a worker itself when try_launch failed, as the launcher would.
  void start_worker_thread(std::unique_ptr<WorkerStart>& start);

 private:
  void run() EXCLUDES(mutex_);
  void launch_next() EXCLUDES(mutex_);

  const ThreadStarter start_launcher_;
  const ThreadStarter start_worker_;
  Mutex mutex_;
  CondVar ready_{&mutex_};
  bool running_ GUARDED_BY(mutex_) = false;
  std::deque<std::unique_ptr<WorkerStart>> starts_ GUARDED_BY(mutex_);
};

}  // namespace risk

#endif  // RISK_BRIDGE_WORKER_LAUNCHER_H_
