// Cipher schemes: seal, open and sign one exchange's payload under an
// application key. Called by the token exchange, the degrade token and the
// situation request on their worker and network threads. A scheme is created
// per request by the thread that uses it and owned by that caller; its
// operations only read its fields and return strings the caller owns.
#ifndef RISK_CRYPTO_CIPHER_SCHEME_H_
#define RISK_CRYPTO_CIPHER_SCHEME_H_

#include <cstdint>
#include <memory>
#include <string>

#include "base/types.h"

namespace risk {

// CipherScheme::kind of each scheme. The gm kind is named in the requests
// it seals (the "alg" parameter) and in its degrade tokens.
constexpr int32_t kGmSchemeKind = 0;
constexpr int32_t kLegacySchemeKind = 1;

class CipherScheme {
 public:
  // Returns "" only when the cipher fails (the legacy scheme: empty plain).
  virtual std::string encrypt(const std::string& plain) const = 0;
  // Returns "" when sealed is malformed or was sealed under another key.
  virtual std::string decrypt(const std::string& sealed) const = 0;
  // Lowercase hexadecimal digest of keyText + data + keyText.
  virtual std::string sign(const std::string& data) const = 0;
  // Wipes cipherKey and keyText.
  virtual ~CipherScheme();

  int32_t kind = kGmSchemeKind;  // kGmSchemeKind or kLegacySchemeKind
  std::string cipherKey;         // derived from keyText at construction
  std::string keyText;
};

// SM4 with an SM3-derived key, SM3 signatures.
class GuoMiCipherScheme : public CipherScheme {
 public:
  explicit GuoMiCipherScheme(const std::string& key_text);
  std::string encrypt(const std::string& plain) const override;
  std::string decrypt(const std::string& sealed) const override;
  std::string sign(const std::string& data) const override;
};

// XXTEA with a SHA-1-derived key, MD5 signatures.
class LegacyScheme : public CipherScheme {
 public:
  explicit LegacyScheme(const std::string& key_text);
  std::string encrypt(const std::string& plain) const override;
  std::string decrypt(const std::string& sealed) const override;
  std::string sign(const std::string& data) const override;
};

std::unique_ptr<CipherScheme> create_cipher_scheme(bool legacy, const std::string& keyText);
// Chooses by "KEY_MANAGER_ALGORITHM": "" or "legacy" or absent → legacy,
// "gm" → gm, anything else → legacy with a log line.
std::unique_ptr<CipherScheme> select_cipher_scheme(const StringMap& options,
                                                   const std::string& keyText);

}  // namespace risk

#endif  // RISK_CRYPTO_CIPHER_SCHEME_H_
