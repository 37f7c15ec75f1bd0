// The situation request against the fake platform: the error counter, the
// address rule, the sealed body (opened with OpenSSL and zlib), the token
// handed to the fields, and one on_server_event per report whatever fails.
#include "situation/situation_report.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "base/strings.h"
#include "core/risk_sdk.h"
#include "core/testing/fake_platform.h"
#include "core/testing/reference.h"
#include "core/token.h"
#include "crypto/block_cipher.h"

namespace risk {
namespace {

using testing::Answer;
using testing::FakeApp;
using testing::FakeSdk;
using testing::LogCapture;
using testing::PostRecord;

constexpr char kKey[] = "situation-test-key";
constexpr char kSituationUrl[] = "https://sit.test";
constexpr char kBody[] = "{\"os_type\": \"2\", \"version\": \"v4_9_2r_a07c3e51\"}";
constexpr char kAnswerText[] = "{\"level\": \"calm\", \"next\": 600}";

std::string app_property(const char* name) { return std::string(kKey) + ":" + name; }

class SituationReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sdk_ = std::make_unique<FakeSdk>();
    app_ = sdk_->app(kKey);
    ASSERT_NE(app_, nullptr);
    app_->set_situation_body(kBody);
  }
  void TearDown() override { sdk_.reset(); }

  static std::unique_ptr<StringMap> options(StringMap values) {
    return std::make_unique<StringMap>(std::move(values));
  }
  static StringMap gm() {
    return {{"KEY_MANAGER_ALGORITHM", "gm"}, {"KEY_SITUATION_URL", kSituationUrl}};
  }

  // Token exchanges fail; situation reports are answered when answer is set.
  // The answer is sealed here, on the test thread: OpenSSL keeps per-thread
  // state, which a library thread still ending when the test process exits
  // would leave behind as a leak.
  void answer_situation(bool answer) {
    const std::string sealed =
        answer ? testing::ref_gm_seal(kKey, testing::answer_file("situation_answer.zip")) : "";
    sdk_->respond_with([sealed](const std::string& url, const std::string&) {
      if (!sealed.empty() && url.find(kSituationServicePath) != std::string::npos) {
        return Answer::with_body(sealed);
      }
      return Answer::none();
    });
  }

  // The posts that were not token exchanges.
  std::vector<PostRecord> situation_posts() {
    std::vector<PostRecord> out;
    for (const PostRecord& post : sdk_->posts()) {
      if (post.url.find(kTokenServicePath) == std::string::npos) out.push_back(post);
    }
    return out;
  }

  std::string error_count() {
    return sdk_->store().get(app_property(kSituationErrorCountProperty));
  }

  LogCapture log_;
  std::unique_ptr<FakeSdk> sdk_;
  FakeApp* app_ = nullptr;
};

TEST_F(SituationReportTest, ErrorCountRisesWithEachEmptyAnswerAndResetsOnAnAnswer) {
  answer_situation(false);
  for (int i = 1; i <= 3; ++i) {
    const int64_t before = now_ms();
    app_->report_situation(options(gm()));
    const int64_t after = now_ms();
    EXPECT_EQ(error_count(), std::to_string(i));
    const long long up = std::stoll(sdk_->store().get(app_property(kSituationUpTimeProperty)));
    EXPECT_GE(up, before);
    EXPECT_LE(up, after);
  }
  answer_situation(true);
  app_->report_situation(options(gm()));
  EXPECT_EQ(error_count(), "0");

  const std::vector<std::string> events = app_->server_events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0], "");
  EXPECT_EQ(events[1], "");
  EXPECT_EQ(events[2], "");
  EXPECT_EQ(events[3], kAnswerText);
  EXPECT_EQ(situation_posts().size(), 4u);
}

TEST_F(SituationReportTest, StoredCounterIsReadByItsLeadingDigits) {
  sdk_->store().set(app_property(kSituationErrorCountProperty), "7x");
  app_->report_situation(options(gm()));
  EXPECT_EQ(error_count(), "8");
  sdk_->store().set(app_property(kSituationErrorCountProperty), "abc");
  app_->report_situation(options(gm()));
  EXPECT_EQ(error_count(), "1");
}

TEST(LeadingCountTest, ReadsDigitsUntilTheFirstOther) {
  EXPECT_EQ(leading_count(""), 0);
  EXPECT_EQ(leading_count("-3"), 0);
  EXPECT_EQ(leading_count(" 3"), 0);
  EXPECT_EQ(leading_count("42"), 42);
  EXPECT_EQ(leading_count("42abc7"), 42);
  EXPECT_EQ(leading_count("99999999999999999999999"), INT64_MAX);
}

TEST_F(SituationReportTest, AddressGainsThePathOnlyForSchemeAndHost) {
  const struct {
    const char* configured;  // null: option absent
    std::string posted_to;
  } kCases[] = {
      {"https://sit.test", "https://sit.test/udid/sa-m?sign="},
      {"https://sit.test:8443", "https://sit.test:8443/udid/sa-m?sign="},
      {"https://sit.test/", "https://sit.test/?sign="},
      {"https://sit.test/x/y", "https://sit.test/x/y?sign="},
      {"sit.test", "sit.test?sign="},
      {"", std::string(kSituationServiceUrl) + "?sign="},
      {nullptr, std::string(kSituationServiceUrl) + "?sign="},
  };
  size_t reports = 0;
  for (const auto& c : kCases) {
    StringMap values;
    if (c.configured != nullptr) values["KEY_SITUATION_URL"] = c.configured;
    app_->report_situation(options(values));
    std::vector<PostRecord> posts = situation_posts();
    ASSERT_EQ(posts.size(), ++reports);
    EXPECT_TRUE(has_prefix(posts.back().url, c.posted_to))
        << posts.back().url << " for " << (c.configured ? c.configured : "(absent)");
    EXPECT_EQ(posts.back().url.find("&alg="), std::string::npos);
  }
}

TEST_F(SituationReportTest, GmBodyIsTheFieldsSealedAndSigned) {
  app_->report_situation(options(gm()));
  std::vector<PostRecord> posts = situation_posts();
  ASSERT_EQ(posts.size(), 1u);
  const std::string sign =
      testing::ref_hex(testing::ref_digest(EVP_sm3(), std::string(kKey) + kBody + kKey));
  EXPECT_TRUE(has_prefix(posts[0].url, "https://sit.test/udid/sa-m?sign=" + sign + "&appKey="));
  EXPECT_NE(posts[0].url.find("&alg=gm"), std::string::npos);
  EXPECT_EQ(testing::ref_unzip(testing::ref_gm_open(kKey, posts[0].body)), kBody);
}

TEST_F(SituationReportTest, LegacyBodyIsTheFieldsSealedAndSigned) {
  app_->report_situation(options({{"KEY_SITUATION_URL", kSituationUrl}}));
  std::vector<PostRecord> posts = situation_posts();
  ASSERT_EQ(posts.size(), 1u);
  const std::string sign =
      testing::ref_hex(testing::ref_digest(EVP_md5(), std::string(kKey) + kBody + kKey));
  EXPECT_TRUE(has_prefix(posts[0].url, "https://sit.test/udid/sa-m?sign=" + sign + "&appKey="));
  const std::string zip = XXTEA_Decrypt(posts[0].body, testing::ref_legacy_key(kKey));
  EXPECT_EQ(testing::ref_unzip(zip), kBody);
}

TEST_F(SituationReportTest, HeldTokenIsHandedToTheFieldsWithoutAnExchange) {
  sdk_->queue(Answer::with_body(testing::ref_gm_seal(kKey, testing::answer_file("ok_uuid.zip"))));
  StringMap token_options = {{"KEY_MANAGER_ALGORITHM", "gm"}};
  ASSERT_EQ(app_->get_token(token_options, false).state, TokenState::FETCHED);
  sdk_->event_list()->add_event(1, 2, "changes the event count");
  app_->report_situation(options(gm()));
  EXPECT_EQ(sdk_->post_count(), 2u);  // the token exchange and the report
  std::vector<TokenRecord> tokens = app_->situation_tokens();
  ASSERT_EQ(tokens.size(), 1u);
  EXPECT_EQ(tokens[0].ulvok, "svc-token-0001");
  EXPECT_TRUE(is_usable(tokens[0], now_ms()));
}

TEST_F(SituationReportTest, WithoutTokenTheFieldsGetADegradeToken) {
  app_->report_situation(options(gm()));
  std::vector<TokenRecord> tokens = app_->situation_tokens();
  ASSERT_EQ(tokens.size(), 1u);
  EXPECT_EQ(tokens[0].state, TokenState::DEGRADED);
  EXPECT_EQ(app_->server_events().size(), 1u);
}

TEST_F(SituationReportTest, EmptyBodyIsLoggedAndSentAnyway) {
  app_->set_situation_body("");
  app_->report_situation(options(gm()));
  EXPECT_TRUE(log_.contains("QuonSituation request_str empty"));
  EXPECT_EQ(situation_posts().size(), 1u);
  EXPECT_EQ(app_->server_events().size(), 1u);
}

TEST_F(SituationReportTest, FailingFieldsStillEndInOneServerEvent) {
  app_->set_throw_in_fields(true);
  app_->report_situation(options(gm()));
  EXPECT_TRUE(log_.contains("situation request failed: fields exploded"));
  EXPECT_EQ(situation_posts().size(), 0u);
  EXPECT_EQ(error_count(), "1");
  EXPECT_FALSE(sdk_->store().get(app_property(kSituationUpTimeProperty)).empty());
  std::vector<std::string> events = app_->server_events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], "");
}

TEST_F(SituationReportTest, NullOptionsReportToTheBuiltInServiceWithTheLegacyScheme) {
  app_->report_situation(nullptr);
  std::vector<PostRecord> posts = situation_posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_TRUE(has_prefix(posts[0].url, std::string(kSituationServiceUrl) + "?sign="));
  EXPECT_TRUE(has_prefix(posts[0].url, "https://situation.quon-risk.invalid/"));
  EXPECT_EQ(log_.count_prefix("KEY_SITUATION_URL is not set (KEY_URL does not apply to reports): "
                              "the built-in address https://situation.quon-risk.invalid/udid/sa-m"),
            1u);
  EXPECT_EQ(app_->server_events().size(), 1u);
}

TEST_F(SituationReportTest, ScheduledReportRunsOnTheReportThread) {
  answer_situation(true);
  app_->schedule_situation_update(0, options(gm()));
  ASSERT_TRUE(app_->wait_for_server_events(1));
  EXPECT_EQ(app_->server_events()[0], kAnswerText);
  std::vector<PostRecord> posts = situation_posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_NE(posts[0].thread, std::this_thread::get_id());
  EXPECT_EQ(error_count(), "0");
}

TEST_F(SituationReportTest, ReportThreadWaitsForAHeldTokenExchangeThenReports) {
  // The token exchange of the report never answers; the report waits its
  // delay, reports with a degrade token, and the SDK still shuts down.
  sdk_->answer_always(Answer::hold());
  StringMap values = gm();
  values["KEY_DELAY_MS_TIME"] = "100";
  app_->schedule_situation_update(0, options(values));
  ASSERT_TRUE(sdk_->wait_for_held(2));  // the token exchange and the report
  sdk_->release_posts();
  ASSERT_TRUE(app_->wait_for_server_events(1));
  EXPECT_EQ(app_->server_events()[0], "");
  EXPECT_TRUE(log_.contains("timeout(2) !"));
}

}  // namespace
}  // namespace risk
