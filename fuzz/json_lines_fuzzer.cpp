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

// Strict UTF-8, judged by decoding each character: a code point past the
// largest of a shorter form (overlong), a surrogate, or past U+10FFFF is none.
bool strict_utf8(std::string_view text) {
  constexpr std::uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<std::uint32_t>(static_cast<unsigned char>(text[i]));
    const std::size_t size = lead < 0x80   ? 1
                             : lead < 0xC0 ? 0
                             : lead < 0xE0 ? 2
                             : lead < 0xF0 ? 3
                             : lead < 0xF8 ? 4
                                           : 0;
    if (size == 0 || i + size > text.size()) return false;
    std::uint32_t code = size == 1 ? lead : lead & (0xFFU >> (size + 1));
    for (std::size_t k = 1; k < size; ++k) {
      const auto next = static_cast<std::uint32_t>(static_cast<unsigned char>(text[i + k]));
      if ((next & 0xC0U) != 0x80U) return false;
      code = (code << 6) | (next & 0x3FU);
    }
    if (code < kSmallest[size] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
      return false;
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
