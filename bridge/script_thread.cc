#include "bridge/script_thread.h"

#include <semaphore.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <utility>
#include <vector>

#include "base/guarded.h"
#include "base/log.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "bridge/napi_helpers.h"

namespace risk {

namespace {

// Guards the contexts' and channels' shared fields, the env table and the
// promise records. Never destroyed: native threads may use it while the
// process exits.
Mutex& bridge_mutex() {
  static Mutex* mutex = new Mutex;
  return *mutex;
}

// A blocking call in progress: lives on the waiting thread's stack. The
// script thread stores the task's status and posts `done`; after that post
// the record may be gone.
struct TsfnWork {
  explicit TsfnWork(const ScriptTask& t) : task(t) { sem_init(&done, 0, 0); }
  ~TsfnWork() { sem_destroy(&done); }
  TsfnWork(const TsfnWork&) = delete;
  TsfnWork& operator=(const TsfnWork&) = delete;

  const ScriptTask& task;  // the waiter keeps it alive until done is posted
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
  bool live = true;      // the waiter still listens for a settlement
  bool called = false;   // the ApiCaller called its ApiCall
  bool settled = false;  // a handler has run
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

}  // namespace

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
  bool loop_ref = false;  // script thread only: tsfn keeps the loop alive
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

namespace {

// env -> context where the host has no instance data. An entry goes when
// its environment ends (an env address may be reused by a later
// environment).
std::map<napi_env, BridgeContext*>& env_table() REQUIRES(bridge_mutex()) {
  static auto* table = new std::map<napi_env, BridgeContext*>;
  return *table;
}

// Promise callback records by id.
std::map<uintptr_t, std::unique_ptr<PromiseHandlers>>& promise_records()
    REQUIRES(bridge_mutex()) {
  static auto* records = new std::map<uintptr_t, std::unique_ptr<PromiseHandlers>>;
  return *records;
}
uintptr_t g_next_record_id GUARDED_BY(bridge_mutex()) = 1;

std::atomic<int64_t> g_long_wait_ms{kLongScriptWaitMs};

void wait_for(sem_t* sem) {
  while (sem_wait(sem) != 0 && errno == EINTR) {
  }
}

// Waits for a call's answer; logs once when it takes kLongScriptWaitMs.
void wait_for_answer(CallState& state) {
  const int64_t limit_ms = g_long_wait_ms.load();
  timespec deadline{};
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += static_cast<time_t>(limit_ms / 1000);
  deadline.tv_nsec += static_cast<long>(limit_ms % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  for (;;) {
    if (sem_timedwait(&state.done, &deadline) == 0) return;
    if (errno == EINTR) continue;
    break;  // ETIMEDOUT (or a clock we cannot use): name the function once
  }
  std::string name;
  {
    MutexLock lock(&bridge_mutex());
    name = state.name;
  }
  log_message("script function %s has not answered for %lld ms; its caller keeps waiting",
              name.c_str(), static_cast<long long>(limit_ms));
  wait_for(&state.done);
}

// Runs a task on the script thread. A script exception that the task leaves
// behind is cleared here (one that was pending before is not ours to clear).
napi_status run_task(napi_env env, napi_value bridge, const ScriptTask& task) {
  bool was_pending = false;
  napi_is_exception_pending(env, &was_pending);
  napi_status status = napi_generic_failure;
  guarded("script task", [&] { status = task(env, bridge); });
  if (!was_pending && clear_exception(env)) log_message("drop pending script exception");
  return status;
}

// Runs on the script thread: lets the thread-safe function keep the event
// loop alive exactly while calls are in flight or holds are taken.
void update_loop_ref(napi_env env, ScriptChannel* ch) {
  bool want;
  {
    MutexLock lock(&bridge_mutex());
    if (ch->closed) return;
    want = ch->pending > 0;
  }
  if (want == ch->loop_ref) return;
  napi_status status = want ? napi_ref_threadsafe_function(env, ch->tsfn)
                            : napi_unref_threadsafe_function(env, ch->tsfn);
  if (status == napi_ok) {
    ch->loop_ref = want;
  } else {
    log_message("fail to %s threadsafe function => %d", want ? "ref" : "unref", status);
  }
}

// Asks the script thread to recompute the loop reference (a queue item
// without work). REQUIRES: ch not closed, the caller holds a use of
// ch->tsfn.
void queue_loop_update_locked(ScriptChannel* ch) REQUIRES(bridge_mutex()) {
  napi_status status = napi_call_threadsafe_function(ch->tsfn, nullptr, napi_tsfn_nonblocking);
  if (status != napi_ok) log_message("fail to queue loop update => %d", status);
}

// Ends one use of ch taken by a blocking call or a hold.
void end_use(ScriptChannel* ch) {
  MutexLock lock(&bridge_mutex());
  --ch->pending;
  // A closed channel's thread-safe function no longer exists.
  if (ch->closed) return;
  if (ch->pending == 0) queue_loop_update_locked(ch);
  napi_release_threadsafe_function(ch->tsfn, napi_tsfn_release);
}

int64_t monotonic_us() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// Where the host cannot number the turns of its loop: dispatches closer
// together than this belong to one turn (the host drains its queue back to
// back). A guess that a busy machine defeats: a waiter woken by the last
// call may take the processor for longer than this.
constexpr int64_t kSameTurnGapUs = 200;

// True when the current turn of the loop has run dispatch for its whole
// budget. Script thread.
bool over_budget(BridgeContext* ctx) {
  const int64_t now = monotonic_us();
  const uint64_t turn = ctx->later_turn.turn_number();
  const bool new_turn =
      turn != 0 ? turn != ctx->budget_turn : now - ctx->last_end_us > kSameTurnGapUs;
  if (new_turn) {
    ctx->budget_turn = turn;
    ctx->busy_since_us = now;
  }
  return now - ctx->busy_since_us >= host::kDispatchBudgetUs;
}

// Runs one blocking call's task and wakes its waiter. Script thread.
void run_work(napi_env env, TsfnWork* work) {
  ScriptChannel* ch = work->channel;
  napi_handle_scope scope = nullptr;
  bool scoped = napi_open_handle_scope(env, &scope) == napi_ok;
  napi_value bridge = nullptr;
  napi_status status = napi_get_reference_value(env, ch->bridge_ref, &bridge);
  if (status == napi_ok) status = run_task(env, bridge, work->task);
  if (scoped) napi_close_handle_scope(env, scope);
  ch->owner->last_end_us = monotonic_us();
  work->status = status;
  sem_post(&work->done);  // `work` may be gone from here on
}

// Wakes the waiters of the calls left for later with status: those queued
// on `only`, or all of them when it is null. Script thread.
void drop_later(BridgeContext* ctx, const ScriptChannel* only, napi_status status) {
  // remove_if applies the predicate exactly once to each call.
  auto kept = std::remove_if(ctx->later.begin(), ctx->later.end(), [&](TsfnWork* work) {
    if (only != nullptr && work->channel != only) return false;
    work->status = status;
    sem_post(&work->done);
    return true;
  });
  ctx->later.erase(kept, ctx->later.end());
}

// Asks for a later turn that runs ctx's calls left for later; when the host
// has none, they run now. Script thread.
void ask_later_turn(napi_env env, BridgeContext* ctx) {
  if (ctx->later_turn.ask()) return;
  while (!ctx->later.empty()) {
    TsfnWork* work = ctx->later.front();
    ctx->later.pop_front();
    run_work(env, work);
  }
}

// The later turn (the run of host::LaterTurn): runs the calls left for it,
// in their order, for what is left of this turn's budget (dispatch earlier
// in the same turn may have spent it all), and asks for another turn for
// the rest. The next turn's budget is whole, so the queue always moves.
void run_later(napi_env env, void* data) {
  auto* ctx = static_cast<BridgeContext*>(data);
  bool ended;
  {
    MutexLock lock(&bridge_mutex());
    ended = ctx->ended;
  }
  if (ended) {
    drop_later(ctx, nullptr, napi_closing);
    return;
  }
  while (!ctx->later.empty()) {
    if (over_budget(ctx)) {
      ask_later_turn(env, ctx);
      return;
    }
    TsfnWork* work = ctx->later.front();
    ctx->later.pop_front();
    run_work(env, work);
  }
}

// The thread-safe function's call-js callback, on the script thread. `data`
// is a TsfnWork, or null for a loop update. During shutdown env is null: the
// work cannot run, and its waiter is woken with napi_closing. A call that
// finds the turn's budget spent, or calls already left for later, waits for
// a later turn behind them.
void dispatch(napi_env env, napi_value /*js_callback*/, void* context, void* data) {
  auto* ch = static_cast<ScriptChannel*>(context);
  BridgeContext* ctx = ch->owner;
  auto* work = static_cast<TsfnWork*>(data);
  if (env == nullptr) {
    drop_later(ctx, nullptr, napi_closing);
    if (work != nullptr) {
      work->status = napi_closing;
      sem_post(&work->done);
    }
    return;
  }
  update_loop_ref(env, ch);
  if (work == nullptr) return;
  if (!ctx->later.empty() || over_budget(ctx)) {
    try {
      ctx->later.push_back(work);
    } catch (const std::bad_alloc&) {
      run_work(env, work);  // no room to wait: it runs now
      return;
    }
    ask_later_turn(env, ctx);
    return;
  }
  run_work(env, work);
}

// The environment of ctx shuts down (its script thread, during teardown;
// reached from the host's teardown hook, from the finaliser of its current
// channel, or both). From here on its calls fail with napi_closing; the
// calls awaiting a promise there are woken with it, and its promise records
// go. Idempotent.
void end_environment(BridgeContext* ctx) {
  std::set<std::shared_ptr<CallState>> orphans;
  std::vector<std::unique_ptr<PromiseHandlers>> records;
  {
    MutexLock lock(&bridge_mutex());
    if (ctx->ended) return;
    ctx->ended = true;
    auto entry = env_table().find(ctx->env);
    if (entry != env_table().end() && entry->second == ctx) env_table().erase(entry);
    orphans.swap(ctx->awaiting);
    auto& all = promise_records();
    for (auto it = all.begin(); it != all.end();) {
      if (it->second->env == ctx->env) {
        records.push_back(std::move(it->second));
        it = all.erase(it);
      } else {
        ++it;
      }
    }
  }
  // The records' handlers are destroyed outside the lock.
  records.clear();
  drop_later(ctx, nullptr, napi_closing);
  for (const auto& call : orphans) {
    call->live = false;
    call->final_status = napi_closing;
    sem_post(&call->done);
  }
}

void on_env_teardown(void* arg) {
  guarded("environment teardown", [arg] { end_environment(static_cast<BridgeContext*>(arg)); });
}

// The thread-safe function's finaliser, on the script thread: after a
// replaced channel's last call, or when the environment shuts down (the
// only way the current channel's function, whose own use is never given
// up, is finalised). Marks the channel closed and drops its bridge
// reference; for the current channel, ends the environment.
void finalize_channel(napi_env env, void* data, void* /*hint*/) {
  auto* ch = static_cast<ScriptChannel*>(data);
  drop_later(ch->owner, ch, napi_closing);
  bool env_ends = false;
  {
    MutexLock lock(&bridge_mutex());
    ch->closed = true;
    env_ends = ch->owner->channel == ch;
  }
  if (env != nullptr && ch->bridge_ref != nullptr) {
    napi_delete_reference(env, ch->bridge_ref);
    ch->bridge_ref = nullptr;
  }
  if (env_ends) guarded("environment teardown", [ch] { end_environment(ch->owner); });
}

// Settles a call with a value or a rejection code; runs on the script thread.
void settle(const std::shared_ptr<CallState>& state, BridgeContext* ctx, napi_env env,
            napi_value value, int64_t code, bool rejected) {
  if (!state->live) return;
  state->live = false;
  state->settled = true;
  {
    MutexLock lock(&bridge_mutex());
    ctx->awaiting.erase(state);
  }
  if (rejected) {
    guarded("error handler", [&] { (*state->on_error)(env, code); });
  } else {
    guarded("result handler", [&] { (*state->on_result)(env, value); });
  }
  state->final_status = napi_ok;
  sem_post(&state->done);
}

// The task of js_call_api_promise_blocking, on the script thread.
napi_status run_api_call(BridgeContext* ctx, napi_env env, napi_value bridge,
                         const ApiCaller& caller, const std::shared_ptr<CallState>& state) {
  ApiCall api_call = [&](const char* name, size_t argc, napi_value* argv) -> napi_status {
    state->called = true;
    {
      MutexLock lock(&bridge_mutex());
      state->name = name != nullptr ? name : "";
    }
    ResultHandler on_result = [state, ctx](napi_env e, napi_value v) {
      settle(state, ctx, e, v, 0, false);
    };
    ErrorHandler on_error = [state, ctx](napi_env e, int64_t c) {
      settle(state, ctx, e, nullptr, c, true);
    };
    state->api_status = call_js_api(env, bridge, name, argc, argv, on_result, on_error);
    return state->api_status;
  };
  napi_status status = caller(env, api_call);
  if (!state->called) log_message("api_call is not called");
  if (state->settled) return status;  // a plain answer has been handled

  bool awaiting = status == napi_ok && state->called && state->api_status == napi_ok;
  if (awaiting && gettid() == state->waiter_tid) {
    // The promise's callbacks could only run after this thread returns to
    // the engine, so waiting here would never end.
    std::string name;
    {
      MutexLock lock(&bridge_mutex());
      name = state->name;
    }
    log_message("promise answer of %s is not awaited on the script thread", name.c_str());
    status = napi_would_deadlock;
    awaiting = false;
  }
  if (awaiting) {
    MutexLock lock(&bridge_mutex());
    if (!ctx->ended) {
      ctx->awaiting.insert(state);
      return status;
    }
    status = napi_closing;
  }
  // No settlement will be delivered: release the waiter now.
  state->live = false;
  state->final_status = status;
  sem_post(&state->done);
  return status;
}

// Files handlers under a new id; 0 when out of memory.
uintptr_t add_promise_record(std::unique_ptr<PromiseHandlers> record) {
  try {
    MutexLock lock(&bridge_mutex());
    uintptr_t id = g_next_record_id++;
    if (id == 0) id = g_next_record_id++;  // 0 stands for none
    promise_records().emplace(id, std::move(record));
    return id;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

// Takes the record of id out of the table: null when it was taken before.
std::unique_ptr<PromiseHandlers> take_promise_record(uintptr_t id) {
  MutexLock lock(&bridge_mutex());
  auto it = promise_records().find(id);
  if (it == promise_records().end()) return nullptr;
  std::unique_ptr<PromiseHandlers> record = std::move(it->second);
  promise_records().erase(it);
  return record;
}

// Promise callbacks: the record's id comes as the function's data. Null
// when the answer has been settled before.
std::unique_ptr<PromiseHandlers> promise_callback_args(napi_env env, napi_callback_info info,
                                                       napi_value* arg) {
  size_t argc = 1;
  napi_value argv[1] = {nullptr};
  void* data = nullptr;
  if (napi_get_cb_info(env, info, &argc, argv, nullptr, &data) != napi_ok) {
    log_message("get post cb info fail");
  }
  *arg = argv[0];
  std::unique_ptr<PromiseHandlers> record = take_promise_record(reinterpret_cast<uintptr_t>(data));
  if (!record) log_message("promise answer settled again, ignored");
  return record;
}

napi_value on_promise_fulfilled(napi_env env, napi_callback_info info) {
  napi_value value = nullptr;
  std::unique_ptr<PromiseHandlers> handlers = promise_callback_args(env, info, &value);
  if (!handlers) return nullptr;
  if (value == nullptr) napi_get_undefined(env, &value);
  guarded("result handler", [&] { handlers->on_result(env, value); });
  // An exception left here would reject the chained promise; the rejection
  // callback would then find the record gone, but the exception is ours.
  if (clear_exception(env)) log_message("drop pending script exception");
  return nullptr;
}

napi_value on_promise_rejected(napi_env env, napi_callback_info info) {
  napi_value reason = nullptr;
  std::unique_ptr<PromiseHandlers> handlers = promise_callback_args(env, info, &reason);
  if (!handlers) return nullptr;
  int64_t code = 0;
  napi_valuetype type = napi_undefined;
  if (reason != nullptr && napi_typeof(env, reason, &type) == napi_ok && type != napi_undefined) {
    get_int64_property(env, reason, "code", &code);  // code stays 0 on failure
  }
  guarded("error handler", [&] { handlers->on_error(env, code); });
  if (clear_exception(env)) log_message("drop pending script exception");
  return nullptr;
}

// The context of env, made (and registered with the host, or in the
// fallback table) on first use; null when out of memory.
BridgeContext* context_for_setup(napi_env env) {
  if (BridgeContext* ctx = bridge_context(env)) return ctx;
  auto* ctx = new (std::nothrow) BridgeContext;
  if (ctx == nullptr) return nullptr;
  ctx->script_tid = gettid();
  ctx->env = env;
  if (!host::set_env_data(env, ctx)) {
    try {
      MutexLock lock(&bridge_mutex());
      env_table()[env] = ctx;
    } catch (const std::bad_alloc&) {
      delete ctx;
      return nullptr;
    }
  }
  // Without the host's hook the current channel's finaliser notices the end.
  host::add_env_teardown_hook(env, on_env_teardown, ctx);
  if (!ctx->later_turn.open(env, run_later, ctx)) {
    log_message("no later turn of the event loop: queued calls run back to back");
  }
  return ctx;
}

}  // namespace

// ---------------------------------------------------------------------------
// Bridge contexts and blocking calls.

BridgeContext* bridge_context(napi_env env) {
  if (void* data = host::env_data(env)) {
    auto* ctx = static_cast<BridgeContext*>(data);
    MutexLock lock(&bridge_mutex());
    return ctx->ended ? nullptr : ctx;
  }
  MutexLock lock(&bridge_mutex());
  auto entry = env_table().find(env);
  return entry != env_table().end() ? entry->second : nullptr;
}

napi_status init_bridge(napi_env env, napi_value bridge) {
  napi_valuetype type = napi_undefined;
  if (bridge == nullptr || napi_typeof(env, bridge, &type) != napi_ok ||
      (type != napi_object && type != napi_function)) {
    log_message("bridge is not an object");
    return napi_object_expected;
  }
  BridgeContext* ctx = context_for_setup(env);
  auto* ch = ctx != nullptr ? new (std::nothrow) ScriptChannel : nullptr;
  if (ch == nullptr) {
    log_message("fail to create bridge context");
    return napi_generic_failure;
  }
  ch->owner = ctx;
  napi_status status = napi_create_reference(env, bridge, 1, &ch->bridge_ref);
  if (status != napi_ok) {
    log_message("fail to create bridge reference => %d", status);
    delete ch;
    return status;
  }
  napi_value resource_name = nullptr;
  status = napi_create_string_utf8(env, "n2j", NAPI_AUTO_LENGTH, &resource_name);
  if (status == napi_ok) {
    status = napi_create_threadsafe_function(
        env, host::threadsafe_function_value(env, bridge), nullptr, resource_name, 0, 1, ch,
        finalize_channel, ch, dispatch, &ch->tsfn);
  }
  if (status != napi_ok) {
    log_message("fail to create threadsafe function => %d", status);
    napi_delete_reference(env, ch->bridge_ref);
    delete ch;
    return status;
  }
  // Only calls in flight keep the event loop alive, never the bridge alone.
  status = napi_unref_threadsafe_function(env, ch->tsfn);
  ch->loop_ref = status != napi_ok;
  if (status != napi_ok) log_message("fail to unref threadsafe function => %d", status);

  MutexLock lock(&bridge_mutex());
  ScriptChannel* previous = ctx->channel;
  ctx->channel = ch;
  // Give up the earlier function's own use: it finalises (and drops its
  // reference) once the calls still using it are done.
  if (previous != nullptr && !previous->closed) {
    napi_release_threadsafe_function(previous->tsfn, napi_tsfn_release);
  }
  return napi_ok;
}

napi_status run_in_main_thread_blocking(BridgeContext* ctx, const ScriptTask& task) {
  if (ctx == nullptr) {
    log_message("bridge is not set up");
    return napi_invalid_arg;
  }
  ScriptChannel* ch = nullptr;
  TsfnWork work(task);
  const bool on_script_thread = gettid() == ctx->script_tid;
  {
    MutexLock lock(&bridge_mutex());
    if (ctx->ended) return napi_closing;
    ch = ctx->channel;
    if (ch == nullptr) {
      log_message("bridge is not set up");
      return napi_invalid_arg;
    }
    if (ch->closed) return napi_closing;
    work.channel = ch;
    if (!on_script_thread) {
      napi_status status = napi_acquire_threadsafe_function(ch->tsfn);
      if (status != napi_ok) return status;
      ++ch->pending;
      status = napi_call_threadsafe_function(ch->tsfn, &work, napi_tsfn_blocking);
      if (status != napi_ok) {
        --ch->pending;
        napi_release_threadsafe_function(ch->tsfn, napi_tsfn_release);
        return status;
      }
    }
  }
  if (on_script_thread) {
    log_message("calling run_in_main_thread_blocking in main thread, this is not usuall");
    napi_value bridge = nullptr;
    napi_status status = napi_get_reference_value(ctx->env, ch->bridge_ref, &bridge);
    if (status != napi_ok) return status;
    return run_task(ctx->env, bridge, task);
  }
  wait_for(&work.done);
  end_use(ch);
  return work.status;
}

napi_status js_call_api_promise_blocking(BridgeContext* ctx, const ApiCaller& caller,
                                         const ResultHandler& on_result,
                                         const ErrorHandler& on_error) {
  std::shared_ptr<CallState> state;
  ScriptTask task;
  try {
    state = std::make_shared<CallState>(&on_result, &on_error, gettid());
    task = [ctx, &caller, state](napi_env env, napi_value bridge) {
      return run_api_call(ctx, env, bridge, caller, state);
    };
  } catch (const std::bad_alloc&) {
    log_message("out of memory for a script call");
    return napi_generic_failure;
  }
  napi_status status = run_in_main_thread_blocking(ctx, task);
  if (status != napi_ok) return status;
  wait_for_answer(*state);
  return state->final_status;
}

void js_call_api_sequence_blocking(BridgeContext* ctx, std::vector<ScriptCall>& calls) {
  const pid_t self = gettid();
  if (ctx != nullptr && self == ctx->script_tid) {
    for (ScriptCall& call : calls) {
      call.status = js_call_api_promise_blocking(ctx, call.caller, call.on_result, call.on_error);
    }
    return;
  }
  size_t next = 0;  // the first call not yet answered
  while (next < calls.size()) {
    // The call whose promise answer the task left to settle later.
    std::shared_ptr<CallState> pending;
    // Makes the calls from `next` on while they answer with plain values.
    auto make_calls = [ctx, self, &calls, &next, &pending](napi_env env, napi_value bridge) {
      for (; next < calls.size(); ++next) {
        ScriptCall& call = calls[next];
        auto state = std::make_shared<CallState>(&call.on_result, &call.on_error, self);
        run_api_call(ctx, env, bridge, call.caller, state);
        if (state->live) {
          pending = std::move(state);
          return napi_ok;
        }
        call.status = state->final_status;
      }
      return napi_ok;
    };
    napi_status status = napi_generic_failure;
    try {
      status = run_in_main_thread_blocking(ctx, make_calls);
    } catch (const std::bad_alloc&) {
      log_message("out of memory for a script call");
    }
    if (status != napi_ok) {
      for (; next < calls.size(); ++next) calls[next].status = status;
      return;
    }
    if (pending) {
      wait_for_answer(*pending);
      calls[next].status = pending->final_status;
      ++next;
    }
  }
}

napi_status js_resolve_deferred(BridgeContext* ctx, napi_deferred deferred,
                                const std::string& text) {
  return run_in_main_thread_blocking(ctx, [deferred, &text](napi_env env, napi_value) {
    napi_value value = nullptr;
    napi_status status = make_text(env, text, &value);
    // The promise is always resolved: with the empty string if need be.
    if (status != napi_ok) status = napi_create_string_utf8(env, "", 0, &value);
    if (status != napi_ok) return status;
    return napi_resolve_deferred(env, deferred, value);
  });
}

ScriptHold::ScriptHold(ScriptHold&& other) noexcept : channel_(other.channel_) {
  other.channel_ = nullptr;
}

ScriptHold& ScriptHold::operator=(ScriptHold&& other) noexcept {
  if (this != &other) {
    release();
    channel_ = other.channel_;
    other.channel_ = nullptr;
  }
  return *this;
}

void ScriptHold::release() {
  ScriptChannel* ch = channel_;
  channel_ = nullptr;
  if (ch != nullptr) end_use(ch);
}

ScriptHold acquire_script_hold(BridgeContext* ctx) {
  if (ctx == nullptr) return ScriptHold();
  ScriptChannel* ch = nullptr;
  const bool on_script_thread = gettid() == ctx->script_tid;
  {
    MutexLock lock(&bridge_mutex());
    ch = ctx->channel;
    if (ctx->ended || ch == nullptr || ch->closed) return ScriptHold();
    if (napi_acquire_threadsafe_function(ch->tsfn) != napi_ok) return ScriptHold();
    ++ch->pending;
    if (!on_script_thread) queue_loop_update_locked(ch);
  }
  if (on_script_thread) update_loop_ref(ctx->env, ch);
  return ScriptHold(ch);
}

void set_long_script_wait_for_testing(int64_t ms) { g_long_wait_ms.store(ms > 0 ? ms : 1); }

// ---------------------------------------------------------------------------
// Calls on the script thread.

napi_status call_js_api(napi_env env, napi_value bridge, const char* name, size_t argc,
                        const napi_value* argv, const ResultHandler& on_result,
                        const ErrorHandler& on_error) {
  napi_value result = nullptr;
  napi_status status = call_js_method(env, bridge, name, argc, argv, &result);
  if (status != napi_ok) {
    log_message("fail to call api %s => %d", name, status);
    clear_exception(env);  // a function that threw
    return status;
  }
  bool is_promise = false;
  status = napi_is_promise(env, result, &is_promise);
  if (status != napi_ok) {
    log_message("fail to call napi_is_promise => %d", status);
    return status;
  }
  if (!is_promise) {
    on_result(env, result);
    return napi_ok;
  }

  std::unique_ptr<PromiseHandlers> handlers(new (std::nothrow) PromiseHandlers);
  if (!handlers) return napi_generic_failure;
  try {
    handlers->env = env;
    handlers->on_result = on_result;
    handlers->on_error = on_error;
  } catch (const std::bad_alloc&) {
    return napi_generic_failure;
  }
  const uintptr_t id = add_promise_record(std::move(handlers));
  if (id == 0) return napi_generic_failure;
  void* data = reinterpret_cast<void*>(id);
  napi_value fulfilled = nullptr;
  napi_value rejected = nullptr;
  status = napi_create_function(env, "", NAPI_AUTO_LENGTH, on_promise_fulfilled, data, &fulfilled);
  if (status == napi_ok) {
    status = napi_create_function(env, "", NAPI_AUTO_LENGTH, on_promise_rejected, data, &rejected);
  }
  if (status != napi_ok) {
    take_promise_record(id);
    return status;
  }
  // Once "then" has been called a callback may run at any later time, also
  // when chaining fails half way, so the record is left to the callbacks
  // (and to the environment's end).
  napi_value chained = nullptr;
  status = call_js_method(env, result, "then", 1, &fulfilled, &chained);
  if (status != napi_ok) {
    clear_exception(env);
    return status;
  }
  napi_value ignored = nullptr;
  status = call_js_method(env, chained, "catch", 1, &rejected, &ignored);
  if (status != napi_ok) clear_exception(env);
  return status;
}

}  // namespace risk
