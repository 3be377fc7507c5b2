#include "python/py_support.h"

#include <cstdint>

#include <dlfcn.h>

namespace tamsel::python {

// PyUnicode_AsUTF8AndSize gives the str's own cached UTF-8 without copying. It
// joined the stable ABI only in 3.10, yet every CPython 3 exports it with this
// signature; it is looked up at run time so that the module keeps to the 3.9
// ABI, and the module does not load where it is not found.
Utf8InPlace detail::g_as_utf8_and_size = nullptr;
Names detail::g_names{};

namespace {
using detail::g_as_utf8_and_size;
using detail::g_names;

PyObject* g_panic = nullptr;  // strong reference, kept for the life of the process

bool intern(PyObject*& slot, std::string_view text) {
  if (slot == nullptr) {
    slot = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (slot != nullptr) PyUnicode_InternInPlace(&slot);  // new reference, kept
  }
  return slot != nullptr;
}

// One str per word of Enum's vocabulary, in its declared order.
template <class Enum, std::size_t N>
bool intern_words(PyObject* (&slots)[N]) {
  static_assert(N == vocabulary(Enum{}).size());
  for (std::size_t i = 0; i < N; ++i) {
    if (!intern(slots[i], vocabulary(Enum{})[i].word)) return false;
  }
  return true;
}

// The qualified name of the object's type as a new str; null when it cannot be
// read, with an error left set only when that error ends the call.
Ref type_qualname(PyObject* object) {
  Ref name = Ref::steal(
      PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(object)), g_names.dunder_qualname));
  if (!name) {
    discard_ordinary_error();
    return {};
  }
  return PyUnicode_Check(name.get()) ? std::move(name) : Ref();
}

}  // namespace

bool discard_ordinary_error(PyObject* kind) noexcept {
  if (PyErr_Occurred() == nullptr) return true;
  if (!PyErr_ExceptionMatches(kind) || PyErr_ExceptionMatches(PyExc_MemoryError)) return false;
  PyErr_Clear();
  return true;
}

bool Utf8::encode(PyObject* text) {
  Py_ssize_t size = 0;
  const char* data = g_as_utf8_and_size(text, &size);  // owned by text
  if (data == nullptr) return false;
  view_ = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool init_names() {
  // dlsym gives a symbol's address as void*.
  g_as_utf8_and_size =
      reinterpret_cast<Utf8InPlace>(dlsym(RTLD_DEFAULT, "PyUnicode_AsUTF8AndSize"));
  if (g_as_utf8_and_size == nullptr) {
    PyErr_SetString(PyExc_ImportError,
                    "tamsel cannot be loaded here: the interpreter lacks PyUnicode_AsUTF8AndSize");
    return false;
  }
  Names& n = g_names;
  return intern_words<Domain>(n.domain_keys) && intern(n.effect, "effect") &&
         intern(n.matched_rule, "matched_rule") && intern_words<Effect>(n.effect_words) &&
         intern(n.dunder_module, "__module__") && intern(n.dunder_name, "__name__") &&
         intern(n.dunder_qualname, "__qualname__") && intern(n.dunder_bool, "__bool__") &&
         intern(n.dunder_get, "__get__") && intern(n.dunder_all, "__all__");
}

void raise_panic(const char* message) noexcept {
  if (g_panic == nullptr) {
    g_panic = PyErr_NewExceptionWithDoc("tamsel.PanicException",
                                        "An internal invariant of tamsel was broken.",
                                        PyExc_BaseException, nullptr);
    if (g_panic == nullptr) return;  // the creation's own error stays set
  }
  PyErr_SetString(g_panic, message);
}

void raise_conversion_error(PyObject* object, const char* target, const char* argument) noexcept {
  Ref name = type_qualname(object);
  if (!name && PyErr_Occurred() != nullptr) return;
  Ref shown =
      name ? std::move(name) : Ref::steal(PyUnicode_FromString("<failed to extract type name>"));
  if (!shown) return;
  Ref message = argument != nullptr
                    ? Ref::steal(PyUnicode_FromFormat(
                          "argument '%s': '%U' object cannot be converted to '%s'", argument,
                          shown.get(), target))
                    : Ref::steal(PyUnicode_FromFormat("'%U' object cannot be converted to '%s'",
                                                      shown.get(), target));
  if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

// CPython numbers its main interpreter 0.
constexpr std::int64_t kMainInterpreterId = 0;

PyObject* main_interpreter_module(PyObject*& cache, const char* module, PyObject* (*create)()) {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1 && PyErr_Occurred()) return nullptr;
  if (interpreter != kMainInterpreterId) {
    PyErr_Format(PyExc_ImportError, "%s cannot be loaded here: sub-interpreters are not supported",
                 module);
    return nullptr;
  }
  if (cache == nullptr) {
    cache = create();
    if (cache == nullptr) return nullptr;
  }
  Py_INCREF(cache);
  return cache;  // a new reference for the caller; cache keeps its own
}

}  // namespace tamsel::python
