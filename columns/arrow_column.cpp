#include "columns/arrow_column.h"

#include "columns/message_text.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

namespace tamsel {
namespace {

using Kind = Cell::Kind;

// Unions and dictionaries nest; a producer could nest them without end.
constexpr int kDeepestNesting = 64;

using arrow_detail::bit;
using arrow_detail::load;

// IEEE half precision, widened exactly; NaN and -0.0 kept.
double half_to_double(std::uint16_t half) {
  const double sign = (half & 0x8000U) != 0 ? -1.0 : 1.0;
  const unsigned exponent = (half >> 10U) & 0x1FU;
  const unsigned fraction = half & 0x3FFU;
  if (exponent == 0x1F) {
    return fraction == 0 ? sign * __builtin_huge_val() : __builtin_nan("");
  }
  if (exponent == 0) return sign * std::ldexp(static_cast<double>(fraction), -24);
  return sign * std::ldexp(static_cast<double>(fraction | 0x400U), static_cast<int>(exponent) - 25);
}

// The value of a fixed-width column's format, and its byte width.
struct Fixed {
  std::string_view format;
  ColumnKind kind;
  std::uint8_t width;
  bool is_signed;
};
constexpr std::array<Fixed, 12> kFixed{{
    {"b", ColumnKind::Boolean, 0, false},
    {"c", ColumnKind::Int8, 1, true},
    {"C", ColumnKind::UInt8, 1, false},
    {"s", ColumnKind::Int16, 2, true},
    {"S", ColumnKind::UInt16, 2, false},
    {"i", ColumnKind::Int32, 4, true},
    {"I", ColumnKind::UInt32, 4, false},
    {"l", ColumnKind::Int64, 8, true},
    {"L", ColumnKind::UInt64, 8, false},
    {"e", ColumnKind::Float16, 2, false},
    {"f", ColumnKind::Float32, 4, false},
    {"g", ColumnKind::Float64, 8, false},
}};

const Fixed* fixed_of(std::string_view format) {
  for (const Fixed& fixed : kFixed) {
    if (fixed.format == format) return &fixed;
  }
  return nullptr;
}

// Formats whose every value pyarrow makes into a Python object that evaluate
// refuses, with that object's type: matched by prefix, first match wins.
struct RefusedFormat {
  std::string_view prefix;
  std::string_view python_type;  // empty: depends on pandas and on the value
};
constexpr std::array<RefusedFormat, 22> kRefused{{
    {"z", "bytes"},  {"Z", "bytes"},      {"vz", "bytes"},
    {"w:", "bytes"}, {"tdD", "date"},     {"tdm", "date"},
    {"tts", "time"}, {"ttm", "time"},     {"ttu", "time"},
    {"ttn", ""},     {"tsn", ""},         {"ts", "datetime"},
    {"tDn", ""},     {"tD", "timedelta"}, {"tin", "MonthDayNano"},
    {"+l", "list"},  {"+L", "list"},      {"+vl", "list"},
    {"+vL", "list"}, {"+w:", "list"},     {"+m", "list"},
    {"+s", "dict"},
}};

const RefusedFormat* refused_of(std::string_view format) {
  for (const RefusedFormat& refused : kRefused) {
    if (format.starts_with(refused.prefix)) return &refused;
  }
  return nullptr;
}

// The value of metadata key, if the schema's metadata has it.
std::optional<std::string_view> metadata_value(const char* metadata, std::string_view key) {
  if (metadata == nullptr) return std::nullopt;
  const auto count = load<std::int32_t>(metadata, 0);
  const char* at = metadata + sizeof(std::int32_t);
  for (std::int32_t i = 0; i < count; ++i) {
    const auto key_size = load<std::int32_t>(at, 0);
    const std::string_view name(at + sizeof(std::int32_t), static_cast<std::size_t>(key_size));
    at += sizeof(std::int32_t) + key_size;
    const auto value_size = load<std::int32_t>(at, 0);
    const std::string_view value(at + sizeof(std::int32_t), static_cast<std::size_t>(value_size));
    at += sizeof(std::int32_t) + value_size;
    if (name == key) return value;
  }
  return std::nullopt;
}

std::optional<std::int32_t> number_in(std::string_view text) {
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// "d:P,S" or "d:P,S,W": the scale and the byte width.
std::optional<std::pair<std::int32_t, std::uint8_t>> decimal_of(std::string_view format) {
  std::string_view rest = format.substr(2);
  const auto first = rest.find(',');
  if (first == std::string_view::npos || !number_in(rest.substr(0, first))) return std::nullopt;
  rest = rest.substr(first + 1);
  const auto second = rest.find(',');
  const auto scale = number_in(rest.substr(0, second));
  const auto bits = second == std::string_view::npos ? 128 : number_in(rest.substr(second + 1));
  if (!scale || !bits || (*bits != 32 && *bits != 64 && *bits != 128 && *bits != 256)) {
    return std::nullopt;
  }
  return std::pair{*scale, static_cast<std::uint8_t>(*bits / 8)};
}

// The decimal digits of a magnitude held in little-endian 32-bit words (at
// most 256 bits: 78 digits).
std::string digits_of(std::array<std::uint32_t, 8> words, std::size_t count) {
  constexpr std::uint64_t kChunk = 1'000'000'000;  // 9 digits a division
  std::array<char, 96> digits{};
  std::size_t first = digits.size();  // filled from the end
  while (count > 0 && words[count - 1] == 0) --count;
  while (count > 0) {
    std::uint64_t remainder = 0;
    for (std::size_t i = count; i-- > 0;) {
      const std::uint64_t current = (remainder << 32U) | words[i];
      words[i] = static_cast<std::uint32_t>(current / kChunk);
      remainder = current % kChunk;
    }
    while (count > 0 && words[count - 1] == 0) --count;
    for (int digit = 0; digit < 9 && (count > 0 || remainder != 0); ++digit) {
      digits[--first] = static_cast<char>('0' + remainder % 10);
      remainder /= 10;
    }
  }
  if (first == digits.size()) digits[--first] = '0';
  return {digits.data() + first, digits.size() - first};
}

// An integer of the given width at element `at`; -1 for an unsigned one past INT64_MAX.
std::int64_t read_integer(const void* values, std::uint8_t width, bool is_signed, std::int64_t at) {
  switch (width) {
    case 1:
      return is_signed ? load<std::int8_t>(values, at) : load<std::uint8_t>(values, at);
    case 2:
      return is_signed ? load<std::int16_t>(values, at) : load<std::uint16_t>(values, at);
    case 4:
      return is_signed ? load<std::int32_t>(values, at) : load<std::uint32_t>(values, at);
    default: {
      if (is_signed) return load<std::int64_t>(values, at);
      const auto index = load<std::uint64_t>(values, at);
      return index > static_cast<std::uint64_t>(INT64_MAX) ? -1 : static_cast<std::int64_t>(index);
    }
  }
}

}  // namespace

std::span<const ColumnId> ArrowColumns::children(ColumnId column) const {
  const Node& node = nodes_[column];
  return {child_ids_.data() + node.first_child, node.child_count};
}

Expected<ColumnId, std::string> ArrowColumns::add_value(const ArrowSchema& schema,
                                                        const ArrowArray& array, std::string path) {
  return add(schema, array, std::move(path), false, 0);
}

Expected<ColumnId, std::string> ArrowColumns::add_struct(const ArrowSchema& schema,
                                                         const ArrowArray& array, std::string path,
                                                         bool read_fields) {
  if (std::string_view(schema.format) != "+s" || schema.dictionary != nullptr) {
    return unexpected(cat({"column ", single_quoted(path), " is no struct"}));
  }
  if (array.length < 0 || array.offset < 0) {
    return unexpected(cat({"column ", single_quoted(path), " is no valid Arrow array"}));
  }
  if (!read_fields) {
    const auto id = static_cast<ColumnId>(nodes_.size());
    Node node;
    node.kind = ColumnKind::Struct;
    node.path = std::move(path);
    node.offset = array.offset;
    node.length = array.length;
    if (array.null_count != 0 && array.n_buffers > 0 && array.buffers != nullptr) {
      node.validity = static_cast<const std::uint8_t*>(array.buffers[0]);
    }
    nodes_.push_back(std::move(node));
    return id;
  }
  return add(schema, array, std::move(path), true, 0);
}

Expected<ColumnId, std::string> ArrowColumns::add(const ArrowSchema& schema,
                                                  const ArrowArray& array, std::string path,
                                                  bool read_fields, int depth) {
  const auto fail = [&](const std::string& why) {
    return unexpected(cat({"column ", single_quoted(path), ": ", why}));
  };
  if (depth > kDeepestNesting)
    return fail(cat({"nested deeper than ", std::to_string(kDeepestNesting)}));
  if (schema.format == nullptr || array.length < 0 || array.offset < 0 || array.n_buffers < 0 ||
      array.n_children < 0 || (array.n_buffers > 0 && array.buffers == nullptr)) {
    return fail("not a valid Arrow array");
  }
  if (auto extension = metadata_value(schema.metadata, "ARROW:extension:name")) {
    return fail(cat({"the extension type ", single_quoted(*extension), " is not supported"}));
  }
  const auto id = static_cast<ColumnId>(nodes_.size());
  Node node;
  node.path = std::move(path);
  node.name = schema.name != nullptr ? std::string_view(schema.name) : std::string_view();
  node.offset = array.offset;
  node.length = array.length;
  if (array.null_count != 0 && array.n_buffers > 0 && array.buffers[0] != nullptr) {
    node.validity = static_cast<const std::uint8_t*>(array.buffers[0]);
  }
  nodes_.push_back(node);
  std::string why = layout(nodes_[id], schema.format, schema, array, read_fields, depth);
  if (!why.empty()) return unexpected(std::move(why));
  return id;
}

std::string ArrowColumns::located(ColumnId id, std::string_view why) const {
  return cat({"column ", single_quoted(nodes_[id].path), ": ", why});
}

// Sets the node's kind and buffers from its format; an error, or empty.
std::string ArrowColumns::layout(Node& node, std::string_view format, const ArrowSchema& schema,
                                 const ArrowArray& array, bool read_fields, int depth) {
  const ColumnId id = static_cast<ColumnId>(&node - nodes_.data());
  const auto buffer = [&](std::int64_t i) -> const void* {
    return i < array.n_buffers ? array.buffers[i] : nullptr;
  };
  const auto needs_buffers = [&](std::int64_t count) -> std::string {
    if (array.n_buffers < count) return located(id, "fewer buffers than its type has");
    for (std::int64_t i = 1; i < count; ++i) {
      if (array.length > 0 && array.buffers[i] == nullptr)
        return located(id, "a buffer is missing");
    }
    return {};
  };
  if (schema.dictionary != nullptr) {
    const Fixed* index = fixed_of(format);
    if (index == nullptr || index->width == 0 || index->kind >= ColumnKind::Float16) {
      return located(id,
                     cat({"a dictionary's indices must be integers, not ", single_quoted(format)}));
    }
    if (array.dictionary == nullptr) return located(id, "a dictionary type without a dictionary");
    node.kind = ColumnKind::Dictionary;
    node.width = index->width;
    node.is_signed = index->is_signed;
    node.values = buffer(1);
    if (std::string why = needs_buffers(2); !why.empty()) return why;
    auto values = add(*schema.dictionary, *array.dictionary, node.path, false, depth + 1);
    if (!values) return std::move(values).error();
    Node& self = nodes_[id];  // add() may have moved the nodes
    self.first_child = static_cast<std::uint32_t>(child_ids_.size());
    self.child_count = 1;
    child_ids_.push_back(*values);
    return {};
  }
  if (format == "n") {
    node.kind = ColumnKind::Null;
    node.validity = nullptr;
    return {};
  }
  if (const Fixed* fixed = fixed_of(format)) {
    node.kind = fixed->kind;
    node.values = buffer(1);
    return needs_buffers(2);
  }
  if (format.starts_with("d:")) {
    const auto decimal = decimal_of(format);
    if (!decimal)
      return located(id, cat({"the decimal format ", single_quoted(format), " is not valid"}));
    node.kind = ColumnKind::Decimal;
    node.scale = decimal->first;
    node.width = decimal->second;
    node.values = buffer(1);
    return needs_buffers(2);
  }
  if (format == "u" || format == "U") {
    node.kind = format == "u" ? ColumnKind::Utf8 : ColumnKind::LargeUtf8;
    node.values = buffer(1);
    node.data = buffer(2);
    if (std::string why = needs_buffers(2); !why.empty()) return why;
    if (array.n_buffers < 3) return located(id, "fewer buffers than its type has");
    // With no text at all the data buffer may be missing; no read reaches it then.
    if (node.data == nullptr) node.data = "";
    return {};
  }
  if (format == "vu") {
    node.kind = ColumnKind::Utf8View;
    if (std::string why = needs_buffers(2); !why.empty()) return why;
    node.values = buffer(1);
    return add_views(node, array);
  }
  if (format.starts_with("+us:") || format.starts_with("+ud:")) {
    return add_union(id, format.substr(4), schema, array, depth);
  }
  if (format == "+s" && read_fields) {
    node.kind = ColumnKind::Struct;
    return add_children(id, schema, array, array.offset + array.length, depth);
  }
  if (format == "+r") {
    node.kind = ColumnKind::RunEnds;
    node.validity = nullptr;
    if (schema.n_children != 2 || array.n_children != 2)
      return located(id, "a run-end column needs two children");
    std::string why = add_children(id, schema, array, 0, depth);
    if (!why.empty()) return why;
    Node& self = nodes_[id];
    const Node& ends = nodes_[child_ids_[self.first_child]];
    if (ends.kind != ColumnKind::Int16 && ends.kind != ColumnKind::Int32 &&
        ends.kind != ColumnKind::Int64) {
      return located(id, "run ends must be 16-, 32- or 64-bit integers");
    }
    self.width = ends.kind == ColumnKind::Int16 ? 2 : ends.kind == ColumnKind::Int32 ? 4 : 8;
    return {};
  }
  if (const RefusedFormat* refused = refused_of(format)) {
    node.kind = ColumnKind::Refused;
    node.python_type = refused->python_type;
    return {};
  }
  return located(id, cat({"the Arrow type ", single_quoted(format), " is not supported"}));
}

// The children of a struct, union or run-end column, each with at least
// `needed` elements.
std::string ArrowColumns::add_children(ColumnId id, const ArrowSchema& schema,
                                       const ArrowArray& array, std::int64_t needed, int depth) {
  if (schema.n_children != array.n_children ||
      (array.n_children > 0 && (schema.children == nullptr || array.children == nullptr))) {
    return located(id, "its schema and its array have different children");
  }
  std::vector<ColumnId> ids;
  for (std::int64_t i = 0; i < array.n_children; ++i) {
    const ArrowSchema* child_schema = schema.children[i];
    const ArrowArray* child_array = array.children[i];
    if (child_schema == nullptr || child_array == nullptr) return located(id, "a child is missing");
    const std::string_view name = child_schema->name != nullptr ? child_schema->name : "";
    auto child =
        add(*child_schema, *child_array, cat({nodes_[id].path, ".", name}), false, depth + 1);
    if (!child) return std::move(child).error();
    if (!holds(*child, needed)) return located(id, "a child is shorter than the column");
    ids.push_back(*child);
  }
  Node& node = nodes_[id];
  node.first_child = static_cast<std::uint32_t>(child_ids_.size());
  node.child_count = static_cast<std::uint32_t>(ids.size());
  child_ids_.insert(child_ids_.end(), ids.begin(), ids.end());
  return {};
}

// A view column's data buffers: between the views and the final buffer of sizes.
std::string ArrowColumns::add_views(Node& node, const ArrowArray& array) {
  const ColumnId id = static_cast<ColumnId>(&node - nodes_.data());
  if (array.n_buffers < 3) return located(id, "fewer buffers than its type has");
  const std::int64_t count = array.n_buffers - 3;
  const void* sizes = array.buffers[array.n_buffers - 1];
  if (count > 0 && sizes == nullptr)
    return located(id, "the sizes of its data buffers are missing");
  node.first_view_buffer = static_cast<std::uint32_t>(view_buffers_.size());
  node.view_buffer_count = static_cast<std::uint32_t>(count);
  for (std::int64_t i = 0; i < count; ++i) {
    const auto size = load<std::int64_t>(sizes, i);
    const auto* data = static_cast<const char*>(array.buffers[2 + i]);
    if (size < 0 || (size > 0 && data == nullptr)) return located(id, "a data buffer is missing");
    view_buffers_.push_back(ViewBuffer{data, size});
  }
  return {};
}

std::string ArrowColumns::add_union(ColumnId id, std::string_view codes, const ArrowSchema& schema,
                                    const ArrowArray& array, int depth) {
  const bool dense = std::string_view(schema.format).starts_with("+ud:");
  Node& node = nodes_[id];
  node.kind = dense ? ColumnKind::DenseUnion : ColumnKind::SparseUnion;
  node.validity = nullptr;  // a union's nulls are its members'
  if (array.n_buffers < (dense ? 2 : 1)) return located(id, "fewer buffers than its type has");
  node.values = array.buffers[0];
  node.data = dense ? array.buffers[1] : nullptr;
  if (array.length > 0 && (node.values == nullptr || (dense && node.data == nullptr))) {
    return located(id, "a buffer is missing");
  }
  UnionMembers members;
  members.fill(-1);
  std::int64_t member = 0;
  while (!codes.empty()) {
    const auto comma = codes.find(',');
    const auto code = number_in(codes.substr(0, comma));
    if (!code || *code < 0 || *code > 127 || members[*code] != -1) {
      return located(id, cat({"the union format ", single_quoted(schema.format), " is not valid"}));
    }
    members[*code] = static_cast<std::int8_t>(member++);
    codes = comma == std::string_view::npos ? std::string_view() : codes.substr(comma + 1);
  }
  if (member != array.n_children)
    return located(id, "its type codes and its children differ in number");
  node.union_codes = static_cast<std::uint32_t>(union_members_.size());
  union_members_.push_back(members);
  return add_children(id, schema, array, dense ? 0 : array.offset + array.length, depth);
}

bool ArrowColumns::may_refuse(ColumnId column) const {
  const Node& node = nodes_[column];
  if (node.kind == ColumnKind::Refused || node.kind == ColumnKind::Struct) return true;
  if (node.kind == ColumnKind::RunEnds) return may_refuse(children(column)[1]);
  const auto kids = children(column);
  return std::any_of(kids.begin(), kids.end(), [&](ColumnId child) { return may_refuse(child); });
}

ArrowColumns::Located ArrowColumns::locate(ColumnId column, std::int64_t index) const {
  for (;;) {
    const Node& node = nodes_[column];
    const std::int64_t at = node.offset + index;
    if (node.validity != nullptr && !bit(node.validity, at)) return {Kind::Absent};
    switch (node.kind) {
      case ColumnKind::Null:
        return {Kind::Absent};
      case ColumnKind::Dictionary: {
        const ColumnId values = child_ids_[node.first_child];
        index = read_integer(node.values, node.width, node.is_signed, at);
        // Not index + 1: an int64 index may be the largest there is.
        if (index < 0 || index >= nodes_[values].length) return {Kind::Malformed};
        column = values;
        continue;
      }
      case ColumnKind::SparseUnion:
      case ColumnKind::DenseUnion: {
        const auto code = load<std::int8_t>(node.values, at);
        const std::int8_t member =
            code < 0 ? std::int8_t{-1} : union_members_[node.union_codes][code];
        if (member < 0) return {Kind::Malformed};
        column = child_ids_[node.first_child + static_cast<std::uint32_t>(member)];
        if (node.kind == ColumnKind::SparseUnion) {
          index = at;
        } else {
          index = load<std::int32_t>(node.data, at);
          if (index < 0 || !holds(column, index + 1)) return {Kind::Malformed};
        }
        continue;
      }
      case ColumnKind::RunEnds: {
        const ColumnId ends = child_ids_[node.first_child];
        const Node& run_ends = nodes_[ends];
        // The first run whose end lies past the element.
        std::int64_t low = 0;
        std::int64_t high = run_ends.length;
        while (low < high) {
          const std::int64_t middle = low + (high - low) / 2;
          if (read_integer(run_ends.values, node.width, true, run_ends.offset + middle) > at) {
            high = middle;
          } else {
            low = middle + 1;
          }
        }
        column = child_ids_[node.first_child + 1];
        if (low >= run_ends.length || !holds(column, low + 1)) return {Kind::Malformed};
        index = low;
        continue;
      }
      default:
        return {Kind::Value, column, index};
    }
  }
}

Cell ArrowColumns::read_nested(ColumnId column, std::int64_t index) const {
  const Located found = locate(column, index);
  if (found.kind != Kind::Value) return {found.kind};
  const Node& node = nodes_[found.column];
  return read_leaf(node, node.offset + found.index);
}

namespace {

// Fixed-width values of type T, each made a number.
template <class T>
void read_numbers(const std::uint8_t* validity, const void* values, std::int64_t start,
                  std::int64_t count, InputValue* out, std::size_t stride) {
  for (std::int64_t i = 0; i < count; ++i, out += stride) {
    const std::int64_t at = start + i;
    *out = validity != nullptr && !bit(validity, at)
               ? InputValue{}
               : InputValue::of_number(static_cast<double>(load<T>(values, at)));
  }
}

}  // namespace

std::int64_t ArrowColumns::read_range(ColumnId column, std::int64_t first, std::int64_t count,
                                      InputValue* out, std::size_t stride) const {
  const Node& node = nodes_[column];
  const std::int64_t start = node.offset + first;
  switch (node.kind) {
    case ColumnKind::Int8:
      read_numbers<std::int8_t>(node.validity, node.values, start, count, out, stride);
      return -1;
    case ColumnKind::UInt8:
      read_numbers<std::uint8_t>(node.validity, node.values, start, count, out, stride);
      return -1;
    case ColumnKind::Int16:
      read_numbers<std::int16_t>(node.validity, node.values, start, count, out, stride);
      return -1;
    case ColumnKind::UInt16:
      read_numbers<std::uint16_t>(node.validity, node.values, start, count, out, stride);
      return -1;
    case ColumnKind::Int32:
      read_numbers<std::int32_t>(node.validity, node.values, start, count, out, stride);
      return -1;
    case ColumnKind::UInt32:
      read_numbers<std::uint32_t>(node.validity, node.values, start, count, out, stride);
      return -1;
    case ColumnKind::Int64:
      read_numbers<std::int64_t>(node.validity, node.values, start, count, out, stride);
      return -1;
    case ColumnKind::UInt64:
      read_numbers<std::uint64_t>(node.validity, node.values, start, count, out, stride);
      return -1;
    case ColumnKind::Float32:
      read_numbers<float>(node.validity, node.values, start, count, out, stride);
      return -1;
    case ColumnKind::Float64:
      read_numbers<double>(node.validity, node.values, start, count, out, stride);
      return -1;
    case ColumnKind::Boolean:
      for (std::int64_t i = 0; i < count; ++i, out += stride) {
        const std::int64_t at = start + i;
        *out = node.validity != nullptr && !bit(node.validity, at)
                   ? InputValue{}
                   : InputValue::of_boolean(bit(static_cast<const std::uint8_t*>(node.values), at));
      }
      return -1;
    case ColumnKind::Utf8:
      for (std::int64_t i = 0; i < count; ++i, out += stride) {
        const std::int64_t at = start + i;
        const auto begin = load<std::int32_t>(node.values, at);
        const auto end = load<std::int32_t>(node.values, at + 1);
        if (begin < 0 || end < begin) return i;
        *out = node.validity != nullptr && !bit(node.validity, at)
                   ? InputValue{}
                   : InputValue::of_text({static_cast<const char*>(node.data) + begin,
                                          static_cast<std::size_t>(end - begin)});
      }
      return -1;
    default:
      break;
  }
  // Any other layout, element by element.
  for (std::int64_t i = 0; i < count; ++i, out += stride) {
    const Cell cell = read(column, first + i);
    if (cell.kind == Kind::Malformed) return i;
    *out = cell.value;  // missing unless a value
  }
  return -1;
}

Cell ArrowColumns::read_decoded(const Node& node, std::int64_t at) const {
  const std::vector<Cell>& values = decoded_[node.decoded];
  const std::int64_t index = read_integer(node.values, node.width, node.is_signed, at);
  if (index < 0 || index >= static_cast<std::int64_t>(values.size())) return {Kind::Malformed};
  return values[static_cast<std::size_t>(index)];
}

void ArrowColumns::decode_dictionary(ColumnId column, std::int64_t most) {
  if (nodes_[column].kind != ColumnKind::Dictionary || nodes_[column].decoded != kNotDecoded)
    return;
  const ColumnId values = child_ids_[nodes_[column].first_child];
  const std::int64_t count = nodes_[values].length;
  if (count > most) return;
  std::vector<Cell> cells;
  cells.reserve(static_cast<std::size_t>(count));
  for (std::int64_t i = 0; i < count; ++i) {
    cells.push_back(read(values, i));
    if (cells.back().kind == Kind::Malformed) return;  // found again when read
  }
  nodes_[column].decoded = static_cast<std::uint32_t>(decoded_.size());
  decoded_.push_back(std::move(cells));
}

Cell ArrowColumns::read_other(const Node& node, std::int64_t at) const {
  switch (node.kind) {
    case ColumnKind::Float16:
      return {Kind::Value,
              InputValue::of_number(half_to_double(load<std::uint16_t>(node.values, at)))};
    case ColumnKind::Decimal:
      return {Kind::Value, InputValue::of_number(read_decimal(node, at))};
    case ColumnKind::LargeUtf8:
    case ColumnKind::Utf8View:
      return read_text(node, at);
    default:
      return {Kind::Refused};
  }
}

Cell ArrowColumns::read_text(const Node& node, std::int64_t at) const {
  const auto text = [](const char* data, std::int64_t size) {
    return Cell{Kind::Value, InputValue::of_text({data, static_cast<std::size_t>(size)})};
  };
  const auto* data = static_cast<const char*>(node.data);
  if (node.kind == ColumnKind::LargeUtf8) {
    const auto start = load<std::int64_t>(node.values, at);
    const auto end = load<std::int64_t>(node.values, at + 1);
    if (start < 0 || end < start) return {Kind::Malformed};
    return text(data + start, end - start);
  }
  // A view: 16 bytes, the length first; up to 12 bytes inline, else a prefix,
  // the data buffer's index and the offset in it.
  const char* view = static_cast<const char*>(node.values) + at * 16;
  const auto size = load<std::int32_t>(view, 0);
  if (size < 0) return {Kind::Malformed};
  if (size <= 12) return text(view + 4, size);
  const auto buffer = load<std::int32_t>(view + 8, 0);
  const auto offset = load<std::int32_t>(view + 12, 0);
  if (buffer < 0 || static_cast<std::uint32_t>(buffer) >= node.view_buffer_count || offset < 0) {
    return {Kind::Malformed};
  }
  const ViewBuffer& in = view_buffers_[node.first_view_buffer + static_cast<std::uint32_t>(buffer)];
  if (std::int64_t{offset} + size > in.size) return {Kind::Malformed};
  return text(in.data + offset, size);
}

// Exactly as Python's float() of the Decimal that pyarrow makes: the
// correctly rounded double of the decimal text, which strtod gives.
double ArrowColumns::read_decimal(const Node& node, std::int64_t at) const {
  std::array<std::uint32_t, 8> words{};
  const std::size_t count = node.width / 4U;
  std::memcpy(words.data(), static_cast<const char*>(node.values) + at * node.width, node.width);
  const bool negative = (words[count - 1] >> 31U) != 0;
  if (negative) {  // the magnitude: two's complement negated
    bool carry = true;
    for (std::size_t i = 0; i < count; ++i) {
      words[i] = ~words[i] + (carry ? 1U : 0U);
      carry = carry && words[i] == 0;
    }
  }
  std::string text(negative ? "-" : "");
  text.append(digits_of(words, count))
      .append("e")
      .append(std::to_string(-std::int64_t{node.scale}));
  return std::strtod(text.c_str(), nullptr);
}

std::string_view ArrowColumns::python_type(ColumnId column, std::int64_t index) const {
  const Located found = locate(column, index);
  if (found.kind == Kind::Absent) return {};
  if (found.kind == Kind::Malformed) return "?";
  const Node& node = nodes_[found.column];
  switch (node.kind) {
    case ColumnKind::Boolean:
      return "bool";
    case ColumnKind::Float16:
    case ColumnKind::Float32:
    case ColumnKind::Float64:
      return "float";
    case ColumnKind::Decimal:
      return "Decimal";
    case ColumnKind::Utf8:
    case ColumnKind::LargeUtf8:
    case ColumnKind::Utf8View:
      return "str";
    case ColumnKind::Struct:
      return "dict";
    case ColumnKind::Refused:
      return node.python_type;
    default:
      return "int";
  }
}

}  // namespace tamsel
