// The document errors before they are located. Each kind is built here alone,
// from the parts its caller passes, which become its operands as well; the
// reader puts the path before most of them and the position after.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "documents/document_error.h"

namespace tamsel {

// "invalid type: FOUND, expected WHAT", FOUND describing the node.
Fault invalid_type_fault(std::string_view found, std::string_view expected);
// "invalid value: FOUND, expected WHAT".
Fault invalid_value_fault(std::string_view found, std::string_view expected);
// "unknown variant `TEXT`, expected `A` or `B`" (or "one of `A`, `B`, `C`").
Fault unknown_variant_fault(std::string_view text, std::span<const std::string_view> variants);
Fault duplicate_field_fault(std::string_view key);
Fault missing_field_fault(std::string_view key);
// The value of a type of alternatives that none of them matches.
Fault no_variant_matched_fault(std::string_view type_name);
// Deeper nesting than loading or reading admits, at the collection that is too deep.
Fault recursion_limit_fault();

// More alias expansion than the budgets of a read admit.
Fault repetition_limit_fault();
Fault end_of_input_fault();
// A tagged node where a type of alternatives is read.
Fault tagged_alternative_fault();
Fault further_document_fault();
Fault unknown_anchor_fault();
Fault too_large_fault();

}  // namespace tamsel
