#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "columns/json_lines.h"

namespace tamsel {
namespace {

constexpr JsonLinesLimits kLimits{1 << 20, 1 << 16};

bool valid(const BuiltColumn& column, std::int64_t row) {
  return column.null_count == 0 ||
         ((column.validity[static_cast<std::size_t>(row >> 3)] >> (row & 7)) & 1U) != 0;
}

std::string value_text(const BuiltColumn& column, std::int64_t row) {
  if (!valid(column, row)) return "null";
  const auto at = static_cast<std::size_t>(row);
  switch (column.type) {
    case ColumnType::Boolean:
      return ((column.booleans[at >> 3] >> (at & 7)) & 1U) != 0 ? "true" : "false";
    case ColumnType::Double: {
      const double value = column.doubles[at];
      if (std::isnan(value)) return "nan";
      std::array<char, 32> text{};
      std::snprintf(text.data(), text.size(), "%.17g", value);
      return text.data();
    }
    case ColumnType::Int64:
      return std::to_string(column.integers[at]);
    case ColumnType::Text:
      return "'" +
             column.data.substr(
                 static_cast<std::size_t>(column.offsets[at]),
                 static_cast<std::size_t>(column.offsets[at + 1] - column.offsets[at])) +
             "'";
    case ColumnType::Struct:
      break;
  }
  std::string text = "{";
  for (const BuiltColumn& child : column.children) {
    const std::string inner = value_text(child, row);
    if (inner == "null") continue;  // as to_pylist() with null fields left out
    if (text.size() > 1) text += " ";
    text += child.name + "=" + inner;
  }
  return text + "}";
}

// One line a record: every column but the root's, by name.
std::string read_text(std::string_view block, const std::optional<std::string>& absent = {}) {
  const auto read = read_json_lines(block, kLimits, absent);
  if (!read) return "line by line";
  std::string text;
  const BuiltColumn& root = *read->columns;
  for (std::int64_t row = 0; row < root.length; ++row) {
    for (const BuiltColumn& column : root.children) {
      if (column.name == "offset") continue;
      text += (column.name == "position" ? "" : " ") + value_text(column, row);
    }
    text += "\n";
  }
  return text + "lines " + std::to_string(read->lines) + ", odd times " +
         std::to_string(read->odd_times) + ", bad outcomes " + std::to_string(read->bad_outcomes);
}

struct Case {
  std::string block;
  std::string read;
};

constexpr std::string_view kAllow = R"("decision":{"effect":"allow","matched_rule":null})";

TEST(JsonLines, RecordsReadAsJsonLoadsReadsTheirLines) {
  const Case cases[] = {
      // Blank lines count as lines; the last line needs no newline.
      {R"({"input":{"action":{"type":"refund"}},"decision":{"effect":"block","matched_rule":"r"}})"
       "\n  \r\n\n"
       R"({"actor":{"role":"bot"},"error":"boom","time":"2026-01-01T00:00:00Z"})",
       "1 null null {effect='block' matched_rule='r'} null {action={type='refund'}}\n"
       "4 '2026-01-01T00:00:00Z' null null 'boom' {actor={role='bot'}}\n"
       "lines 4, odd times 0, bad outcomes 0"},
      // Numbers: the integer -0 is 0, the float -0.0 keeps its sign; integers past
      // 2**53 round to even; the special tokens are Python's.
      {R"({"input":{"action":{"a":-0,"b":-0.0,"c":9007199254740993,"d":0.1,"e":1E2,)"
       R"("f":NaN,"g":-Infinity,"h":18446744073709553664,"i":1e-400}}})",
       "1 null null null null {action={a=0 b=-0 c=9007199254740992 d=0.10000000000000001 e=100 "
       "f=nan g=-inf h=1.8446744073709552e+19 i=0}}\nlines 1, odd times 0, bad outcomes 1"},
      // The numbers JSON has not, as the tools write them.
      {R"({"actor":{"a":{"number":"NaN"},"b":{ "number" : "-0.0" },"c":{"number":"-Infinity"}}})",
       "1 null null null null {actor={a=nan b=-0 c=-inf}}\nlines 1, odd times 0, bad outcomes 1"},
      // Escapes decoded in names and texts; another key of input never looked at.
      {R"({"input":{"actor":{"r\u006fle":"a\u00e9\ud83d\ude00\/","t":true},"x":[{"y":null}]},)"
       R"("id":{"deep":[[1]]},)" +
           std::string(kAllow) + "}",
       "1 null null {effect='allow'} null {actor={role='a\xc3\xa9\xf0\x9f\x98\x80/' t=true}}\n"
       "lines 1, odd times 0, bad outcomes 0"},
      // Outcomes Python would refuse, counted; a time not a text, counted.
      {R"({"action":{},"decision":{"effect":"deny"},"time":5})"
       "\n"
       R"({"action":{},"decision":{"effect":"allow","matched_rule":3}})"
       "\n"
       R"({"action":{},"error":7,)" +
           std::string(kAllow) + "}",
       "1 null null null null {action={}}\n2 null null null null {action={}}\n"
       "3 null null {effect='allow'} null {action={}}\nlines 3, odd times 1, bad outcomes 3"},
  };
  for (const Case& each : cases) {
    EXPECT_EQ(read_text(each.block), each.read) << each.block;
  }
}

TEST(JsonLines, AnAbsentPolicyHashIsTheOneGivenANullOneIsNone) {
  EXPECT_EQ(read_text(R"({"action":{},"error":"e"})"
                      "\n"
                      R"({"action":{},"error":"e","policy_hash":null})"
                      "\n"
                      R"({"action":{},"error":"e","policy_hash":"h"})",
                      "path"),
            "1 null 'path' null 'e' {action={}}\n2 null null null 'e' {action={}}\n"
            "3 null 'h' null 'e' {action={}}\nlines 3, odd times 0, bad outcomes 0");
}

TEST(JsonLines, BlocksThatPythonReadsOtherwiseAreLeftToIt) {
  const std::string_view lines[] = {
      R"({"input":{"action":{"amount":null}}})",               // refused by evaluate
      R"({"input":{"action":{"tags":[1]}}})",                  // refused by evaluate
      R"({"input":{"actor":null}})",                           // refused by evaluate
      R"({"input":5})",                                        // not a record
      R"({"error":"e"})",                                      // no input nor domain
      R"({"input":{"action":{"a":1,"a":2}}})",                 // the last one wins
      R"({"input":{"action":{}},"input":{}})",                 // the last one wins
      R"({"input":{"action":{}},"actor":{}})",                 // the input's domains only
      R"({"input":{"action":{"a":"\ud800"}}})",                // a lone surrogate
      "{\"input\":{\"action\":{\"a\":\"\xed\xa0\x80\"}}}",     // an encoded surrogate
      "{\"input\":{\"action\":{\"a\":\"\xc0\xae\"}}}",         // an overlong form
      "{\"input\":{\"action\":{\"a\":\"\x01\"}}}",             // a control character
      R"({"input":{"action":{"a":1e400}}})",                   // infinity, past the doubles
      R"({"input":{"action":{"a":-NaN}}})",                    // no JSON
      R"({"input":{"action":{"a":01}}})",                      // no JSON
      R"({"input":{"action":{"a":1.}}})",                      // no JSON
      R"({"input":{"action":{}}} x)",                          // no JSON
      R"({"input":{"action":{"a":{"number":"nan"}}}})",        // refused by evaluate
      R"({"input":{"action":{"a":{"number":"NaN","b":1}}}})",  // refused by evaluate
      R"({"input":{"action":{"number":"NaN"}}})",              // rewritten by Python
      R"({"input":{"action":{}},"policy_hash":5})",            // not a record
      "\f",                                                    // blank for Python's strip()
      "\xef\xbb\xbf{\"input\":{}}",                            // a byte order mark
      R"({"input":{action":{}}})",                             // no JSON: a key unquoted
      R"({"input":{"action":{}},)",                            // no JSON: cut short
  };
  for (const std::string_view line : lines) {
    EXPECT_EQ(read_text(line), "line by line") << line;
  }
  // A field whose values are of two kinds in one block.
  EXPECT_EQ(read_text("{\"action\":{\"a\":1}}\n{\"action\":{\"a\":\"1\"}}"), "line by line");
}

TEST(JsonLines, LinesPastTheCapsAreLeftToPython) {
  const std::string wide = "{\"action\":{\"a\":\"" + std::string(100, 'x') + "\xc3\xa9\"}}";
  EXPECT_EQ(read_json_lines(wide, {500, 100}, {}).has_value(), true);
  EXPECT_EQ(read_json_lines(wide, {400, 100}, {}).has_value(), false);  // 4 bytes a character
  const std::string many = R"({"action":{"a":1,"b":2,"c":3}})";
  EXPECT_EQ(read_json_lines(many, {1000, 8}, {}).has_value(), true);  // 8 separators
  EXPECT_EQ(read_json_lines(many, {1000, 7}, {}).has_value(), false);
  EXPECT_EQ(read_json_lines(many, {20, 100}, {}).has_value(), false);
}

}  // namespace
}  // namespace tamsel
