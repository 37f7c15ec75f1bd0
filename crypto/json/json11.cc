#include "crypto/json/json11.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

namespace json11 {

// The content of a Json. Immutable once built; shared between copies.
class JsonValue {
 public:
  virtual ~JsonValue() = default;
  virtual Json::Type type() const = 0;
  virtual bool is_int() const { return false; }
  // REQUIRES: other.type() == type().
  virtual bool equals(const JsonValue& other) const = 0;
  // Appends the text of the value to out.
  virtual void dump(std::string& out) const = 0;
  virtual double number_value() const { return 0; }
  virtual int64_t int_value() const { return 0; }
  virtual bool bool_value() const { return false; }
  virtual const std::string& string_value() const;
  virtual const Json::array& array_items() const;
  virtual const Json::object& object_items() const;
  virtual const Json& operator[](size_t i) const;
  virtual const Json& operator[](const std::string& key) const;
};

namespace {

// Shared constants: the empty results of the accessors and the contents of
// the values that need no allocation of their own. Created on first use and
// never destroyed, so values built during static destruction still work.
struct Statics {
  const std::shared_ptr<const JsonValue> null_content;
  const std::shared_ptr<const JsonValue> true_content;
  const std::shared_ptr<const JsonValue> false_content;
  const std::shared_ptr<const JsonValue> empty_string_content;
  const std::shared_ptr<const JsonValue> empty_array_content;
  const std::shared_ptr<const JsonValue> empty_object_content;
  const std::string empty_string;
  const Json::array empty_array;
  const Json::object empty_object;
  const Json null_json;

  Statics();
};

const Statics& statics() {
  static const Statics* const instance = new Statics();
  return *instance;
}

// ---------------------------------------------------------------------------
// Writing text.

// The bytes that a string cannot carry unchanged: control characters, the
// double quote and the backslash, and 0xE2, the lead byte of U+2028/U+2029.
constexpr std::array<bool, 256> MakeNeedsCare() {
  std::array<bool, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = true;
  table['"'] = true;
  table['\\'] = true;
  table[0xE2] = true;
  return table;
}
constexpr std::array<bool, 256> kNeedsCare = MakeNeedsCare();

void DumpString(const std::string& value, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  const char* p = value.data();
  const char* const end = p + value.size();
  const char* run = p;  // start of the bytes not yet appended
  while (p < end) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (!kNeedsCare[c]) {
      ++p;
      continue;
    }
    if (c == 0xE2) {
      // E2 80 A8 is U+2028 and E2 80 A9 is U+2029; any other E2 sequence
      // is copied unchanged.
      if (end - p >= 3 && static_cast<unsigned char>(p[1]) == 0x80 &&
          (static_cast<unsigned char>(p[2]) == 0xA8 ||
           static_cast<unsigned char>(p[2]) == 0xA9)) {
        out.append(run, p);
        out.append(static_cast<unsigned char>(p[2]) == 0xA8 ? "\\u2028" : "\\u2029", 6);
        p += 3;
        run = p;
      } else {
        ++p;
      }
      continue;
    }
    out.append(run, p);
    switch (c) {
      case '\\': out.append("\\\\", 2); break;
      case '"': out.append("\\\"", 2); break;
      case '\b': out.append("\\b", 2); break;
      case '\f': out.append("\\f", 2); break;
      case '\n': out.append("\\n", 2); break;
      case '\r': out.append("\\r", 2); break;
      case '\t': out.append("\\t", 2); break;
      default: {
        const char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out.append(escape, sizeof escape);
        break;
      }
    }
    ++p;
    run = p;
  }
  out.append(run, p);
  out.push_back('"');
}

// ---------------------------------------------------------------------------
// Content classes.

class JsonNull final : public JsonValue {
 public:
  Json::Type type() const override { return Json::NUL; }
  bool equals(const JsonValue&) const override { return true; }
  void dump(std::string& out) const override { out.append("null", 4); }
};

class JsonBoolean final : public JsonValue {
 public:
  explicit JsonBoolean(bool value) : value_(value) {}
  Json::Type type() const override { return Json::BOOL; }
  bool equals(const JsonValue& other) const override {
    return value_ == other.bool_value();
  }
  void dump(std::string& out) const override {
    if (value_) {
      out.append("true", 4);
    } else {
      out.append("false", 5);
    }
  }
  bool bool_value() const override { return value_; }

 private:
  const bool value_;
};

// Exact comparison of an integer with a double: equal only when the double
// is integral and inside the int64 range.
bool IntEqualsDouble(int64_t i, double d) {
  if (!(d >= -9223372036854775808.0 && d < 9223372036854775808.0)) return false;
  if (std::trunc(d) != d) return false;
  return static_cast<int64_t>(d) == i;
}

class JsonDouble final : public JsonValue {
 public:
  explicit JsonDouble(double value) : value_(value) {}
  Json::Type type() const override { return Json::NUMBER; }
  bool equals(const JsonValue& other) const override {
    if (other.is_int()) return IntEqualsDouble(other.int_value(), value_);
    return value_ == other.number_value();
  }
  void dump(std::string& out) const override {
    if (!std::isfinite(value_)) {
      out.append("null", 4);
      return;
    }
    // Same text as "%.17g" in the C locale, whatever locale the host set.
    char buffer[32];
    const std::to_chars_result result = std::to_chars(
        buffer, buffer + sizeof buffer, value_, std::chars_format::general, 17);
    out.append(buffer, result.ptr);
  }
  double number_value() const override { return value_; }
  int64_t int_value() const override {
    if (std::isnan(value_)) return 0;
    if (value_ >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
    if (value_ < -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value_);
  }

 private:
  const double value_;
};

class JsonInt final : public JsonValue {
 public:
  explicit JsonInt(int64_t value) : value_(value) {}
  Json::Type type() const override { return Json::NUMBER; }
  bool is_int() const override { return true; }
  bool equals(const JsonValue& other) const override {
    if (other.is_int()) return value_ == other.int_value();
    return IntEqualsDouble(value_, other.number_value());
  }
  void dump(std::string& out) const override {
    // Same text as "%ld" for a signed 64-bit value.
    char buffer[24];
    const std::to_chars_result result = std::to_chars(buffer, buffer + sizeof buffer, value_);
    out.append(buffer, result.ptr);
  }
  double number_value() const override { return static_cast<double>(value_); }
  int64_t int_value() const override { return value_; }

 private:
  const int64_t value_;
};

class JsonString final : public JsonValue {
 public:
  explicit JsonString(std::string value) : value_(std::move(value)) {}
  Json::Type type() const override { return Json::STRING; }
  bool equals(const JsonValue& other) const override {
    return value_ == other.string_value();
  }
  void dump(std::string& out) const override { DumpString(value_, out); }
  const std::string& string_value() const override { return value_; }

 private:
  const std::string value_;
};

class JsonArray final : public JsonValue {
 public:
  explicit JsonArray(Json::array values) : values_(std::move(values)) {}
  Json::Type type() const override { return Json::ARRAY; }
  bool equals(const JsonValue& other) const override {
    return values_ == other.array_items();
  }
  void dump(std::string& out) const override {
    out.push_back('[');
    bool first = true;
    for (const Json& value : values_) {
      if (!first) out.append(", ", 2);
      first = false;
      value.dump(out);
    }
    out.push_back(']');
  }
  const Json::array& array_items() const override { return values_; }
  const Json& operator[](size_t i) const override {
    return i < values_.size() ? values_[i] : statics().null_json;
  }

 private:
  const Json::array values_;
};

class JsonObject final : public JsonValue {
 public:
  explicit JsonObject(Json::object values) : values_(std::move(values)) {}
  Json::Type type() const override { return Json::OBJECT; }
  bool equals(const JsonValue& other) const override {
    return values_ == other.object_items();
  }
  void dump(std::string& out) const override {
    out.push_back('{');
    bool first = true;
    for (const auto& member : values_) {
      if (!first) out.append(", ", 2);
      first = false;
      DumpString(member.first, out);
      out.append(": ", 2);
      member.second.dump(out);
    }
    out.push_back('}');
  }
  const Json::object& object_items() const override { return values_; }
  const Json& operator[](const std::string& key) const override {
    const auto it = values_.find(key);
    return it == values_.end() ? statics().null_json : it->second;
  }

 private:
  const Json::object values_;
};

Statics::Statics()
    : null_content(std::make_shared<JsonNull>()),
      true_content(std::make_shared<JsonBoolean>(true)),
      false_content(std::make_shared<JsonBoolean>(false)),
      empty_string_content(std::make_shared<JsonString>(std::string())),
      empty_array_content(std::make_shared<JsonArray>(Json::array())),
      empty_object_content(std::make_shared<JsonObject>(Json::object())),
      null_json() {}

// ---------------------------------------------------------------------------
// Reading text.

constexpr int kMaxIntegerChars = 18;  // longest integer text held as int64

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads four hexadecimal digits at p. REQUIRES: [p, p + 4) is readable.
// Returns -1 unless all four are hexadecimal digits.
long ReadHex4(const char* p) {
  long code = 0;
  for (int i = 0; i < 4; ++i) {
    const int digit = HexValue(p[i]);
    if (digit < 0) return -1;
    code = (code << 4) | digit;
  }
  return code;
}

void AppendUtf8(long code, std::string& out) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// The value of a number text that std::from_chars found out of the double
// range: an infinity when its magnitude is too large, a zero when too small.
// [begin, end) is a syntactically valid JSON number.
double OutOfRangeValue(const char* begin, const char* end) {
  const bool negative = *begin == '-';
  const char* p = negative ? begin + 1 : begin;
  // lead: the power of ten of the first non-zero digit, before the explicit
  // exponent is added.
  const char* const integer_begin = p;
  while (p < end && IsDigit(*p)) ++p;
  const char* const integer_end = p;
  bool found = false;
  long lead = 0;
  for (const char* q = integer_begin; q < integer_end && !found; ++q) {
    if (*q != '0') {
      found = true;
      lead = static_cast<long>(integer_end - q) - 1;
    }
  }
  if (p < end && *p == '.') {
    ++p;
    for (long position = 1; p < end && IsDigit(*p); ++p, ++position) {
      if (!found && *p != '0') {
        found = true;
        lead = -position;
      }
    }
  }
  long exponent = 0;
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    const bool exponent_negative = p < end && *p == '-';
    if (p < end && (*p == '-' || *p == '+')) ++p;
    constexpr long kSaturated = 1L << 40;  // far beyond any double exponent
    for (; p < end && IsDigit(*p); ++p) {
      if (exponent < kSaturated) exponent = exponent * 10 + (*p - '0');
    }
    if (exponent_negative) exponent = -exponent;
  }
  const bool too_large = found && lead + exponent > 0;
  const double magnitude = too_large ? std::numeric_limits<double>::infinity() : 0.0;
  return negative ? -magnitude : magnitude;
}

// A recursive-descent reader over [p_, end_). Every read checks the cursor
// against end_; the first error is kept and ends the parse.
class Parser {
 public:
  Parser(const char* begin, const char* end) : p_(begin), end_(end) {}

  Json ParseDocument() {
    SkipWhitespace();
    Json value = ParseValue(0);
    if (failed_) return Json();
    SkipWhitespace();
    if (p_ != end_) return Fail("unexpected text after the value");
    return value;
  }

  bool failed() const { return failed_; }
  const std::string& error() const { return error_; }

 private:
  Json Fail(const char* message) {
    if (!failed_) {
      failed_ = true;
      error_ = message;
    }
    return Json();
  }

  void SkipWhitespace() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }

  // depth: how many arrays and objects enclose this value.
  Json ParseValue(int depth) {
    if (p_ == end_) return Fail("unexpected end of text");
    const char c = *p_;
    switch (c) {
      case 'n': return ParseLiteral("null", 4, Json());
      case 't': return ParseLiteral("true", 4, Json(true));
      case 'f': return ParseLiteral("false", 5, Json(false));
      case '"': {
        std::string value;
        if (!ParseString(value)) return Json();
        return Json(std::move(value));
      }
      case '[': return ParseArray(depth + 1);
      case '{': return ParseObject(depth + 1);
      default:
        if (c == '-' || IsDigit(c)) return ParseNumber();
        return Fail("unexpected character");
    }
  }

  Json ParseLiteral(const char* word, size_t length, Json value) {
    if (static_cast<size_t>(end_ - p_) < length || std::memcmp(p_, word, length) != 0) {
      return Fail("invalid literal");
    }
    p_ += length;
    return value;
  }

  // Reads digits; returns false when there is none.
  bool SkipDigits() {
    const char* const start = p_;
    while (p_ < end_ && IsDigit(*p_)) ++p_;
    return p_ != start;
  }

  Json ParseNumber() {
    const char* const start = p_;
    if (*p_ == '-') ++p_;
    if (p_ == end_) return Fail("number without digits");
    if (*p_ == '0') {
      ++p_;
      if (p_ < end_ && IsDigit(*p_)) return Fail("leading zero in a number");
    } else if (!SkipDigits()) {
      return Fail("number without digits");
    }
    const bool integral = p_ == end_ || (*p_ != '.' && *p_ != 'e' && *p_ != 'E');
    if (integral && p_ - start <= kMaxIntegerChars) {
      // At most 18 characters: the value fits in int64 without overflow.
      const char* q = *start == '-' ? start + 1 : start;
      int64_t magnitude = 0;
      for (; q < p_; ++q) magnitude = magnitude * 10 + (*q - '0');
      return Json(*start == '-' ? -magnitude : magnitude);
    }
    if (p_ < end_ && *p_ == '.') {
      ++p_;
      if (!SkipDigits()) return Fail("no digit after the decimal point");
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      ++p_;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (!SkipDigits()) return Fail("no digit in the exponent");
    }
    // std::from_chars ignores the locale, unlike strtod.
    double value = 0;
    const std::from_chars_result result = std::from_chars(start, p_, value);
    if (result.ec == std::errc::result_out_of_range) {
      value = OutOfRangeValue(start, p_);
    } else if (result.ec != std::errc() || result.ptr != p_) {
      return Fail("invalid number");
    }
    return Json(value);
  }

  // REQUIRES: *p_ == '"'. Appends the decoded bytes to out; returns false
  // (with the error set) on invalid text.
  bool ParseString(std::string& out) {
    ++p_;
    for (;;) {
      const char* const run = p_;
      while (p_ < end_ && *p_ != '"' && *p_ != '\\' &&
             static_cast<unsigned char>(*p_) >= 0x20) {
        ++p_;
      }
      out.append(run, p_);
      if (p_ == end_) {
        Fail("text ends inside a string");
        return false;
      }
      const char c = *p_++;
      if (c == '"') return true;
      if (c != '\\') {
        Fail("control character inside a string");
        return false;
      }
      if (p_ == end_) {
        Fail("text ends inside an escape");
        return false;
      }
      switch (*p_++) {
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '/': out.push_back('/'); break;
        case 'u': {
          if (end_ - p_ < 4) {
            Fail("text ends inside a \\u escape");
            return false;
          }
          long code = ReadHex4(p_);
          if (code < 0) {
            Fail("invalid \\u escape");
            return false;
          }
          p_ += 4;
          // A high surrogate directly followed by a low one is one code
          // point; a surrogate without its partner is written on its own.
          if (code >= 0xD800 && code <= 0xDBFF && end_ - p_ >= 6 && p_[0] == '\\' &&
              p_[1] == 'u') {
            const long low = ReadHex4(p_ + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
              code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
              p_ += 6;
            }
          }
          AppendUtf8(code, out);
          break;
        }
        default:
          Fail("invalid escape");
          return false;
      }
    }
  }

  // REQUIRES: *p_ == '['. depth counts this array.
  Json ParseArray(int depth) {
    if (depth > Json::kMaxDepth) return Fail("nesting too deep");
    ++p_;
    Json::array values;
    SkipWhitespace();
    if (p_ < end_ && *p_ == ']') {
      ++p_;
      return Json(std::move(values));
    }
    for (;;) {
      SkipWhitespace();
      values.push_back(ParseValue(depth));
      if (failed_) return Json();
      SkipWhitespace();
      if (p_ == end_) return Fail("text ends inside an array");
      const char c = *p_++;
      if (c == ']') return Json(std::move(values));
      if (c != ',') return Fail("expected ',' or ']'");
    }
  }

  // REQUIRES: *p_ == '{'. depth counts this object.
  Json ParseObject(int depth) {
    if (depth > Json::kMaxDepth) return Fail("nesting too deep");
    ++p_;
    Json::object values;
    SkipWhitespace();
    if (p_ < end_ && *p_ == '}') {
      ++p_;
      return Json(std::move(values));
    }
    std::string key;
    for (;;) {
      SkipWhitespace();
      if (p_ == end_ || *p_ != '"') return Fail("expected a member name");
      key.clear();
      if (!ParseString(key)) return Json();
      SkipWhitespace();
      if (p_ == end_ || *p_ != ':') return Fail("expected ':'");
      ++p_;
      SkipWhitespace();
      Json value = ParseValue(depth);
      if (failed_) return Json();
      // Texts written by dump list their keys in order: append in O(1).
      if (values.empty() || values.rbegin()->first < key) {
        values.emplace_hint(values.end(), std::move(key), std::move(value));
      } else {
        values.insert_or_assign(key, std::move(value));
      }
      SkipWhitespace();
      if (p_ == end_) return Fail("text ends inside an object");
      const char c = *p_++;
      if (c == '}') return Json(std::move(values));
      if (c != ',') return Fail("expected ',' or '}'");
    }
  }

  const char* p_;
  const char* const end_;
  bool failed_ = false;
  std::string error_;
};

}  // namespace

// ---------------------------------------------------------------------------
// JsonValue defaults: the results for a value of another kind.

const std::string& JsonValue::string_value() const { return statics().empty_string; }
const Json::array& JsonValue::array_items() const { return statics().empty_array; }
const Json::object& JsonValue::object_items() const { return statics().empty_object; }
const Json& JsonValue::operator[](size_t) const { return statics().null_json; }
const Json& JsonValue::operator[](const std::string&) const { return statics().null_json; }

// ---------------------------------------------------------------------------
// Json. A null content pointer is the null value, so that default values
// need neither an allocation nor a reference count.

Json::Json() noexcept = default;
Json::Json(std::nullptr_t) noexcept {}
Json::Json(std::shared_ptr<const JsonValue> content) noexcept : content_(std::move(content)) {}
Json::Json(bool value)
    : content_(value ? statics().true_content : statics().false_content) {}
Json::Json(double value) : content_(std::make_shared<JsonDouble>(value)) {}
Json::Json(int value) : content_(std::make_shared<JsonInt>(value)) {}
Json::Json(int64_t value) : content_(std::make_shared<JsonInt>(value)) {}
Json::Json(const std::string& value)
    : content_(value.empty() ? statics().empty_string_content
                             : std::make_shared<JsonString>(value)) {}
Json::Json(std::string&& value)
    : content_(value.empty() ? statics().empty_string_content
                             : std::make_shared<JsonString>(std::move(value))) {}
Json::Json(const char* value) : Json(value == nullptr ? std::string() : std::string(value)) {}
Json::Json(const array& values)
    : content_(values.empty() ? statics().empty_array_content
                              : std::make_shared<JsonArray>(values)) {}
Json::Json(array&& values)
    : content_(values.empty() ? statics().empty_array_content
                              : std::make_shared<JsonArray>(std::move(values))) {}
Json::Json(const object& values)
    : content_(values.empty() ? statics().empty_object_content
                              : std::make_shared<JsonObject>(values)) {}
Json::Json(object&& values)
    : content_(values.empty() ? statics().empty_object_content
                              : std::make_shared<JsonObject>(std::move(values))) {}

Json::Type Json::type() const { return content_ ? content_->type() : NUL; }
bool Json::is_int() const { return content_ && content_->is_int(); }

double Json::number_value() const { return content_ ? content_->number_value() : 0; }
int64_t Json::int_value() const { return content_ ? content_->int_value() : 0; }
bool Json::bool_value() const { return content_ && content_->bool_value(); }

const std::string& Json::string_value() const {
  return content_ ? content_->string_value() : statics().empty_string;
}
const Json::array& Json::array_items() const {
  return content_ ? content_->array_items() : statics().empty_array;
}
const Json::object& Json::object_items() const {
  return content_ ? content_->object_items() : statics().empty_object;
}
const Json& Json::operator[](size_t i) const {
  return content_ ? (*content_)[i] : statics().null_json;
}
const Json& Json::operator[](const std::string& key) const {
  return content_ ? (*content_)[key] : statics().null_json;
}

std::string Json::dump() const {
  std::string out;
  dump(out);
  return out;
}

void Json::dump(std::string& out) const {
  if (content_) {
    content_->dump(out);
  } else {
    out.append("null", 4);
  }
}

Json Json::parse(const std::string& in, std::string& err) {
  Parser parser(in.data(), in.data() + in.size());
  Json value = parser.ParseDocument();
  if (parser.failed()) {
    err = parser.error();
    return Json();
  }
  err.clear();
  return value;
}

bool Json::operator==(const Json& other) const {
  if (content_ == other.content_) return true;
  const Type kind = type();
  if (kind != other.type()) return false;
  if (kind == NUL) return true;
  return content_->equals(*other.content_);
}

}  // namespace json11
