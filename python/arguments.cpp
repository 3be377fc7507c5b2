#include "python/arguments.h"

#include <cassert>
#include <string>
#include <vector>

namespace tamsel::python {
namespace {

const char* was_or_were(Py_ssize_t count) { return count == 1 ? "was" : "were"; }

void raise_too_many(const Parameters& p, Py_ssize_t given) {
  const auto most = static_cast<Py_ssize_t>(p.names.size());
  if (p.required == p.names.size()) {
    PyErr_Format(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", p.full_name,
                 most, given, was_or_were(given));
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                 p.full_name, static_cast<Py_ssize_t>(p.required), most, given, was_or_were(given));
  }
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'".
std::string list_names(const std::vector<std::string>& names) {
  const std::size_t count = names.size();
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0 && count > 2) text += ",";
    if (i > 0) text += i + 1 == count ? " and " : " ";
    text += "'" + names[i] + "'";
  }
  return text;
}

bool check_missing(const Parameters& p, std::span<PyObject*> bound) {
  std::vector<std::string> missing;
  for (std::size_t i = 0; i < p.required; ++i) {
    if (bound[i] == nullptr) missing.emplace_back(p.names[i]);
  }
  const std::size_t count = missing.size();
  if (count == 0) return true;
  const std::string message = std::string(p.full_name) + " missing " + std::to_string(count) +
                              " required positional argument" + (count == 1 ? "" : "s") + ": " +
                              list_names(missing);
  PyErr_SetString(PyExc_TypeError, message.c_str());
  return false;
}

// The index of the parameter named by a keyword, or names.size() for none.
std::size_t parameter_index(const Parameters& p, PyObject* keyword) {
  if (!PyUnicode_Check(keyword)) return p.names.size();
  for (std::size_t i = 0; i < p.names.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(keyword, p.names[i]) == 0) return i;
  }
  return p.names.size();
}

bool bind_keyword(const Parameters& p, PyObject* keyword, PyObject* value, Py_ssize_t positional,
                  std::span<PyObject*> bound) {
  const std::size_t index = parameter_index(p, keyword);
  if (index == p.names.size()) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", p.full_name,
                 keyword);
    return false;
  }
  if (static_cast<Py_ssize_t>(index) < positional) {
    PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", p.full_name,
                 p.names[index]);
    return false;
  }
  bound[index] = value;
  return true;
}

bool bind_keywords(const Parameters& p, PyObject* kwargs, Py_ssize_t positional,
                   std::span<PyObject*> bound) {
  Py_ssize_t position = 0;
  PyObject* keyword = nullptr;  // borrowed from kwargs
  PyObject* value = nullptr;    // borrowed from kwargs
  while (PyDict_Next(kwargs, &position, &keyword, &value)) {
    if (!bind_keyword(p, keyword, value, positional, bound)) return false;
  }
  return true;
}

// bound[i] = item(i) for each of the `given` positional arguments.
template <class Item>
bool fill_positional(const Parameters& p, Py_ssize_t given, std::span<PyObject*> bound, Item item) {
  if (given > static_cast<Py_ssize_t>(p.names.size())) {
    raise_too_many(p, given);
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) bound[static_cast<std::size_t>(i)] = item(i);
  return true;
}

}  // namespace

bool bind_arguments(const Parameters& parameters, PyObject* args, PyObject* kwargs,
                    std::span<PyObject*> bound) {
  assert(bound.size() == parameters.names.size());
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) return false;
  auto item = [args](Py_ssize_t i) { return PyTuple_GetItem(args, i); };  // borrowed from args
  if (!fill_positional(parameters, given, bound, item)) return false;
  // The common call, every parameter by position, leaves nothing to check.
  if (kwargs == nullptr && given == static_cast<Py_ssize_t>(parameters.names.size())) return true;
  if (kwargs != nullptr && !bind_keywords(parameters, kwargs, given, bound)) return false;
  return check_missing(parameters, bound);
}

bool bind_vector_arguments(const Parameters& parameters, PyObject* const* args, Py_ssize_t given,
                           PyObject* kwnames, std::span<PyObject*> bound) {
  assert(bound.size() == parameters.names.size());
  auto item = [args](Py_ssize_t i) { return args[i]; };  // borrowed from the caller
  if (!fill_positional(parameters, given, bound, item)) return false;
  if (kwnames == nullptr && given == static_cast<Py_ssize_t>(parameters.names.size())) return true;
  const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_Size(kwnames);
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    // args[given + k] is the value of the k-th keyword, borrowed from the caller.
    if (!bind_keyword(parameters, PyTuple_GetItem(kwnames, k), args[given + k], given, bound)) {
      return false;
    }
  }
  return check_missing(parameters, bound);
}

bool take_text(PyObject* argument, const char* name, Utf8& text) {
  if (!PyUnicode_Check(argument)) {
    raise_conversion_error(argument, "PyString", name);
    return false;
  }
  return text.encode(argument);
}

}  // namespace tamsel::python
