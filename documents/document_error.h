// The failure of a document read: one line of text, already rendered with its
// path prefix and position suffix.
#pragma once

#include <string>

namespace tamsel {

struct DocumentError {
  std::string message;
};

}  // namespace tamsel
