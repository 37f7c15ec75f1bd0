#include "crypto/block_cipher.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/testing/hex.h"

namespace risk {
namespace {

using testing::from_hex;
using testing::to_hex;

const unsigned char* u8(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// A seed from RISK_TEST_SEED or the system's random source, printed so that
// a failure can be replayed.
uint32_t test_seed() {
  const char* fixed = std::getenv("RISK_TEST_SEED");
  const uint32_t seed = fixed != nullptr ? static_cast<uint32_t>(std::strtoul(fixed, nullptr, 0))
                                         : std::random_device{}();
  std::printf("random seed: RISK_TEST_SEED=%u\n", seed);
  return seed;
}

std::string random_bytes(std::mt19937& rng, size_t n) {
  std::string out(n, '\0');
  for (auto& c : out) c = static_cast<char>(rng() & 0xff);
  return out;
}

// One-shot ECB through OpenSSL's EVP interface; padding on or off.
std::string evp_ecb(const EVP_CIPHER* cipher, const std::string& key, const std::string& in,
                    bool encrypt, bool padding) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::string out(in.size() + 32, '\0');
  int n1 = 0;
  int n2 = 0;
  bool ok = EVP_CipherInit_ex(ctx, cipher, nullptr, u8(key), nullptr, encrypt ? 1 : 0) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx, padding ? 1 : 0) == 1 &&
            EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(&out[0]), &n1, u8(in),
                             static_cast<int>(in.size())) == 1 &&
            EVP_CipherFinal_ex(ctx, reinterpret_cast<unsigned char*>(&out[n1]), &n2) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) return "<openssl failure>";
  out.resize(n1 + n2);
  return out;
}

const EVP_CIPHER* evp_aes_ecb(size_t key_size) {
  switch (key_size) {
    case 16:
      return EVP_aes_128_ecb();
    case 24:
      return EVP_aes_192_ecb();
    default:
      return EVP_aes_256_ecb();
  }
}

// ---------------------------------------------------------------------------
// AES

// FIPS-197, Appendix C: key 000102..., plaintext 00112233...ff.
struct Fips197Example {
  const char* key;
  const char* cipher;
};
const Fips197Example kFips197[] = {
    {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
    {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
    {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
     "8ea2b7ca516745bfeafc49904b496089"},
};
const char kFips197Plain[] = "00112233445566778899aabbccddeeff";

TEST(AesTest, ReproducesFips197AppendixCForAllKeySizes) {
  const std::string plain = from_hex(kFips197Plain);
  for (const auto& example : kFips197) {
    const std::string key = from_hex(example.key);
    SCOPED_TRACE(key.size());
    AesKeySchedule schedule;
    AES_set_key(schedule, u8(key), static_cast<int>(key.size()));
    EXPECT_EQ(schedule.enc_rounds, static_cast<int>(key.size() / 4 + 6));
    unsigned char block[16];
    AES_encrypt_block(schedule, u8(plain), block);
    EXPECT_EQ(to_hex(std::string(reinterpret_cast<char*>(block), 16)), example.cipher);
    AES_decrypt_block(schedule, block, block);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 16), plain);

    // Through the entry points: the first block is the example, then padding.
    const std::string sealed = AES_ECB_Encrypt_pkcs7padding(u8(key), key.size(), plain);
    ASSERT_EQ(sealed.size(), 32u);
    EXPECT_EQ(to_hex(sealed.substr(0, 16)), example.cipher);
    EXPECT_EQ(AES_ECB_Decrypt_pkcs7unpadding(u8(key), key.size(), sealed), plain);
  }
}

TEST(AesTest, RejectsKeyLengthsOtherThan16_24_32) {
  const std::string key(40, 'k');
  const std::string block(16, 'b');
  for (unsigned long length : {0ul, 1ul, 15ul, 17ul, 23ul, 31ul, 33ul, 40ul}) {
    SCOPED_TRACE(length);
    EXPECT_EQ(AES_ECB_Encrypt_pkcs7padding(u8(key), length, "data"), "");
    EXPECT_EQ(AES_ECB_Decrypt_pkcs7unpadding(u8(key), length, block), "");
  }
  EXPECT_EQ(AES_ECB_Encrypt_pkcs7padding(nullptr, 32, "data"), "");
  EXPECT_EQ(AES_ECB_Decrypt_pkcs7unpadding(nullptr, 32, block), "");
}

TEST(AesTest, MatchesOpenSslForEveryLengthUpTo300) {
  std::mt19937 rng(test_seed());
  for (size_t key_size : {16u, 24u, 32u}) {
    for (size_t length = 0; length <= 300; ++length) {
      const std::string key = random_bytes(rng, key_size);
      const std::string plain = random_bytes(rng, length);
      SCOPED_TRACE("key " + to_hex(key) + " plain " + to_hex(plain));
      const std::string sealed = AES_ECB_Encrypt_pkcs7padding(u8(key), key_size, plain);
      ASSERT_EQ(sealed, evp_ecb(evp_aes_ecb(key_size), key, plain, true, true));
      ASSERT_EQ(AES_ECB_Decrypt_pkcs7unpadding(u8(key), key_size, sealed), plain);
    }
  }
}

// ---------------------------------------------------------------------------
// SM4

// GB/T 32907-2016, appendix A: key and plaintext 0123456789abcdeffedcba9876543210.
const char kSm4Example[] = "0123456789abcdeffedcba9876543210";

TEST(Sm4Test, ReproducesGbt32907Example) {
  const std::string key = from_hex(kSm4Example);
  const std::string plain = from_hex(kSm4Example);
  Sm4KeySchedule enc;
  Sm4KeySchedule dec;
  SM4_set_key(enc, u8(key), 0);
  SM4_set_key(dec, u8(key), 1);
  unsigned char block[16];
  SM4_crypt_block(enc, u8(plain), block);
  EXPECT_EQ(to_hex(std::string(reinterpret_cast<char*>(block), 16)),
            "681edf34d206965e86b3e94f536e4246");
  SM4_crypt_block(dec, block, block);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 16), plain);

  const std::string sealed = SM4_ECB_Encrypt_pkcs7padding(u8(key), 16, plain);
  ASSERT_EQ(sealed.size(), 32u);
  EXPECT_EQ(to_hex(sealed.substr(0, 16)), "681edf34d206965e86b3e94f536e4246");
  EXPECT_EQ(SM4_ECB_Decrypt_pkcs7unpadding(u8(key), 16, sealed), plain);
}

TEST(Sm4Test, ReproducesGbt32907MillionFoldExample) {
  const std::string key = from_hex(kSm4Example);
  Sm4KeySchedule enc;
  Sm4KeySchedule dec;
  SM4_set_key(enc, u8(key), 0);
  SM4_set_key(dec, u8(key), 1);
  unsigned char block[16];
  std::memcpy(block, key.data(), 16);
  for (int i = 0; i < 1000000; ++i) SM4_crypt_block(enc, block, block);
  EXPECT_EQ(to_hex(std::string(reinterpret_cast<char*>(block), 16)),
            "595298c7c6fd271f0402f804c33d3f66");
  for (int i = 0; i < 1000000; ++i) SM4_crypt_block(dec, block, block);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(block), 16), key);
}

TEST(Sm4Test, IgnoresTheKeyLengthArgument) {
  const std::string key = from_hex(kSm4Example);
  const std::string plain = "forty-one bytes of plaintext for the test";
  const std::string sealed = SM4_ECB_Encrypt_pkcs7padding(u8(key), 16, plain);
  for (unsigned long length : {0ul, 99ul}) {
    EXPECT_EQ(SM4_ECB_Encrypt_pkcs7padding(u8(key), length, plain), sealed);
    EXPECT_EQ(SM4_ECB_Decrypt_pkcs7unpadding(u8(key), length, sealed), plain);
  }
}

TEST(Sm4Test, MatchesOpenSslForEveryLengthUpTo300) {
  std::mt19937 rng(test_seed());
  for (size_t length = 0; length <= 300; ++length) {
    const std::string key = random_bytes(rng, 16);
    const std::string plain = random_bytes(rng, length);
    SCOPED_TRACE("key " + to_hex(key) + " plain " + to_hex(plain));
    const std::string sealed = SM4_ECB_Encrypt_pkcs7padding(u8(key), 16, plain);
    ASSERT_EQ(sealed, evp_ecb(EVP_sm4_ecb(), key, plain, true, true));
    ASSERT_EQ(SM4_ECB_Decrypt_pkcs7unpadding(u8(key), 16, sealed), plain);
  }
}

// ---------------------------------------------------------------------------
// PKCS#7 padding rules, checked for both ciphers. Odd paddings are made by
// encrypting chosen last blocks with OpenSSL, padding off.

struct EcbCipher {
  const char* name;
  const EVP_CIPHER* (*evp)();
  std::string (*encrypt)(const unsigned char*, unsigned long, const std::string&);
  std::string (*decrypt)(const unsigned char*, unsigned long, const std::string&);
};

class PaddingTest : public ::testing::TestWithParam<EcbCipher> {
 protected:
  const std::string key_ = from_hex("00112233445566778899aabbccddeeff");

  // Ciphertext whose decryption is exactly `plain` (a multiple of 16 bytes).
  std::string raw_encrypt(const std::string& plain) const {
    return evp_ecb(GetParam().evp(), key_, plain, true, false);
  }
  std::string decrypt(const std::string& cipher) const {
    return GetParam().decrypt(u8(key_), 16, cipher);
  }
  std::string encrypt(const std::string& plain) const {
    return GetParam().encrypt(u8(key_), 16, plain);
  }
};

TEST_P(PaddingTest, EmptyPlaintextGainsOneWholeBlock) {
  const std::string sealed = encrypt("");
  ASSERT_EQ(sealed.size(), 16u);
  EXPECT_EQ(evp_ecb(GetParam().evp(), key_, sealed, false, false), std::string(16, '\x10'));
  EXPECT_EQ(decrypt(sealed), "");
}

TEST_P(PaddingTest, BlockMultipleGainsOneWholeBlock) {
  const std::string plain(16, 'p');
  const std::string sealed = encrypt(plain);
  ASSERT_EQ(sealed.size(), 32u);
  EXPECT_EQ(evp_ecb(GetParam().evp(), key_, sealed, false, false), plain + std::string(16, '\x10'));
}

TEST_P(PaddingTest, FifteenBytesEndInOnePaddingByte) {
  const std::string sealed = encrypt(std::string(15, 'p'));
  ASSERT_EQ(sealed.size(), 16u);
  EXPECT_EQ(evp_ecb(GetParam().evp(), key_, sealed, false, false), std::string(15, 'p') + '\x01');
}

TEST_P(PaddingTest, RejectsLengthsThatAreNotWholeBlocks) {
  const std::string sealed = encrypt(std::string(40, 'p'));
  ASSERT_EQ(sealed.size(), 48u);
  EXPECT_EQ(decrypt(""), "");
  for (size_t n = 1; n < sealed.size(); ++n) {
    if (n % 16 != 0) {
      EXPECT_EQ(decrypt(sealed.substr(0, n)), "") << n;
    }
  }
}

TEST_P(PaddingTest, LastByteZeroRemovesNothing) {
  const std::string plain = std::string(31, 'z') + '\0';
  EXPECT_EQ(decrypt(raw_encrypt(plain)), plain);
}

TEST_P(PaddingTest, OnlyTheLastByteIsExamined) {
  // The four bytes before the 5 are not 5; five bytes still go.
  const std::string plain = std::string("0123456789a") + "wxyz" + '\x05';
  EXPECT_EQ(decrypt(raw_encrypt(plain)), "0123456789a");
}

TEST_P(PaddingTest, SixteenRemovesTheWholeLastBlock) {
  const std::string plain = std::string(16, 'a') + std::string(16, '\x10');
  EXPECT_EQ(decrypt(raw_encrypt(plain)), std::string(16, 'a'));
}

TEST_P(PaddingTest, LastByteAboveSixteenFails) {
  EXPECT_EQ(decrypt(raw_encrypt(std::string(15, 'a') + '\x11')), "");
  EXPECT_EQ(decrypt(raw_encrypt(std::string(31, 'a') + '\xff')), "");
}

INSTANTIATE_TEST_SUITE_P(
    Ciphers, PaddingTest,
    ::testing::Values(EcbCipher{"AES128", &EVP_aes_128_ecb, &AES_ECB_Encrypt_pkcs7padding,
                                &AES_ECB_Decrypt_pkcs7unpadding},
                      EcbCipher{"SM4", &EVP_sm4_ecb, &SM4_ECB_Encrypt_pkcs7padding,
                                &SM4_ECB_Decrypt_pkcs7unpadding}),
    [](const ::testing::TestParamInfo<EcbCipher>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// XXTEA

struct XxteaVector {
  char kind;  // 'E': encrypt and decrypt back; 'D': decrypt only
  std::string key;
  std::string in;
  std::string out;  // empty for an expected failure
  int line;
};

// Vectors generated by crypto/testdata/gen_xxtea_vectors.js (xxtea-node).
std::vector<XxteaVector> load_xxtea_vectors() {
  std::vector<XxteaVector> vectors;
  std::ifstream file(std::string(RISK_SOURCE_DIR) + "/crypto/testdata/xxtea_vectors.txt");
  std::string text;
  int line = 0;
  while (std::getline(file, text)) {
    ++line;
    if (text.empty() || text[0] == '#') continue;
    std::istringstream fields(text);
    std::string kind, key, in, out;
    fields >> kind >> key >> in >> out;
    vectors.push_back(
        {kind[0], from_hex(key), from_hex(in), out == "-" ? "" : from_hex(out), line});
  }
  return vectors;
}

TEST(XxteaTest, MatchesXxteaNodeVectors) {
  const std::vector<XxteaVector> vectors = load_xxtea_vectors();
  ASSERT_GE(vectors.size(), 300u) << "crypto/testdata/xxtea_vectors.txt missing or short";
  int encrypted = 0;
  int failed_decrypts = 0;
  for (const auto& v : vectors) {
    SCOPED_TRACE("xxtea_vectors.txt line " + std::to_string(v.line));
    if (v.kind == 'E') {
      EXPECT_EQ(to_hex(XXTEA_Encrypt(v.in, v.key)), to_hex(v.out));
      EXPECT_EQ(XXTEA_Decrypt(v.out, v.key), v.in);
      ++encrypted;
    } else {
      EXPECT_EQ(to_hex(XXTEA_Decrypt(v.in, v.key)), to_hex(v.out));
      if (v.out.empty()) ++failed_decrypts;
    }
  }
  EXPECT_GE(encrypted, 100);
  EXPECT_GE(failed_decrypts, 150);  // wrong keys and truncations
}

TEST(XxteaTest, AddsALengthWordAndPadsToWholeWords) {
  EXPECT_EQ(XXTEA_Encrypt("a", "key").size(), 8u);
  EXPECT_EQ(XXTEA_Encrypt("12345678", "key").size(), 12u);
  EXPECT_EQ(XXTEA_Encrypt("123456789", "key").size(), 16u);
}

TEST(XxteaTest, EmptyKeyOrDataFails) {
  EXPECT_EQ(XXTEA_Encrypt("", "key"), "");
  EXPECT_EQ(XXTEA_Encrypt("data", ""), "");
  const std::string sealed = XXTEA_Encrypt("data", "key");
  EXPECT_EQ(XXTEA_Decrypt("", "key"), "");
  EXPECT_EQ(XXTEA_Decrypt(sealed, ""), "");
}

TEST(XxteaTest, DecryptingOneWordOrLessFails) {
  const std::string sealed = XXTEA_Encrypt("payload", "key");
  for (size_t n = 1; n <= 4; ++n) EXPECT_EQ(XXTEA_Decrypt(sealed.substr(0, n), "key"), "");
  // A lone zero word would name length 0; still nothing comes out.
  EXPECT_EQ(XXTEA_Decrypt(std::string(4, '\0'), "key"), "");
}

TEST(XxteaTest, KeyStopsAtItsFirstZeroByte) {
  const std::string plain = "The quick brown fox";
  const std::string sealed = XXTEA_Encrypt(plain, "abc");
  // Equals xxtea-node's ciphertext for the key "abc" (first vector of the file).
  EXPECT_EQ(to_hex(sealed), "bdf11914f371992963ea24e36227c170d4ae828dc610699b");
  EXPECT_EQ(XXTEA_Encrypt(plain, std::string("abc\0def", 7)), sealed);
  EXPECT_EQ(XXTEA_Encrypt(plain, std::string("abc\0\0\0\0\0\0\0\0\0\0\0\0\0", 16)), sealed);
  EXPECT_EQ(XXTEA_Decrypt(sealed, std::string("abc\0xyz", 7)), plain);
  // A zero byte at position 15 still cuts the sixteenth byte away...
  EXPECT_EQ(XXTEA_Encrypt(plain, std::string("0123456789abcde\0", 16)),
            XXTEA_Encrypt(plain, "0123456789abcde"));
  // ...while one beyond the first 16 bytes changes nothing.
  EXPECT_EQ(XXTEA_Encrypt(plain, std::string("0123456789abcdef\0x", 18)),
            XXTEA_Encrypt(plain, "0123456789abcdef"));
}

TEST(XxteaTest, OnlyTheFirstSixteenKeyBytesCount) {
  const std::string plain = "0123456789";
  EXPECT_EQ(XXTEA_Encrypt(plain, "0123456789abcdefXYZ"), XXTEA_Encrypt(plain, "0123456789abcdef"));
  EXPECT_NE(XXTEA_Encrypt(plain, "0123456789abcdeX"), XXTEA_Encrypt(plain, "0123456789abcdef"));
}

TEST(XxteaTest, WrongKeyAndTruncationFailAtEveryLength) {
  // A fixed seed: a wrong length word passes the check with probability
  // about 2^-30, so a random stream could fail this test once in a blue moon.
  std::mt19937 rng(20240601);
  int opened = 0;
  int tried = 0;
  int zero_tails = 0;
  for (size_t length = 1; length <= 200; ++length) {
    const std::string plain = random_bytes(rng, length);
    const std::string sealed = XXTEA_Encrypt(plain, "0123456789abcdef");
    ASSERT_EQ(XXTEA_Decrypt(sealed, "0123456789abcdef"), plain);
    if (!XXTEA_Decrypt(sealed, "0123456789abcdeg").empty()) ++opened;
    for (size_t cut = 1; cut < sealed.size(); ++cut) {
      const std::string opened_cut = XXTEA_Decrypt(sealed.substr(0, cut), "0123456789abcdef");
      // A partial last word is zero-filled: cutting off zero bytes within
      // the last word leaves the same words, and they still open.
      if (cut + 4 > sealed.size() && sealed.find_first_not_of('\0', cut) == std::string::npos) {
        EXPECT_EQ(opened_cut, plain);
        ++zero_tails;
        continue;
      }
      if (!opened_cut.empty()) ++opened;
      ++tried;
    }
  }
  EXPECT_EQ(opened, 0) << "of " << tried << " truncations and 200 wrong keys";
  EXPECT_GE(tried, 10000);
  std::printf("%d truncations cut only zero bytes of the last word\n", zero_tails);
}

}  // namespace
}  // namespace risk
