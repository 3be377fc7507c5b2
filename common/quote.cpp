#include "common/quote.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace tamsel {
namespace {

struct CodePointRange {
  char32_t first;
  char32_t last;
};

constexpr std::array kEscapedRanges = std::to_array<CodePointRange>({
#include "common/unicode_tables.inc"
});

bool escaped_code_point(char32_t cp) {
  const auto* it = std::upper_bound(
      kEscapedRanges.begin(), kEscapedRanges.end(), cp,
      [](char32_t value, const CodePointRange& range) { return value < range.first; });
  return it != kEscapedRanges.begin() && cp <= std::prev(it)->last;
}

bool plain_ascii(unsigned char byte) {
  return byte >= 0x20 && byte < 0x7F && byte != '"' && byte != '\\';
}

struct Decoded {
  char32_t code_point;
  std::size_t length;
};

// The text is valid UTF-8, so the lead byte alone gives the length; a
// truncated sequence at the end is still never read past.
Decoded decode(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) -> unsigned char {
    return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0;
  };
  const unsigned char lead = byte(0);
  if (lead < 0xE0) return {static_cast<char32_t>(((lead & 0x1Fu) << 6) | (byte(1) & 0x3Fu)), 2};
  if (lead < 0xF0) {
    return {static_cast<char32_t>(((lead & 0x0Fu) << 12) | ((byte(1) & 0x3Fu) << 6) |
                                  (byte(2) & 0x3Fu)),
            3};
  }
  return {static_cast<char32_t>(((lead & 0x07u) << 18) | ((byte(1) & 0x3Fu) << 12) |
                                ((byte(2) & 0x3Fu) << 6) | (byte(3) & 0x3Fu)),
          4};
}

void append_code_point_escape(std::string& out, char32_t cp) {
  static constexpr char kHex[] = "0123456789abcdef";
  char digits[8];
  int count = 0;
  do {
    digits[count++] = kHex[cp & 0xFu];
    cp >>= 4;
  } while (cp != 0);
  out += "\\u{";
  while (count > 0) out += digits[--count];
  out += '}';
}

void append_ascii_escape(std::string& out, unsigned char byte) {
  switch (byte) {
    case '\0':
      out += "\\0";
      return;
    case '\t':
      out += "\\t";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '"':
      out += "\\\"";
      return;
    case '\\':
      out += "\\\\";
      return;
    default:
      append_code_point_escape(out, byte);
      return;
  }
}

}  // namespace

void append_quoted(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  std::size_t run_start = 0;
  std::size_t at = 0;
  while (at < text.size()) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (plain_ascii(byte)) {
      ++at;
      continue;
    }
    if (byte < 0x80) {
      out.append(text, run_start, at - run_start);
      append_ascii_escape(out, byte);
      run_start = ++at;
      continue;
    }
    const Decoded decoded = decode(text, at);
    if (escaped_code_point(decoded.code_point)) {
      out.append(text, run_start, at - run_start);
      append_code_point_escape(out, decoded.code_point);
      run_start = std::min(at + decoded.length, text.size());
    }
    at = std::min(at + decoded.length, text.size());
  }
  out.append(text, run_start, at - run_start);
  out += '"';
}

bool quotes_as_itself(std::string_view text) noexcept {
  return std::all_of(text.begin(), text.end(),
                     [](char byte) { return plain_ascii(static_cast<unsigned char>(byte)); });
}

std::string quoted(std::string_view text) {
  std::string out;
  append_quoted(out, text);
  return out;
}

}  // namespace tamsel
