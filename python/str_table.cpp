#include "python/str_table.h"

#include <bit>

namespace tamsel::python {

bool StrTable::build(const std::vector<std::pair<std::string_view, std::uint32_t>>& names) {
  // At most half full, so that a miss mostly meets a free entry at once.
  const std::size_t size = std::bit_ceil(2 * names.size() + 1);
  by_identity_.assign(size, Entry{});
  by_text_.assign(size, Entry{});
  mask_ = size - 1;
  identity_filter_ = 0;
  length_filter_ = 0;
  strs_.clear();
  for (const auto& [name, value] : names) {
    PyObject* str =
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "strict");
    if (str == nullptr) {
      if (!discard_ordinary_error(PyExc_UnicodeDecodeError)) return false;
      continue;
    }
    // Interned, it is the very object of the same name written in Python code.
    PyUnicode_InternInPlace(&str);  // consumes and returns a reference
    strs_.push_back(Ref::steal(str));
    identity_filter_ |= identity_bit(str);
    length_filter_ |= length_bit(name.size());
    insert(by_identity_, position(str), Entry{str, name, value});
    insert(by_text_, position(name), Entry{str, name, value});
  }
  return true;
}

void StrTable::insert(std::vector<Entry>& entries, std::size_t at, const Entry& entry) const {
  at &= mask_;
  while (entries[at].str != nullptr) at = (at + 1) & mask_;
  entries[at] = entry;
}

}  // namespace tamsel::python
