#include "situation/situation_report.h"

#include <limits>
#include <memory>
#include <string>

#include "base/clock.h"
#include "base/guarded.h"
#include "base/log.h"
#include "base/settings.h"
#include "base/strings.h"
#include "crypto/cipher_scheme.h"

namespace risk {

long long leading_count(const std::string& text) {
  constexpr long long kMax = std::numeric_limits<long long>::max();
  long long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') break;
    const int digit = c - '0';
    if (value > (kMax - digit) / 10) return kMax;
    value = value * 10 + digit;
  }
  return value;
}

void send_situation_report(SituationApp& app, std::unique_ptr<StringMap> options) {
  // Runs on the report thread. Every report ends in exactly one
  // on_server_event, with the empty text when nothing came back: a request
  // that fails on the way (the platform's fields, no memory) is answered
  // like one that reached nobody.
  std::string response;
  int64_t sent_at = 0;
  if (!guarded("situation request", [&] {
        const StringMap params = options ? *options : StringMap();
        TokenRecord token = app.get_token(params, true);
        const std::string body = app.situation_fields(token);
        sent_at = now_ms();
        if (body.empty()) log_message("QuonSituation request_str empty");
        auto found = params.find(kSituationUrlSetting);
        const std::string configured = found != params.end() ? found->second : std::string();
        const std::string url =
            service_address(configured, kSituationServiceUrl, kSituationServicePath);
        if (configured.empty()) {
          log_message(
              "KEY_SITUATION_URL is not set (KEY_URL does not apply to reports): "
              "the built-in address %s never resolves",
              url.c_str());
        }
        std::unique_ptr<CipherScheme> scheme = select_cipher_scheme(params, app.app_key());
        // Only the answer counts; it stays empty on every failure.
        app.post_request(url, body, response, *scheme);
      })) {
    response.clear();
  }
  if (sent_at == 0) sent_at = now_ms();
  app.set_property(kSituationUpTimeProperty, decimal_text(sent_at));
  long long failures = leading_count(app.get_property(kSituationErrorCountProperty));
  if (failures < std::numeric_limits<long long>::max()) ++failures;
  app.set_property(kSituationErrorCountProperty,
                   response.empty() ? decimal_text(failures) : std::string("0"));
  app.on_server_event(response);
}

}  // namespace risk
