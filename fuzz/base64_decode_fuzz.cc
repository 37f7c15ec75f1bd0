// base64_decode over arbitrary text: never reads or writes outside its
// buffers, gives either nothing or exactly the length its rule computes,
// and opens whatever base64_encode wrote.
#include <cstddef>
#include <cstdint>
#include <string>

#include "crypto/encoding.h"
#include "fuzz/fuzz_check.h"

namespace {

// 3 * (n / 4) minus the trailing "=" characters; the length of any result
// that is not empty.
long expected_length(const std::string& text) {
  size_t padding = 0;
  while (padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  return 3 * static_cast<long>(text.size() / 4) - static_cast<long>(padding);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using risk::fuzz::check;
  const std::string input = risk::fuzz::as_string(data, size);

  const std::string decoded = risk::base64_decode(input);
  if (!decoded.empty()) {
    check(static_cast<long>(decoded.size()) == expected_length(input),
          "decoded length is 3 * (n / 4) minus the trailing '='");
  }

  const std::string encoded = risk::base64_encode(input);
  check(encoded.size() == 4 * ((size + 2) / 3), "encoded length is 4 * ceil(n / 3)");
  check(risk::base64_decode(encoded) == input, "decode(encode(x)) == x");
  return 0;
}
