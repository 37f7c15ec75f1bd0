// The one log routine of the library and the sink it writes to. Any thread
// may call every function here.
//
// log_message formats the line and hands it to the installed LogSink. Until
// a sink is installed (the bridge installs the host's when the module is
// loaded), lines go to the default sink, which the environment sets once, on
// the first line: the file named by RISK_LOG_FILE (unless RISK_LOG is "off"),
// else stderr with their tag when RISK_LOG is set to anything but "off"
// ("on", say), else nowhere. The library's lines are notes for whoever
// debugs it, not faults of the host: by default nobody sees them.
#ifndef RISK_BASE_LOG_H_
#define RISK_BASE_LOG_H_

namespace risk {

// Formats printf-style into at most 4095 bytes and writes the text to the
// installed sink with the tag "Risk".
void log_message(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Where log lines end up. write may be called from any thread, also
// concurrently; it must not call log_message.
class LogSink {
 public:
  virtual void write(const char* tag, const char* text) = 0;

 protected:
  ~LogSink() = default;
};

// Makes sink the target of every later line; null restores the default
// sink. The sink is not owned and must live until the process ends.
void set_log_sink(LogSink* sink);

// The default sink's writer (RISK_LOG_FILE, stderr or nothing, see above),
// for host sinks that fall back to it.
void write_default_log_line(const char* tag, const char* text);

// Writes "[tag] text" and a line feed to fd in one write, as the default
// sink does: lines of different threads stay whole, and what fd does not
// take at once (a full pipe, a non-blocking file) is dropped.
void write_log_line(int fd, const char* tag, const char* text);

// Opens path for appending log lines as RISK_LOG_FILE is opened:
// non-blocking, never through a symbolic link, created 0644, close-on-exec,
// never in a standard stream's slot. The descriptor, or -1.
int open_log_file(const char* path);

// Test hook: called with every line before it reaches the sink; null
// removes it. Not for production use.
using LogHook = void (*)(const char* tag, const char* text);
void set_log_hook(LogHook hook);

}  // namespace risk

#endif  // RISK_BASE_LOG_H_
