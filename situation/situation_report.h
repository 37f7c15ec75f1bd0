// The situation request: RiskApp::report_situation (defined in
// situation_report.cc, declared in core/risk_sdk.h) sends one status report
// of an application to the situation service and hands the answer to
// on_server_event. It runs on the application's report thread.
//
// This header names what the report reads and writes, for the platform's
// fields and for tests; the helper is pure (any thread, no lock).
#ifndef RISK_SITUATION_SITUATION_REPORT_H_
#define RISK_SITUATION_SITUATION_REPORT_H_

#include <string>

namespace risk {

// Per-application properties every report writes: the time it was sent
// (decimal milliseconds) and the number of reports in a row whose answer
// was empty (decimal).
constexpr char kSituationUpTimeProperty[] = "SITUATION_UP_TIME";
constexpr char kSituationErrorCountProperty[] = "SITUATION_ERROR_COUNT";

// The situation service: the path and the built-in address. As with the
// token service, the built-in host never resolves (".invalid", RFC 2606);
// without "KEY_SITUATION_URL" (which "KEY_URL" does not stand in for) a
// report's answer is empty, and the log names the missing setting.
constexpr char kSituationServicePath[] = "/udid/sa-m";
constexpr char kSituationServiceUrl[] = "https://situation.quon-risk.invalid/udid/sa-m";

// The decimal number formed by the leading digits of text; 0 when text does
// not start with a digit. Saturates instead of overflowing.
long long leading_count(const std::string& text);

}  // namespace risk

#endif  // RISK_SITUATION_SITUATION_REPORT_H_
