#include "crypto/digest.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "crypto/encoding.h"

namespace risk {
namespace {

// Digest of data by OpenSSL's libcrypto, the independent reference.
std::string openssl_digest(const EVP_MD* md, const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  EXPECT_EQ(1, EVP_Digest(data.data(), data.size(), out, &size, md, nullptr));
  return std::string(reinterpret_cast<const char*>(out), size);
}

std::string random_bytes(std::mt19937& rng, size_t n) {
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xff);
  return s;
}

std::string sha1_in_pieces(const std::string& data, const std::vector<size_t>& cuts) {
  Sha1Context ctx;
  sha1_init(ctx);
  size_t at = 0;
  for (size_t cut : cuts) {
    sha1_update(ctx, data.data() + at, cut - at);
    at = cut;
  }
  sha1_update(ctx, data.data() + at, data.size() - at);
  unsigned char digest[kSha1Size];
  sha1_final(ctx, digest);
  return hex_encode(std::string(reinterpret_cast<const char*>(digest), sizeof digest));
}

// RFC 1321, appendix A.5.
TEST(Md5, MatchesRfc1321TestSuite) {
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", md5_hex(""));
  EXPECT_EQ("0cc175b9c0f1b6a831c399e269772661", md5_hex("a"));
  EXPECT_EQ("900150983cd24fb0d6963f7d28e17f72", md5_hex("abc"));
  EXPECT_EQ("f96b697d7cb7938d525a2f31aaf161d0", md5_hex("message digest"));
  EXPECT_EQ("c3fcd3d76192e4007dfb496cca67e13b", md5_hex("abcdefghijklmnopqrstuvwxyz"));
  EXPECT_EQ("d174ab98d277d9f5a5611c2c9f419d9f",
            md5_hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"));
  EXPECT_EQ("57edf4a22be3c955ac49da2e2107b67a",
            md5_hex("1234567890123456789012345678901234567890"
                    "1234567890123456789012345678901234567890"));
}

// FIPS 180-2 appendix A / the NIST example values for SHA-1.
TEST(Sha1, MatchesFips180Examples) {
  EXPECT_EQ("da39a3ee5e6b4b0d3255bfef95601890afd80709", sha1_hex(""));
  EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", sha1_hex("abc"));
  EXPECT_EQ("84983e441c3bd26ebaae4aa1f95129e5e54670f1",
            sha1_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"));
  EXPECT_EQ("34aa973cd4c4daa4f61eeb2bdbad27316534016f", sha1_hex(std::string(1000000, 'a')));
}

// The padding boundaries: 55 bytes still fit the length in the last block,
// 56 need a second padding block, 63/64/65 straddle a full block.
TEST(Sha1, PaddingBoundariesMatchOpenSsl) {
  for (size_t n : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 127u, 128u, 129u}) {
    const std::string data(n, 'a');
    EXPECT_EQ(hex_encode(openssl_digest(EVP_sha1(), data)), sha1_hex(data)) << "length " << n;
    EXPECT_EQ(hex_encode(openssl_digest(EVP_md5(), data)), md5_hex(data)) << "length " << n;
    EXPECT_EQ(openssl_digest(EVP_sm3(), data), sm3_digest(data)) << "length " << n;
  }
}

TEST(Sha1, IncrementalEqualsOneShotAtEverySplitPoint) {
  std::mt19937 rng(20240611);
  const std::string data = random_bytes(rng, 300);
  const std::string whole = sha1_hex(data);
  ASSERT_EQ(hex_encode(openssl_digest(EVP_sha1(), data)), whole);
  for (size_t cut = 0; cut <= data.size(); ++cut) {
    ASSERT_EQ(whole, sha1_in_pieces(data, {cut})) << "split at " << cut;
  }
  // Two cuts, so that a piece both starts and ends inside the block buffer.
  for (size_t first = 0; first <= 130; ++first) {
    for (size_t second = first; second <= 200; second += 7) {
      ASSERT_EQ(whole, sha1_in_pieces(data, {first, second})) << first << "," << second;
    }
  }
}

TEST(Sha1, ByteAtATimeEqualsOneShot) {
  const std::string data(1000, 'x');
  Sha1Context ctx;
  sha1_init(ctx);
  for (char c : data) sha1_update(ctx, &c, 1);
  unsigned char digest[kSha1Size];
  sha1_final(ctx, digest);
  EXPECT_EQ(sha1_hex(data), hex_encode(std::string(reinterpret_cast<char*>(digest), kSha1Size)));
}

TEST(Sha1, FinalZeroesTheContext) {
  Sha1Context ctx;
  sha1_init(ctx);
  sha1_update(ctx, "abc", 3);
  unsigned char digest[kSha1Size];
  sha1_final(ctx, digest);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&ctx);
  for (size_t i = 0; i < sizeof ctx; ++i) ASSERT_EQ(0, bytes[i]) << "byte " << i;
}

// GB/T 32905-2016, appendix A, examples 1 and 2.
TEST(Sm3, MatchesGbt32905Examples) {
  EXPECT_EQ("66c7f0f462eeedd9d1f2d46bdc10e4e24167c4875cf2f7a2297da02b8f4ba8e0", sm3_hex("abc"));
  std::string abcd16;
  for (int i = 0; i < 16; ++i) abcd16 += "abcd";
  EXPECT_EQ("debe9ff92275b8a138604889c18e5a4d6fdb70e5387e5765293dcba39c0c5732", sm3_hex(abcd16));
  EXPECT_EQ(hex_encode(openssl_digest(EVP_sm3(), "")), sm3_hex(""));
}

TEST(Sm3, DigestIsTheRawBytesOfTheHexText) {
  const std::string raw = sm3_digest("abc");
  ASSERT_EQ(kSm3Size, raw.size());
  EXPECT_EQ(sm3_hex("abc"), hex_encode(raw));
  EXPECT_EQ('\x66', raw[0]);
  EXPECT_EQ('\xe0', raw[31]);
}

// Every length 0..1000 crosses every tail size and the one/two padding block
// cases several times. Failures print the seed to reproduce them.
TEST(Digests, MatchOpenSslForRandomInputsOfEveryLength) {
  const uint32_t seed = std::random_device{}();
  std::printf("digest random seed: %u\n", seed);
  std::mt19937 rng(seed);
  int sm3_with_zero_byte = 0;
  for (size_t n = 0; n <= 1000; ++n) {
    const std::string data = random_bytes(rng, n);
    ASSERT_EQ(hex_encode(openssl_digest(EVP_md5(), data)), md5_hex(data))
        << "MD5, length " << n << ", seed " << seed;
    ASSERT_EQ(hex_encode(openssl_digest(EVP_sha1(), data)), sha1_hex(data))
        << "SHA-1, length " << n << ", seed " << seed;
    const std::string sm3 = sm3_digest(data);
    ASSERT_EQ(kSm3Size, sm3.size());
    ASSERT_EQ(openssl_digest(EVP_sm3(), data), sm3) << "SM3, length " << n << ", seed " << seed;
    ASSERT_EQ(hex_encode(sm3), sm3_hex(data));
    if (sm3.find('\0') != std::string::npos) ++sm3_with_zero_byte;
  }
  // About one digest in eight holds a zero byte; none may be cut short there.
  EXPECT_GT(sm3_with_zero_byte, 0);
}

TEST(Digests, AcceptZeroBytesInTheMessage) {
  const std::string data("a\0b\0\0c", 6);
  EXPECT_EQ(hex_encode(openssl_digest(EVP_md5(), data)), md5_hex(data));
  EXPECT_EQ(hex_encode(openssl_digest(EVP_sha1(), data)), sha1_hex(data));
  EXPECT_EQ(openssl_digest(EVP_sm3(), data), sm3_digest(data));
}

}  // namespace
}  // namespace risk
