// The answer path of a token exchange: post_request, then read_token_answer
// (the unpacking of TokenResponse and TokenPayload), with the fuzzer playing
// the token service. read_token_answer must agree with the reading written
// out here.
//
// The first byte is the service's behaviour: bit 0 picks the scheme (0 gm,
// 1 legacy); bit 3 set means the post gives no response object; bits 1-2
// pick what the rest of the input is:
//   0  the raw response body,
//   1  the archive, sealed with the scheme,
//   2  the TokenResponse, packed and sealed,
//   3  the TokenPayload, in a TokenResponse {1002, payload, 0}, packed and
//      sealed,
// so the fuzzer reaches every layer without having to break the cipher.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "base/strings.h"
#include "core/risk.pb-c.h"
#include "core/risk_sdk.h"
#include "core/token.h"
#include "core/wire.h"
#include "crypto/cipher_scheme.h"
#include "fuzz/fuzz_check.h"

namespace {

using risk::fuzz::check;

constexpr char kAppKey[] = "fuzz-app-key";
constexpr char kUrl[] = "https://token.invalid/udid/m1";
constexpr int32_t kTokenCommand = 1002;
constexpr int32_t kStatusOk = 0;
constexpr int32_t kStatusRefused = -10006;

// Outcomes of reading the answer.
constexpr int32_t kEmptyAnswer = -1004;
constexpr int32_t kNotAMessage = -1005;
constexpr int32_t kRefused = -1006;
constexpr int32_t kRefusedHard = -1008;

enum class Mode { kRawBody = 0, kSealedArchive = 1, kSealedResponse = 2, kSealedPayload = 3 };

// A RiskSdk whose post answers with the prepared body and remembers what it
// was sent. Single-threaded: the fuzzer calls one input at a time.
class ServiceSdk : public risk::RiskSdk {
 public:
  std::unique_ptr<risk::PostResponse> post(const std::string& url,
                                           const std::string& body) override {
    sent_url = url;
    sent_body = body;
    if (!respond) return nullptr;
    auto response = std::make_unique<risk::PostResponse>();
    response->status_code = 200;
    response->body = answer;
    return response;
  }

  bool respond = true;
  std::string answer;
  std::string sent_url;
  std::string sent_body;
};

struct Fixture {
  Fixture() {
    risk::fuzz::silence_log();
    sdk = new ServiceSdk();  // lives as long as the process
    risk::SdkFacts facts;
    facts.app_name = "fuzz";
    facts.sdk_version = risk::RiskSdk::kSdkVersion;
    sdk->set_facts(std::make_shared<const risk::SdkFacts>(facts));
    app = sdk->get_app(kAppKey);
    check(app != nullptr, "get_app");
    gm = risk::create_cipher_scheme(false, kAppKey);
    legacy = risk::create_cipher_scheme(true, kAppKey);
  }
  ServiceSdk* sdk;
  risk::RiskApp* app;
  std::unique_ptr<risk::CipherScheme> gm;
  std::unique_ptr<risk::CipherScheme> legacy;
};

Fixture& fixture() {
  static Fixture* instance = new Fixture();
  return *instance;
}

std::string pack_token_response(int32_t command, const std::string& body, int32_t status) {
  Risk__TokenResponse message = RISK__TOKEN_RESPONSE__INIT;
  message.command = static_cast<Risk__Command>(command);
  message.body.len = body.size();
  message.body.data = reinterpret_cast<uint8_t*>(const_cast<char*>(body.data()));
  message.status = static_cast<Risk__Status>(status);
  std::string out(risk__token_response__get_packed_size(&message), '\0');
  risk__token_response__pack(&message, reinterpret_cast<uint8_t*>(&out[0]));
  return out;
}

// protobuf-c stores any varint it reads into an enum field, also values
// outside the enum's range, which C++ may not load through the enum type:
// read the field's bytes as the int32 they are.
template <typename Enum>
int32_t enum_value(const Enum& field) {
  static_assert(sizeof(Enum) == sizeof(int32_t), "protobuf-c enums are int-sized");
  int32_t value;
  std::memcpy(&value, &field, sizeof value);
  return value;
}

// The reference reading of an answer: 0 with the token and the identifier,
// or the failure code.
int32_t read_answer(const std::string& answer, std::string& token, std::string& uuid) {
  if (answer.empty()) return kEmptyAnswer;
  // A message of more fields than an answer has is not unpacked.
  const auto* bytes = reinterpret_cast<const uint8_t*>(answer.data());
  if (!risk::within_field_limit(bytes, answer.size(), risk::kMaxAnswerFields)) return kNotAMessage;
  Risk__TokenResponse* response = risk__token_response__unpack(nullptr, answer.size(), bytes);
  if (response == nullptr) return kNotAMessage;
  int32_t code = 0;
  const int32_t status = enum_value(response->status);
  if (status == kStatusRefused) {
    code = kRefusedHard;
  } else if (status != kStatusOk || enum_value(response->command) != kTokenCommand ||
             response->body.len == 0) {
    code = kRefused;
  } else if (!risk::within_field_limit(response->body.data, response->body.len,
                                       risk::kMaxAnswerFields)) {
    code = kNotAMessage;
  } else {
    Risk__TokenPayload* payload =
        risk__token_payload__unpack(nullptr, response->body.len, response->body.data);
    if (payload == nullptr) {
      code = kNotAMessage;
    } else {
      check(payload->ulvok != nullptr, "a required string field is present after unpack");
      token = payload->ulvok;
      // A token is 1 to 40 bytes: an empty one would replace a good stored
      // one, a longer one is no token of the service.
      if (token.empty() || token.size() > risk::kMaxServiceTokenBytes) code = kRefused;
      // An identifier that is not plausible is dropped, the token kept.
      if (payload->uuid != nullptr && risk::is_plausible_installation_id(payload->uuid)) {
        uuid = payload->uuid;
      }
      risk__token_payload__free_unpacked(payload, nullptr);
    }
  }
  risk__token_response__free_unpacked(response, nullptr);
  return code;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fixture();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Fixture& f = fixture();
  const risk::CipherScheme& scheme = (data[0] & 1) ? *f.legacy : *f.gm;
  const auto mode = static_cast<Mode>((data[0] >> 1) & 3);
  const std::string rest = risk::fuzz::as_string(data + 1, size - 1);

  // What the service meant to say once the layers are off, when known.
  std::string inner;
  switch (mode) {
    case Mode::kRawBody:
      f.sdk->answer = rest;
      break;
    case Mode::kSealedArchive:
      f.sdk->answer = scheme.encrypt(rest);
      break;
    case Mode::kSealedResponse:
      inner = rest;
      f.sdk->answer = scheme.encrypt(risk::pack_archive(inner));
      break;
    case Mode::kSealedPayload:
      inner = pack_token_response(kTokenCommand, rest, kStatusOk);
      f.sdk->answer = scheme.encrypt(risk::pack_archive(inner));
      break;
  }
  f.sdk->respond = (data[0] & 8) == 0;

  const std::string request = "request";
  const std::string untouched = "untouched";
  std::string answer = untouched;
  const int32_t code = risk::post_request(*f.app, kUrl, request, answer, scheme);

  // The request went out sealed and signed, whatever comes back.
  check(risk::has_prefix(f.sdk->sent_url, std::string(kUrl) + "?sign="),
        "the address starts with the url and the signature");
  check(risk::unpack_archive(scheme.decrypt(f.sdk->sent_body)) == request,
        "the body is the sealed archive of the payload");

  if (!f.sdk->respond) {
    check(code == risk::kPostNoResponse, "no response object gives -1001");
  }
  const risk::TokenAnswer read = risk::read_token_answer(code, answer);
  if (code != 0) {
    check(read.code == code, "a transport failure is the exchange's code");
    check(code == risk::kPostNoResponse || code == risk::kPostDecryptFailed ||
              code == risk::kPostNoArchiveEntry,
          "post_request fails only with its three codes");
    check(answer == untouched, "a failed post_request leaves the response alone");
    return 0;
  }
  check(f.sdk->respond, "success needs a response object");
  check(!answer.empty(), "a successful post_request has an answer");
  if (!inner.empty()) check(answer == inner, "the answer is what the service sealed");

  std::string token;
  std::string uuid;
  const int32_t outcome = read_answer(answer, token, uuid);
  check(read.code == outcome, "read_token_answer gives the reference code");
  if (outcome == 0) {
    check(read.ulvok == token && read.uuid == uuid, "read_token_answer gives the token and uuid");
  }
  if (mode == Mode::kSealedPayload && !rest.empty()) {
    check(outcome == 0 || outcome == kNotAMessage || outcome == kRefused,
          "a sealed successful response with a body fails only on its payload");
  }
  return 0;
}
