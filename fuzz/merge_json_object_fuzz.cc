// merge_json_object over arbitrary text into a map that already holds
// entries: only members of a parsed object with a non-empty string value
// other than "null" are stored, each under its own name; anything else
// leaves the map as it was.
#include <cstddef>
#include <cstdint>
#include <string>

#include "collect/collector.h"
#include "crypto/json/json11.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using risk::fuzz::check;
  const std::string text = risk::fuzz::as_string(data, size);
  const risk::StringMap before = {{"K1", "kept"}, {"a", "earlier"}, {"", "empty key"}};
  risk::StringMap map = before;
  risk::merge_json_object(map, text);

  std::string error;
  const json11::Json parsed = json11::Json::parse(text, error);
  if (!error.empty() || parsed.type() != json11::Json::OBJECT) {
    check(map == before, "text that is not a JSON object leaves the map unchanged");
    return 0;
  }
  const auto& members = parsed.object_items();
  for (const auto& entry : map) {
    auto member = members.find(entry.first);
    const bool stored = member != members.end() && !entry.first.empty() &&
                        member->second.type() == json11::Json::STRING &&
                        !member->second.string_value().empty() &&
                        member->second.string_value() != "null";
    if (stored) {
      check(entry.second == member->second.string_value(), "a member's string is stored");
    } else {
      auto old = before.find(entry.first);
      check(old != before.end() && old->second == entry.second,
            "only storable members change the map");
    }
  }
  for (const auto& member : members) {
    const std::string& value = member.second.string_value();
    if (!member.first.empty() && !value.empty() && value != "null") {
      check(map.count(member.first) == 1, "every storable member is stored");
    }
  }
  return 0;
}
