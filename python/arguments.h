// Binding of positional and keyword arguments to named parameters, with the
// interpreter-style TypeError texts.
#pragma once

#include "python/py_support.h"

#include <span>

namespace tamsel::python {

struct Parameters {
  const char* full_name;               // e.g. "PyTamsel.__new__()"
  std::span<const char* const> names;  // in positional order
  std::size_t required;                // the first `required` names must be given
};

// Fills bound[i] with a borrowed reference to the argument of names[i], or null
// when it was not given. False with TypeError set when the call does not fit.
[[nodiscard]] bool bind_arguments(const Parameters& parameters, PyObject* args, PyObject* kwargs,
                                  std::span<PyObject*> bound);

// The same for a vectorcall: `given` positional values in args, followed by one
// value for each keyword named in kwnames (a tuple, or null for none).
[[nodiscard]] bool bind_vector_arguments(const Parameters& parameters, PyObject* const* args,
                                         Py_ssize_t given, PyObject* kwnames,
                                         std::span<PyObject*> bound);

// Takes the UTF-8 text of a str argument; false with TypeError (not a str) or
// the encoding error set.
[[nodiscard]] bool take_text(PyObject* argument, const char* name, Utf8& text);

}  // namespace tamsel::python
