// tamsel_tools._inspect: the engine's own answers for the tools, from the same
// core as tamsel. Private to the tools package; its interface is written in
// cli/tamsel_tools/_inspect.pyi.
#include <array>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "compiler/canonical.h"
#include "construction/construct.h"
#include "documents/events.h"
#include "engine/evaluation_plan.h"
#include "engine/explain.h"
#include "python/arguments.h"
#include "python/conversion.h"
#include "python/inspect_arrow.h"
#include "python/inspect_data.h"
#include "python/owner.h"
#include "python/py_support.h"

namespace tamsel::python {
namespace {

// What a Compiled owns: the policy, the plan and strs that input conversion
// needs (the very ones of evaluate), the plan's evaluator of Arrow batches,
// what construction noted, and the document index of every compiled rule.
struct Inspected {
  Inspected(CompiledPolicy compiled, ConstructionNotes construction_notes)
      : policy(std::move(compiled)),
        plan(policy),
        evaluator(plan),
        notes(std::move(construction_notes)) {
    for (std::size_t i = 0; i < notes.rules.size(); ++i) {
      rule_index.emplace(&filed_rule(policy, notes.rules[i]), static_cast<std::uint32_t>(i));
    }
  }
  CompiledPolicy policy;
  EvaluationPlan plan;
  BatchEvaluator evaluator;  // views plan
  PlanStrs strs;
  ConstructionNotes notes;
  RuleIndex rule_index;
};

struct CompiledObject {
  PyObject ob_base;
  Inspected* owned;  // set once when made by load()
};

PyTypeObject* g_compiled_type = nullptr;  // strong reference, kept for the life of the process

constexpr const char* kExplainNames[] = {"input"};
constexpr Parameters kExplainParameters{"Compiled.explain()", kExplainNames, 1};
constexpr const char* kArrowNames[] = {"data"};
constexpr Parameters kArrowParameters{"Compiled.evaluate_arrow()", kArrowNames, 1};
constexpr const char* kCountNames[] = {"text", "limit"};
constexpr Parameters kCountParameters{"count_values()", kCountNames, 2};
constexpr const char* kLinesNames[] = {"block", "max_bytes", "max_values", "absent_hash", "size"};
constexpr Parameters kLinesParameters{"read_json_lines()", kLinesNames, 3};

const Inspected* checked_self(PyObject* self) {
  return owned_by<CompiledObject>(self, g_compiled_type, "Compiled");
}

// (first, second), stealing both; null with the error set.
PyObject* pair(PyObject* first, PyObject* second) {
  Ref a = Ref::steal(first);
  Ref b = Ref::steal(second);
  if (!a || !b) return nullptr;
  return PyTuple_Pack(2, a.get(), b.get());
}

PyObject* load_body(PyObject* args, PyObject* kwargs) {
  Texts texts;
  if (!bind_texts("load()", args, kwargs, texts)) return nullptr;
  ConstructionNotes notes;
  auto compiled =
      construct_policy(texts.schema.view(), texts.policy.view(), texts.governance_text(), &notes);
  if (!compiled) return pair(Ref::borrow(Py_None).release(), error_data(compiled.error()));
  auto inspected = std::make_unique<Inspected>(std::move(*compiled), std::move(notes));
  if (!build_plan_strs(inspected->plan, inspected->strs)) return nullptr;
  return pair(new_owner<CompiledObject>(g_compiled_type, inspected.release()),
              Ref::borrow(Py_None).release());
}

PyObject* inspect_load(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return load_body(args, kwargs); }, static_cast<PyObject*>(nullptr));
}

// (values, None) or (limit, (line, column)) of the first value past the limit.
PyObject* count_values_bound(PyObject* text, PyObject* limit_object) {
  Utf8 utf8;
  if (!take_text(text, "text", utf8)) return nullptr;
  const unsigned long long limit = PyLong_AsUnsignedLongLong(limit_object);
  if (limit == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) return nullptr;
  const ValueCount count = count_values(utf8.view(), limit);
  PyObject* values = PyLong_FromUnsignedLongLong(count.values);
  if (!count.past) return pair(values, Ref::borrow(Py_None).release());
  return pair(values, pair(PyLong_FromUnsignedLongLong(std::uint64_t{count.past->line} + 1),
                           PyLong_FromUnsignedLongLong(std::uint64_t{count.past->column} + 1)));
}

PyObject* inspect_count_values(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return guarded(
      [&]() -> PyObject* {
        std::array<PyObject*, 2> bound{};  // borrowed from args / kwargs
        if (!bind_arguments(kCountParameters, args, kwargs, bound)) return nullptr;
        return count_values_bound(bound[0], bound[1]);
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* inspect_read_json_lines(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return guarded(
      [&]() -> PyObject* {
        std::array<PyObject*, 5> bound{};  // borrowed from args / kwargs
        if (!bind_arguments(kLinesParameters, args, kwargs, bound)) return nullptr;
        return read_json_lines_bound(bound[0], bound[1], bound[2], bound[3], bound[4]);
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* compiled_new(PyTypeObject* /*type*/, PyObject* /*args*/, PyObject* /*kwargs*/) {
  PyErr_SetString(PyExc_TypeError, "Compiled objects are made by load()");
  return nullptr;
}

PyObject* compiled_rules(PyObject* self, PyObject* /*unused*/) {
  return guarded(
      [&]() -> PyObject* {
        const Inspected* inspected = checked_self(self);
        return inspected != nullptr ? rules_data(inspected->policy, inspected->notes) : nullptr;
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* compiled_skipped_keys(PyObject* self, PyObject* /*unused*/) {
  return guarded(
      [&]() -> PyObject* {
        const Inspected* inspected = checked_self(self);
        return inspected != nullptr ? skipped_keys_data(inspected->notes) : nullptr;
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* compiled_canonical_text(PyObject* self, PyObject* /*unused*/) {
  return guarded(
      [&]() -> PyObject* {
        const Inspected* inspected = checked_self(self);
        if (inspected == nullptr) return nullptr;
        const std::string text = canonical_text(inspected->policy);
        return PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
      },
      static_cast<PyObject*>(nullptr));
}

// The trace of one input, converted by evaluate's own code.
PyObject* explain_bound(PyObject* self, PyObject* argument) {
  const Inspected* inspected = checked_self(self);
  if (inspected == nullptr) return nullptr;
  const EvaluationPlan& plan = inspected->plan;
  CallInput input(plan.slot_count());
  if (!convert_input(argument, inspected->strs, input)) return nullptr;
  // Every field that the action and global rules read has a slot; the actor
  // rules, which are never run, are the only ones without.
  const FieldLookup lookup = [&](const SubjectRef& subject) {
    const auto slot = plan.slot_of(subject.domain, subject.field);
    return slot ? input.at(*slot) : InputValue{};
  };
  return trace_data(explain(inspected->policy, lookup), inspected->rule_index);
}

PyObject* compiled_explain(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded(
      [&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};  // borrowed from args / kwargs
        if (!bind_arguments(kExplainParameters, args, kwargs, bound)) return nullptr;
        return explain_bound(self, bound[0]);
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* compiled_evaluate_arrow(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded(
      [&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};  // borrowed from args / kwargs
        if (!bind_arguments(kArrowParameters, args, kwargs, bound)) return nullptr;
        const Inspected* inspected = checked_self(self);
        return inspected != nullptr ? evaluate_arrow(inspected->evaluator, bound[0]) : nullptr;
      },
      static_cast<PyObject*>(nullptr));
}

PyMethodDef g_compiled_methods[] = {
    {"rules", compiled_rules, METH_NOARGS, "rules($self)\n--\n\nEvery rule, in document order."},
    {"canonical_text", compiled_canonical_text, METH_NOARGS,
     "canonical_text($self)\n--\n\nExactly the bytes whose SHA-256 policy_hash() gives."},
    {"skipped_keys", compiled_skipped_keys, METH_NOARGS,
     "skipped_keys($self)\n--\n\nThe keys the readers skipped in the three documents."},
    {"explain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compiled_explain)),
     METH_VARARGS | METH_KEYWORDS,
     "explain($self, input)\n--\n\nOne evaluation, step by step; the input is converted as "
     "evaluate converts it."},
    {"evaluate_arrow",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compiled_evaluate_arrow)),
     METH_VARARGS | METH_KEYWORDS,
     "evaluate_arrow($self, data)\n--\n\nThe decision of every record of Arrow data (an object "
     "with __arrow_c_stream__\nor __arrow_c_array__), as evaluate decides the dict that "
     "to_pylist() makes of it."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_compiled_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(compiled_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_owner<CompiledObject>)},
    {Py_tp_doc, const_cast<char*>("A policy compiled from the three texts, with what the tools "
                                  "ask of it.")},
    {Py_tp_methods, g_compiled_methods},
    {0, nullptr},
};

PyType_Spec g_compiled_spec = {"tamsel_tools._inspect.Compiled", sizeof(CompiledObject), 0,
                               Py_TPFLAGS_DEFAULT, g_compiled_slots};

PyMethodDef g_module_methods[] = {
    {"load", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(inspect_load)),
     METH_VARARGS | METH_KEYWORDS,
     "load(schema_yaml, policy_yaml, governance_yaml=None)\n--\n\n"
     "(Compiled, None), or (None, the error that PyTamsel raises for these texts as a dict)."},
    {"count_values",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(inspect_count_values)),
     METH_VARARGS | METH_KEYWORDS,
     "count_values(text, limit)\n--\n\n"
     "(values, None) for a text whose first document holds at most limit values, else\n"
     "(limit, (line, column)) of the first value beyond it; counted as loading reads."},
    {"read_json_lines",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(inspect_read_json_lines)),
     METH_VARARGS | METH_KEYWORDS,
     "read_json_lines(block, max_bytes, max_values, absent_hash=None, size=None)\n--\n\n"
     "The decision records of a block of whole JSON lines (its first size bytes, all\n"
     "by default) as (schema capsule, array\n"
     "capsule, lines, odd times, bad outcomes), exactly as json.loads reads the lines;\n"
     "None where the block must be read line by line."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "tamsel_tools._inspect",
    "The engine's own answers for the tools: a private module built from tamsel's core.",
    0,
    g_module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* g_module = nullptr;  // strong reference, kept for the life of the process

PyObject* create_module() {
  if (!init_names()) return nullptr;
  Ref module = Ref::steal(PyModule_Create(&g_module_def));
  if (!module) return nullptr;
  if (g_compiled_type == nullptr) {
    g_compiled_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_compiled_spec));
    if (g_compiled_type == nullptr) return nullptr;
  }
  // PyModule_AddObject steals the reference only when it succeeds.
  Py_INCREF(g_compiled_type);
  if (PyModule_AddObject(module.get(), "Compiled", reinterpret_cast<PyObject*>(g_compiled_type)) <
      0) {
    Py_DECREF(g_compiled_type);
    return nullptr;
  }
  if (!add_decision_columns_type(module.get())) return nullptr;
  return module.release();
}

PyObject* init_module() {
  return main_interpreter_module(g_module, "tamsel_tools._inspect", create_module);
}

}  // namespace
}  // namespace tamsel::python

// The interpreter finds the init function of a module named _inspect by this name.
PyMODINIT_FUNC PyInit__inspect() {  // NOLINT(bugprone-reserved-identifier)
  return tamsel::python::guarded([] { return tamsel::python::init_module(); },
                                 static_cast<PyObject*>(nullptr));
}
