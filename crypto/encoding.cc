#include "crypto/encoding.h"

#include <cstdint>

namespace risk {
namespace {

constexpr char kHexLower[] = "0123456789abcdef";
constexpr char kHexUpper[] = "0123456789ABCDEF";

// RFC 4648, section 4, table 1: the Base64 alphabet.
constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kBase64Pad = '=';

// Reverse of kBase64Alphabet over all 256 byte values; kInvalid marks bytes
// outside the alphabet ("=" included: the decoder tests for it first).
constexpr uint8_t kInvalid = 0xff;
struct Base64ReverseTable {
  uint8_t value[256];
};
constexpr Base64ReverseTable make_base64_reverse_table() {
  Base64ReverseTable table{};
  for (auto& v : table.value) v = kInvalid;
  for (unsigned i = 0; i < 64; ++i) {
    table.value[static_cast<uint8_t>(kBase64Alphabet[i])] = uint8_t(i);
  }
  return table;
}
constexpr Base64ReverseTable kBase64Reverse = make_base64_reverse_table();

constexpr size_t kGroupChars = 4;
constexpr size_t kGroupBytes = 3;

bool is_url_unreserved(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

}  // namespace

std::string hex_encode(const std::string& data) {
  return hex_encode(reinterpret_cast<const unsigned char*>(data.data()), data.size());
}

std::string hex_encode(const unsigned char* data, size_t size) {
  std::string out(size * 2, '\0');
  for (size_t i = 0; i < size; ++i) {
    out[2 * i] = kHexLower[data[i] >> 4];
    out[2 * i + 1] = kHexLower[data[i] & 15];
  }
  return out;
}

std::string base64_encode(const std::string& data) {
  const auto* in = reinterpret_cast<const unsigned char*>(data.data());
  const size_t n = data.size();
  std::string out((n + kGroupBytes - 1) / kGroupBytes * kGroupChars, '\0');
  size_t i = 0;
  size_t o = 0;
  for (; i + kGroupBytes <= n; i += kGroupBytes, o += kGroupChars) {
    const uint32_t v = uint32_t(in[i]) << 16 | uint32_t(in[i + 1]) << 8 | in[i + 2];
    out[o] = kBase64Alphabet[v >> 18];
    out[o + 1] = kBase64Alphabet[(v >> 12) & 63];
    out[o + 2] = kBase64Alphabet[(v >> 6) & 63];
    out[o + 3] = kBase64Alphabet[v & 63];
  }
  const size_t rest = n - i;
  if (rest != 0) {
    const uint32_t v = uint32_t(in[i]) << 16 | (rest == 2 ? uint32_t(in[i + 1]) << 8 : 0);
    out[o] = kBase64Alphabet[v >> 18];
    out[o + 1] = kBase64Alphabet[(v >> 12) & 63];
    out[o + 2] = rest == 2 ? kBase64Alphabet[(v >> 6) & 63] : kBase64Pad;
    out[o + 3] = kBase64Pad;
  }
  return out;
}

std::string base64_decode(const std::string& text) {
  const size_t n = text.size();
  // A length that is not a multiple of 4 is rejected rather than decoded:
  // base64_encode never produces one, and the result length below would not
  // cover the characters of the incomplete last group.
  if (n == 0 || n % kGroupChars != 0) return std::string();
  size_t pads = 0;
  while (pads < n && text[n - 1 - pads] == kBase64Pad) ++pads;
  const size_t groups_bytes = n / kGroupChars * kGroupBytes;
  if (pads >= groups_bytes) return std::string();
  const size_t length = groups_bytes - pads;

  // Zero-filled: bytes after an early "=" are never written. Every write is
  // checked against length, because more than two trailing "=" (e.g.
  // "QUJD====") make length smaller than what the groups before them hold.
  std::string out(length, '\0');
  const auto* in = reinterpret_cast<const unsigned char*>(text.data());
  size_t o = 0;
  for (size_t i = 0; i < n; i += kGroupChars) {
    uint32_t bits = 0;
    size_t chars = 0;
    for (; chars < kGroupChars; ++chars) {
      const unsigned char c = in[i + chars];
      if (c == kBase64Pad) break;
      const uint8_t v = kBase64Reverse.value[c];
      if (v == kInvalid) return std::string();
      bits = bits << 6 | v;
    }
    // chars characters hold chars * 6 bits: 4 give three bytes, 3 give two,
    // 2 give one; the low bits that do not fill a byte are dropped.
    bits <<= 6 * (kGroupChars - chars);
    const size_t produced = chars == 0 ? 0 : chars - 1;
    for (size_t k = 0; k < produced && o < length; ++k, ++o) {
      out[o] = static_cast<char>(bits >> (16 - 8 * k));
    }
    if (chars < kGroupChars) break;  // an "=": nothing after it is looked at
  }
  return out;
}

std::string url_encode(const std::string& text) {
  std::string out;
  out.reserve(text.size() * 3);
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (is_url_unreserved(c)) {
      out += ch;
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHexUpper[c >> 4];
      out += kHexUpper[c & 15];
    }
  }
  return out;
}

void split_to_set(const std::string& text, const std::string& delimiter,
                  std::set<std::string>& out) {
  if (delimiter.empty()) return;
  size_t start = 0;
  for (size_t at = text.find(delimiter); at != std::string::npos;
       at = text.find(delimiter, start)) {
    out.insert(text.substr(start, at - start));
    start = at + delimiter.size();
  }
  if (start < text.size()) out.insert(text.substr(start));
}

}  // namespace risk
