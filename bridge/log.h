// The one log routine of the library. Any thread may call it.
#ifndef RISK_BRIDGE_LOG_H_
#define RISK_BRIDGE_LOG_H_

namespace risk {

// Formats printf-style into at most 4095 bytes and writes the text to the
// platform log (application log, warn level, domain 0, tag "Risk").
void log_message(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Test hook: called with every line before it reaches the sink; null
// removes it. Not for production use.
using LogHook = void (*)(const char* tag, const char* text);
void set_log_hook(LogHook hook);

}  // namespace risk

#endif  // RISK_BRIDGE_LOG_H_
