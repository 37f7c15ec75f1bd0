#include "crypto/internal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace risk {
namespace crypto_internal {
namespace {

// A shift by 32 is undefined, and undefined behaviour is no constant
// expression: these stop the build if a rotation by 0 ever shifts by 32.
static_assert(rotl32(0x80000001u, 0) == 0x80000001u, "rotl32 by 0");
static_assert(rotr32(0x80000001u, 0) == 0x80000001u, "rotr32 by 0");

// Rotation through a 64-bit doubling of v, independent of the helpers.
uint32_t reference_rotl(uint32_t v, unsigned n) {
  const uint64_t doubled = uint64_t{v} << 32 | v;
  return static_cast<uint32_t>(doubled >> (32 - n % 32));
}

TEST(CryptoInternal, RotationsMatchTheReferenceForEveryShift) {
  // Shifts of 32 and more are used (SM3's constants rotate by j < 64).
  for (const uint32_t v : {0x80000001u, 0x12345678u, 0xfffffffeu}) {
    for (unsigned n = 0; n < 64; ++n) {
      SCOPED_TRACE(testing::Message() << std::hex << v << " by " << std::dec << n);
      EXPECT_EQ(rotl32(v, n), reference_rotl(v, n));
      EXPECT_EQ(rotr32(v, n), reference_rotl(v, (32 - n % 32) % 32));
    }
  }
  // The direction: left moves the top bit to the bottom.
  EXPECT_EQ(rotl32(0x80000001u, 1), 0x00000003u);
  EXPECT_EQ(rotr32(0x80000001u, 1), 0xc0000000u);
  EXPECT_EQ(rotl32(0x12345678u, 31), 0x091a2b3cu);
}

TEST(CryptoInternal, LoadsAndStoresKeepTheirByteOrderAtAnyAlignment) {
  for (size_t offset = 0; offset < 4; ++offset) {
    SCOPED_TRACE(offset);
    unsigned char buffer[16] = {};
    unsigned char* p = buffer + offset;
    for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(i + 1);
    EXPECT_EQ(load32_le(p), 0x04030201u);
    EXPECT_EQ(load32_be(p), 0x01020304u);
    EXPECT_EQ(load64_le(p), 0x0807060504030201u);
    EXPECT_EQ(load64_be(p), 0x0102030405060708u);

    const std::string expected("\x01\x02\x03\x04\x05\x06\x07\x08", 8);
    struct Store {
      void (*store)(unsigned char*);
      size_t width;
    };
    const Store stores[] = {
        {[](unsigned char* q) { store32_le(q, 0x04030201u); }, 4},
        {[](unsigned char* q) { store32_be(q, 0x01020304u); }, 4},
        {[](unsigned char* q) { store64_le(q, 0x0807060504030201u); }, 8},
        {[](unsigned char* q) { store64_be(q, 0x0102030405060708u); }, 8},
    };
    for (const Store& s : stores) {
      unsigned char out[16];
      std::memset(out, 0xee, sizeof out);
      s.store(out + offset);
      EXPECT_EQ(std::string(reinterpret_cast<char*>(out + offset), s.width),
                expected.substr(0, s.width));
      // Nothing written around the word.
      for (size_t i = 0; i < sizeof out; ++i) {
        if (i < offset || i >= offset + s.width) {
          EXPECT_EQ(out[i], 0xee) << i;
        }
      }
    }
  }
}

TEST(CryptoInternal, WipeZeroesExactlyTheRangeItIsGiven) {
  unsigned char buffer[40];
  std::memset(buffer, 0xa5, sizeof buffer);
  secure_wipe(buffer + 3, 33);
  for (size_t i = 0; i < sizeof buffer; ++i) {
    EXPECT_EQ(buffer[i], (i >= 3 && i < 36) ? 0 : 0xa5) << i;
  }
  secure_wipe(nullptr, 0);
  copy_bytes(nullptr, nullptr, 0);

  std::string key = "sixteen byte key";
  secure_wipe(key);
  EXPECT_EQ(key, std::string(16, '\0'));
}

}  // namespace
}  // namespace crypto_internal
}  // namespace risk
