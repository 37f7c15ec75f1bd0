// Message digests: MD5 (RFC 1321), SHA-1 (FIPS 180-4), SM3 (GB/T 32905).
//
// Callers: the cipher schemes (key derivation, signatures), the business
// payload, the platform adapter's sealed properties and a collector. Pure
// functions over byte strings (any byte value, zero included); re-entrant,
// any thread. Every result is a fresh string owned by the caller. Nothing
// here throws for any input or writes a log line. Hash state is wiped when it
// goes out of use.
#ifndef RISK_CRYPTO_DIGEST_H_
#define RISK_CRYPTO_DIGEST_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace risk {

constexpr size_t kMd5Size = 16;
constexpr size_t kSha1Size = 20;
constexpr size_t kSm3Size = 32;

// Streaming SHA-1 state, the only digest callers drive in steps:
// sha1_init, any number of sha1_update calls, then sha1_final, which writes
// the 20 digest bytes and zeroes the context. Owned by one thread; wipes
// itself when destroyed.
struct Sha1Context {
  uint32_t state[5];
  uint64_t bit_count;  // message bits so far; bit_count / 8 % 64 are buffered
  unsigned char buffer[64];
  ~Sha1Context();
};
void sha1_init(Sha1Context& ctx);
// REQUIRES: data points at length readable bytes (data may be null when
// length is 0).
void sha1_update(Sha1Context& ctx, const void* data, size_t length);
void sha1_final(Sha1Context& ctx, unsigned char digest[kSha1Size]);

// 32 lowercase hexadecimal characters of MD5(data).
std::string md5_hex(const std::string& data);
// 40 lowercase hexadecimal characters of SHA-1(data), through a Sha1Context.
std::string sha1_hex(const std::string& data);
// The 32 raw bytes of SM3(data); always exactly 32 bytes, zero bytes
// included. Callers that need a 16-byte key take the first 16.
std::string sm3_digest(const std::string& data);
// 64 lowercase hexadecimal characters of SM3(data).
std::string sm3_hex(const std::string& data);

}  // namespace risk

#endif  // RISK_CRYPTO_DIGEST_H_
