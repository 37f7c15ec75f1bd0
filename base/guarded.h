// guarded(): the one way the library catches at a boundary that no C++
// exception may cross: a native called by the script engine, an engine
// callback, the body of a library thread. Whatever fn throws ends fn there,
// becomes one log line and a false answer; the caller then answers the way
// its boundary prescribes (a native with undefined, a worker with "").
// Any thread. Header only.
#ifndef RISK_BASE_GUARDED_H_
#define RISK_BASE_GUARDED_H_

#include <exception>
#include <utility>

#include "base/log.h"

namespace risk {

// Runs fn(). True when it returned; false when it threw, logged as
// "<what> failed: <reason>", or "<what> <name> failed: <reason>" with a
// name ("unknown exception" for a throw not derived from std::exception).
template <typename Fn>
bool guarded(const char* what, const char* name, Fn&& fn) {
  try {
    std::forward<Fn>(fn)();
    return true;
  } catch (const std::exception& e) {
    if (name != nullptr) {
      log_message("%s %s failed: %s", what, name, e.what());
    } else {
      log_message("%s failed: %s", what, e.what());
    }
  } catch (...) {
    if (name != nullptr) {
      log_message("%s %s failed: unknown exception", what, name);
    } else {
      log_message("%s failed: unknown exception", what);
    }
  }
  return false;
}

template <typename Fn>
bool guarded(const char* what, Fn&& fn) {
  return guarded(what, nullptr, std::forward<Fn>(fn));
}

}  // namespace risk

#endif  // RISK_BASE_GUARDED_H_
