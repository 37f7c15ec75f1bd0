// Block ciphers: AES and SM4 in ECB mode with PKCS#7 padding, and XXTEA with
// a length word. Called by the cipher schemes, the persisted properties, the
// business payload and the collector skip list, on any thread. Byte strings
// in, byte strings out, owned by the caller; every failure returns the empty
// string, and no operation throws or logs. Re-entrant: key schedules live on
// the caller's stack and are built afresh by every call; the tables are
// constant. Key schedules and key words are wiped when they go out of use.
#ifndef RISK_CRYPTO_BLOCK_CIPHER_H_
#define RISK_CRYPTO_BLOCK_CIPHER_H_

#include <cstdint>
#include <functional>
#include <string>

namespace risk {

// AES-128/192/256 by keyLen (16, 24, 32); any other keyLen or a null key
// gives "". Encryption always adds 1 to 16 bytes of padding. Decryption
// returns "" for a length that is 0 or not a multiple of 16, or a last
// decrypted byte above 16; otherwise it drops as many bytes as the last byte
// says (0 drops none) without looking at the others: stored data and the
// services rely on this leniency.
std::string AES_ECB_Encrypt_pkcs7padding(const unsigned char* key, unsigned long keyLen,
                                         const std::string& plain);
std::string AES_ECB_Decrypt_pkcs7unpadding(const unsigned char* key, unsigned long keyLen,
                                           const std::string& cipher);

// SM4, with the padding rules above; keyLen is not consulted.
// REQUIRES: key is null (result "") or points at 16 bytes.
std::string SM4_ECB_Encrypt_pkcs7padding(const unsigned char* key, unsigned long keyLen,
                                         const std::string& plain);
std::string SM4_ECB_Decrypt_pkcs7unpadding(const unsigned char* key, unsigned long keyLen,
                                           const std::string& cipher);

// XXTEA over little-endian words with the plaintext length as the last word.
// The key is the first 16 bytes of key's characters, zero from the first
// zero byte on. Empty data, an empty key, or data of 2^32 bytes or more gives
// "". Decryption of w words returns "" unless the length word k satisfies
// 4w - 7 <= k <= 4w - 4, so a wrong key almost always gives "".
std::string XXTEA_Encrypt(const std::string& data, const std::string& key);
std::string XXTEA_Decrypt(const std::string& data, const std::string& key);

// Building blocks of the entry points above. The drivers call block with
// length 16 and with in and out each at one whole block; they return "" on
// the failures described above (and when memory runs out).
using BlockFunction =
    std::function<void(const unsigned char* in, unsigned char* out, unsigned long length)>;
std::string ECB_Encrypt_pkcs7padding(const std::string& plain, const BlockFunction& block);
std::string ECB_Decrypt_pkcs7unpadding(const std::string& cipher, const BlockFunction& block);

// Both key schedule types wipe themselves when destroyed.
struct AesKeySchedule {
  int32_t enc_rounds;
  uint32_t enc_keys[60];
  int32_t dec_rounds;
  uint32_t dec_keys[60];
  ~AesKeySchedule();
};
// Fills both halves: the encryption schedule of FIPS-197 and the decryption
// schedule of its equivalent inverse cipher. REQUIRES: keyLenBytes is 16, 24
// or 32; otherwise the schedule is zeroed with zero rounds.
void AES_set_key(AesKeySchedule& schedule, const unsigned char* key, int keyLenBytes);
void AES_encrypt_block(const AesKeySchedule& schedule, const unsigned char in[16],
                       unsigned char out[16]);
void AES_decrypt_block(const AesKeySchedule& schedule, const unsigned char in[16],
                       unsigned char out[16]);

struct Sm4KeySchedule {
  uint32_t round_keys[32];
  ~Sm4KeySchedule();
};
// mode 0: encryption order; mode 1: decryption (reversed) order.
void SM4_set_key(Sm4KeySchedule& schedule, const unsigned char key[16], int mode);
void SM4_crypt_block(const Sm4KeySchedule& schedule, const unsigned char in[16],
                     unsigned char out[16]);

}  // namespace risk

#endif  // RISK_CRYPTO_BLOCK_CIPHER_H_
