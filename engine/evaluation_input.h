// The field values of one evaluation, held in the slots that an EvaluationPlan
// assigned to the field names its rules read. An empty slot is a missing field.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace tamsel {

// A slot of the plan; every (domain, field name) that a rule reads has one.
struct FieldSlot {
  std::uint32_t index = 0;
};

// One field's value. A text views bytes that whoever fills the input keeps
// alive for the evaluation; nothing here owns memory.
struct InputValue {
  enum class Kind : std::uint8_t { Missing, String, Number, Boolean };
  Kind kind = Kind::Missing;
  bool boolean = false;
  double number = 0.0;
  std::string_view text;

  static InputValue of_text(std::string_view text) { return {Kind::String, false, 0.0, text}; }
  static InputValue of_number(double number) { return {Kind::Number, false, number, {}}; }
  static InputValue of_boolean(bool boolean) { return {Kind::Boolean, boolean, 0.0, {}}; }
};

// A view of one slot per plan slot, all missing until set; the caller owns the storage.
class EvaluationInput {
 public:
  explicit EvaluationInput(std::span<InputValue> values) noexcept : values_(values) {}

  // A later value for the same slot replaces the earlier one.
  void set(FieldSlot slot, InputValue value) noexcept { values_[slot.index] = value; }
  [[nodiscard]] const InputValue& at(FieldSlot slot) const noexcept { return values_[slot.index]; }

 private:
  std::span<InputValue> values_;
};

}  // namespace tamsel
