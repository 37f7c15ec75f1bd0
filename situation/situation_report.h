// The situation request: send_situation_report sends one status report of
// an application to the situation service and hands the answer to
// on_server_event. RiskApp::report_situation (core/risk_sdk.h) calls it on
// the application's report thread, with the application seen through
// SituationApp: the report sits below the core and reaches the token and
// the transport only through that interface.
//
// This header also names what the report reads and writes, for the
// platform's fields and for tests; leading_count is pure (any thread, no
// lock).
#ifndef RISK_SITUATION_SITUATION_REPORT_H_
#define RISK_SITUATION_SITUATION_REPORT_H_

#include <cstdint>
#include <memory>
#include <string>

#include "base/types.h"

namespace risk {

class CipherScheme;

// What a report needs of the application it reports on (RiskApp provides
// it, core/risk_sdk.cc): its key, its token, the body fields, the token
// service's exchange, its properties and the answer's delivery. Called on
// the report thread.
class SituationApp {
 public:
  virtual const std::string& app_key() const = 0;
  // RiskApp::get_token.
  virtual TokenRecord get_token(const StringMap& params, bool for_sign) = 0;
  // RiskApp::situation_fields: the JSON body for token.
  virtual std::string situation_fields(const TokenRecord& token) = 0;
  // post_request (core/wire.h) for this application: seals payload with
  // scheme, posts it to url and stores the opened answer in response.
  virtual int32_t post_request(const std::string& url, const std::string& payload,
                               std::string& response, const CipherScheme& scheme) = 0;
  // RiskApp::get_property, set_property and on_server_event.
  virtual std::string get_property(const std::string& key) = 0;
  virtual void set_property(const std::string& key, const std::string& value) = 0;
  virtual void on_server_event(const std::string& text) = 0;

 protected:
  ~SituationApp() = default;
};

// Sends one situation report of app with options (may be null) and hands
// the answer to app.on_server_event, the empty text when none came back.
// Runs on the report thread.
void send_situation_report(SituationApp& app, std::unique_ptr<StringMap> options);

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
