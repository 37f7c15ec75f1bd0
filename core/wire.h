// The bytes exchanged with the token and situation services: the serialized
// TokenRequest (messages in core/risk.proto), the one-entry ZIP archive that
// wraps every payload, and post_request, the one transport routine both
// requests travel through.
//
// Callers: the token logic (network thread and worker threads), the degrade
// token (worker threads) and the situation report (report thread). Every
// function is re-entrant: it touches only its arguments and the texts the
// RiskApp and its RiskSdk received at setup. Results are owned by the caller.
#ifndef RISK_CORE_WIRE_H_
#define RISK_CORE_WIRE_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/types.h"

namespace risk {

class CipherScheme;
class RiskApp;

// Codes of post_request.
constexpr int32_t kPostNoResponse = -1001;      // post gave no response object
constexpr int32_t kPostDecryptFailed = -1002;   // body empty or did not decrypt
constexpr int32_t kPostNoArchiveEntry = -1003;  // no "data" entry could be read

// Largest entry unpack_archive accepts. Answers are a few KiB; the limit
// keeps a hostile or corrupt archive from making us allocate what it claims.
constexpr size_t kMaxEntrySize = 4u << 20;

// What an archive around an entry of kMaxEntrySize bytes can add: deflate's
// worst expansion of incompressible data (zlib's compressBound) and the
// archive's records (local header, data descriptor, central header, zip64
// end record and locator, end record) with every 16-bit name, extra-field
// and comment length at its largest.
constexpr size_t kMaxDeflateExpansion =
    (kMaxEntrySize >> 12) + (kMaxEntrySize >> 14) + (kMaxEntrySize >> 25) + 13;
constexpr size_t kMaxArchiveFraming = (30 + 24 + 46 + 56 + 20 + 22) + 6 * size_t{0xFFFF};
// Sealing adds at most one block of PKCS#7 padding (SM4); XXTEA adds its
// length word and up to three bytes of word padding.
constexpr size_t kMaxCipherOverhead = 16;
// Largest sealed answer that can open to a valid entry. A post answer above
// it is refused before it is copied out of the script engine or decrypted.
constexpr size_t kMaxAnswerSize =
    kMaxEntrySize + kMaxDeflateExpansion + kMaxArchiveFraming + kMaxCipherOverhead;

// The serialized TokenRequest for app's RiskSdk texts and key: command 1002,
// the header filled from the RiskSdk and app (app_version_code holds the low
// 32 bits of the version code and is left out when they are 0; sdk_variant
// is left out when 0), previous_token as field 7 only when not empty, and as
// body the KeyValueList of every entry of data whose value is not empty, in
// key order. protobuf-c holds strings as C strings, so a text is cut at its
// first zero byte.
std::string serialize_request(const RiskApp& app, const std::string& previous_token,
                              const StringMap& data);

// Signs payload, packs it into an archive, seals the archive with scheme and
// posts it through the RiskSdk's post to url + "?sign=...&appKey=...&app=...
// &version=..." (+ "&alg=gm" for the gm scheme). Opens the answer the same
// way. Returns 0 and stores the entry "data" of the answer in response, or
// returns kPostNoResponse, kPostDecryptFailed or kPostNoArchiveEntry and
// leaves response untouched. An answer body above kMaxAnswerSize is not
// decrypted: kPostDecryptFailed, with a log line (the only one written
// here). Blocks for the duration of the post.
int32_t post_request(RiskApp& app, const std::string& url, const std::string& payload,
                     std::string& response, const CipherScheme& scheme);

// True when [data, data + size) is a sequence of well-formed protocol-buffer
// fields (a tag with a field number, then a varint, 8 bytes, a length and
// that many bytes, or 4 bytes) and holds at most max_fields of them. Groups
// are not well formed here (protobuf-c refuses them too). A cheap scan, no
// allocation: it lets a caller refuse a message before unpacking it. Only
// reads bytes inside the range.
bool within_field_limit(const uint8_t* data, size_t size, size_t max_fields);

// A ZIP archive with one entry "data" (deflate, level 5, all-zero entry
// information, no extra fields or comments) holding payload. Returns the
// empty string when the archive cannot be created.
std::string pack_archive(const std::string& payload);

// Makes the working memory that pack_archive keeps for the process and packs
// a short payload, so that the first request's archive costs what later
// ones do: for setup, off the script thread. Never throws.
void warm_archive() noexcept;

// The content of the entry named exactly "data". Returns the empty string on
// any failure: no archive, no such entry, an empty entry, a declared size
// above kMaxEntrySize, a read error, fewer bytes than declared or a CRC
// mismatch. Only reads bytes inside archive.
std::string unpack_archive(const std::string& archive);

}  // namespace risk

#endif  // RISK_CORE_WIRE_H_
