#include "common/number_format.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string_view>
#include <system_error>

namespace tamsel {
namespace {

// The shortest round-trip digits of a finite magnitude: value = 0.DIGITS × 10^exponent.
struct ShortestDigits {
  char digits[24];
  int count = 0;
  int exponent = 0;
};

ShortestDigits shortest_digits(double magnitude) {
  ShortestDigits result;
  char text[40];
  // Scientific form gives "d[.ddd]e±xx": the digits and the exponent, nothing else.
  const auto converted =
      std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific);
  const std::string_view written(text, static_cast<std::size_t>(converted.ptr - text));
  const std::size_t e_at = written.find('e');
  for (const char c : written.substr(0, e_at)) {
    if (c != '.') result.digits[result.count++] = c;
  }
  int scientific_exponent = 0;
  const std::string_view exponent_text = written.substr(e_at + 1);
  const char* first = exponent_text.data() + (exponent_text.front() == '+' ? 1 : 0);
  std::from_chars(first, exponent_text.data() + exponent_text.size(), scientific_exponent);
  result.exponent = scientific_exponent + 1;
  return result;
}

void append_exponential(std::string& out, const ShortestDigits& d) {
  out += d.digits[0];
  if (d.count > 1) {
    out += '.';
    out.append(d.digits + 1, static_cast<std::size_t>(d.count - 1));
  }
  out += 'e';
  char text[8];
  const auto converted = std::to_chars(text, text + sizeof text, d.exponent - 1);
  out.append(text, converted.ptr);
}

void append_decimal(std::string& out, const ShortestDigits& d) {
  const auto count = static_cast<std::size_t>(d.count);
  if (d.exponent <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-d.exponent), '0');
    out.append(d.digits, count);
  } else if (d.exponent < d.count) {
    const auto whole = static_cast<std::size_t>(d.exponent);
    out.append(d.digits, whole);
    out += '.';
    out.append(d.digits + whole, count - whole);
  } else {
    out.append(d.digits, count);
    out.append(static_cast<std::size_t>(d.exponent - d.count), '0');
    out += ".0";
  }
}

// Appends the sign and handles the values that have no digits; true when done.
bool append_special(std::string& out, double value) {
  if (std::isnan(value)) {
    out += "NaN";
    return true;
  }
  if (std::signbit(value)) out += '-';
  if (std::isinf(value)) {
    out += "inf";
    return true;
  }
  if (value == 0.0) {
    out += "0.0";
    return true;
  }
  return false;
}

// Most literals are whole numbers or have a few decimals; this finds their
// shortest digits without the general conversion. Below 2^53 a whole number is
// exact and no shorter decimal names the same double. Otherwise, for k = 1, 2,
// ... places, the nearest k-place decimal is tried: the division of two exact
// doubles rounds as reading the decimal would, so the check is exact; the first
// k that reads back is the fewest digits, and with at most 15 significant
// digits no other decimal of k places reads back too. True when appended.
bool append_short_decimal(std::string& out, double magnitude) {
  static constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  char text[24];
  if (magnitude < 9007199254740992.0 && magnitude == std::trunc(magnitude)) {
    const auto converted =
        std::to_chars(text, text + sizeof text, static_cast<std::uint64_t>(magnitude));
    out.append(text, converted.ptr);
    out += ".0";
    return true;
  }
  if (magnitude < 1e-4) return false;  // written exponential
  for (std::size_t places = 1; places < std::size(kPowers); ++places) {
    const double scaled = magnitude * kPowers[places];
    if (scaled >= 1e15) return false;
    const double whole = std::nearbyint(scaled);
    if (whole / kPowers[places] != magnitude) continue;
    const auto converted =
        std::to_chars(text, text + sizeof text, static_cast<std::uint64_t>(whole));
    const std::string_view digits(text, static_cast<std::size_t>(converted.ptr - text));
    if (digits.size() > places) {
      out.append(digits.substr(0, digits.size() - places));
      out += '.';
      out.append(digits.substr(digits.size() - places));
    } else {
      out += "0.";
      out.append(places - digits.size(), '0');
      out.append(digits);
    }
    return true;
  }
  return false;
}

}  // namespace

void append_canonical_number(std::string& out, double value) {
  if (append_special(out, value)) return;
  const double magnitude = std::fabs(value);
  if (append_short_decimal(out, magnitude)) return;
  const ShortestDigits digits = shortest_digits(magnitude);
  if (magnitude >= 1e16 || magnitude < 1e-4) {
    append_exponential(out, digits);
  } else {
    append_decimal(out, digits);
  }
}

void append_plain_number(std::string& out, double value) {
  if (append_special(out, value)) return;
  append_decimal(out, shortest_digits(std::fabs(value)));
}

}  // namespace tamsel
