// Conversion of the evaluate argument into an EvaluationInput for one plan.
#pragma once

#include "python/py_support.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "engine/evaluation_plan.h"
#include "python/str_table.h"

namespace tamsel::python {

// What conversion and the result need of the interpreter, made once for each
// object: the plan's names as strs to look keys up in, and the rule ids as strs.
struct PlanStrs {
  std::array<StrTable, kDomainCount> slots;  // field name -> slot index
  StrTable actions;                          // action name -> rule list
  std::vector<Ref> rule_ids;                 // empty where an id does not decode
};
// False with a Python error set when a str cannot be made.
[[nodiscard]] bool build_plan_strs(const EvaluationPlan& plan, PlanStrs& strs);

// The slots of one call: a few kept inline, more on the heap. Texts view the
// str objects that it holds until the call ends.
class CallInput {
 public:
  // Inline, with the few slots of most plans set here: the call is on every evaluate.
  explicit CallInput(std::size_t slots) : count_(slots) {
    if (slots > kInline) {
      use_heap();
      return;
    }
    values_ = inline_.values.data();
    keepers_ = inline_keepers_.data();
    for (std::size_t i = 0; i < slots; ++i) {
      std::construct_at(values_ + i);
      keepers_[i] = nullptr;
    }
  }
  ~CallInput() {
    for (std::size_t i = 0; i < count_; ++i) Py_XDECREF(keepers_[i]);
  }
  CallInput(const CallInput&) = delete;
  CallInput& operator=(const CallInput&) = delete;

  [[nodiscard]] EvaluationInput view() noexcept { return EvaluationInput({values_, count_}); }
  // Takes over keeper, a new reference to what the value's text views (or null).
  void set(FieldSlot slot, InputValue value, PyObject* keeper) noexcept;
  [[nodiscard]] const InputValue& at(FieldSlot slot) const noexcept { return values_[slot.index]; }
  [[nodiscard]] PyObject* keeper(FieldSlot slot) const noexcept { return keepers_[slot.index]; }

 private:
  static constexpr std::size_t kInline = 16;
  void use_heap();  // value-initialised storage for more than kInline slots

  // Raw storage: constructing all of it would cost more than most calls use.
  union InlineValues {
    InlineValues() {}  // not "= default": leaves the values unmade
    std::array<InputValue, kInline> values;
  };
  InlineValues inline_;
  std::array<PyObject*, kInline> inline_keepers_;
  std::unique_ptr<InputValue[]> heap_values_;
  std::unique_ptr<PyObject*[]> heap_keepers_;
  InputValue* values_ = nullptr;
  PyObject** keepers_ = nullptr;
  std::size_t count_;
};

// Fills input from the evaluate argument; false with a Python error set.
[[nodiscard]] bool convert_input(PyObject* argument, const PlanStrs& strs, CallInput& input);

// The rule list of the converted input's action type, if it names one.
[[nodiscard]] inline std::optional<std::uint32_t> action_list_of(const CallInput& input,
                                                                 const PlanStrs& strs) {
  const InputValue& type = input.at(EvaluationPlan::kTypeSlot);
  if (type.kind != InputValue::Kind::String) return std::nullopt;
  // By identity or by bytes: the str's own hash, if a subclass has one, never runs.
  auto list = strs.actions.find_identical(input.keeper(EvaluationPlan::kTypeSlot));
  return list ? list : strs.actions.find(type.text);
}

}  // namespace tamsel::python
