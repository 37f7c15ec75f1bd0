// The host's log sink: every line of log_message goes to OH_LOG_Print
// (application log, warn level, domain 0, format "%{public}s"), which on
// this host sends it where the script chose (bridge/host_log.h). It is
// installed when the module is loaded, by the static initialiser below; the
// object file is linked straight into each loadable module (see
// bridge/CMakeLists.txt), so the initialiser is never dropped with an unused
// archive member.
#include "bridge/host_log.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "base/guarded.h"
#include "base/log.h"
#include "base/mutex.h"
#include "bridge/host.h"

namespace risk {

namespace {

enum LogMode : int { kDefaultSink, kNoSink, kFileSink, kFunctionSink };

std::atomic<int> log_mode{kDefaultSink};
std::atomic<int> log_fd{-1};
std::atomic<uint64_t> dropped_lines{0};

// The function sink's queue. Writers hold the mutex around each call into
// it, and the queue's finaliser clears it under the mutex before it is
// freed: no thread calls into a queue that is gone.
Mutex queue_mutex;
napi_threadsafe_function queue GUARDED_BY(queue_mutex) = nullptr;

// Identifies one queue to its finaliser (a later one may have replaced it).
struct QueueTag {
  napi_threadsafe_function tsfn = nullptr;
};

// Any thread; never waits for the script thread.
void queue_line(const char* text) {
  std::unique_ptr<std::string> line(new (std::nothrow) std::string);
  if (!line) {
    dropped_lines.fetch_add(1);
    return;
  }
  // The failure is counted, not logged: this is the log.
  if (!guarded_with([](const char*) { dropped_lines.fetch_add(1); }, [&] { line->assign(text); })) {
    return;
  }
  MutexLock lock(&queue_mutex);
  if (queue == nullptr) return;
  if (napi_call_threadsafe_function(queue, line.get(), napi_tsfn_nonblocking) == napi_ok) {
    line.release();  // the queue's now: deliver_line frees it
  } else {
    dropped_lines.fetch_add(1);
  }
}

// On the script thread: fn(text, dropped). env is null when the queue is
// being emptied without a script.
void deliver_line(napi_env env, napi_value fn, void* /*context*/, void* data) {
  std::unique_ptr<std::string> line(static_cast<std::string*>(data));
  if (env == nullptr || fn == nullptr) return;
  napi_value receiver = nullptr;
  napi_value argv[2];
  if (napi_get_undefined(env, &receiver) != napi_ok ||
      napi_create_string_utf8(env, line->data(), line->size(), &argv[0]) != napi_ok ||
      napi_create_double(env, static_cast<double>(dropped_lines.load()), &argv[1]) != napi_ok) {
    return;
  }
  napi_value result = nullptr;
  if (napi_call_function(env, receiver, fn, 2, argv, &result) != napi_ok) {
    // What the host's function threw stays here.
    bool pending = false;
    if (napi_is_exception_pending(env, &pending) == napi_ok && pending) {
      napi_value thrown = nullptr;
      napi_get_and_clear_last_exception(env, &thrown);
    }
  }
}

void queue_finalized(napi_env /*env*/, void* data, void* /*hint*/) {
  std::unique_ptr<QueueTag> tag(static_cast<QueueTag*>(data));
  MutexLock lock(&queue_mutex);
  if (queue != tag->tsfn) return;
  queue = nullptr;
  int expected = kFunctionSink;
  log_mode.compare_exchange_strong(expected, kDefaultSink);
}

// Makes mode current; a queue it replaces is released (and finalised later
// on its own script thread).
void switch_to(int mode, int fd, napi_threadsafe_function next) {
  napi_threadsafe_function previous = nullptr;
  {
    MutexLock lock(&queue_mutex);
    previous = queue;
    queue = next;
    log_fd.store(fd);
    log_mode.store(mode);
  }
  if (previous != nullptr) napi_release_threadsafe_function(previous, napi_tsfn_abort);
}

// Runs on the script thread of env.
void use_function(napi_env env, napi_value fn) {
  auto tag = std::make_unique<QueueTag>();
  napi_value name = nullptr;
  napi_threadsafe_function tsfn = nullptr;
  if (napi_create_string_utf8(env, "risk log", NAPI_AUTO_LENGTH, &name) != napi_ok ||
      napi_create_threadsafe_function(env, fn, nullptr, name, kLogQueueLines, 1, tag.get(),
                                      queue_finalized, nullptr, deliver_line, &tsfn) != napi_ok) {
    return;
  }
  tag.release()->tsfn = tsfn;
  // The queue alone keeps no process alive.
  napi_unref_threadsafe_function(env, tsfn);
  switch_to(kFunctionSink, -1, tsfn);
}

bool is_text(napi_env env, napi_value value, const char* text) {
  char buffer[16];
  size_t length = 0;
  if (napi_get_value_string_utf8(env, value, buffer, sizeof buffer, &length) != napi_ok)
    return false;
  return length == std::strlen(text) && std::strcmp(buffer, text) == 0;
}

class HostLogSink final : public LogSink {
 public:
  void write(const char* tag, const char* text) override {
    OH_LOG_Print(LOG_APP, LOG_WARN, 0, tag, "%{public}s", text);
  }
};

// Never destroyed: detached threads may still log while the process exits.
HostLogSink* const host_log_sink = new HostLogSink;

struct InstallHostLogSink {
  InstallHostLogSink() { set_log_sink(host_log_sink); }
};
const InstallHostLogSink install_host_log_sink;

}  // namespace

namespace host {

void write_log_text(const char* tag, const char* text) {
  switch (log_mode.load()) {
    case kNoSink:
      return;
    case kFileSink:
      write_log_line(log_fd.load(), tag, text);
      return;
    case kFunctionSink:
      queue_line(text);
      return;
    default:
      write_default_log_line(tag, text);
  }
}

}  // namespace host

void set_log_destination(napi_env env, napi_value destination) {
  napi_valuetype type = napi_undefined;
  if (destination == nullptr || napi_typeof(env, destination, &type) != napi_ok) return;
  if (type == napi_function) {
    use_function(env, destination);
  } else if (type == napi_string) {
    if (is_text(env, destination, "off"))
      switch_to(kNoSink, -1, nullptr);
    else if (is_text(env, destination, "stderr"))
      switch_to(kFileSink, STDERR_FILENO, nullptr);
    else if (is_text(env, destination, "default"))
      switch_to(kDefaultSink, -1, nullptr);
  } else if (type == napi_number) {
    int32_t fd = -1;
    if (napi_get_value_int32(env, destination, &fd) == napi_ok && fd >= 0)
      switch_to(kFileSink, fd, nullptr);
  }
}

uint64_t dropped_log_lines() { return dropped_lines.load(); }

}  // namespace risk
