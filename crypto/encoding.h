// Text encodings and small string helpers. Pure functions; any thread.
#ifndef RISK_CRYPTO_ENCODING_H_
#define RISK_CRYPTO_ENCODING_H_

#include <set>
#include <string>

namespace risk {

// Lowercase hexadecimal, two characters per byte, high nibble first.
std::string hex_encode(const std::string& data);

// Standard Base64 alphabet with "=" padding, no line breaks.
std::string base64_encode(const std::string& data);
// Returns the decoded bytes, or the empty string on any failure.
std::string base64_decode(const std::string& text);

// Form encoding: letters, digits and "-._~" kept, space as "+", every other
// byte as "%XX" with uppercase digits.
std::string url_encode(const std::string& text);

// Inserts the pieces of text between occurrences of delimiter into out.
// REQUIRES: delimiter is not empty.
void split_to_set(const std::string& text, const std::string& delimiter,
                  std::set<std::string>& out);

// text without leading and trailing " \t\n\v\f\r".
std::string trim(const std::string& text);

}  // namespace risk

#endif  // RISK_CRYPTO_ENCODING_H_
