// Reading one document: load the first YAML document, read it with the root
// rule, then report a stored parse error or a further document.
#pragma once

#include <functional>
#include <optional>
#include <string_view>
#include <utility>

#include "common/expected.h"
#include "documents/document_error.h"
#include "documents/reader.h"

namespace tamsel {

// Notes, when given, are complete with positions and key texts once the read
// has succeeded.
std::optional<DocumentError> read_document(std::string_view text,
                                           const std::function<Status(EventReader&)>& read_root,
                                           ReadNotes* notes = nullptr);

template <class Tree>
Expected<Tree, DocumentError> read_tree(std::string_view text,
                                        Status (*read_root)(EventReader&, Tree&),
                                        ReadNotes* notes = nullptr) {
  Tree tree;
  auto failure = read_document(
      text, [&](EventReader& reader) { return read_root(reader, tree); }, notes);
  if (failure) return unexpected(std::move(*failure));
  return tree;
}

}  // namespace tamsel
