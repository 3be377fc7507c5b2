// What the classes of both modules share: the three texts of a construction
// bound and encoded alike, the check of self, the deallocation of an instance
// that owns one C++ value, and the text of a construction error.
#pragma once

#include "python/py_support.h"

#include <cstddef>
#include <optional>
#include <string_view>

#include "construction/construct.h"
#include "python/arguments.h"

namespace tamsel::python {

// The constructor's and load()'s parameters, in this order.
inline constexpr const char* kTextNames[] = {"schema_yaml", "policy_yaml", "governance_yaml"};

// The UTF-8 of the three texts, alive as long as this holder and the strs.
struct Texts {
  Utf8 schema;
  Utf8 policy;
  std::optional<Utf8> governance;  // left out or None: no governance document

  [[nodiscard]] std::optional<std::string_view> governance_text() const;
  [[nodiscard]] std::size_t bytes() const;
};

// Binds the arguments to kTextNames (governance optional) and encodes them;
// false with TypeError or the encoding error set.
[[nodiscard]] bool bind_texts(const char* full_name, PyObject* args, PyObject* kwargs,
                              Texts& texts);

// The C++ value that an instance of type owns, or null with TypeError set
// ("'T' object cannot be converted to 'NAME'") when self is none of type.
template <class Object>
auto* owned_by(PyObject* self, PyTypeObject* type, const char* name) {
  if (self == nullptr || !PyObject_TypeCheck(self, type)) {
    raise_conversion_error(self == nullptr ? Py_None : self, name);
    return static_cast<decltype(reinterpret_cast<Object*>(self)->owned)>(nullptr);
  }
  return reinterpret_cast<Object*>(self)->owned;
}

// Py_tp_dealloc of a heap type whose instances own one C++ value: deletes it,
// frees the instance and drops the instance's reference to its type.
template <class Object>
void dealloc_owner(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<Object*>(self)->owned;
  auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

// A new instance of type that owns value (taken), or null with the error set
// (the value is then deleted).
template <class Object, class Owned>
PyObject* new_owner(PyTypeObject* type, Owned* value) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) {
    delete value;
    return nullptr;
  }
  reinterpret_cast<Object*>(self)->owned = value;
  return self;
}

// A construction error's message as the ValueError carries it: a new str
// decoded with replacement, or null with the error set.
PyObject* construction_message(const ConstructionError& error);

}  // namespace tamsel::python
