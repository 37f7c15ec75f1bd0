// Byte helpers shared by the block ciphers, the digests and the cipher
// schemes, and by nothing outside crypto/: explicit little- and big-endian
// loads and stores (no pointer casts, so alignment never matters; compilers
// turn each into one load or store, byte-swapping where needed), rotations,
// a copy that accepts a length of 0, and a wipe the compiler cannot drop.
// Pure functions on memory the caller owns; any thread.
#ifndef RISK_CRYPTO_INTERNAL_H_
#define RISK_CRYPTO_INTERNAL_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace risk {
namespace crypto_internal {

// REQUIRES: p points at 4 (load32/store32) or 8 (load64/store64) bytes.
inline uint32_t load32_le(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
inline uint32_t load32_be(const unsigned char* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}
inline void store32_le(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
  p[2] = static_cast<unsigned char>(v >> 16);
  p[3] = static_cast<unsigned char>(v >> 24);
}
inline void store32_be(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}
inline uint64_t load64_le(const unsigned char* p) {
  return uint64_t{load32_le(p)} | uint64_t{load32_le(p + 4)} << 32;
}
inline uint64_t load64_be(const unsigned char* p) {
  return uint64_t{load32_be(p)} << 32 | uint64_t{load32_be(p + 4)};
}
inline void store64_le(unsigned char* p, uint64_t v) {
  store32_le(p, static_cast<uint32_t>(v));
  store32_le(p + 4, static_cast<uint32_t>(v >> 32));
}
inline void store64_be(unsigned char* p, uint64_t v) {
  store32_be(p, static_cast<uint32_t>(v >> 32));
  store32_be(p + 4, static_cast<uint32_t>(v));
}

// Defined for every n (taken mod 32), 0 included: neither shift ever reaches
// 32. Compilers recognise the masked form and emit one rotate instruction.
constexpr uint32_t rotl32(uint32_t v, unsigned n) { return v << (n & 31) | v >> ((32 - n) & 31); }
constexpr uint32_t rotr32(uint32_t v, unsigned n) { return v >> (n & 31) | v << ((32 - n) & 31); }

// memcpy that accepts n == 0 with dst or src null (memcpy itself does not).
inline void copy_bytes(void* dst, const void* src, size_t n) {
  if (n != 0) std::memcpy(dst, src, n);
}

// Zeroes [p, p + n) with a store the compiler may not drop as dead, for key
// material and hash state that goes out of use. p may be null when n is 0.
inline void secure_wipe(void* p, size_t n) {
  if (n == 0) return;
#if defined(__GNUC__) || defined(__clang__)
  std::memset(p, 0, n);
  // The empty assembly statement may read all memory through p, so the
  // zeroes must be in place when it runs.
  __asm__ __volatile__("" : : "r"(p) : "memory");
#else
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(p);
  while (n-- != 0) *bytes++ = 0;
#endif
}

// Wipes the characters of s (its length stays).
inline void secure_wipe(std::string& s) {
  if (!s.empty()) secure_wipe(&s[0], s.size());
}

inline const unsigned char* bytes_of(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}
inline unsigned char* bytes_of(std::string& s) { return reinterpret_cast<unsigned char*>(&s[0]); }

}  // namespace crypto_internal
}  // namespace risk

#endif  // RISK_CRYPTO_INTERNAL_H_
