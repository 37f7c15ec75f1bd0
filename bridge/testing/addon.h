// Pieces shared by the test and benchmark addons: natives that capture the
// library's log lines for the script, and a detached thread started the way
// the library starts its workers.
#ifndef RISK_BRIDGE_TESTING_ADDON_H_
#define RISK_BRIDGE_TESTING_ADDON_H_

#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/mutex.h"
#include "base/thread_annotations.h"
#include "bridge/host.h"
#include "bridge/script_thread.h"

namespace risk {
namespace testing {

// Leaked on purpose: detached threads may still log while the process exits.
inline Mutex& log_mutex() {
  static Mutex* mutex = new Mutex;
  return *mutex;
}
inline std::vector<std::string>& log_lines() REQUIRES(log_mutex()) {
  static auto* lines = new std::vector<std::string>;
  return *lines;
}

// captureLog(): from now on the library's log lines are kept for takeLog.
inline napi_value CaptureLog(napi_env /*env*/, napi_callback_info /*info*/) {
  set_log_hook([](const char* /*tag*/, const char* text) {
    MutexLock lock(&log_mutex());
    log_lines().emplace_back(text);
  });
  return nullptr;
}

// takeLog(): the lines kept since the last call, as an array of strings.
inline napi_value TakeLog(napi_env env, napi_callback_info /*info*/) {
  std::vector<std::string> lines;
  {
    MutexLock lock(&log_mutex());
    lines.swap(log_lines());
  }
  napi_value array = nullptr;
  napi_create_array_with_length(env, lines.size(), &array);
  for (size_t i = 0; i < lines.size(); ++i) {
    napi_value line = nullptr;
    napi_create_string_utf8(env, lines[i].data(), lines[i].size(), &line);
    napi_set_element(env, array, static_cast<uint32_t>(i), line);
  }
  return array;
}

// Starts body on a detached thread that keeps the script thread's loop
// alive while it runs, as the library's workers do. Throws a JS error when
// the thread cannot start.
template <typename Body>
bool start_thread(napi_env env, Body body) {
  ScriptHold hold = acquire_script_hold(bridge_context(env));
  auto owned = std::make_unique<ScriptHold>(std::move(hold));
  try {
    ScriptHold* raw = owned.get();
    std::thread([raw, body]() mutable {
      std::unique_ptr<ScriptHold> mine(raw);
      body();
    }).detach();
    owned.release();
    return true;
  } catch (const std::system_error& e) {
    napi_throw_error(env, nullptr, e.what());
    return false;  // owned gives the hold back
  }
}

}  // namespace testing
}  // namespace risk

#endif  // RISK_BRIDGE_TESTING_ADDON_H_
