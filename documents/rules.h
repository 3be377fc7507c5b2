// The rules that read values straight from the events: records, lists, keyed
// maps, texts, 32-bit unsigned integers, booleans, optional values and keywords.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/names.h"
#include "compiler/vocabulary.h"
#include "documents/reader.h"

namespace tamsel {

struct FieldRule {
  std::string_view name;
  bool optional = false;
};

inline constexpr std::size_t kMostFields = 8;

// An empty plain scalar (also the empty node of an empty stream) stands for an
// empty collection.
inline bool is_empty_plain(const Event& event) {
  return event.kind == EventKind::Scalar && event.style == ScalarStyle::Plain &&
         event.short_length == 0;
}

Status read_text(EventReader& reader, std::string& out);
Status read_u32(EventReader& reader, std::uint32_t& out);
Status read_boolean(EventReader& reader, bool& out);
// Gives the index of the keyword in keywords.
Status read_keyword(EventReader& reader, std::span<const std::string_view> keywords,
                    std::size_t& out);

// A keyword of one of the closed vocabularies, read into its enumeration.
template <HasVocabulary Enum>
Status read_word(EventReader& reader, Enum& out) {
  std::size_t index = 0;
  if (auto read = read_keyword(reader, kDocumentWords<Enum>, index); !read) return read;
  out = vocabulary(Enum{})[index].variant;
  return Ok{};
}

// Whether the node at the cursor stands for an absent optional value; consumes it if so.
Expected<bool, ReadError> read_absent(EventReader& reader);

template <class T, class ReadInner>
Status read_optional(EventReader& reader, std::optional<T>& out, ReadInner read_inner) {
  auto absent = read_absent(reader);
  if (!absent) return unexpected(std::move(absent).error());
  if (*absent) {
    out.reset();
    return Ok{};
  }
  return read_inner(out.emplace());
}

namespace detail {

// A key of a record or keyed map: its text, or the key's own error.
struct Key {
  std::string_view text;
  bool usable = true;  // written as a scalar, not through an alias
};
Expected<Key, ReadError> read_key(EventReader& reader, std::string_view expected);

// Opens a collection of the given kind, or accepts an empty plain scalar as an
// empty one. Gives whether there are entries to read.
Expected<bool, ReadError> open_collection(EventReader& reader, EventKind start,
                                          std::string_view expected, Mark& mark);

// The first field that is neither read nor optional.
std::optional<std::string_view> first_missing(std::span<const FieldRule> fields,
                                              std::bitset<kMostFields> seen);

}  // namespace detail

// Reads a mapping into a record; read_field(i) reads the value of fields[i].
// Unknown keys are skipped unread.
template <std::size_t N, class ReadField>
Status read_record(EventReader& reader, std::string_view expected,
                   const std::array<FieldRule, N>& fields, ReadField read_field) {
  static_assert(N <= kMostFields);
  Mark mark;
  auto open = detail::open_collection(reader, EventKind::MappingStart, expected, mark);
  if (!open) return unexpected(std::move(open).error());
  std::bitset<kMostFields> seen;
  while (*open) {
    auto end = reader.at_end(EventKind::MappingEnd);
    if (!end) return unexpected(std::move(end).error());
    if (*end) break;
    auto key = detail::read_key(reader, "field identifier");
    if (!key) return unexpected(std::move(key).error());
    std::size_t index = 0;
    while (index < N && fields[index].name != key->text) ++index;
    if (index == N) {
      if (auto skipped = reader.skip(); !skipped) return skipped;
      continue;
    }
    if (seen[index]) {
      return unexpected(reader.error_at("duplicate field `" + std::string(key->text) + "`", mark));
    }
    seen[index] = true;
    key->usable ? reader.push_key(key->text) : reader.push_unusable_key();
    Status field = read_field(index);
    reader.pop_path();
    if (!field) return unexpected(reader.locate(std::move(field).error(), mark));
  }
  if (const auto missing = detail::first_missing(fields, seen)) {
    return unexpected(reader.error_at("missing field `" + std::string(*missing) + "`", mark));
  }
  return Ok{};
}

template <class T, class ReadItem>
Status read_list(EventReader& reader, std::vector<T>& out, ReadItem read_item) {
  Mark mark;
  auto open = detail::open_collection(reader, EventKind::SequenceStart, "a sequence", mark);
  if (!open) return unexpected(std::move(open).error());
  while (*open) {
    auto end = reader.at_end(EventKind::SequenceEnd);
    if (!end) return unexpected(std::move(end).error());
    if (*end) break;
    reader.push_index(out.size());
    Status item = read_item(out.emplace_back());
    reader.pop_path();
    if (!item) return item;
  }
  return Ok{};
}

// A later entry of the same name replaces the earlier one.
template <class V, class ReadValue>
Status read_keyed_map(EventReader& reader, NameMap<V>& out, ReadValue read_value) {
  Mark mark;
  auto open = detail::open_collection(reader, EventKind::MappingStart, "a map", mark);
  if (!open) return unexpected(std::move(open).error());
  while (*open) {
    auto end = reader.at_end(EventKind::MappingEnd);
    if (!end) return unexpected(std::move(end).error());
    if (*end) break;
    auto key = detail::read_key(reader, "a string");
    if (!key) return unexpected(std::move(key).error());
    V value{};
    key->usable ? reader.push_key(key->text) : reader.push_unusable_key();
    Status read = read_value(value);
    reader.pop_path();
    if (!read) return read;
    out.insert_or_assign(std::string(key->text), std::move(value));
  }
  return Ok{};
}

}  // namespace tamsel
