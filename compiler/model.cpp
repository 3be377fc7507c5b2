#include "compiler/model.h"

#include <array>
#include <cstddef>

namespace tamsel {
namespace {

// Indexed by the enumerations' values, which follow their declared order.
constexpr std::array<std::string_view, 3> kDomainNames{"Action", "Actor", "Snapshot"};
constexpr std::array<std::string_view, 6> kOperatorNames{"Equals",   "NotEquals", "GreaterThan",
                                                         "LessThan", "In",        "NotIn"};
constexpr std::array<std::string_view, 3> kEffectNames{"Allow", "Block", "RequireApproval"};
constexpr std::array<std::string_view, 3> kFieldTypeNames{"String", "Number", "Boolean"};

}  // namespace

std::string_view variant_name(Domain domain) {
  return kDomainNames[static_cast<std::size_t>(domain)];
}
std::string_view variant_name(Operator op) { return kOperatorNames[static_cast<std::size_t>(op)]; }
std::string_view variant_name(Effect effect) {
  return kEffectNames[static_cast<std::size_t>(effect)];
}
std::string_view variant_name(FieldType type) {
  return kFieldTypeNames[static_cast<std::size_t>(type)];
}

}  // namespace tamsel
