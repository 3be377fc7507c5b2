#include "python/py_tamsel.h"

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "common/platform.h"
#include "compiler/canonical.h"
#include "compiler/model.h"
#include "construction/construct.h"
#include "engine/evaluation_plan.h"
#include "python/arguments.h"
#include "python/conversion.h"
#include "python/owner.h"

namespace tamsel::python {
namespace {

// What an instance owns: the compiled policy (for the hash), its plan, and the
// plan's strs (immutable strs only, so they cannot form cycles).
struct Loaded {
  explicit Loaded(CompiledPolicy compiled) : policy(std::move(compiled)), plan(policy) {}
  CompiledPolicy policy;
  EvaluationPlan plan;
  PlanStrs strs;
};

struct TamselObject {
  PyObject ob_base;
  Loaded* owned;  // set once in __new__
};

PyTypeObject* g_type = nullptr;  // strong reference, kept for the life of the process

constexpr const char* kEvaluateNames[] = {"input"};
constexpr Parameters kEvaluateParameters{"PyTamsel.evaluate()", kEvaluateNames, 1};

// What self owns, or null with TypeError set when self is no PyTamsel.
Loaded* checked_self(PyObject* self) { return owned_by<TamselObject>(self, g_type, "PyTamsel"); }

void raise_construction_error(const ConstructionError& error) {
  Ref text = Ref::steal(construction_message(error));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
}

// Construction frees several times its documents' size (the texts' copies, the
// document trees, the catalogue) and keeps far less; glibc keeps freed heap
// pages resident, so without this an object would hold its construction's
// peak. Below this size what is freed is too little to be worth a walk over
// the process's heap.
constexpr std::size_t kTrimAfterBytes = std::size_t{1} << 20;

void release_freed_memory(std::size_t document_bytes) {
  if (document_bytes >= kTrimAfterBytes) platform::trim_heap();
}

PyObject* tamsel_new_body(PyTypeObject* type, PyObject* args, PyObject* kwargs,
                          std::size_t& document_bytes) {
  Texts texts;
  if (!bind_texts("PyTamsel.__new__()", args, kwargs, texts)) return nullptr;
  document_bytes = texts.bytes();
  auto compiled =
      construct_policy(texts.schema.view(), texts.policy.view(), texts.governance_text());
  if (!compiled) {
    raise_construction_error(compiled.error());
    return nullptr;
  }
  auto loaded = std::make_unique<Loaded>(std::move(*compiled));
  if (!build_plan_strs(loaded->plan, loaded->strs)) return nullptr;
  return new_owner<TamselObject>(type, loaded.release());  // new reference, handed to the caller
}

PyObject* tamsel_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  std::size_t document_bytes = 0;
  PyObject* self = guarded([&] { return tamsel_new_body(type, args, kwargs, document_bytes); },
                           static_cast<PyObject*>(nullptr));
  // Also after a failure: what the failed stages built is freed all the same.
  release_freed_memory(document_bytes);
  return self;
}

// The str of the deciding rule's id, made afresh: a new reference, or null with
// the error set. Only for an id that made no str at construction, so that the
// decoding error is raised here, as it would be.
PyObject* decode_rule_id(std::uint32_t rule, const Loaded& loaded) {
  const std::string_view id = loaded.plan.rule_id(rule);
  return PyUnicode_DecodeUTF8(id.data(), static_cast<Py_ssize_t>(id.size()), "strict");
}

// A new dict {"effect": ..., "matched_rule": ...}, or null with the error set.
PyObject* result_dict(const Decision& decision, const Loaded& loaded) {
  Ref result = Ref::steal(PyDict_New());
  if (!result) return nullptr;
  PyObject* effect = names().effect_words[static_cast<std::size_t>(decision.effect)];
  if (PyDict_SetItem(result.get(), names().effect, effect) < 0) return nullptr;
  // Borrowed: None or the rule id's str from construction, which the dict takes its own hold on.
  PyObject* matched = decision.rule ? loaded.strs.rule_ids[*decision.rule].get() : Py_None;
  Ref made;
  if (matched == nullptr) {
    made = Ref::steal(decode_rule_id(*decision.rule, loaded));
    if (!made) return nullptr;
    matched = made.get();
  }
  if (PyDict_SetItem(result.get(), names().matched_rule, matched) < 0) return nullptr;
  return result.release();
}

// evaluate once its argument is bound (null when binding failed).
PyObject* evaluate_bound(PyObject* self, PyObject* argument) {
  if (argument == nullptr) return nullptr;
  const Loaded* owned = checked_self(self);
  if (owned == nullptr) return nullptr;
  const Loaded& loaded = *owned;
  CallInput input(loaded.plan.slot_count());
  if (!convert_input(argument, loaded.strs, input)) return nullptr;
  const auto action_list = action_list_of(input, loaded.strs);
  return result_dict(loaded.plan.evaluate(input.view(), action_list), loaded);
}

PyObject* tamsel_evaluate(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded(
      [&] {
        std::array<PyObject*, 1> bound{};  // borrowed from args / kwargs
        const bool bound_ok = bind_arguments(kEvaluateParameters, args, kwargs, bound);
        return evaluate_bound(self, bound_ok ? bound[0] : nullptr);
      },
      static_cast<PyObject*>(nullptr));
}

// The same through the vectorcall protocol, which spares the argument tuple.
PyObject* tamsel_evaluate_vector(PyObject* self, PyObject* const* args, Py_ssize_t given,
                                 PyObject* kwnames) {
  // The usual call, evaluate(input), needs no binding.
  if (given == 1 && kwnames == nullptr) {
    return guarded([&] { return evaluate_bound(self, args[0]); }, static_cast<PyObject*>(nullptr));
  }
  return guarded(
      [&] {
        std::array<PyObject*, 1> bound{};  // borrowed from the caller
        const bool bound_ok =
            bind_vector_arguments(kEvaluateParameters, args, given, kwnames, bound);
        return evaluate_bound(self, bound_ok ? bound[0] : nullptr);
      },
      static_cast<PyObject*>(nullptr));
}

// METH_FASTCALL belongs to the stable ABI from 3.10 on; its value has not changed
// since 3.7. Older interpreters get the tuple-and-dict binding.
constexpr int kMethFastcall = 0x0080;
constexpr long kFirstFastcallVersion = 0x030A0000;  // 3.10 as sys.hexversion

PyObject* policy_hash_body(PyObject* self) {
  const Loaded* loaded = checked_self(self);
  if (loaded == nullptr) return nullptr;
  const auto digest = canonical_sha256_hex(loaded->policy);
  if (!digest) return PyErr_NoMemory();  // libcrypto fails only for want of memory
  return PyUnicode_FromStringAndSize(digest->data(), static_cast<Py_ssize_t>(digest->size()));
}

PyObject* tamsel_policy_hash(PyObject* self, PyObject* /*unused*/) {
  return guarded([&] { return policy_hash_body(self); }, static_cast<PyObject*>(nullptr));
}

PyObject* tamsel_compiler_version(PyObject* /*unused*/, PyObject* /*unused*/) {
  return PyUnicode_FromString(TAMSEL_VERSION);
}

#define TAMSEL_CLASS_DOC                              \
  "Python-exposed Tamsel class.\n"                    \
  "\n"                                                \
  "This is a thin wrapper around `CompiledPolicy`.\n" \
  "Compilation occurs during initialization.\n"       \
  "Evaluation is deterministic and stateless."

#define TAMSEL_EVALUATE_DOC                                         \
  "Evaluates the compiled policy against runtime input.\n"          \
  "\n"                                                              \
  "Expected input format:\n"                                        \
  "{\n"                                                             \
  "    \"action\": { ... },\n"                                      \
  "    \"actor\": { ... },\n"                                       \
  "    \"snapshot\": { ... }\n"                                     \
  "}\n"                                                             \
  "\n"                                                              \
  "Missing keys are treated as empty maps.\n"                       \
  "\n"                                                              \
  "Returns:\n"                                                      \
  "{\n"                                                             \
  "    \"effect\": \"allow\" | \"block\" | \"require_approval\",\n" \
  "    \"matched_rule\": Optional[str]\n"                           \
  "}"

constexpr const char kClassDoc[] =
    "PyTamsel(schema_yaml, policy_yaml, governance_yaml=None)\n--\n\n" TAMSEL_CLASS_DOC;

PyMethodDef g_methods[] = {
    {"evaluate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tamsel_evaluate)),
     METH_VARARGS | METH_KEYWORDS, "evaluate($self, input)\n--\n\n" TAMSEL_EVALUATE_DOC},
    {"policy_hash", tamsel_policy_hash, METH_NOARGS, "policy_hash($self)\n--\n\n"},
    {"compiler_version", tamsel_compiler_version, METH_STATIC | METH_NOARGS,
     "compiler_version()\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tamsel_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_owner<TamselObject>)},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_methods, g_methods},
    {0, nullptr},
};

// Py_TPFLAGS_IMMUTABLETYPE, which 3.9's headers lack. Bit 8 means nothing to
// 3.9, so the flag is passed only where the running interpreter knows it.
constexpr unsigned long kImmutableTypeFlag = 1UL << 8;
constexpr long kFirstImmutableVersion = 0x030A0000;  // 3.10 as sys.hexversion

// The running interpreter's version, read at run time because the one abi3
// build serves every version; 0 (older than any) when it cannot be read. False
// only with an error set that ends the import.
bool running_hexversion(long& hexversion) {
  hexversion = 0;
  PyObject* version = PySys_GetObject("hexversion");  // borrowed
  if (version == nullptr || !PyLong_Check(version)) return true;
  const long read = PyLong_AsLong(version);
  if (read == -1 && PyErr_Occurred() != nullptr) return discard_ordinary_error();
  hexversion = read;
  return true;
}

// No BASETYPE: the class cannot be derived from; no dict or weak-reference
// slots. Immutable where the interpreter allows it, so that no import can
// replace or delete a method of a class that gates actions.
PyType_Spec type_spec(long hexversion) {
  unsigned long flags = Py_TPFLAGS_DEFAULT;
  if (hexversion >= kFirstImmutableVersion) flags |= kImmutableTypeFlag;
  return {"builtins.PyTamsel", sizeof(TamselObject), 0, static_cast<unsigned int>(flags), g_slots};
}

}  // namespace

PyObject* create_tamsel_type() {
  if (g_type == nullptr) {
    long hexversion = 0;
    if (!running_hexversion(hexversion)) return nullptr;
    if (hexversion >= kFirstFastcallVersion) {
      g_methods[0].ml_meth =
          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(tamsel_evaluate_vector));
      g_methods[0].ml_flags = kMethFastcall | METH_KEYWORDS;
    }
    PyType_Spec spec = type_spec(hexversion);
    g_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    if (g_type == nullptr) return nullptr;
  }
  Py_INCREF(g_type);
  return reinterpret_cast<PyObject*>(g_type);
}

}  // namespace tamsel::python
