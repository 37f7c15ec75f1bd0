// json11: the library's JSON values and their text form.
//
// Owns the value type `Json` and its text rules: `dump` writes the compact
// text that travels to the services inside requests (", " and ": " as
// separators, members in byte-wise key order, "%.17g" doubles, "%ld" 64-bit
// integers), and `parse` reads a text back without comments.
//
// Callers: the platform SDK's device properties, the situation and
// business-sign field maps, the event list and the time-information reader.
// Any thread may call anything here. A `Json` is immutable once built; copies
// share their content through an atomic reference count, so values may be
// read and copied from several threads at once. Every value returned is owned
// by the caller (shared content included); references returned by the
// accessors stay valid as long as the `Json` they came from.
//
// Nothing here throws except std::bad_alloc.

#ifndef RISK_CRYPTO_JSON_JSON11_H_
#define RISK_CRYPTO_JSON_JSON11_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace json11 {

class JsonValue;

class Json final {
 public:
  // The kinds of value, with fixed numbers.
  enum Type { NUL = 0, NUMBER = 1, BOOL = 2, STRING = 3, ARRAY = 4, OBJECT = 5 };

  using array = std::vector<Json>;
  // Members ordered by byte-wise key comparison; each key occurs once.
  using object = std::map<std::string, Json>;

  // Containers nested deeper than this make a text invalid.
  static constexpr int kMaxDepth = 200;

  Json() noexcept;                  // null
  Json(std::nullptr_t) noexcept;    // null
  Json(bool value);
  Json(double value);
  Json(int value);
  Json(int64_t value);
  Json(const std::string& value);
  Json(std::string&& value);
  Json(const char* value);          // a null pointer gives the empty string
  Json(const array& values);
  Json(array&& values);
  Json(const object& values);
  Json(object&& values);

  // Any other integer type (long long, unsigned, size_t, ...) is held as a
  // 64-bit integer; an unsigned value above INT64_MAX is held as a double.
  template <typename T,
            typename std::enable_if<std::is_integral<T>::value &&
                                        !std::is_same<T, bool>::value,
                                    int>::type = 0>
  Json(T value) : Json(from_integer(value)) {}

  // Other pointers would silently become bool; refuse them.
  Json(const void*) = delete;

  // Maps whose keys are strings and whose values convert to Json, such as
  // std::map<std::string, std::string>, become objects.
  template <typename M,
            typename std::enable_if<
                std::is_constructible<std::string,
                                      decltype(std::declval<M>().begin()->first)>::value &&
                    std::is_constructible<Json,
                                          decltype(std::declval<M>().begin()->second)>::value,
                int>::type = 0>
  Json(const M& values) : Json(object(values.begin(), values.end())) {}

  // Sequences whose elements convert to Json, such as std::vector<std::string>,
  // become arrays.
  template <typename V,
            typename std::enable_if<
                std::is_constructible<Json, decltype(*std::declval<V>().begin())>::value &&
                    !std::is_constructible<std::string, const V&>::value,
                int>::type = 0>
  Json(const V& values) : Json(array(values.begin(), values.end())) {}

  Type type() const;

  bool is_null() const { return type() == NUL; }
  bool is_number() const { return type() == NUMBER; }
  bool is_bool() const { return type() == BOOL; }
  bool is_string() const { return type() == STRING; }
  bool is_array() const { return type() == ARRAY; }
  bool is_object() const { return type() == OBJECT; }

  // True for a NUMBER held as a 64-bit integer, false otherwise (doubles too).
  bool is_int() const;

  // Returns the number as a double if this is a NUMBER, 0 otherwise.
  double number_value() const;
  // Returns the number as a 64-bit integer if this is a NUMBER, 0 otherwise.
  // A double is truncated toward zero and clamped to the int64 range; NaN
  // gives 0.
  int64_t int_value() const;
  // Returns the value if this is a BOOL, false otherwise.
  bool bool_value() const;
  // Returns the enclosed string if this is a STRING, "" otherwise.
  const std::string& string_value() const;
  // Returns the elements if this is an ARRAY, an empty array otherwise.
  const array& array_items() const;
  // Returns the members if this is an OBJECT, an empty map otherwise.
  const object& object_items() const;

  // Returns element i of an ARRAY, null if out of range or not an array.
  const Json& operator[](size_t i) const;
  // Returns the member named key of an OBJECT, null if absent or not an object.
  const Json& operator[](const std::string& key) const;

  // Returns the text of the value.
  std::string dump() const;
  // Appends the text of the value to out.
  void dump(std::string& out) const;

  // Returns the value of the text `in`, with err cleared. On invalid text
  // returns null and sets err to a non-empty description; the part already
  // read is discarded. Comments are not allowed; after the value only
  // spaces, tabs, line feeds and carriage returns may follow. When an object
  // text holds the same key twice, the last member wins.
  static Json parse(const std::string& in, std::string& err);

  // Same kind and same content. NUMBERs compare by exact numeric value
  // whether held as integers or as doubles.
  bool operator==(const Json& other) const;
  bool operator!=(const Json& other) const { return !(*this == other); }

 private:
  explicit Json(std::shared_ptr<const JsonValue> content) noexcept;

  template <typename T>
  static Json from_integer(T value) {
    if constexpr (std::is_unsigned<T>::value && sizeof(T) >= sizeof(int64_t)) {
      if (value > static_cast<T>(std::numeric_limits<int64_t>::max())) {
        return Json(static_cast<double>(value));
      }
    }
    return Json(static_cast<int64_t>(value));
  }

  std::shared_ptr<const JsonValue> content_;
};

}  // namespace json11

#endif  // RISK_CRYPTO_JSON_JSON11_H_
