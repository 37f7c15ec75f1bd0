// Value types shared by every folder of the library.
#ifndef RISK_CORE_TYPES_H_
#define RISK_CORE_TYPES_H_

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

}  // namespace risk

#endif  // RISK_CORE_TYPES_H_
