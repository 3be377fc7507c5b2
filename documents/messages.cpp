#include "documents/messages.h"

namespace tamsel {
namespace {

std::string described_message(std::string_view kind, std::string_view found,
                              std::string_view expected) {
  std::string message(kind);
  message += found;
  message += ", expected ";
  message += expected;
  return message;
}

std::string field_message(std::string_view kind, std::string_view key) {
  std::string message(kind);
  message += key;
  message += '`';
  return message;
}

}  // namespace

std::string invalid_type_message(std::string_view found, std::string_view expected) {
  return described_message("invalid type: ", found, expected);
}

std::string invalid_value_message(std::string_view found, std::string_view expected) {
  return described_message("invalid value: ", found, expected);
}

std::string unknown_variant_message(std::string_view text,
                                    std::span<const std::string_view> variants) {
  std::string message = "unknown variant `";
  message += text;
  message += "`, expected ";
  if (variants.size() > 2) message += "one of ";
  for (std::size_t i = 0; i < variants.size(); ++i) {
    if (i > 0) message += variants.size() == 2 ? " or " : ", ";
    message += '`';
    message += variants[i];
    message += '`';
  }
  return message;
}

std::string duplicate_field_message(std::string_view key) {
  return field_message("duplicate field `", key);
}

std::string missing_field_message(std::string_view key) {
  return field_message("missing field `", key);
}

std::string no_variant_matched_message(std::string_view type_name) {
  std::string message = "data did not match any variant of untagged enum ";
  message += type_name;
  return message;
}

std::string recursion_limit_message() { return "recursion limit exceeded"; }

std::string repetition_limit_message() { return "repetition limit exceeded"; }

std::string end_of_input_message() { return "EOF while parsing a value"; }

std::string tagged_alternative_message() {
  return "untagged and internally tagged enums do not support enum input";
}

std::string further_document_message() {
  return "deserializing from YAML containing more than one document is not supported";
}

}  // namespace tamsel
