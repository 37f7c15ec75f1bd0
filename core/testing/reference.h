// Reference tools for the token tests, independent of the library's own
// crypto and archive code: OpenSSL (libcrypto) for SM3, SHA-1, MD5, SM4-ECB,
// AES-256-ECB and Base64, zlib's raw inflate under a ZIP reader written here
// for one-entry archives. Test-only; header-only. Every function returns the
// empty string on failure. Any thread.
#ifndef RISK_CORE_TESTING_REFERENCE_H_
#define RISK_CORE_TESTING_REFERENCE_H_

#include <openssl/evp.h>
#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "crypto/testing/hex.h"

namespace risk {
namespace testing {

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A file of the token answers written by make_token_answers.py.
inline std::string answer_file(const std::string& name) {
  return read_file(std::string(RISK_SOURCE_DIR) + "/core/testdata/token_answers/" + name);
}

inline std::string ref_digest(const EVP_MD* md, const std::string& data) {
  unsigned char out[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (EVP_Digest(data.data(), data.size(), out, &n, md, nullptr) != 1) return std::string();
  return std::string(reinterpret_cast<char*>(out), n);
}

inline std::string ref_hex(const std::string& bytes) { return to_hex(bytes); }

// ECB with PKCS#7 padding, OpenSSL's strict padding check on decryption.
inline std::string ref_ecb(const EVP_CIPHER* cipher, bool encrypt, const std::string& key,
                           const std::string& data) {
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  if (ctx == nullptr) return std::string();
  std::string out(data.size() + 32, '\0');
  int n = 0;
  int tail = 0;
  bool ok =
      EVP_CipherInit_ex(ctx, cipher, nullptr, reinterpret_cast<const unsigned char*>(key.data()),
                        nullptr, encrypt ? 1 : 0) == 1 &&
      EVP_CipherUpdate(ctx, reinterpret_cast<unsigned char*>(&out[0]), &n,
                       reinterpret_cast<const unsigned char*>(data.data()),
                       static_cast<int>(data.size())) == 1 &&
      EVP_CipherFinal_ex(ctx, reinterpret_cast<unsigned char*>(&out[n]), &tail) == 1;
  EVP_CIPHER_CTX_free(ctx);
  if (!ok) return std::string();
  out.resize(static_cast<size_t>(n + tail));
  return out;
}

// The gm scheme's SM4 key: the first 16 bytes of SM3(K + K + K).
inline std::string ref_gm_key(const std::string& key_text) {
  return ref_digest(EVP_sm3(), key_text + key_text + key_text).substr(0, 16);
}
inline std::string ref_gm_seal(const std::string& key_text, const std::string& plain) {
  return ref_ecb(EVP_sm4_ecb(), true, ref_gm_key(key_text), plain);
}
inline std::string ref_gm_open(const std::string& key_text, const std::string& sealed) {
  return ref_ecb(EVP_sm4_ecb(), false, ref_gm_key(key_text), sealed);
}
// The legacy scheme's XXTEA key text: lowercase hex SHA-1(K + K + K).
inline std::string ref_legacy_key(const std::string& key_text) {
  return ref_hex(ref_digest(EVP_sha1(), key_text + key_text + key_text));
}

// Standard Base64 of text in the URL-safe alphabet without padding, as
// OpenSSL decodes it.
inline std::string ref_base64url_decode(std::string text) {
  for (char& c : text) {
    if (c == '-') c = '+';
    if (c == '_') c = '/';
  }
  if (text.size() % 4 == 1) return std::string();
  while (text.size() % 4 != 0) text.push_back('=');
  std::string out(text.size() / 4 * 3 + 1, '\0');
  int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                          reinterpret_cast<const unsigned char*>(text.data()),
                          static_cast<int>(text.size()));
  if (n < 0) return std::string();
  size_t pad = 0;
  for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) ++pad;
  out.resize(static_cast<size_t>(n) - pad);
  return out;
}

inline std::string ref_base64_decode(const std::string& text) {
  if (text.find_first_of("-_") != std::string::npos) return std::string();
  return ref_base64url_decode(text);
}

namespace detail {
inline uint32_t le16(const std::string& s, size_t at) {
  return static_cast<unsigned char>(s[at]) | static_cast<unsigned char>(s[at + 1]) << 8;
}
inline uint32_t le32(const std::string& s, size_t at) {
  return le16(s, at) | le16(s, at + 2) << 16;
}
}  // namespace detail

// The content of the entry named name of a ZIP archive (stored or
// deflated), found through the central directory; its CRC-32 is checked.
inline std::string ref_unzip(const std::string& zip, const std::string& name = "data") {
  using detail::le16;
  using detail::le32;
  constexpr uint32_t kEndSignature = 0x06054b50;
  constexpr uint32_t kCentralSignature = 0x02014b50;
  constexpr uint32_t kLocalSignature = 0x04034b50;
  if (zip.size() < 22) return std::string();
  size_t end = zip.size() - 22;
  while (le32(zip, end) != kEndSignature) {
    if (end == 0) return std::string();
    --end;
  }
  const uint32_t entries = le16(zip, end + 10);
  size_t at = le32(zip, end + 16);
  for (uint32_t i = 0; i < entries; ++i) {
    if (at + 46 > zip.size() || le32(zip, at) != kCentralSignature) return std::string();
    const uint32_t method = le16(zip, at + 10);
    const uint32_t crc = le32(zip, at + 16);
    const uint32_t packed = le32(zip, at + 20);
    const uint32_t size = le32(zip, at + 24);
    const uint32_t name_length = le16(zip, at + 28);
    const uint32_t extra_length = le16(zip, at + 30);
    const uint32_t comment_length = le16(zip, at + 32);
    const uint32_t local = le32(zip, at + 42);
    if (at + 46 + name_length > zip.size()) return std::string();
    const std::string entry_name = zip.substr(at + 46, name_length);
    at += 46 + name_length + extra_length + comment_length;
    if (entry_name != name) continue;
    if (local + 30 > zip.size() || le32(zip, local) != kLocalSignature) return std::string();
    const size_t data = local + 30 + le16(zip, local + 26) + le16(zip, local + 28);
    if (data + packed > zip.size()) return std::string();
    std::string out;
    if (method == 0) {
      out = zip.substr(data, packed);
    } else if (method == 8) {
      out.assign(size, '\0');
      z_stream stream{};
      if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return std::string();
      stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zip.data() + data));
      stream.avail_in = packed;
      stream.next_out = reinterpret_cast<Bytef*>(&out[0]);
      stream.avail_out = size;
      int rc = inflate(&stream, Z_FINISH);
      inflateEnd(&stream);
      if (rc != Z_STREAM_END || stream.total_out != size) return std::string();
    } else {
      return std::string();
    }
    const uLong check =
        crc32(0L, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(out.size()));
    if (check != crc) return std::string();
    return out;
  }
  return std::string();
}

}  // namespace testing
}  // namespace risk

#endif  // RISK_CORE_TESTING_REFERENCE_H_
