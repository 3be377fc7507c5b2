// Arrow data in, decisions out, for Compiled.evaluate_arrow(): the data comes
// through the Arrow PyCapsule interface (__arrow_c_stream__ or
// __arrow_c_array__) of pyarrow, polars, DuckDB and the like; the decisions go
// back as a DecisionColumns object with __arrow_c_stream__, which pyarrow
// imports without a copy. Each batch is evaluated with the interpreter lock
// released, so threads evaluate batches side by side.
#pragma once

#include "python/py_support.h"

#include "columns/batch_evaluation.h"
#include "columns/json_lines.h"

namespace tamsel::python {

// Creates the DecisionColumns type (once per process) and adds it to module;
// false with the error set.
[[nodiscard]] bool add_decision_columns_type(PyObject* module);

// The decisions of every record of data, in order: a new DecisionColumns, or
// null with TypeError (no Arrow data) or ValueError (data the evaluation
// cannot read, a stream that fails) set. data is only read.
PyObject* evaluate_arrow(const BatchEvaluator& evaluator, PyObject* data);

// read_json_lines(block, max_bytes, max_values, absent_hash, size): the
// decision records of a block of whole JSON lines (the first size bytes of
// the bytes object block, all where size is null) as (schema capsule, array capsule,
// lines, odd times, bad outcomes), for pyarrow to import as a record batch; None
// where the block must be read line by line. Read with the interpreter lock
// released. Arguments are borrowed.
PyObject* read_json_lines_bound(PyObject* block, PyObject* max_bytes, PyObject* max_values,
                                PyObject* absent_hash, PyObject* size);

}  // namespace tamsel::python
