#include "python/conversion.h"

#include <algorithm>
#include <memory>
#include <string_view>
#include <utility>

namespace tamsel::python {
namespace {

// A value converted for a slot, with what keeps its text alive.
struct Converted {
  InputValue value;
  Ref keeper;
};

// False with the error set: TypeError, unless an error that ends the call is set.
bool fail_unsupported() {
  if (discard_ordinary_error()) PyErr_SetString(PyExc_TypeError, "Unsupported value type");
  return false;
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

// A numpy boolean whose __bool__ gives a bool. Nothing, with an error
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

// Anything that converts to float; nothing, with an error left set only when
// it must end the call.
std::optional<double> as_number(PyObject* value) {
  const double number = PyFloat_AsDouble(value);
  if (number == -1.0 && PyErr_Occurred()) {
    discard_ordinary_error();
    return std::nullopt;
  }
  return number;
}

// The text of a str; false when it has no UTF-8 encoding.
bool as_text(PyObject* value, Converted* out) {
  Utf8 text;
  if (!text.encode(value)) {
    discard_ordinary_error();
    return false;
  }
  if (out != nullptr) *out = Converted{InputValue::of_text(text.view()), Utf8::keeper(value)};
  return true;
}

// Converts any value into *out (or only checks it, when out is null). False
// when it fits no rule, or with the error set when a hook's error ends the call.
bool convert_value(PyObject* value, Converted* out) {
  if (PyBool_Check(value)) {
    if (out != nullptr) out->value = InputValue::of_boolean(value == Py_True);
    return true;
  }
  // An exact str, float or int cannot be numpy's boolean, and a str is no number:
  // skipping those orders runs no Python code and changes no outcome.
  if (PyUnicode_CheckExact(value)) return as_text(value, out);
  const bool plain_number = PyFloat_CheckExact(value) || PyLong_CheckExact(value);
  if (!plain_number) {
    if (auto truth = numpy_bool(value)) {
      if (out != nullptr) out->value = InputValue::of_boolean(*truth);
      return true;
    }
    if (PyErr_Occurred()) return false;
  }
  if (auto number = as_number(value)) {
    if (out != nullptr) out->value = InputValue::of_number(*number);
    return true;
  }
  if (PyErr_Occurred()) return false;
  return PyUnicode_Check(value) && as_text(value, out);
}

// The slot of a field name, nothing for a field that no rule reads; false with
// an error set when the key is not a str or has no UTF-8 encoding.
bool slot_of_key(PyObject* key, const StrTable& table, std::optional<FieldSlot>& slot) {
  if (!PyUnicode_Check(key)) {
    raise_conversion_error(key, "PyString");
    return false;
  }
  Utf8 name;
  if (!name.encode(key)) return false;
  // By bytes: a str subclass's own __eq__ and __hash__ never run.
  if (auto index = table.find(name.view())) slot = FieldSlot{*index};
  return true;
}

// The general path for one entry: any key, any value.
bool convert_entry(PyObject* key, PyObject* value, const StrTable& table, CallInput& input) {
  std::optional<FieldSlot> slot;
  if (!slot_of_key(key, table, slot)) return false;
  Converted converted;
  if (!convert_value(value, slot ? &converted : nullptr)) return fail_unsupported();
  if (slot) input.set(*slot, converted.value, converted.keeper.release());
  return true;
}

// Failed: the error is set and ends the call.
enum class Plain : std::uint8_t { Done, Failed, NotPlain };

// The slot of an exact str key; false with the error set when it has no UTF-8
// encoding. utf8 is the interpreter's utf8_in_place(), not null.
bool plain_key_slot(PyObject* key, const StrTable& table, Utf8InPlace utf8,
                    std::optional<std::uint32_t>& slot) {
  // The table's own str was decoded from UTF-8: its encoding needs no check.
  slot = table.find_identical(key);
  if (slot) return true;
  Py_ssize_t size = 0;
  const char* name = utf8(key, &size);
  if (name == nullptr) return false;
  slot = table.find({name, static_cast<std::size_t>(size)});
  return true;
}

// The common entry, an exact str key with an exact str, int, bool or float
// value: no Python code can run, so nothing needs holding. Any other value is
// NotPlain, and the general path then looks at the key again, to the same end.
Plain convert_plain_entry(PyObject* key, PyObject* value, const StrTable& table, Utf8InPlace utf8,
                          CallInput& input) {
  if (!PyUnicode_CheckExact(key)) return Plain::NotPlain;
  std::optional<std::uint32_t> slot;
  if (!plain_key_slot(key, table, utf8, slot)) return Plain::Failed;
  PyTypeObject* const type = Py_TYPE(value);
  if (type == &PyUnicode_Type) {
    Py_ssize_t size = 0;
    const char* text = utf8(value, &size);
    if (text == nullptr) {
      fail_unsupported();
      return Plain::Failed;
    }
    if (slot) {
      Py_INCREF(value);
      input.set(FieldSlot{*slot}, InputValue::of_text({text, static_cast<std::size_t>(size)}),
                value);
    }
  } else if (type == &PyLong_Type) {
    // Checked even when no rule reads it: an int too large for a double fits no rule.
    const double number = PyLong_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) {
      fail_unsupported();
      return Plain::Failed;
    }
    if (slot) input.set(FieldSlot{*slot}, InputValue::of_number(number), nullptr);
  } else if (type == &PyBool_Type) {
    if (slot) input.set(FieldSlot{*slot}, InputValue::of_boolean(value == Py_True), nullptr);
  } else if (type == &PyFloat_Type) {
    if (slot) input.set(FieldSlot{*slot}, InputValue::of_number(PyFloat_AsDouble(value)), nullptr);
  } else {
    return Plain::NotPlain;
  }
  return Plain::Done;
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

// Walks every entry in dict order, checking each, keeping the fields that have a
// slot. ran_code is set once a value's own conversion code may have run.
bool convert_domain(PyObject* dict, const StrTable& table, CallInput& input, bool& ran_code) {
  if (!PyDict_Check(dict)) {
    raise_conversion_error(dict, "PyDict");
    return false;
  }
  Py_ssize_t position = 0;
  Py_ssize_t seen = 0;
  // Until a value's own code may have run, the dict cannot have changed, so
  // its size is first needed, and still the size at the start, then.
  std::optional<Py_ssize_t> size_at_start;
  const Utf8InPlace utf8 = utf8_in_place();
  PyObject* key = nullptr;    // borrowed from dict
  PyObject* value = nullptr;  // borrowed from dict
  while (!size_at_start || check_walk(dict, *size_at_start, seen)) {
    if (!PyDict_Next(dict, &position, &key, &value)) return true;
    ++seen;
    const Plain plain = convert_plain_entry(key, value, table, utf8, input);
    if (plain == Plain::Done) continue;
    if (plain == Plain::Failed) return false;
    if (!size_at_start) size_at_start = PyDict_Size(dict);
    ran_code = true;
    // A value's own conversion code may change the dict: hold the pair meanwhile.
    const Ref held_key = Ref::borrow(key);
    const Ref held_value = Ref::borrow(value);
    if (!convert_entry(key, value, table, input)) return false;
  }
  return false;
}

// The domain whose word an exact str key is, or kDomainCount for none. Keys
// written in Python code are the interned words themselves.
std::size_t domain_of_key(PyObject* key) {
  const auto& words = names().domain_keys;
  for (std::size_t d = 0; d < kDomainCount; ++d) {
    if (key == words[d]) return d;
  }
  // Two strs compare by their text and raise nothing.
  for (std::size_t d = 0; d < kDomainCount; ++d) {
    if (PyUnicode_Compare(key, words[d]) == 0) return d;
  }
  return kDomainCount;
}

// The domain dicts of an input of at most one entry a domain whose keys are
// all exact strs, found in one walk, which costs less than a lookup each; null
// where a domain is absent. False for any other input, which is then looked up
// by the dict's own rules (a key of another type may compare equal to a word).
bool domains_by_walk(PyObject* argument, std::array<PyObject*, kDomainCount>& walked) {
  Py_ssize_t position = 0;
  std::size_t seen = 0;
  PyObject* key = nullptr;    // borrowed from argument
  PyObject* value = nullptr;  // borrowed from argument
  while (PyDict_Next(argument, &position, &key, &value)) {
    if (++seen > kDomainCount || !PyUnicode_CheckExact(key)) return false;
    const std::size_t d = domain_of_key(key);
    if (d < kDomainCount) walked[d] = value;
  }
  return true;
}

std::vector<std::pair<std::string_view, std::uint32_t>> slot_entries(const EvaluationPlan& plan,
                                                                     Domain domain) {
  std::vector<std::pair<std::string_view, std::uint32_t>> entries;
  for (const auto& named : plan.slots(domain)) entries.emplace_back(named.name, named.slot.index);
  return entries;
}

std::vector<std::pair<std::string_view, std::uint32_t>> action_entries(const EvaluationPlan& plan) {
  std::vector<std::pair<std::string_view, std::uint32_t>> entries;
  const auto& actions = plan.action_names();
  for (std::size_t i = 0; i < actions.size(); ++i) {
    entries.emplace_back(actions[i], static_cast<std::uint32_t>(i));
  }
  return entries;
}

// The rule ids as strs; an id that does not decode stays empty and is decoded,
// failing the same way, when it decides.
bool build_rule_ids(const EvaluationPlan& plan, std::vector<Ref>& rule_ids) {
  rule_ids.resize(plan.rule_count());
  for (std::size_t rule = 0; rule < plan.rule_count(); ++rule) {
    const std::string_view id = plan.rule_id(static_cast<std::uint32_t>(rule));
    rule_ids[rule] =
        Ref::steal(PyUnicode_DecodeUTF8(id.data(), static_cast<Py_ssize_t>(id.size()), "strict"));
    if (!rule_ids[rule] && !discard_ordinary_error(PyExc_UnicodeDecodeError)) return false;
  }
  return true;
}

}  // namespace

bool build_plan_strs(const EvaluationPlan& plan, PlanStrs& strs) {
  for (std::size_t d = 0; d < kDomainCount; ++d) {
    if (!strs.slots[d].build(slot_entries(plan, kDomains[d].variant))) return false;
  }
  return strs.actions.build(action_entries(plan)) && build_rule_ids(plan, strs.rule_ids);
}

void CallInput::use_heap() {
  heap_values_ = std::make_unique<InputValue[]>(count_);
  heap_keepers_ = std::make_unique<PyObject*[]>(count_);
  values_ = heap_values_.get();
  keepers_ = heap_keepers_.get();
}

void CallInput::set(FieldSlot slot, InputValue value, PyObject* keeper) noexcept {
  values_[slot.index] = value;
  PyObject* old = keepers_[slot.index];
  keepers_[slot.index] = keeper;
  Py_XDECREF(old);
}

bool convert_input(PyObject* argument, const PlanStrs& strs, CallInput& input) {
  if (!PyDict_Check(argument)) {
    raise_conversion_error(argument, "PyDict", "input");
    return false;
  }
  std::array<PyObject*, kDomainCount> walked{};  // borrowed from argument
  const bool by_walk = domains_by_walk(argument, walked);
  bool ran_code = false;
  for (std::size_t d = 0; d < kDomainCount; ++d) {
    // Once code has run, the input may have changed: look the domain up afresh.
    PyObject* found = by_walk && !ran_code
                          ? walked[d]
                          : PyDict_GetItemWithError(argument, names().domain_keys[d]);
    if (found == nullptr) {
      if (PyErr_Occurred()) return false;
      continue;
    }
    // The domain dict is held while a value's conversion code might drop it from input.
    const Ref domain = Ref::borrow(found);
    if (!convert_domain(domain.get(), strs.slots[d], input, ran_code)) return false;
  }
  return true;
}

}  // namespace tamsel::python
