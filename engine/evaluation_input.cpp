#include "engine/evaluation_input.h"

#include <cassert>
#include <utility>

namespace tamsel {

EvaluationInput::EvaluationInput(const std::array<std::uint32_t, kDomainCount>& slot_counts) {
  std::size_t total = 0;
  for (std::size_t d = 0; d < kDomainCount; ++d) {
    offsets_[d] = static_cast<std::uint32_t>(total);
    total += slot_counts[d];
  }
  values_.resize(total);
}

void EvaluationInput::set(FieldSlot slot, FieldValue value) {
  const std::size_t at = offsets_[static_cast<std::size_t>(slot.domain)] + slot.index;
  assert(at < values_.size());
  values_[at] = std::move(value);
}

const FieldValue* EvaluationInput::find(FieldSlot slot) const noexcept {
  const std::size_t at = offsets_[static_cast<std::size_t>(slot.domain)] + slot.index;
  assert(at < values_.size());
  const auto& value = values_[at];
  return value ? &*value : nullptr;
}

}  // namespace tamsel
