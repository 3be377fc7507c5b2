// A small open-addressing table from the plan's names to numbers, for the keys
// of a dict: a key that is the table's own interned str (as names written in
// Python code are) is found by identity, before its text is even fetched; any
// other by its UTF-8 text. Most keys of an input name no field that a rule
// reads, so both lookups first ask a one-word filter, which rejects almost
// every miss in a few instructions. Built once, read-only afterwards.
#pragma once

#include "python/py_support.h"

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

namespace tamsel::python {

class StrTable {
 public:
  // Names must outlive the table. False with the interpreter's error set when a
  // str cannot be made; a name without a UTF-8 decoding is left out, since no
  // str can have it as its text.
  [[nodiscard]] bool build(const std::vector<std::pair<std::string_view, std::uint32_t>>& names);

  // The number of the name whose interned str is `key` itself.
  [[nodiscard]] std::optional<std::uint32_t> find_identical(const PyObject* key) const {
    if ((identity_filter_ & identity_bit(key)) == 0) return std::nullopt;
    for (std::size_t at = position(key) & mask_;; at = (at + 1) & mask_) {
      const Entry& entry = by_identity_[at];
      if (entry.str == nullptr) return std::nullopt;
      if (entry.str == key) return entry.value;
    }
  }

  // The number of the name whose UTF-8 text is `text`.
  [[nodiscard]] std::optional<std::uint32_t> find(std::string_view text) const {
    if ((length_filter_ & length_bit(text.size())) == 0) return std::nullopt;
    for (std::size_t at = position(text) & mask_;; at = (at + 1) & mask_) {
      const Entry& entry = by_text_[at];
      if (entry.str == nullptr) return std::nullopt;
      if (entry.name == text) return entry.value;
    }
  }

 private:
  struct Entry {
    PyObject* str = nullptr;  // interned, held by strs_; null: a free entry
    std::string_view name;
    std::uint32_t value = 0;
  };

  // An object's address without the bits that its alignment fixes.
  static std::uintptr_t address_bits(const PyObject* str) noexcept {
    return reinterpret_cast<std::uintptr_t>(str) >> 4U;
  }
  static std::uint64_t identity_bit(const PyObject* str) noexcept {
    return std::uint64_t{1} << (address_bits(str) & 63U);
  }
  // Lengths 64 apart share a bit: the filter only has to admit every name.
  static std::uint64_t length_bit(std::size_t length) noexcept {
    return std::uint64_t{1} << (length & 63U);
  }

  static std::size_t position(const PyObject* str) noexcept {
    return static_cast<std::size_t>(address_bits(str) * 0x9E3779B97F4A7C15ULL >> 40U);
  }

  // From the length and the end bytes: cheap, and enough to spread field names.
  static std::size_t position(std::string_view text) noexcept {
    if (text.empty()) return 0;
    const auto first = static_cast<unsigned char>(text.front());
    const auto last = static_cast<unsigned char>(text.back());
    const std::uint32_t mixed = (static_cast<std::uint32_t>(text.size()) * 0x9E3779B1U) ^
                                (first * 0x85EBCA77U) ^ (last * 0xC2B2AE3DU);
    return mixed >> 16U;
  }

  void insert(std::vector<Entry>& entries, std::size_t at, const Entry& entry) const;

  std::vector<Entry> by_identity_{1};  // one free entry: every lookup ends
  std::vector<Entry> by_text_{1};
  std::size_t mask_ = 0;
  // The identity_bit and the length_bit of every name.
  std::uint64_t identity_filter_ = 0;
  std::uint64_t length_filter_ = 0;
  std::vector<Ref> strs_;
};

}  // namespace tamsel::python
