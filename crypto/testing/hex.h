// Hex text of test vectors: lower-case digits, two per byte.
#ifndef RISK_CRYPTO_TESTING_HEX_H_
#define RISK_CRYPTO_TESTING_HEX_H_

#include <string>

namespace risk {
namespace testing {

inline std::string from_hex(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline std::string to_hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

}  // namespace testing
}  // namespace risk

#endif  // RISK_CRYPTO_TESTING_HEX_H_
