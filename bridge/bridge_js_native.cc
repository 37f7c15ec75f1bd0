#include "bridge/bridge_js_native.h"

#include <semaphore.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <utility>
#include <vector>

#include "base/log.h"

namespace risk {

namespace {

// A blocking call in progress: lives on the waiting thread's stack. The
// script thread stores the task's status and posts `done`; after that post
// the record may be gone.
struct TsfnWork {
  explicit TsfnWork(const ScriptTask& t) : task(t) { sem_init(&done, 0, 0); }
  ~TsfnWork() { sem_destroy(&done); }
  TsfnWork(const TsfnWork&) = delete;
  TsfnWork& operator=(const TsfnWork&) = delete;

  const ScriptTask& task;  // the waiter keeps it alive until done is posted
  napi_status status = napi_generic_failure;
  sem_t done;
};

// One js_call_api_promise_blocking. Shared by the waiter, the task and the
// promise callbacks, so that a callback that comes too late (after the waiter
// has given up) finds the record and leaves the waiter's handlers alone.
// Every field but `done` is touched on the script thread only; the waiter
// reads final_status after `done` has been posted.
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
  napi_env env = nullptr;
  std::string name;
  bool live = true;      // the waiter still listens for a settlement
  bool called = false;   // the ApiCaller called its ApiCall
  bool settled = false;  // a handler has run
  napi_status api_status = napi_ok;
  napi_status final_status = napi_ok;  // returned by the waiter after `done`
  sem_t done;                          // posted once; the waiter may return
};

// Copies of a call's handlers for the two promise callbacks; destroyed by
// whichever of them runs.
struct PromiseHandlers {
  ResultHandler on_result;
  ErrorHandler on_error;
};

}  // namespace

// The script thread's identity and its means of reaching the bridge object.
// One is current at a time; init_bridge replaces it. Contexts are never freed:
// a native thread may still hold one after its thread-safe function is gone,
// and then finds it closed.
struct BridgeContext {
  pid_t script_tid = 0;
  napi_env env = nullptr;
  napi_ref bridge_ref = nullptr;  // strong; deleted when the context closes
  napi_threadsafe_function tsfn = nullptr;
  bool closed = false;  // guarded by bridge_mutex(); tsfn is gone once set
  int pending = 0;      // guarded by bridge_mutex(): calls in flight + holds
  bool loop_ref = false;  // script thread only: tsfn keeps the loop alive
};

namespace {

// Guards the current context pointer, each context's `closed` and `pending`,
// and the set of calls awaiting a promise. Never destroyed: native threads
// may use it while the process exits.
std::mutex& bridge_mutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

BridgeContext* g_context = nullptr;  // guarded by bridge_mutex()

// Calls whose script function answered with a promise that has not settled
// yet; woken when their environment shuts down. Guarded by bridge_mutex().
std::set<std::shared_ptr<CallState>>& awaiting_calls() {
  static auto* calls = new std::set<std::shared_ptr<CallState>>;
  return *calls;
}

void wait_for(sem_t* sem) {
  while (sem_wait(sem) != 0 && errno == EINTR) {
  }
}

// Clears a script exception left by a failed N-API step, so that none
// reaches the engine from the library. Returns true when there was one.
bool clear_exception(napi_env env) {
  bool pending = false;
  if (napi_is_exception_pending(env, &pending) != napi_ok || !pending) return false;
  napi_value ignored = nullptr;
  napi_get_and_clear_last_exception(env, &ignored);
  return true;
}

// Runs `fn` at a boundary that nothing may cross by exception (engine
// callbacks, the script thread's task loop).
template <typename Fn>
void guarded(const char* what, Fn&& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    log_message("%s failed: %s", what, e.what());
  } catch (...) {
    log_message("%s failed", what);
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
void update_loop_ref(napi_env env, BridgeContext* ctx) {
  bool want;
  {
    std::lock_guard<std::mutex> lock(bridge_mutex());
    if (ctx->closed) return;
    want = ctx->pending > 0;
  }
  if (want == ctx->loop_ref) return;
  napi_status status = want ? napi_ref_threadsafe_function(env, ctx->tsfn)
                            : napi_unref_threadsafe_function(env, ctx->tsfn);
  if (status == napi_ok) {
    ctx->loop_ref = want;
  } else {
    log_message("fail to %s threadsafe function => %d", want ? "ref" : "unref", status);
  }
}

// Asks the script thread to recompute the loop reference (a queue item
// without work). REQUIRES: bridge_mutex() held, ctx not closed, the caller
// holds a use of ctx->tsfn.
void queue_loop_update_locked(BridgeContext* ctx) {
  napi_status status = napi_call_threadsafe_function(ctx->tsfn, nullptr, napi_tsfn_nonblocking);
  if (status != napi_ok) log_message("fail to queue loop update => %d", status);
}

// Ends one use of ctx taken by a blocking call or a hold.
void end_use(BridgeContext* ctx) {
  std::lock_guard<std::mutex> lock(bridge_mutex());
  --ctx->pending;
  // A closed context's thread-safe function no longer exists.
  if (ctx->closed) return;
  if (ctx->pending == 0) queue_loop_update_locked(ctx);
  napi_release_threadsafe_function(ctx->tsfn, napi_tsfn_release);
}

// The thread-safe function's call-js callback, on the script thread. `data`
// is a TsfnWork, or null for a loop update. During shutdown env is null: the
// work cannot run, and its waiter is woken with napi_closing.
void dispatch(napi_env env, napi_value /*js_callback*/, void* context, void* data) {
  auto* ctx = static_cast<BridgeContext*>(context);
  auto* work = static_cast<TsfnWork*>(data);
  if (env == nullptr) {
    if (work != nullptr) {
      work->status = napi_closing;
      sem_post(&work->done);
    }
    return;
  }
  update_loop_ref(env, ctx);
  if (work == nullptr) return;

  napi_handle_scope scope = nullptr;
  bool scoped = napi_open_handle_scope(env, &scope) == napi_ok;
  napi_value bridge = nullptr;
  napi_status status = napi_get_reference_value(env, ctx->bridge_ref, &bridge);
  if (status == napi_ok) status = run_task(env, bridge, work->task);
  if (scoped) napi_close_handle_scope(env, scope);
  work->status = status;
  sem_post(&work->done);  // `work` may be gone from here on
}

// The thread-safe function's finaliser, on the script thread: after a
// replaced context's last call, or when the environment shuts down. Marks
// the context closed, drops its bridge reference and, on shutdown, wakes the
// calls still awaiting a promise of that environment.
void finalize_context(napi_env env, void* data, void* /*hint*/) {
  auto* ctx = static_cast<BridgeContext*>(data);
  std::vector<std::shared_ptr<CallState>> orphans;
  {
    std::lock_guard<std::mutex> lock(bridge_mutex());
    ctx->closed = true;
    // The environment lives on when a newer context of it is current.
    bool env_alive = g_context != nullptr && g_context != ctx && !g_context->closed &&
                     g_context->env == ctx->env;
    if (!env_alive) {
      auto& calls = awaiting_calls();
      for (auto it = calls.begin(); it != calls.end();) {
        if ((*it)->env == ctx->env) {
          orphans.push_back(*it);
          it = calls.erase(it);
        } else {
          ++it;
        }
      }
    }
  }
  if (env != nullptr && ctx->bridge_ref != nullptr) {
    napi_delete_reference(env, ctx->bridge_ref);
    ctx->bridge_ref = nullptr;
  }
  for (auto& call : orphans) {
    call->live = false;
    call->final_status = napi_closing;
    sem_post(&call->done);
  }
}

// Settles a call with a value or a rejection code; runs on the script thread.
void settle(const std::shared_ptr<CallState>& state, napi_env env, napi_value value,
            int64_t code, bool rejected) {
  if (!state->live) return;
  state->live = false;
  state->settled = true;
  {
    std::lock_guard<std::mutex> lock(bridge_mutex());
    awaiting_calls().erase(state);
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
napi_status run_api_call(napi_env env, napi_value bridge, const ApiCaller& caller,
                         const std::shared_ptr<CallState>& state) {
  state->env = env;
  ApiCall api_call = [&](const char* name, size_t argc, napi_value* argv) -> napi_status {
    state->called = true;
    state->name = name != nullptr ? name : "";
    ResultHandler on_result = [state](napi_env e, napi_value v) { settle(state, e, v, 0, false); };
    ErrorHandler on_error = [state](napi_env e, int64_t c) { settle(state, e, nullptr, c, true); };
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
    log_message("promise answer of %s is not awaited on the script thread", state->name.c_str());
    status = napi_would_deadlock;
    awaiting = false;
  }
  if (awaiting) {
    std::lock_guard<std::mutex> lock(bridge_mutex());
    awaiting_calls().insert(state);
    return status;
  }
  // No settlement will be delivered: release the waiter now.
  state->live = false;
  state->final_status = status;
  sem_post(&state->done);
  return status;
}

// Promise callbacks: the record comes as the function's data.
PromiseHandlers* promise_callback_args(napi_env env, napi_callback_info info, napi_value* arg) {
  size_t argc = 1;
  napi_value argv[1] = {nullptr};
  void* data = nullptr;
  if (napi_get_cb_info(env, info, &argc, argv, nullptr, &data) != napi_ok) {
    log_message("get post cb info fail");
  }
  *arg = argv[0];
  return static_cast<PromiseHandlers*>(data);
}

napi_value on_promise_fulfilled(napi_env env, napi_callback_info info) {
  napi_value value = nullptr;
  PromiseHandlers* handlers = promise_callback_args(env, info, &value);
  if (handlers == nullptr) return nullptr;
  if (value == nullptr) napi_get_undefined(env, &value);
  guarded("result handler", [&] { handlers->on_result(env, value); });
  delete handlers;
  // An exception left here would reject the chained promise and run the
  // rejection callback on the deleted record.
  if (clear_exception(env)) log_message("drop pending script exception");
  return nullptr;
}

napi_value on_promise_rejected(napi_env env, napi_callback_info info) {
  napi_value reason = nullptr;
  PromiseHandlers* handlers = promise_callback_args(env, info, &reason);
  if (handlers == nullptr) return nullptr;
  int64_t code = 0;
  napi_valuetype type = napi_undefined;
  if (reason != nullptr && napi_typeof(env, reason, &type) == napi_ok && type != napi_undefined) {
    get_int64_property(env, reason, "code", &code);  // code stays 0 on failure
  }
  guarded("error handler", [&] { handlers->on_error(env, code); });
  delete handlers;
  if (clear_exception(env)) log_message("drop pending script exception");
  return nullptr;
}

napi_status make_text(napi_env env, const std::string& text, napi_value* out) {
  return napi_create_string_utf8(env, text.data(), text.size(), out);
}

napi_status make_bytes(napi_env env, const std::string& bytes, napi_value* out) {
  void* data = nullptr;
  napi_status status = napi_create_arraybuffer(env, bytes.size(), &data, out);
  if (status == napi_ok && !bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  return status;
}

// Low 32 bits of a 64-bit code, as the signed status of a PostResponse.
int32_t low32(int64_t value) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(value)));
}

}  // namespace

// ---------------------------------------------------------------------------
// Bridge context and blocking calls.

napi_status init_bridge(napi_env env, napi_value bridge) {
  auto* ctx = new (std::nothrow) BridgeContext;
  if (ctx == nullptr) {
    log_message("fail to create bridge context");
    return napi_generic_failure;
  }
  ctx->script_tid = gettid();
  ctx->env = env;
  napi_status status = napi_create_reference(env, bridge, 1, &ctx->bridge_ref);
  if (status != napi_ok) {
    log_message("fail to create bridge reference => %d", status);
    delete ctx;
    return status;
  }
  napi_value resource_name = nullptr;
  status = napi_create_string_utf8(env, "n2j", NAPI_AUTO_LENGTH, &resource_name);
  if (status == napi_ok) {
    status = napi_create_threadsafe_function(
        env, host::threadsafe_function_value(env, bridge), nullptr, resource_name, 0, 1, ctx,
        finalize_context, ctx, dispatch, &ctx->tsfn);
  }
  if (status != napi_ok) {
    log_message("fail to create threadsafe function => %d", status);
    napi_delete_reference(env, ctx->bridge_ref);
    delete ctx;
    return status;
  }
  // Only calls in flight keep the event loop alive, never the bridge alone.
  status = napi_unref_threadsafe_function(env, ctx->tsfn);
  ctx->loop_ref = status != napi_ok;
  if (status != napi_ok) log_message("fail to unref threadsafe function => %d", status);

  std::lock_guard<std::mutex> lock(bridge_mutex());
  BridgeContext* previous = g_context;
  g_context = ctx;
  // Give up the earlier function's own use: it finalises (and drops its
  // reference) once the calls still using it are done.
  if (previous != nullptr && !previous->closed) {
    napi_release_threadsafe_function(previous->tsfn, napi_tsfn_release);
  }
  return napi_ok;
}

napi_status run_in_main_thread_blocking(const ScriptTask& task) {
  BridgeContext* ctx = nullptr;
  TsfnWork work(task);
  {
    std::lock_guard<std::mutex> lock(bridge_mutex());
    ctx = g_context;
    if (ctx == nullptr) {
      log_message("bridge is not set up");
      return napi_invalid_arg;
    }
    if (ctx->closed) return napi_closing;
    if (gettid() != ctx->script_tid) {
      napi_status status = napi_acquire_threadsafe_function(ctx->tsfn);
      if (status != napi_ok) return status;
      ++ctx->pending;
      status = napi_call_threadsafe_function(ctx->tsfn, &work, napi_tsfn_blocking);
      if (status != napi_ok) {
        --ctx->pending;
        napi_release_threadsafe_function(ctx->tsfn, napi_tsfn_release);
        return status;
      }
    }
  }
  if (gettid() == ctx->script_tid) {
    log_message("calling run_in_main_thread_blocking in main thread, this is not usuall");
    napi_value bridge = nullptr;
    napi_status status = napi_get_reference_value(ctx->env, ctx->bridge_ref, &bridge);
    if (status != napi_ok) return status;
    return run_task(ctx->env, bridge, task);
  }
  wait_for(&work.done);
  end_use(ctx);
  return work.status;
}

napi_status js_call_api_promise_blocking(const ApiCaller& caller, const ResultHandler& on_result,
                                         const ErrorHandler& on_error) {
  std::shared_ptr<CallState> state;
  ScriptTask task;
  try {
    state = std::make_shared<CallState>(&on_result, &on_error, gettid());
    task = [&caller, state](napi_env env, napi_value bridge) {
      return run_api_call(env, bridge, caller, state);
    };
  } catch (const std::bad_alloc&) {
    log_message("out of memory for a script call");
    return napi_generic_failure;
  }
  napi_status status = run_in_main_thread_blocking(task);
  if (status != napi_ok) return status;
  wait_for(&state->done);
  return state->final_status;
}

napi_status js_resolve_deferred(napi_deferred deferred, const std::string& text) {
  return run_in_main_thread_blocking([deferred, &text](napi_env env, napi_value) {
    napi_value value = nullptr;
    napi_status status = make_text(env, text, &value);
    // The promise is always resolved: with the empty string if need be.
    if (status != napi_ok) status = napi_create_string_utf8(env, "", 0, &value);
    if (status != napi_ok) return status;
    return napi_resolve_deferred(env, deferred, value);
  });
}

BridgeContext* acquire_script_hold() {
  BridgeContext* ctx = nullptr;
  {
    std::lock_guard<std::mutex> lock(bridge_mutex());
    ctx = g_context;
    if (ctx == nullptr || ctx->closed) return nullptr;
    if (napi_acquire_threadsafe_function(ctx->tsfn) != napi_ok) return nullptr;
    ++ctx->pending;
    if (gettid() != ctx->script_tid) queue_loop_update_locked(ctx);
  }
  if (gettid() == ctx->script_tid) update_loop_ref(ctx->env, ctx);
  return ctx;
}

void release_script_hold(BridgeContext* hold) {
  if (hold != nullptr) end_use(hold);
}

// ---------------------------------------------------------------------------
// Script-thread helpers.

napi_status call_js_method(napi_env env, napi_value object, const char* name, size_t argc,
                           const napi_value* argv, napi_value* result) {
  napi_value function = nullptr;
  napi_status status = napi_get_named_property(env, object, name, &function);
  if (status != napi_ok) {
    log_message("fail to get function %s", name);
    clear_exception(env);
    return status;
  }
  return napi_call_function(env, object, function, argc, argv, result);
}

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

  auto* handlers = new (std::nothrow) PromiseHandlers;
  if (handlers == nullptr) return napi_generic_failure;
  try {
    handlers->on_result = on_result;
    handlers->on_error = on_error;
  } catch (const std::bad_alloc&) {
    delete handlers;
    return napi_generic_failure;
  }
  napi_value fulfilled = nullptr;
  napi_value rejected = nullptr;
  status = napi_create_function(env, "", NAPI_AUTO_LENGTH, on_promise_fulfilled, handlers,
                                &fulfilled);
  if (status == napi_ok) {
    status = napi_create_function(env, "", NAPI_AUTO_LENGTH, on_promise_rejected, handlers,
                                  &rejected);
  }
  if (status != napi_ok) {
    delete handlers;
    return status;
  }
  // From here on the callbacks own the record. If chaining fails half way a
  // callback may still run, so the record is left to it.
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

napi_status get_int64_property(napi_env env, napi_value object, const char* name, int64_t* out) {
  if (object == nullptr) return napi_object_expected;
  napi_value value = nullptr;
  napi_status status = napi_get_named_property(env, object, name, &value);
  if (status != napi_ok) {
    log_message("get function object fail %s", name);
    clear_exception(env);
    return status;
  }
  int64_t number = 0;
  status = napi_get_value_int64(env, value, &number);
  if (status != napi_ok) {
    log_message("get js int64 number fail");
    return status;
  }
  *out = number;
  return napi_ok;
}

napi_status get_string_property(napi_env env, napi_value object, const char* name,
                                std::string* out) {
  if (object == nullptr) return napi_object_expected;
  napi_value value = nullptr;
  napi_status status = napi_get_named_property(env, object, name, &value);
  if (status != napi_ok) {
    log_message("get function object fail %s", name);
    clear_exception(env);
    return status;
  }
  *out = js_to_string(env, value);
  return napi_ok;
}

std::string js_to_string(napi_env env, napi_value value) {
  size_t length = 0;
  if (value == nullptr || napi_get_value_string_utf8(env, value, nullptr, 0, &length) != napi_ok) {
    return std::string();
  }
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[length + 1]);
  if (!buffer) return std::string();
  size_t copied = 0;
  if (napi_get_value_string_utf8(env, value, buffer.get(), length + 1, &copied) != napi_ok) {
    return std::string();
  }
  return std::string(buffer.get(), copied);
}

void read_post_response(napi_env env, napi_value response, int64_t* code, std::string* body) {
  if (get_int64_property(env, response, "responseCode", code) != napi_ok) {
    log_message("get js responseCode object fail");
  }
  int64_t type = 0;
  if (get_int64_property(env, response, "resultType", &type) != napi_ok) {
    log_message("get js resultType object fail");
    type = 0;
  }
  napi_value result = nullptr;
  if (response == nullptr || napi_get_named_property(env, response, "result", &result) != napi_ok) {
    log_message("get js result object fail");
    clear_exception(env);
    return;
  }
  switch (type) {
    case 0:
      *body = js_to_string(env, result);
      break;
    case 2: {
      void* data = nullptr;
      size_t length = 0;
      if (napi_get_arraybuffer_info(env, result, &data, &length) == napi_ok && length > 0) {
        body->assign(static_cast<const char*>(data), length);
      }
      break;
    }
    case 1:
      log_message("js response return an object, do nothing");
      break;
    default:
      log_message("unknown response type");
      break;
  }
}

std::string get_os_version(napi_env env, napi_value bridge) {
  napi_value result = nullptr;
  if (call_js_method(env, bridge, "getOsVersion", 0, nullptr, &result) != napi_ok) {
    clear_exception(env);
    return std::string();
  }
  return js_to_string(env, result);
}

// ---------------------------------------------------------------------------
// Script services.

namespace {

// One argument of a script service call: text, bytes (an ArrayBuffer) or an
// unsigned number. Text and bytes are borrowed for the call.
struct ServiceArg {
  enum class Kind { kText, kBytes, kNumber };
  Kind kind;
  const std::string* data;
  uint32_t number;
};
ServiceArg text_arg(const std::string& text) { return {ServiceArg::Kind::kText, &text, 0}; }
ServiceArg bytes_arg(const std::string& bytes) { return {ServiceArg::Kind::kBytes, &bytes, 0}; }
ServiceArg number_arg(uint32_t number) { return {ServiceArg::Kind::kNumber, nullptr, number}; }

// Calls the bridge function method with args and waits for its answer. Gives
// up (without calling) when an argument cannot be created: a call with a
// missing argument value would bring the engine down.
napi_status call_service(const char* method, std::initializer_list<ServiceArg> args,
                         const ResultHandler& on_result, const ErrorHandler& on_error) {
  constexpr size_t kMaxArgs = 4;
  if (args.size() > kMaxArgs) return napi_invalid_arg;
  return js_call_api_promise_blocking(
      [method, &args](napi_env env, const ApiCall& call) {
        napi_value argv[kMaxArgs] = {};
        size_t argc = 0;
        for (const ServiceArg& arg : args) {
          napi_status status;
          switch (arg.kind) {
            case ServiceArg::Kind::kText:
              status = make_text(env, *arg.data, &argv[argc]);
              break;
            case ServiceArg::Kind::kBytes:
              status = make_bytes(env, *arg.data, &argv[argc]);
              break;
            default:
              status = napi_create_uint32(env, arg.number, &argv[argc]);
              break;
          }
          if (status != napi_ok) return status;
          ++argc;
        }
        return call(method, argc, argc > 0 ? argv : nullptr);
      },
      on_result, on_error);
}

// Handlers of the s_ helpers: keep the answer as text; log a rejection as
// "<what> fail <code>".
ResultHandler keep_text(std::string* out) {
  return [out](napi_env env, napi_value value) { *out = js_to_string(env, value); };
}
ResultHandler ignore_result() {
  return [](napi_env, napi_value) {};
}
ErrorHandler log_failure(const char* what) {
  return [what](napi_env, int64_t code) {
    log_message("%s fail %ld", what, static_cast<long>(code));
  };
}

std::string text_or_empty(const char* text) { return text != nullptr ? text : ""; }

}  // namespace

napi_status js_getDeviceInfo(const char* name, const ResultHandler& on_result,
                             const ErrorHandler& on_error) {
  const std::string text = text_or_empty(name);
  return call_service("getDeviceInfo", {text_arg(text)}, on_result, on_error);
}

napi_status js_getAppSinature(const ResultHandler& on_result, const ErrorHandler& on_error) {
  return call_service("getAppSignature", {}, on_result, on_error);
}

napi_status js_getOaid(const ResultHandler& on_result, const ErrorHandler& on_error) {
  return call_service("getOaid", {}, on_result, on_error);
}

napi_status js_getTimeInfo(const ResultHandler& on_result, const ErrorHandler& on_error) {
  return call_service("getTimeInfo", {}, on_result, on_error);
}

napi_status js_OnSituationClientEvent(const std::string& key, unsigned type, unsigned code,
                                      const std::string& text, const ResultHandler& on_result,
                                      const ErrorHandler& on_error) {
  return call_service("onSituationClientEvent",
                      {text_arg(key), number_arg(type), number_arg(code), text_arg(text)},
                      on_result, on_error);
}

napi_status js_OnSituationServerEvent(const std::string& key, const std::string& text,
                                      const ResultHandler& on_result,
                                      const ErrorHandler& on_error) {
  return call_service("onSituationServerEvent", {text_arg(key), text_arg(text)}, on_result,
                      on_error);
}

napi_status js_post(const std::string& url, const std::string& body,
                    const ResultHandler& on_result, const ErrorHandler& on_error) {
  return call_service("post", {text_arg(url), bytes_arg(body)}, on_result, on_error);
}

napi_status js_pref_put(const char* name, const std::string& value,
                        const ResultHandler& on_result, const ErrorHandler& on_error) {
  const std::string key = text_or_empty(name);
  return call_service("prefPut", {text_arg(key), text_arg(value)}, on_result, on_error);
}

napi_status js_pref_get(const char* name, const ResultHandler& on_result,
                        const ErrorHandler& on_error) {
  const std::string key = text_or_empty(name);
  return call_service("prefGet", {text_arg(key)}, on_result, on_error);
}

std::string s_getDeviceInfo(const char* name) {
  std::string result;
  js_getDeviceInfo(name, keep_text(&result), log_failure("get"));
  return result;
}

std::string s_getAppSignature() {
  std::string result;
  js_getAppSinature(
      [&result](napi_env env, napi_value value) {
        result = js_to_string(env, value);
        log_message("%s ", result.c_str());
      },
      log_failure("get"));
  return result;
}

std::string s_getOaid() {
  std::string result;
  js_getOaid(keep_text(&result), log_failure("getOaid"));
  return result;
}

std::string s_getTimeInfo() {
  std::string result;
  js_getTimeInfo(keep_text(&result), log_failure("get"));
  return result;
}

void s_OnSituationClientEvent(const std::string& key, unsigned type, unsigned code,
                              const std::string& text) {
  js_OnSituationClientEvent(key, type, code, text, ignore_result(), log_failure("get"));
}

void s_OnSituationServerEvent(const std::string& key, const std::string& text) {
  js_OnSituationServerEvent(key, text, ignore_result(), log_failure("get"));
}

PostResponse s_post(const std::string& url, const std::string& body) {
  int64_t code = 0;
  std::string text;
  napi_status status = js_post(
      url, body,
      [&](napi_env env, napi_value response) { read_post_response(env, response, &code, &text); },
      [&code](napi_env, int64_t error) {
        // A rejection is never reported as an HTTP status: its code goes
        // negative (INT64_MIN already is, and has no positive twin).
        code = error < 0 ? error : -error;
        log_message("http post error, err code %d", low32(code));
      });
  PostResponse response;
  if (status != napi_ok) {
    response.status_code = kPostCallFailed;
    return response;
  }
  response.status_code = low32(code);
  response.body = std::move(text);
  return response;
}

void s_pref_put(const char* name, const std::string& value) {
  js_pref_put(name, value, ignore_result(), log_failure("set"));
}

std::string s_pref_get(const char* name) {
  std::string stored;
  js_pref_get(name, keep_text(&stored), log_failure("get"));
  return stored;
}

}  // namespace risk
