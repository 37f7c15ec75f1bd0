#include "crypto/json/json11.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <thread>

#include <unistd.h>

namespace json11 {

// Failure messages show values as their text.
void PrintTo(const Json& value, std::ostream* out) { *out << value.dump(); }

namespace {

// Pointers other than const char* must not turn into bool.
static_assert(!std::is_constructible<Json, int*>::value, "pointer became a Json");
static_assert(!std::is_constructible<Json, const void*>::value, "pointer became a Json");

// A fresh seed per run unless JSON_TEST_SEED fixes one; printed by the caller.
unsigned TestSeed() {
  const char* fixed = std::getenv("JSON_TEST_SEED");
  return fixed ? static_cast<unsigned>(std::strtoul(fixed, nullptr, 10)) : std::random_device{}();
}

std::string Dump(const Json& value) { return value.dump(); }

Json MustParse(const std::string& text) {
  std::string err;
  Json value = Json::parse(text, err);
  EXPECT_TRUE(err.empty()) << "text: " << text << " error: " << err;
  return value;
}

bool Rejects(const std::string& text) {
  std::string err;
  const Json value = Json::parse(text, err);
  return !err.empty() && value.is_null();
}

std::string Printf(const char* format, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, format, value);
  return buffer;
}

// ---------------------------------------------------------------------------

TEST(JsonDump, ObjectMembersInKeyOrderWithSpaceAfterColonAndComma) {
  EXPECT_EQ(Dump(Json::object{{"b", "2"}, {"a", "1"}}), R"({"a": "1", "b": "2"})");
  // Byte-wise key order: upper case before lower case, bytes >= 0x80 last.
  EXPECT_EQ(Dump(Json::object{{"\xC3\xA9", 1}, {"b", 2}, {"B", 3}, {"", 4}}),
            "{\"\": 4, \"B\": 3, \"b\": 2, \"\xC3\xA9\": 1}");
}

TEST(JsonDump, ContainersAndLiterals) {
  const Json value = Json::array{Json(), true, false, Json::array{}, Json::object{},
                                 Json::array{1, "x"}, Json::object{{"k", Json::array{}}}};
  EXPECT_EQ(Dump(value), R"([null, true, false, [], {}, [1, "x"], {"k": []}])");
  EXPECT_EQ(Dump(Json()), "null");
}

TEST(JsonDump, IntegersAsSigned64BitDecimal) {
  EXPECT_EQ(Dump(Json(int64_t{1700000000000})), "1700000000000");
  for (int64_t value : {std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(),
                        int64_t{0}, int64_t{-1}, int64_t{-1700000000000}}) {
    char expected[32];
    std::snprintf(expected, sizeof expected, "%" PRId64, value);
    EXPECT_EQ(Dump(Json(value)), expected);
  }
}

TEST(JsonDump, DoublesMatchPrintf17g) {
  EXPECT_EQ(Dump(Json(0.1)), "0.10000000000000001");
  EXPECT_EQ(Dump(Json(1e17)), "1e+17");
  EXPECT_EQ(Dump(Json(1e16)), "10000000000000000");
  EXPECT_EQ(Dump(Json(-0.0)), "-0");
  EXPECT_EQ(Dump(Json(5e-324)), "4.9406564584124654e-324");
  const unsigned seed = TestSeed();
  std::printf("DoublesMatchPrintf17g seed %u\n", seed);
  std::mt19937_64 random(seed);
  for (int i = 0; i < 20000; ++i) {
    double value;
    const uint64_t bits = random();
    std::memcpy(&value, &bits, sizeof value);
    if (!std::isfinite(value)) continue;
    ASSERT_EQ(Dump(Json(value)), Printf("%.17g", value)) << "seed " << seed;
  }
}

TEST(JsonDump, NonFiniteDoublesAreNull) {
  EXPECT_EQ(Dump(Json(std::numeric_limits<double>::infinity())), "null");
  EXPECT_EQ(Dump(Json(-std::numeric_limits<double>::infinity())), "null");
  EXPECT_EQ(Dump(Json(std::nan(""))), "null");
}

TEST(JsonDump, StringEscapes) {
  EXPECT_EQ(Dump(Json("\t\x01\xE2\x80\xA8")), R"("\t\u0001\u2028")");
  EXPECT_EQ(Dump(Json("\xE2\x80\xA9")), R"("\u2029")");
  EXPECT_EQ(Dump(Json("\"\\\b\f\n\r/")), R"("\"\\\b\f\n\r/")");
  EXPECT_EQ(Dump(Json(std::string("\x00\x1f", 2))), R"("\u0000\u001f")");
  // 0x7F, two-byte letters and other E2 sequences are written unchanged,
  // as are truncated E2 80 sequences at the end.
  EXPECT_EQ(Dump(Json("\x7F\xC3\xA9\xE2\x80\xA7\xE2\x82\xAC")),
            "\"\x7F\xC3\xA9\xE2\x80\xA7\xE2\x82\xAC\"");
  EXPECT_EQ(Dump(Json("a\xE2\x80")), "\"a\xE2\x80\"");
  EXPECT_EQ(Dump(Json("\xE2")), "\"\xE2\"");
  EXPECT_EQ(Dump(Json("\xFF\x80")), "\"\xFF\x80\"");
  // Keys follow the same rules.
  EXPECT_EQ(Dump(Json::object{{"a\tb", 1}}), R"({"a\tb": 1})");
}

TEST(JsonDump, AppendsToExistingText) {
  std::string out = "x=";
  Json(Json::array{1, 2}).dump(out);
  EXPECT_EQ(out, "x=[1, 2]");
}

// ---------------------------------------------------------------------------

TEST(JsonConstruct, IntegerTypesAreHeldAsIntegers) {
  EXPECT_TRUE(Json(7).is_int());
  EXPECT_TRUE(Json(7L).is_int());
  EXPECT_TRUE(Json(7LL).is_int());
  EXPECT_TRUE(Json(7U).is_int());
  EXPECT_TRUE(Json(size_t{7}).is_int());
  EXPECT_TRUE(Json(static_cast<short>(-7)).is_int());
  EXPECT_EQ(Json(std::numeric_limits<uint32_t>::max()).int_value(), 4294967295);
  EXPECT_EQ(Json(-7LL).int_value(), -7);
  // Beyond INT64_MAX an unsigned value cannot be an int64: it is a double.
  const Json huge(std::numeric_limits<uint64_t>::max());
  EXPECT_FALSE(huge.is_int());
  EXPECT_EQ(huge.number_value(), 18446744073709551615.0);
  EXPECT_FALSE(Json(2.0).is_int());
  EXPECT_FALSE(Json(2.0f).is_int());
}

TEST(JsonConstruct, TextPointersAreStringsNotBools) {
  EXPECT_EQ(Json("abc").type(), Json::STRING);
  char buffer[] = "xyz";
  EXPECT_EQ(Json(static_cast<char*>(buffer)).string_value(), "xyz");
  const char* none = nullptr;
  EXPECT_EQ(Json(none).type(), Json::STRING);
  EXPECT_EQ(Json(nullptr).type(), Json::NUL);
  EXPECT_EQ(Json(true).type(), Json::BOOL);
}

TEST(JsonConstruct, StringMapsAndVectorsConvert) {
  const std::map<std::string, std::string> fields{{"z", "1"}, {"a", "2"}};
  EXPECT_EQ(Dump(Json(fields)), R"({"a": "2", "z": "1"})");
  EXPECT_EQ(Dump(Json(std::vector<std::string>{"p", "q"})), R"(["p", "q"])");
  EXPECT_EQ(Dump(Json(std::vector<int64_t>{1, -2})), "[1, -2]");
}

TEST(JsonConstruct, KindNumbersAreFixed) {
  EXPECT_EQ(static_cast<int>(Json().type()), 0);
  EXPECT_EQ(static_cast<int>(Json(1).type()), 1);
  EXPECT_EQ(static_cast<int>(Json(1.5).type()), 1);
  EXPECT_EQ(static_cast<int>(Json(false).type()), 2);
  EXPECT_EQ(static_cast<int>(Json("").type()), 3);
  EXPECT_EQ(static_cast<int>(Json(Json::array{}).type()), 4);
  EXPECT_EQ(static_cast<int>(Json(Json::object{}).type()), 5);
}

TEST(JsonAccess, MismatchedKindsGiveEmptyResults) {
  const Json number(5);
  EXPECT_EQ(number.string_value(), "");
  EXPECT_TRUE(number.array_items().empty());
  EXPECT_TRUE(number.object_items().empty());
  EXPECT_FALSE(number.bool_value());
  EXPECT_TRUE(number[0].is_null());
  EXPECT_TRUE(number["a"].is_null());
  EXPECT_EQ(Json("5").number_value(), 0);
  EXPECT_EQ(Json().int_value(), 0);
  const Json list = Json::array{1, 2};
  EXPECT_EQ(list[1].int_value(), 2);
  EXPECT_TRUE(list[2].is_null());
  const Json record = Json::object{{"a", 1}};
  EXPECT_EQ(record["a"].int_value(), 1);
  EXPECT_TRUE(record["b"].is_null());
}

TEST(JsonAccess, DoubleToIntTruncatesAndClamps) {
  EXPECT_EQ(Json(-2.7).int_value(), -2);
  EXPECT_EQ(Json(1e300).int_value(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(Json(-1e300).int_value(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(Json(std::nan("")).int_value(), 0);
  EXPECT_EQ(Json(int64_t{1} << 62).number_value(), 4611686018427387904.0);
}

TEST(JsonAccess, NumbersCompareByExactValue) {
  EXPECT_EQ(Json(1), Json(1.0));
  EXPECT_NE(Json(1), Json(1.5));
  // 2^63 as a double is not INT64_MAX.
  EXPECT_NE(Json(std::numeric_limits<int64_t>::max()), Json(9223372036854775808.0));
  EXPECT_NE(Json(int64_t{(1LL << 53) + 1}), Json(9007199254740992.0));
  EXPECT_NE(Json(1), Json("1"));
  EXPECT_EQ(Json(Json::object{{"a", 1}}), Json(Json::object{{"a", 1.0}}));
}

// ---------------------------------------------------------------------------

TEST(JsonParse, IntegerRuleOf18Characters) {
  const Json time = MustParse("1700000000000");
  EXPECT_TRUE(time.is_int());
  EXPECT_EQ(time.int_value(), 1700000000000);
  EXPECT_EQ(Dump(time), "1700000000000");

  const Json eighteen = MustParse("999999999999999999");
  EXPECT_TRUE(eighteen.is_int());
  EXPECT_EQ(eighteen.int_value(), 999999999999999999);
  const Json nineteen = MustParse("1234567890123456789");
  EXPECT_FALSE(nineteen.is_int());
  EXPECT_EQ(nineteen.number_value(), 1234567890123456789.0);

  // The minus sign counts.
  const Json negative18 = MustParse("-99999999999999999");
  EXPECT_TRUE(negative18.is_int());
  EXPECT_EQ(negative18.int_value(), -99999999999999999);
  const Json negative19 = MustParse("-999999999999999999");
  EXPECT_FALSE(negative19.is_int());
  EXPECT_EQ(negative19.number_value(), -999999999999999999.0);

  // A fraction or an exponent makes a double whatever the length.
  EXPECT_FALSE(MustParse("1.0").is_int());
  EXPECT_FALSE(MustParse("1e2").is_int());
  EXPECT_EQ(MustParse("-0").int_value(), 0);
}

TEST(JsonParse, DoublesAndTheirLimits) {
  EXPECT_EQ(MustParse("0.1").number_value(), 0.1);
  EXPECT_EQ(MustParse("-2.5E-3").number_value(), -2.5e-3);
  EXPECT_EQ(MustParse("1e+2").number_value(), 100.0);
  EXPECT_EQ(MustParse("4.9406564584124654e-324").number_value(), 5e-324);
  // Out of the double range: infinities and zeros, as strtod gives.
  EXPECT_EQ(MustParse("1e400").number_value(), std::numeric_limits<double>::infinity());
  EXPECT_EQ(MustParse("-1e400").number_value(), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(MustParse("1" + std::string(400, '0')).number_value(),
            std::numeric_limits<double>::infinity());
  EXPECT_EQ(MustParse("1e-400").number_value(), 0.0);
  EXPECT_TRUE(std::signbit(MustParse("-1e-400").number_value()));
  EXPECT_EQ(MustParse("0." + std::string(400, '0') + "1").number_value(), 0.0);
  EXPECT_EQ(MustParse("0.001e99999999999999999999").number_value(),
            std::numeric_limits<double>::infinity());
  EXPECT_EQ(Dump(MustParse("[1e400]")), "[null]");
}

TEST(JsonParse, InvalidTextsAreRejected) {
  const char* const kInvalid[] = {
      "01", "-01", "1.", "1e", "1e+", "-", "+1", ".5", "0x10", "1.e5", "[1,]", "[,1]", "[1 2]",
      "{\"a\":1,}", "{\"a\":1}x", "{\"a\" 1}", "{1:2}", "{\"a\"}", "{,}", "[", "]", "{", "",
      "   ", "// c\n1", "/* c */1", "1 // c", "\"abc", "\"a\x01\"", "\"\\q\"", "\"\\u12\"",
      "\"\\u12G4\"", "\"\\", "\"\\ud83d\\u12\"", "NaN", "Infinity", "True", "nul", "nulls",
      "\f1", "\v1", "\xC2\xA0" "1", "1 2", "[1]]", "\"a\"\"b\"", "[\"a\":1]", "{\"a\":1:2}",
  };
  for (const char* text : kInvalid) EXPECT_TRUE(Rejects(text)) << "accepted: " << text;
  EXPECT_TRUE(Rejects(std::string("1\0", 2)));
  EXPECT_TRUE(Rejects(std::string("[\0]", 3)));
  EXPECT_TRUE(Rejects(std::string("\"\0\"", 3)));
}

TEST(JsonParse, WhiteSpaceBetweenTokens) {
  EXPECT_EQ(Dump(MustParse(" \t\r\n[ 1 ,\t2 ,\n3 ]\r\n ")), "[1, 2, 3]");
  EXPECT_EQ(Dump(MustParse("{ \"a\" : [ ] , \"b\" :{ } }")), R"({"a": [], "b": {}})");
}

TEST(JsonParse, ErrorIsSetOnFailureAndClearedOnSuccess) {
  std::string err = "stale";
  EXPECT_EQ(Json::parse("true", err), Json(true));
  EXPECT_TRUE(err.empty());
  const Json value = Json::parse("[1, 2, {\"a\": }]", err);
  EXPECT_FALSE(err.empty());
  EXPECT_TRUE(value.is_null());
}

TEST(JsonParse, NestingLimitIs200) {
  const auto nested = [](int depth, const std::string& inner) {
    return std::string(depth, '[') + inner + std::string(depth, ']');
  };
  EXPECT_FALSE(MustParse(nested(200, "")).is_null());
  EXPECT_FALSE(MustParse(nested(200, "1")).is_null());
  EXPECT_TRUE(Rejects(nested(201, "")));
  std::string objects;
  for (int i = 0; i < 200; ++i) objects += "{\"a\":";
  objects += "1" + std::string(200, '}');
  EXPECT_FALSE(MustParse(objects).is_null());
  EXPECT_TRUE(Rejects("[" + objects + "]"));
  // Far deeper input fails at the limit instead of exhausting the stack.
  EXPECT_TRUE(Rejects(std::string(1000000, '[')));
}

TEST(JsonParse, UnicodeEscapesBecomeUtf8) {
  EXPECT_EQ(MustParse(R"("\ud83d\ude00")").string_value(), "\xF0\x9F\x98\x80");
  EXPECT_EQ(MustParse(R"("\u00e9\u00E9")").string_value(), "\xC3\xA9\xC3\xA9");
  EXPECT_EQ(MustParse(R"("\u2028")").string_value(), "\xE2\x80\xA8");
  EXPECT_EQ(MustParse(R"("\u0000")").string_value(), std::string("\0", 1));
  EXPECT_EQ(MustParse(R"("\/\b\f\n\r\t\"\\")").string_value(), "/\b\f\n\r\t\"\\");
  // Raw bytes, valid UTF-8 or not, are kept.
  EXPECT_EQ(MustParse("\"\x7F\xC3\xA9\xFF\"").string_value(), "\x7F\xC3\xA9\xFF");
}

TEST(JsonParse, LoneSurrogatesAreWrittenAlone) {
  EXPECT_EQ(MustParse(R"("\ud83dx")").string_value(), "\xED\xA0\xBDx");
  EXPECT_EQ(MustParse(R"("\ud83d")").string_value(), "\xED\xA0\xBD");
  EXPECT_EQ(MustParse(R"("\ude00")").string_value(), "\xED\xB8\x80");
  EXPECT_EQ(MustParse(R"("\ud83d\ud83d\ude00")").string_value(),
            "\xED\xA0\xBD\xF0\x9F\x98\x80");
  EXPECT_EQ(MustParse(R"("\ud83d\n")").string_value(), "\xED\xA0\xBD\n");
  EXPECT_EQ(MustParse(R"("\ude00\ud83d")").string_value(), "\xED\xB8\x80\xED\xA0\xBD");
}

TEST(JsonParse, DuplicateKeyLastWins) {
  EXPECT_EQ(Dump(MustParse(R"({"a": 1, "b": 2, "a": 3})")), R"({"a": 3, "b": 2})");
}

TEST(JsonParse, EveryProperPrefixOfAnObjectIsRejected) {
  const std::string text =
      R"({"k": [1, -2.5e3, true, false, null, "s\u00e9\n"], "o": {"x": {}}, "e": []})";
  ASSERT_FALSE(MustParse(text).is_null());
  for (size_t length = 0; length < text.size(); ++length) {
    EXPECT_TRUE(Rejects(text.substr(0, length))) << "accepted prefix " << length;
  }
}

// ---------------------------------------------------------------------------
// Generated values.

class JsonGenerated : public ::testing::Test {
 protected:
  void SetUp() override {
    seed_ = TestSeed();
    std::printf("%s seed %u (set JSON_TEST_SEED to repeat)\n",
                ::testing::UnitTest::GetInstance()->current_test_info()->name(), seed_);
    random_.seed(seed_);
  }

  // What the generated values may hold.
  struct Range {
    bool utf8_only;     // strings are valid UTF-8 (JavaScript holds the same text)
    int64_t int_limit;  // integers lie in [-int_limit, int_limit]
  };
  // Integers that read back as integers: at most 18 characters.
  static constexpr Range kExact{false, 99999999999999999};
  static constexpr Range kWide{false, std::numeric_limits<int64_t>::max()};
  // Integers a JavaScript number holds exactly.
  static constexpr Range kJavaScript{true, int64_t{1} << 53};

  Json Value(int depth, const Range& range) {
    const int kind = std::uniform_int_distribution<int>(0, depth > 0 ? 7 : 5)(random_);
    switch (kind) {
      case 0: return Json();
      case 1: return Json(random_() % 2 == 0);
      case 2: return Json(Integer(range.int_limit));
      case 3: return Json(Double());
      case 4:
      case 5: return Json(Text(range.utf8_only));
      case 6: {
        Json::array values;
        const int count = std::uniform_int_distribution<int>(0, 5)(random_);
        for (int i = 0; i < count; ++i) values.push_back(Value(depth - 1, range));
        return Json(std::move(values));
      }
      default: {
        Json::object values;
        const int count = std::uniform_int_distribution<int>(0, 5)(random_);
        for (int i = 0; i < count; ++i) values[Text(range.utf8_only)] = Value(depth - 1, range);
        return Json(std::move(values));
      }
    }
  }

  int64_t Integer(int64_t limit) {
    switch (random_() % 3) {
      case 0: return std::uniform_int_distribution<int64_t>(-1000, 1000)(random_);
      case 1: return std::uniform_int_distribution<int64_t>(-limit, limit)(random_);
      default: return 1700000000000 + static_cast<int64_t>(random_() % 100000000000);
    }
  }

  // Finite, never negative zero (which reads back as the integer 0).
  double Double() {
    for (;;) {
      double value;
      switch (random_() % 3) {
        case 0: {
          const uint64_t bits = random_();
          std::memcpy(&value, &bits, sizeof value);
          break;
        }
        case 1: value = std::uniform_real_distribution<double>(-1e6, 1e6)(random_); break;
        default: value = std::round(std::uniform_real_distribution<double>(-1e18, 1e18)(random_));
      }
      if (std::isfinite(value) && !(value == 0 && std::signbit(value))) return value;
    }
  }

  std::string Text(bool utf8_only) {
    static const char* const kPieces[] = {
        "a", "Z", " ", "/", "\"", "\\", "\b", "\f", "\n", "\r", "\t", "\x01", "\x1f", "\x7f",
        "\xC3\xA9", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "{", "]",
        ":", ","};
    std::string text;
    const int count = std::uniform_int_distribution<int>(0, 12)(random_);
    for (int i = 0; i < count; ++i) {
      if (!utf8_only && random_() % 4 == 0) {
        text.push_back(static_cast<char>(random_() % 256));
      } else {
        text += kPieces[random_() % (sizeof kPieces / sizeof kPieces[0])];
      }
    }
    return text;
  }

  unsigned seed_ = 0;
  std::mt19937_64 random_;
};

TEST_F(JsonGenerated, DumpThenParseGivesTheSameValueAndText) {
  for (int i = 0; i < 300; ++i) {
    const Json value = Value(4, kExact);
    const std::string text = value.dump();
    std::string err;
    const Json back = Json::parse(text, err);
    ASSERT_TRUE(err.empty()) << err << " in " << text << " seed " << seed_;
    ASSERT_EQ(back, value) << "seed " << seed_;
    ASSERT_EQ(back.dump(), text) << "seed " << seed_;
  }
}

// With integers of 19 characters the first parse turns them into doubles;
// from there on parse and dump are stable.
TEST_F(JsonGenerated, ParseDumpParseIsStable) {
  for (int i = 0; i < 300; ++i) {
    const std::string text = Value(4, kWide).dump();
    std::string err;
    const Json first = Json::parse(text, err);
    ASSERT_TRUE(err.empty()) << err << " in " << text << " seed " << seed_;
    const std::string again = first.dump();
    const Json second = Json::parse(again, err);
    ASSERT_TRUE(err.empty()) << err << " in " << again << " seed " << seed_;
    ASSERT_EQ(second, first) << "seed " << seed_;
    ASSERT_EQ(second.dump(), again) << "seed " << seed_;
  }
}

// Damaged texts either fail cleanly or read to a value that is stable from
// then on; under the address sanitizer this also proves every read stays
// inside the input.
TEST_F(JsonGenerated, DamagedTextsFailCleanlyOrStayStable) {
  static const char kBytes[] = "[]{}\",:\\u0123456789abcdefABCDEF-+.eE \t\n/tfn\x01\xE2\x80\xA8";
  int accepted = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string text = Value(3, kWide).dump();
    const int damage = 1 + static_cast<int>(random_() % 3);
    for (int d = 0; d < damage && !text.empty(); ++d) {
      const size_t at = random_() % text.size();
      const char byte = kBytes[random_() % (sizeof kBytes - 1)];
      switch (random_() % 3) {
        case 0: text[at] = byte; break;
        case 1: text.insert(text.begin() + static_cast<std::ptrdiff_t>(at), byte); break;
        default: text.erase(at, 1 + random_() % 4);
      }
    }
    std::string err;
    const Json value = Json::parse(text, err);
    if (!err.empty()) {
      ASSERT_TRUE(value.is_null());
      continue;
    }
    ++accepted;
    const Json again = Json::parse(value.dump(), err);
    ASSERT_TRUE(err.empty()) << err << " in " << value.dump() << " seed " << seed_;
    // Same value, or same text: an exponent out of range reads as an
    // infinity, which writes as null. (A negative zero writes as -0 and
    // reads back as the equal integer 0.)
    ASSERT_TRUE(again == value || again.dump() == value.dump())
        << value.dump() << " seed " << seed_;
  }
  std::printf("%d of 3000 damaged texts were still valid\n", accepted);
}

// Equality as a JavaScript engine sees it: every number is a double.
bool SameForJavaScript(const Json& a, const Json& b) {
  if (a.type() != b.type()) return false;
  switch (a.type()) {
    case Json::NUMBER: return a.number_value() == b.number_value();
    case Json::ARRAY: {
      const Json::array& x = a.array_items();
      const Json::array& y = b.array_items();
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i) {
        if (!SameForJavaScript(x[i], y[i])) return false;
      }
      return true;
    }
    case Json::OBJECT: {
      const Json::object& x = a.object_items();
      const Json::object& y = b.object_items();
      if (x.size() != y.size()) return false;
      for (auto i = x.begin(), j = y.begin(); i != x.end(); ++i, ++j) {
        if (i->first != j->first || !SameForJavaScript(i->second, j->second)) return false;
      }
      return true;
    }
    default: return a == b;
  }
}

// Node's JSON.parse reads every generated text to the value we wrote, and
// our parse reads Node's JSON.stringify of it back to the same value.
TEST_F(JsonGenerated, NodeReadsTheSameValues) {
  if (std::system("node --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "node not found";
  const std::string stem = ::testing::TempDir() + "json11_node_" + std::to_string(::getpid());
  const std::string input = stem + ".txt";
  const std::string script = stem + ".js";
  std::vector<Json> values;
  {
    std::ofstream out(input, std::ios::binary);
    for (int i = 0; i < 300; ++i) {
      values.push_back(Value(4, kJavaScript));
      out << values.back().dump() << '\n';
    }
    std::ofstream js(script);
    js << "const fs = require('fs');\n"
          "const lines = fs.readFileSync(process.argv[2], 'utf8').split('\\n');\n"
          "lines.pop();\n"
          "for (const line of lines) process.stdout.write(JSON.stringify(JSON.parse(line)) + "
          "'\\n');\n";
  }
  FILE* pipe = ::popen(("node " + script + " " + input).c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[4096];
  size_t read;
  while ((read = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, read);
  ASSERT_EQ(::pclose(pipe), 0) << "node failed to parse a text; seed " << seed_;
  std::istringstream lines(output);
  std::string line;
  size_t index = 0;
  while (std::getline(lines, line)) {
    ASSERT_LT(index, values.size());
    std::string err;
    const Json back = Json::parse(line, err);
    ASSERT_TRUE(err.empty()) << err << " in " << line;
    EXPECT_TRUE(SameForJavaScript(back, values[index])) << "ours: " << values[index].dump() << "\nnode: " << line
                                   << "\nseed " << seed_;
    ++index;
  }
  EXPECT_EQ(index, values.size());
  std::remove(input.c_str());
  std::remove(script.c_str());
}

TEST(JsonSharing, CopiesAreReadFromSeveralThreads) {
  const Json shared = Json::object{{"list", Json::array{1, 2.5, "three"}}, {"flag", true}};
  const std::string expected = shared.dump();
  std::vector<std::thread> threads;
  std::vector<int> mismatches(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        const Json copy = shared;
        const Json inner = copy["list"];
        if (copy.dump() != expected || inner[2].string_value() != "three") ++mismatches[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (int count : mismatches) EXPECT_EQ(count, 0);
}

}  // namespace
}  // namespace json11
