#include "documents/document.h"

#include "documents/events.h"
#include "documents/messages.h"

namespace tamsel {

std::optional<DocumentError> read_document(std::string_view text,
                                           const std::function<Status(EventReader&)>& read_root) {
  YamlStream stream(text);
  auto document = stream.load_first_document();
  if (!document) return std::move(document).error();
  {
    EventReader reader(*document);
    Status read = read_root(reader);
    if (!read) {
      ReadError error = std::move(read).error();
      if (error.at != kNoLink) append_position(error.message, position_of(text, error.at));
      return DocumentError{std::move(error.message)};
    }
  }
  // A syntax error after everything the root needed still fails the read.
  if (document->parse_error) return std::move(*document->parse_error);
  if (stream.has_further_document()) {
    return DocumentError{further_document_message()};
  }
  return std::nullopt;
}

}  // namespace tamsel
