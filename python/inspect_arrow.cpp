#include "python/inspect_arrow.h"

#include <array>
#include <memory>
#include <string>
#include <utility>

#include "columns/message_text.h"
#include "python/arguments.h"
#include "python/owner.h"

namespace tamsel::python {
namespace {

constexpr const char* kStreamCapsule = "arrow_array_stream";
constexpr const char* kSchemaCapsule = "arrow_schema";
constexpr const char* kArrayCapsule = "arrow_array";

// The C structs taken out of the producer's capsules; released, with the
// interpreter lock held (a producer's release may touch Python objects), when
// the call ends.
struct TakenArrow {
  ArrowArrayStream stream{};
  ArrowSchema schema{};
  ArrowArray array{};
  TakenArrow() = default;
  TakenArrow(const TakenArrow&) = delete;
  TakenArrow& operator=(const TakenArrow&) = delete;
  ~TakenArrow() {
    if (stream.release != nullptr) stream.release(&stream);
    if (array.release != nullptr) array.release(&array);
    if (schema.release != nullptr) schema.release(&schema);
  }
};

// Moves the struct out of a capsule, as the interface has consumers do: the
// capsule's own is left released, so its destructor frees nothing.
template <class Struct>
bool take(PyObject* capsule, const char* name, Struct& out) {
  auto* given = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
  if (given == nullptr) return false;
  if (given->release == nullptr) {
    PyErr_SetString(PyExc_ValueError, "the Arrow data was already released");
    return false;
  }
  out = *given;
  given->release = nullptr;
  return true;
}

// data.NAME(), or an empty Ref with no error set when data has no such method.
Ref call_if_present(PyObject* data, const char* name) {
  Ref method = Ref::steal(PyObject_GetAttrString(data, name));
  if (!method) {
    if (PyErr_ExceptionMatches(PyExc_AttributeError) != 0) PyErr_Clear();
    return {};
  }
  return Ref::steal(PyObject_CallObject(method.get(), nullptr));
}

// True with taken.stream set, or taken.schema and taken.array set.
bool take_arrow(PyObject* data, TakenArrow& taken) {
  if (Ref capsule = call_if_present(data, "__arrow_c_stream__")) {
    return take(capsule.get(), kStreamCapsule, taken.stream);
  }
  if (PyErr_Occurred() != nullptr) return false;
  Ref pair = call_if_present(data, "__arrow_c_array__");
  if (!pair) {
    if (PyErr_Occurred() == nullptr) raise_conversion_error(data, "Arrow data", "data");
    return false;
  }
  if (!PyTuple_Check(pair.get()) || PyTuple_Size(pair.get()) != 2) {
    PyErr_SetString(PyExc_ValueError, "__arrow_c_array__() must return two capsules");
    return false;
  }
  return take(PyTuple_GetItem(pair.get(), 0), kSchemaCapsule, taken.schema) &&
         take(PyTuple_GetItem(pair.get(), 1), kArrayCapsule, taken.array);
}

// Releases the interpreter lock for its life.
class LockReleased {
 public:
  LockReleased() : saved_(PyEval_SaveThread()) {}
  LockReleased(const LockReleased&) = delete;
  LockReleased& operator=(const LockReleased&) = delete;
  ~LockReleased() { PyEval_RestoreThread(saved_); }

 private:
  PyThreadState* saved_;
};

// Adds the decisions of one batch; false with ValueError set.
bool evaluate_batch(const BatchEvaluator& evaluator, const ArrowSchema& schema,
                    const ArrowArray& batch, DecisionBatches& out) {
  std::optional<Expected<DecisionBatches, std::string>> decided;
  {
    LockReleased released;
    decided.emplace(evaluator.evaluate(schema, batch));
  }
  if (!*decided) {
    PyErr_SetString(PyExc_ValueError, decided->error().c_str());
    return false;
  }
  for (auto& part : **decided) out.push_back(std::move(part));
  return true;
}

void raise_stream_error(ArrowArrayStream& stream, int code) {
  const char* text = stream.get_last_error(&stream);
  const std::string why =
      text != nullptr ? std::string(text) : cat({"error ", std::to_string(code)});
  PyErr_SetString(PyExc_ValueError, cat({"the Arrow stream failed: ", why}).c_str());
}

bool evaluate_stream(const BatchEvaluator& evaluator, ArrowArrayStream& stream,
                     DecisionBatches& out) {
  TakenArrow schema_holder;
  ArrowSchema& schema = schema_holder.schema;
  if (const int code = stream.get_schema(&stream, &schema); code != 0) {
    raise_stream_error(stream, code);
    return false;
  }
  for (;;) {
    TakenArrow batch_holder;
    ArrowArray& batch = batch_holder.array;
    if (const int code = stream.get_next(&stream, &batch); code != 0) {
      raise_stream_error(stream, code);
      return false;
    }
    if (batch.release == nullptr) return true;  // the end
    if (!evaluate_batch(evaluator, schema, batch, out)) return false;
  }
}

// ---- DecisionColumns ----

struct Decided {
  DecisionBatches batches;
  std::int64_t records = 0;
};

struct DecisionColumnsObject {
  PyObject ob_base;
  Decided* owned;  // set once when made
};

PyTypeObject* g_decision_columns_type = nullptr;  // strong reference, for the life of the process

constexpr const char* kStreamNames[] = {"requested_schema"};
constexpr Parameters kStreamParameters{"DecisionColumns.__arrow_c_stream__()", kStreamNames, 0};

const Decided* checked_decisions(PyObject* self) {
  return owned_by<DecisionColumnsObject>(self, g_decision_columns_type, "DecisionColumns");
}

void release_stream_capsule(PyObject* capsule) {
  auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, kStreamCapsule));
  if (stream == nullptr) {
    PyErr_Clear();
    return;
  }
  if (stream->release != nullptr) stream->release(stream);
  delete stream;
}

// A fresh stream of the decisions for each call; every one shares the same buffers.
PyObject* decisions_stream(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded(
      [&]() -> PyObject* {
        std::array<PyObject*, 1> bound{};  // borrowed; a requested schema is not followed
        if (!bind_arguments(kStreamParameters, args, kwargs, bound)) return nullptr;
        const Decided* decided = checked_decisions(self);
        if (decided == nullptr) return nullptr;
        auto stream = std::make_unique<ArrowArrayStream>();
        export_decision_stream(decided->batches, stream.get());
        PyObject* capsule = PyCapsule_New(stream.get(), kStreamCapsule, release_stream_capsule);
        if (capsule == nullptr) {
          stream->release(stream.get());
          return nullptr;
        }
        static_cast<void>(stream.release());  // the capsule owns it now
        return capsule;
      },
      static_cast<PyObject*>(nullptr));
}

Py_ssize_t decisions_length(PyObject* self) {
  const Decided* decided = checked_decisions(self);
  return decided != nullptr ? static_cast<Py_ssize_t>(decided->records) : -1;
}

PyObject* decisions_new(PyTypeObject* /*type*/, PyObject* /*args*/, PyObject* /*kwargs*/) {
  PyErr_SetString(PyExc_TypeError, "DecisionColumns objects are made by Compiled.evaluate_arrow()");
  return nullptr;
}

PyMethodDef g_decision_methods[] = {
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(decisions_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__($self, requested_schema=None)\n--\n\n"
     "The decisions as an Arrow stream capsule of struct batches (effect, matched_rule, "
     "error);\na requested schema is not followed."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_decision_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(decisions_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_owner<DecisionColumnsObject>)},
    {Py_mp_length, reinterpret_cast<void*>(decisions_length)},
    {Py_tp_doc, const_cast<char*>("The decisions of a batch of records, in order: effect, "
                                  "matched_rule and error, as Arrow data.")},
    {Py_tp_methods, g_decision_methods},
    {0, nullptr},
};

PyType_Spec g_decision_spec = {"tamsel_tools._inspect.DecisionColumns",
                               sizeof(DecisionColumnsObject), 0, Py_TPFLAGS_DEFAULT,
                               g_decision_slots};

// ---- JSON lines ----

template <class Struct>
void release_capsule(PyObject* capsule, const char* name) {
  auto* held = static_cast<Struct*>(PyCapsule_GetPointer(capsule, name));
  if (held == nullptr) {
    PyErr_Clear();
    return;
  }
  if (held->release != nullptr) held->release(held);  // not imported
  delete held;
}

void release_schema_capsule(PyObject* capsule) {
  release_capsule<ArrowSchema>(capsule, kSchemaCapsule);
}
void release_array_capsule(PyObject* capsule) {
  release_capsule<ArrowArray>(capsule, kArrayCapsule);
}

// A capsule owning out; out released when the capsule cannot be made.
template <class Struct>
Ref capsule_of(std::unique_ptr<Struct> out, const char* name, PyCapsule_Destructor release) {
  Ref capsule = Ref::steal(PyCapsule_New(out.get(), name, release));
  if (!capsule) {
    out->release(out.get());
    return {};
  }
  static_cast<void>(out.release());  // the capsule owns it now
  return capsule;
}

bool take_count(PyObject* value, const char* name, std::int64_t& out) {
  out = PyLong_Check(value) ? PyLong_AsLongLong(value) : -1;
  if (out < 0) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_Format(PyExc_ValueError, "%s must be an int of at least 0", name);
    }
    return false;
  }
  return true;
}

}  // namespace

PyObject* read_json_lines_bound(PyObject* block, PyObject* max_bytes, PyObject* max_values,
                                PyObject* absent_hash, PyObject* size) {
  if (!PyBytes_Check(block)) {
    raise_conversion_error(block, "PyBytes", "block");
    return nullptr;
  }
  JsonLinesLimits limits;
  if (!take_count(max_bytes, "max_bytes", limits.max_bytes) ||
      !take_count(max_values, "max_values", limits.max_values)) {
    return nullptr;
  }
  std::optional<std::string> hash;
  if (absent_hash != nullptr && absent_hash != Py_None) {
    Utf8 text;
    if (!take_text(absent_hash, "absent_hash", text)) return nullptr;
    hash.emplace(text.view());
  }
  // The bytes object is immutable and held by the caller for the call.
  char* data = nullptr;
  Py_ssize_t length = 0;
  if (PyBytes_AsStringAndSize(block, &data, &length) < 0) return nullptr;
  std::int64_t read_size = length;
  if (size != nullptr && size != Py_None) {
    if (!take_count(size, "size", read_size)) return nullptr;
    if (read_size > length) {
      PyErr_SetString(PyExc_ValueError, "size is past the end of the block");
      return nullptr;
    }
  }
  const std::string_view text(data, static_cast<std::size_t>(read_size));
  std::optional<JsonLinesBlock> read;
  {
    LockReleased released;
    read = read_json_lines(text, limits, hash);
  }
  if (!read) Py_RETURN_NONE;
  auto schema = std::make_unique<ArrowSchema>();
  auto array = std::make_unique<ArrowArray>();
  export_columns(read->columns, schema.get(), array.get());
  Ref schema_capsule = capsule_of(std::move(schema), kSchemaCapsule, release_schema_capsule);
  if (!schema_capsule) {
    array->release(array.get());
    return nullptr;
  }
  Ref array_capsule = capsule_of(std::move(array), kArrayCapsule, release_array_capsule);
  if (!array_capsule) return nullptr;
  return Py_BuildValue("(OOLLL)", schema_capsule.get(), array_capsule.get(),
                       static_cast<long long>(read->lines), static_cast<long long>(read->odd_times),
                       static_cast<long long>(read->bad_outcomes));
}

bool add_decision_columns_type(PyObject* module) {
  if (g_decision_columns_type == nullptr) {
    g_decision_columns_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&g_decision_spec));
    if (g_decision_columns_type == nullptr) return false;
  }
  // PyModule_AddObject steals the reference only when it succeeds.
  Py_INCREF(g_decision_columns_type);
  if (PyModule_AddObject(module, "DecisionColumns",
                         reinterpret_cast<PyObject*>(g_decision_columns_type)) < 0) {
    Py_DECREF(g_decision_columns_type);
    return false;
  }
  return true;
}

PyObject* evaluate_arrow(const BatchEvaluator& evaluator, PyObject* data) {
  TakenArrow taken;
  if (!take_arrow(data, taken)) return nullptr;
  auto decided = std::make_unique<Decided>();
  const bool done = taken.stream.release != nullptr
                        ? evaluate_stream(evaluator, taken.stream, decided->batches)
                        : evaluate_batch(evaluator, taken.schema, taken.array, decided->batches);
  if (!done) return nullptr;
  if (decided->batches.empty()) decided->batches = DecisionBuilder().finish();
  for (const auto& batch : decided->batches) decided->records += batch->length;
  return new_owner<DecisionColumnsObject>(g_decision_columns_type, decided.release());
}

}  // namespace tamsel::python
