// post_request: the one transport routine of both services' requests,
// with the address it posts to.
#include <memory>
#include <string>
#include <utility>

#include "base/log.h"
#include "core/risk_sdk.h"
#include "core/wire.h"
#include "crypto/cipher_scheme.h"
#include "crypto/encoding.h"

namespace risk {

int32_t post_request(RiskApp& app, const std::string& url, const std::string& payload,
                     std::string& response, const CipherScheme& scheme) {
  RiskSdk& sdk = *app.sdk();
  const SdkFacts& facts = sdk.facts();
  std::string sign = scheme.sign(payload);
  // An archive that cannot be made is sealed and sent empty; the service
  // refuses it and its answer fails below.
  std::string sealed = scheme.encrypt(pack_archive(payload));

  std::string address = url;
  address += "?sign=" + url_encode(sign);
  address += "&appKey=" + url_encode(app.app_key());
  address += "&app=" + url_encode(facts.app_name);
  address += "&version=" + url_encode(facts.sdk_version);
  if (scheme.kind == kGmSchemeKind) address += "&alg=" + url_encode("gm");

  std::unique_ptr<PostResponse> answer = sdk.post(address, sealed);
  if (!answer) return kPostNoResponse;
  if (answer->body.size() > kMaxAnswerSize) {
    log_message("answer of %zu bytes is larger than any valid one (%zu), refused",
                answer->body.size(), kMaxAnswerSize);
    return kPostDecryptFailed;
  }
  std::string archive = scheme.decrypt(answer->body);
  if (archive.empty()) return kPostDecryptFailed;
  std::string content = unpack_archive(archive);
  if (content.empty()) return kPostNoArchiveEntry;
  response = std::move(content);
  return 0;
}

}  // namespace risk
