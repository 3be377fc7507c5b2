// Arrow arrays read as evaluate reads the Python values that pyarrow's
// to_pylist() makes of them: each value of a column is a field value, absent
// (a null, which to_pylist leaves out), or refused (a Python value that fits no
// conversion rule: bytes, lists, dicts, dates...). Every layout is checked
// once, when it is added; reading a value then trusts what was checked and
// still bounds every index it takes from the data itself.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "columns/arrow_abi.h"
#include "common/expected.h"
#include "engine/evaluation_input.h"

namespace tamsel {

// One record's value of a column.
struct Cell {
  enum class Kind : std::uint8_t {
    Absent,     // null: the field is left out
    Value,      // value holds it
    Refused,    // a value that evaluate refuses ("Unsupported value type")
    Malformed,  // an index or offset of the data past its bounds
  };
  Cell(Kind of = Kind::Absent, InputValue held = {}) : kind(of), value(held) {}  // NOLINT
  Kind kind;
  InputValue value;
};

// The kinds up to Utf8View hold their values in place; the others lead to them.
enum class ColumnKind : std::uint8_t {
  Boolean,
  Int8,
  UInt8,
  Int16,
  UInt16,
  Int32,
  UInt32,
  Int64,
  UInt64,
  Float16,
  Float32,
  Float64,
  Decimal,
  Utf8,
  LargeUtf8,
  Utf8View,
  Null,
  Dictionary,   // children[0]: the dictionary's values
  SparseUnion,  // children: the members, in the order of the format's type codes
  DenseUnion,
  RunEnds,  // children[0]: the run ends, children[1]: the values
  Struct,   // children: the fields (only where records and domains are read)
  Refused,  // every value is refused: python_type names its Python type
};

// Where a column's values are in a record's value and what an error says of it.
using ColumnId = std::uint32_t;

namespace arrow_detail {

template <class T>
T load(const void* base, std::int64_t at) {
  T value;
  std::memcpy(&value, static_cast<const char*>(base) + at * static_cast<std::int64_t>(sizeof(T)),
              sizeof(T));
  return value;
}

inline bool bit(const std::uint8_t* bits, std::int64_t at) {
  return ((bits[at >> 3] >> (at & 7)) & 1U) != 0;
}

}  // namespace arrow_detail

// The columns of one batch, as views of the producer's buffers: the batch's
// ArrowArray must outlive this set and stay unchanged while it is read.
class ArrowColumns {
 public:
  // A column for a record's field value (a struct here is a refused dict).
  // path names it in errors ("action.amount"). The error names a layout that
  // cannot be read or whose values' Python type this reading cannot be sure of.
  [[nodiscard]] Expected<ColumnId, std::string> add_value(const ArrowSchema& schema,
                                                          const ArrowArray& array,
                                                          std::string path);
  // A struct column whose fields are read: the records or a domain. Its
  // fields are added as values, in order. The error also names repeated field
  // names, which no dict holds.
  // With read_fields false, only the struct itself: its fields are left alone
  // (the batch's columns other than the records' own).
  [[nodiscard]] Expected<ColumnId, std::string> add_struct(const ArrowSchema& schema,
                                                           const ArrowArray& array,
                                                           std::string path, bool read_fields);

  [[nodiscard]] ColumnKind kind(ColumnId column) const { return nodes_[column].kind; }
  [[nodiscard]] std::string_view name(ColumnId column) const { return nodes_[column].name; }
  [[nodiscard]] std::string_view path(ColumnId column) const { return nodes_[column].path; }
  // The Python type of every value of a Refused column; empty when pyarrow's
  // conversion gives none that is fixed (nanosecond times depend on pandas).
  [[nodiscard]] std::string_view refused_type(ColumnId column) const {
    return nodes_[column].python_type;
  }
  [[nodiscard]] std::span<const ColumnId> children(ColumnId column) const;
  // Whether any value of the column can be refused.
  [[nodiscard]] bool may_refuse(ColumnId column) const;
  // Whether the column has elements [0, count), counted from its own offset.
  [[nodiscard]] bool holds(ColumnId column, std::int64_t count) const {
    return nodes_[column].length >= count;
  }

  // Element `index` of the column, counted from its own offset (a struct's
  // field at record i is at the struct's offset plus i). Inline: it is read
  // for every field of every record.
  [[nodiscard]] Cell read(ColumnId column, std::int64_t index) const {
    const Node& node = nodes_[column];
    const std::int64_t at = node.offset + index;
    if (node.validity != nullptr && !arrow_detail::bit(node.validity, at)) return {};
    if (node.kind <= ColumnKind::Utf8View) return read_leaf(node, at);
    if (node.decoded != kNotDecoded) return read_decoded(node, at);
    return read_nested(column, index);
  }
  // Whether no element of a struct column is null (a null struct is an empty domain).
  [[nodiscard]] bool never_null(ColumnId column) const {
    return nodes_[column].validity == nullptr;
  }
  // Whether the element is null (for a struct: the struct itself).
  [[nodiscard]] bool is_null(ColumnId column, std::int64_t index) const {
    const Node& node = nodes_[column];
    if (node.kind == ColumnKind::Struct) {
      return node.validity != nullptr && !arrow_detail::bit(node.validity, node.offset + index);
    }
    return read(column, index).kind == Cell::Kind::Absent;
  }
  // Elements [first, first + count) into out[0], out[stride], ...: each a value, or
  // missing where it is null or refused. The index in the range of the first
  // element whose data runs past its bounds, or -1. Column by column, the
  // layout's test is made once, not for each element.
  [[nodiscard]] std::int64_t read_range(ColumnId column, std::int64_t first, std::int64_t count,
                                        InputValue* out, std::size_t stride) const;
  // Reads a dictionary column's values once, when it has at most `most` of
  // them, so that each element then costs an index; other columns are left as
  // they are.
  void decode_dictionary(ColumnId column, std::int64_t most);
  // The __qualname__ of the Python type of a non-null element as to_pylist
  // makes it ("int", "str", "dict", "bytes"...); empty when it is null, and
  // "?" when the data is malformed.
  [[nodiscard]] std::string_view python_type(ColumnId column, std::int64_t index) const;

 private:
  struct ViewBuffer {
    const char* data;
    std::int64_t size;
  };
  struct Node {
    ColumnKind kind = ColumnKind::Null;
    std::string path;
    std::string_view name;                   // the schema's, alive with it
    std::string_view python_type;            // of a Refused column's values
    const std::uint8_t* validity = nullptr;  // null: no element is null
    const void* values = nullptr;            // values, offsets, views or type ids
    const void* data = nullptr;              // texts; a dense union's offsets
    std::int64_t offset = 0;
    std::int64_t length = 0;  // elements from offset on
    std::int32_t scale = 0;   // a decimal's
    std::uint8_t width = 0;   // bytes of a decimal, of a run end, of a dictionary index
    bool is_signed = true;    // a dictionary index's
    std::uint32_t first_child = 0;
    std::uint32_t child_count = 0;
    std::uint32_t first_view_buffer = 0;  // a view's data buffers
    std::uint32_t view_buffer_count = 0;
    std::uint32_t union_codes = 0;        // into union_members_
    std::uint32_t decoded = kNotDecoded;  // into decoded_: a dictionary's values, read
  };
  static constexpr std::uint32_t kNotDecoded = UINT32_MAX;
  // A union's type code -> member index, -1 for a code it lacks.
  using UnionMembers = std::array<std::int8_t, 128>;

  Expected<ColumnId, std::string> add(const ArrowSchema& schema, const ArrowArray& array,
                                      std::string path, bool read_fields, int depth);
  std::string layout(Node& node, std::string_view format, const ArrowSchema& schema,
                     const ArrowArray& array, bool read_fields, int depth);
  std::string add_children(ColumnId id, const ArrowSchema& schema, const ArrowArray& array,
                           std::int64_t needed, int depth);
  // Errors name the column: "column 'PATH': WHY".
  [[nodiscard]] std::string located(ColumnId id, std::string_view why) const;
  std::string add_views(Node& node, const ArrowArray& array);
  std::string add_union(ColumnId id, std::string_view codes, const ArrowSchema& schema,
                        const ArrowArray& array, int depth);

  // The element that an element of a dictionary, union or run-end column
  // stands for: its value column and index; Absent when null.
  struct Located {
    Located(Cell::Kind of, ColumnId at = 0, std::int64_t element = 0)  // NOLINT
        : kind(of), column(at), index(element) {}
    Cell::Kind kind;
    ColumnId column;
    std::int64_t index;
  };
  [[nodiscard]] Located locate(ColumnId column, std::int64_t index) const;
  [[nodiscard]] Cell read_leaf(const Node& node, std::int64_t at) const {
    using arrow_detail::load;
    const auto number = [](double value) {
      return Cell(Cell::Kind::Value, InputValue::of_number(value));
    };
    switch (node.kind) {
      case ColumnKind::Boolean:
        return {Cell::Kind::Value, InputValue::of_boolean(arrow_detail::bit(
                                       static_cast<const std::uint8_t*>(node.values), at))};
      case ColumnKind::Int8:
        return number(load<std::int8_t>(node.values, at));
      case ColumnKind::UInt8:
        return number(load<std::uint8_t>(node.values, at));
      case ColumnKind::Int16:
        return number(load<std::int16_t>(node.values, at));
      case ColumnKind::UInt16:
        return number(load<std::uint16_t>(node.values, at));
      case ColumnKind::Int32:
        return number(load<std::int32_t>(node.values, at));
      case ColumnKind::UInt32:
        return number(load<std::uint32_t>(node.values, at));
      case ColumnKind::Int64:
        // Rounded to nearest, ties to even, as Python's float() rounds an int.
        return number(static_cast<double>(load<std::int64_t>(node.values, at)));
      case ColumnKind::UInt64:
        return number(static_cast<double>(load<std::uint64_t>(node.values, at)));
      case ColumnKind::Float32:
        return number(load<float>(node.values, at));
      case ColumnKind::Float64:
        return number(load<double>(node.values, at));
      case ColumnKind::Utf8: {
        const auto start = load<std::int32_t>(node.values, at);
        const auto end = load<std::int32_t>(node.values, at + 1);
        if (start < 0 || end < start) return {Cell::Kind::Malformed};
        return {Cell::Kind::Value, InputValue::of_text({static_cast<const char*>(node.data) + start,
                                                        static_cast<std::size_t>(end - start)})};
      }
      default:
        return read_other(node, at);
    }
  }
  // Float16, decimals, large texts and views.
  [[nodiscard]] Cell read_other(const Node& node, std::int64_t at) const;
  [[nodiscard]] Cell read_text(const Node& node, std::int64_t at) const;
  [[nodiscard]] Cell read_decoded(const Node& node, std::int64_t at) const;
  [[nodiscard]] Cell read_nested(ColumnId column, std::int64_t index) const;
  [[nodiscard]] double read_decimal(const Node& node, std::int64_t at) const;

  std::vector<Node> nodes_;
  std::vector<ColumnId> child_ids_;
  std::vector<ViewBuffer> view_buffers_;
  std::vector<UnionMembers> union_members_;
  std::vector<std::vector<Cell>> decoded_;
};

}  // namespace tamsel
