// Degrade tokens and business signs, opened with tools that are not ours:
// OpenSSL for Base64, SM4, SM3, MD5 and AES-256-ECB, zlib under a ZIP reader
// of the test's own for the archive, the protobuf-c runtime for the request.
// The legacy data field is opened with the library's XXTEA, which is checked
// against xxtea-node's vectors in crypto/.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/risk_sdk.h"
#include "core/testing/fake_platform.h"
#include "core/testing/reference.h"
#include "core/testing/request_reader.h"
#include "core/token.h"
#include "crypto/block_cipher.h"

namespace risk {
namespace {

using testing::Answer;
using testing::FakeApp;
using testing::FakeSdk;
using testing::LogCapture;
using testing::PostRecord;
using testing::ReadRequest;

constexpr char kKey[] = "degrade-test-key";
constexpr char kTokenUrl[] = "https://token.test";

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

bool only_url_safe_base64(const std::string& text) {
  for (char c : text) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string legacy_open(const std::string& key_text, const std::string& sealed) {
  return XXTEA_Decrypt(sealed, testing::ref_legacy_key(key_text));
}

class DegradeTokenTest : public ::testing::Test {
 protected:
  void SetUp() override {
    last_request_error.store(0);
    sdk_ = std::make_unique<FakeSdk>();
    app_ = sdk_->app(kKey);
    ASSERT_NE(app_, nullptr);
  }
  void TearDown() override { sdk_.reset(); }

  LogCapture log_;
  std::unique_ptr<FakeSdk> sdk_;
  FakeApp* app_ = nullptr;
};

TEST_F(DegradeTokenTest, GmTokenCarriesTheSealedRequestThatWasPosted) {
  TokenRecord token =
      app_->get_token({{"KEY_MANAGER_ALGORITHM", "gm"}, {"KEY_URL", kTokenUrl}}, false);
  ASSERT_EQ(token.state, TokenState::DEGRADED);
  ASSERT_EQ(sdk_->post_count(), 1u);

  std::vector<std::string> fields = split_token(token.ulvok);
  ASSERT_EQ(fields.size(), 6u) << token.ulvok;
  EXPECT_TRUE(only_url_safe_base64(fields[0]));
  EXPECT_EQ(token.ulvok.find('='), std::string::npos);
  EXPECT_EQ(token.ulvok.find("!!"), std::string::npos);
  EXPECT_EQ(fields[1], kKey);
  EXPECT_EQ(fields[3], RiskSdk::kSdkVersion);
  EXPECT_EQ(fields[4], "gm");
  EXPECT_EQ(fields[5], "-1001");

  const std::string carried =
      testing::ref_unzip(testing::ref_gm_open(kKey, testing::ref_base64url_decode(fields[0])));
  const std::string posted = testing::ref_unzip(testing::ref_gm_open(kKey, sdk_->posts()[0].body));
  ASSERT_FALSE(carried.empty());
  EXPECT_EQ(carried, posted);
  EXPECT_EQ(fields[2], testing::ref_hex(testing::ref_digest(EVP_sm3(), kKey + carried + kKey)));
  EXPECT_TRUE(testing::read_request(carried).ok);
}

TEST_F(DegradeTokenTest, LegacyTokenCarriesTheSealedRequestThatWasPosted) {
  TokenRecord token = app_->get_token({{"KEY_URL", kTokenUrl}}, false);
  ASSERT_EQ(token.state, TokenState::DEGRADED);
  ASSERT_EQ(sdk_->post_count(), 1u);

  std::vector<std::string> fields = split_token(token.ulvok);
  ASSERT_EQ(fields.size(), 6u) << token.ulvok;
  EXPECT_TRUE(only_url_safe_base64(fields[0]));
  EXPECT_EQ(token.ulvok.find('='), std::string::npos);
  EXPECT_NE(token.ulvok.find(std::string(RiskSdk::kSdkVersion) + "!!-1001"), std::string::npos);
  EXPECT_EQ(fields[4], "");

  const std::string carried =
      testing::ref_unzip(legacy_open(kKey, testing::ref_base64url_decode(fields[0])));
  const std::string posted = testing::ref_unzip(legacy_open(kKey, sdk_->posts()[0].body));
  ASSERT_FALSE(carried.empty());
  EXPECT_EQ(carried, posted);
  EXPECT_EQ(fields[2], testing::ref_hex(testing::ref_digest(EVP_md5(), kKey + carried + kKey)));
}

TEST_F(DegradeTokenTest, TokenOfTheCallCollectsButNeitherSendsNorCaches) {
  TokenRecord token = app_->degrade_token({{"KEY_MANAGER_ALGORITHM", "gm"}, {"channel", "beta"}});
  EXPECT_EQ(token.state, TokenState::DEGRADED);
  EXPECT_EQ(token.expires_at, 0);
  EXPECT_EQ(sdk_->post_count(), 0u);
  EXPECT_TRUE(sdk_->store().snapshot().empty());

  std::vector<std::string> fields = split_token(token.ulvok);
  ASSERT_EQ(fields.size(), 6u);
  const std::string carried =
      testing::ref_unzip(testing::ref_gm_open(kKey, testing::ref_base64url_decode(fields[0])));
  EXPECT_EQ(fields[2], testing::ref_hex(testing::ref_digest(EVP_sm3(), kKey + carried + kKey)));
  ReadRequest request = testing::read_request(carried);
  ASSERT_TRUE(request.ok);
  EXPECT_EQ(request.command, 1002);
  EXPECT_EQ(request.app_key, kKey);
  EXPECT_FALSE(request.has_previous);
  EXPECT_EQ(request.data[FakeSdk::kIdentityKey], FakeSdk::kIdentityValue);
  EXPECT_EQ(request.data["user_channel"], "beta");
  EXPECT_EQ(request.data.count("K451"), 0u);
  EXPECT_EQ(request.data.count("K452"), 0u);

  // Not cached: the first token call still builds its own request.
  app_->get_token({{"KEY_MANAGER_ALGORITHM", "gm"}}, false);
  ASSERT_EQ(sdk_->post_count(), 1u);
  ReadRequest sent =
      testing::read_request(testing::ref_unzip(testing::ref_gm_open(kKey, sdk_->posts()[0].body)));
  EXPECT_EQ(sent.data.count("K451"), 1u);
}

TEST_F(DegradeTokenTest, LastFieldIsZeroWhileTheNetworkThreadExchanges) {
  last_request_error.store(-1003);
  sdk_->answer_always(Answer::hold());
  TokenRecord token =
      app_->get_token({{"KEY_MANAGER_ALGORITHM", "gm"}, {"KEY_DELAY_MS_TIME", "100"}}, false);
  ASSERT_EQ(token.state, TokenState::DEGRADED);
  EXPECT_EQ(split_token(token.ulvok).back(), "0");
}

TEST_F(DegradeTokenTest, KeyFieldIsMadeUrlSafeButDataIsSealedWithTheRealKey) {
  const std::string key = "k+e/y=";
  FakeApp* app = sdk_->app(key);
  TokenRecord token = app->degrade_token({{"KEY_MANAGER_ALGORITHM", "gm"}});
  std::vector<std::string> fields = split_token(token.ulvok);
  ASSERT_EQ(fields.size(), 6u);
  EXPECT_EQ(fields[1], "k-e_y");
  const std::string carried =
      testing::ref_unzip(testing::ref_gm_open(key, testing::ref_base64url_decode(fields[0])));
  EXPECT_TRUE(testing::read_request(carried).ok);
}

TEST(UrlSafeTokenTest, ReplacesPlusAndSlashAndDropsEveryEquals) {
  EXPECT_EQ(url_safe_token(""), "");
  EXPECT_EQ(url_safe_token("a+b/c=="), "a-b_c");
  EXPECT_EQ(url_safe_token("=x=y!!0"), "xy!!0");
  EXPECT_EQ(url_safe_token("++//"), "--__");
}

TEST(IsDegradeTokenTest, TellsTokensApartByLength) {
  EXPECT_TRUE(is_degrade_token(""));
  EXPECT_FALSE(is_degrade_token("a"));
  EXPECT_FALSE(is_degrade_token(std::string(40, 'a')));
  EXPECT_TRUE(is_degrade_token(std::string(41, 'a')));
}

// ------------------------------------------------------------ business sign

class BusinessSignTest : public DegradeTokenTest {
 protected:
  // Opens a business sign of key_text and text with OpenSSL.
  static std::string open_sign(const std::string& key_text, const std::string& text,
                               const std::string& sign) {
    const std::string key =
        testing::ref_hex(testing::ref_digest(EVP_md5(), key_text + text + key_text));
    return testing::ref_ecb(EVP_aes_256_ecb(), false, key, testing::ref_base64_decode(sign));
  }
};

TEST_F(BusinessSignTest, OpensWithOpenSslToTheFieldsAsJsonText) {
  app_->set_sign_fields(
      {{"ulvok", "tok-1"}, {"K3000", "scene \"7\""}, {"timestamp", "1700000000000"}});
  const std::string sign = app_->business_sign("order-42", {});
  ASSERT_FALSE(sign.empty());
  EXPECT_EQ(sign.size() % 4, 0u);
  EXPECT_EQ(
      sign.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
      std::string::npos);
  EXPECT_EQ(open_sign(kKey, "order-42", sign),
            "{\"K3000\": \"scene \\\"7\\\"\", \"timestamp\": \"1700000000000\", "
            "\"ulvok\": \"tok-1\"}");
}

TEST_F(BusinessSignTest, DiffersBetweenApplicationKeys) {
  const StringMap fields = {{"ulvok", "tok-1"}};
  app_->set_sign_fields(fields);
  FakeApp* other = sdk_->app("another-key");
  other->set_sign_fields(fields);
  const std::string mine = app_->business_sign("text", {});
  const std::string theirs = other->business_sign("text", {});
  EXPECT_NE(mine, theirs);
  EXPECT_EQ(open_sign(kKey, "text", mine), "{\"ulvok\": \"tok-1\"}");
  EXPECT_EQ(open_sign("another-key", "text", theirs), "{\"ulvok\": \"tok-1\"}");
  EXPECT_NE(open_sign(kKey, "text", theirs), "{\"ulvok\": \"tok-1\"}");
  // The text is part of the key as well.
  EXPECT_NE(app_->business_sign("other text", {}), mine);
}

TEST_F(BusinessSignTest, NoFieldsSealAnEmptyObject) {
  EXPECT_EQ(open_sign(kKey, "", app_->business_sign("", {})), "{}");
}

TEST_F(BusinessSignTest, FailingFieldsGiveTheEmptyText) {
  app_->set_throw_in_fields(true);
  EXPECT_EQ(app_->business_sign("text", {}), "");
  EXPECT_TRUE(log_.contains("fail to build business sign: fields exploded"));
}

}  // namespace
}  // namespace risk
