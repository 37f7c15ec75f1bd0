// AES (FIPS-197) and SM4 (GB/T 32907-2016) in ECB mode with PKCS#7 padding,
// and XXTEA with a trailing length word.
#include "crypto/block_cipher.h"

#include <cstddef>
#include <cstring>
#include <new>

#include "crypto/internal.h"

namespace risk {

namespace {

constexpr size_t kBlockSize = 16;

using crypto_internal::bytes_of;
using crypto_internal::copy_bytes;
using crypto_internal::load32_be;
using crypto_internal::load32_le;
using crypto_internal::rotl32;
using crypto_internal::rotr32;
using crypto_internal::secure_wipe;
using crypto_internal::store32_be;
using crypto_internal::store32_le;

// The bytes of a big-endian word, most significant first.
inline unsigned byte0(uint32_t w) { return w >> 24; }
inline unsigned byte1(uint32_t w) { return (w >> 16) & 0xff; }
inline unsigned byte2(uint32_t w) { return (w >> 8) & 0xff; }
inline unsigned byte3(uint32_t w) { return w & 0xff; }

// ---------------------------------------------------------------------------
// AES tables. Only kAesSbox's derivatives are stored: the S-box itself and
// its inverse are used at compile time alone.

// The S-box of FIPS-197, figure 7.
constexpr uint8_t kAesSbox[256] = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b, 0xfe, 0xd7, 0xab, 0x76,
    0xca, 0x82, 0xc9, 0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0,
    0xb7, 0xfd, 0x93, 0x26, 0x36, 0x3f, 0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15,
    0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07, 0x12, 0x80, 0xe2, 0xeb, 0x27, 0xb2, 0x75,
    0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0, 0x52, 0x3b, 0xd6, 0xb3, 0x29, 0xe3, 0x2f, 0x84,
    0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58, 0xcf,
    0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f, 0x50, 0x3c, 0x9f, 0xa8,
    0x51, 0xa3, 0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5, 0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2,
    0xcd, 0x0c, 0x13, 0xec, 0x5f, 0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73,
    0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88, 0x46, 0xee, 0xb8, 0x14, 0xde, 0x5e, 0x0b, 0xdb,
    0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c, 0xc2, 0xd3, 0xac, 0x62, 0x91, 0x95, 0xe4, 0x79,
    0xe7, 0xc8, 0x37, 0x6d, 0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a, 0xae, 0x08,
    0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f, 0x4b, 0xbd, 0x8b, 0x8a,
    0x70, 0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e, 0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e,
    0xe1, 0xf8, 0x98, 0x11, 0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf,
    0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42, 0x68, 0x41, 0x99, 0x2d, 0x0f, 0xb0, 0x54, 0xbb, 0x16,
};

// Round constants of FIPS-197, section 5.2 (the most significant byte of Rcon[i]).
constexpr uint8_t kAesRcon[10] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1b, 0x36};

constexpr uint8_t gf_mul(uint8_t a, uint8_t b) {
  uint8_t product = 0;
  while (b != 0) {
    if (b & 1) product ^= a;
    a = static_cast<uint8_t>(a << 1 ^ ((a & 0x80) ? 0x1b : 0));
    b >>= 1;
  }
  return product;
}

struct SboxPairTable {
  uint16_t entry[256];
};

// entry[x] = S(x) | 2·S(x) << 8: SubBytes and the doubling MixColumns needs
// come from one 16-bit load.
constexpr SboxPairTable make_sbox_pair_table() {
  SboxPairTable table{};
  for (int x = 0; x < 256; ++x) {
    const uint8_t s = kAesSbox[x];
    table.entry[x] = static_cast<uint16_t>(s | gf_mul(s, 2) << 8);
  }
  return table;
}

struct InvRoundTable {
  uint32_t entry[256];
};

// entry[x] = (0e, 09, 0d, 0b) · InvS(x), most significant byte first: one
// column's share of InvSubBytes and InvMixColumns. The four bytes exclusive-or
// to InvS(x) because 0e ^ 09 ^ 0d ^ 0b = 01.
constexpr InvRoundTable make_inv_round_table() {
  uint8_t inverse[256] = {};
  for (int x = 0; x < 256; ++x) inverse[kAesSbox[x]] = static_cast<uint8_t>(x);
  InvRoundTable table{};
  for (int x = 0; x < 256; ++x) {
    const uint8_t v = inverse[x];
    table.entry[x] = uint32_t{gf_mul(v, 0x0e)} << 24 | uint32_t{gf_mul(v, 0x09)} << 16 |
                     uint32_t{gf_mul(v, 0x0d)} << 8 | uint32_t{gf_mul(v, 0x0b)};
  }
  return table;
}

constexpr SboxPairTable kSboxPair = make_sbox_pair_table();
constexpr InvRoundTable kInvRound = make_inv_round_table();

inline uint32_t aes_sub_word(uint32_t w) {
  return uint32_t{kSboxPair.entry[byte0(w)] & 0xffu} << 24 |
         uint32_t{kSboxPair.entry[byte1(w)] & 0xffu} << 16 |
         uint32_t{kSboxPair.entry[byte2(w)] & 0xffu} << 8 | (kSboxPair.entry[byte3(w)] & 0xffu);
}

inline uint32_t aes_inv_sub_byte(unsigned x) {
  uint32_t t = kInvRound.entry[x];
  t ^= t >> 16;
  t ^= t >> 8;
  return t & 0xff;
}

// InvMixColumns of one word: InvRound(S(x)) is (0e, 09, 0d, 0b) · x.
inline uint32_t aes_inv_mix_column(uint32_t w) {
  return kInvRound.entry[kSboxPair.entry[byte0(w)] & 0xff] ^
         rotr32(kInvRound.entry[kSboxPair.entry[byte1(w)] & 0xff], 8) ^
         rotr32(kInvRound.entry[kSboxPair.entry[byte2(w)] & 0xff], 16) ^
         rotr32(kInvRound.entry[kSboxPair.entry[byte3(w)] & 0xff], 24);
}

// SubBytes and ShiftRows for one output column whose rows 0..3 come from the
// input columns a, b, c, d: sets s to the substituted column and s2 to its
// doubled bytes. Rows 0 and 2 share one 32-bit word of pairs, rows 1 and 3
// the other, so each mask separates two rows at once.
inline void aes_sub_column(uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t& s,
                           uint32_t& s2) {
  const uint32_t rows02 = uint32_t{kSboxPair.entry[byte0(a)]} << 16 | kSboxPair.entry[byte2(c)];
  const uint32_t rows13 = uint32_t{kSboxPair.entry[byte1(b)]} << 16 | kSboxPair.entry[byte3(d)];
  s = (rows02 & 0x00ff00ff) << 8 | (rows13 & 0x00ff00ff);
  s2 = (rows02 & 0xff00ff00) | ((rows13 >> 8) & 0x00ff00ff);
}

// SubBytes, ShiftRows and MixColumns for one output column.
inline uint32_t aes_round_column(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  uint32_t s;
  uint32_t s2;
  aes_sub_column(a, b, c, d, s, s2);
  // Row r of the result: 2·s[r] ^ 3·s[r+1] ^ s[r+2] ^ s[r+3].
  return s2 ^ rotl32(s ^ s2, 8) ^ rotl32(s ^ rotl32(s, 8), 16);
}

inline uint32_t aes_final_column(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return uint32_t{kSboxPair.entry[byte0(a)] & 0xffu} << 24 |
         uint32_t{kSboxPair.entry[byte1(b)] & 0xffu} << 16 |
         uint32_t{kSboxPair.entry[byte2(c)] & 0xffu} << 8 | (kSboxPair.entry[byte3(d)] & 0xffu);
}

// InvSubBytes, InvShiftRows and InvMixColumns for one output column whose
// rows 0..3 come from the input columns a, b, c, d.
inline uint32_t aes_inv_round_column(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return kInvRound.entry[byte0(a)] ^ rotr32(kInvRound.entry[byte1(b)], 8) ^
         rotr32(kInvRound.entry[byte2(c)], 16) ^ rotr32(kInvRound.entry[byte3(d)], 24);
}

inline uint32_t aes_inv_final_column(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return aes_inv_sub_byte(byte0(a)) << 24 | aes_inv_sub_byte(byte1(b)) << 16 |
         aes_inv_sub_byte(byte2(c)) << 8 | aes_inv_sub_byte(byte3(d));
}

// ---------------------------------------------------------------------------
// SM4 tables.

// The S-box of GB/T 32907-2016, table 1.
constexpr uint8_t kSm4Sbox[256] = {
    0xd6, 0x90, 0xe9, 0xfe, 0xcc, 0xe1, 0x3d, 0xb7, 0x16, 0xb6, 0x14, 0xc2, 0x28, 0xfb, 0x2c, 0x05,
    0x2b, 0x67, 0x9a, 0x76, 0x2a, 0xbe, 0x04, 0xc3, 0xaa, 0x44, 0x13, 0x26, 0x49, 0x86, 0x06, 0x99,
    0x9c, 0x42, 0x50, 0xf4, 0x91, 0xef, 0x98, 0x7a, 0x33, 0x54, 0x0b, 0x43, 0xed, 0xcf, 0xac, 0x62,
    0xe4, 0xb3, 0x1c, 0xa9, 0xc9, 0x08, 0xe8, 0x95, 0x80, 0xdf, 0x94, 0xfa, 0x75, 0x8f, 0x3f, 0xa6,
    0x47, 0x07, 0xa7, 0xfc, 0xf3, 0x73, 0x17, 0xba, 0x83, 0x59, 0x3c, 0x19, 0xe6, 0x85, 0x4f, 0xa8,
    0x68, 0x6b, 0x81, 0xb2, 0x71, 0x64, 0xda, 0x8b, 0xf8, 0xeb, 0x0f, 0x4b, 0x70, 0x56, 0x9d, 0x35,
    0x1e, 0x24, 0x0e, 0x5e, 0x63, 0x58, 0xd1, 0xa2, 0x25, 0x22, 0x7c, 0x3b, 0x01, 0x21, 0x78, 0x87,
    0xd4, 0x00, 0x46, 0x57, 0x9f, 0xd3, 0x27, 0x52, 0x4c, 0x36, 0x02, 0xe7, 0xa0, 0xc4, 0xc8, 0x9e,
    0xea, 0xbf, 0x8a, 0xd2, 0x40, 0xc7, 0x38, 0xb5, 0xa3, 0xf7, 0xf2, 0xce, 0xf9, 0x61, 0x15, 0xa1,
    0xe0, 0xae, 0x5d, 0xa4, 0x9b, 0x34, 0x1a, 0x55, 0xad, 0x93, 0x32, 0x30, 0xf5, 0x8c, 0xb1, 0xe3,
    0x1d, 0xf6, 0xe2, 0x2e, 0x82, 0x66, 0xca, 0x60, 0xc0, 0x29, 0x23, 0xab, 0x0d, 0x53, 0x4e, 0x6f,
    0xd5, 0xdb, 0x37, 0x45, 0xde, 0xfd, 0x8e, 0x2f, 0x03, 0xff, 0x6a, 0x72, 0x6d, 0x6c, 0x5b, 0x51,
    0x8d, 0x1b, 0xaf, 0x92, 0xbb, 0xdd, 0xbc, 0x7f, 0x11, 0xd9, 0x5c, 0x41, 0x1f, 0x10, 0x5a, 0xd8,
    0x0a, 0xc1, 0x31, 0x88, 0xa5, 0xcd, 0x7b, 0xbd, 0x2d, 0x74, 0xd0, 0x12, 0xb8, 0xe5, 0xb4, 0xb0,
    0x89, 0x69, 0x97, 0x4a, 0x0c, 0x96, 0x77, 0x7e, 0x65, 0xb9, 0xf1, 0x09, 0xc5, 0x6e, 0xc6, 0x84,
    0x18, 0xf0, 0x7d, 0xec, 0x3a, 0xdc, 0x4d, 0x20, 0x79, 0xee, 0x5f, 0x3e, 0xd7, 0xcb, 0x39, 0x48,
};

// System parameters FK of GB/T 32907-2016, section 7.3.
constexpr uint32_t kSm4Fk[4] = {0xa3b1bac6, 0x56aa3350, 0x677d9197, 0xb27022dc};

struct Sm4CkTable {
  uint32_t entry[32];
};

// Fixed parameters CK of GB/T 32907-2016, section 7.3: byte j of CK[i] is
// (4i + j) · 7 mod 256.
constexpr Sm4CkTable make_sm4_ck_table() {
  Sm4CkTable table{};
  for (uint32_t i = 0; i < 32; ++i) {
    uint32_t word = 0;
    for (uint32_t j = 0; j < 4; ++j) word = word << 8 | (((4 * i + j) * 7) & 0xff);
    table.entry[i] = word;
  }
  return table;
}

constexpr Sm4CkTable kSm4Ck = make_sm4_ck_table();

// The non-linear transformation tau: the S-box on each byte.
inline uint32_t sm4_tau(uint32_t a) {
  return uint32_t{kSm4Sbox[byte0(a)]} << 24 | uint32_t{kSm4Sbox[byte1(a)]} << 16 |
         uint32_t{kSm4Sbox[byte2(a)]} << 8 | uint32_t{kSm4Sbox[byte3(a)]};
}

// T = L(tau(.)), L(B) = B ^ (B <<< 2) ^ (B <<< 10) ^ (B <<< 18) ^ (B <<< 24).
inline uint32_t sm4_t(uint32_t a) {
  const uint32_t b = sm4_tau(a);
  return b ^ rotl32(b, 24) ^ rotl32(b ^ rotl32(b, 8) ^ rotl32(b, 16), 2);
}

// T' of the key expansion, L'(B) = B ^ (B <<< 13) ^ (B <<< 23).
inline uint32_t sm4_t_key(uint32_t a) {
  const uint32_t b = sm4_tau(a);
  return b ^ rotl32(b, 13) ^ rotl32(b, 23);
}

// ---------------------------------------------------------------------------
// XXTEA (Corrected Block TEA, Wheeler and Needham 1998).

constexpr uint32_t kXxteaDelta = 0x9e3779b9;
constexpr size_t kXxteaKeySize = 16;
// The length word is 32 bits wide.
constexpr size_t kXxteaMaxDataSize = 0xffffffffu;

// The four key words; wiped when they go out of use.
struct XxteaKey {
  uint32_t k[4];
  ~XxteaKey() { secure_wipe(k, sizeof k); }
};

inline uint32_t xxtea_mx(uint32_t sum, uint32_t y, uint32_t z, size_t p, uint32_t e,
                         const uint32_t k[4]) {
  return ((z >> 5 ^ y << 2) + (y >> 3 ^ z << 4)) ^ ((sum ^ y) + (k[(p & 3) ^ e] ^ z));
}

// The key is the first 16 bytes of the key's characters, zero from the first
// zero byte on: a short key is padded with zero bytes, a long one cut.
void xxtea_key(const std::string& key, XxteaKey& out) {
  unsigned char bytes[kXxteaKeySize] = {};
  size_t used = key.size() < kXxteaKeySize ? key.size() : kXxteaKeySize;
  if (const void* zero = std::memchr(key.data(), 0, used)) {
    used = static_cast<size_t>(static_cast<const char*>(zero) - key.data());
  }
  copy_bytes(bytes, key.data(), used);
  for (int i = 0; i < 4; ++i) out.k[i] = load32_le(bytes + 4 * i);
  secure_wipe(bytes, sizeof bytes);
}

// REQUIRES: n >= 2; v holds n little-endian words.
void xxtea_encrypt_words(unsigned char* v, size_t n, const uint32_t k[4]) {
  const size_t last = n - 1;
  uint32_t cycles = 6 + 52 / static_cast<uint32_t>(n);
  uint32_t sum = 0;
  uint32_t z = load32_le(v + 4 * last);
  do {
    sum += kXxteaDelta;
    const uint32_t e = (sum >> 2) & 3;
    size_t p = 0;
    for (; p < last; ++p) {
      const uint32_t y = load32_le(v + 4 * (p + 1));
      z = load32_le(v + 4 * p) + xxtea_mx(sum, y, z, p, e, k);
      store32_le(v + 4 * p, z);
    }
    const uint32_t y = load32_le(v);
    z = load32_le(v + 4 * last) + xxtea_mx(sum, y, z, p, e, k);
    store32_le(v + 4 * last, z);
  } while (--cycles != 0);
}

// REQUIRES: n >= 2; v holds n little-endian words.
void xxtea_decrypt_words(unsigned char* v, size_t n, const uint32_t k[4]) {
  const size_t last = n - 1;
  uint32_t cycles = 6 + 52 / static_cast<uint32_t>(n);
  uint32_t sum = cycles * kXxteaDelta;
  uint32_t y = load32_le(v);
  do {
    const uint32_t e = (sum >> 2) & 3;
    size_t p = last;
    for (; p > 0; --p) {
      const uint32_t z = load32_le(v + 4 * (p - 1));
      y = load32_le(v + 4 * p) - xxtea_mx(sum, y, z, p, e, k);
      store32_le(v + 4 * p, y);
    }
    const uint32_t z = load32_le(v + 4 * last);
    y = load32_le(v) - xxtea_mx(sum, y, z, p, e, k);
    store32_le(v, y);
    sum -= kXxteaDelta;
  } while (--cycles != 0);
}

bool is_aes_key_length(unsigned long length) {
  return length == 16 || length == 24 || length == 32;
}

}  // namespace

// ---------------------------------------------------------------------------
// ECB drivers.

std::string ECB_Encrypt_pkcs7padding(const std::string& plain, const BlockFunction& block) {
  const size_t whole = plain.size() / kBlockSize * kBlockSize;
  const size_t rest = plain.size() - whole;
  std::string out;
  try {
    out.resize(whole + kBlockSize);
  } catch (const std::bad_alloc&) {
    return std::string();
  }
  const unsigned char* in = bytes_of(plain);
  unsigned char* dst = bytes_of(out);
  for (size_t i = 0; i < whole; i += kBlockSize) block(in + i, dst + i, kBlockSize);
  unsigned char last[kBlockSize];
  copy_bytes(last, in + whole, rest);
  std::memset(last + rest, static_cast<int>(kBlockSize - rest), kBlockSize - rest);
  block(last, dst + whole, kBlockSize);
  return out;
}

std::string ECB_Decrypt_pkcs7unpadding(const std::string& cipher, const BlockFunction& block) {
  const size_t n = cipher.size();
  if (n == 0 || n % kBlockSize != 0) return std::string();
  std::string out;
  try {
    out.resize(n);
  } catch (const std::bad_alloc&) {
    return std::string();
  }
  const unsigned char* in = bytes_of(cipher);
  unsigned char* dst = bytes_of(out);
  for (size_t i = 0; i < n; i += kBlockSize) block(in + i, dst + i, kBlockSize);
  // Only the last byte is examined; stored data depends on this leniency.
  const size_t pad = dst[n - 1];
  if (pad > kBlockSize) return std::string();
  out.resize(n - pad);
  return out;
}

// ---------------------------------------------------------------------------
// AES.

AesKeySchedule::~AesKeySchedule() { secure_wipe(this, sizeof *this); }

void AES_set_key(AesKeySchedule& schedule, const unsigned char* key, int keyLenBytes) {
  const int nk = keyLenBytes / 4;
  if (key == nullptr || (keyLenBytes != 16 && keyLenBytes != 24 && keyLenBytes != 32)) {
    // Zero rounds: the block functions then touch only the first round key.
    secure_wipe(&schedule, sizeof schedule);
    return;
  }
  const int rounds = nk + 6;
  const int words = 4 * (rounds + 1);
  uint32_t* w = schedule.enc_keys;
  for (int i = 0; i < nk; ++i) w[i] = load32_be(key + 4 * i);
  for (int i = nk; i < words; ++i) {
    uint32_t t = w[i - 1];
    if (i % nk == 0) {
      t = aes_sub_word(rotl32(t, 8)) ^ uint32_t { kAesRcon[i / nk - 1] } << 24;
    } else if (nk > 6 && i % nk == 4) {
      t = aes_sub_word(t);
    }
    w[i] = w[i - nk] ^ t;
  }
  for (int i = words; i < 60; ++i) w[i] = 0;
  schedule.enc_rounds = rounds;

  // Equivalent inverse cipher (FIPS-197, 5.3.5): the round keys in reverse
  // order, InvMixColumns on all but the first and the last.
  uint32_t* dw = schedule.dec_keys;
  for (int r = 0; r <= rounds; ++r) {
    for (int j = 0; j < 4; ++j) {
      const uint32_t word = w[4 * (rounds - r) + j];
      dw[4 * r + j] = (r == 0 || r == rounds) ? word : aes_inv_mix_column(word);
    }
  }
  for (int i = words; i < 60; ++i) dw[i] = 0;
  schedule.dec_rounds = rounds;
}

void AES_encrypt_block(const AesKeySchedule& schedule, const unsigned char in[16],
                       unsigned char out[16]) {
  const uint32_t* rk = schedule.enc_keys;
  uint32_t s0 = load32_be(in) ^ rk[0];
  uint32_t s1 = load32_be(in + 4) ^ rk[1];
  uint32_t s2 = load32_be(in + 8) ^ rk[2];
  uint32_t s3 = load32_be(in + 12) ^ rk[3];
  for (int round = 1; round < schedule.enc_rounds; ++round) {
    rk += 4;
    const uint32_t t0 = aes_round_column(s0, s1, s2, s3) ^ rk[0];
    const uint32_t t1 = aes_round_column(s1, s2, s3, s0) ^ rk[1];
    const uint32_t t2 = aes_round_column(s2, s3, s0, s1) ^ rk[2];
    const uint32_t t3 = aes_round_column(s3, s0, s1, s2) ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  if (schedule.enc_rounds > 0) rk += 4;
  store32_be(out, aes_final_column(s0, s1, s2, s3) ^ rk[0]);
  store32_be(out + 4, aes_final_column(s1, s2, s3, s0) ^ rk[1]);
  store32_be(out + 8, aes_final_column(s2, s3, s0, s1) ^ rk[2]);
  store32_be(out + 12, aes_final_column(s3, s0, s1, s2) ^ rk[3]);
}

void AES_decrypt_block(const AesKeySchedule& schedule, const unsigned char in[16],
                       unsigned char out[16]) {
  const uint32_t* rk = schedule.dec_keys;
  uint32_t s0 = load32_be(in) ^ rk[0];
  uint32_t s1 = load32_be(in + 4) ^ rk[1];
  uint32_t s2 = load32_be(in + 8) ^ rk[2];
  uint32_t s3 = load32_be(in + 12) ^ rk[3];
  for (int round = 1; round < schedule.dec_rounds; ++round) {
    rk += 4;
    const uint32_t t0 = aes_inv_round_column(s0, s3, s2, s1) ^ rk[0];
    const uint32_t t1 = aes_inv_round_column(s1, s0, s3, s2) ^ rk[1];
    const uint32_t t2 = aes_inv_round_column(s2, s1, s0, s3) ^ rk[2];
    const uint32_t t3 = aes_inv_round_column(s3, s2, s1, s0) ^ rk[3];
    s0 = t0;
    s1 = t1;
    s2 = t2;
    s3 = t3;
  }
  if (schedule.dec_rounds > 0) rk += 4;
  store32_be(out, aes_inv_final_column(s0, s3, s2, s1) ^ rk[0]);
  store32_be(out + 4, aes_inv_final_column(s1, s0, s3, s2) ^ rk[1]);
  store32_be(out + 8, aes_inv_final_column(s2, s1, s0, s3) ^ rk[2]);
  store32_be(out + 12, aes_inv_final_column(s3, s2, s1, s0) ^ rk[3]);
}

std::string AES_ECB_Encrypt_pkcs7padding(const unsigned char* key, unsigned long keyLen,
                                         const std::string& plain) {
  if (key == nullptr || !is_aes_key_length(keyLen)) return std::string();
  AesKeySchedule schedule;
  AES_set_key(schedule, key, static_cast<int>(keyLen));
  const AesKeySchedule* s = &schedule;
  const BlockFunction block = [s](const unsigned char* in, unsigned char* out, unsigned long) {
    AES_encrypt_block(*s, in, out);
  };
  return ECB_Encrypt_pkcs7padding(plain, block);
}

std::string AES_ECB_Decrypt_pkcs7unpadding(const unsigned char* key, unsigned long keyLen,
                                           const std::string& cipher) {
  if (key == nullptr || !is_aes_key_length(keyLen)) return std::string();
  AesKeySchedule schedule;
  AES_set_key(schedule, key, static_cast<int>(keyLen));
  const AesKeySchedule* s = &schedule;
  const BlockFunction block = [s](const unsigned char* in, unsigned char* out, unsigned long) {
    AES_decrypt_block(*s, in, out);
  };
  return ECB_Decrypt_pkcs7unpadding(cipher, block);
}

// ---------------------------------------------------------------------------
// SM4.

Sm4KeySchedule::~Sm4KeySchedule() { secure_wipe(this, sizeof *this); }

void SM4_set_key(Sm4KeySchedule& schedule, const unsigned char key[16], int mode) {
  uint32_t k0 = load32_be(key) ^ kSm4Fk[0];
  uint32_t k1 = load32_be(key + 4) ^ kSm4Fk[1];
  uint32_t k2 = load32_be(key + 8) ^ kSm4Fk[2];
  uint32_t k3 = load32_be(key + 12) ^ kSm4Fk[3];
  uint32_t* rk = schedule.round_keys;
  for (int i = 0; i < 32; i += 4) {
    rk[i] = k0 ^= sm4_t_key(k1 ^ k2 ^ k3 ^ kSm4Ck.entry[i]);
    rk[i + 1] = k1 ^= sm4_t_key(k2 ^ k3 ^ k0 ^ kSm4Ck.entry[i + 1]);
    rk[i + 2] = k2 ^= sm4_t_key(k3 ^ k0 ^ k1 ^ kSm4Ck.entry[i + 2]);
    rk[i + 3] = k3 ^= sm4_t_key(k0 ^ k1 ^ k2 ^ kSm4Ck.entry[i + 3]);
  }
  if (mode == 1) {
    for (int i = 0; i < 16; ++i) {
      const uint32_t t = rk[i];
      rk[i] = rk[31 - i];
      rk[31 - i] = t;
    }
  }
}

void SM4_crypt_block(const Sm4KeySchedule& schedule, const unsigned char in[16],
                     unsigned char out[16]) {
  const uint32_t* rk = schedule.round_keys;
  uint32_t x0 = load32_be(in);
  uint32_t x1 = load32_be(in + 4);
  uint32_t x2 = load32_be(in + 8);
  uint32_t x3 = load32_be(in + 12);
  for (int i = 0; i < 32; i += 4) {
    x0 ^= sm4_t(x1 ^ x2 ^ x3 ^ rk[i]);
    x1 ^= sm4_t(x2 ^ x3 ^ x0 ^ rk[i + 1]);
    x2 ^= sm4_t(x3 ^ x0 ^ x1 ^ rk[i + 2]);
    x3 ^= sm4_t(x0 ^ x1 ^ x2 ^ rk[i + 3]);
  }
  // The reverse transformation R: the last four words in reverse order.
  store32_be(out, x3);
  store32_be(out + 4, x2);
  store32_be(out + 8, x1);
  store32_be(out + 12, x0);
}

std::string SM4_ECB_Encrypt_pkcs7padding(const unsigned char* key, unsigned long /*keyLen*/,
                                         const std::string& plain) {
  if (key == nullptr) return std::string();
  Sm4KeySchedule schedule;
  SM4_set_key(schedule, key, 0);
  const Sm4KeySchedule* s = &schedule;
  const BlockFunction block = [s](const unsigned char* in, unsigned char* out, unsigned long) {
    SM4_crypt_block(*s, in, out);
  };
  return ECB_Encrypt_pkcs7padding(plain, block);
}

std::string SM4_ECB_Decrypt_pkcs7unpadding(const unsigned char* key, unsigned long /*keyLen*/,
                                           const std::string& cipher) {
  if (key == nullptr) return std::string();
  Sm4KeySchedule schedule;
  SM4_set_key(schedule, key, 1);
  const Sm4KeySchedule* s = &schedule;
  const BlockFunction block = [s](const unsigned char* in, unsigned char* out, unsigned long) {
    SM4_crypt_block(*s, in, out);
  };
  return ECB_Decrypt_pkcs7unpadding(cipher, block);
}

// ---------------------------------------------------------------------------
// XXTEA.

std::string XXTEA_Encrypt(const std::string& data, const std::string& key) {
  if (data.empty() || key.empty() || data.size() > kXxteaMaxDataSize) return std::string();
  XxteaKey k;
  xxtea_key(key, k);
  const size_t words = (data.size() + 3) / 4 + 1;
  std::string out;
  try {
    out.resize(4 * words);  // zero-fills the tail of the last data word
  } catch (const std::bad_alloc&) {
    return std::string();
  }
  unsigned char* v = bytes_of(out);
  std::memcpy(v, data.data(), data.size());
  store32_le(v + 4 * (words - 1), static_cast<uint32_t>(data.size()));
  xxtea_encrypt_words(v, words, k.k);
  return out;
}

std::string XXTEA_Decrypt(const std::string& data, const std::string& key) {
  if (data.empty() || key.empty()) return std::string();
  XxteaKey k;
  xxtea_key(key, k);
  const size_t words = (data.size() + 3) / 4;
  std::string out;
  try {
    out.resize(4 * words);
  } catch (const std::bad_alloc&) {
    return std::string();
  }
  unsigned char* v = bytes_of(out);
  std::memcpy(v, data.data(), data.size());
  if (words >= 2) xxtea_decrypt_words(v, words, k.k);
  // The length word must name a length that fills all but the last word.
  const size_t length = load32_le(v + 4 * (words - 1));
  if (length + 7 < 4 * words || length + 4 > 4 * words) return std::string();
  out.resize(length);
  return out;
}

}  // namespace risk
