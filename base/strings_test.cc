#include "base/strings.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace risk {
namespace {

// The ends of both ranges, where a hand-made conversion overflows or loses
// the sign; the texts are what printf's %lld and %llu print.
TEST(Strings, DecimalTextCoversTheWholeRange) {
  EXPECT_EQ(decimal_text(0), "0");
  EXPECT_EQ(decimal_text(-12), "-12");
  EXPECT_EQ(decimal_text(std::numeric_limits<int64_t>::min()), "-9223372036854775808");
  EXPECT_EQ(decimal_text(std::numeric_limits<int64_t>::max()), "9223372036854775807");
  EXPECT_EQ(unsigned_decimal_text(0), "0");
  EXPECT_EQ(unsigned_decimal_text(std::numeric_limits<uint64_t>::max()), "18446744073709551615");
}

TEST(Strings, HasPrefixComparesOnlyTheLeadingBytes) {
  struct Case {
    std::string text;
    std::string prefix;
    bool expected;
  };
  const Case cases[] = {
      {"user_id", "user_", true},
      {"user_", "user_", true},
      {"anything", "", true},
      {"", "", true},
      {"use", "user_", false},       // prefix longer than the text
      {"xuser_id", "user_", false},  // the prefix further in
      {"User_id", "user_", false},
      {std::string("a\0b", 3), std::string("a\0c", 3), false},  // zero bytes compared too
      {std::string("a\0b", 3), std::string("a\0", 2), true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(has_prefix(c.text, c.prefix), c.expected) << c.text << " / " << c.prefix;
  }
}

}  // namespace
}  // namespace risk
