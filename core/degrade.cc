// Degrade token and business sign: RiskApp::make_degrade_token,
// degrade_token, business_sign, and the free is_degrade_token and
// url_safe_token.
//
// degrade_token and business_sign run on worker threads of the natives,
// make_degrade_token also on callers of get_token. None of them lets an
// exception out: on a failure they log and answer with what can be built
// (a token of the request collected so far), or the empty text.
#include <exception>
#include <memory>
#include <string>

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
  // Runs on a worker thread of "getDegradeTokenNative"; nothing may leave.
  std::string request;
  try {
    StringMap data;
    try {
      sdk_->collect(*this, params, data);
    } catch (const std::exception& e) {
      log_message("collect failed: %s", e.what());
    } catch (...) {
      log_message("collect failed: unknown exception");
    }
    request = serialize_request(*this, std::string(), data);
  } catch (const std::exception& e) {
    log_message("fail to build degrade token: %s", e.what());
    TokenRecord record;
    record.state = TokenState::DEGRADED;
    return record;
  }
  return degraded_record(request, params);
}

TokenRecord RiskApp::degraded_record(const std::string& request, const StringMap& params) {
  TokenRecord record;
  record.state = TokenState::DEGRADED;
  try {
    std::unique_ptr<CipherScheme> scheme = select_cipher_scheme(params, app_key_);
    record.ulvok = make_degrade_token(request, *scheme);
  } catch (const std::exception& e) {
    log_message("fail to build degrade token: %s", e.what());
    record.ulvok.clear();
  } catch (...) {
    log_message("fail to build degrade token: unknown exception");
    record.ulvok.clear();
  }
  return record;
}

std::string RiskApp::business_sign(const std::string& text, const StringMap& params) {
  // Runs on a worker thread of "getBusinessSignNative"; nothing may leave.
  try {
    StringMap fields;
    business_sign_fields(text, params, fields);
    json11::Json::object members;
    for (const auto& field : fields) members.emplace(field.first, json11::Json(field.second));
    const std::string json = json11::Json(std::move(members)).dump();
    const std::string key = md5_hex(app_key_ + text + app_key_);
    const std::string sealed = AES_ECB_Encrypt_pkcs7padding(
        reinterpret_cast<const unsigned char*>(key.data()), kBusinessSignKeyLength, json);
    return base64_encode(sealed);
  } catch (const std::exception& e) {
    log_message("fail to build business sign: %s", e.what());
  } catch (...) {
    log_message("fail to build business sign: unknown exception");
  }
  return std::string();
}

}  // namespace risk
