// Value types shared by every folder of the library. Plain values: no
// locks, any thread; whoever holds one owns it.
#ifndef RISK_BASE_TYPES_H_
#define RISK_BASE_TYPES_H_

#include <cstdint>
#include <map>
#include <string>

namespace risk {

// Ordered map from string to string (byte-wise key order): option maps,
// collected data and field maps.
using StringMap = std::map<std::string, std::string>;

// The answer of a post: HTTP status (or a negative transport code) and the
// raw body. Owned by the caller of post().
struct PostResponse {
  int32_t status_code = 0;
  std::string body;
};

// Where a token record came from.
enum class TokenState : int32_t {
  NONE = 0,      // no token: the initial record and the one a failed exchange leaves
  FETCHED = 1,   // received from the token service by this process
  STORED = 2,    // read back from the persisted properties
  DEGRADED = 3,  // a degrade token built locally
};

// One token and its expiry (milliseconds since the Unix epoch, as now_ms).
struct TokenRecord {
  TokenState state = TokenState::NONE;
  std::string ulvok;
  int64_t expires_at = 0;
};

// True when record may be handed out as a token: not degraded, not empty,
// and expires_at strictly later than now (milliseconds since the epoch).
inline bool is_usable(const TokenRecord& record, int64_t now) {
  return record.state != TokenState::DEGRADED && !record.ulvok.empty() && record.expires_at > now;
}

}  // namespace risk

#endif  // RISK_BASE_TYPES_H_
