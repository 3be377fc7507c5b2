// The failure of a document read: one line of text, already rendered with its
// path prefix and position suffix, that position as a value, and the kind of
// failure with its operands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/error_kind.h"

namespace tamsel {

// 0-based line and column, in characters.
struct Mark {
  std::uint32_t line = 0;
  std::uint32_t column = 0;
};

struct DocumentError {
  std::string message;
  // The first " at line L column C" of the message, as the mark it renders.
  std::optional<Mark> position = std::nullopt;
  ErrorKind kind = ErrorKind::YamlSyntax;
  ErrorOperands operands = {};  // "path" among them when the message has a path prefix
  // The index of the policy rule whose reading failed, when the path runs through one.
  std::optional<std::uint32_t> rule = std::nullopt;
};

// A document error before it is located: its kind, its text and its operands.
struct Fault {
  ErrorKind kind = ErrorKind::YamlSyntax;
  std::string text;
  ErrorOperands operands = {};
};

}  // namespace tamsel
