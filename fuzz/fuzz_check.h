// The fuzz targets' one way to report a broken property: print what failed
// and abort, which libFuzzer records as a crash with its input and the
// replay driver turns into a failed test.
#ifndef RISK_FUZZ_FUZZ_CHECK_H_
#define RISK_FUZZ_FUZZ_CHECK_H_

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace risk {
namespace fuzz {

inline void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz property broken: %s\n", what);
  std::abort();
}

inline std::string as_string(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// Silences the library's log (read once, at the first line).
inline void silence_log() { setenv("RISK_LOG", "off", 1); }

}  // namespace fuzz
}  // namespace risk

#endif  // RISK_FUZZ_FUZZ_CHECK_H_
