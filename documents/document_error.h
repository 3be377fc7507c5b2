// The failure of a document read: one line of text, already rendered with its
// path prefix and position suffix, and that position as a value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tamsel {

// 0-based line and column, in characters.
struct Mark {
  std::uint32_t line = 0;
  std::uint32_t column = 0;
};

struct DocumentError {
  std::string message;
  // The first " at line L column C" of the message, as the mark it renders.
  std::optional<Mark> position;
};

}  // namespace tamsel
