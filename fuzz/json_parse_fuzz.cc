// json11::Json::parse over arbitrary text. Whatever parses dumps to a text
// that parses again and dumps to the same text, so what the library writes
// for the services is stable under a read-write cycle. The one exception is
// the double -0.0: it dumps as "-0", which reads back as the integer 0.
#include <cstddef>
#include <cstdint>
#include <string>

#include "crypto/json/json11.h"
#include "fuzz/fuzz_check.h"

namespace {

bool ends_number(char c) { return !(c >= '0' && c <= '9') && c != '.' && c != 'e' && c != 'E'; }

// text (a dump) with every number "-0" outside strings written as "0".
std::string without_negative_zero(const std::string& text) {
  std::string out;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      out += c;
      if (c == '\\' && i + 1 < text.size()) {
        out += text[++i];
      } else if (c == '"') {
        in_string = false;
      }
      continue;
    }
    if (c == '"') in_string = true;
    const bool negative_zero = c == '-' && i + 1 < text.size() && text[i + 1] == '0' &&
                               (i + 2 == text.size() || ends_number(text[i + 2]));
    if (!negative_zero) out += c;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using risk::fuzz::check;
  const std::string text = risk::fuzz::as_string(data, size);

  std::string error;
  const json11::Json value = json11::Json::parse(text, error);
  if (!error.empty()) {
    check(value.type() == json11::Json::NUL, "a failed parse gives null");
    return 0;
  }

  const std::string first = value.dump();
  std::string again_error;
  const json11::Json again = json11::Json::parse(first, again_error);
  check(again_error.empty(), "the dump of a parsed value parses");
  const std::string second = again.dump();
  check(second == without_negative_zero(first),
        "the dump of a parsed value dumps identically after parsing");
  return 0;
}
