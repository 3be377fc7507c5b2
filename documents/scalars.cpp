#include "documents/scalars.h"

#include <cmath>
#include <limits>

#include "common/number_format.h"
#include "common/platform.h"
#include "common/quote.h"
#include "documents/messages.h"

namespace tamsel {
namespace {

constexpr Uint128 kLargestUnsigned64 = std::numeric_limits<std::uint64_t>::max();
constexpr Uint128 kLargestNegative64 = Uint128{1} << 63;
constexpr Uint128 kLargestNegative128 = Uint128{1} << 127;

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::optional<Uint128> parse_digits(std::string_view digits, unsigned base) {
  if (digits.empty()) return std::nullopt;
  constexpr Uint128 kMax = ~Uint128{0};
  Uint128 value = 0;
  for (const char c : digits) {
    const auto digit = static_cast<unsigned>(digit_value(c));
    if (digit >= base || value > (kMax - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  return value;
}

// Decimal digits, a 0x/0o/0b prefix with digits of that base; no sign.
std::optional<Uint128> parse_magnitude(std::string_view text) {
  if (text.size() >= 2 && text[0] == '0') {
    const std::string_view digits = text.substr(2);
    switch (text[1]) {
      case 'x':
        return parse_digits(digits, 16);
      case 'o':
        return parse_digits(digits, 8);
      case 'b':
        return parse_digits(digits, 2);
      default:
        return std::nullopt;  // a leading zero before more decimal digits
    }
  }
  return parse_digits(text, 10);
}

bool is_run_of_digits_with_leading_zero(std::string_view text) {
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
  if (text.size() < 2 || text[0] != '0') return false;
  for (const char c : text) {
    if (!is_digit(c)) return false;
  }
  return true;
}

// Digits with at most one point and at least one digit, then an optional
// exponent.
bool matches_decimal_float(std::string_view text) {
  std::size_t i = 0;
  std::size_t digits = 0;
  bool point = false;
  for (; i < text.size(); ++i) {
    if (is_digit(text[i])) {
      ++digits;
    } else if (text[i] == '.' && !point) {
      point = true;
    } else {
      break;
    }
  }
  if (digits == 0) return false;
  if (i == text.size()) return true;
  if (text[i] != 'e' && text[i] != 'E') return false;
  ++i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  if (i == text.size()) return false;
  for (; i < text.size(); ++i) {
    if (!is_digit(text[i])) return false;
  }
  return true;
}

double c_locale_strtod(std::string_view text) {
  const std::string copy(text);
  return platform::strtod_c_locale(copy.c_str());
}

void append_decimal(std::string& out, Uint128 value) {
  char digits[40];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + static_cast<int>(value % 10));
    value /= 10;
  } while (value != 0);
  while (count > 0) out += digits[--count];
}

ScalarValue integer_value(ScalarKind kind, Uint128 magnitude) {
  ScalarValue value;
  value.kind = kind;
  value.magnitude = magnitude;
  return value;
}

std::optional<ScalarValue> classify_integer(std::string_view text) {
  if (const auto magnitude = parse_unsigned(text)) {
    return integer_value(
        *magnitude <= kLargestUnsigned64 ? ScalarKind::Unsigned : ScalarKind::BigUnsigned,
        *magnitude);
  }
  if (const auto magnitude = parse_negative(text); magnitude && *magnitude <= kLargestNegative128) {
    return integer_value(
        *magnitude <= kLargestNegative64 ? ScalarKind::Negative : ScalarKind::BigNegative,
        *magnitude);
  }
  return std::nullopt;
}

ScalarValue float_value(double floating) {
  ScalarValue value;
  value.kind = ScalarKind::Float;
  value.floating = floating;
  return value;
}

ScalarValue of_kind(ScalarKind kind) {
  ScalarValue value;
  value.kind = kind;
  return value;
}

Expected<ScalarValue, Fault> classify_tagged(TagKind tag, std::string_view text) {
  switch (tag) {
    case TagKind::Bool:
      if (const auto boolean = boolean_spelling(text)) {
        ScalarValue value = of_kind(ScalarKind::Boolean);
        value.boolean = *boolean;
        return value;
      }
      return unexpected(invalid_value_fault(describe_string(text), "a boolean"));
    case TagKind::Int:
      if (auto value = classify_integer(text)) return *value;
      return unexpected(invalid_value_fault(describe_string(text), "an integer"));
    case TagKind::Float:
      if (const auto floating = parse_float(text)) return float_value(*floating);
      return unexpected(invalid_value_fault(describe_string(text), "a float"));
    case TagKind::Null:
      if (is_null_spelling(text)) return of_kind(ScalarKind::Null);
      return unexpected(invalid_value_fault(describe_string(text), "null"));
    default:
      return of_kind(ScalarKind::String);
  }
}

ScalarValue classify_plain(std::string_view text) {
  if (plainly_string(ScalarStyle::Plain, text)) return of_kind(ScalarKind::String);
  if (text.empty() || is_null_spelling(text)) return of_kind(ScalarKind::Null);
  if (const auto boolean = boolean_spelling(text)) {
    ScalarValue value = of_kind(ScalarKind::Boolean);
    value.boolean = *boolean;
    return value;
  }
  // Numbers start with a sign, a digit or a point: most names are settled here.
  const char first = text.front();
  const bool numeric_start =
      first == '+' || first == '-' || first == '.' || (first >= '0' && first <= '9');
  if (!numeric_start) return of_kind(ScalarKind::String);
  if (auto value = classify_integer(text)) return *value;
  if (!is_run_of_digits_with_leading_zero(text)) {
    if (const auto floating = parse_float(text)) return float_value(*floating);
  }
  return of_kind(ScalarKind::String);
}

}  // namespace

bool is_null_spelling(std::string_view text) {
  return text == "~" || text == "null" || text == "Null" || text == "NULL";
}

std::optional<bool> boolean_spelling(std::string_view text) {
  if (text == "true" || text == "True" || text == "TRUE") return true;
  if (text == "false" || text == "False" || text == "FALSE") return false;
  return std::nullopt;
}

std::optional<Uint128> parse_unsigned(std::string_view text) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  return parse_magnitude(text);
}

std::optional<Uint128> parse_negative(std::string_view text) {
  if (text.empty() || text[0] != '-') return std::nullopt;
  return parse_magnitude(text.substr(1));
}

std::optional<double> parse_float(std::string_view text) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  if (text == ".nan" || text == ".NaN" || text == ".NAN") {
    return std::numeric_limits<double>::quiet_NaN();
  }
  std::string_view body = text;
  const bool negative = !body.empty() && body[0] == '-';
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) body.remove_prefix(1);
  if (body == ".inf" || body == ".Inf" || body == ".INF") return negative ? -kInfinity : kInfinity;
  if (!matches_decimal_float(body)) return std::nullopt;
  const double value = c_locale_strtod(text);
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

Expected<ScalarValue, Fault> classify_scalar(ScalarStyle style, TagKind tag,
                                             std::string_view text) {
  if (tag != TagKind::None) return classify_tagged(tag, text);
  if (style != ScalarStyle::Plain) return of_kind(ScalarKind::String);
  return classify_plain(text);
}

std::string describe_scalar(const ScalarValue& value, std::string_view text) {
  std::string out;
  switch (value.kind) {
    case ScalarKind::Null:
      out = "unit value";
      break;
    case ScalarKind::Boolean:
      out = value.boolean ? "boolean `true`" : "boolean `false`";
      break;
    case ScalarKind::Unsigned:
      out = describe_integer(value.magnitude);
      break;
    case ScalarKind::BigUnsigned:
      out = describe_integer(value.magnitude);
      out += " as u128";
      break;
    case ScalarKind::Negative:
    case ScalarKind::BigNegative:
      out = value.magnitude == 0 ? "integer `" : "integer `-";
      append_decimal(out, value.magnitude);
      out += value.kind == ScalarKind::Negative ? "`" : "` as i128";
      break;
    case ScalarKind::Float:
      out = "floating point `";
      append_plain_number(out, value.floating);
      out += '`';
      break;
    case ScalarKind::String:
      out = "string ";
      append_quoted(out, text);
      break;
  }
  return out;
}

std::string describe_integer(Uint128 value) {
  std::string out = "integer `";
  append_decimal(out, value);
  out += '`';
  return out;
}

std::string describe_string(std::string_view text) {
  return describe_scalar(of_kind(ScalarKind::String), text);
}

Expected<std::string, Fault> describe_node(const Document& document, const Event& event) {
  if (event.kind == EventKind::SequenceStart) return std::string("sequence");
  if (event.kind == EventKind::MappingStart) return std::string("map");
  const std::string_view text = document.text(event);
  auto value = classify_scalar(event.style, event.tag, text);
  if (!value) return unexpected(std::move(value).error());
  return describe_scalar(*value, text);
}

}  // namespace tamsel
