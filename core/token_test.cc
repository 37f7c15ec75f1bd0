// Token acquisition and request pacing against the fake platform: the four
// paths, expiry, the previous token, the threads that collect, every error
// code from a scripted answer, the rate limit, waiting, and failures on the
// worker and network threads.
//
// Answers are TokenResponse archives written by Python's zipfile from
// `protoc --encode` output (core/testdata/token_answers/make_token_answers.py)
// and sealed here with OpenSSL SM4; posted requests are opened with OpenSSL
// and zlib and read with the protobuf-c runtime.
#include "core/token.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "base/clock.h"
#include "base/strings.h"
#include "core/risk_sdk.h"
#include "core/testing/fake_platform.h"
#include "core/testing/reference.h"
#include "core/testing/request_reader.h"
#include "core/wire.h"
#include "situation/event_list.h"

namespace risk {
namespace {

using testing::Answer;
using testing::CollectorFault;
using testing::FakeApp;
using testing::FakeSdk;
using testing::LogCapture;
using testing::PostRecord;
using testing::PropertyStore;
using testing::ReadRequest;

constexpr char kKey[] = "token-test-key";
constexpr char kTokenUrl[] = "https://token.test";

std::string app_property(const char* name) { return std::string(kKey) + ":" + name; }

std::vector<std::string> split_token(const std::string& token) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    size_t bang = token.find('!', start);
    fields.push_back(token.substr(start, bang == std::string::npos ? bang : bang - start));
    if (bang == std::string::npos) return fields;
    start = bang + 1;
  }
}

int64_t elapsed_ms(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               since)
      .count();
}

class TokenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    last_request_error.store(0);
    sdk_ = std::make_unique<FakeSdk>(store_);
    app_ = sdk_->app(kKey);
    ASSERT_NE(app_, nullptr);
  }
  void TearDown() override { sdk_.reset(); }

  // Options of a gm exchange with the test's service address.
  static StringMap gm(StringMap extra = {}) {
    extra.emplace("KEY_MANAGER_ALGORITHM", "gm");
    extra.emplace("KEY_URL", kTokenUrl);
    return extra;
  }
  static StringMap forced(StringMap extra = {}) {
    extra.emplace("PRIVATE_FORCE_REFRESH", "true");
    return gm(std::move(extra));
  }

  // An answer archive of the test data sealed for kKey with OpenSSL SM4.
  static Answer sealed(const std::string& file) {
    std::string zip = testing::answer_file(file);
    EXPECT_FALSE(zip.empty()) << file;
    return Answer::with_body(testing::ref_gm_seal(kKey, zip));
  }

  // The TokenRequest a gm post carried, opened with OpenSSL and zlib.
  static std::string opened(const PostRecord& post) {
    return testing::ref_unzip(testing::ref_gm_open(kKey, post.body));
  }
  ReadRequest request_of_post(size_t index) {
    std::vector<PostRecord> posts = sdk_->posts();
    EXPECT_LT(index, posts.size());
    if (index >= posts.size()) return ReadRequest();
    return testing::read_request(opened(posts[index]));
  }

  // Replaces the application: a new SDK object over the same store.
  void restart() {
    sdk_.reset();
    sdk_ = std::make_unique<FakeSdk>(store_);
    app_ = sdk_->app(kKey);
  }

  LogCapture log_;
  std::shared_ptr<PropertyStore> store_ = std::make_shared<PropertyStore>();
  std::unique_ptr<FakeSdk> sdk_;
  FakeApp* app_ = nullptr;
};

// ------------------------------------------------------------ the four paths

TEST_F(TokenTest, FetchPersistsTokenTimeAndInstallationId) {
  sdk_->answer_always(sealed("ok_uuid.zip"));
  const int64_t before = now_ms();
  TokenRecord token = app_->get_token(gm(), false);
  const int64_t after = now_ms();

  EXPECT_EQ(token.state, TokenState::FETCHED);
  EXPECT_EQ(token.ulvok, "svc-token-0001");
  EXPECT_GE(token.expires_at, before + kTokenLifetimeMs);
  EXPECT_LE(token.expires_at, after + kTokenLifetimeMs);
  EXPECT_EQ(last_request_error.load(), 0);

  ASSERT_EQ(sdk_->post_count(), 1u);
  const PostRecord post = sdk_->posts()[0];
  EXPECT_TRUE(has_prefix(post.url, "https://token.test/udid/m1?sign=")) << post.url;
  EXPECT_NE(post.url.find("&alg=gm"), std::string::npos);
  ReadRequest request = testing::read_request(opened(post));
  ASSERT_TRUE(request.ok);
  EXPECT_EQ(request.app_key, kKey);
  EXPECT_FALSE(request.has_previous);
  EXPECT_EQ(request.data[FakeSdk::kIdentityKey], FakeSdk::kIdentityValue);
  EXPECT_EQ(request.data.count("K451"), 1u);
  EXPECT_EQ(request.data.count("K452"), 1u);

  EXPECT_EQ(store_->get(app_property(kTokenTextProperty)), "svc-token-0001");
  EXPECT_EQ(std::to_string(token.expires_at - kTokenLifetimeMs),
            store_->get(app_property(kTokenTimeProperty)));
  // The installation identifier is SDK-wide: no application prefix.
  EXPECT_EQ(store_->get(kInstallationIdProperty), "6f1c0d2e-9a8b-4c7d-8e6f-5a4b3c2d1e0f");
  EXPECT_FALSE(store_->has(app_property(kInstallationIdProperty)));
}

// The two stored-token reads go to the platform as one batch, and so do
// the answer's writes, in the design's order: the installation identifier
// (SDK-wide), the exchange time, the token; without a new identifier, the
// last two.
TEST_F(TokenTest, StoredReadsAndTheAnswersWritesGoAsOneBatchEachInOrder) {
  sdk_->queue(sealed("ok_uuid.zip"));
  sdk_->queue(sealed("ok_no_uuid.zip"));
  app_->get_token(gm(), false);
  app_->get_token(forced(), false);
  const std::vector<std::string> reads = {"get", app_property(kTokenTextProperty),
                                          app_property(kTokenTimeProperty)};
  const std::vector<std::vector<std::string>> expected = {
      reads,
      {"set", kInstallationIdProperty, app_property(kTokenTimeProperty),
       app_property(kTokenTextProperty)},
      reads,
      {"set", app_property(kTokenTimeProperty), app_property(kTokenTextProperty)},
  };
  EXPECT_EQ(sdk_->property_batches(), expected);
}

TEST_F(TokenTest, EmptyOrAbsentUuidLeavesInstallationIdAlone) {
  store_->set(kInstallationIdProperty, "kept-id");
  sdk_->queue(sealed("ok_empty_uuid.zip"));
  sdk_->queue(sealed("ok_no_uuid.zip"));
  EXPECT_EQ(app_->get_token(gm(), false).ulvok, "svc-token-0003");
  EXPECT_EQ(app_->get_token(forced(), false).ulvok, "svc-token-0002");
  EXPECT_EQ(store_->get(kInstallationIdProperty), "kept-id");
}

TEST_F(TokenTest, HeldTokenIsServedWithoutAnExchange) {
  sdk_->answer_always(sealed("ok_uuid.zip"));
  TokenRecord first = app_->get_token(gm(), false);
  // Memory and store expire together; the stored record wins the tie.
  TokenRecord second = app_->get_token(gm(), false);
  EXPECT_EQ(second.state, TokenState::STORED);
  EXPECT_EQ(second.ulvok, first.ulvok);
  EXPECT_EQ(second.expires_at, first.expires_at);
  // With an older store the memory record is the newer one.
  store_->set(app_property(kTokenTextProperty), "older-stored");
  store_->set(app_property(kTokenTimeProperty), std::to_string(now_ms() - 60000));
  TokenRecord third = app_->get_token(gm(), false);
  EXPECT_EQ(third.state, TokenState::FETCHED);
  EXPECT_EQ(third.ulvok, first.ulvok);
  EXPECT_EQ(third.expires_at, first.expires_at);
  EXPECT_EQ(sdk_->post_count(), 1u);
}

TEST_F(TokenTest, NewSdkObjectServesTheStoredTokenAndSendsItAsPrevious) {
  sdk_->answer_always(sealed("ok_uuid.zip"));
  TokenRecord fetched = app_->get_token(gm(), false);
  ASSERT_EQ(fetched.state, TokenState::FETCHED);
  restart();

  // for_sign: the usable stored token, no exchange.
  TokenRecord stored = app_->get_token(gm(), true);
  EXPECT_EQ(stored.state, TokenState::STORED);
  EXPECT_EQ(stored.ulvok, "svc-token-0001");
  EXPECT_EQ(stored.expires_at, fetched.expires_at);
  EXPECT_EQ(sdk_->post_count(), 0u);

  // The first exchange of the new object (its event summary is new) sends
  // the stored token as the previous one.
  sdk_->answer_always(sealed("ok_no_uuid.zip"));
  TokenRecord refreshed = app_->get_token(gm(), false);
  EXPECT_EQ(refreshed.ulvok, "svc-token-0002");
  EXPECT_TRUE(log_.contains("pre: after:0"));
  ReadRequest request = request_of_post(0);
  EXPECT_TRUE(request.has_previous);
  EXPECT_EQ(request.previous, "svc-token-0001");
}

TEST_F(TokenTest, NothingUsableAndNoAnswerGivesDegradeToken) {
  TokenRecord token = app_->get_token(gm(), false);
  EXPECT_EQ(token.state, TokenState::DEGRADED);
  EXPECT_EQ(token.expires_at, 0);
  EXPECT_TRUE(is_degrade_token(token.ulvok));
  EXPECT_TRUE(log_.contains("both memory / stored token are invalid"));
  std::vector<std::string> fields = split_token(token.ulvok);
  ASSERT_EQ(fields.size(), 6u);
  EXPECT_EQ(fields[1], kKey);
  EXPECT_EQ(fields[4], "gm");
  EXPECT_EQ(fields[5], "-1001");
}

// ------------------------------------------------------------------ expiry

TEST_F(TokenTest, StoredTokenLivesTwentyFourHoursAfterItsTime) {
  const int64_t now = now_ms();
  const int64_t time = now - kTokenLifetimeMs + 60000;  // one minute left
  store_->set(app_property(kTokenTextProperty), "stored-token");
  store_->set(app_property(kTokenTimeProperty), std::to_string(time));
  TokenRecord token = app_->get_token(gm(), true);
  EXPECT_EQ(token.state, TokenState::STORED);
  EXPECT_EQ(token.ulvok, "stored-token");
  EXPECT_EQ(token.expires_at, time + kTokenLifetimeMs);
  EXPECT_EQ(sdk_->post_count(), 0u);

  // A second past its day: not usable, so an exchange is tried.
  store_->set(app_property(kTokenTimeProperty), std::to_string(now - kTokenLifetimeMs - 1000));
  token = app_->get_token(gm(), true);
  EXPECT_EQ(token.state, TokenState::DEGRADED);
  EXPECT_EQ(sdk_->post_count(), 1u);
  EXPECT_EQ(request_of_post(0).previous, "stored-token");
}

TEST(TokenExpiryTest, StoredTimeTextsThatNeverGiveAUsableToken) {
  EXPECT_EQ(stored_token_expiry(""), 0);
  EXPECT_EQ(stored_token_expiry("0"), 0);
  EXPECT_EQ(stored_token_expiry("abc"), 0);
  EXPECT_EQ(stored_token_expiry("123abc"), 123 + kTokenLifetimeMs);
  EXPECT_EQ(stored_token_expiry(" 1700000000000"), 1700000000000 + kTokenLifetimeMs);
  EXPECT_EQ(stored_token_expiry("99999999999999999999999"), INT64_MAX);
}

TEST(TokenExpiryTest, UsableMeansStrictlyLaterThanNow) {
  const int64_t now = 1700000000000;
  TokenRecord record{TokenState::FETCHED, "t", now};
  EXPECT_FALSE(is_usable(record, now));
  record.expires_at = now + 1;
  EXPECT_TRUE(is_usable(record, now));
  record.state = TokenState::DEGRADED;
  EXPECT_FALSE(is_usable(record, now));
  record.state = TokenState::STORED;
  record.ulvok.clear();
  EXPECT_FALSE(is_usable(record, now));
}

// ---------------------------------------------------------- previous token

TEST_F(TokenTest, PreviousTokenComesFromTheRecordThatExpiresLater) {
  sdk_->answer_always(sealed("ok_uuid.zip"));
  ASSERT_EQ(app_->get_token(gm(), false).ulvok, "svc-token-0001");
  // The memory record is newer than what the store now says.
  store_->set(app_property(kTokenTextProperty), "older-stored");
  store_->set(app_property(kTokenTimeProperty), std::to_string(now_ms() - 60000));
  app_->get_token(forced(), false);
  EXPECT_EQ(request_of_post(1).previous, "svc-token-0001");

  // The store is newer than memory.
  store_->set(app_property(kTokenTextProperty), "newer-stored");
  store_->set(app_property(kTokenTimeProperty), std::to_string(now_ms() + 600000));
  app_->get_token(forced(), false);
  EXPECT_EQ(request_of_post(2).previous, "newer-stored");
}

TEST_F(TokenTest, FirstCallCollectsOnCallersThreadLaterOnesOnNetworkThread) {
  sdk_->answer_always(sealed("ok_uuid.zip"));
  app_->get_token(gm(), false);
  app_->get_token(forced(), false);
  std::vector<std::thread::id> collectors = sdk_->collect_threads();
  std::vector<PostRecord> posts = sdk_->posts();
  ASSERT_EQ(collectors.size(), 2u);
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_EQ(collectors[0], std::this_thread::get_id());
  EXPECT_NE(posts[0].thread, std::this_thread::get_id());
  EXPECT_NE(collectors[1], std::this_thread::get_id());
  EXPECT_EQ(collectors[1], posts[1].thread);  // built and posted on the network thread
}

// ----------------------------------------------------------- error codes

struct ErrorCase {
  const char* name;
  Answer (*answer)();
  int32_t code;
};

// Names the case in test listings (instead of its bytes).
void PrintTo(const ErrorCase& error, std::ostream* out) { *out << error.name; }

Answer sealed_file(const char* file) {
  return Answer::with_body(testing::ref_gm_seal(kKey, testing::answer_file(file)));
}

const ErrorCase kErrorCases[] = {
    {"no_response", []() { return Answer::none(); }, -1001},
    {"post_throws", []() { return Answer::throwing(); }, -1001},
    {"post_throws_other", []() { return Answer::throwing(false); }, -1001},
    {"empty_body", []() { return Answer::with_body(""); }, -1002},
    {"partial_block", []() { return Answer::with_body(std::string(61, 'x')); }, -1002},
    {"sealed_non_zip",
     []() { return Answer::with_body(testing::ref_gm_seal(kKey, "no archive here")); }, -1003},
    {"entry_named_Data", []() { return sealed_file("wrong_entry.zip"); }, -1003},
    {"empty_entry", []() { return sealed_file("empty_entry.zip"); }, -1003},
    {"not_a_message", []() { return sealed_file("not_message.zip"); }, -1005},
    {"no_status", []() { return sealed_file("no_status.zip"); }, -1005},
    {"body_not_payload", []() { return sealed_file("bad_payload.zip"); }, -1005},
    {"status_10001", []() { return sealed_file("status_10001.zip"); }, -1006},
    {"command_1001", []() { return sealed_file("command_1001.zip"); }, -1006},
    {"empty_response_body", []() { return sealed_file("empty_body.zip"); }, -1006},
    {"empty_token", []() { return sealed_file("empty_token.zip"); }, -1006},
    {"status_10006", []() { return sealed_file("status_10006.zip"); }, -1008},
};

class TokenErrorTest : public TokenTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(TokenErrorTest, CodeStandsInTheNextDegradeTokenUntilASuccess) {
  const ErrorCase& error = GetParam();
  // A good token first: the failed forced refresh drops it from memory.
  sdk_->queue(sealed("ok_no_uuid.zip"));
  ASSERT_EQ(app_->get_token(gm(), false).state, TokenState::FETCHED);
  sdk_->queue(error.answer());

  TokenRecord token = app_->get_token(forced(), false);
  EXPECT_EQ(last_request_error.load(), error.code);
  EXPECT_TRUE(log_.contains("fai to get token from server"));
  ASSERT_EQ(token.state, TokenState::DEGRADED);
  std::vector<std::string> fields = split_token(token.ulvok);
  ASSERT_EQ(fields.size(), 6u);
  EXPECT_EQ(fields[5], std::to_string(error.code));
  EXPECT_EQ(split_token(app_->degrade_token(gm()).ulvok)[5], std::to_string(error.code));

  // The good token is still stored; a success resets the code.
  EXPECT_EQ(app_->get_token(gm(), true).state, TokenState::STORED);
  sdk_->queue(sealed("ok_uuid.zip"));
  EXPECT_EQ(app_->get_token(forced(), false).state, TokenState::FETCHED);
  EXPECT_EQ(last_request_error.load(), 0);
  EXPECT_EQ(split_token(app_->degrade_token(gm()).ulvok)[5], "0");
}

INSTANTIATE_TEST_SUITE_P(EveryAnswer, TokenErrorTest, ::testing::ValuesIn(kErrorCases),
                         [](const ::testing::TestParamInfo<ErrorCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(TokenTest, TransportFailureIsLoggedWithItsAddress) {
  app_->get_token(gm(), false);
  EXPECT_TRUE(log_.contains("Risk Server Response: fail -1001 for https://token.test/udid/m1"));
  EXPECT_EQ(log_.count_prefix("http cost "), 1u);
}

TEST(TokenAnswerTest, EmptyPayloadFromTheTransportIsMinus1004) {
  // post_request reports an empty entry itself (-1003); the check behind it
  // still classifies an empty answer.
  EXPECT_EQ(read_token_answer(0, "").code, kTokenEmptyAnswer);
  EXPECT_EQ(read_token_answer(kPostNoArchiveEntry, "").code, kPostNoArchiveEntry);
  EXPECT_EQ(read_token_answer(kPostDecryptFailed, "ignored").code, kPostDecryptFailed);
}

TEST(TokenAnswerTest, ReadsTokenAndUuidOfAProtocEncodedAnswer) {
  TokenAnswer answer =
      read_token_answer(0, testing::ref_unzip(testing::answer_file("ok_uuid.zip")));
  EXPECT_EQ(answer.code, 0);
  EXPECT_EQ(answer.ulvok, "svc-token-0001");
  EXPECT_EQ(answer.uuid, "6f1c0d2e-9a8b-4c7d-8e6f-5a4b3c2d1e0f");
}

// Hand-written TokenResponse bytes: command 1002 (08 EA 07), the body as
// field 2 (12 <length> ...), status 0 (18 00).
std::string response_bytes(const std::string& body, const std::string& extra = "") {
  return std::string("\x08\xEA\x07\x12", 4) + static_cast<char>(body.size()) + body +
         std::string("\x18\x00", 2) + extra;
}
// TokenPayload { 1: ulvok, 2: uuid }, each shorter than 128 bytes.
std::string payload_bytes(const std::string& ulvok, const std::string& uuid = "") {
  std::string out = "\x0A" + std::string(1, static_cast<char>(ulvok.size())) + ulvok;
  if (!uuid.empty()) out += "\x12" + std::string(1, static_cast<char>(uuid.size())) + uuid;
  return out;
}
// count unknown fields of two bytes: field 15, varint 0 (78 00).
std::string two_byte_fields(size_t count) {
  std::string out;
  for (size_t i = 0; i < count; ++i) out.append("\x78\x00", 2);
  return out;
}

TEST(FieldLimitTest, CountsWellFormedFieldsAndRefusesTheRest) {
  struct Case {
    const char* what;
    std::string bytes;
    bool within;
  };
  const std::vector<Case> cases = {
      {"empty", "", true},
      {"a valid answer", response_bytes(payload_bytes("tok")), true},
      {"sixteen fields", two_byte_fields(16), true},
      {"seventeen fields", two_byte_fields(17), false},
      {"fixed64 and fixed32",
       std::string("\x09"
                   "12345678"
                   "\x15"
                   "1234",
                   14),
       true},
      {"fixed64 cut short",
       std::string("\x09"
                   "1234567",
                   8),
       false},
      {"length beyond the end",
       std::string("\x12\x05"
                   "abcd",
                   6),
       false},
      {"length of 2^64 - 1", std::string("\x12\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x01", 11),
       false},
      {"varint of eleven bytes", std::string("\x08") + std::string(10, '\x80') + '\x00', false},
      {"varint cut short", std::string("\x08\x80", 2), false},
      {"field number 0", std::string("\x00\x00", 2), false},
      {"start group", std::string("\x0B\x0C", 2), false},
      {"wire type 7", std::string("\x0F\x00", 2), false},
      {"tag of six bytes", std::string("\x80\x80\x80\x80\x80\x01\x00", 7), false},
  };
  for (const Case& c : cases) {
    const auto* data = reinterpret_cast<const uint8_t*>(c.bytes.data());
    EXPECT_EQ(within_field_limit(data, c.bytes.size(), kMaxAnswerFields), c.within) << c.what;
  }
}

// Two million two-byte fields once cost 170 MiB to unpack; the scan
// refuses them first, and a message at the limit still opens.
TEST(TokenAnswerTest, MessagesOfTooManyFieldsAreRefusedBeforeUnpacking) {
  const std::string token_payload = payload_bytes("tok-0001");
  TokenAnswer many = read_token_answer(0, response_bytes(token_payload, two_byte_fields(2000000)));
  EXPECT_EQ(many.code, kTokenBadMessage);
  EXPECT_NE(many.refusal, nullptr);
  TokenAnswer at_limit = read_token_answer(0, response_bytes(token_payload, two_byte_fields(13)));
  EXPECT_EQ(at_limit.code, 0);
  EXPECT_EQ(at_limit.ulvok, "tok-0001");
  TokenAnswer payload_many =
      read_token_answer(0, response_bytes(token_payload + two_byte_fields(16)));
  EXPECT_EQ(payload_many.code, kTokenBadMessage);
}

TEST(TokenAnswerTest, TokensOutsideOneToFortyBytesAreBadAnswers) {
  EXPECT_EQ(read_token_answer(0, response_bytes(payload_bytes(std::string(40, 't')))).ulvok,
            std::string(40, 't'));
  EXPECT_EQ(read_token_answer(0, response_bytes(payload_bytes(std::string(41, 't')))).code,
            kTokenRefused);
  EXPECT_EQ(read_token_answer(0, response_bytes(payload_bytes(""))).code, kTokenRefused);
}

TEST(TokenAnswerTest, InstallationIdsThatAreNotIdentifiersAreDroppedTheTokenKept) {
  struct Case {
    std::string uuid;
    bool kept;
  };
  const std::vector<Case> cases = {
      {"6f1c0d2e-9a8b-4c7d-8e6f-5a4b3c2d1e0f", true},
      {"0123456789abcdefABCDEF_-", true},
      {std::string(64, 'a'), true},
      {std::string(65, 'a'), false},
      {"../../etc/passwd", false},
      {"id with spaces", false},
      {std::string("id\x01", 3), false},
  };
  for (const Case& c : cases) {
    TokenAnswer answer = read_token_answer(0, response_bytes(payload_bytes("tok", c.uuid)));
    EXPECT_EQ(answer.code, 0) << c.uuid;
    EXPECT_EQ(answer.ulvok, "tok") << c.uuid;
    EXPECT_EQ(answer.uuid, c.kept ? c.uuid : "") << c.uuid;
    EXPECT_EQ(answer.refusal != nullptr, !c.kept) << c.uuid;
  }
}

// ------------------------------------------------- force, clear, events

TEST_F(TokenTest, UsableTokenIsRefreshedWhenTheEventCountChanges) {
  sdk_->answer_always(sealed("ok_uuid.zip"));
  app_->get_token(gm(), false);
  app_->get_token(gm(), false);
  EXPECT_EQ(sdk_->post_count(), 1u);
  sdk_->event_list()->add_event(7, 1, "guard");
  app_->get_token(gm(), false);
  EXPECT_EQ(sdk_->post_count(), 2u);
  EXPECT_TRUE(log_.contains("pre:0 after:1"));
  app_->get_token(gm(), false);
  EXPECT_EQ(sdk_->post_count(), 2u);
}

TEST_F(TokenTest, ForceRefreshIsTrueInAnyCaseWithSpacesButNotYes) {
  sdk_->answer_always(sealed("ok_uuid.zip"));
  app_->get_token(gm(), false);
  app_->get_token(gm({{"PRIVATE_FORCE_REFRESH", "yes"}}), false);
  EXPECT_EQ(sdk_->post_count(), 1u);
  EXPECT_TRUE(log_.contains("need_force_refresh: 0"));
  app_->get_token(gm({{"PRIVATE_FORCE_REFRESH", " TRUE "}}), false);
  EXPECT_EQ(sdk_->post_count(), 2u);
  EXPECT_TRUE(log_.contains("need_force_refresh: 1"));
  EXPECT_TRUE(log_.contains("force_refresh set to true, force refresh token from server"));
}

TEST_F(TokenTest, ClearTokenForcesAnExchangeWithClearInAnyCase) {
  sdk_->answer_always(sealed("ok_uuid.zip"));
  app_->get_token(gm(), false);
  app_->get_token(gm({{"PRIVATE_CLEAR_TOKEN", "Clear"}}), false);
  EXPECT_EQ(sdk_->post_count(), 2u);
  EXPECT_EQ(log_.count("PRIVATE_CLEAR_TOKEN set to force refresh token from server"), 1u);
  app_->get_token(gm({{"PRIVATE_CLEAR_TOKEN", "on"}}), false);
  EXPECT_EQ(sdk_->post_count(), 2u);
}

TEST_F(TokenTest, ForSignNeverStartsAnExchangeWhileATokenIsUsable) {
  sdk_->answer_always(sealed("ok_uuid.zip"));
  app_->get_token(gm(), false);
  sdk_->event_list()->add_event(7, 1, "guard");
  log_.clear();
  TokenRecord token = app_->get_token(
      gm({{"PRIVATE_FORCE_REFRESH", "true"}, {"PRIVATE_CLEAR_TOKEN", "clear"}}), true);
  EXPECT_EQ(token.state, TokenState::STORED);
  EXPECT_EQ(token.ulvok, "svc-token-0001");
  EXPECT_EQ(sdk_->post_count(), 1u);
  EXPECT_TRUE(log_.contains("need_force_refresh: 1"));
  EXPECT_FALSE(log_.contains("PRIVATE_CLEAR_TOKEN set to force refresh token from server"));
  EXPECT_EQ(log_.count_prefix("pre:"), 0u);
}

TEST(ParamFlagTest, ReadsTrueAndClear) {
  EXPECT_FALSE(param_flag({}, "PRIVATE_FORCE_REFRESH"));
  EXPECT_TRUE(param_flag({{"PRIVATE_FORCE_REFRESH", "\t True \n"}}, "PRIVATE_FORCE_REFRESH"));
  EXPECT_FALSE(param_flag({{"PRIVATE_FORCE_REFRESH", "1"}}, "PRIVATE_FORCE_REFRESH"));
  EXPECT_FALSE(param_flag({{"PRIVATE_FORCE_REFRESH", "clear"}}, "PRIVATE_FORCE_REFRESH"));
  EXPECT_TRUE(param_flag({{"PRIVATE_CLEAR_TOKEN", " CLEAR"}}, "PRIVATE_CLEAR_TOKEN"));
  EXPECT_TRUE(param_flag({{"PRIVATE_CLEAR_TOKEN", "true"}}, "PRIVATE_CLEAR_TOKEN"));
  EXPECT_FALSE(param_flag({{"PRIVATE_CLEAR_TOKEN", "cleared"}}, "PRIVATE_CLEAR_TOKEN"));
}

TEST(ServiceAddressTest, SchemeAndHostGainThePathOthersStayAsGiven) {
  EXPECT_EQ(service_address("https://h.test", kTokenServiceUrl, kTokenServicePath),
            "https://h.test/udid/m1");
  EXPECT_EQ(service_address("https://h.test:8443", kTokenServiceUrl, kTokenServicePath),
            "https://h.test:8443/udid/m1");
  EXPECT_EQ(service_address("https://h.test/", kTokenServiceUrl, kTokenServicePath),
            "https://h.test/");
  EXPECT_EQ(service_address("https://h.test/x", kTokenServiceUrl, kTokenServicePath),
            "https://h.test/x");
  EXPECT_EQ(service_address("h.test", kTokenServiceUrl, kTokenServicePath), "h.test");
  EXPECT_EQ(service_address("", kTokenServiceUrl, kTokenServicePath), kTokenServiceUrl);
}

TEST_F(TokenTest, WithoutKeyUrlTheBuiltInServiceIsAsked) {
  app_->get_token({{"KEY_MANAGER_ALGORITHM", "gm"}}, false);
  ASSERT_EQ(sdk_->post_count(), 1u);
  EXPECT_TRUE(has_prefix(sdk_->posts()[0].url, std::string(kTokenServiceUrl) + "?sign="));
  // The built-in host can never resolve, and the log says which setting is missing.
  EXPECT_TRUE(has_prefix(sdk_->posts()[0].url, "https://token.quon-risk.invalid/"));
  EXPECT_TRUE(
      log_.contains("KEY_URL is not set: the built-in address "
                    "https://token.quon-risk.invalid/udid/m1 never resolves"));
}

// ---------------------------------------------------------------- pacing

using PacingTest = TokenTest;

TEST_F(PacingTest, SeventeenthStartInAMinuteIsRefusedWithoutWaiting) {
  sdk_->answer_always(sealed("ok_uuid.zip"));
  for (int i = 0; i < 16; ++i) {
    ASSERT_EQ(app_->get_token(forced(), false).state, TokenState::FETCHED);
  }
  ASSERT_EQ(sdk_->post_count(), 16u);
  EXPECT_FALSE(log_.contains("qpm(16) > 15, blocking"));

  // The longest wait there is; the refused call must not spend it.
  const auto start = std::chrono::steady_clock::now();
  TokenRecord refused = app_->get_token(forced({{"KEY_DELAY_MS_TIME", "30000"}}), false);
  EXPECT_LT(elapsed_ms(start), 20000);
  EXPECT_TRUE(log_.contains("qpm(16) > 15, blocking"));
  EXPECT_TRUE(log_.contains("fail to create network thread, notify other waiting threads"));
  EXPECT_FALSE(log_.contains("timeout(2) !"));
  EXPECT_EQ(sdk_->post_count(), 16u);
  EXPECT_EQ(refused.state, TokenState::FETCHED);  // the memory record

  // Clearing the token lifts the block, and that start is recorded too.
  app_->get_token(forced({{"PRIVATE_CLEAR_TOKEN", "clear"}}), false);
  EXPECT_TRUE(
      log_.contains("qpm(16) > 15 with PRIVATE_CLEAR_TOKEN, allow refresh token from server"));
  EXPECT_EQ(sdk_->post_count(), 17u);
  app_->get_token(forced(), false);
  EXPECT_TRUE(log_.contains("qpm(17) > 15, blocking"));
  EXPECT_EQ(sdk_->post_count(), 17u);
}

TEST(PacingRingTest, CountsStartsOfTheLastSixtySeconds) {
  const int64_t now = 1700000000000000;
  int64_t ring[RiskApp::kRequestRingSize] = {};
  EXPECT_EQ(count_recent_starts(ring, RiskApp::kRequestRingSize, now), 0);
  ring[0] = now;                  // counts
  ring[1] = now - 59999999;       // counts
  ring[2] = now - kRateWindowUs;  // exactly a minute old: does not
  ring[3] = now + 3600000000;     // in the future (clock set back): counts
  ring[4] = 1;                    // long ago
  EXPECT_EQ(count_recent_starts(ring, RiskApp::kRequestRingSize, now), 3);
}

TEST(PacingDelayTest, DelayOptionIsClampedAndDefaulted) {
  auto wait = [](const char* value) {
    return exchange_wait_ms(value == nullptr ? StringMap()
                                             : StringMap{{"KEY_DELAY_MS_TIME", value}});
  };
  EXPECT_EQ(wait(nullptr), 5000);
  EXPECT_EQ(wait(""), 5000);
  EXPECT_EQ(wait("100"), 100);
  EXPECT_EQ(wait(" 250ms"), 250);
  EXPECT_EQ(wait("30000"), 30000);
  EXPECT_EQ(wait("45000"), 30000);
  EXPECT_EQ(wait("99999999999999999999"), 30000);
  EXPECT_EQ(wait("0"), 5000);
  EXPECT_EQ(wait("-5"), 5000);
  EXPECT_EQ(wait("abc"), 5000);
}

TEST_F(PacingTest, CallersWaitTheirOwnDelayForAnExchangeThatNeverEnds) {
  sdk_->answer_always(Answer::hold());
  auto start = std::chrono::steady_clock::now();
  TokenRecord token = app_->get_token(gm({{"KEY_DELAY_MS_TIME", "100"}}), false);
  int64_t waited = elapsed_ms(start);
  EXPECT_EQ(token.state, TokenState::DEGRADED);
  EXPECT_TRUE(log_.contains("timeout(2) !"));
  EXPECT_GE(waited, 100);
  EXPECT_LT(waited, 4000);  // well before the next level, 5000
  ASSERT_TRUE(sdk_->wait_for_held(1));

  // A second caller joins the exchange under way, starts nothing, and waits
  // its own delay ("abc" reads as the default).
  start = std::chrono::steady_clock::now();
  token = app_->get_token(gm({{"KEY_DELAY_MS_TIME", "abc"}}), false);
  waited = elapsed_ms(start);
  EXPECT_EQ(token.state, TokenState::DEGRADED);
  EXPECT_GE(waited, 5000);
  EXPECT_LT(waited, 25000);  // well before 30000
  EXPECT_EQ(sdk_->post_count(), 1u);
  EXPECT_EQ(log_.count("timeout(2) !"), 2u);
}

TEST_F(PacingTest, ConcurrentCallersShareOneExchangeAndAllWakeWhenItEnds) {
  constexpr int kCallers = 8;
  // An exchange under way that this test ends when it chooses.
  sdk_->queue(Answer::hold());
  TokenRecord first = app_->get_token(forced({{"KEY_DELAY_MS_TIME", "100"}}), false);
  EXPECT_EQ(first.state, TokenState::DEGRADED);
  ASSERT_TRUE(sdk_->wait_for_held(1));

  std::vector<TokenRecord> results(kCallers);
  std::vector<std::thread> callers;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kCallers; ++i) {
    callers.emplace_back([this, &results, i]() {
      results[i] = app_->get_token(forced({{"KEY_DELAY_MS_TIME", "30000"}}), false);
    });
  }
  ASSERT_TRUE(log_.wait_for("both memory / stored token are invalid", kCallers + 1));
  // Let every caller reach its wait; they all find the exchange in flight.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  // The held post ends with no answer; later posts would answer with a token.
  sdk_->answer_always(sealed("ok_uuid.zip"));
  sdk_->release_posts();
  for (std::thread& caller : callers) caller.join();

  EXPECT_LT(elapsed_ms(start), 25000);        // woken, not timed out
  EXPECT_EQ(log_.count("timeout(2) !"), 1u);  // only the first caller's
  EXPECT_EQ(sdk_->post_count(), 1u);
  for (const TokenRecord& result : results) {
    EXPECT_EQ(result.state, TokenState::DEGRADED);
    EXPECT_EQ(split_token(result.ulvok).back(), "-1001");
  }
}

TEST_F(PacingTest, CallerStillCollectingWhenAnExchangeEndsTakesItsToken) {
  sdk_->answer_always(sealed("ok_uuid.zip"));
  // The first caller looks at the records, then its collection is held.
  sdk_->hold_collection(0);
  TokenRecord slow;
  std::thread caller([this, &slow]() { slow = app_->get_token(gm(), false); });
  ASSERT_TRUE(sdk_->wait_for_collections(1));
  // Meanwhile a second caller collects, exchanges and gets the token.
  TokenRecord quick = app_->get_token(gm(), false);
  ASSERT_EQ(quick.state, TokenState::FETCHED);
  // The first caller found no token when it looked, yet it starts no
  // second exchange for the token that landed since.
  sdk_->release_collection();
  caller.join();
  EXPECT_EQ(sdk_->post_count(), 1u);
  EXPECT_EQ(slow.state, TokenState::FETCHED);
  EXPECT_EQ(slow.ulvok, quick.ulvok);
  EXPECT_TRUE(log_.contains("token fetched since this call began, no exchange started"));

  // A call that looks after the exchange and is forced still asks anew.
  EXPECT_EQ(app_->get_token(forced(), false).state, TokenState::FETCHED);
  EXPECT_EQ(sdk_->post_count(), 2u);
}

TEST_F(PacingTest, ConcurrentCallersGetTheTokenOfTheOneExchange) {
  constexpr int kCallers = 6;
  sdk_->answer_always(Answer::late(sealed("ok_uuid.zip"), std::chrono::milliseconds(300)));
  std::vector<TokenRecord> results(kCallers);
  std::vector<std::thread> callers;
  for (int i = 0; i < kCallers; ++i) {
    callers.emplace_back([this, &results, i]() {
      results[i] = app_->get_token(gm({{"KEY_DELAY_MS_TIME", "30000"}}), false);
    });
  }
  for (std::thread& caller : callers) caller.join();
  // Callers that came after the exchange ended found the memory token, and
  // those that raced the first took the token it left.
  EXPECT_EQ(sdk_->post_count(), 1u);
  EXPECT_FALSE(log_.contains("timeout(2) !"));
  for (const TokenRecord& result : results) {
    EXPECT_EQ(result.state, TokenState::FETCHED);
    EXPECT_EQ(result.ulvok, "svc-token-0001");
  }
}

// ------------------------------------------------ failures on every thread

struct FaultCase {
  const char* name;
  CollectorFault fault;
  const char* logged;
};

void PrintTo(const FaultCase& fault, std::ostream* out) { *out << fault.name; }

const FaultCase kFaultCases[] = {
    {"std_exception", CollectorFault::kStdException, "collect failed: collector exploded"},
    {"other_exception", CollectorFault::kOtherException, "collect failed: unknown exception"},
    {"thread_not_started", CollectorFault::kSystemError, nullptr},
};

class CollectFaultTest : public TokenTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(CollectFaultTest, ThrowingCollectorStillSendsWhatWasCollected) {
  sdk_->set_collector_fault(GetParam().fault);
  sdk_->answer_always(sealed("ok_uuid.zip"));
  // On the caller's thread (first call), then on the network thread.
  EXPECT_EQ(app_->get_token(gm(), false).state, TokenState::FETCHED);
  EXPECT_EQ(app_->get_token(forced(), false).state, TokenState::FETCHED);
  ASSERT_EQ(sdk_->post_count(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    ReadRequest request = request_of_post(i);
    ASSERT_TRUE(request.ok);
    EXPECT_EQ(request.data[FakeSdk::kIdentityKey], FakeSdk::kIdentityValue);
    EXPECT_EQ(request.data[FakeSdk::kModelKey], FakeSdk::kModelValue);
    EXPECT_EQ(request.data.count(FakeSdk::kLaterKey), 0u);
    EXPECT_EQ(request.data.count("K451"), 1u);
    EXPECT_EQ(request.data.count("K452"), 1u);
  }
  EXPECT_EQ(log_.count_prefix("collect failed: "), 2u);
  if (GetParam().logged != nullptr) {
    EXPECT_EQ(log_.count(GetParam().logged), 2u);
  }
  // The degrade token is built from what was collected as well.
  TokenRecord degraded = app_->degrade_token(gm());
  EXPECT_EQ(split_token(degraded.ulvok).size(), 6u);
}

INSTANTIATE_TEST_SUITE_P(EveryFault, CollectFaultTest, ::testing::ValuesIn(kFaultCases),
                         [](const ::testing::TestParamInfo<FaultCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(TokenTest, ThrowingPostOnNetworkThreadEndsTheExchangeAndWakesTheCaller) {
  sdk_->answer_always(Answer::throwing());
  const auto start = std::chrono::steady_clock::now();
  TokenRecord token = app_->get_token(gm({{"KEY_DELAY_MS_TIME", "30000"}}), false);
  EXPECT_LT(elapsed_ms(start), 20000);
  EXPECT_FALSE(log_.contains("timeout(2) !"));
  EXPECT_TRUE(log_.contains("token post failed: post exploded"));
  EXPECT_EQ(token.state, TokenState::DEGRADED);
  // The flag is clear: the next call starts an exchange again.
  app_->get_token(gm(), false);
  EXPECT_EQ(sdk_->post_count(), 2u);
}

TEST_F(TokenTest, ThreadGateClosedStartsNoNetworkThread) {
  sdk_->thread_gate().close_and_wait();
  TokenRecord token = app_->get_token(gm({{"KEY_DELAY_MS_TIME", "30000"}}), false);
  EXPECT_EQ(token.state, TokenState::DEGRADED);
  EXPECT_TRUE(log_.contains("fail to create network thread"));
  EXPECT_TRUE(log_.contains("fail to create network thread, notify other waiting threads"));
  EXPECT_FALSE(log_.contains("timeout(2) !"));
  app_->get_token(gm({{"KEY_DELAY_MS_TIME", "30000"}}), false);
  EXPECT_EQ(log_.count("fail to create network thread"), 2u);  // tried again, not stuck
  EXPECT_EQ(sdk_->post_count(), 0u);
}

TEST_F(TokenTest, UnreadableStoreCountsAsNoStoredToken) {
  sdk_->set_throw_in_properties(true);
  sdk_->answer_always(sealed("ok_uuid.zip"));
  TokenRecord token = app_->get_token(gm(), false);
  EXPECT_TRUE(log_.contains("fail to read stored token: store unavailable"));
  EXPECT_EQ(token.state, TokenState::FETCHED);
  EXPECT_EQ(sdk_->post_count(), 1u);
}

TEST_F(TokenTest, FailureOnTheCallersThreadStillGivesADegradeToken) {
  sdk_->set_throw_in_event_count(true);
  TokenRecord token = app_->get_token(gm(), false);
  EXPECT_TRUE(log_.contains("get token failed: event list unavailable"));
  EXPECT_EQ(token.state, TokenState::DEGRADED);
  std::vector<std::string> fields = split_token(token.ulvok);
  ASSERT_EQ(fields.size(), 6u);
  EXPECT_EQ(fields[1], kKey);
  EXPECT_EQ(fields[4], "gm");
  EXPECT_EQ(sdk_->post_count(), 0u);
}

}  // namespace
}  // namespace risk
