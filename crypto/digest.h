// Message digests: MD5 (RFC 1321), SHA-1 (FIPS 180-4), SM3 (GB/T 32905).
// Pure functions over byte strings; re-entrant, any thread.
#ifndef RISK_CRYPTO_DIGEST_H_
#define RISK_CRYPTO_DIGEST_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace risk {

// Streaming SHA-1 state. sha1_final zeroes the context.
struct Sha1Context {
  uint32_t state[5];
  uint64_t bit_count;
  unsigned char buffer[64];
};
void sha1_init(Sha1Context& ctx);
void sha1_update(Sha1Context& ctx, const void* data, size_t length);
void sha1_final(Sha1Context& ctx, unsigned char digest[20]);

// 32 lowercase hexadecimal characters of MD5(data).
std::string md5_hex(const std::string& data);
// 40 lowercase hexadecimal characters of SHA-1(data).
std::string sha1_hex(const std::string& data);
// The 32 raw bytes of SM3(data).
std::string sm3_digest(const std::string& data);
// 64 lowercase hexadecimal characters of SM3(data).
std::string sm3_hex(const std::string& data);

}  // namespace risk

#endif  // RISK_CRYPTO_DIGEST_H_
