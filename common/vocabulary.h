// The four closed vocabularies: each variant with the word that the documents
// write and the name that the canonical text and the messages print. This is
// the one place that spells them; readers, compiler, rendering and binding all
// look them up here. The header stands alone so that the document trees can
// hold these enumerations without depending on the compiler.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace tamsel {

enum class Domain : std::uint8_t { Action, Actor, Snapshot };
enum class Operator : std::uint8_t { Equals, NotEquals, GreaterThan, LessThan, In, NotIn };
enum class Effect : std::uint8_t { Allow, Block, RequireApproval };
enum class FieldType : std::uint8_t { String, Number, Boolean };

template <class Enum>
struct Spelling {
  Enum variant;
  std::string_view word;  // as the documents write it
  std::string_view name;  // the variant name
};

// One row per variant, in declared order: the lookups index the rows by value.
inline constexpr std::array<Spelling<Domain>, 3> kDomains{{
    {Domain::Action, "action", "Action"},
    {Domain::Actor, "actor", "Actor"},
    {Domain::Snapshot, "snapshot", "Snapshot"},
}};
inline constexpr std::array<Spelling<Operator>, 6> kOperators{{
    {Operator::Equals, "equals", "Equals"},
    {Operator::NotEquals, "not_equals", "NotEquals"},
    {Operator::GreaterThan, "greater_than", "GreaterThan"},
    {Operator::LessThan, "less_than", "LessThan"},
    {Operator::In, "in", "In"},
    {Operator::NotIn, "not_in", "NotIn"},
}};
inline constexpr std::array<Spelling<Effect>, 3> kEffects{{
    {Effect::Allow, "allow", "Allow"},
    {Effect::Block, "block", "Block"},
    {Effect::RequireApproval, "require_approval", "RequireApproval"},
}};
inline constexpr std::array<Spelling<FieldType>, 3> kFieldTypes{{
    {FieldType::String, "string", "String"},
    {FieldType::Number, "number", "Number"},
    {FieldType::Boolean, "boolean", "Boolean"},
}};

// Finds an enumeration's table, for the lookups below.
constexpr const auto& vocabulary(Domain /*tag*/) { return kDomains; }
constexpr const auto& vocabulary(Operator /*tag*/) { return kOperators; }
constexpr const auto& vocabulary(Effect /*tag*/) { return kEffects; }
constexpr const auto& vocabulary(FieldType /*tag*/) { return kFieldTypes; }

template <class Enum>
concept HasVocabulary = requires(Enum variant) {
  vocabulary(variant);
};

namespace detail {

template <HasVocabulary Enum>
constexpr bool in_declared_order() {
  const auto& table = vocabulary(Enum{});
  for (std::size_t i = 0; i < table.size(); ++i) {
    if (static_cast<std::size_t>(table[i].variant) != i) return false;
  }
  return true;
}
static_assert(in_declared_order<Domain>() && in_declared_order<Operator>() &&
              in_declared_order<Effect>() && in_declared_order<FieldType>());

template <HasVocabulary Enum>
constexpr auto words_of() {
  std::array<std::string_view, vocabulary(Enum{}).size()> words{};
  for (std::size_t i = 0; i < words.size(); ++i) words[i] = vocabulary(Enum{})[i].word;
  return words;
}

}  // namespace detail

// The document words in declared order, as the "expected one of" lists give them.
template <HasVocabulary Enum>
inline constexpr auto kDocumentWords = detail::words_of<Enum>();

template <HasVocabulary Enum>
constexpr std::string_view document_word(Enum variant) {
  return vocabulary(variant)[static_cast<std::size_t>(variant)].word;
}

template <HasVocabulary Enum>
constexpr std::string_view variant_name(Enum variant) {
  return vocabulary(variant)[static_cast<std::size_t>(variant)].name;
}

// The variant whose document word is exactly word, byte for byte.
template <HasVocabulary Enum>
constexpr std::optional<Enum> from_document_word(std::string_view word) {
  for (const Spelling<Enum>& entry : vocabulary(Enum{})) {
    if (entry.word == word) return entry.variant;
  }
  return std::nullopt;
}

}  // namespace tamsel
