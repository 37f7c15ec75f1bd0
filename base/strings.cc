#include "base/strings.h"

#include <algorithm>

namespace risk {

namespace {

constexpr char kWhitespace[] = " \t\n\v\f\r";

}  // namespace

std::string decimal_text(int64_t value) { return std::to_string(value); }

std::string unsigned_decimal_text(uint64_t value) { return std::to_string(value); }

bool has_prefix(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string trim(const std::string& text) {
  const size_t first = text.find_first_not_of(kWhitespace);
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(kWhitespace);
  return text.substr(first, last - first + 1);
}

std::string service_address(const std::string& configured, const char* default_url,
                            const char* path) {
  if (configured.empty()) return default_url;
  if (std::count(configured.begin(), configured.end(), '/') == 2) return configured + path;
  return configured;
}

}  // namespace risk
