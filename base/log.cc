#include "base/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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

// Where the default sink writes: the file of RISK_LOG_FILE, stderr, or
// nothing (kNoLog).
constexpr int kNoLog = -1;

// Decided once, on the first line (see log.h): a file that cannot be opened
// falls back to stderr.
int default_sink_fd() {
  static const int fd = [] {
    const char* mode = std::getenv("RISK_LOG");
    if (mode != nullptr && std::strcmp(mode, "off") == 0) return kNoLog;
    const char* path = std::getenv("RISK_LOG_FILE");
    if (path != nullptr && *path != '\0') {
      const int file = open_log_file(path);
      if (file >= 0) return file;
      return static_cast<int>(STDERR_FILENO);
    }
    if (mode == nullptr || *mode == '\0') return kNoLog;
    return static_cast<int>(STDERR_FILENO);
  }();
  return fd;
}

}  // namespace

// The file is opened non-blocking, so that neither the open (a FIFO without
// a reader) nor a write (a reader that stopped reading) can hold a library
// thread: what cannot be written at once is dropped. It is never opened
// through a symbolic link, which could send the log (and the O_CREAT)
// somewhere else than the name given.
int open_log_file(const char* path) {
  int file =
      ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0644);
  // Never in a standard stream's slot: a host that closed its stdin would
  // otherwise find the log file there for good.
  if (file >= 0 && file <= STDERR_FILENO) {
    const int high = ::fcntl(file, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    ::close(file);
    file = high;
  }
  return file;
}

void write_log_line(int fd, const char* tag, const char* text) {
  if (fd < 0) return;
  // One write per line, so that lines of different threads (and processes
  // sharing the file) stay whole; what the file does not take at once is
  // dropped.
  char line[kLogBufferSize + 32];
  const int n = std::snprintf(line, sizeof line, "[%s] %s\n", tag, text);
  if (n <= 0) return;
  const size_t length = std::min(static_cast<size_t>(n), sizeof line - 1);
  static std::mutex write_mutex;
  std::lock_guard<std::mutex> lock(write_mutex);
  ssize_t written;
  do {
    written = ::write(fd, line, length);
  } while (written < 0 && errno == EINTR);
}

void write_default_log_line(const char* tag, const char* text) {
  const int fd = default_sink_fd();
  if (fd == kNoLog) return;
  write_log_line(fd, tag, text);
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
