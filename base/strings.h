// Small string helpers shared by every floor of the library. Pure
// functions: re-entrant, any thread; results are fresh strings owned by the
// caller. Nothing here throws for bad input or writes a log line.
#ifndef RISK_BASE_STRINGS_H_
#define RISK_BASE_STRINGS_H_

#include <cstdint>
#include <string>

namespace risk {

// value as decimal text ("-12", "0").
std::string decimal_text(int64_t value);

// True when text begins with prefix (always for an empty prefix).
bool has_prefix(const std::string& text, const char* prefix);

// text without leading and trailing " \t\n\v\f\r".
std::string trim(const std::string& text);

}  // namespace risk

#endif  // RISK_BASE_STRINGS_H_
