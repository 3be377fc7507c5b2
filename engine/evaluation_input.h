// The field values of one evaluation, held in the slots that an EvaluationPlan
// assigned to the field names its rules read. An empty slot is a missing field.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "compiler/model.h"

namespace tamsel {

inline constexpr std::size_t kDomainCount = 3;

struct FieldSlot {
  Domain domain = Domain::Action;
  std::uint32_t index = 0;
};

class EvaluationInput {
 public:
  // slot_counts[d] is the number of slots of domain d.
  explicit EvaluationInput(const std::array<std::uint32_t, kDomainCount>& slot_counts);

  // A later value for the same slot replaces the earlier one.
  void set(FieldSlot slot, FieldValue value);

  // The value in the slot, or nullptr when the field is missing.
  [[nodiscard]] const FieldValue* find(FieldSlot slot) const noexcept;

 private:
  std::array<std::uint32_t, kDomainCount> offsets_{};
  std::vector<std::optional<FieldValue>> values_;  // all domains, one after the other
};

}  // namespace tamsel
