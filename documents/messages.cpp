#include "documents/messages.h"

namespace tamsel {
namespace {

Fault described(ErrorKind kind, std::string_view lead, std::string_view found,
                std::string_view expected) {
  std::string message(lead);
  message += found;
  message += ", expected ";
  message += expected;
  return {kind,
          std::move(message),
          {{"found", std::string(found)}, {"expected", std::string(expected)}}};
}

Fault about_field(ErrorKind kind, std::string_view lead, std::string_view key) {
  std::string message(lead);
  message += key;
  message += '`';
  return {kind, std::move(message), {{"key", std::string(key)}}};
}

Fault plain(ErrorKind kind, std::string_view text) { return {kind, std::string(text), {}}; }

}  // namespace

Fault invalid_type_fault(std::string_view found, std::string_view expected) {
  return described(ErrorKind::InvalidType, "invalid type: ", found, expected);
}

Fault invalid_value_fault(std::string_view found, std::string_view expected) {
  return described(ErrorKind::InvalidValue, "invalid value: ", found, expected);
}

Fault unknown_variant_fault(std::string_view text, std::span<const std::string_view> variants) {
  std::string expected;
  if (variants.size() > 2) expected += "one of ";
  for (std::size_t i = 0; i < variants.size(); ++i) {
    if (i > 0) expected += variants.size() == 2 ? " or " : ", ";
    expected += '`';
    expected += variants[i];
    expected += '`';
  }
  std::string message = "unknown variant `";
  message += text;
  message += "`, expected ";
  message += expected;
  return {ErrorKind::UnknownVariant,
          std::move(message),
          {{"variant", std::string(text)}, {"expected", std::move(expected)}}};
}

Fault duplicate_field_fault(std::string_view key) {
  return about_field(ErrorKind::DuplicateField, "duplicate field `", key);
}

Fault missing_field_fault(std::string_view key) {
  return about_field(ErrorKind::MissingField, "missing field `", key);
}

Fault no_variant_matched_fault(std::string_view type_name) {
  std::string message = "data did not match any variant of untagged enum ";
  message += type_name;
  return {ErrorKind::NoVariantMatched, std::move(message), {{"type", std::string(type_name)}}};
}

Fault recursion_limit_fault() {
  return plain(ErrorKind::RecursionLimit, "recursion limit exceeded");
}

Fault repetition_limit_fault() {
  return plain(ErrorKind::RepetitionLimit, "repetition limit exceeded");
}

Fault end_of_input_fault() { return plain(ErrorKind::EndOfInput, "EOF while parsing a value"); }

Fault tagged_alternative_fault() {
  return plain(ErrorKind::TaggedAlternative,
               "untagged and internally tagged enums do not support enum input");
}

Fault further_document_fault() {
  return plain(ErrorKind::FurtherDocument,
               "deserializing from YAML containing more than one document is not supported");
}

Fault unknown_anchor_fault() { return plain(ErrorKind::UnknownAnchor, "unknown anchor"); }

Fault too_large_fault() { return plain(ErrorKind::DocumentTooLarge, "document too large"); }

}  // namespace tamsel
