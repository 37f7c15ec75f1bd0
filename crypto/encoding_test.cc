#include "crypto/encoding.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "base/strings.h"

namespace risk {
namespace {

using Pieces = std::vector<std::string>;

std::string bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

std::string all_byte_values() {
  std::string s;
  for (int b = 0; b < 256; ++b) s += static_cast<char>(b);
  return s;
}

// OpenSSL's Base64 without line breaks, the independent reference.
std::string openssl_base64(const std::string& data) {
  std::vector<unsigned char> out(4 * ((data.size() + 2) / 3) + 1);
  const int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(data.data()),
                                static_cast<int>(data.size()));
  return std::string(reinterpret_cast<const char*>(out.data()), n);
}

TEST(Hex, WritesLowercaseHighNibbleFirst) {
  EXPECT_EQ("", hex_encode(""));
  EXPECT_EQ("00010a0f10abff", hex_encode(bytes({0x00, 0x01, 0x0a, 0x0f, 0x10, 0xab, 0xff})));
  const std::string all = hex_encode(all_byte_values());
  ASSERT_EQ(512u, all.size());
  EXPECT_EQ("7f80", all.substr(2 * 0x7f, 4));
}

// RFC 4648, section 10.
TEST(Base64, MatchesRfc4648Vectors) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(encoded, base64_encode(plain)) << plain;
    EXPECT_EQ(plain, base64_decode(encoded)) << encoded;
  }
}

TEST(Base64, EncodesOneTwoThreeBytesToFourCharacters) {
  EXPECT_EQ("QQ==", base64_encode("A"));
  EXPECT_EQ("QUI=", base64_encode("AB"));
  EXPECT_EQ("QUJD", base64_encode("ABC"));
  EXPECT_EQ("AA==", base64_encode(std::string(1, '\0')));
}

TEST(Base64, MatchesOpenSslAndRoundTripsRandomBytes) {
  const uint32_t seed = std::random_device{}();
  std::printf("base64 random seed: %u\n", seed);
  std::mt19937 rng(seed);
  for (size_t n = 0; n <= 300; ++n) {
    std::string data(n, '\0');
    for (auto& c : data) c = static_cast<char>(rng() & 0xff);
    const std::string encoded = base64_encode(data);
    ASSERT_EQ(4 * ((n + 2) / 3), encoded.size());
    ASSERT_EQ(openssl_base64(data), encoded) << "length " << n << ", seed " << seed;
    ASSERT_EQ(data, base64_decode(encoded)) << "length " << n << ", seed " << seed;
  }
  const std::string all = all_byte_values();
  EXPECT_EQ(all, base64_decode(openssl_base64(all)));
}

class Base64DecodeRules : public ::testing::Test {};

TEST_F(Base64DecodeRules, DecodesFinalGroupsOfOneTwoThreeBytes) {
  EXPECT_EQ("A", base64_decode("QQ=="));
  EXPECT_EQ("AB", base64_decode("QUI="));
  EXPECT_EQ("ABC", base64_decode("QUJD"));
}

TEST_F(Base64DecodeRules, IgnoresLowBitsThatDoNotFillAByte) {
  // "R" differs from "Q" only in bits that fall off the single byte.
  EXPECT_EQ("A", base64_decode("QR=="));
  EXPECT_EQ("AB", base64_decode("QUJ="));
}

TEST_F(Base64DecodeRules, RejectsCharactersOutsideTheAlphabet) {
  for (const char* text : {"QU-D", "QU_D", "QU D", "QUJ\nQUJD", "QUJD\r\n==", "QU.D", "QU:D",
                           "QU*D", "QU@D", "QU[D", "QU`D", "QU{D",
                           "QU\x7f"
                           "D",
                           "QU\xc3"
                           "D"}) {
    EXPECT_EQ("", base64_decode(text)) << text;
  }
  EXPECT_EQ("", base64_decode(std::string("QU\0D", 4)));
}

TEST_F(Base64DecodeRules, StopsAtTheFirstPadAndLeavesTheRestZero) {
  EXPECT_EQ(bytes({0x41, 0, 0, 0, 0, 0}), base64_decode("QQ==QUJD"));
  // Characters after the first "=" are not looked at, even invalid ones.
  EXPECT_EQ(bytes({0x41, 0, 0, 0, 0, 0}), base64_decode("QQ==-_ \n"));
  EXPECT_EQ(bytes({0x41, 0x42, 0x43, 0x41, 0, 0}), base64_decode("QUJDQQ=A"));
}

TEST_F(Base64DecodeRules, GivesEmptyWhenPadsLeaveNoBytes) {
  EXPECT_EQ("", base64_decode(""));
  EXPECT_EQ("", base64_decode("===="));
  EXPECT_EQ("", base64_decode("========"));
  EXPECT_EQ("", base64_decode("Q==="));
  EXPECT_EQ("", base64_decode("QQ======"));
}

// More than two trailing "=" shrink the result below what the groups before
// them hold; the decoder must stop writing at the end of the result.
TEST_F(Base64DecodeRules, ExcessPadsTruncateWithoutWritingPastTheResult) {
  EXPECT_EQ("AB", base64_decode("QUJD===="));
  EXPECT_EQ("ABC", base64_decode("QUJDQ==="));
  EXPECT_EQ("ABCABCAB", base64_decode("QUJDQUJDQUJD===="));
  // Results past the small-string buffer live on the heap, where
  // AddressSanitizer sees a write beyond them.
  std::string body;
  for (int i = 0; i < 10; ++i) body += "QUJD";
  std::string expected;
  for (int i = 0; i < 10; ++i) expected += "ABC";
  EXPECT_EQ(expected.substr(0, 28), base64_decode(body + "========"));
  EXPECT_EQ(expected.substr(0, 27), base64_decode(body + "============"));
  EXPECT_EQ(expected, base64_decode(body + "QQ==" + "===="));
}

// Lengths that are not a multiple of 4 are rejected; under AddressSanitizer
// this also proves that no byte is written beyond the result.
TEST_F(Base64DecodeRules, RejectsEveryLengthThatIsNotAMultipleOfFour) {
  const std::string encoded = base64_encode("The quick brown fox jumps over the lazy dog!");
  for (size_t n = 1; n <= encoded.size() + 3; ++n) {
    const std::string text =
        n <= encoded.size() ? encoded.substr(0, n) : encoded + std::string(n - encoded.size(), '=');
    if (n % 4 == 0) continue;
    EXPECT_EQ("", base64_decode(text)) << "length " << n;
  }
  for (const char* text : {"Q", "QQ", "QQ=", "QUJDQ", "QUJDQUI", "QUJDRA", "QUJDQQ=", "QUJD="}) {
    EXPECT_EQ("", base64_decode(text)) << text;
    EXPECT_EQ("", base64_decode(encoded + text)) << text;
  }
}

TEST(UrlEncode, KeepsUnreservedAndEscapesTheRestInUppercase) {
  EXPECT_EQ("a+b~c%2A", url_encode("a b~c*"));
  EXPECT_EQ("%C3%A9", url_encode("\xc3\xa9"));
  EXPECT_EQ("", url_encode(""));
  EXPECT_EQ("%00x", url_encode(std::string("\0x", 2)));
}

// Expected text: output of
//   python3 -c "import urllib.parse; print(urllib.parse.quote_plus(bytes(range(256))))"
// (Python 3.11; quote_plus keeps letters, digits and "_.-~" and writes a space as "+").
TEST(UrlEncode, MatchesPythonQuotePlusForEveryByte) {
  const char* expected =
      "%00%01%02%03%04%05%06%07%08%09%0A%0B%0C%0D%0E%0F%10%11%12%13%14%15%16%17%18%19%1A%1B%1C%1D"
      "%1E%1F+%21%22%23%24%25%26%27%28%29%2A%2B%2C-.%2F0123456789%3A%3B%3C%3D%3E%3F%40ABCDEFGHIJKLM"
      "NOPQRSTUVWXYZ%5B%5C%5D%5E_%60abcdefghijklmnopqrstuvwxyz%7B%7C%7D~%7F%80%81%82%83%84%85%86%87"
      "%88%89%8A%8B%8C%8D%8E%8F%90%91%92%93%94%95%96%97%98%99%9A%9B%9C%9D%9E%9F%A0%A1%A2%A3%A4%A5%"
      "A6"
      "%A7%A8%A9%AA%AB%AC%AD%AE%AF%B0%B1%B2%B3%B4%B5%B6%B7%B8%B9%BA%BB%BC%BD%BE%BF%C0%C1%C2%C3%C4%"
      "C5"
      "%C6%C7%C8%C9%CA%CB%CC%CD%CE%CF%D0%D1%D2%D3%D4%D5%D6%D7%D8%D9%DA%DB%DC%DD%DE%DF%E0%E1%E2%E3%"
      "E4"
      "%E5%E6%E7%E8%E9%EA%EB%EC%ED%EE%EF%F0%F1%F2%F3%F4%F5%F6%F7%F8%F9%FA%FB%FC%FD%FE%FF";
  EXPECT_EQ(expected, url_encode(all_byte_values()));
}

std::vector<std::string> split(const std::string& text, const std::string& delimiter) {
  std::set<std::string> out;
  split_to_set(text, delimiter, out);
  return std::vector<std::string>(out.begin(), out.end());
}

TEST(SplitToSet, KeepsEmptyPiecesExceptAfterTheLastDelimiter) {
  EXPECT_EQ(Pieces({"a", "b"}), split("a|b", "|"));
  EXPECT_EQ(Pieces({"", "a", "b"}), split("a||b", "|"));
  EXPECT_EQ(Pieces({"", "a"}), split("|a", "|"));
  EXPECT_EQ(Pieces({"a"}), split("a|", "|"));
  EXPECT_EQ(Pieces({""}), split("|", "|"));
  EXPECT_EQ(Pieces({}), split("", "|"));
  EXPECT_EQ(Pieces({"abc"}), split("abc", "|"));
}

TEST(SplitToSet, OrdersAndDropsDuplicatesAndKeepsExistingMembers) {
  std::set<std::string> out = {"m"};
  split_to_set("z|a|z|m", "|", out);
  EXPECT_EQ(std::set<std::string>({"a", "m", "z"}), out);
}

TEST(SplitToSet, HandlesAMultiCharacterDelimiter) {
  EXPECT_EQ(Pieces({"a", "b:c"}), split("a::b:c::", "::"));
}

TEST(Trim, RemovesTheSixWhitespaceCharactersFromBothEnds) {
  EXPECT_EQ("x y", trim(" \tx y\r\n"));
  EXPECT_EQ("x", trim("\v\fx\f\v"));
  EXPECT_EQ("", trim(" \t\n\v\f\r"));
  EXPECT_EQ("", trim(""));
  EXPECT_EQ("true", trim("true"));
  EXPECT_EQ(std::string("\0x", 2), trim(std::string(" \0x ", 4)));
}

}  // namespace
}  // namespace risk
