// Text encodings (hexadecimal, Base64, URL form encoding) and a small
// string helper (split into a set).
//
// Callers: the digests, the cipher schemes, the wire format (query
// parameters), the degrade token and business sign, the platform adapter's
// sealed properties, the collector skip list and the option readers. Pure
// functions sharing only constant tables: re-entrant, any thread. Results
// are fresh strings owned by the caller. Nothing here throws for bad input
// or writes a log line; failures are the empty string.
#ifndef RISK_CRYPTO_ENCODING_H_
#define RISK_CRYPTO_ENCODING_H_

#include <cstddef>
#include <set>
#include <string>

namespace risk {

// Lowercase hexadecimal, two characters per byte, high nibble first.
std::string hex_encode(const std::string& data);
// The same of the size bytes at data. REQUIRES: data points at size
// readable bytes (data may be null when size is 0).
std::string hex_encode(const unsigned char* data, size_t size);

// Standard Base64 alphabet (RFC 4648, section 4) with "=" padding, no line
// breaks: exactly 4 * ceil(n / 3) characters for n bytes.
std::string base64_encode(const std::string& data);

// Decodes text of standard Base64. The result has L = 3 * (n / 4) minus the
// number of trailing "=" bytes; decoding stops at the first "=" anywhere
// and bytes not reached stay zero. Returns the empty string when L <= 0,
// when a character before the first "=" is outside the alphabet (line
// breaks and spaces included), and when the length of text is not a
// multiple of 4. Never writes beyond the L bytes of the result.
std::string base64_decode(const std::string& text);

// Form encoding: letters, digits and "-._~" kept, space as "+", every other
// byte as "%XX" with uppercase digits.
std::string url_encode(const std::string& text);

// Inserts into out the pieces of text before each occurrence of delimiter,
// then the rest after the last occurrence if it is not empty ("a||b" gives
// "a", "" and "b"; "a|" gives "a"; "" gives nothing).
// REQUIRES: delimiter is not empty (an empty one inserts nothing).
void split_to_set(const std::string& text, const std::string& delimiter,
                  std::set<std::string>& out);

}  // namespace risk

#endif  // RISK_CRYPTO_ENCODING_H_
