#include "python/conversion.h"

#include <string>
#include <utility>

namespace tamsel::python {
namespace {

constexpr Domain kDomains[kDomainCount] = {Domain::Action, Domain::Actor, Domain::Snapshot};

bool build_domain_names(const std::vector<std::string>& names, Ref& dict) {
  dict = Ref::steal(PyDict_New());
  if (!dict) return false;
  for (std::size_t index = 0; index < names.size(); ++index) {
    Ref name = Ref::steal(PyUnicode_DecodeUTF8(
        names[index].data(), static_cast<Py_ssize_t>(names[index].size()), "strict"));
    if (!name) {
      // Names come from UTF-8 documents; should one not decode, its key is still
      // found by bytes, only more slowly.
      if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return false;
      PyErr_Clear();
      continue;
    }
    PyObject* interned = name.release();
    PyUnicode_InternInPlace(&interned);  // consumes and returns a reference
    name = Ref::steal(interned);
    Ref slot = Ref::steal(PyLong_FromSize_t(index));
    if (!slot || PyDict_SetItem(dict.get(), name.get(), slot.get()) < 0) return false;
  }
  return true;
}

// A failed attempt's ordinary error (an Exception other than MemoryError) is
// dropped so that the next order can be tried; an interrupt, SystemExit, any
// other BaseException and MemoryError stay set and end the call. True when no
// error is left set.
bool discard_ordinary_error() {
  if (PyErr_Occurred() == nullptr) return true;
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
    return false;
  }
  PyErr_Clear();
  return true;
}

// The type of numpy's boolean scalar: "numpy.bool_" before numpy 2, "numpy.bool" since.
bool is_numpy_bool_type(PyObject* type) {
  Ref module = Ref::steal(PyObject_GetAttr(type, names().dunder_module));
  if (!module || !PyUnicode_Check(module.get()) ||
      PyUnicode_CompareWithASCIIString(module.get(), "numpy") != 0) {
    return false;
  }
  Ref name = Ref::steal(PyObject_GetAttr(type, names().dunder_name));
  return name && PyUnicode_Check(name.get()) &&
         (PyUnicode_CompareWithASCIIString(name.get(), "bool_") == 0 ||
          PyUnicode_CompareWithASCIIString(name.get(), "bool") == 0);
}

// The type's __bool__, bound to the value the way special methods are bound.
Ref bound_bool_method(PyObject* value, PyObject* type) {
  Ref method = Ref::steal(PyObject_GetAttr(type, names().dunder_bool));
  if (!method) return {};
  Ref getter = Ref::steal(
      PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(method.get())), names().dunder_get));
  if (!getter) {
    if (!discard_ordinary_error()) return {};
    return method;  // not a descriptor: call it as it is
  }
  return Ref::steal(PyObject_CallFunctionObjArgs(getter.get(), method.get(), value, type, nullptr));
}

// Order 2: a numpy boolean whose __bool__ gives a bool. Nothing, with an error
// left set only when it must end the call (see discard_ordinary_error).
std::optional<bool> numpy_bool(PyObject* value) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(value));  // borrowed from value
  std::optional<bool> truth;
  if (is_numpy_bool_type(type)) {
    Ref method = bound_bool_method(value, type);
    Ref result = method ? Ref::steal(PyObject_CallObject(method.get(), nullptr)) : Ref();
    if (result && PyBool_Check(result.get())) truth = result.get() == Py_True;
  }
  discard_ordinary_error();
  return truth;
}

// Order 3; nothing, with an error left set only when it must end the call.
std::optional<double> as_number(PyObject* value) {
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) {
    discard_ordinary_error();
    return std::nullopt;
  }
  return number;
}

// Order 4: the text of a str; false when it has no UTF-8 encoding.
bool as_text(PyObject* value, FieldValue* out) {
  Utf8 text;
  if (!text.encode(value)) {
    discard_ordinary_error();
    return false;
  }
  if (out != nullptr) *out = std::string(text.view());
  return true;
}

// Converts one value into *out (or only checks it, when out is null). False
// when it fits no rule, or with the error set when a hook's error ends the call.
bool convert_value(PyObject* value, FieldValue* out) {
  if (PyBool_Check(value)) {
    if (out != nullptr) *out = value == Py_True;
    return true;
  }
  // An exact str, float or int cannot be numpy's boolean, and a str is no number:
  // skipping those orders runs no Python code and changes no outcome.
  if (PyUnicode_CheckExact(value)) return as_text(value, out);
  // An exact float always converts: one that no rule reads needs no copy.
  if (out == nullptr && PyFloat_CheckExact(value)) return true;
  const bool plain_number = PyFloat_CheckExact(value) || PyLong_CheckExact(value);
  if (!plain_number) {
    if (auto truth = numpy_bool(value)) {
      if (out != nullptr) *out = *truth;
      return true;
    }
    if (PyErr_Occurred()) return false;
  }
  if (auto number = as_number(value)) {
    if (out != nullptr) *out = *number;
    return true;
  }
  if (PyErr_Occurred()) return false;
  return PyUnicode_Check(value) && as_text(value, out);
}

// The slot of a field name, nothing for a field that no rule reads; false with
// an error set when the key is not a str or has no UTF-8 encoding.
bool slot_of_key(PyObject* key, Domain domain, const EvaluationPlan& plan, PyObject* slot_names,
                 std::optional<FieldSlot>& slot) {
  if (!PyUnicode_Check(key)) {
    raise_conversion_error(key, "PyString");
    return false;
  }
  if (PyUnicode_CheckExact(key)) {
    // An exact str compares with the exact str names without running Python code.
    PyObject* index = PyDict_GetItemWithError(slot_names, key);  // borrowed
    if (index != nullptr) {
      slot = FieldSlot{domain, static_cast<std::uint32_t>(PyLong_AsSize_t(index))};
      return true;
    }
    if (PyErr_Occurred()) return false;
    // Not a slot name: only its encoding needs checking.
    Utf8 name;
    return name.encode(key);
  }
  // A str subclass is compared by its bytes, so its own __eq__ and __hash__ never run.
  Utf8 name;
  if (!name.encode(key)) return false;
  slot = plan.slot_of(domain, name.view());
  return true;
}

bool check_walk(PyObject* dict, Py_ssize_t size_at_start, Py_ssize_t seen) {
  if (PyDict_Size(dict) != size_at_start) {
    PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
    return false;
  }
  if (seen > size_at_start) {
    PyErr_SetString(PyExc_RuntimeError, "dictionary keys changed during iteration");
    return false;
  }
  return true;
}

bool convert_entry(PyObject* key, PyObject* value, Domain domain, const EvaluationPlan& plan,
                   PyObject* slot_names, EvaluationInput& input) {
  std::optional<FieldSlot> slot;
  if (!slot_of_key(key, domain, plan, slot_names, slot)) return false;
  FieldValue converted;
  if (!convert_value(value, slot ? &converted : nullptr)) {
    if (PyErr_Occurred()) return false;
    PyErr_SetString(PyExc_TypeError, "Unsupported value type");
    return false;
  }
  if (slot) input.set(*slot, std::move(converted));
  return true;
}

// Walks every entry in dict order, checking each, keeping the fields that have a slot.
bool convert_domain(PyObject* dict, Domain domain, const EvaluationPlan& plan, PyObject* slot_names,
                    EvaluationInput& input) {
  if (!PyDict_Check(dict)) {
    raise_conversion_error(dict, "PyDict");
    return false;
  }
  const Py_ssize_t size_at_start = PyDict_Size(dict);
  Py_ssize_t position = 0;
  Py_ssize_t seen = 0;
  PyObject* key = nullptr;    // borrowed from dict
  PyObject* value = nullptr;  // borrowed from dict
  while (check_walk(dict, size_at_start, seen)) {
    if (!PyDict_Next(dict, &position, &key, &value)) return true;
    ++seen;
    // A value's own conversion code may change the dict: hold the pair meanwhile.
    const Ref held_key = Ref::borrow(key);
    const Ref held_value = Ref::borrow(value);
    if (!convert_entry(key, value, domain, plan, slot_names, input)) return false;
  }
  return false;
}

}  // namespace

bool build_slot_names(const EvaluationPlan& plan, SlotNames& slot_names) {
  for (std::size_t d = 0; d < kDomainCount; ++d) {
    if (!build_domain_names(plan.slot_names(kDomains[d]), slot_names[d])) return false;
  }
  return true;
}

std::optional<EvaluationInput> convert_input(PyObject* input, const EvaluationPlan& plan,
                                             const SlotNames& slot_names) {
  if (!PyDict_Check(input)) {
    raise_conversion_error(input, "PyDict", "input");
    return std::nullopt;
  }
  EvaluationInput converted = plan.make_input();
  PyObject* const keys[kDomainCount] = {names().action, names().actor, names().snapshot};
  for (std::size_t d = 0; d < kDomainCount; ++d) {
    // The domain dict is held while a value's conversion code might drop it from input.
    const Ref domain = Ref::borrow(PyDict_GetItemWithError(input, keys[d]));
    if (!domain) {
      if (PyErr_Occurred()) return std::nullopt;
      continue;
    }
    if (!convert_domain(domain.get(), kDomains[d], plan, slot_names[d].get(), converted)) {
      return std::nullopt;
    }
  }
  return converted;
}

}  // namespace tamsel::python
