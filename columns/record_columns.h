// Arrow columns built in memory and handed out through the C Data Interface
// without a copy: booleans, doubles, 64-bit integers, utf8 texts and structs
// of them, each with its validity. A tree is immutable once built; every
// export shares it and keeps it alive until its last release.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "columns/arrow_abi.h"

namespace tamsel {

enum class ColumnType : std::uint8_t { Boolean, Double, Int64, Text, Struct };

// One column being built, appended to row by row. A row left out (a field a
// record does not have) is null: pad_to() fills the rows skipped.
struct BuiltColumn {
  BuiltColumn(std::string column_name, ColumnType column_type)
      : name(std::move(column_name)), type(column_type) {}

  std::string name;
  ColumnType type;
  std::int64_t length = 0;
  std::int64_t null_count = 0;
  std::vector<std::uint8_t> validity;
  std::vector<std::uint8_t> booleans;  // bits, as validity
  std::vector<double> doubles;
  std::vector<std::int64_t> integers;
  std::vector<std::int32_t> offsets{0};
  std::string data;
  std::vector<BuiltColumn> children;  // a struct's fields, in order

  // Room for so many rows in all, texts aside.
  void reserve(std::int64_t rows) {
    const auto count = static_cast<std::size_t>(rows);
    validity.reserve((count + 7) / 8);
    if (type == ColumnType::Boolean) booleans.reserve((count + 7) / 8);
    if (type == ColumnType::Double) doubles.reserve(count);
    if (type == ColumnType::Int64) integers.reserve(count);
    if (type == ColumnType::Text) offsets.reserve(count + 1);
  }
  // Nulls up to (not including) row.
  void pad_to(std::int64_t row) {
    while (length < row) append_null();
  }
  void append_null() {
    open_row();
    ++null_count;
    close_row();
  }
  void append_boolean(bool value) {
    const std::uint8_t bit = open_row();
    validity.back() |= bit;
    if (value) booleans.back() |= bit;
    close_row();
  }
  void append_double(double value) {
    const std::uint8_t bit = open_row();
    validity.back() |= bit;
    doubles.back() = value;
    close_row();
  }
  void append_int64(std::int64_t value) {
    const std::uint8_t bit = open_row();
    validity.back() |= bit;
    integers.back() = value;
    close_row();
  }
  void append_text(std::string_view value) {
    const std::uint8_t bit = open_row();
    validity.back() |= bit;
    data.append(value);
    offsets.back() = static_cast<std::int32_t>(data.size());
    close_row();
  }
  // A struct's row: valid or not; its children are appended to on their own.
  void append_struct(bool valid) {
    const std::uint8_t bit = open_row();
    if (valid) {
      validity.back() |= bit;
    } else {
      ++null_count;
    }
    close_row();
  }

 private:
  // The row's bit, every buffer of the type grown by one row.
  std::uint8_t open_row() {
    if ((length & 7) == 0) {
      validity.push_back(0);
      if (type == ColumnType::Boolean) booleans.push_back(0);
    }
    if (type == ColumnType::Double) doubles.push_back(0);
    if (type == ColumnType::Int64) integers.push_back(0);
    if (type == ColumnType::Text) offsets.push_back(static_cast<std::int32_t>(data.size()));
    return static_cast<std::uint8_t>(1U << static_cast<unsigned>(length & 7));
  }
  void close_row() { ++length; }
};

// The struct column root as a schema and an array, sharing its buffers. Both
// out structs are overwritten; the caller releases them.
void export_columns(const std::shared_ptr<const BuiltColumn>& root, ArrowSchema* schema,
                    ArrowArray* array);

}  // namespace tamsel
