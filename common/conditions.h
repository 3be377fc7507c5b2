// The comparisons of a condition, for the document tree's and the compiled
// condition alike: both are one of Atomic, All and Any. An atomic condition is
// its one member; an "all" or "any" list gives its members in order.
#pragma once

#include <cstdint>
#include <span>
#include <variant>

namespace tamsel {

template <class Condition>
using MemberOf = decltype(Condition::Atomic::condition);

template <class Condition>
std::span<const MemberOf<Condition>> members(const Condition& condition) {
  if (const auto* atomic = std::get_if<typename Condition::Atomic>(&condition.value)) {
    return {&atomic->condition, 1};
  }
  if (const auto* all = std::get_if<typename Condition::All>(&condition.value)) {
    return all->conditions;
  }
  return std::get<typename Condition::Any>(condition.value).conditions;
}

enum class ConditionForm : std::uint8_t { Atomic, All, Any };

template <class Condition>
ConditionForm form(const Condition& condition) {
  if (std::holds_alternative<typename Condition::Atomic>(condition.value)) {
    return ConditionForm::Atomic;
  }
  if (std::holds_alternative<typename Condition::All>(condition.value)) return ConditionForm::All;
  return ConditionForm::Any;
}

}  // namespace tamsel
