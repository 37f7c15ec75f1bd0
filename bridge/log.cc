#include "bridge/log.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>

#include "bridge/host.h"

namespace risk {

namespace {
constexpr size_t kLogBufferSize = 4096;
}  // namespace

void log_message(const char* format, ...) {
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kLogBufferSize]);
  if (!buffer) return;
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer.get(), kLogBufferSize, format, args);
  va_end(args);
  OH_LOG_Print(LOG_APP, LOG_WARN, 0, "Risk", "%{public}s", buffer.get());
}

void set_log_hook(LogHook hook) { host::log_hook() = hook; }

}  // namespace risk
