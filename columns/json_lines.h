// Decision records read from a block of JSON lines straight into Arrow
// columns, for a replay to evaluate and compare in columns.
//
// The columns hold exactly what Python's json.loads makes of each line, as a
// replay reads it: a number (integer or not) is the double that float() makes
// of it, so the integer -0 is 0.0 while the float -0.0 stays; NaN, Infinity
// and -Infinity are read as json.loads reads them. Where a line could read
// otherwise through Python, or is no record, or a field's values in the block
// are of more than one kind, the block is not read at all (nullopt): the
// caller reads it line by line, where every such case is decided and located.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "columns/record_columns.h"

namespace tamsel {

struct JsonLinesLimits {
  std::int64_t max_bytes = 0;   // what one line may take once read (4 bytes a character at most)
  std::int64_t max_values = 0;  // the separators one line may hold
};

// The columns of a block, one row a record, in line order (blank lines have
// none):
//   position     int64, the record's line in the block, from 1
//   offset       int64, the byte where the record's line starts in the block
//   time         utf8, null where absent, null, or not a text
//   policy_hash  utf8: absent_hash where absent, null where null
//   decision     struct<effect utf8, matched_rule utf8>, null where not one
//   error        utf8, null where absent or null
//   input        struct<action, actor, snapshot> as present in the block, each
//                a struct of the fields found, null where the record has none
struct JsonLinesBlock {
  std::shared_ptr<const BuiltColumn> columns;
  std::int64_t lines = 0;         // in the block, blank ones too
  std::int64_t odd_times = 0;     // records whose time is neither a text nor null
  std::int64_t bad_outcomes = 0;  // records without a text error nor a decision
};

// The block's records, or nullopt where it must be read line by line. A block
// is whole lines: a newline ends each but perhaps the last.
[[nodiscard]] std::optional<JsonLinesBlock> read_json_lines(
    std::string_view block, const JsonLinesLimits& limits,
    const std::optional<std::string>& absent_hash);

}  // namespace tamsel
