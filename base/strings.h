// Small string helpers shared by every floor of the library. Pure
// functions: re-entrant, any thread; results are fresh strings owned by the
// caller. Nothing here throws for bad input or writes a log line.
#ifndef RISK_BASE_STRINGS_H_
#define RISK_BASE_STRINGS_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace risk {

// value as decimal text ("-12", "0").
std::string decimal_text(int64_t value);
// value as decimal text, the whole unsigned range ("18446744073709551615").
std::string unsigned_decimal_text(uint64_t value);

// True when text begins with prefix (always for an empty prefix). Both may
// hold zero bytes; a const char* prefix ends at its first.
bool has_prefix(std::string_view text, std::string_view prefix);

// text without leading and trailing " \t\n\v\f\r".
std::string trim(const std::string& text);

// The address of a service: configured when it is not empty, with path
// appended when configured holds exactly two "/" (scheme and host only);
// default_url when configured is empty.
std::string service_address(const std::string& configured, const char* default_url,
                            const char* path);

}  // namespace risk

#endif  // RISK_BASE_STRINGS_H_
