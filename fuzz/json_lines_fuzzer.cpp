// The reader of JSON Lines blocks on any bytes. Its input is the block itself,
// read twice: with room to spare, and with caps that the block's own first
// byte makes small. Where a block is read, its columns must hold together:
// every column as long as the records, positions rising within the block's
// lines, offsets at the starts of lines, text offsets rising within their bytes and every text
// strict UTF-8, and the export through the C Data Interface released whole. A crash, leak,
// undefined behaviour or broken column is a fault.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "columns/json_lines.h"

namespace {

void check(bool holds) {
  if (!holds) std::abort();
}

// Strict UTF-8: no overlong form, no surrogate, nothing past U+10FFFF.
bool strict_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t size = 1;
    unsigned low = 0x80;
    unsigned high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      size = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      size = 3;
      low = lead == 0xE0 ? 0xA0 : 0x80;
      high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      size = 4;
      low = lead == 0xF0 ? 0x90 : 0x80;
      high = lead == 0xF4 ? 0x8F : 0xBF;
    } else if (lead >= 0x80) {
      return false;
    }
    if (size > 1) {
      if (i + size > text.size()) return false;
      const auto second = static_cast<unsigned char>(text[i + 1]);
      if (second < low || second > high) return false;
      for (std::size_t k = 2; k < size; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if (next < 0x80 || next > 0xBF) return false;
      }
    }
    i += size;
  }
  return true;
}

void check_column(const tamsel::BuiltColumn& column, std::int64_t rows) {
  check(column.length == rows);
  const auto count = static_cast<std::size_t>(rows);
  check(column.validity.size() == (count + 7) / 8);
  switch (column.type) {
    case tamsel::ColumnType::Boolean:
      check(column.booleans.size() == column.validity.size());
      break;
    case tamsel::ColumnType::Double:
      check(column.doubles.size() == count);
      break;
    case tamsel::ColumnType::Int64:
      check(column.integers.size() == count);
      break;
    case tamsel::ColumnType::Text:
      check(column.offsets.size() == count + 1 && column.offsets.front() == 0);
      for (std::size_t i = 0; i < count; ++i) check(column.offsets[i] <= column.offsets[i + 1]);
      check(static_cast<std::size_t>(column.offsets.back()) == column.data.size());
      check(strict_utf8(column.data));
      break;
    case tamsel::ColumnType::Struct:
      for (const auto& child : column.children) check_column(child, rows);
      break;
  }
}

void read(std::string_view block, const tamsel::JsonLinesLimits& limits) {
  const std::optional<std::string> hash =
      (block.size() & 1) != 0 ? std::optional<std::string>("h") : std::nullopt;
  const auto read = tamsel::read_json_lines(block, limits, hash);
  if (!read) return;
  const tamsel::BuiltColumn& root = *read->columns;
  check_column(root, root.length);
  std::int64_t lines = 1;
  for (const char c : block) lines += c == '\n' ? 1 : 0;
  std::int64_t last = 0;
  for (const std::int64_t position : root.children[0].integers) {
    check(position > last && position <= lines);
    last = position;
  }
  // Each record's line starts where a line does.
  for (const std::int64_t offset : root.children[1].integers) {
    check(offset >= 0 && static_cast<std::size_t>(offset) < block.size());
    check(offset == 0 || block[static_cast<std::size_t>(offset) - 1] == '\n');
  }
  check(read->odd_times <= root.length && read->bad_outcomes <= root.length);
  ArrowSchema schema{};
  ArrowArray array{};
  tamsel::export_columns(read->columns, &schema, &array);
  check(array.length == root.length && schema.n_children == array.n_children);
  array.release(&array);
  schema.release(&schema);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view block(reinterpret_cast<const char*>(data), size);
  read(block, {1 << 20, 1 << 16});
  const std::int64_t small = size > 0 ? data[0] : 0;
  read(block, {small * 4, small / 4});
  return 0;
}
