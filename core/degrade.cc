// Degrade token and business sign: RiskApp::make_degrade_token,
// degrade_token, business_sign, and the free is_degrade_token and
// url_safe_token.
//
// degrade_token and business_sign run on worker threads of the natives,
// make_degrade_token also on callers of get_token. degraded_record (get_token's
// last answer) and business_sign let no exception out: on a failure they log
// and answer with the empty text. degrade_token leaves that to its worker.
#include <memory>
#include <string>

#include "base/guarded.h"
#include "base/log.h"
#include "base/strings.h"
#include "core/risk_sdk.h"
#include "core/token.h"
#include "core/wire.h"
#include "crypto/block_cipher.h"
#include "crypto/cipher_scheme.h"
#include "crypto/digest.h"
#include "crypto/encoding.h"
#include "crypto/json/json11.h"

namespace risk {

namespace {

// The business sign's key is the 32 characters of an MD5 hex text: AES-256.
constexpr unsigned long kBusinessSignKeyLength = 32;

}  // namespace

bool is_degrade_token(const std::string& text) {
  return text.empty() || text.size() > kMaxServiceTokenBytes;
}

std::string url_safe_token(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '=') continue;
    out.push_back(c == '+' ? '-' : c == '/' ? '_' : c);
  }
  return out;
}

std::string RiskApp::make_degrade_token(const std::string& request, const CipherScheme& scheme) {
  const std::string signature = scheme.sign(request);
  const std::string data = base64_encode(scheme.encrypt(pack_archive(request)));
  std::string token = data + "!" + app_key_ + "!" + signature + "!" + sdk_->facts().sdk_version;
  token += scheme.kind == kGmSchemeKind ? "!gm!" : "!!";
  token += decimal_text(last_request_error.load());
  return url_safe_token(token);
}

TokenRecord RiskApp::degrade_token(const StringMap& params) {
  // Runs on a worker thread of "getDegradeTokenNative", whose entry is the
  // boundary: a failure here answers the native with "".
  StringMap data;
  collect_partial(params, data);
  const std::string request = serialize_request(*this, std::string(), data);
  return degraded_record(params, &request);
}

TokenRecord RiskApp::degraded_record(const StringMap& params, const std::string* request) {
  // get_token's last answer: it must not fail in turn.
  TokenRecord record;
  record.state = TokenState::DEGRADED;
  if (!guarded_as("fail to build degrade token", [&] {
        const std::string cached = request != nullptr ? std::string() : cached_request_copy();
        std::unique_ptr<CipherScheme> scheme = select_cipher_scheme(params, app_key_);
        record.ulvok = make_degrade_token(request != nullptr ? *request : cached, *scheme);
      })) {
    record.ulvok.clear();
  }
  return record;
}

std::string RiskApp::business_sign(const std::string& text, const StringMap& params) {
  // Runs on a worker thread of "getBusinessSignNative": the sign, or the
  // empty text when the fields or the seal fail.
  std::string sign;
  guarded_as("fail to build business sign", [&] {
    StringMap fields;
    business_sign_fields(text, params, fields);
    json11::Json::object members;
    for (const auto& field : fields) members.emplace(field.first, json11::Json(field.second));
    const std::string json = json11::Json(std::move(members)).dump();
    const std::string key = md5_hex(app_key_ + text + app_key_);
    const std::string sealed = AES_ECB_Encrypt_pkcs7padding(
        reinterpret_cast<const unsigned char*>(key.data()), kBusinessSignKeyLength, json);
    sign = base64_encode(sealed);
  });
  return sign;
}

}  // namespace risk
