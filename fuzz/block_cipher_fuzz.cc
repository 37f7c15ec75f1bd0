// AES, SM4 and XXTEA decryption over arbitrary ciphertexts and keys. The
// first byte picks the cipher (and the AES key length), the next bytes are
// the key, the rest is the data. AES and SM4 decryption must equal
// OpenSSL's raw ECB decryption followed by the library's lenient unpadding;
// every cipher must open what it sealed.
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "crypto/block_cipher.h"
#include "fuzz/fuzz_check.h"

namespace {

using risk::fuzz::check;

enum class Cipher { kAes128, kAes192, kAes256, kSm4, kXxtea, kCount };

// OpenSSL's ECB decryption without padding, then the library's unpadding
// rule: a last byte above 16 fails, otherwise that many bytes are dropped
// (0 drops none). Returns "" on failure like the library.
std::string reference_decrypt(const EVP_CIPHER* cipher, const unsigned char* key,
                              const std::string& sealed) {
  if (sealed.empty() || sealed.size() % 16 != 0) return "";
  std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                      &EVP_CIPHER_CTX_free);
  check(ctx != nullptr, "EVP_CIPHER_CTX_new");
  check(EVP_DecryptInit_ex(ctx.get(), cipher, nullptr, key, nullptr) == 1, "EVP_DecryptInit_ex");
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  std::string plain(sealed.size(), '\0');
  int length = 0;
  check(EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(&plain[0]), &length,
                          reinterpret_cast<const unsigned char*>(sealed.data()),
                          static_cast<int>(sealed.size())) == 1,
        "EVP_DecryptUpdate");
  check(static_cast<size_t>(length) == sealed.size(), "raw ECB decrypts every block");
  const unsigned char pad = static_cast<unsigned char>(plain.back());
  if (pad > 16) return "";
  plain.resize(plain.size() - pad);
  return plain;
}

void fuzz_block_cipher(Cipher cipher, const unsigned char* key, size_t key_length,
                       const std::string& data) {
  const EVP_CIPHER* reference = nullptr;
  switch (cipher) {
    case Cipher::kAes128:
      reference = EVP_aes_128_ecb();
      break;
    case Cipher::kAes192:
      reference = EVP_aes_192_ecb();
      break;
    case Cipher::kAes256:
      reference = EVP_aes_256_ecb();
      break;
    default:
      reference = EVP_sm4_ecb();
      break;
  }
  const bool sm4 = cipher == Cipher::kSm4;
  const auto decrypt =
      sm4 ? risk::SM4_ECB_Decrypt_pkcs7unpadding : risk::AES_ECB_Decrypt_pkcs7unpadding;
  const auto encrypt =
      sm4 ? risk::SM4_ECB_Encrypt_pkcs7padding : risk::AES_ECB_Encrypt_pkcs7padding;

  const std::string opened = decrypt(key, key_length, data);
  check(opened == reference_decrypt(reference, key, data),
        "decryption equals OpenSSL's ECB decryption with the lenient unpadding");

  const std::string sealed = encrypt(key, key_length, data);
  check(sealed.size() == (data.size() / 16 + 1) * 16, "padding adds 1 to 16 bytes");
  check(decrypt(key, key_length, sealed) == data, "decrypt(encrypt(x)) == x");
}

void fuzz_xxtea(const std::string& key, const std::string& data) {
  const std::string opened = risk::XXTEA_Decrypt(data, key);
  check(opened.size() <= data.size(), "XXTEA decryption never grows the data");

  const std::string sealed = risk::XXTEA_Encrypt(data, key);
  if (data.empty() || key.empty()) {
    check(sealed.empty(), "XXTEA of empty data or under an empty key fails");
    return;
  }
  check(!sealed.empty() && sealed.size() % 4 == 0, "XXTEA seals into whole words");
  check(risk::XXTEA_Decrypt(sealed, key) == data, "XXTEA decrypt(encrypt(x)) == x");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const auto cipher = static_cast<Cipher>(data[0] % static_cast<int>(Cipher::kCount));
  size_t key_length = 16;
  switch (cipher) {
    case Cipher::kAes192:
      key_length = 24;
      break;
    case Cipher::kAes256:
      key_length = 32;
      break;
    case Cipher::kXxtea:
      key_length = data[1] % 41;
      break;  // key texts up to 40 bytes
    default:
      break;
  }
  size_t offset = cipher == Cipher::kXxtea ? 2 : 1;
  if (size < offset + key_length) return 0;
  const unsigned char* key = data + offset;
  const std::string rest =
      risk::fuzz::as_string(data + offset + key_length, size - offset - key_length);
  if (cipher == Cipher::kXxtea) {
    fuzz_xxtea(risk::fuzz::as_string(key, key_length), rest);
  } else {
    fuzz_block_cipher(cipher, key, key_length, rest);
  }
  return 0;
}
