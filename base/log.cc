#include "base/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

namespace risk {

namespace {

constexpr size_t kLogBufferSize = 4096;
constexpr char kLogTag[] = "Risk";

std::atomic<LogHook> log_hook{nullptr};
std::atomic<LogSink*> log_sink{nullptr};

// Opened once, on the first line: a file that cannot be opened falls back
// to stderr.
FILE* default_sink_file() {
  static FILE* const file = [] {
    const char* mode = std::getenv("RISK_LOG");
    if (mode != nullptr && std::strcmp(mode, "off") == 0) return static_cast<FILE*>(nullptr);
    const char* path = std::getenv("RISK_LOG_FILE");
    if (path != nullptr && *path != '\0') {
      // Never in a standard stream's slot: a host that closed its stdin
      // would otherwise find the log file there for good.
      int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
      if (fd >= 0 && fd <= STDERR_FILENO) {
        const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        ::close(fd);
        fd = high;
      }
      FILE* f = fd >= 0 ? ::fdopen(fd, "a") : nullptr;
      if (f != nullptr) return f;
      if (fd >= 0) ::close(fd);
    }
    return stderr;
  }();
  return file;
}

}  // namespace

void write_default_log_line(const char* tag, const char* text) {
  FILE* file = default_sink_file();
  if (file == nullptr) return;
  static std::mutex file_mutex;  // keeps the lines of different threads whole
  std::lock_guard<std::mutex> lock(file_mutex);
  std::fprintf(file, "[%s] %s\n", tag, text);
  std::fflush(file);
}

void log_message(const char* format, ...) {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kLogBufferSize]);
  if (!buffer) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer.get(), kLogBufferSize, format, args);
  va_end(args);
  if (LogHook hook = log_hook.load()) hook(kLogTag, buffer.get());
  if (LogSink* sink = log_sink.load()) {
    sink->write(kLogTag, buffer.get());
  } else {
    write_default_log_line(kLogTag, buffer.get());
  }
}

void set_log_sink(LogSink* sink) { log_sink.store(sink); }

void set_log_hook(LogHook hook) { log_hook.store(hook); }

}  // namespace risk
