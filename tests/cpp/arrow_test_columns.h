// Arrow columns made by hand for the tests and the fuzzer: each owns every
// buffer its schema and array point at. Build the tree, then call wire() on
// the root where it will stay; nothing may move afterwards.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "columns/arrow_abi.h"

namespace tamsel::testing {

class ArrowColumn {
 public:
  ArrowColumn(std::string format, std::int64_t length)
      : format_(std::move(format)), length_(length) {}

  std::string name;
  std::string metadata;  // raw, as the C interface encodes it
  std::int64_t offset = 0;
  std::int64_t length() const { return length_; }

  // Views [offset, offset + length) of the elements built.
  ArrowColumn& slice(std::int64_t from, std::int64_t count) {
    offset = from;
    length_ = count;
    return *this;
  }
  ArrowColumn& named(std::string text) {
    name = std::move(text);
    return *this;
  }

  // Buffer 0 is the validity bitmap (empty: none).
  std::vector<std::vector<std::uint8_t>> buffers;
  std::int64_t null_count = 0;
  std::vector<ArrowColumn> children;
  std::shared_ptr<ArrowColumn> dictionary;

  ArrowSchema schema{};
  ArrowArray array{};

  void wire() {
    child_schemas_.clear();
    child_arrays_.clear();
    pointers_.clear();
    for (auto& buffer : buffers) pointers_.push_back(buffer.empty() ? nullptr : buffer.data());
    for (auto& child : children) {
      child.wire();
      child_schemas_.push_back(&child.schema);
      child_arrays_.push_back(&child.array);
    }
    if (dictionary) dictionary->wire();
    schema = ArrowSchema{format_.c_str(),
                         name.c_str(),
                         metadata.empty() ? nullptr : metadata.data(),
                         ARROW_FLAG_NULLABLE,
                         static_cast<std::int64_t>(children.size()),
                         child_schemas_.data(),
                         dictionary ? &dictionary->schema : nullptr,
                         nullptr,
                         nullptr};
    array = ArrowArray{length_,
                       null_count,
                       offset,
                       static_cast<std::int64_t>(pointers_.size()),
                       static_cast<std::int64_t>(children.size()),
                       pointers_.data(),
                       child_arrays_.data(),
                       dictionary ? &dictionary->array : nullptr,
                       nullptr,
                       nullptr};
  }

 private:
  std::string format_;
  std::int64_t length_;
  std::vector<ArrowSchema*> child_schemas_;
  std::vector<ArrowArray*> child_arrays_;
  std::vector<const void*> pointers_;
};

template <class T>
using Values = std::vector<std::optional<T>>;

inline void set_bit(std::vector<std::uint8_t>& bits, std::size_t at, bool value) {
  if (bits.size() <= at / 8) bits.resize(at / 8 + 1, 0);
  if (value) bits[at / 8] |= static_cast<std::uint8_t>(1U << (at % 8));
}

template <class T>
std::vector<std::uint8_t> validity_of(const Values<T>& values, std::int64_t& nulls) {
  std::vector<std::uint8_t> bits((values.size() + 8) / 8, 0);
  nulls = 0;
  for (std::size_t i = 0; i < values.size(); ++i) {
    set_bit(bits, i, values[i].has_value());
    if (!values[i]) ++nulls;
  }
  return bits;
}

template <class T>
void append(std::vector<std::uint8_t>& bytes, const T& value) {
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&value);
  bytes.insert(bytes.end(), raw, raw + sizeof(T));
}

// Fixed-width values, stored as T (format "l" with std::int64_t...).
template <class T>
ArrowColumn fixed(std::string format, const Values<T>& values) {
  ArrowColumn column(std::move(format), static_cast<std::int64_t>(values.size()));
  column.buffers.push_back(validity_of(values, column.null_count));
  column.buffers.emplace_back();
  for (const auto& value : values) append(column.buffers[1], value.value_or(T{}));
  return column;
}

inline ArrowColumn booleans(const Values<bool>& values) {
  ArrowColumn column("b", static_cast<std::int64_t>(values.size()));
  column.buffers.push_back(validity_of(values, column.null_count));
  std::vector<std::uint8_t> bits((values.size() + 8) / 8, 0);
  for (std::size_t i = 0; i < values.size(); ++i) set_bit(bits, i, values[i].value_or(false));
  column.buffers.push_back(bits);
  return column;
}

// "u" or "U" (large offsets), and "z" for bytes.
template <class Offset = std::int32_t>
ArrowColumn texts(std::string format, const Values<std::string>& values) {
  ArrowColumn column(std::move(format), static_cast<std::int64_t>(values.size()));
  column.buffers.push_back(validity_of(values, column.null_count));
  column.buffers.emplace_back();
  column.buffers.emplace_back();
  append(column.buffers[1], Offset{0});
  for (const auto& value : values) {
    const std::string text = value.value_or("");
    column.buffers[2].insert(column.buffers[2].end(), text.begin(), text.end());
    append(column.buffers[1], static_cast<Offset>(column.buffers[2].size()));
  }
  return column;
}

// "vu": texts up to 12 bytes inline, longer ones in two data buffers in turn.
inline ArrowColumn views(const Values<std::string>& values) {
  ArrowColumn column("vu", static_cast<std::int64_t>(values.size()));
  column.buffers.push_back(validity_of(values, column.null_count));
  std::vector<std::uint8_t> viewed;
  std::vector<std::vector<std::uint8_t>> data(2);
  int turn = 0;
  for (const auto& value : values) {
    const std::string text = value.value_or("");
    std::uint8_t view[16] = {};
    const auto size = static_cast<std::int32_t>(text.size());
    std::memcpy(view, &size, 4);
    if (text.size() <= 12) {
      std::memcpy(view + 4, text.data(), text.size());
    } else {
      auto& buffer = data[turn];
      const auto index = static_cast<std::int32_t>(turn);
      const auto at = static_cast<std::int32_t>(buffer.size());
      std::memcpy(view + 4, text.data(), 4);
      std::memcpy(view + 8, &index, 4);
      std::memcpy(view + 12, &at, 4);
      buffer.insert(buffer.end(), text.begin(), text.end());
      turn = 1 - turn;
    }
    viewed.insert(viewed.end(), view, view + 16);
  }
  column.buffers.push_back(viewed);
  std::vector<std::uint8_t> sizes;
  for (auto& buffer : data) {
    append(sizes, static_cast<std::int64_t>(buffer.size()));
    if (buffer.empty()) buffer.push_back(0);  // a pointer to nothing, but not null
    column.buffers.push_back(buffer);
  }
  column.buffers.push_back(sizes);
  return column;
}

inline ArrowColumn dictionary(std::string index_format, const Values<std::int32_t>& indices,
                              ArrowColumn values) {
  ArrowColumn column = fixed<std::int32_t>("i", indices);
  if (index_format != "i") {  // rewrite the indices at the width asked for
    ArrowColumn narrow(index_format, column.length());
    narrow.buffers = {column.buffers[0], {}};
    narrow.null_count = column.null_count;
    for (const auto& index : indices) {
      const std::int64_t wide = index.value_or(0);
      const std::size_t width = index_format == "c" || index_format == "C"   ? 1
                                : index_format == "s" || index_format == "S" ? 2
                                : index_format == "l" || index_format == "L" ? 8
                                                                             : 4;
      narrow.buffers[1].insert(narrow.buffers[1].end(),
                               reinterpret_cast<const std::uint8_t*>(&wide),
                               reinterpret_cast<const std::uint8_t*>(&wide) + width);
    }
    column = std::move(narrow);
  }
  column.dictionary = std::make_shared<ArrowColumn>(std::move(values));
  return column;
}

// A struct of the fields, null where valid says so (empty: none null).
inline ArrowColumn structure(std::vector<ArrowColumn> fields, const std::vector<bool>& valid = {}) {
  const std::int64_t length = fields.empty() ? static_cast<std::int64_t>(valid.size())
                                             : fields.front().offset + fields.front().length();
  ArrowColumn column("+s", length);
  column.buffers.emplace_back();
  for (std::size_t i = 0; i < valid.size(); ++i) {
    set_bit(column.buffers[0], i, valid[i]);
    if (!valid[i]) ++column.null_count;
  }
  column.children = std::move(fields);
  return column;
}

inline ArrowColumn nulls(std::int64_t length) { return ArrowColumn("n", length); }

// Type codes 0, 1, ... for the members, in order.
inline ArrowColumn sparse_union(const std::vector<std::int8_t>& codes,
                                std::vector<ArrowColumn> members) {
  std::string format = "+us:";
  for (std::size_t i = 0; i < members.size(); ++i) format += (i ? "," : "") + std::to_string(i);
  ArrowColumn column(format, static_cast<std::int64_t>(codes.size()));
  column.buffers.emplace_back(codes.begin(), codes.end());
  column.children = std::move(members);
  return column;
}

inline ArrowColumn dense_union(const std::vector<std::int8_t>& codes,
                               const std::vector<std::int32_t>& offsets,
                               std::vector<ArrowColumn> members) {
  std::string format = "+ud:";
  for (std::size_t i = 0; i < members.size(); ++i) format += (i ? "," : "") + std::to_string(i);
  ArrowColumn column(format, static_cast<std::int64_t>(codes.size()));
  column.buffers.emplace_back(codes.begin(), codes.end());
  column.buffers.emplace_back();
  for (const std::int32_t offset : offsets) append(column.buffers[1], offset);
  column.children = std::move(members);
  return column;
}

inline ArrowColumn run_ends(const std::vector<std::int32_t>& ends, ArrowColumn values) {
  Values<std::int32_t> wrapped(ends.begin(), ends.end());
  ArrowColumn column("+r", ends.empty() ? 0 : ends.back());
  column.children.push_back(fixed<std::int32_t>("i", wrapped).named("run_ends"));
  column.children.push_back(std::move(values).named("values"));
  return column;
}

// Decimals of `bits` bits (32, 64, 128, 256): the unscaled integers, sign-extended.
inline ArrowColumn decimals(const Values<std::int64_t>& values, int scale, int bits = 128) {
  ArrowColumn column("d:38," + std::to_string(scale) + "," + std::to_string(bits),
                     static_cast<std::int64_t>(values.size()));
  column.buffers.push_back(validity_of(values, column.null_count));
  column.buffers.emplace_back();
  for (const auto& value : values) {
    const std::int64_t unscaled = value.value_or(0);
    for (int byte = 0; byte < bits / 8; ++byte) {
      const int shift = byte < 8 ? byte * 8 : 63;
      const auto part = static_cast<std::uint8_t>(byte < 8 ? (unscaled >> shift) & 0xFF
                                                           : (unscaled < 0 ? 0xFF : 0));
      column.buffers[1].push_back(part);
    }
  }
  return column;
}

}  // namespace tamsel::testing
