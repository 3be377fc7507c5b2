#include "documents/direct_alternatives.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "documents/scalars.h"

namespace tamsel {
namespace {

// Tags decide how buffering classifies a node, or make it fail; untagged
// nodes are the common case and the only one read here.
const Event* untagged(const EventReader& reader) {
  const Event* event = reader.peek_direct();
  return event != nullptr && event->tag == TagKind::None ? event : nullptr;
}

// The scalar at the cursor as buffering classifies it; nullopt for anything
// else, and for a scalar that buffering refuses.
std::optional<ScalarValue> scalar(const EventReader& reader, std::string_view& text) {
  const Event* event = untagged(reader);
  if (event == nullptr || event->kind != EventKind::Scalar) return std::nullopt;
  text = reader.text(*event);
  if (event->style != ScalarStyle::Plain) return ScalarValue{ScalarKind::String};
  auto value = classify_scalar(event->style, event->tag, text);
  if (!value) return std::nullopt;
  return *value;
}

bool read_string(EventReader& reader, std::string& out) {
  std::string_view text;
  const auto value = scalar(reader, text);
  if (!value || value->kind != ScalarKind::String) return false;
  out.assign(text);
  reader.advance();
  return true;
}

bool read_boolean(EventReader& reader, bool& out) {
  std::string_view text;
  const auto value = scalar(reader, text);
  if (!value || value->kind != ScalarKind::Boolean) return false;
  out = value->boolean;
  reader.advance();
  return true;
}

// Strings before numbers before booleans; a null is no literal.
bool read_literal(EventReader& reader, LiteralValueAst& out) {
  std::string_view text;
  const auto value = scalar(reader, text);
  if (!value) return false;
  switch (value->kind) {
    case ScalarKind::String:
      out = std::string(text);
      break;
    case ScalarKind::Unsigned:
      out = static_cast<double>(static_cast<std::uint64_t>(value->magnitude));
      break;
    case ScalarKind::Negative:
      out = static_cast<double>(value->signed_value());
      break;
    case ScalarKind::Float:
      out = value->floating;
      break;
    case ScalarKind::Boolean:
      out = value->boolean;
      break;
    default:
      return false;
  }
  reader.advance();
  return true;
}

bool open(EventReader& reader, EventKind start) {
  const Event* event = untagged(reader);
  if (event == nullptr || event->kind != start || !reader.try_enter()) return false;
  reader.advance();
  return true;
}

bool close(EventReader& reader, EventKind end) {
  const Event* event = reader.peek_direct();
  if (event == nullptr || event->kind != end) return false;
  reader.advance();
  reader.leave();
  return true;
}

// Reads a mapping whose keys are all among names, each at most once, the value
// under names[i] by read_field(i). Gives the set of the fields read as bits.
// The names classify as strings however they are written, so a key is
// compared by its text alone.
template <std::size_t N, class ReadField>
std::optional<unsigned> read_fields(EventReader& reader,
                                    const std::array<std::string_view, N>& names,
                                    ReadField read_field) {
  if (!open(reader, EventKind::MappingStart)) return std::nullopt;
  unsigned seen = 0;
  for (;;) {
    const Event* key = untagged(reader);
    if (key == nullptr) return std::nullopt;
    if (key->kind == EventKind::MappingEnd) break;
    if (key->kind != EventKind::Scalar) return std::nullopt;
    const std::string_view text = reader.text(*key);
    std::size_t index = 0;
    while (index < N && names[index] != text) ++index;
    if (index == N || (seen & (1U << index)) != 0) return std::nullopt;
    seen |= 1U << index;
    reader.advance();
    if (!read_field(index)) return std::nullopt;
  }
  if (!close(reader, EventKind::MappingEnd)) return std::nullopt;
  return seen;
}

bool read_subject(EventReader& reader, SubjectAst& out) {
  const Event* event = untagged(reader);
  if (event != nullptr && event->kind == EventKind::SequenceStart) {
    return open(reader, EventKind::SequenceStart) && read_string(reader, out.domain) &&
           read_string(reader, out.field) && close(reader, EventKind::SequenceEnd);
  }
  const auto seen = read_fields(reader, kSubjectKeys, [&](std::size_t field) {
    return read_string(reader, field == 0 ? out.domain : out.field);
  });
  return seen == 0b11U;
}

// {literal: LITERAL} or {subject: SUBJECT}, the one key alone.
bool read_value(EventReader& reader, ValueAst& out) {
  static constexpr std::array<std::string_view, 2> kNames{"literal", "subject"};
  LiteralValueAst literal;
  SubjectAst subject;
  const auto seen = read_fields(reader, kNames, [&](std::size_t field) {
    return field == 0 ? read_literal(reader, literal) : read_subject(reader, subject);
  });
  if (seen == 0b01U) {
    out.value = ValueAst::Literal{std::move(literal)};
    return true;
  }
  if (seen == 0b10U) {
    out.value = ValueAst::Subject{std::move(subject)};
    return true;
  }
  return false;
}

constexpr unsigned kAtomicFields = 0b00111U;
constexpr unsigned kAllField = 0b01000U;
constexpr unsigned kAnyField = 0b10000U;

bool read_atomic_field(EventReader& reader, std::size_t field, AtomicConditionAst& out) {
  switch (field) {
    case 0:
      return read_subject(reader, out.subject);
    case 1:
      return read_string(reader, out.op);
    default:
      return read_value(reader, out.value);
  }
}

// Notes a comparison that stands at event, while the read takes notes.
void note_comparison(const EventReader& reader, std::uint32_t event) {
  if (ReadNotes* notes = reader.notes()) notes->comparisons.push_back({event, {}});
}

bool read_atomic(EventReader& reader, AtomicConditionAst& out) {
  note_comparison(reader, reader.checkpoint().cursor);
  const Event* event = untagged(reader);
  if (event != nullptr && event->kind == EventKind::SequenceStart) {
    return open(reader, EventKind::SequenceStart) && read_subject(reader, out.subject) &&
           read_string(reader, out.op) && read_value(reader, out.value) &&
           close(reader, EventKind::SequenceEnd);
  }
  const auto seen = read_fields(reader, kAtomicKeys, [&](std::size_t field) {
    return read_atomic_field(reader, field, out);
  });
  return seen == kAtomicFields;
}

bool read_atomic_list(EventReader& reader, std::vector<AtomicConditionAst>& out) {
  if (!open(reader, EventKind::SequenceStart)) return false;
  while (!close(reader, EventKind::SequenceEnd)) {
    if (!read_atomic(reader, out.emplace_back())) return false;
  }
  return true;
}

bool read_condition(EventReader& reader, ConditionAst& out) {
  const std::uint32_t start = reader.checkpoint().cursor;
  const Event* event = untagged(reader);
  if (event == nullptr) return false;
  AtomicConditionAst atomic;
  if (event->kind == EventKind::SequenceStart) {
    if (!read_atomic(reader, atomic)) return false;
    out.value = ConditionAst::Atomic{std::move(atomic)};
    return true;
  }
  std::vector<AtomicConditionAst> list;
  const auto seen = read_fields(reader, kConditionKeys, [&](std::size_t field) {
    return field < 3 ? read_atomic_field(reader, field, atomic) : read_atomic_list(reader, list);
  });
  if (seen == kAtomicFields) {
    note_comparison(reader, start);
    out.value = ConditionAst::Atomic{std::move(atomic)};
  } else if (seen == kAllField) {
    out.value = ConditionAst::All{std::move(list)};
  } else if (seen == kAnyField) {
    out.value = ConditionAst::Any{std::move(list)};
  } else {
    return false;
  }
  return true;
}

// {action: NAME}, {actor: NAME} or {global: FLAG}, the one key alone.
bool read_scope(EventReader& reader, ScopeAst& out) {
  std::string name;
  bool flag = false;
  const auto seen = read_fields(reader, kScopeKeys, [&](std::size_t field) {
    return field < 2 ? read_string(reader, name) : read_boolean(reader, flag);
  });
  if (seen == 0b001U) {
    out.value = ScopeAst::Action{std::move(name)};
  } else if (seen == 0b010U) {
    out.value = ScopeAst::Actor{std::move(name)};
  } else if (seen == 0b100U) {
    out.value = ScopeAst::Global{flag};
  } else {
    return false;
  }
  return true;
}

// The value is built aside and kept only when the whole reading succeeds.
template <class T, class Read>
bool read_or_rewind(EventReader& reader, T& out, Read read) {
  const EventReader::Checkpoint start = reader.checkpoint();
  ReadNotes* notes = reader.notes();
  const ReadNotes::Count noted = notes != nullptr ? notes->count() : ReadNotes::Count{};
  T value;
  if (!read(reader, value)) {
    reader.restore(start);
    if (notes != nullptr) notes->drop_since(noted);
    return false;
  }
  out = std::move(value);
  return true;
}

}  // namespace

bool read_scope_directly(EventReader& reader, ScopeAst& out) {
  return read_or_rewind(reader, out, read_scope);
}

bool read_condition_directly(EventReader& reader, ConditionAst& out) {
  return read_or_rewind(reader, out, read_condition);
}

}  // namespace tamsel
