// guarded(): the one way the library catches at a boundary that no C++
// exception may cross: a native called by the script engine, an engine
// callback, the body of a library thread, and the few calls whose failure
// the design answers with a partial result (a collection that a collector
// ended). Whatever fn throws ends fn there, becomes one log line and a false
// answer; the caller then answers the way its boundary prescribes (a native
// with undefined, a worker with "", get_token with a degrade token).
//
// start_thread(): the one way the library starts a detached thread. The
// body says noexcept: it catches at its own entry through guarded().
//
// Any thread. Header only.
#ifndef RISK_BASE_GUARDED_H_
#define RISK_BASE_GUARDED_H_

#include <exception>
#include <thread>
#include <type_traits>
#include <utility>

#include "base/log.h"

namespace risk {

// Runs fn(); when it throws, calls on_failure(reason) with the exception's
// what() ("unknown exception" for a throw not derived from std::exception),
// which writes the boundary's log line, and returns false. The library's
// only try block at a boundary; the forms below give the usual lines.
// REQUIRES: on_failure does not throw.
template <typename Fn, typename OnFailure>
bool guarded_with(OnFailure&& on_failure, Fn&& fn) noexcept {
  try {
    std::forward<Fn>(fn)();
    return true;
  } catch (const std::exception& e) {
    on_failure(e.what());
  } catch (...) {
    on_failure("unknown exception");
  }
  return false;
}

// Runs fn(). True when it returned; false when it threw, logged as
// "<what> failed: <reason>", or "<what> <name> failed: <reason>" with a
// name ("unknown exception" for a throw not derived from std::exception).
template <typename Fn>
bool guarded(const char* what, const char* name, Fn&& fn) noexcept {
  return guarded_with(
      [what, name](const char* reason) {
        if (name != nullptr) {
          log_message("%s %s failed: %s", what, name, reason);
        } else {
          log_message("%s failed: %s", what, reason);
        }
      },
      std::forward<Fn>(fn));
}

template <typename Fn>
bool guarded(const char* what, Fn&& fn) noexcept {
  return guarded(what, nullptr, std::forward<Fn>(fn));
}

// As guarded(), for a boundary whose log line names the failure itself:
// "<failure>: <reason>" (e.g. "fail to build business sign: ...").
template <typename Fn>
bool guarded_as(const char* failure, Fn&& fn) noexcept {
  return guarded_with([failure](const char* reason) { log_message("%s: %s", failure, reason); },
                      std::forward<Fn>(fn));
}

// Starts body on a new detached thread. False when no thread can be had
// (the thread library's std::system_error, or no memory for its state),
// logged as "<failure>: <reason>" unless failure is null: body is then
// destroyed here, with whatever it holds. The thread runs body and ends;
// body catches at its own entry.
template <typename Body>
bool start_thread(const char* failure, Body&& body) noexcept {
  static_assert(std::is_nothrow_invocable_v<std::decay_t<Body>&>,
                "a thread body catches at its own entry: declare it noexcept");
  return guarded_with(
      [failure](const char* reason) {
        if (failure != nullptr) log_message("%s: %s", failure, reason);
      },
      [&body] { std::thread(std::forward<Body>(body)).detach(); });
}

}  // namespace risk

#endif  // RISK_BASE_GUARDED_H_
