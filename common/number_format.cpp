#include "common/number_format.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string_view>
#include <system_error>

namespace tamsel {
namespace {

// The longest plain form: "-0.", 323 zeros and 17 digits.
constexpr std::size_t kPlainNumberBytes = 352;

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

char* copy(char* out, const char* from, std::size_t count) {
  std::memcpy(out, from, count);
  return out + count;
}

char* zeros(char* out, std::size_t count) {
  std::memset(out, '0', count);
  return out + count;
}

char* write_exponential(char* out, const ShortestDigits& d) {
  *out++ = d.digits[0];
  if (d.count > 1) {
    *out++ = '.';
    out = copy(out, d.digits + 1, static_cast<std::size_t>(d.count - 1));
  }
  *out++ = 'e';
  return std::to_chars(out, out + 8, d.exponent - 1).ptr;
}

char* write_decimal(char* out, const ShortestDigits& d) {
  const auto count = static_cast<std::size_t>(d.count);
  if (d.exponent <= 0) {
    out = copy(out, "0.", 2);
    out = zeros(out, static_cast<std::size_t>(-d.exponent));
    return copy(out, d.digits, count);
  }
  if (d.exponent < d.count) {
    const auto whole = static_cast<std::size_t>(d.exponent);
    out = copy(out, d.digits, whole);
    *out++ = '.';
    return copy(out, d.digits + whole, count - whole);
  }
  out = copy(out, d.digits, count);
  out = zeros(out, static_cast<std::size_t>(d.exponent - d.count));
  return copy(out, ".0", 2);
}

// Writes the sign, and the whole form of the values that have no digits.
struct Start {
  char* end;
  bool done;
};

Start write_special(char* out, double value) {
  if (std::isnan(value)) return {copy(out, "NaN", 3), true};
  if (std::signbit(value)) *out++ = '-';
  if (std::isinf(value)) return {copy(out, "inf", 3), true};
  if (value == 0.0) return {copy(out, "0.0", 3), true};
  return {out, false};
}

// Most literals are whole numbers or have a few decimals; this finds their
// shortest digits without the general conversion. Below 2^53 a whole number is
// exact and no shorter decimal names the same double. Otherwise, for k = 1, 2,
// ... places, the nearest k-place decimal is tried: the division of two exact
// doubles rounds as reading the decimal would, so the check is exact; the first
// k that reads back is the fewest digits, and with at most 15 significant
// digits no other decimal of k places reads back too. Null when not written.
char* write_short_decimal(char* out, double magnitude) {
  static constexpr double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  if (magnitude < 9007199254740992.0 && magnitude == std::trunc(magnitude)) {
    out = std::to_chars(out, out + 16, static_cast<std::uint64_t>(magnitude)).ptr;
    return copy(out, ".0", 2);
  }
  if (magnitude < 1e-4) return nullptr;  // written exponential
  for (std::size_t places = 1; places < std::size(kPowers); ++places) {
    const double scaled = magnitude * kPowers[places];
    if (scaled >= 1e15) return nullptr;
    const double whole = std::nearbyint(scaled);
    if (whole / kPowers[places] != magnitude) continue;
    char text[24];
    const auto converted =
        std::to_chars(text, text + sizeof text, static_cast<std::uint64_t>(whole));
    const auto count = static_cast<std::size_t>(converted.ptr - text);
    if (count > places) {
      out = copy(out, text, count - places);
      *out++ = '.';
      return copy(out, text + count - places, places);
    }
    out = copy(out, "0.", 2);
    out = zeros(out, places - count);
    return copy(out, text, count);
  }
  return nullptr;
}

}  // namespace

char* write_canonical_number(char* out, double value) {
  const Start start = write_special(out, value);
  if (start.done) return start.end;
  const double magnitude = std::fabs(value);
  if (char* end = write_short_decimal(start.end, magnitude)) return end;
  const ShortestDigits digits = shortest_digits(magnitude);
  if (magnitude >= 1e16 || magnitude < 1e-4) return write_exponential(start.end, digits);
  return write_decimal(start.end, digits);
}

void append_canonical_number(std::string& out, double value) {
  char text[kCanonicalNumberBytes];
  out.append(text, static_cast<std::size_t>(write_canonical_number(text, value) - text));
}

void append_plain_number(std::string& out, double value) {
  char text[kPlainNumberBytes];
  const Start start = write_special(text, value);
  char* end = start.done ? start.end : write_decimal(start.end, shortest_digits(std::fabs(value)));
  out.append(text, static_cast<std::size_t>(end - text));
}

}  // namespace tamsel
