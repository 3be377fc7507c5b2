// What a YAML scalar means when no rule fixes its kind: null, boolean, integer,
// float or string, decided by its tag, its style and its text. Also the
// description of an unexpected node that messages show.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/expected.h"
#include "documents/events.h"

namespace tamsel {

__extension__ typedef unsigned __int128 Uint128;

enum class ScalarKind : std::uint8_t {
  Null,
  Boolean,
  Unsigned,     // magnitude fits 64 bits
  Negative,     // -magnitude fits a signed 64-bit integer
  BigUnsigned,  // fits 128 bits only: refused wherever it is read
  BigNegative,
  Float,
  String
};

struct ScalarValue {
  ScalarKind kind = ScalarKind::Null;
  bool boolean = false;
  Uint128 magnitude = 0;
  double floating = 0.0;

  std::int64_t signed_value() const {
    // The magnitude of the smallest value has no positive counterpart.
    if (magnitude == (Uint128{1} << 63)) return INT64_MIN;
    return -static_cast<std::int64_t>(magnitude);
  }
};

bool is_null_spelling(std::string_view text);  // "~", "null", "Null", "NULL"
std::optional<bool> boolean_spelling(std::string_view text);

// "+"? then "0x"/"0o"/"0b" digits or decimal digits without a leading zero.
// nullopt when the text is no such integer or needs more than 128 bits.
std::optional<Uint128> parse_unsigned(std::string_view text);
// "-" then the same forms; gives the magnitude.
std::optional<Uint128> parse_negative(std::string_view text);
// The float grammar; nullopt unless the value is a float (finite unless
// spelled as .inf or .nan).
std::optional<double> parse_float(std::string_view text);

// Whether an untagged scalar is a string whatever follows: a quoted or block
// one, or a plain one that starts with a letter that starts no null or
// boolean spelling (a number never starts with a letter).
inline bool plainly_string(ScalarStyle style, std::string_view text) {
  if (style != ScalarStyle::Plain) return true;
  if (text.empty()) return false;
  const char lower = static_cast<char>(text.front() | 0x20);
  return lower >= 'a' && lower <= 'z' && lower != 'n' && lower != 't' && lower != 'f';
}

// Fails, with the message, for a tagged scalar whose text does not fit its tag.
Expected<ScalarValue, Fault> classify_scalar(ScalarStyle style, TagKind tag, std::string_view text);

// How messages describe a scalar: "unit value", "boolean `true`", "integer `N`",
// "floating point `X`", "string \"...\"".
std::string describe_scalar(const ScalarValue& value, std::string_view text);
std::string describe_integer(Uint128 value);
std::string describe_string(std::string_view text);
// How messages describe the node of event: "sequence", "map" or its scalar, or
// the error, with its message, of a tagged scalar that does not fit its tag.
Expected<std::string, Fault> describe_node(const Document& document, const Event& event);

}  // namespace tamsel
