#include "crypto/digest.h"

#include <cstring>

#include "crypto/encoding.h"
#include "crypto/internal.h"

namespace risk {
namespace {

constexpr size_t kBlockSize = 64;
// Offset of the 64-bit length field inside the last padded block.
constexpr size_t kLengthOffset = 56;

using crypto_internal::copy_bytes;
using crypto_internal::load32_be;
using crypto_internal::load32_le;
using crypto_internal::rotl32;
using crypto_internal::secure_wipe;
using crypto_internal::store32_be;
using crypto_internal::store32_le;
using crypto_internal::store64_be;
using crypto_internal::store64_le;

enum class LengthOrder { kLittle, kBig };

// The tail shared by all three digests: the last tail_len (< 64) message
// bytes, a 0x80 byte, zeros up to 56 mod 64, then the message length in
// bits. Writes one or two blocks into out and returns how many.
size_t pad_tail(const unsigned char* tail, size_t tail_len, uint64_t bit_length, LengthOrder order,
                unsigned char out[2 * kBlockSize]) {
  const size_t blocks = tail_len < kLengthOffset ? 1 : 2;
  const size_t length_at = blocks * kBlockSize - 8;
  copy_bytes(out, tail, tail_len);
  out[tail_len] = 0x80;
  std::memset(out + tail_len + 1, 0, length_at - tail_len - 1);
  if (order == LengthOrder::kLittle) {
    store64_le(out + length_at, bit_length);
  } else {
    store64_be(out + length_at, bit_length);
  }
  return blocks;
}

using CompressFn = void (*)(uint32_t* state, const unsigned char* blocks, size_t count);

// Hashes a whole message: full blocks straight from the input, then the
// padded tail from a small stack buffer.
void hash_message(const std::string& data, uint32_t* state, LengthOrder order,
                  CompressFn compress) {
  const auto* p = reinterpret_cast<const unsigned char*>(data.data());
  const size_t full = data.size() / kBlockSize;
  compress(state, p, full);
  unsigned char tail[2 * kBlockSize];
  const size_t blocks = pad_tail(p + full * kBlockSize, data.size() % kBlockSize,
                                 uint64_t(data.size()) * 8, order, tail);
  compress(state, tail, blocks);
  secure_wipe(tail, sizeof tail);
}

std::string as_string(const unsigned char* bytes, size_t size) {
  return std::string(reinterpret_cast<const char*>(bytes), size);
}

// ---------------------------------------------------------------- MD5

// RFC 1321, section 3.3: initial words A, B, C, D.
constexpr uint32_t kMd5Init[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

// RFC 1321, section 3.4: T[i] = floor(2^32 * abs(sin(i))), i = 1..64.
constexpr uint32_t kMd5T[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// RFC 1321, section 3.4: the auxiliary functions, in forms that need one
// operation fewer than the textbook ones (same truth tables).
inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) { return y ^ (z & (x ^ y)); }
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) { return y ^ (x | ~z); }

// The four step operations: a = b + ((a + f(b, c, d) + X[k] + T[i]) <<< s).
inline void FF(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, unsigned s,
               uint32_t t) {
  a = b + rotl32(a + F(b, c, d) + x + t, s);
}
inline void GG(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, unsigned s,
               uint32_t t) {
  a = b + rotl32(a + G(b, c, d) + x + t, s);
}
inline void HH(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, unsigned s,
               uint32_t t) {
  a = b + rotl32(a + H(b, c, d) + x + t, s);
}
inline void II(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, unsigned s,
               uint32_t t) {
  a = b + rotl32(a + I(b, c, d) + x + t, s);
}

void md5_compress(uint32_t* state, const unsigned char* p, size_t count) {
  for (; count != 0; --count, p += kBlockSize) {
    uint32_t X[16];
    for (int k = 0; k < 16; ++k) X[k] = load32_le(p + 4 * k);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

    // Round 1: X[i], shifts 7 12 17 22.
#pragma GCC unroll 4
    for (int i = 0; i < 16; i += 4) {
      FF(a, b, c, d, X[i + 0], 7, kMd5T[i + 0]);
      FF(d, a, b, c, X[i + 1], 12, kMd5T[i + 1]);
      FF(c, d, a, b, X[i + 2], 17, kMd5T[i + 2]);
      FF(b, c, d, a, X[i + 3], 22, kMd5T[i + 3]);
    }
    // Round 2: X[(1 + 5i) mod 16], shifts 5 9 14 20.
#pragma GCC unroll 4
    for (int i = 0; i < 16; i += 4) {
      GG(a, b, c, d, X[(1 + 5 * i) & 15], 5, kMd5T[16 + i]);
      GG(d, a, b, c, X[(6 + 5 * i) & 15], 9, kMd5T[17 + i]);
      GG(c, d, a, b, X[(11 + 5 * i) & 15], 14, kMd5T[18 + i]);
      GG(b, c, d, a, X[(0 + 5 * i) & 15], 20, kMd5T[19 + i]);
    }
    // Round 3: X[(5 + 3i) mod 16], shifts 4 11 16 23.
#pragma GCC unroll 4
    for (int i = 0; i < 16; i += 4) {
      HH(a, b, c, d, X[(5 + 3 * i) & 15], 4, kMd5T[32 + i]);
      HH(d, a, b, c, X[(8 + 3 * i) & 15], 11, kMd5T[33 + i]);
      HH(c, d, a, b, X[(11 + 3 * i) & 15], 16, kMd5T[34 + i]);
      HH(b, c, d, a, X[(14 + 3 * i) & 15], 23, kMd5T[35 + i]);
    }
    // Round 4: X[7i mod 16], shifts 6 10 15 21.
#pragma GCC unroll 4
    for (int i = 0; i < 16; i += 4) {
      II(a, b, c, d, X[(0 + 7 * i) & 15], 6, kMd5T[48 + i]);
      II(d, a, b, c, X[(7 + 7 * i) & 15], 10, kMd5T[49 + i]);
      II(c, d, a, b, X[(14 + 7 * i) & 15], 15, kMd5T[50 + i]);
      II(b, c, d, a, X[(21 + 7 * i) & 15], 21, kMd5T[51 + i]);
    }

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
  }
}

// -------------------------------------------------------------- SHA-1

// FIPS 180-4, section 5.3.1: initial hash value H(0).
constexpr uint32_t kSha1Init[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};

// FIPS 180-4, section 4.2.1: constants K for t = 0..19, 20..39, 40..59, 60..79.
constexpr uint32_t kSha1K[4] = {0x5a827999, 0x6ed9eba1, 0x8f1bbcdc, 0xca62c1d6};

// FIPS 180-4, section 4.1.1: the functions f_t.
inline uint32_t Ch(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t Parity(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t Maj(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (z & (x | y)); }

// Message schedule word W[t] for t >= 16, kept in a ring of 16 words.
inline uint32_t sha1_schedule(uint32_t* W, int t) {
  const uint32_t w = rotl32(W[(t - 3) & 15] ^ W[(t - 8) & 15] ^ W[(t - 14) & 15] ^ W[t & 15], 1);
  W[t & 15] = w;
  return w;
}

// One step of section 6.1.2, step 3, with the variables renamed instead of
// moved: the caller rotates the argument order (a b c d e -> e a b c d).
template <uint32_t (*f)(uint32_t, uint32_t, uint32_t)>
inline void sha1_step(uint32_t a, uint32_t& b, uint32_t c, uint32_t d, uint32_t& e, uint32_t k,
                      uint32_t w) {
  e += rotl32(a, 5) + f(b, c, d) + k + w;
  b = rotl32(b, 30);
}

void sha1_compress(uint32_t* state, const unsigned char* p, size_t count) {
  for (; count != 0; --count, p += kBlockSize) {
    uint32_t W[16];
    for (int t = 0; t < 16; ++t) W[t] = load32_be(p + 4 * t);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];

#pragma GCC unroll 3
    for (int t = 0; t < 15; t += 5) {
      sha1_step<Ch>(a, b, c, d, e, kSha1K[0], W[t + 0]);
      sha1_step<Ch>(e, a, b, c, d, kSha1K[0], W[t + 1]);
      sha1_step<Ch>(d, e, a, b, c, kSha1K[0], W[t + 2]);
      sha1_step<Ch>(c, d, e, a, b, kSha1K[0], W[t + 3]);
      sha1_step<Ch>(b, c, d, e, a, kSha1K[0], W[t + 4]);
    }
    sha1_step<Ch>(a, b, c, d, e, kSha1K[0], W[15]);
    sha1_step<Ch>(e, a, b, c, d, kSha1K[0], sha1_schedule(W, 16));
    sha1_step<Ch>(d, e, a, b, c, kSha1K[0], sha1_schedule(W, 17));
    sha1_step<Ch>(c, d, e, a, b, kSha1K[0], sha1_schedule(W, 18));
    sha1_step<Ch>(b, c, d, e, a, kSha1K[0], sha1_schedule(W, 19));
#pragma GCC unroll 4
    for (int t = 20; t < 40; t += 5) {
      sha1_step<Parity>(a, b, c, d, e, kSha1K[1], sha1_schedule(W, t + 0));
      sha1_step<Parity>(e, a, b, c, d, kSha1K[1], sha1_schedule(W, t + 1));
      sha1_step<Parity>(d, e, a, b, c, kSha1K[1], sha1_schedule(W, t + 2));
      sha1_step<Parity>(c, d, e, a, b, kSha1K[1], sha1_schedule(W, t + 3));
      sha1_step<Parity>(b, c, d, e, a, kSha1K[1], sha1_schedule(W, t + 4));
    }
#pragma GCC unroll 4
    for (int t = 40; t < 60; t += 5) {
      sha1_step<Maj>(a, b, c, d, e, kSha1K[2], sha1_schedule(W, t + 0));
      sha1_step<Maj>(e, a, b, c, d, kSha1K[2], sha1_schedule(W, t + 1));
      sha1_step<Maj>(d, e, a, b, c, kSha1K[2], sha1_schedule(W, t + 2));
      sha1_step<Maj>(c, d, e, a, b, kSha1K[2], sha1_schedule(W, t + 3));
      sha1_step<Maj>(b, c, d, e, a, kSha1K[2], sha1_schedule(W, t + 4));
    }
#pragma GCC unroll 4
    for (int t = 60; t < 80; t += 5) {
      sha1_step<Parity>(a, b, c, d, e, kSha1K[3], sha1_schedule(W, t + 0));
      sha1_step<Parity>(e, a, b, c, d, kSha1K[3], sha1_schedule(W, t + 1));
      sha1_step<Parity>(d, e, a, b, c, kSha1K[3], sha1_schedule(W, t + 2));
      sha1_step<Parity>(c, d, e, a, b, kSha1K[3], sha1_schedule(W, t + 3));
      sha1_step<Parity>(b, c, d, e, a, kSha1K[3], sha1_schedule(W, t + 4));
    }

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
  }
}

// ---------------------------------------------------------------- SM3

// GB/T 32905-2016, section 4.1: initial value IV.
constexpr uint32_t kSm3Init[8] = {0x7380166f, 0x4914b2b9, 0x172442d7, 0xda8a0600,
                                  0xa96f30bc, 0x163138aa, 0xe38dee4d, 0xb0fb0e4e};

// GB/T 32905-2016, section 4.2: T_j = 79cc4519 for j < 16, 7a879d8a after.
// The compression function only ever uses T_j <<< (j mod 32), so the table
// holds that rotated value for each round.
struct Sm3RoundConstants {
  uint32_t value[64];
};
constexpr Sm3RoundConstants make_sm3_round_constants() {
  Sm3RoundConstants table{};
  for (unsigned j = 0; j < 64; ++j) {
    const uint32_t t = j < 16 ? 0x79cc4519u : 0x7a879d8au;
    table.value[j] = rotl32(t, j);
  }
  return table;
}
constexpr Sm3RoundConstants kSm3TRotated = make_sm3_round_constants();

// GB/T 32905-2016, section 4.3: boolean and permutation functions.
inline uint32_t FF_0_15(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t FF_16_63(uint32_t x, uint32_t y, uint32_t z) { return (x & y) | (z & (x | y)); }
inline uint32_t GG_0_15(uint32_t x, uint32_t y, uint32_t z) { return x ^ y ^ z; }
inline uint32_t GG_16_63(uint32_t x, uint32_t y, uint32_t z) { return z ^ (x & (y ^ z)); }
inline uint32_t P0(uint32_t x) { return x ^ rotl32(x, 9) ^ rotl32(x, 17); }
inline uint32_t P1(uint32_t x) { return x ^ rotl32(x, 15) ^ rotl32(x, 23); }

// One round j of section 5.3.3, given W_j and W_{j+4} (W'_j = W_j ^ W_{j+4}),
// with the variables renamed instead of moved: A B C D E F G H becomes
// D A B C H E F G for the next round.
using Sm3BooleanFn = uint32_t (*)(uint32_t, uint32_t, uint32_t);
template <Sm3BooleanFn FF, Sm3BooleanFn GG>
inline void sm3_round(uint32_t A, uint32_t& B, uint32_t C, uint32_t& D, uint32_t E, uint32_t& F,
                      uint32_t G, uint32_t& H, uint32_t t_rotated, uint32_t w, uint32_t w_plus4) {
  const uint32_t w_prime = w ^ w_plus4;
  const uint32_t a12 = rotl32(A, 12);
  const uint32_t SS1 = rotl32(a12 + E + t_rotated, 7);
  const uint32_t SS2 = SS1 ^ a12;
  const uint32_t TT1 = FF(A, B, C) + D + SS2 + w_prime;
  const uint32_t TT2 = GG(E, F, G) + H + SS1 + w;
  B = rotl32(B, 9);
  D = TT1;
  F = rotl32(F, 19);
  H = P0(TT2);
}

// Section 5.3.2 expansion computed on the fly in a ring of 16 words: round j
// needs W_j and W_{j+4}, so W_{j+4} is produced just before round j.
inline uint32_t sm3_expand(uint32_t* W, int j) {
  const uint32_t w = P1(W[(j - 16) & 15] ^ W[(j - 9) & 15] ^ rotl32(W[(j - 3) & 15], 15)) ^
                     rotl32(W[(j - 13) & 15], 7) ^ W[(j - 6) & 15];
  W[j & 15] = w;
  return w;
}

void sm3_compress(uint32_t* state, const unsigned char* p, size_t count) {
  for (; count != 0; --count, p += kBlockSize) {
    uint32_t W[16];
    for (int j = 0; j < 16; ++j) W[j] = load32_be(p + 4 * j);
    uint32_t A = state[0], B = state[1], C = state[2], D = state[3];
    uint32_t E = state[4], F = state[5], G = state[6], H = state[7];
    const uint32_t* T = kSm3TRotated.value;

#pragma GCC unroll 3
    for (int j = 0; j < 12; j += 4) {
      sm3_round<FF_0_15, GG_0_15>(A, B, C, D, E, F, G, H, T[j], W[j], W[j + 4]);
      sm3_round<FF_0_15, GG_0_15>(D, A, B, C, H, E, F, G, T[j + 1], W[j + 1], W[j + 5]);
      sm3_round<FF_0_15, GG_0_15>(C, D, A, B, G, H, E, F, T[j + 2], W[j + 2], W[j + 6]);
      sm3_round<FF_0_15, GG_0_15>(B, C, D, A, F, G, H, E, T[j + 3], W[j + 3], W[j + 7]);
    }
    sm3_round<FF_0_15, GG_0_15>(A, B, C, D, E, F, G, H, T[12], W[12], sm3_expand(W, 16));
    sm3_round<FF_0_15, GG_0_15>(D, A, B, C, H, E, F, G, T[13], W[13], sm3_expand(W, 17));
    sm3_round<FF_0_15, GG_0_15>(C, D, A, B, G, H, E, F, T[14], W[14], sm3_expand(W, 18));
    sm3_round<FF_0_15, GG_0_15>(B, C, D, A, F, G, H, E, T[15], W[15], sm3_expand(W, 19));
#pragma GCC unroll 12
    for (int j = 16; j < 64; j += 4) {
      sm3_round<FF_16_63, GG_16_63>(A, B, C, D, E, F, G, H, T[j], W[j & 15], sm3_expand(W, j + 4));
      sm3_round<FF_16_63, GG_16_63>(D, A, B, C, H, E, F, G, T[j + 1], W[(j + 1) & 15],
                                    sm3_expand(W, j + 5));
      sm3_round<FF_16_63, GG_16_63>(C, D, A, B, G, H, E, F, T[j + 2], W[(j + 2) & 15],
                                    sm3_expand(W, j + 6));
      sm3_round<FF_16_63, GG_16_63>(B, C, D, A, F, G, H, E, T[j + 3], W[(j + 3) & 15],
                                    sm3_expand(W, j + 7));
    }

    state[0] ^= A;
    state[1] ^= B;
    state[2] ^= C;
    state[3] ^= D;
    state[4] ^= E;
    state[5] ^= F;
    state[6] ^= G;
    state[7] ^= H;
  }
}

void sm3_bytes(const std::string& data, unsigned char digest[kSm3Size]) {
  uint32_t state[8];
  std::memcpy(state, kSm3Init, sizeof state);
  hash_message(data, state, LengthOrder::kBig, sm3_compress);
  for (int i = 0; i < 8; ++i) store32_be(digest + 4 * i, state[i]);
  secure_wipe(state, sizeof state);
}

}  // namespace

Sha1Context::~Sha1Context() { secure_wipe(this, sizeof *this); }

void sha1_init(Sha1Context& ctx) {
  std::memcpy(ctx.state, kSha1Init, sizeof ctx.state);
  ctx.bit_count = 0;
  std::memset(ctx.buffer, 0, sizeof ctx.buffer);
}

void sha1_update(Sha1Context& ctx, const void* data, size_t length) {
  if (length == 0) return;
  const auto* p = static_cast<const unsigned char*>(data);
  const size_t used = size_t(ctx.bit_count / 8 % kBlockSize);
  ctx.bit_count += uint64_t(length) * 8;
  if (used != 0) {
    const size_t take = length < kBlockSize - used ? length : kBlockSize - used;
    std::memcpy(ctx.buffer + used, p, take);
    if (used + take < kBlockSize) return;
    sha1_compress(ctx.state, ctx.buffer, 1);
    p += take;
    length -= take;
  }
  const size_t full = length / kBlockSize;
  sha1_compress(ctx.state, p, full);
  p += full * kBlockSize;
  length -= full * kBlockSize;
  copy_bytes(ctx.buffer, p, length);
}

void sha1_final(Sha1Context& ctx, unsigned char digest[kSha1Size]) {
  unsigned char tail[2 * kBlockSize];
  const size_t blocks = pad_tail(ctx.buffer, size_t(ctx.bit_count / 8 % kBlockSize), ctx.bit_count,
                                 LengthOrder::kBig, tail);
  sha1_compress(ctx.state, tail, blocks);
  secure_wipe(tail, blocks * kBlockSize);
  for (int i = 0; i < 5; ++i) store32_be(digest + 4 * i, ctx.state[i]);
  secure_wipe(&ctx, sizeof ctx);
}

std::string md5_hex(const std::string& data) {
  uint32_t state[4];
  std::memcpy(state, kMd5Init, sizeof state);
  hash_message(data, state, LengthOrder::kLittle, md5_compress);
  unsigned char digest[kMd5Size];
  for (int i = 0; i < 4; ++i) store32_le(digest + 4 * i, state[i]);
  secure_wipe(state, sizeof state);
  return hex_encode(digest, sizeof digest);
}

std::string sha1_hex(const std::string& data) {
  Sha1Context ctx;
  sha1_init(ctx);
  sha1_update(ctx, data.data(), data.size());
  unsigned char digest[kSha1Size];
  sha1_final(ctx, digest);
  return hex_encode(digest, sizeof digest);
}

std::string sm3_digest(const std::string& data) {
  unsigned char digest[kSm3Size];
  sm3_bytes(data, digest);
  return as_string(digest, sizeof digest);
}

std::string sm3_hex(const std::string& data) {
  unsigned char digest[kSm3Size];
  sm3_bytes(data, digest);
  return hex_encode(digest, sizeof digest);
}

}  // namespace risk
