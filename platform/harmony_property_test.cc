// Sealed SDK properties against OpenSSL's SM3, SM4-ECB and Base64: the
// stored texts must be what any other SM4 implementation writes and reads.
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include "gtest/gtest.h"
#include "platform/harmony_sdk.h"

namespace risk {
namespace {

std::string openssl_sm3(const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(data.data(), data.size(), out, &length, EVP_sm3(), nullptr);
  return std::string(reinterpret_cast<char*>(out), length);
}

// SM4-ECB with PKCS#7 padding, then Base64, all by OpenSSL.
std::string openssl_seal(const std::string& key, const std::string& plain) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::string sealed(plain.size() + 16, '\0');
  int n = 0;
  int tail = 0;
  EVP_EncryptInit_ex(ctx, EVP_sm4_ecb(), nullptr,
                     reinterpret_cast<const unsigned char*>(key.data()), nullptr);
  EVP_EncryptUpdate(ctx, reinterpret_cast<unsigned char*>(&sealed[0]), &n,
                    reinterpret_cast<const unsigned char*>(plain.data()),
                    static_cast<int>(plain.size()));
  EVP_EncryptFinal_ex(ctx, reinterpret_cast<unsigned char*>(&sealed[n]), &tail);
  EVP_CIPHER_CTX_free(ctx);
  sealed.resize(static_cast<size_t>(n + tail));
  std::string text(4 * ((sealed.size() + 2) / 3) + 1, '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                                      reinterpret_cast<const unsigned char*>(sealed.data()),
                                      static_cast<int>(sealed.size()));
  text.resize(static_cast<size_t>(written));
  return text;
}

TEST(PropertyKey, IsTheFirstSixteenBytesOfSm3OfAppNameDashName) {
  const std::pair<std::string, std::string> cases[] = {
      {"com.example", "key:Scene"},
      {"", ""},
      {std::string("a\0b", 3), std::string("n\0", 2)},
      {std::string(300, 'x'), "SITUATION_UP_TIME"},
  };
  for (const auto& c : cases) {
    const std::string key = property_key(c.first, c.second);
    EXPECT_EQ(key, openssl_sm3(c.first + "-" + c.second).substr(0, 16));
  }
}

class SealedProperty : public ::testing::Test {
 protected:
  void SetUp() override {
    seed_ = std::random_device{}();
    std::printf("seed %u\n", seed_);
    rng_.seed(seed_);
  }
  std::string random_text(size_t length) {
    std::string text(length, '\0');
    for (char& c : text) c = static_cast<char>(rng_() & 0xff);
    return text;
  }
  uint32_t seed_ = 0;
  std::mt19937 rng_;
};

TEST_F(SealedProperty, StoredTextIsOpenSslSm4EcbInBase64AndOpensBack) {
  for (size_t length = 1; length <= 49; ++length) {
    const std::string value = random_text(length);
    const std::string name = "app-key:" + std::to_string(length);
    const std::string stored = seal_property("com.example", name, value);
    EXPECT_EQ(stored, openssl_seal(property_key("com.example", name), value))
        << "length " << length;
    EXPECT_EQ(open_property("com.example", name, stored), value) << "length " << length;
  }
}

TEST_F(SealedProperty, AnotherApplicationNameDoesNotReadTheValue) {
  const std::string value = "token-" + random_text(26);
  const std::string stored = seal_property("com.example.one", "k:ulvok", value);
  EXPECT_NE(open_property("com.example.two", "k:ulvok", stored), value);
  EXPECT_NE(open_property("com.example.one", "other:ulvok", stored), value);
}

TEST_F(SealedProperty, EmptyValuesAndUnreadableTextsGiveTheEmptyString) {
  EXPECT_EQ(seal_property("app", "k", ""), "");
  EXPECT_EQ(open_property("app", "k", ""), "");
  EXPECT_EQ(open_property("app", "k", "not base64!"), "");
  EXPECT_EQ(open_property("app", "k", "AAAA"), "");  // 3 bytes: no whole block
  // Every cut of a stored text either fails or is not the value.
  const std::string value = random_text(40);
  const std::string stored = seal_property("app", "k", value);
  for (size_t cut = 0; cut < stored.size(); ++cut) {
    EXPECT_NE(open_property("app", "k", stored.substr(0, cut)), value) << "cut " << cut;
  }
}

}  // namespace
}  // namespace risk
