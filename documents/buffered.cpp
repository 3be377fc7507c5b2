#include "documents/buffered.h"

#include <algorithm>
#include <array>

#include "documents/messages.h"
#include "documents/scalars.h"

namespace tamsel {
namespace {

// text views the arena. None for an integer beyond 64 bits, which no value holds.
std::optional<BufferedNode> scalar_node(const ScalarValue& value, std::string_view text) {
  BufferedNode node;
  switch (value.kind) {
    case ScalarKind::Null:
      node.kind = BufferedKind::Null;
      break;
    case ScalarKind::Boolean:
      node.kind = BufferedKind::Boolean;
      node.boolean = value.boolean;
      break;
    case ScalarKind::Unsigned:
      node.kind = BufferedKind::Unsigned;
      node.unsigned_integer = static_cast<std::uint64_t>(value.magnitude);
      break;
    case ScalarKind::Negative:
      node.kind = BufferedKind::Signed;
      node.signed_integer = value.signed_value();
      break;
    case ScalarKind::Float:
      node.kind = BufferedKind::Float;
      node.floating = value.floating;
      break;
    case ScalarKind::String:
      node.kind = BufferedKind::String;
      node.text_data = text.data();
      node.text_length = static_cast<std::uint32_t>(text.size());
      break;
    case ScalarKind::BigUnsigned:
    case ScalarKind::BigNegative:
      return std::nullopt;
  }
  return node;
}

// Where buffered nodes go: into the list, or nowhere for a value that is only
// checked.
using Sink = BufferedNodes*;

[[gnu::noinline]] void note_node_event(EventReader& reader, const Event* event) {
  reader.scratch_events().push_back(event != nullptr ? reader.index_of(*event) : kNoLink);
}

// Appends a node, and its event (kNoLink: none) while the read takes notes.
inline void push_node(EventReader& reader, BufferedNodes& out, const BufferedNode& node,
                      const Event* event) {
  out.push_back(node);
  if (reader.notes() != nullptr) note_node_event(reader, event);
}

Status buffer_node(EventReader& reader, Sink out, const TopKeys* top);

Status buffer_scalar(EventReader& reader, const Event& event, Sink out) {
  const std::string_view text = reader.text(event);
  // Most scalars are names: settled without classifying them further.
  if (event.tag == TagKind::None && plainly_string(event.style, text)) {
    if (out != nullptr) {
      BufferedNode node;
      node.kind = BufferedKind::String;
      node.text_data = text.data();
      node.text_length = static_cast<std::uint32_t>(text.size());
      push_node(reader, *out, node, &event);
    }
    reader.advance();
    return Ok{};
  }
  auto value = classify_scalar(event.style, event.tag, text);
  if (!value) return unexpected(reader.error_at(std::move(value).error(), event));
  const auto node = scalar_node(*value, text);
  if (!node) {
    return unexpected(
        reader.error_at(invalid_type_fault(describe_scalar(*value, text), "any value"), event));
  }
  if (out != nullptr) push_node(reader, *out, *node, &event);
  reader.advance();
  return Ok{};
}

// Whether some alternative can look at the value under the key that was
// buffered last.
bool read_by_some_alternative(const BufferedNodes& out, const TopKeys& top) {
  const BufferedTree tree{&out};
  const BufferedValue key(tree, static_cast<std::uint32_t>(out.size() - 1));
  if (key.kind() == BufferedKind::String) {
    return std::find(top.names.begin(), top.names.end(), key.text()) != top.names.end();
  }
  return key.kind() == BufferedKind::Unsigned && key.node().unsigned_integer < top.positions;
}

// One mapping entry: the key with the mapping's path, the value under the key.
// Under top, a value that no alternative reads is checked and left out, an
// empty node standing in its place.
Status buffer_entry(EventReader& reader, Sink out, const TopKeys* top) {
  const bool through_alias = reader.at_alias();
  auto key = reader.peek();
  if (!key) return unexpected(std::move(key).error());
  const bool usable = !through_alias && (*key)->kind == EventKind::Scalar;
  const std::string_view key_text = usable ? reader.text(**key) : std::string_view();
  if (auto buffered = buffer_node(reader, out, nullptr); !buffered) return buffered;
  Sink value_out = out;
  if (out != nullptr && top != nullptr && !read_by_some_alternative(*out, *top)) {
    push_node(reader, *out, BufferedNode{}, nullptr);
    value_out = nullptr;
  }
  usable ? reader.push_key(key_text) : reader.push_unusable_key();
  Status value = buffer_node(reader, value_out, nullptr);
  reader.pop_path();
  return value;
}

// Depth is bounded by the nesting budget, which enter() enforces before any
// recursion.
Status buffer_collection(EventReader& reader, const Event& event, Sink out, const TopKeys* top) {
  if (auto entered = reader.enter(event); !entered) return entered;
  const bool sequence = event.kind == EventKind::SequenceStart;
  const auto index = static_cast<std::uint32_t>(out != nullptr ? out->size() : 0);
  BufferedNode node;
  node.kind = sequence ? BufferedKind::Sequence : BufferedKind::Mapping;
  if (out != nullptr) push_node(reader, *out, node, &event);
  reader.advance();
  const EventKind end = sequence ? EventKind::SequenceEnd : EventKind::MappingEnd;
  std::uint32_t count = 0;
  for (;; ++count) {
    auto ended = reader.at_end(end);
    if (!ended) return unexpected(std::move(ended).error());
    if (*ended) break;
    if (sequence) reader.push_index(count);
    Status item = sequence ? buffer_node(reader, out, nullptr) : buffer_entry(reader, out, top);
    if (sequence) reader.pop_path();
    if (!item) return item;
  }
  if (out != nullptr) {
    (*out)[index].collection = {count, static_cast<std::uint32_t>(out->size() - index)};
  }
  return Ok{};
}

Status buffer_node(EventReader& reader, Sink out, const TopKeys* top) {
  auto event = reader.peek();
  if (!event) return unexpected(std::move(event).error());
  const Event& e = **event;
  if (e.tag == TagKind::Local) {
    return unexpected(reader.error_at(tagged_alternative_fault(), e));
  }
  if (e.kind == EventKind::Scalar) return buffer_scalar(reader, e, out);
  return buffer_collection(reader, e, out, top);
}

}  // namespace

Status buffer_value(EventReader& reader, BufferedNodes& out, const TopKeys& top) {
  return buffer_node(reader, &out, &top);
}

std::optional<std::string> match_text(BufferedValue value) {
  if (value.kind() != BufferedKind::String) return std::nullopt;
  return std::string(value.text());
}

std::optional<double> match_number(BufferedValue value) {
  switch (value.kind()) {
    case BufferedKind::Unsigned:
      return static_cast<double>(value.node().unsigned_integer);
    case BufferedKind::Signed:
      return static_cast<double>(value.node().signed_integer);
    case BufferedKind::Float:
      return value.node().floating;
    default:
      return std::nullopt;
  }
}

std::optional<bool> match_boolean(BufferedValue value) {
  if (value.kind() != BufferedKind::Boolean) return std::nullopt;
  return value.node().boolean;
}

// A signed integer is only ever non-negative when it was written as -0.
std::optional<std::uint64_t> match_unsigned(BufferedValue value) {
  if (value.kind() == BufferedKind::Unsigned) return value.node().unsigned_integer;
  if (value.kind() == BufferedKind::Signed && value.node().signed_integer == 0) return 0;
  return std::nullopt;
}

namespace {

// The field that a buffered key names, by text or by position (names.size()
// when it names none); false for a key of any other kind.
bool field_of_key(BufferedValue key, std::span<const std::string_view> names, std::size_t& field) {
  if (key.kind() == BufferedKind::String) {
    field =
        static_cast<std::size_t>(std::find(names.begin(), names.end(), key.text()) - names.begin());
    return true;
  }
  if (key.kind() == BufferedKind::Unsigned) {
    const std::uint64_t position = key.node().unsigned_integer;
    field = position < names.size() ? static_cast<std::size_t>(position) : names.size();
    return true;
  }
  return false;
}

}  // namespace

bool match_fields(BufferedValue mapping, std::span<const std::string_view> names,
                  std::span<std::optional<BufferedValue>> found) {
  if (mapping.kind() != BufferedKind::Mapping) return false;
  BufferedValue key = mapping.first_child();
  for (std::uint32_t i = 0; i < mapping.count(); ++i) {
    const BufferedValue value = key.next_sibling();
    std::size_t field = 0;
    if (!field_of_key(key, names, field)) return false;
    if (field < names.size()) {
      if (found[field]) return false;
      found[field] = value;
    } else {
      key.note_skipped_key();
    }
    key = value.next_sibling();
  }
  return true;
}

bool match_record(BufferedValue value, std::span<const std::string_view> names,
                  std::span<std::optional<BufferedValue>> found, bool sequence_form) {
  if (sequence_form && value.kind() == BufferedKind::Sequence) {
    if (value.count() != names.size()) return false;
    BufferedValue item = value.first_child();
    for (std::size_t i = 0; i < names.size(); ++i, item = item.next_sibling()) found[i] = item;
    return true;
  }
  if (!match_fields(value, names, found)) return false;
  for (const auto& field : found) {
    if (!field) return false;
  }
  return true;
}

std::optional<BufferedValue> match_keyed(BufferedValue value, std::string_view key) {
  const std::array<std::string_view, 1> names{key};
  std::array<std::optional<BufferedValue>, 1> found;
  if (!match_record(value, names, found)) return std::nullopt;
  return found[0];
}

}  // namespace tamsel
