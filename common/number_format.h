// Shortest round-trip renderings of doubles.
#pragma once

#include <cstddef>
#include <string>

namespace tamsel {

// Room enough for any canonical form: a sign, 17 digits, a point and "e-324".
inline constexpr std::size_t kCanonicalNumberBytes = 32;

// The canonical form: decimal between 1e-4 and 1e16, exponential outside
// ("1000.0", "1e16", "1.5e-7", "-0.0", "inf", "-inf", "NaN").
void append_canonical_number(std::string& out, double value);

// The same form written at out, which has kCanonicalNumberBytes of room; returns
// the end of what was written.
char* write_canonical_number(char* out, double value);

// The form used to describe a float inside messages: never exponential, ".0"
// appended when there is no decimal point ("1000000000000000000000.0", "inf", "NaN").
void append_plain_number(std::string& out, double value);

}  // namespace tamsel
