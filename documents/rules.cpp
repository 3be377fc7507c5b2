#include "documents/rules.h"

#include "documents/scalars.h"

namespace tamsel {
namespace {

std::optional<std::size_t> find_keyword(std::string_view text,
                                        std::span<const std::string_view> keywords) {
  for (std::size_t i = 0; i < keywords.size(); ++i) {
    if (keywords[i] == text) return i;
  }
  return std::nullopt;
}

// A keyword written as a local tag "!WORD" on an empty node.
Status read_tagged_keyword(EventReader& reader, const Event& event,
                           std::span<const std::string_view> keywords, std::size_t& out) {
  const std::string_view word = reader.local_tag().substr(1);
  const auto found = find_keyword(word, keywords);
  if (!found) {
    return unexpected(reader.error_at(unknown_variant_fault(word, keywords), event));
  }
  if (event.kind != EventKind::Scalar) return unexpected(reader.invalid_type(event, "unit"));
  const std::string_view text = reader.text(event);
  if (event.style != ScalarStyle::Plain || !(text.empty() || is_null_spelling(text))) {
    return unexpected(reader.error_at(invalid_value_fault(describe_string(text), "null"), event));
  }
  out = *found;
  reader.advance();
  return Ok{};
}

}  // namespace

Status read_text(EventReader& reader, std::string& out) {
  auto event = reader.peek();
  if (!event) return unexpected(std::move(event).error());
  if ((*event)->kind != EventKind::Scalar) {
    return unexpected(reader.invalid_type(**event, "a string"));
  }
  out.assign(reader.text(**event));
  reader.advance();
  return Ok{};
}

Status read_u32(EventReader& reader, std::uint32_t& out) {
  auto event = reader.peek();
  if (!event) return unexpected(std::move(event).error());
  const Event& e = **event;
  const bool accepted =
      e.kind == EventKind::Scalar &&
      (e.style == ScalarStyle::Plain || (e.style == ScalarStyle::Literal && e.tag == TagKind::Int));
  if (!accepted) return unexpected(reader.invalid_type(e, "u32"));
  const auto number = parse_unsigned(reader.text(e));
  if (!number) return unexpected(reader.invalid_type(e, "u32"));
  if (*number > UINT32_MAX) {
    return unexpected(reader.error_at(invalid_value_fault(describe_integer(*number), "u32"), e));
  }
  out = static_cast<std::uint32_t>(*number);
  reader.advance();
  return Ok{};
}

Status read_boolean(EventReader& reader, bool& out) {
  auto event = reader.peek();
  if (!event) return unexpected(std::move(event).error());
  const Event& e = **event;
  const bool accepted =
      e.kind == EventKind::Scalar && (e.style == ScalarStyle::Plain ||
                                      (e.style == ScalarStyle::Literal && e.tag == TagKind::Bool));
  const auto value = accepted ? boolean_spelling(reader.text(e)) : std::nullopt;
  if (!value) return unexpected(reader.invalid_type(e, "a boolean"));
  out = *value;
  reader.advance();
  return Ok{};
}

Status read_keyword(EventReader& reader, std::span<const std::string_view> keywords,
                    std::size_t& out) {
  auto event = reader.peek();
  if (!event) return unexpected(std::move(event).error());
  const Event& e = **event;
  if (e.tag == TagKind::Local) return read_tagged_keyword(reader, e, keywords, out);
  if (e.kind != EventKind::Scalar) {
    return unexpected(reader.invalid_type(e, "a YAML tag starting with '!'"));
  }
  const std::string_view text = reader.text(e);
  const auto found = find_keyword(text, keywords);
  if (!found) return unexpected(reader.error_at(unknown_variant_fault(text, keywords), e));
  out = *found;
  reader.advance();
  return Ok{};
}

Expected<bool, ReadError> read_absent(EventReader& reader) {
  auto event = reader.peek();
  if (!event) return unexpected(std::move(event).error());
  const Event& e = **event;
  if (e.kind != EventKind::Scalar || e.style != ScalarStyle::Plain) return false;
  const std::string_view text = reader.text(e);
  if (e.tag == TagKind::Null && !is_null_spelling(text)) {
    return unexpected(reader.error_at(invalid_value_fault(describe_string(text), "null"), e));
  }
  const bool absent = (e.tag == TagKind::None && (text.empty() || is_null_spelling(text))) ||
                      e.tag == TagKind::Null;
  if (absent) reader.advance();
  return absent;
}

namespace detail {

Expected<Key, ReadError> read_key(EventReader& reader, std::string_view expected) {
  const bool through_alias = reader.at_alias();
  auto event = reader.peek();
  if (!event) return unexpected(std::move(event).error());
  const Event& e = **event;
  if (e.kind != EventKind::Scalar) return unexpected(reader.invalid_type(e, expected));
  const Key key{reader.text(e), !through_alias,
                reader.notes() != nullptr ? reader.index_of(e) : kNoLink};
  reader.advance();
  return key;
}

Expected<bool, ReadError> open_collection(EventReader& reader, EventKind start,
                                          std::string_view expected, std::uint32_t& at) {
  auto event = reader.peek();
  if (!event) return unexpected(std::move(event).error());
  const Event& e = **event;
  at = reader.index_of(e);
  if (e.kind == start) {
    if (auto entered = reader.enter(e); !entered) return unexpected(std::move(entered).error());
    reader.advance();
    return true;
  }
  if (is_empty_plain(e)) {
    reader.advance();
    return false;
  }
  return unexpected(reader.invalid_type(e, expected));
}

}  // namespace detail
}  // namespace tamsel
