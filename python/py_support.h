// Small helpers over the interpreter's limited API: owned references, UTF-8
// access, interned names, the conversion message and the C++ exception barrier.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <string_view>

#include "common/vocabulary.h"

namespace tamsel::python {

// One strong reference, released when the holder ends.
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (null allowed: then the Ref is empty).
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  // Adds a reference of its own to a borrowed object (null allowed).
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref old(object_);
    object_ = other.release();
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  [[nodiscard]] PyObject* get() const noexcept { return object_; }
  // Hands the reference to the caller.
  [[nodiscard]] PyObject* release() noexcept {
    PyObject* object = object_;
    object_ = nullptr;
    return object;
  }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// The interpreter's function that gives a str's own cached UTF-8 without a copy
// (null with the encoding error set when it has none: a lone surrogate). Every
// CPython 3 exports it, though the 3.9 limited API does not declare it, so it
// is looked up when the module loads, and loading fails without it.
using Utf8InPlace = const char* (*)(PyObject* text, Py_ssize_t* size);

// The UTF-8 encoding of a str, alive as long as this holder and the str. The
// one place where text leaves the interpreter.
class Utf8 {
 public:
  // False with the interpreter's encoding error set when the str has none
  // (a lone surrogate). text must be a str or a subclass of it.
  [[nodiscard]] bool encode(PyObject* text);
  [[nodiscard]] std::string_view view() const noexcept { return view_; }
  // A reference to what keeps view() alive: the str itself.
  [[nodiscard]] static Ref keeper(PyObject* text) noexcept { return Ref::borrow(text); }

 private:
  std::string_view view_;
};

// Interned strings kept for the life of the process; set up by init_names().
struct Names {
  PyObject* domain_keys[kDomains.size()];  // the input's keys: the domain words, in Domain order
  PyObject* effect;
  PyObject* matched_rule;
  PyObject* effect_words[kEffects.size()];  // the result's effect values, in Effect order
  PyObject* dunder_module;
  PyObject* dunder_name;
  PyObject* dunder_qualname;
  PyObject* dunder_bool;
  PyObject* dunder_get;
  PyObject* dunder_all;
};
[[nodiscard]] bool init_names();

namespace detail {
// Set once by init_names(), read-only afterwards; inline readers below, since
// every evaluate reads them several times.
extern Utf8InPlace g_as_utf8_and_size;
extern Names g_names;
}  // namespace detail

inline Utf8InPlace utf8_in_place() noexcept { return detail::g_as_utf8_and_size; }
inline const Names& names() noexcept { return detail::g_names; }

// The one rule for an error raised by Python code that the binding ran (a
// value's hook, a type's __qualname__): an ordinary error, one of kind (an
// Exception class) and no MemoryError, is cleared so that the caller can fall
// back; an interrupt, SystemExit, MemoryError or any other error stays set and
// ends the call. True when no error is left set.
bool discard_ordinary_error(PyObject* kind = PyExc_Exception) noexcept;

// Raises PanicException, the error of a broken internal invariant.
void raise_panic(const char* message) noexcept;

// A module's object, made by create once per process, in the main interpreter
// only: a module keeps process-wide state (types, interned names), so which
// interpreter asks first must not matter. cache keeps a strong reference for
// the life of the process; the result is a new reference, or null with the
// error set (ImportError naming module in a sub-interpreter).
PyObject* main_interpreter_module(PyObject*& cache, const char* module, PyObject* (*create)());

// Raises TypeError "'T' object cannot be converted to 'TARGET'", prefixed by
// "argument 'ARGUMENT': " when argument is not null.
void raise_conversion_error(PyObject* object, const char* target,
                            const char* argument = nullptr) noexcept;

// Runs body and keeps every C++ exception out of the interpreter: bad_alloc
// becomes MemoryError, anything else PanicException; then failure is returned.
template <class Body, class Result>
Result guarded(Body&& body, Result failure) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_panic(error.what());
  } catch (...) {
    raise_panic("unexpected C++ exception");
  }
  return failure;
}

}  // namespace tamsel::python
