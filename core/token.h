// Constants and pure helpers of token acquisition and request pacing.
//
// The RiskApp token operations (core/token.cc) use them; tests drive them
// directly. Every function here is pure: no locks, no logging, any thread,
// results owned by the caller.
#ifndef RISK_CORE_TOKEN_H_
#define RISK_CORE_TOKEN_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/types.h"

namespace risk {

// A token, fetched or stored, is valid this long after its exchange.
constexpr int64_t kTokenLifetimeMs = 86400000;

// Persisted per-application properties of the token, and the SDK-wide
// installation identifier ("K58") that the "uuid" collector creates and a
// successful exchange may replace.
constexpr char kTokenTextProperty[] = "07d93b6c2ea148f5b9c60e7d3a2f814c";
constexpr char kTokenTimeProperty[] = "b82e4d1f09c6a73e55d8f2b1c04e9a67";
constexpr char kInstallationIdProperty[] = "5f0c2a9e7b13d4486e21c9f0a7b3e5d1";

// The token service: the path every address ends in, and the built-in
// address used when "KEY_URL" is absent or empty. The built-in host lies in
// the ".invalid" domain (RFC 2606), which never resolves: an application
// that names no service reaches nobody's host, and its exchange fails at the
// platform's name lookup (the log names the missing setting).
constexpr char kTokenServicePath[] = "/udid/m1";
constexpr char kTokenServiceUrl[] = "https://token.quon-risk.invalid/udid/m1";

// Codes of a failed exchange beyond those of post_request (core/wire.h).
constexpr int32_t kTokenEmptyAnswer = -1004;    // the transport gave an empty payload
constexpr int32_t kTokenBadMessage = -1005;     // not a TokenResponse / TokenPayload
constexpr int32_t kTokenRefused = -1006;        // status, command or body says no token
constexpr int32_t kTokenStatusBlocked = -1008;  // status -10006

// Pacing: more than kMaxStartsPerWindow exchange starts within the last
// kRateWindowUs refuse a new one (unless the token is being cleared).
constexpr int kMaxStartsPerWindow = 15;
constexpr int64_t kRateWindowUs = 60000000;

// How long a caller waits for an exchange when "KEY_DELAY_MS_TIME" is absent,
// empty, zero, negative or not a number, and the most it may ask for.
constexpr int64_t kDefaultExchangeWaitMs = 5000;
constexpr int64_t kMaxExchangeWaitMs = 30000;

// The wait of one caller in milliseconds, from "KEY_DELAY_MS_TIME" read as
// atoi reads it (out-of-range numbers clamp instead of overflowing): a
// positive value up to kMaxExchangeWaitMs (larger ones give that), anything
// else kDefaultExchangeWaitMs.
int64_t exchange_wait_ms(const StringMap& params);

// The number of the count slots of ring whose time t (microseconds) has
// now_us - t < kRateWindowUs, the difference taken as a signed 64-bit
// number: future starts count as recent, never-used slots (0) do not.
// REQUIRES: ring points at count readable values.
int count_recent_starts(const int64_t* ring, size_t count, int64_t now_us);

// The expiry of a stored token from its stored exchange time text: the
// leading decimal number (as atoll reads it, clamped) plus kTokenLifetimeMs,
// saturating; 0 (never usable) for an empty text or a number that reads 0.
int64_t stored_token_expiry(const std::string& time_text);

// A token of the token service is 1 to kMaxServiceTokenBytes bytes; a
// longer text is what is_degrade_token calls a degrade token.
constexpr size_t kMaxServiceTokenBytes = 40;

// An installation identifier the service may send in place of ours: 1 to
// kMaxInstallationIdBytes bytes of the URL-safe Base64 alphabet (RFC 4648,
// section 5: letters, digits, "-" and "_"). That holds the UUID texts the
// "uuid" collector makes (36 bytes), hexadecimal ids and Base64url ids of
// up to 384 bits; anything else is not an identifier.
constexpr size_t kMaxInstallationIdBytes = 64;
bool is_plausible_installation_id(const std::string& text);

// Most top-level fields a TokenResponse or a TokenPayload may carry. The
// service writes each field once (3 and 2 of them); the room above allows
// a repeated field (the last one wins) and fields a later service adds.
// protobuf-c's unpack keeps a record of some 80 bytes for every field it
// meets, known or not, so a message of two-byte fields would cost forty
// times its size: such a message is refused before it is unpacked.
constexpr size_t kMaxAnswerFields = 16;

// What an exchange's answer says.
struct TokenAnswer {
  int32_t code = 0;   // 0, or the failure code of the exchange
  std::string ulvok;  // the token when code is 0
  std::string uuid;   // the replacement installation identifier, may be empty
  // Why a part of the answer was refused or ignored, for the log (static
  // text); null when nothing was.
  const char* refusal = nullptr;
};

// Reads the result of post_request: a non-zero transport code is kept;
// an empty answer gives kTokenEmptyAnswer; an answer that is not a
// TokenResponse kTokenBadMessage; status -10006 kTokenStatusBlocked; any
// other non-zero status, a command other than 1002 or an empty body
// kTokenRefused; a body that is not a TokenPayload kTokenBadMessage; a
// payload whose token is empty or longer than kMaxServiceTokenBytes
// kTokenRefused (it would replace a good stored one, and be handed out, or
// signed into every business sign). A message with more than
// kMaxAnswerFields fields, or whose fields are not well formed, is not
// unpacked: kTokenBadMessage. A uuid that is not a plausible installation
// identifier is dropped (uuid empty), the token still taken. Memory: about
// twice the answer's size.
TokenAnswer read_token_answer(int32_t transport_code, const std::string& answer);

}  // namespace risk

#endif  // RISK_CORE_TOKEN_H_
