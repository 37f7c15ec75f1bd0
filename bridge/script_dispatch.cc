// The dispatch of queued calls on the script thread: they run back to back
// for at most host::kDispatchBudgetUs per turn of its loop, and the rest
// waits, in order, for a later turn (host::LaterTurn).
#include <semaphore.h>
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <deque>

#include "base/guarded.h"
#include "base/log.h"
#include "bridge/script_thread_internal.h"

namespace risk {

namespace {

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

}  // namespace

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
    // No room to wait (no memory for the queue): the call runs now.
    if (!guarded_with([](const char*) {}, [&] { ctx->later.push_back(work); })) {
      run_work(env, work);
      return;
    }
    ask_later_turn(env, ctx);
    return;
  }
  run_work(env, work);
}

}  // namespace risk
