// The one log routine of the library and the sink it writes to. Any thread
// may call every function here.
//
// log_message formats the line and hands it to the installed LogSink. Until
// a sink is installed (the bridge installs the host's when the module is
// loaded), lines go to the default sink: stderr with their tag, the file
// named by RISK_LOG_FILE, or nowhere when RISK_LOG is "off".
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

// The default sink's writer (stderr, RISK_LOG_FILE or nothing, see above),
// for host sinks that fall back to it.
void write_default_log_line(const char* tag, const char* text);

// Test hook: called with every line before it reaches the sink; null
// removes it. Not for production use.
using LogHook = void (*)(const char* tag, const char* text);
void set_log_hook(LogHook hook);

}  // namespace risk

#endif  // RISK_BASE_LOG_H_
