#include "documents/document.h"

#include "documents/events.h"
#include "documents/messages.h"

namespace tamsel {
namespace {

// The positions of the noted events, found in one more parse of the text, and
// the texts of the skipped keys.
void complete_notes(std::string_view text, const Document& document, ReadNotes& notes) {
  std::vector<std::uint32_t> events;
  for (const NotedRule& rule : notes.rules) events.push_back(rule.node.event);
  for (const NotedNode& comparison : notes.comparisons) events.push_back(comparison.event);
  for (const NotedKey& key : notes.skipped_keys) events.push_back(key.node.event);
  if (events.empty()) return;
  const std::vector<Mark> marks = positions_of(text, events);
  std::size_t next = 0;
  for (NotedRule& rule : notes.rules) rule.node.position = marks[next++];
  for (NotedNode& comparison : notes.comparisons) comparison.position = marks[next++];
  for (NotedKey& key : notes.skipped_keys) {
    key.node.position = marks[next++];
    key.text.assign(document.text(document.events[key.node.event]));
  }
}

}  // namespace

std::optional<DocumentError> read_document(std::string_view text,
                                           const std::function<Status(EventReader&)>& read_root,
                                           ReadNotes* notes) {
  YamlStream stream(text);
  auto document = stream.load_first_document();
  if (!document) return std::move(document).error();
  {
    EventReader reader(*document, notes);
    Status read = read_root(reader);
    if (!read) {
      ReadError error = std::move(read).error();
      if (error.at != kNoLink)
        return positioned_error(std::move(error.message), position_of(text, error.at));
      return DocumentError{std::move(error.message), error.position};
    }
  }
  // A syntax error after everything the root needed still fails the read.
  if (document->parse_error) return std::move(*document->parse_error);
  if (stream.has_further_document()) {
    return DocumentError{further_document_message(), std::nullopt};
  }
  if (notes != nullptr) complete_notes(text, *document, *notes);
  return std::nullopt;
}

}  // namespace tamsel
