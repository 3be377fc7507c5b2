// Conversion of the evaluate argument into an EvaluationInput for one plan.
#pragma once

#include "python/py_support.h"

#include <array>
#include <optional>

#include "engine/evaluation_plan.h"

namespace tamsel::python {

// Per domain, a dict from each slot's field name (an interned str) to its slot
// index: exact str keys find their slot without leaving the interpreter.
using SlotNames = std::array<Ref, kDomainCount>;

// False with a Python error set when a name cannot be made into a str.
[[nodiscard]] bool build_slot_names(const EvaluationPlan& plan, SlotNames& slot_names);

// The input, or nothing with a Python error set.
[[nodiscard]] std::optional<EvaluationInput> convert_input(PyObject* input,
                                                           const EvaluationPlan& plan,
                                                           const SlotNames& slot_names);

}  // namespace tamsel::python
