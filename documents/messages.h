// The texts of document errors. Each kind of message is built here alone, from
// the parts its caller passes; the reader puts the path before most of them and
// the position after.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace tamsel {

// "invalid type: FOUND, expected WHAT", FOUND describing the node.
std::string invalid_type_message(std::string_view found, std::string_view expected);
// "invalid value: FOUND, expected WHAT".
std::string invalid_value_message(std::string_view found, std::string_view expected);
// "unknown variant `TEXT`, expected `A` or `B`" (or "one of `A`, `B`, `C`").
std::string unknown_variant_message(std::string_view text,
                                    std::span<const std::string_view> variants);
std::string duplicate_field_message(std::string_view key);
std::string missing_field_message(std::string_view key);
// The value of a type of alternatives that none of them matches.
std::string no_variant_matched_message(std::string_view type_name);
// Deeper nesting than loading or reading admits, at the collection that is too deep.
std::string recursion_limit_message();

// More alias expansion than the budgets of a read admit.
std::string repetition_limit_message();
std::string end_of_input_message();
// A tagged node where a type of alternatives is read.
std::string tagged_alternative_message();
std::string further_document_message();

}  // namespace tamsel
