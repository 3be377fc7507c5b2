#include "compiler/model.h"

namespace tamsel {

std::string_view variant_name(Domain domain) {
  switch (domain) {
    case Domain::Action:
      return "Action";
    case Domain::Actor:
      return "Actor";
    case Domain::Snapshot:
      return "Snapshot";
  }
  return {};
}

std::string_view variant_name(Operator op) {
  switch (op) {
    case Operator::Equals:
      return "Equals";
    case Operator::NotEquals:
      return "NotEquals";
    case Operator::GreaterThan:
      return "GreaterThan";
    case Operator::LessThan:
      return "LessThan";
    case Operator::In:
      return "In";
    case Operator::NotIn:
      return "NotIn";
  }
  return {};
}

std::string_view variant_name(Effect effect) {
  switch (effect) {
    case Effect::Allow:
      return "Allow";
    case Effect::Block:
      return "Block";
    case Effect::RequireApproval:
      return "RequireApproval";
  }
  return {};
}

std::string_view variant_name(FieldType type) {
  switch (type) {
    case FieldType::String:
      return "String";
    case FieldType::Number:
      return "Number";
    case FieldType::Boolean:
      return "Boolean";
  }
  return {};
}

}  // namespace tamsel
