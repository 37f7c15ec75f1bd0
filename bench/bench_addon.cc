// Benchmark-only Node addon: the floor under the library's natives, built on
// the library's own blocking-call mechanism (bridge/bridge_js_native.h). Not
// part of the library.
//
// Natives (called on the script thread):
//   init(bridge) -> napi_status            init_bridge
//   roundTrips(n) -> Promise<Float64Array> one native thread makes n blocking
//                                          calls with a no-op task, one after
//                                          another; each call's time in µs
//   resolveOnThread() -> Promise<string>   a new native thread resolves the
//                                          promise with "" (js_resolve_deferred):
//                                          what every promise native costs
//                                          before its core work
//   prefsOnThread(a, b) -> Promise<string> a new native thread reads the
//                                          preferences a and b through the
//                                          bridge (two blocking prefGet
//                                          calls) and resolves the promise
//                                          with "": the script-thread trips
//                                          of a warm getTokenNative, with
//                                          nothing of the library between
//   resolveViaLauncher() -> Promise<string>
//                                          the same, but the new thread is
//                                          started by a long-lived launcher
//                                          thread instead of the script thread:
//                                          what a native costs the script
//                                          thread when it only queues its job
//   threadCpuUs() -> number                the calling thread's CPU time in µs
//                                          (CLOCK_THREAD_CPUTIME_ID): a task's
//                                          own cost, which other processes on
//                                          a shared machine do not inflate
#include <time.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "bridge/bridge_js_native.h"
#include "bridge/testing/addon.h"

namespace {

using risk::testing::start_thread;

// One thread that starts the jobs' threads, so that the script thread only
// queues. Leaked on purpose: it lives as long as the process.
class Launcher {
 public:
  static Launcher& instance() {
    static Launcher* launcher = new Launcher;
    return *launcher;
  }

  void launch(std::function<void()> job) {
    {
      risk::MutexLock lock(&mutex_);
      jobs_.push_back(std::move(job));
    }
    ready_.notify_one();
  }

 private:
  Launcher() {
    std::thread([this] { run(); }).detach();
  }

  void run() {
    for (;;) {
      std::function<void()> job;
      {
        risk::MutexLock lock(&mutex_);
        while (jobs_.empty()) ready_.wait();
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      try {
        std::thread(std::move(job)).detach();
      } catch (const std::system_error&) {
        // The benchmark's promise then stays pending; the figures show it.
      }
    }
  }

  risk::Mutex mutex_;
  risk::CondVar ready_{&mutex_};
  std::deque<std::function<void()>> jobs_ GUARDED_BY(mutex_);
};

napi_value Init(napi_env env, napi_callback_info info) {
  size_t argc = 1;
  napi_value bridge = nullptr;
  napi_get_cb_info(env, info, &argc, &bridge, nullptr, nullptr);
  napi_value result = nullptr;
  napi_create_int32(env, risk::init_bridge(env, bridge), &result);
  return result;
}

napi_value RoundTrips(napi_env env, napi_callback_info info) {
  size_t argc = 1;
  napi_value arg = nullptr;
  napi_get_cb_info(env, info, &argc, &arg, nullptr, nullptr);
  int64_t n = 0;
  napi_get_value_int64(env, arg, &n);
  if (n < 0) n = 0;
  napi_deferred deferred = nullptr;
  napi_value promise = nullptr;
  if (napi_create_promise(env, &deferred, &promise) != napi_ok) return nullptr;
  const size_t count = static_cast<size_t>(n);
  risk::BridgeContext* bridge = risk::bridge_context(env);
  bool started = start_thread(env, [bridge, deferred, count] {
    auto times = std::make_shared<std::vector<double>>(count);
    const risk::ScriptTask no_op = [](napi_env, napi_value) { return napi_ok; };
    for (size_t i = 0; i < count; ++i) {
      auto t0 = std::chrono::steady_clock::now();
      risk::run_in_main_thread_blocking(bridge, no_op);
      std::chrono::duration<double, std::micro> took = std::chrono::steady_clock::now() - t0;
      (*times)[i] = took.count();
    }
    // The status is dropped on purpose: a closing environment has no one
    // left to read the figures.
    risk::run_in_main_thread_blocking(bridge, [times, deferred](napi_env e, napi_value) {
      napi_value buffer = nullptr;
      void* data = nullptr;
      napi_status s = napi_create_arraybuffer(e, times->size() * sizeof(double), &data, &buffer);
      if (s != napi_ok) return s;
      if (!times->empty()) std::memcpy(data, times->data(), times->size() * sizeof(double));
      napi_value array = nullptr;
      s = napi_create_typedarray(e, napi_float64_array, times->size(), buffer, 0, &array);
      if (s != napi_ok) return s;
      return napi_resolve_deferred(e, deferred, array);
    });
  });
  return started ? promise : nullptr;
}

napi_value ResolveOnThread(napi_env env, napi_callback_info /*info*/) {
  napi_deferred deferred = nullptr;
  napi_value promise = nullptr;
  if (napi_create_promise(env, &deferred, &promise) != napi_ok) return nullptr;
  risk::BridgeContext* bridge = risk::bridge_context(env);
  bool started =
      start_thread(env, [bridge, deferred] { risk::js_resolve_deferred(bridge, deferred, ""); });
  return started ? promise : nullptr;
}

napi_value PrefsOnThread(napi_env env, napi_callback_info info) {
  size_t argc = 2;
  napi_value argv[2] = {nullptr, nullptr};
  napi_get_cb_info(env, info, &argc, argv, nullptr, nullptr);
  std::string names[2];
  for (int i = 0; i < 2; ++i) {
    size_t length = 0;
    if (argv[i] == nullptr ||
        napi_get_value_string_utf8(env, argv[i], nullptr, 0, &length) != napi_ok) {
      napi_throw_type_error(env, nullptr, "prefsOnThread(a, b) takes two strings");
      return nullptr;
    }
    names[i].resize(length + 1);
    napi_get_value_string_utf8(env, argv[i], &names[i][0], length + 1, &length);
    names[i].resize(length);
  }
  napi_deferred deferred = nullptr;
  napi_value promise = nullptr;
  if (napi_create_promise(env, &deferred, &promise) != napi_ok) return nullptr;
  risk::BridgeContext* bridge = risk::bridge_context(env);
  bool started = start_thread(env, [bridge, deferred, a = names[0], b = names[1]] {
    risk::s_pref_get(bridge, a);
    risk::s_pref_get(bridge, b);
    risk::js_resolve_deferred(bridge, deferred, "");
  });
  return started ? promise : nullptr;
}

napi_value ResolveViaLauncher(napi_env env, napi_callback_info /*info*/) {
  napi_deferred deferred = nullptr;
  napi_value promise = nullptr;
  if (napi_create_promise(env, &deferred, &promise) != napi_ok) return nullptr;
  risk::BridgeContext* bridge = risk::bridge_context(env);
  // std::function copies its target: the move-only hold is shared.
  auto hold = std::make_shared<risk::ScriptHold>(risk::acquire_script_hold(bridge));
  Launcher::instance().launch([bridge, deferred, hold] {
    risk::js_resolve_deferred(bridge, deferred, "");
    hold->release();
  });
  return promise;
}

napi_value ThreadCpuUs(napi_env env, napi_callback_info /*info*/) {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  napi_value result = nullptr;
  napi_create_double(
      env, static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3, &result);
  return result;
}

}  // namespace

NAPI_MODULE_INIT() {
  const struct {
    const char* name;
    napi_callback fn;
  } kNatives[] = {
      {"init", Init},
      {"roundTrips", RoundTrips},
      {"resolveOnThread", ResolveOnThread},
      {"resolveViaLauncher", ResolveViaLauncher},
      {"prefsOnThread", PrefsOnThread},
      {"threadCpuUs", ThreadCpuUs},
  };
  for (const auto& native : kNatives) {
    napi_value fn = nullptr;
    napi_create_function(env, native.name, NAPI_AUTO_LENGTH, native.fn, nullptr, &fn);
    napi_set_named_property(env, exports, native.name, fn);
  }
  return exports;
}
