// The parts that the calls from native threads into the script thread
// share across their three files: the bridge lock, the records of a
// blocking call and of a promise answer, and the channel and context of an
// environment. bridge/script_thread.cc holds the environments, channels and
// holds; bridge/script_dispatch.cc the dispatch on the script thread with
// its budget and later turns; bridge/script_promises.cc the calls answered
// with promises and their records. Included by those three files only.
#ifndef RISK_BRIDGE_SCRIPT_THREAD_INTERNAL_H_
#define RISK_BRIDGE_SCRIPT_THREAD_INTERNAL_H_

#include <semaphore.h>
#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "bridge/host.h"
#include "bridge/script_thread.h"

namespace risk {

// Guards the contexts' and channels' shared fields, the env table and the
// promise records. Never destroyed: native threads may use it while the
// process exits.
Mutex& bridge_mutex();

// A blocking call in progress: lives on the waiting thread's stack. The
// script thread stores the task's status and posts `done`; after that post
// the record may be gone.
struct TsfnWork {
  explicit TsfnWork(const ScriptTask& t) : task(t) { sem_init(&done, 0, 0); }
  ~TsfnWork() { sem_destroy(&done); }
  TsfnWork(const TsfnWork&) = delete;
  TsfnWork& operator=(const TsfnWork&) = delete;

  const ScriptTask& task;            // the waiter keeps it alive until done is posted
  ScriptChannel* channel = nullptr;  // the channel it was queued on
  napi_status status = napi_generic_failure;
  sem_t done;
};

// One js_call_api_promise_blocking. Shared by the waiter, the task and the
// promise callbacks, so that a callback that comes too late (after the waiter
// has given up) finds the record and leaves the waiter's handlers alone.
// Every field but `done` and `name` is touched on the script thread only;
// the waiter reads final_status after `done` has been posted.
struct CallState {
  CallState(const ResultHandler* r, const ErrorHandler* e, pid_t tid)
      : on_result(r), on_error(e), waiter_tid(tid) {
    sem_init(&done, 0, 0);
  }
  ~CallState() { sem_destroy(&done); }
  CallState(const CallState&) = delete;
  CallState& operator=(const CallState&) = delete;

  const ResultHandler* on_result;  // valid while `live`
  const ErrorHandler* on_error;    // valid while `live`
  const pid_t waiter_tid;
  std::string name GUARDED_BY(bridge_mutex());  // the waiter logs it
  bool live = true;                             // the waiter still listens for a settlement
  bool called = false;                          // the ApiCaller called its ApiCall
  bool settled = false;                         // a handler has run
  napi_status api_status = napi_ok;
  napi_status final_status = napi_ok;  // returned by the waiter after `done`
  sem_t done;                          // posted once; the waiter may return
};

// Copies of a call's handlers for the two promise callbacks of one answer.
// Both callbacks carry the record's id, never its address: the first one to
// run takes the record out of promise_records() and frees it, a later one
// (a "then" that calls back twice, or fulfils and then rejects) finds
// nothing and is ignored.
struct PromiseHandlers {
  napi_env env;
  ResultHandler on_result;
  ErrorHandler on_error;
};

// One init_bridge: the thread-safe function and the bridge reference. A
// channel is replaced by the next init_bridge of its environment, and closed
// when its function is finalised (after its last call, or when the
// environment shuts down). Never freed: a native thread may still hold one
// after its function is gone, and then finds it closed.
struct ScriptChannel {
  BridgeContext* owner = nullptr;
  napi_ref bridge_ref = nullptr;  // strong; deleted when the channel closes
  napi_threadsafe_function tsfn = nullptr;
  bool closed GUARDED_BY(bridge_mutex()) = false;  // tsfn is gone once set
  int pending GUARDED_BY(bridge_mutex()) = 0;      // calls in flight + holds
  bool loop_ref = false;                           // script thread only: tsfn keeps the loop alive
};

// One script environment's identity and its current means of reaching its
// bridge object. Made by the first init_bridge of the environment, found
// again through the host's instance data (or the fallback table), ended when
// the environment shuts down; never freed (SDKs keep pointers to it).
struct BridgeContext {
  pid_t script_tid = 0;
  napi_env env = nullptr;  // compared and used only while the env lives
  ScriptChannel* channel GUARDED_BY(bridge_mutex()) = nullptr;  // the current one
  bool ended GUARDED_BY(bridge_mutex()) = false;
  // Calls whose script function answered with a promise that has not
  // settled yet; woken when the environment shuts down.
  std::set<std::shared_ptr<CallState>> awaiting GUARDED_BY(bridge_mutex());
  // Script thread only: the calls of any of its channels left for a later
  // turn of the loop (see host::kDispatchBudgetUs), that turn, and the
  // stretch of back-to-back dispatch the current turn has run.
  std::deque<TsfnWork*> later;
  host::LaterTurn later_turn;
  uint64_t budget_turn = 0;  // the turn whose budget is being spent
  int64_t busy_since_us = 0;
  int64_t last_end_us = 0;
};

// --- bridge/script_thread.cc ---

// Waits on sem, again after an interrupted wait.
void wait_for(sem_t* sem);
// Runs a task on the script thread. A script exception that the task leaves
// behind is cleared here (one that was pending before is not ours to clear).
napi_status run_task(napi_env env, napi_value bridge, const ScriptTask& task);
// Runs on the script thread: lets the thread-safe function keep the event
// loop alive exactly while calls are in flight or holds are taken.
void update_loop_ref(napi_env env, ScriptChannel* ch);

// --- bridge/script_dispatch.cc ---

// Wakes the waiters of the calls left for later with status: those queued
// on `only`, or all of them when it is null. Script thread.
void drop_later(BridgeContext* ctx, const ScriptChannel* only, napi_status status);
// The later turn of ctx's loop (host::LaterTurn's run). Script thread.
void run_later(napi_env env, void* data);
// The thread-safe function's call-js callback. Script thread.
void dispatch(napi_env env, napi_value js_callback, void* context, void* data);

// --- bridge/script_promises.cc ---

// Moves the records of env's promises out of the table into out.
void take_promise_records_locked(napi_env env, std::vector<std::unique_ptr<PromiseHandlers>>& out)
    REQUIRES(bridge_mutex());

}  // namespace risk

#endif  // RISK_BRIDGE_SCRIPT_THREAD_INTERNAL_H_
