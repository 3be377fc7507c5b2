// The inspection module's answers as plain Python data: the error of a failed
// construction, the rules with their positions, the skipped keys and the trace
// of one evaluation. Each function gives a new reference, or null with the
// interpreter's error set.
#pragma once

#include "python/py_support.h"

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "construction/construct.h"
#include "engine/explain.h"

namespace tamsel::python {

// The document index of each compiled rule.
using RuleIndex = std::unordered_map<const CompiledRule*, std::uint32_t>;

PyObject* error_data(const ConstructionError& error);
PyObject* rules_data(const CompiledPolicy& policy, const ConstructionNotes& notes);
PyObject* skipped_keys_data(const ConstructionNotes& notes);
PyObject* trace_data(const Trace& trace, const RuleIndex& index);

}  // namespace tamsel::python
