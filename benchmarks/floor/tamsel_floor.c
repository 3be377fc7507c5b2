/* The floor for evaluate(): the least work any extension must do with the same
 * input. It looks up the three domain dicts, walks every entry checking that
 * the key is a str and the value a bool, float, int or str, checks that every
 * str key and str value has a UTF-8 encoding (PyUnicode_AsUTF8AndSize, which
 * evaluate() must call too), and returns a new two-entry result dict. It reads
 * no policy, converts no number, copies nothing, runs no conversion hook and
 * does not guard against a dict changed during the walk. */
#define Py_LIMITED_API 0x030A0000
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyObject *key_action, *key_actor, *key_snapshot;
static PyObject *key_effect, *key_matched_rule, *word_allow;

/* Exact types first: they are what real input holds, and Py_IS_TYPE is a
 * pointer compare, while the subclass checks call into the interpreter. */
static int is_str(PyObject* o) { return Py_IS_TYPE(o, &PyUnicode_Type) || PyUnicode_Check(o); }

/* 0 when the str has a UTF-8 encoding, -1 with the encoding error set. */
static int check_utf8(PyObject* text) {
  Py_ssize_t size;
  return PyUnicode_AsUTF8AndSize(text, &size) == NULL ? -1 : 0;
}

static int is_field_value(PyObject* v) {
  PyTypeObject* t = Py_TYPE(v);
  if (t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type || t == &PyBool_Type) {
    return 1;
  }
  return PyUnicode_Check(v) || PyLong_Check(v) || PyFloat_Check(v);
}

/* 0 on success, -1 with an exception set. */
static int walk_domain(PyObject* input, PyObject* key) {
  PyObject* domain = PyDict_GetItemWithError(input, key); /* borrowed */
  if (domain == NULL) {
    return PyErr_Occurred() ? -1 : 0;
  }
  if (!PyDict_Check(domain)) {
    PyErr_SetString(PyExc_TypeError, "a domain is not a dict");
    return -1;
  }
  Py_ssize_t pos = 0;
  PyObject *name, *value; /* borrowed */
  while (PyDict_Next(domain, &pos, &name, &value)) {
    if (!is_str(name)) {
      PyErr_SetString(PyExc_TypeError, "a field name is not a str");
      return -1;
    }
    if (check_utf8(name) < 0) {
      return -1;
    }
    if (!is_field_value(value)) {
      PyErr_SetString(PyExc_TypeError, "Unsupported value type");
      return -1;
    }
    if (is_str(value) && check_utf8(value) < 0) {
      return -1;
    }
  }
  return 0;
}

static PyObject* walk(PyObject* module, PyObject* input) {
  (void)module;
  if (!PyDict_Check(input)) {
    PyErr_SetString(PyExc_TypeError, "input is not a dict");
    return NULL;
  }
  if (walk_domain(input, key_action) < 0 || walk_domain(input, key_actor) < 0 ||
      walk_domain(input, key_snapshot) < 0) {
    return NULL;
  }
  PyObject* result = PyDict_New(); /* owned, returned */
  if (result == NULL) {
    return NULL;
  }
  if (PyDict_SetItem(result, key_effect, word_allow) < 0 ||
      PyDict_SetItem(result, key_matched_rule, Py_None) < 0) {
    Py_DECREF(result);
    return NULL;
  }
  return result;
}

static PyMethodDef methods[] = {
    {"walk", walk, METH_O, "walk(input)\n--\n\nWalk the input as evaluate() must; answer allow."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tamsel_floor",
    "The least work of an evaluate() call.",
    -1,
    methods,
    NULL,
    NULL,
    NULL,
    NULL,
};

static PyObject* interned(const char* text) { return PyUnicode_InternFromString(text); }

PyMODINIT_FUNC PyInit_tamsel_floor(void) {
  /* Kept for the life of the process, like the interned keys of any module. */
  key_action = interned("action");
  key_actor = interned("actor");
  key_snapshot = interned("snapshot");
  key_effect = interned("effect");
  key_matched_rule = interned("matched_rule");
  word_allow = interned("allow");
  if (!key_action || !key_actor || !key_snapshot || !key_effect || !key_matched_rule ||
      !word_allow) {
    return NULL;
  }
  return PyModule_Create(&module_def);
}
