// The quoting rule shared by messages and the canonical text: a double-quoted
// text with backslash escapes and \u{...} for unprintable or combining characters.
#pragma once

#include <string>
#include <string_view>

namespace tamsel {

// Appends the quoted form of text (valid UTF-8) to out.
void append_quoted(std::string& out, std::string_view text);
std::string quoted(std::string_view text);

// Whether text needs no escape, so that its quoted form is text between quotes.
bool quotes_as_itself(std::string_view text) noexcept;

}  // namespace tamsel
