// The host's log sink: every line of log_message goes to OH_LOG_Print
// (application log, warn level, domain 0, format "%{public}s"). It is
// installed when the module is loaded, by the static initialiser below; the
// object file is linked straight into each loadable module (see
// bridge/CMakeLists.txt), so the initialiser is never dropped with an unused
// archive member.
#include "base/log.h"
#include "bridge/host.h"

namespace risk {

namespace {

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

}  // namespace risk
