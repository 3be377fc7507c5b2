// The pieces of the layer's error messages, joined by appending: g++ 12 at -O3
// warns falsely (-Wrestrict) of a literal prepended to a temporary string.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace tamsel {

inline std::string cat(std::initializer_list<std::string_view> parts) {
  std::string text;
  for (const std::string_view part : parts) text.append(part);
  return text;
}

// A name from the data, between single quotes.
inline std::string single_quoted(std::string_view text) { return cat({"'", text, "'"}); }

}  // namespace tamsel
