// Block ciphers: AES and SM4 in ECB mode with PKCS#7 padding, and XXTEA with
// a length word. Byte strings in, byte strings out; every failure returns the
// empty string. Re-entrant: key schedules live on the caller's stack.
#ifndef RISK_CRYPTO_BLOCK_CIPHER_H_
#define RISK_CRYPTO_BLOCK_CIPHER_H_

#include <cstdint>
#include <functional>
#include <string>

namespace risk {

// AES-128/192/256 by keyLen (16, 24, 32); any other keyLen gives "".
std::string AES_ECB_Encrypt_pkcs7padding(const unsigned char* key, unsigned long keyLen,
                                         const std::string& plain);
std::string AES_ECB_Decrypt_pkcs7unpadding(const unsigned char* key, unsigned long keyLen,
                                           const std::string& cipher);

// SM4; keyLen is not consulted. REQUIRES: key points at 16 bytes.
std::string SM4_ECB_Encrypt_pkcs7padding(const unsigned char* key, unsigned long keyLen,
                                         const std::string& plain);
std::string SM4_ECB_Decrypt_pkcs7unpadding(const unsigned char* key, unsigned long keyLen,
                                           const std::string& cipher);

// XXTEA over little-endian words with the plaintext length as the last word.
// The key is the first 16 bytes of key's characters, zero from the first
// zero byte on.
std::string XXTEA_Encrypt(const std::string& data, const std::string& key);
std::string XXTEA_Decrypt(const std::string& data, const std::string& key);

// Building blocks of the entry points above.
using BlockFunction =
    std::function<void(const unsigned char* in, unsigned char* out, unsigned long length)>;
std::string ECB_Encrypt_pkcs7padding(const std::string& plain, const BlockFunction& block);
std::string ECB_Decrypt_pkcs7unpadding(const std::string& cipher, const BlockFunction& block);

struct AesKeySchedule {
  int32_t enc_rounds;
  uint32_t enc_keys[60];
  int32_t dec_rounds;
  uint32_t dec_keys[60];
};
void AES_set_key(AesKeySchedule& schedule, const unsigned char* key, int keyLenBytes);
void AES_encrypt_block(const AesKeySchedule& schedule, const unsigned char in[16],
                       unsigned char out[16]);
void AES_decrypt_block(const AesKeySchedule& schedule, const unsigned char in[16],
                       unsigned char out[16]);

struct Sm4KeySchedule {
  uint32_t round_keys[32];
};
// mode 0: encryption order; mode 1: decryption (reversed) order.
void SM4_set_key(Sm4KeySchedule& schedule, const unsigned char key[16], int mode);
void SM4_crypt_block(const Sm4KeySchedule& schedule, const unsigned char in[16],
                     unsigned char out[16]);

}  // namespace risk

#endif  // RISK_CRYPTO_BLOCK_CIPHER_H_
