// The skip-list path of RiskSdk::collect: "PRIVATE_BLACK" (Base64 of an
// AES-256-ECB sealed list of collector names split at "|") and
// "PRIVATE_COLLECT_TIMEOUT" from arbitrary bytes.
//
// The first byte picks the form of the rest: bit 0 clear, the rest up to the
// first zero byte is the "PRIVATE_BLACK" text itself; bit 0 set, it is the
// plain list of names, sealed here with the skip-list key so that the fuzzer
// gets past the cipher. Bit 1 set: the bytes after the first zero byte are
// "PRIVATE_COLLECT_TIMEOUT" (absent otherwise). A collector runs exactly when
// its name is not in the list; every run delivers its key, late or not.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "collect/collector.h"
#include "core/risk_sdk.h"
#include "crypto/block_cipher.h"
#include "crypto/encoding.h"
#include "fuzz/fuzz_check.h"

namespace {

using risk::fuzz::check;

const char* const kCollectorNames[] = {"device_info", "mem_info", "fonts_hash", "cpu_info", ""};

// The pieces of text split at delimiter, as a set; the rest after the last
// delimiter counts when it is not empty.
std::set<std::string> reference_split(const std::string& text, char delimiter) {
  std::set<std::string> names;
  size_t start = 0;
  for (size_t bar = text.find(delimiter); bar != std::string::npos;
       bar = text.find(delimiter, start)) {
    names.insert(text.substr(start, bar - start));
    start = bar + 1;
  }
  if (start < text.size()) names.insert(text.substr(start));
  return names;
}

struct Fixture {
  Fixture() {
    risk::fuzz::silence_log();
    sdk = new risk::RiskSdk();  // lives as long as the process
    for (const char* name : kCollectorNames) {
      const std::string key = std::string("ran:") + name;
      sdk->register_collector(
          name, [key](risk::RiskApp&, risk::StringMap& result, void*) { result[key] = "1"; });
    }
    app = sdk->get_app("fuzz-app-key");
    check(app != nullptr, "get_app");
  }
  risk::RiskSdk* sdk;
  risk::RiskApp* app;
};

Fixture& fixture() {
  static Fixture* instance = new Fixture();
  return *instance;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fixture();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  Fixture& f = fixture();
  const bool sealed = (data[0] & 1) != 0;
  const std::string rest = risk::fuzz::as_string(data + 1, size - 1);
  const size_t zero = rest.find('\0');
  const std::string list = rest.substr(0, zero);

  risk::StringMap params = {{"KEY_URL", "u"}, {"c", "v"}};
  if (sealed) {
    params["PRIVATE_BLACK"] = risk::base64_encode(risk::AES_ECB_Encrypt_pkcs7padding(
        reinterpret_cast<const unsigned char*>(risk::kSkipListKey), 32, list));
  } else {
    params["PRIVATE_BLACK"] = list;
  }
  if ((data[0] & 2) != 0 && zero != std::string::npos) {
    params["PRIVATE_COLLECT_TIMEOUT"] = rest.substr(zero + 1);
  }

  risk::StringMap result = {{"K300", "old"}, {"K450", "old"}};
  f.sdk->collect(*f.app, params, result);

  std::set<std::string> ran;
  for (const char* name : kCollectorNames) {
    if (result.count(std::string("ran:") + name) != 0) ran.insert(name);
  }
  if (sealed) {
    const std::set<std::string> skip = reference_split(list, '|');
    for (const char* name : kCollectorNames) {
      check((ran.count(name) != 0) == (skip.count(name) == 0),
            "a collector runs exactly when the sealed list does not name it");
    }
  }
  check(result.count("K300") == 1 && result["K300"] != "old", "K300 is replaced");
  const std::string& late = result["K450"];
  check(late != "old", "K450 is replaced");
  for (const std::string& name : reference_split(late, ',')) {
    check(ran.count(name) != 0, "only collectors that ran are late");
  }
  check(late.empty() || late.back() == ',', "every late name ends with a comma");
  check(result["user_c"] == "v", "caller data travels as user_ entries");
  check(result.count("user_KEY_URL") == 0 && result.count("user_PRIVATE_BLACK") == 0,
        "settings are not caller data");
  return 0;
}
