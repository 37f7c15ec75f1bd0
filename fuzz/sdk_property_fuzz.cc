// The read path of a stored SDK property (HarmonyRiskSdk::get_sdk_property)
// over arbitrary stored text: open_property, which must agree with the
// composition written out below (the preference text is Base64 of the SM4
// sealing under the first 16 bytes of sm3_digest(app name + "-" + property
// name)), never fails loudly, and reads back what seal_property wrote.
//
// The first byte is the length of the property name (at most 31), the name
// follows, the rest is the stored text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "crypto/block_cipher.h"
#include "crypto/digest.h"
#include "crypto/encoding.h"
#include "fuzz/fuzz_check.h"
#include "platform/harmony_sdk.h"

namespace {

using risk::fuzz::check;

constexpr char kAppName[] = "fuzz";
constexpr size_t kPropertyKeyLength = 16;

std::string property_key(const std::string& name) {
  return risk::sm3_digest(std::string(kAppName) + "-" + name).substr(0, kPropertyKeyLength);
}

std::string reference_open(const std::string& name, const std::string& stored) {
  if (stored.empty()) return std::string();
  const std::string key = property_key(name);
  return risk::SM4_ECB_Decrypt_pkcs7unpadding(reinterpret_cast<const unsigned char*>(key.data()),
                                              kPropertyKeyLength, risk::base64_decode(stored));
}

std::string reference_seal(const std::string& name, const std::string& value) {
  if (value.empty()) return std::string();
  const std::string key = property_key(name);
  return risk::base64_encode(risk::SM4_ECB_Encrypt_pkcs7padding(
      reinterpret_cast<const unsigned char*>(key.data()), kPropertyKeyLength, value));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t name_length = data[0] % 32;
  if (size < 1 + name_length) return 0;
  const std::string name = risk::fuzz::as_string(data + 1, name_length);
  const std::string stored = risk::fuzz::as_string(data + 1 + name_length, size - 1 - name_length);

  const std::string opened = risk::open_property(kAppName, name, stored);
  check(opened == reference_open(name, stored), "open_property is Base64, then SM4 under SM3");
  check(opened.size() <= stored.size(), "a stored property never opens larger than its text");

  const std::string sealed = risk::seal_property(kAppName, name, stored);
  check(sealed == reference_seal(name, stored), "seal_property is SM4 under SM3, then Base64");
  check(risk::open_property(kAppName, name, sealed) == stored,
        "a sealed property reads back unchanged");
  return 0;
}
