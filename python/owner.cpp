#include "python/owner.h"

#include <array>

namespace tamsel::python {

std::optional<std::string_view> Texts::governance_text() const {
  if (!governance) return std::nullopt;
  return governance->view();
}

std::size_t Texts::bytes() const {
  return schema.view().size() + policy.view().size() + (governance ? governance->view().size() : 0);
}

bool bind_texts(const char* full_name, PyObject* args, PyObject* kwargs, Texts& texts) {
  const Parameters parameters{full_name, kTextNames, 2};
  std::array<PyObject*, 3> bound{};  // borrowed from args / kwargs
  if (!bind_arguments(parameters, args, kwargs, bound)) return false;
  if (!take_text(bound[0], kTextNames[0], texts.schema) ||
      !take_text(bound[1], kTextNames[1], texts.policy)) {
    return false;
  }
  if (bound[2] == nullptr || bound[2] == Py_None) return true;
  return take_text(bound[2], kTextNames[2], texts.governance.emplace());
}

PyObject* construction_message(const ConstructionError& error) {
  return PyUnicode_DecodeUTF8(error.message.data(), static_cast<Py_ssize_t>(error.message.size()),
                              "replace");
}

}  // namespace tamsel::python
