// Speed of the token exchange's byte work on a realistic request: a data map
// shaped like the one the built-in collectors fill (device properties, CPU
// and memory facts, identifiers, the event history), serialized to about
// 4 KiB, then signed, zipped and sealed under both cipher schemes; and the
// opening of a typical answer (decrypt, unzip, parse the TokenResponse and
// its TokenPayload). post_request runs the whole transport against an SDK
// whose post hands back a prepared answer at once, so it measures everything
// but the network.
//
//   build-release/bench/wire_bench
//
// Each benchmark's "bytes" counter is the size of its input.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "base/types.h"
#include "core/risk.pb-c.h"
#include "core/risk_sdk.h"
#include "core/wire.h"
#include "crypto/cipher_scheme.h"

namespace {

constexpr char kAppKey[] = "3f9a1c2e7b4d4e8f9a0b1c2d3e4f5a6b";
constexpr char kUrl[] = "http://127.0.0.1:8080/udid/m1";
constexpr size_t kRequestSize = 4096;
constexpr char kToken[] = "Gq3kV9xP2mL7nR4tY8wB1cF6hJ0sD5aZ";

void describe_sdk(risk::RiskSdk& sdk) {
  risk::SdkFacts facts;
  facts.sdk_version = risk::RiskSdk::kSdkVersion;
  facts.app_name = "com.example.shop";
  facts.app_version_name = "5.12.0";
  facts.app_version_code = 5012000;
  facts.os_type = 2;
  facts.os_version = "OpenHarmony-4.1.7.5";
  sdk.set_facts(std::make_shared<const risk::SdkFacts>(facts));
  sdk.initialize();  // sdk_variant 2
}

// One event of the history "K350", as the event list renders it.
std::string event_json(int i) {
  char text[160];
  std::snprintf(text, sizeof text,
                "{\"event\":%d,\"code\":%d,\"msg\":\"watcher %d: access to /proc/self/maps "
                "from tid %d\"}",
                3 + i % 4, 100 + i, i, 20000 + 37 * i);
  return text;
}

// The collected facts of one token request on a phone-class device.
risk::StringMap realistic_data(const std::string& events) {
  risk::StringMap d;
  d["K451"] = "1718000000123";
  d["K452"] = "1718000000131";
  d["deviceType"] = "phone";
  d["manufacture"] = "Example";
  d["K19"] = "EXAMPLE";
  d["K18"] = "Example Mate 60 Pro";
  d["productSeries"] = "ALN";
  d["K20"] = "ALN-AL10";
  d["softwareModel"] = "ALN-AL10";
  d["hardwareModel"] = "ALN-AL10-HW";
  d["K1315"] = "bootloader-1.0.0.118";
  d["K21"] = "arm64-v8a";
  d["K1061"] = "2024-05-01";
  d["K22"] = "ALN-AL10 4.1.0.120(SP8C00E118R5P3)";
  d["K1084"] = "default";
  d["osReleaseType"] = "Release";
  d["osFullName"] = "OpenHarmony-4.1.7.5";
  d["K13"] = "ALN-AL10_4.1.0.120_C00E118R5P3_P3";
  d["K1073"] = "user";
  d["K1068"] = "builder";
  d["K15"] = "build-host-07";
  d["K16"] = "2024-05-21 10:13:44";
  d["buildRootHash"] = "9b1d6f3e0c2a4b5d8e7f6a5b4c3d2e1f0a9b8c7d";
  d["distributionOSName"] = "ExampleOS";
  d["K11"] = "4.2.0";
  d["distributionOSApiName"] = "4.1.0(12)";
  d["distributionOSReleaseType"] = "Release";
  d["majorVersion"] = "4";
  d["seniorVersion"] = "1";
  d["featureVersion"] = "7";
  d["buildVersion"] = "5";
  d["sdkApiVersion"] = "12";
  d["firstApiVersion"] = "9";
  d["distributionOSApiVersion"] = "40200012";
  d["K353"] = "6f1e2d3c-4b5a-4968-8776-a5b4c3d2e1f0";
  d["K200"] = "1718000000124";
  d["timezone"] = "Asia/Shanghai";
  d["timeFormat"] = "24";
  d["K202"] = "1717567890";
  d["K205"] = "432110.28 1702930.55";
  d["K58"] = "0c8e4d2a-6b1f-4a3e-9d7c-5f2e1b0a9c8d";
  d["K7"] = "2f4e6a8c0b1d3f5e7a9c1b3d5f7e9a0c";
  d["K66-1"] = "11759432 kB";
  d["K66-2"] = "1893220 kB";
  d["K67-1"] = "201395478528";
  d["K67-2"] = "486389235712";
  d["K60"] = "c3fcd3d76192e4007dfb496cca67e13b";
  d["K31"] =
      "fp asimd evtstrm aes pmull sha1 sha2 crc32 atomics fphp asimdhp cpuid "
      "asimdrdm jscvt fcma lrcpc dcpop sha3 sm3 sm4 asimddp sha512 asimdfhm dit "
      "uscat ilrcpc flagm ssbs sb paca pacg dcpodp flagm2 frint i8mm bf16 bti";
  d["K30"] = "12";
  d["K34"] = "2620000";
  d["K35"] = "480000";
  d["K39"] = "1800000";
  d["K40"] = "38200";
  d["K41"] = "0-11";
  d["K2"] = "com.example.shop";
  d["K4"] = "5.12.0";
  d["K850"] = "5012000";
  d["K290"] = "5b0f3c1e-8d2a-4f6b-9e7c-1a2b3c4d5e6f";
  d["K291"] = "a1b2c3d4-e5f6-4789-8abc-def012345678";
  d["K292"] = "5.10.97";
  d["K293"] = "#1 SMP PREEMPT Tue May 21 10:02:11 CST 2024";
  d["K300"] = "7";
  d["user_channel"] = "store";
  d["user_scene"] = "checkout";
  d["K350"] = events;
  return d;
}

// The serialized request, its event history grown until it reaches
// kRequestSize bytes.
std::string realistic_request(const risk::RiskApp& app, risk::StringMap* data) {
  std::string events = "[";
  for (int i = 0;; ++i) {
    events += (i ? "," : "") + event_json(i);
    *data = realistic_data(events + "]");
    std::string request = risk::serialize_request(app, "", *data);
    if (request.size() >= kRequestSize) return request;
  }
}

std::string pack_message(const ProtobufCMessage* message) {
  std::string out(protobuf_c_message_get_packed_size(message), '\0');
  protobuf_c_message_pack(message, reinterpret_cast<uint8_t*>(&out[0]));
  return out;
}

// The serialized TokenResponse of a successful exchange.
std::string token_answer() {
  Risk__TokenPayload payload;
  risk__token_payload__init(&payload);
  payload.ulvok = const_cast<char*>(kToken);
  payload.uuid = const_cast<char*>("0c8e4d2a-6b1f-4a3e-9d7c-5f2e1b0a9c8d");
  std::string body = pack_message(&payload.base);

  Risk__TokenResponse response;
  risk__token_response__init(&response);
  response.command = RISK__COMMAND__COMMAND_TOKEN;
  response.status = RISK__STATUS__STATUS_OK;
  response.body.len = body.size();
  response.body.data = reinterpret_cast<uint8_t*>(&body[0]);
  return pack_message(&response.base);
}

// The token of a serialized TokenResponse, as the token logic reads it.
std::string read_token(const std::string& answer) {
  Risk__TokenResponse* response = risk__token_response__unpack(
      nullptr, answer.size(), reinterpret_cast<const uint8_t*>(answer.data()));
  if (response == nullptr) return "";
  std::string token;
  Risk__TokenPayload* payload =
      risk__token_payload__unpack(nullptr, response->body.len, response->body.data);
  if (payload != nullptr) {
    token = payload->ulvok;
    risk__token_payload__free_unpacked(payload, nullptr);
  }
  risk__token_response__free_unpacked(response, nullptr);
  return token;
}

// An SDK whose post answers at once with a prepared body.
class AnsweringSdk : public risk::RiskSdk {
 public:
  std::unique_ptr<risk::PostResponse> post(const std::string& /*url*/,
                                           const std::string& /*body*/) override {
    auto response = std::make_unique<risk::PostResponse>();
    response->status_code = 200;
    response->body = answer;
    return response;
  }
  std::string answer;
};

// Everything one benchmark needs, built once per scheme.
struct Fixture {
  explicit Fixture(bool legacy)
      : app(kAppKey, &sdk), scheme(risk::create_cipher_scheme(legacy, kAppKey)) {
    describe_sdk(sdk);
    request = realistic_request(app, &data);
    archive = risk::pack_archive(request);
    sealed_answer = scheme->encrypt(risk::pack_archive(token_answer()));
    sdk.answer = sealed_answer;
  }
  AnsweringSdk sdk;
  risk::RiskApp app;
  std::unique_ptr<risk::CipherScheme> scheme;
  risk::StringMap data;
  std::string request;
  std::string archive;
  std::string sealed_answer;
};

Fixture& fixture(bool legacy) {
  static Fixture legacy_fixture(true);
  static Fixture gm_fixture(false);
  return legacy ? legacy_fixture : gm_fixture;
}

bool is_legacy(const benchmark::State& state) { return state.range(0) == 1; }

void count_bytes(benchmark::State& state, size_t n) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * n));
  state.counters["bytes"] = static_cast<double>(n);
}

void BM_SerializeRequest(benchmark::State& state) {
  Fixture& f = fixture(true);
  for (auto _ : state) benchmark::DoNotOptimize(risk::serialize_request(f.app, "", f.data));
  count_bytes(state, f.request.size());
}
BENCHMARK(BM_SerializeRequest);

void BM_PackArchive(benchmark::State& state) {
  Fixture& f = fixture(true);
  for (auto _ : state) benchmark::DoNotOptimize(risk::pack_archive(f.request));
  count_bytes(state, f.request.size());
  state.counters["archive"] = static_cast<double>(f.archive.size());
}
BENCHMARK(BM_PackArchive);

// sign + encrypt of the archive: the sealing half of post_request.
void BM_Seal(benchmark::State& state) {
  Fixture& f = fixture(is_legacy(state));
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.scheme->sign(f.request));
    benchmark::DoNotOptimize(f.scheme->encrypt(f.archive));
  }
  count_bytes(state, f.archive.size());
}
BENCHMARK(BM_Seal)->ArgName("legacy")->Arg(1)->Arg(0);

// serialize_request + sign + pack_archive + encrypt: the body of one post.
void BM_BuildSealedRequest(benchmark::State& state) {
  Fixture& f = fixture(is_legacy(state));
  for (auto _ : state) {
    std::string request = risk::serialize_request(f.app, "", f.data);
    benchmark::DoNotOptimize(f.scheme->sign(request));
    benchmark::DoNotOptimize(f.scheme->encrypt(risk::pack_archive(request)));
  }
  count_bytes(state, f.request.size());
}
BENCHMARK(BM_BuildSealedRequest)->ArgName("legacy")->Arg(1)->Arg(0);

// decrypt + unpack_archive of a token answer.
void BM_OpenAnswer(benchmark::State& state) {
  Fixture& f = fixture(is_legacy(state));
  for (auto _ : state) {
    benchmark::DoNotOptimize(risk::unpack_archive(f.scheme->decrypt(f.sealed_answer)));
  }
  count_bytes(state, f.sealed_answer.size());
}
BENCHMARK(BM_OpenAnswer)->ArgName("legacy")->Arg(1)->Arg(0);

// decrypt + unpack_archive + TokenResponse/TokenPayload parse.
void BM_OpenAndParseAnswer(benchmark::State& state) {
  Fixture& f = fixture(is_legacy(state));
  for (auto _ : state) {
    std::string token = read_token(risk::unpack_archive(f.scheme->decrypt(f.sealed_answer)));
    if (token != kToken) state.SkipWithError("the answer did not open");
    benchmark::DoNotOptimize(token);
  }
  count_bytes(state, f.sealed_answer.size());
}
BENCHMARK(BM_OpenAndParseAnswer)->ArgName("legacy")->Arg(1)->Arg(0);

// The whole transport against an immediate answer.
void BM_PostRequest(benchmark::State& state) {
  Fixture& f = fixture(is_legacy(state));
  for (auto _ : state) {
    std::string response;
    if (risk::post_request(f.app, kUrl, f.request, response, *f.scheme) != 0) {
      state.SkipWithError("post_request failed");
    }
    benchmark::DoNotOptimize(response);
  }
  count_bytes(state, f.request.size());
}
BENCHMARK(BM_PostRequest)->ArgName("legacy")->Arg(1)->Arg(0);

}  // namespace

BENCHMARK_MAIN();
