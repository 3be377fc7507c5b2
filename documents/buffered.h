// Buffered mode: a value whose type is a set of alternatives is first read
// whole into a generic tree, which the alternatives are then matched against.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/chunked_list.h"
#include "documents/messages.h"
#include "documents/reader.h"

namespace tamsel {

enum class BufferedKind : std::uint8_t {
  Null,
  Boolean,
  Unsigned,
  Signed,
  Float,
  String,
  Sequence,
  Mapping
};

// 16 bytes, so that a long list inside a buffered value costs one small node
// an item; strings view the document's arena.
struct BufferedNode {
  struct Collection {
    std::uint32_t count;  // items of a sequence, entries of a mapping
    std::uint32_t span;   // nodes in this subtree, itself included
  };

  BufferedKind kind = BufferedKind::Null;
  bool boolean = false;
  std::uint32_t text_length = 0;  // a string's
  union {
    Collection collection{0, 1};
    std::uint64_t unsigned_integer;
    std::int64_t signed_integer;
    double floating;
    const char* text_data;  // a string's, in the document's arena
  };

  [[nodiscard]] bool is_collection() const {
    return kind == BufferedKind::Sequence || kind == BufferedKind::Mapping;
  }
};
static_assert(sizeof(BufferedNode) == 16);

using BufferedNodes = ChunkedList<BufferedNode>;

// A buffered tree: its nodes and, while the read takes notes, the event of
// each node and where the notes go.
struct BufferedTree {
  const BufferedNodes* nodes = nullptr;
  const std::vector<std::uint32_t>* events = nullptr;
  ReadNotes* notes = nullptr;
};

// A node of a buffered tree. The tree is kept as its nodes in document
// pre-order, so it costs one list; a mapping's children alternate key and
// value, in document order, duplicates kept.
class BufferedValue {
 public:
  BufferedValue(const BufferedTree& tree, std::uint32_t index) : tree_(&tree), index_(index) {}

  const BufferedNode& node() const { return (*tree_->nodes)[index_]; }
  BufferedKind kind() const { return node().kind; }
  std::uint32_t count() const { return node().is_collection() ? node().collection.count : 0; }
  std::string_view text() const { return {node().text_data, node().text_length}; }
  BufferedValue first_child() const { return {*tree_, index_ + 1}; }
  BufferedValue next_sibling() const {
    return {*tree_, index_ + (node().is_collection() ? node().collection.span : 1)};
  }

  // Notes, taken only while the read takes them: this node is a comparison,
  // or a key that matching ignores.
  void note_comparison() const {
    if (tree_->notes != nullptr) tree_->notes->comparisons.push_back({{event(), {}}, {}, {}});
  }
  // The sides of the comparison noted at `at`.
  void note_sides(std::size_t at, BufferedValue left, BufferedValue right) const {
    if (tree_->notes == nullptr) return;
    tree_->notes->comparisons[at].left.event = left.event();
    tree_->notes->comparisons[at].right.event = right.event();
  }
  [[nodiscard]] bool taking_notes() const { return tree_->notes != nullptr; }
  void note_skipped_key() const {
    if (tree_->notes != nullptr) tree_->notes->skipped_keys.push_back({{event(), {}}, {}});
  }
  // An alternative that does not match drops what it noted.
  [[nodiscard]] ReadNotes::Count notes_taken() const {
    return tree_->notes != nullptr ? tree_->notes->count() : ReadNotes::Count{};
  }
  void drop_notes_since(ReadNotes::Count count) const {
    if (tree_->notes != nullptr) tree_->notes->drop_since(count);
  }

 private:
  // The node's event; known only while taking notes.
  [[nodiscard]] std::uint32_t event() const { return (*tree_->events)[index_]; }

  const BufferedTree* tree_;
  std::uint32_t index_;
};

// The keys by which some alternative reads a mapping at the top of a buffered
// value: these names, and the positions below `positions`. Under any other key
// no alternative looks at the value, so buffering checks it as usual but keeps
// an empty node in its place.
struct TopKeys {
  std::span<const std::string_view> names;
  std::uint64_t positions = 0;
};

// Reads the node at the cursor into out (appending), expanding aliases.
Status buffer_value(EventReader& reader, BufferedNodes& out, const TopKeys& top);

std::optional<std::string> match_text(BufferedValue value);
std::optional<double> match_number(BufferedValue value);
std::optional<bool> match_boolean(BufferedValue value);
std::optional<std::uint64_t> match_unsigned(BufferedValue value);

// Reads a mapping as a record with the given fields: a string key names a
// field, an unsigned integer key selects one by position; other keys are
// ignored. Fails on a key of another kind or a field given twice. A field that
// is not given stays empty in found.
bool match_fields(BufferedValue mapping, std::span<const std::string_view> names,
                  std::span<std::optional<BufferedValue>> found);

// A record: a mapping in which match_fields finds every field, or, with
// sequence_form, a sequence of exactly one item per field, in field order.
bool match_record(BufferedValue value, std::span<const std::string_view> names,
                  std::span<std::optional<BufferedValue>> found, bool sequence_form = false);

// The one-key forms such as {action: NAME}: the value under key, in a mapping
// that match_fields accepts with key as its only field.
std::optional<BufferedValue> match_keyed(BufferedValue value, std::string_view key);

// The items of a sequence, each matched by match_item; nullopt unless all match.
template <class T, class MatchItem>
std::optional<std::vector<T>> match_list(BufferedValue value, MatchItem match_item) {
  if (value.kind() != BufferedKind::Sequence) return std::nullopt;
  std::vector<T> items;
  items.reserve(value.count());
  BufferedValue item = value.first_child();
  for (std::uint32_t i = 0; i < value.count(); ++i, item = item.next_sibling()) {
    auto matched = match_item(item);
    if (!matched) return std::nullopt;
    items.push_back(std::move(*matched));
  }
  return items;
}

// Buffers the node at the cursor and matches it into out (match gives whether
// some alternative matched), or gives an error without position naming the type.
template <class T, class Match>
Status read_alternatives(EventReader& reader, std::string_view type_name, const TopKeys& top,
                         Match match, T& out) {
  BufferedNodes& nodes = reader.scratch();
  nodes.clear();
  reader.scratch_events().clear();
  if (auto buffered = buffer_value(reader, nodes, top); !buffered) return buffered;
  const BufferedTree tree{&nodes, &reader.scratch_events(), reader.notes()};
  if (!match(BufferedValue(tree, 0), out)) {
    return unexpected(read_error(no_variant_matched_fault(type_name), false));
  }
  return Ok{};
}

}  // namespace tamsel
