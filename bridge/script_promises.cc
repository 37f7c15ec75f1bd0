// Calls answered with promises: the blocking call that waits for a bridge
// function's answer (also when it comes as a promise), the records of the
// promise callbacks by id, the settling of a promise native's deferred, and
// call_js_api on the script thread.
#include <semaphore.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/guarded.h"
#include "base/log.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "bridge/napi_helpers.h"
#include "bridge/script_thread.h"
#include "bridge/script_thread_internal.h"

namespace risk {

namespace {

// Promise callback records by id.
std::map<uintptr_t, std::unique_ptr<PromiseHandlers>>& promise_records() REQUIRES(bridge_mutex()) {
  static auto* records = new std::map<uintptr_t, std::unique_ptr<PromiseHandlers>>;
  return *records;
}
uintptr_t g_next_record_id GUARDED_BY(bridge_mutex()) = 1;

std::atomic<int64_t> g_long_wait_ms{kLongScriptWaitMs};

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

}  // namespace

// Moves the records of env's promises out of the table into out.
void take_promise_records_locked(napi_env env, std::vector<std::unique_ptr<PromiseHandlers>>& out) {
  auto& all = promise_records();
  for (auto it = all.begin(); it != all.end();) {
    if (it->second->env == env) {
      out.push_back(std::move(it->second));
      it = all.erase(it);
    } else {
      ++it;
    }
  }
}

// ---------------------------------------------------------------------------
// Blocking calls answered by the script.

napi_status js_call_api_promise_blocking(BridgeContext* ctx, const ApiCaller& caller,
                                         const ResultHandler& on_result,
                                         const ErrorHandler& on_error) {
  std::shared_ptr<CallState> state;
  ScriptTask task;
  if (!guarded_as("out of memory for a script call", [&] {
        state = std::make_shared<CallState>(&on_result, &on_error, gettid());
        task = [ctx, &caller, state](napi_env env, napi_value bridge) {
          return run_api_call(ctx, env, bridge, caller, state);
        };
      })) {
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
    guarded_as("out of memory for a script call",
               [&] { status = run_in_main_thread_blocking(ctx, make_calls); });
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
  // Copies of the handlers: only memory can fail them, answered as a status.
  if (!guarded_with([](const char*) {},
                    [&] {
                      handlers->env = env;
                      handlers->on_result = on_result;
                      handlers->on_error = on_error;
                    })) {
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
