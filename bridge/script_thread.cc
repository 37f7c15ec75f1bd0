// Environments, channels and holds: the context of each script environment,
// the thread-safe function through which native threads reach its script
// thread, the blocking call, and the holds that keep that thread's loop
// alive. The dispatch on the script thread is in bridge/script_dispatch.cc,
// the calls answered with promises in bridge/script_promises.cc.
#include "bridge/script_thread.h"

#include <semaphore.h>
#include <unistd.h>

#include <cerrno>
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
#include "bridge/script_thread_internal.h"

namespace risk {

// Guards the contexts' and channels' shared fields, the env table and the
// promise records. Never destroyed: native threads may use it while the
// process exits.
Mutex& bridge_mutex() {
  static Mutex* mutex = new Mutex;
  return *mutex;
}

void wait_for(sem_t* sem) {
  while (sem_wait(sem) != 0 && errno == EINTR) {
  }
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

namespace {

// env -> context where the host has no instance data. An entry goes when
// its environment ends (an env address may be reused by a later
// environment).
std::map<napi_env, BridgeContext*>& env_table() REQUIRES(bridge_mutex()) {
  static auto* table = new std::map<napi_env, BridgeContext*>;
  return *table;
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
    take_promise_records_locked(ctx->env, records);
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
    status = napi_create_threadsafe_function(env, host::threadsafe_function_value(env, bridge),
                                             nullptr, resource_name, 0, 1, ch, finalize_channel, ch,
                                             dispatch, &ch->tsfn);
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

}  // namespace risk
