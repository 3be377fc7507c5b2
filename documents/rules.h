// The rules that read values straight from the events: records, lists, keyed
// maps, texts, 32-bit unsigned integers, booleans, optional values and keywords.
// A record is read by a table of its fields, so that each key names the member
// it fills and adding a field is one row.
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
#include "common/vocabulary.h"
#include "documents/messages.h"
#include "documents/reader.h"

namespace tamsel {

// A rule that reads the value at the cursor into out.
template <class T>
using ReadRule = Status (*)(EventReader& reader, T& out);

namespace detail {

template <class Rule>
struct RuleTargetOf;
template <class T>
struct RuleTargetOf<ReadRule<T>> {
  using type = T;
};

template <class Member>
struct MemberOf;
template <class Record, class Value>
struct MemberOf<Value Record::*> {
  using record = Record;
};

}  // namespace detail

// The type that the rule Read reads.
template <auto Read>
using RuleTarget = typename detail::RuleTargetOf<decltype(Read)>::type;

// The record type that the member pointer Member belongs to.
template <auto Member>
using RecordOf = typename detail::MemberOf<decltype(Member)>::record;

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

// An absent value, or one that ReadInner reads.
template <auto ReadInner>
Status read_optional(EventReader& reader, std::optional<RuleTarget<ReadInner>>& out) {
  auto absent = read_absent(reader);
  if (!absent) return unexpected(std::move(absent).error());
  if (*absent) {
    out.reset();
    return Ok{};
  }
  return ReadInner(reader, out.emplace());
}

// One field of a record: its key, whether the key may be left out, and the
// rule that reads the value under it into the record.
template <class Record>
struct RecordField {
  std::string_view key;
  bool optional = false;
  ReadRule<Record> read = nullptr;
};

inline constexpr std::size_t kMostFields = 8;

namespace detail {

template <auto Member, auto Read>
Status read_member(EventReader& reader, RecordOf<Member>& record) {
  return Read(reader, record.*Member);
}

}  // namespace detail

// The field under key that Read reads into Member.
template <auto Member, auto Read>
constexpr RecordField<RecordOf<Member>> required_field(std::string_view key) {
  return {key, false, &detail::read_member<Member, Read>};
}

// The field under key that may be left out or null; Read reads any other
// value into the optional Member.
template <auto Member, auto Read>
constexpr RecordField<RecordOf<Member>> optional_field(std::string_view key) {
  return {key, true, &detail::read_member<Member, read_optional<Read>>};
}

namespace detail {

// A key of a record or keyed map: its text, or the key's own error.
struct Key {
  std::string_view text;
  bool usable = true;             // written as a scalar, not through an alias
  std::uint32_t event = kNoLink;  // set only while the read takes notes
};
Expected<Key, ReadError> read_key(EventReader& reader, std::string_view expected);

// Opens a collection of the given kind, or accepts an empty plain scalar as an
// empty one. Gives whether there are entries to read.
Expected<bool, ReadError> open_collection(EventReader& reader, EventKind start,
                                          std::string_view expected, std::uint32_t& at);

// Reads the collection of the given kind at the cursor, each entry by
// read_entry, through its end; at receives the collection's event.
template <class ReadEntry>
Status read_entries(EventReader& reader, EventKind start, std::string_view expected,
                    std::uint32_t& at, ReadEntry read_entry) {
  auto open = open_collection(reader, start, expected, at);
  if (!open) return unexpected(std::move(open).error());
  if (!*open) return Ok{};
  const EventKind end =
      start == EventKind::MappingStart ? EventKind::MappingEnd : EventKind::SequenceEnd;
  for (;;) {
    auto at_end = reader.at_end(end);
    if (!at_end) return unexpected(std::move(at_end).error());
    if (*at_end) return Ok{};
    if (Status entry = read_entry(); !entry) return entry;
  }
}

// Reads the value under key with the key on the path.
template <class ReadValue>
Status read_under(EventReader& reader, const Key& key, ReadValue read_value) {
  key.usable ? reader.push_key(key.text) : reader.push_unusable_key();
  Status value = read_value();
  reader.pop_path();
  return value;
}

// The index of the field under key; N when no field has that key.
template <class Record, std::size_t N>
std::size_t field_index(const std::array<RecordField<Record>, N>& fields, std::string_view key) {
  std::size_t index = 0;
  while (index < N && fields[index].key != key) ++index;
  return index;
}

// The first field that is neither read nor optional.
template <class Record, std::size_t N>
std::optional<std::string_view> first_missing(const std::array<RecordField<Record>, N>& fields,
                                              std::bitset<kMostFields> seen) {
  for (std::size_t i = 0; i < N; ++i) {
    if (!seen[i] && !fields[i].optional) return fields[i].key;
  }
  return std::nullopt;
}

}  // namespace detail

// Reads a mapping into a record by its fields. Unknown keys are skipped unread.
template <class Record, std::size_t N>
Status read_record(EventReader& reader, std::string_view expected,
                   const std::array<RecordField<Record>, N>& fields, Record& out) {
  static_assert(N <= kMostFields);
  std::uint32_t at = kNoLink;
  std::bitset<kMostFields> seen;
  Status read =
      detail::read_entries(reader, EventKind::MappingStart, expected, at, [&]() -> Status {
        auto key = detail::read_key(reader, "field identifier");
        if (!key) return unexpected(std::move(key).error());
        const std::size_t index = detail::field_index(fields, key->text);
        if (index == N) {
          reader.note_skipped_key(key->event);
          return reader.skip();
        }
        if (seen[index]) return unexpected(reader.error_at(duplicate_field_fault(key->text), at));
        seen[index] = true;
        Status field =
            detail::read_under(reader, *key, [&] { return fields[index].read(reader, out); });
        if (!field) return unexpected(reader.locate(std::move(field).error(), at));
        return Ok{};
      });
  if (!read) return read;
  if (const auto missing = detail::first_missing(fields, seen)) {
    return unexpected(reader.error_at(missing_field_fault(*missing), at));
  }
  return Ok{};
}

// The list is sized once from a count of its items, so that a long one is not
// built by doubling, with the old and the new buffer alive together. The size
// reserved is bounded by the text, so that a list of many tiny items cannot
// ask for much more than the document holds.
template <auto ReadItem>
Status read_list(EventReader& reader, std::vector<RuleTarget<ReadItem>>& out) {
  using Item = RuleTarget<ReadItem>;
  std::uint32_t at = kNoLink;
  return detail::read_entries(reader, EventKind::SequenceStart, "a sequence", at, [&]() -> Status {
    if (out.empty()) {
      constexpr std::size_t kReservedPerTextByte = 4;
      const std::size_t most = kReservedPerTextByte * reader.document().text_size / sizeof(Item);
      out.reserve(reader.items_ahead(most + 1));
    }
    reader.push_index(out.size());
    Status item = ReadItem(reader, out.emplace_back());
    reader.pop_path();
    return item;
  });
}

// A later entry of the same name replaces the earlier one.
template <auto ReadValue>
Status read_keyed_map(EventReader& reader, NameMap<RuleTarget<ReadValue>>& out) {
  std::uint32_t at = kNoLink;
  return detail::read_entries(reader, EventKind::MappingStart, "a map", at, [&]() -> Status {
    auto key = detail::read_key(reader, "a string");
    if (!key) return unexpected(std::move(key).error());
    RuleTarget<ReadValue> value{};
    Status read = detail::read_under(reader, *key, [&] { return ReadValue(reader, value); });
    if (!read) return read;
    out.insert_or_assign(std::string(key->text), std::move(value));
    return Ok{};
  });
}

}  // namespace tamsel
