// The settings table against the script side's two lists of the same keys,
// read from the package's sources: a key added to, renamed in or dropped
// from one side only is a setting the library and the script disagree on
// (a warning for a key the library reads, or silence for one it ignores).
#include "base/settings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace risk {
namespace {

std::string read_source(const std::string& relative) {
  std::ifstream in(std::string(RISK_SOURCE_DIR) + "/" + relative, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The text between the first `open` and the next `close` after it; "" when
// either is missing.
std::string between(const std::string& text, const std::string& open, const std::string& close) {
  const size_t start = text.find(open);
  if (start == std::string::npos) return std::string();
  const size_t end = text.find(close, start + open.size());
  if (end == std::string::npos) return std::string();
  return text.substr(start + open.size(), end - start - open.size());
}

// Every first capture group of pattern in text, in order.
std::vector<std::string> captures(const std::string& text, const std::string& pattern) {
  std::vector<std::string> found;
  const std::regex re(pattern);
  for (auto it = std::sregex_iterator(text.begin(), text.end(), re); it != std::sregex_iterator();
       ++it) {
    found.push_back((*it)[1].str());
  }
  return found;
}

std::vector<std::string> table() {
  return std::vector<std::string>(std::begin(kSettings), std::end(kSettings));
}

TEST(Settings, ScriptListNamesTheSameKeysInTheSameOrder) {
  const std::string list =
      between(read_source("js/index.js"), "const SETTINGS = Object.freeze([", "]);");
  ASSERT_FALSE(list.empty()) << "no SETTINGS list in js/index.js";
  EXPECT_EQ(captures(list, "'([A-Z_]+)'"), table());
}

TEST(Settings, TypeDeclaresTheSameKeysInTheSameOrder) {
  // Members are the lines "  NAME?: type;" of the interface; its comments
  // quote keys too, but never at the start of a line followed by "?:".
  const std::string type =
      between(read_source("js/index.d.ts"), "export interface Settings {", "\n}");
  ASSERT_FALSE(type.empty()) << "no Settings interface in js/index.d.ts";
  EXPECT_EQ(captures(type, "\\n\\s*([A-Z_]+)\\?:"), table());
}

}  // namespace
}  // namespace risk
