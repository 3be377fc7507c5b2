#include "documents/document.h"

#include "documents/events.h"
#include "documents/messages.h"

namespace tamsel {
namespace {

// The positions of the noted events, found in one more parse of the text, and
// the texts of the skipped keys.
void complete_notes(std::string_view text, const Document& document, ReadNotes& notes) {
  std::vector<NotedNode*> nodes;
  const auto add = [&nodes](NotedNode& node) {
    if (node.event != NotedNode::kNone) nodes.push_back(&node);
  };
  for (NotedRule& rule : notes.rules) {
    add(rule.node);
    add(rule.scope);
    add(rule.when);
  }
  for (NotedComparison& comparison : notes.comparisons) {
    add(comparison.node);
    add(comparison.left);
    add(comparison.right);
  }
  for (NotedKey& key : notes.skipped_keys) {
    add(key.node);
    key.text.assign(document.text(document.events[key.node.event]));
  }
  if (nodes.empty()) return;
  std::vector<std::uint32_t> events;
  events.reserve(nodes.size());
  for (const NotedNode* node : nodes) events.push_back(node->event);
  const std::vector<Mark> marks = positions_of(text, events);
  for (std::size_t i = 0; i < nodes.size(); ++i) nodes[i]->position = marks[i];
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
      DocumentError failed{std::move(error.message), error.position, error.kind,
                           std::move(error.operands), error.rule};
      if (error.at != kNoLink) {
        const Mark mark = position_of(text, error.at);
        failed.position = std::nullopt;
        if (append_position(failed.message, mark)) failed.position = mark;
      }
      return failed;
    }
  }
  // A syntax error after everything the root needed still fails the read.
  if (document->parse_error) return std::move(*document->parse_error);
  if (stream.has_further_document()) {
    Fault fault = further_document_fault();
    return DocumentError{std::move(fault.text), std::nullopt, fault.kind};
  }
  if (notes != nullptr) complete_notes(text, *document, *notes);
  return std::nullopt;
}

}  // namespace tamsel
