#include "crypto/cipher_scheme.h"

#include <cctype>

#include "base/log.h"
#include "base/settings.h"
#include "crypto/block_cipher.h"
#include "crypto/digest.h"
#include "crypto/internal.h"

namespace risk {

namespace {

using crypto_internal::bytes_of;
using crypto_internal::secure_wipe;

constexpr char kLegacyName[] = "legacy";
constexpr char kGuoMiName[] = "gm";
constexpr size_t kSm4KeySize = 16;
// The legacy key is the whole hexadecimal SHA-1 text.
constexpr size_t kLegacyKeySize = 2 * kSha1Size;

std::string thrice(const std::string& text) {
  std::string out;
  out.reserve(3 * text.size());
  out.append(text).append(text).append(text);
  return out;
}

// keyText + data + keyText: the input of both signatures (not an HMAC).
std::string wrap_in_key(const std::string& key_text, const std::string& data) {
  std::string out;
  out.reserve(2 * key_text.size() + data.size());
  out.append(key_text).append(data).append(key_text);
  return out;
}

// digest(keyText + data + keyText), with the copy of the key wiped after use.
std::string keyed_digest(const std::string& key_text, const std::string& data,
                         std::string (*digest)(const std::string&)) {
  std::string wrapped = wrap_in_key(key_text, data);
  std::string out = digest(wrapped);
  secure_wipe(wrapped);
  return out;
}

// The first length bytes of digest(keyText three times): the cipher key.
// The copies of the key text and the unused rest of the digest are wiped.
std::string derive_key(const std::string& key_text, std::string (*digest)(const std::string&),
                       size_t length) {
  std::string tripled = thrice(key_text);
  std::string full = digest(tripled);
  secure_wipe(tripled);
  std::string key = full.substr(0, length);
  secure_wipe(full);
  return key;
}

}  // namespace

CipherScheme::~CipherScheme() {
  secure_wipe(cipherKey);
  secure_wipe(keyText);
}

GuoMiCipherScheme::GuoMiCipherScheme(const std::string& key_text) {
  kind = kGmSchemeKind;
  keyText = key_text;
  cipherKey = derive_key(key_text, sm3_digest, kSm4KeySize);
}

std::string GuoMiCipherScheme::encrypt(const std::string& plain) const {
  // SM4 reads 16 key bytes; never let a short key reach it.
  if (cipherKey.size() != kSm4KeySize) return std::string();
  return SM4_ECB_Encrypt_pkcs7padding(bytes_of(cipherKey), kSm4KeySize, plain);
}

std::string GuoMiCipherScheme::decrypt(const std::string& sealed) const {
  if (cipherKey.size() != kSm4KeySize) return std::string();
  return SM4_ECB_Decrypt_pkcs7unpadding(bytes_of(cipherKey), kSm4KeySize, sealed);
}

std::string GuoMiCipherScheme::sign(const std::string& data) const {
  return keyed_digest(keyText, data, sm3_hex);
}

LegacyScheme::LegacyScheme(const std::string& key_text) {
  kind = kLegacySchemeKind;
  keyText = key_text;
  cipherKey = derive_key(key_text, sha1_hex, kLegacyKeySize);
  for (char& c : cipherKey) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// XXTEA keys itself from the first 16 characters of the 40-character text.
std::string LegacyScheme::encrypt(const std::string& plain) const {
  return XXTEA_Encrypt(plain, cipherKey);
}

std::string LegacyScheme::decrypt(const std::string& sealed) const {
  return XXTEA_Decrypt(sealed, cipherKey);
}

std::string LegacyScheme::sign(const std::string& data) const {
  return keyed_digest(keyText, data, md5_hex);
}

std::unique_ptr<CipherScheme> create_cipher_scheme(bool legacy, const std::string& keyText) {
  if (legacy) return std::make_unique<LegacyScheme>(keyText);
  return std::make_unique<GuoMiCipherScheme>(keyText);
}

std::unique_ptr<CipherScheme> select_cipher_scheme(const StringMap& options,
                                                   const std::string& keyText) {
  const auto found = options.find(kAlgorithmSetting);
  const std::string& name = found != options.end() ? found->second : std::string(kLegacyName);
  if (name.empty() || name == kLegacyName) return create_cipher_scheme(true, keyText);
  if (name == kGuoMiName) return create_cipher_scheme(false, keyText);
  log_message("the alg %s is not support, fall back to LEGACY", name.c_str());
  return create_cipher_scheme(true, keyText);
}

}  // namespace risk
