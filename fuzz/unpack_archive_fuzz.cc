// unpack_archive over arbitrary bytes: only reads inside the archive, never
// returns more than kMaxEntrySize, and opens what pack_archive wrote.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/wire.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using risk::fuzz::check;
  const std::string input = risk::fuzz::as_string(data, size);

  const std::string content = risk::unpack_archive(input);
  check(content.size() <= risk::kMaxEntrySize, "an entry never exceeds kMaxEntrySize");

  if (!input.empty()) {
    const std::string archive = risk::pack_archive(input);
    check(!archive.empty(), "pack_archive succeeds in memory");
    check(risk::unpack_archive(archive) == input, "unpack(pack(x)) == x");
  }
  return 0;
}
