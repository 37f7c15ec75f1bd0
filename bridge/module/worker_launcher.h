// The worker launcher: the one long-lived thread that creates the worker
// threads of the promise natives, in the order of their calls, and the
// workers that wait for the next call once theirs is done.
//
// Creating a thread costs the calling thread far more than queueing a
// request (a hundred calls at once would stall the event loop for tens of
// milliseconds), so the script thread does not create the workers itself:
// it queues a WorkerStart and returns its promise. The launcher thread,
// started on the first try_launch, takes the starts in their order and
// creates one detached worker thread for each; the worker runs the start's
// operation, returns its pass and resolves the start with the result.
//
// A worker whose start is done (its promise resolved, what its resolve call
// held given back) waits for another for up to the launcher's idle linger,
// at most kMaxIdleWorkers of them at a time; a start made meanwhile is
// handed straight to a waiting worker, which saves the thread's creation
// and the launcher's wake-up on the call's path. Every start still has a
// worker of its own while it runs: starts never wait for one another.
// prepare() has one such worker waiting before the first call.
//
// Every start handed to the launcher is resolved exactly once: with its
// operation's result, or with "" when the operation threw or its worker
// could not be created (then from the launcher thread, logged "<name>:
// thread constructor failed: <reason>"). Nothing leaves the launcher or a
// worker as a C++ exception. The launcher holds nothing of a start once its
// worker runs; idle, it and its waiting workers keep nothing alive.
//
// The launcher sees no script engine: a start's resolve call knows how to
// reach its promise (the module's reaches the script thread through
// bridge/script_thread.h).
#ifndef RISK_BRIDGE_MODULE_WORKER_LAUNCHER_H_
#define RISK_BRIDGE_MODULE_WORKER_LAUNCHER_H_

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "base/thread_gate.h"

namespace risk {

constexpr char kThreadFailedMessage[] = "thread constructor failed";

// Workers that wait for another start once theirs is done: how many at
// most, and for how long each.
constexpr int kMaxIdleWorkers = 4;
constexpr std::chrono::milliseconds kIdleWorkerLinger{2000};

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
  // come from start_worker and wait idle_linger for another start (none: a
  // thread for every start). Tests only: it must never be destroyed once
  // try_launch or prepare has started its thread.
  WorkerLauncher(ThreadStarter start_launcher, ThreadStarter start_worker,
                 std::chrono::milliseconds idle_linger);

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

  // Work a prepared worker does before it waits: what the first call would
  // otherwise do for the first time on its path. It must not throw.
  using WarmUp = void (*)();

  // Starts the launcher thread and has it create one worker that runs
  // warm_up (when not null) and then waits for the first start, unless one
  // waits already or is on its way. Returns false when the launcher thread
  // cannot be started now. A worker that cannot be created is only logged.
  bool prepare(WarmUp warm_up = nullptr) EXCLUDES(mutex_);

  // Workers waiting for a start that none has been handed yet. Tests.
  int idle_workers() EXCLUDES(mutex_);

 private:
  // Starts the launcher thread unless it runs; false when it cannot be.
  bool ensure_running() REQUIRES(mutex_);
  void run() EXCLUDES(mutex_);
  void launch_next() EXCLUDES(mutex_);
  // The body of a worker thread: start (none for a prepared worker), then
  // every start handed to it while it waits.
  void serve(std::unique_ptr<WorkerStart> start) EXCLUDES(mutex_);
  // Waits for a start handed to this worker; null when none came within the
  // linger, or when enough workers wait already. prepared: the worker is the
  // one prepare() asked for, and now comes to wait.
  std::unique_ptr<WorkerStart> next_handed(bool prepared) EXCLUDES(mutex_);

  const ThreadStarter start_launcher_;
  const ThreadStarter start_worker_;
  const std::chrono::milliseconds idle_linger_;
  Mutex mutex_;
  CondVar ready_{&mutex_};         // the launcher thread: starts_ has one
  CondVar handed_ready_{&mutex_};  // waiting workers: handed_ has one
  bool running_ GUARDED_BY(mutex_) = false;
  // Starts for new workers; null: a worker without a start (prepare).
  std::deque<std::unique_ptr<WorkerStart>> starts_ GUARDED_BY(mutex_);
  // Starts handed to waiting workers, each claimed from idle_ when queued:
  // the waiting workers are idle_ + handed_.size().
  std::deque<std::unique_ptr<WorkerStart>> handed_ GUARDED_BY(mutex_);
  int idle_ GUARDED_BY(mutex_) = 0;
  bool preparing_ GUARDED_BY(mutex_) = false;    // a prepared worker is on its way
  WarmUp warm_up_ GUARDED_BY(mutex_) = nullptr;  // for the prepared worker
};

}  // namespace risk

#endif  // RISK_BRIDGE_MODULE_WORKER_LAUNCHER_H_
