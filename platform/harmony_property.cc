// The sealing of persisted SDK properties. Kept apart from harmony_sdk.cc so
// that users of these pure functions (tests, fuzz targets) link no script
// engine.
#include <string>

#include "crypto/block_cipher.h"
#include "crypto/digest.h"
#include "crypto/encoding.h"
#include "platform/harmony_sdk.h"

namespace risk {

namespace {

constexpr size_t kPropertyKeySize = 16;  // SM4 key bytes

}  // namespace

std::string property_key(const std::string& app_name, const std::string& name) {
  return sm3_digest(app_name + "-" + name).substr(0, kPropertyKeySize);
}

std::string seal_property(const std::string& app_name, const std::string& name,
                          const std::string& value) {
  if (value.empty()) return std::string();
  const std::string key = property_key(app_name, name);
  return base64_encode(SM4_ECB_Encrypt_pkcs7padding(
      reinterpret_cast<const unsigned char*>(key.data()), key.size(), value));
}

std::string open_property(const std::string& app_name, const std::string& name,
                          const std::string& stored) {
  if (stored.empty()) return std::string();
  const std::string key = property_key(app_name, name);
  return SM4_ECB_Decrypt_pkcs7unpadding(reinterpret_cast<const unsigned char*>(key.data()),
                                        key.size(), base64_decode(stored));
}

}  // namespace risk
