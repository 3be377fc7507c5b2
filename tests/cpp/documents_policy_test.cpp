#include <gtest/gtest.h>

#include <string>

#include "tests/cpp/documents_test_util.h"

namespace tamsel {
namespace {

using testing::show_policy;

struct Case {
  const char* text;
  const char* expected;
};

// A rule around one `when` or `scope` text.
std::string with_when(const std::string& when) {
  return "version: 1\nrules:\n  - id: r\n    scope: {action: a}\n    when: " + when +
         "\n    effect: block\n";
}
std::string with_scope(const std::string& scope) {
  return "version: 1\nrules:\n  - id: r\n    scope: " + scope +
         "\n    when: [[action, x], equals, {literal: 1}]\n    effect: block\n";
}

TEST(DocumentsPolicy, ReadsTheFormsOfRules) {
  const Case cases[] = {
      {"version: 1\nrules:\n  - id: r1\n    scope:\n      action: refund\n    when:\n"
       "      subject:\n        domain: action\n        field: amount\n"
       "      operator: greater_than\n      value:\n        literal: 1000\n    effect: block\n",
       "v1: r1 action:refund [action.amount greater_than 1000] block"},
      {"version: 2\nrules:\n  - id: r2\n    scope: {actor: agent}\n    when:\n      all:\n"
       "        - [{domain: actor, field: t}, less_than, {literal: 3}]\n"
       "        - subject: [snapshot, m]\n          operator: equals\n"
       "          value: {literal: false}\n    effect: require_approval\n",
       "v2: r2 actor:agent [all(actor.t less_than 3; snapshot.m equals false)] require_approval"},
      {"version: 1\nrules:\n  - {id: r3, scope: {global: true}, effect: allow,\n"
       "     when: {any: [[[a, b], c, {subject: {domain: s, field: f}}]]}}\n",
       "v1: r3 global [any(a.b c s.f)] allow"},
      {"version: 0x10\nrules:\n", "v16:"},
      {"version: +7\nrules: []\n", "v7:"},
      {"version: 1\nrules:\n...\n", "v1:"},
      {"version: 1\nrules: []\nextra: {deep: [1, *unknown_is_not_expanded]}\n",
       "unknown anchor at line 3 column 19"},
      {"version: 1\nrules: []\nextra: [[[[{a: b}]]]]\n<<: {rules: 5}\n", "v1:"},
      {"version: 1\nrules:\n  - id: 42\n    scope: {action: a}\n    when: [[a, b], c, {literal: "
       "x}]\n"
       "    effect: \"allow\"\n    note: [ignored]\n",
       "v1: 42 action:a [a.b c \"x\"] allow"},
      {"version: 1\nrules:\n  - id:\n    scope: {action: a}\n    when: [[a, b], c, {literal: x}]\n"
       "    effect: !allow\n",
       "v1:  action:a [a.b c \"x\"] allow"},
  };
  for (const Case& c : cases) EXPECT_EQ(show_policy(c.text), c.expected) << c.text;
}

// The same value behind an alias, which is always buffered before matching:
// the anchored copy stands under an ignored key on the line before.
std::string behind_alias(std::string text, const std::string& key, const std::string& anchored) {
  text.insert(text.find(key), anchored);
  return text;
}
std::string with_aliased_when(const std::string& when) {
  return behind_alias(with_when("*c"), "    when: ", testing::cat("    x: &c ", when, "\n"));
}
std::string with_aliased_scope(const std::string& scope) {
  return behind_alias(with_scope("*s"), "    scope: ", testing::cat("    xx: &s ", scope, "\n"));
}

// Common forms are read without buffering: each case, read as it stands and
// through an alias, gives the same tree or the same message. Inner positions
// agree because the anchored text starts in the same column as the value.
TEST(DocumentsPolicy, ReadsCommonFormsAsBufferingWould) {
  const Case conditions[] = {
      {"[[a, b], c, {literal: 1}]", "v1: r action:a [a.b c 1] block"},
      {"{subject: {field: b, domain: a}, value: {subject: [d, e]}, operator: c}",
       "v1: r action:a [a.b c d.e] block"},
      {"{all: [[[a, b], c, {literal: -1.5}], {subject: [d, e], operator: f, value: {literal: "
       "'x'}}]}",
       "v1: r action:a [all(a.b c -1.5; d.e f \"x\")] block"},
      {"{any: []}", "v1: r action:a [any()] block"},
      {"{\"any\": [[[a, b], c, {literal: false}]]}", "v1: r action:a [any(a.b c false)] block"},
      {"[[a, b], c, {literal: 18446744073709551615}]",
       "v1: r action:a [a.b c 1.8446744073709552e+19] block"},
      // Keys of several alternatives at once, and tags.
      {"{subject: [a, b], operator: c, value: {literal: 1, subject: [d, e]}}",
       "v1: r action:a [a.b c 1] block"},
      {"{subject: [a, b], operator: !!str 5, value: {literal: 1}}",
       "v1: r action:a [a.b 5 1] block"},
      {"{all: [[[a, b], c, {literal: 1}]], subject: [a, b]}",
       "v1: r action:a [all(a.b c 1)] block"},
      // Malformed: where buffering fails.
      {"[[a, b], c, {literal: ~}]", "ConditionAst"},
      {"[[a, b], c, {literal: 1}, d]", "ConditionAst"},
      {"{subject: [a, b], operator: c}", "ConditionAst"},
      {"{subject: [a, b], operator: c, value: {literal: 1}, operator: c}", "ConditionAst"},
      {"{all: [[[a, b], c, {literal: 1}]], any: []}", "v1: r action:a [all(a.b c 1)] block"},
      {"{all: [[[a, b], c, {literal: 1}], {any: []}]}", "ConditionAst"},
      {"{subject: [a, b], operator: c, value: {literal: 1}, x: !t 1}",
       "rules[0].when.x: untagged and internally tagged enums do not support enum input at line 5 "
       "column 66"},
      {"{all: [[[a, b], c, {literal: 1}], [[a, b], c, {literal: 18446744073709551616}]]}",
       "rules[0].when.all[1][2].literal: invalid type: integer `18446744073709551616` as u128, "
       "expected any value at line 5 column 67"},
      {"[[a, b], c, {literal: 1}, [[[[x]]]]]", "ConditionAst"},
  };
  for (const Case& c : conditions) {
    const std::string expected =
        std::string(c.expected) == "ConditionAst"
            ? "rules[0]: data did not match any variant of untagged enum ConditionAst at line 3 "
              "column 5"
            : c.expected;
    EXPECT_EQ(show_policy(with_when(c.text)), expected) << c.text;
    EXPECT_EQ(show_policy(with_aliased_when(c.text)), expected) << c.text;
  }
  const Case scopes[] = {
      {"{action: refund}", "action:refund"},
      {"{actor: 'agent 1'}", "actor:agent 1"},
      {"{global: FALSE}", "global:false"},
      {"{actor: x, action: a}", "action:a"},
      {"{action: ~}", "ScopeAst"},
      {"{global: yes}", "ScopeAst"},
      {"{actor: a, z: [!t 1]}",
       "rules[0].scope.z[0]: untagged and internally tagged enums do not support enum input at "
       "line 4 column 27"},
  };
  for (const Case& c : scopes) {
    std::string expected = c.expected;
    if (expected == "ScopeAst") {
      expected =
          "rules[0]: data did not match any variant of untagged enum ScopeAst at line 3 "
          "column 5";
    } else if (expected[0] != 'r') {
      expected = testing::cat("v1: r ", expected, " [action.x equals 1] block");
    }
    EXPECT_EQ(show_policy(with_scope(c.text)), expected) << c.text;
    EXPECT_EQ(show_policy(with_aliased_scope(c.text)), expected) << c.text;
  }
}

TEST(DocumentsPolicy, MatchesScopeAlternativesInOrder) {
  const Case cases[] = {
      {"{action: refund, actor: agent}", "action:refund"},
      {"{action: refund, global: true}", "action:refund"},
      {"{actor: 5, global: false}", "global:false"},
      {"{0: refund}", "action:refund"},
      {"{'action': a, 7: ignored}", "action:a"},
      {"{global: \"true\"}", "ScopeAst"},
      {"{action: 5}", "ScopeAst"},
      {"{action: a, action: b}", "ScopeAst"},
      {"{action: a, ~: b}", "ScopeAst"},
      {"{}", "ScopeAst"},
      {"", "ScopeAst"},
      {"[refund]", "ScopeAst"},
  };
  for (const Case& c : cases) {
    const std::string shown = show_policy(with_scope(c.text));
    const std::string expected =
        std::string(c.expected) == "ScopeAst"
            ? "rules[0]: data did not match any variant of untagged "
              "enum ScopeAst at line 3 column 5"
            : "v1: r " + std::string(c.expected) + " [action.x equals 1] block";
    EXPECT_EQ(shown, expected) << c.text;
  }
}

TEST(DocumentsPolicy, MatchesConditionsAndLiterals) {
  const Case cases[] = {
      {"[[a, b], c, {literal: \"100\"}]", "a.b c \"100\""},
      {"[[a, b], c, {literal: 1e3}]", "a.b c 1000"},
      {"[[a, b], c, {literal: 0x1F}]", "a.b c 31"},
      {"[[a, b], c, {literal: -2}]", "a.b c -2"},
      {"[[a, b], c, {literal: 012}]", "a.b c \"012\""},
      {"[[a, b], c, {literal: yes}]", "a.b c \"yes\""},
      {"[[a, b], c, {literal: True}]", "a.b c true"},
      {"[[a, b], c, {literal: !!int \"7\"}]", "a.b c 7"},
      {"[[a, b], c, {literal: '5'}]", "a.b c \"5\""},
      {"{0: [a, b], 1: c, 2: {literal: 1}}", "a.b c 1"},
      {"{subject: {0: a, 1: b}, operator: c, value: {subject: [d, e]}}", "a.b c d.e"},
      {"{subject: [a, b], operator: c, value: {literal: 1}, all: []}", "a.b c 1"},
      {"{all: [], any: [[[a, b], c, {literal: 1}]]}", "all()"},
      {"{all: 5, any: [[[a, b], c, {literal: 1}]]}", "any(a.b c 1)"},
      {"[[a, b], c, {literal: ~}]", "ConditionAst"},
      {"[[a, b], c, {literal: [1, 2]}]", "ConditionAst"},
      {"[[a, b], c, 1000]", "ConditionAst"},
      {"[[a, b], c]", "ConditionAst"},
      {"[[a, b], c, {literal: 1}, d]", "ConditionAst"},
      {"[[a, 5], c, {literal: 1}]", "ConditionAst"},
      {"[[a, b], 5, {literal: 1}]", "ConditionAst"},
      {"{all: [[[a, b], c, {literal: 1}], {any: [[[a, b], c, {literal: 1}]]}]}", "ConditionAst"},
      {"{all: ~}", "ConditionAst"},
      {"{alll: []}", "ConditionAst"},
      {"{subject: [a, b], operator: c, value: {literal: 1}, subject: [a, b]}", "ConditionAst"},
      // Values under keys that no alternative reads are checked, then left out.
      {"{x: [1, {y: 2}], all: [[[a, b], c, {literal: 1}], [[d, e], f, {literal: 2}]], z: 3}",
       "all(a.b c 1; d.e f 2)"},
      {"{3: [1], 2: {literal: 1}, 1: c, 0: [a, b], 4: x}", "a.b c 1"},
      {"{2: {literal: 1}, 1: c, 0: [a, b], 0: [a, b]}", "ConditionAst"},
      {"{~: 1, all: []}", "ConditionAst"},
      {"{-1: 1, all: []}", "ConditionAst"},
      {"{[all]: [], all: []}", "ConditionAst"},
  };
  for (const Case& c : cases) {
    const std::string shown = show_policy(with_when(c.text));
    const std::string expected = std::string(c.expected) == "ConditionAst"
                                     ? "rules[0]: data did not match any variant of untagged "
                                       "enum ConditionAst at line 3 column 5"
                                     : "v1: r action:a [" + std::string(c.expected) + "] block";
    EXPECT_EQ(shown, expected) << c.text;
  }
}

// Plain scalars are typed by their text: the literal shows what each became.
TEST(DocumentsPolicy, ClassifiesPlainScalars) {
  const Case cases[] = {
      {"0o17", "15"},
      {"0b101", "5"},
      {"+7", "7"},
      {"-0x10", "-16"},
      {"0X1F", "\"0X1F\""},
      {"0x+1", "\"0x+1\""},
      {"1_000", "\"1_000\""},
      {"007", "\"007\""},
      {"-012", "\"-012\""},
      {"00.5", "0.5"},
      {".5", "0.5"},
      {"1.", "1"},
      {"-2.5E-3", "-0.0025000000000000001"},
      {".inf", "inf"},
      {"-.Inf", "-inf"},
      {".NaN", "nan"},
      {"+.inf", "inf"},
      {"+.nan", "\"+.nan\""},
      {"inf", "\"inf\""},
      {"nan", "\"nan\""},
      {"1e400", "\"1e400\""},
      {"1e-400", "0"},
      {"+-1", "\"+-1\""},
      {"off", "\"off\""},
      {"FALSE", "false"},
      {"fAlse", "\"fAlse\""},
      {"18446744073709551615", "1.8446744073709552e+19"},
      {"-9223372036854775808", "-9.2233720368547758e+18"},
      {"340282366920938463463374607431768211456", "3.4028236692093846e+38"},
      {"!!float 1", "1"},
      {"!!str 1", "\"1\""},
      {"\"true\"", "\"true\""},
  };
  for (const Case& c : cases) {
    const std::string text = with_when(std::string("[[a, b], c, {literal: ") + c.text + "}]");
    const std::string expected = std::string("v1: r action:a [a.b c ") + c.expected + "] block";
    EXPECT_EQ(show_policy(text), expected) << c.text;
  }
  const Case failures[] = {
      {"18446744073709551616",
       "invalid type: integer `18446744073709551616` as u128, expected any value"},
      {"0xFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
       "invalid type: integer `340282366920938463463374607431768211455` as u128, expected any "
       "value"},
      {"-9223372036854775809",
       "invalid type: integer `-9223372036854775809` as i128, expected any value"},
      {"!!bool yes", "invalid value: string \"yes\", expected a boolean"},
      {"!!int 1.5", "invalid value: string \"1.5\", expected an integer"},
      {"!!float x", "invalid value: string \"x\", expected a float"},
      {"!!null 0", "invalid value: string \"0\", expected null"},
  };
  for (const Case& c : failures) {
    const std::string text = with_when(std::string("[[a, b], c, {literal: ") + c.text + "}]");
    EXPECT_EQ(show_policy(text),
              std::string("rules[0].when[2].literal: ") + c.expected + " at line 5 column 33")
        << c.text;
  }
}

TEST(DocumentsPolicy, ReportsEachFormError) {
  const Case cases[] = {
      {"", "missing field `version`"},
      {"# nothing\n", "missing field `version` at line 2 column 1"},
      {"version: 1", "missing field `rules`"},
      {"---\nversion: 1", "missing field `rules` at line 2 column 1"},
      {"version: 1\nrules: ~\n",
       "rules: invalid type: unit value, expected a sequence at line 2 column 8"},
      {"version: abc\n", "version: invalid type: string \"abc\", expected u32 at line 1 column 10"},
      {"version: 007\n", "version: invalid type: string \"007\", expected u32 at line 1 column 10"},
      {"version: \"1\"\n", "version: invalid type: string \"1\", expected u32 at line 1 column 10"},
      {"version: -3\n", "version: invalid type: integer `-3`, expected u32 at line 1 column 10"},
      {"version: 1.5\n",
       "version: invalid type: floating point `1.5`, expected u32 at line 1 column 10"},
      {"version: 4294967296\n",
       "version: invalid value: integer `4294967296`, expected u32 at line 1 column 10"},
      {"version: 18446744073709551616\n",
       "version: invalid value: integer `18446744073709551616`, expected u32 at line 1 column 10"},
      {"version: !!int x\n",
       "version: invalid value: string \"x\", expected an integer at line 1 column 10"},
      {"[1]\n", "invalid type: sequence, expected struct PolicyAst"},
      {"version: 1\nrules: [5]\n",
       "rules[0]: invalid type: integer `5`, expected struct RuleAst at line 2 column 9"},
      {"version: 1\nrules:\n  - id: r1\n    scope: {action: a}\n    when: [[a, b], c, {literal: "
       "1}]\n",
       "rules[0]: missing field `effect` at line 3 column 5"},
      {"version: 1\nrules:\n  - id: r1\n    scope: {action: 7}\n",
       "rules[0]: data did not match any variant of untagged enum ScopeAst at line 3 column 5"},
      {"version: 1\nrules:\n  - id: r1\n    scope: {action: a}\n    when: [[a, b], c, {literal: "
       "1}]\n"
       "    effect: deny\n",
       "rules[0].effect: unknown variant `deny`, expected one of `allow`, `block`, "
       "`require_approval` at line 6 column 13"},
      {"version: 1\nrules:\n  - {id: a, id: b}\n",
       "rules[0]: duplicate field `id` at line 3 column 5"},
      {"version: 1\nrules:\n  - {id: [a]}\n",
       "rules[0].id: invalid type: sequence, expected a string at line 3 column 10"},
      {"version: 1\nrules:\n  - {[id]: a}\n",
       "rules[0]: invalid type: sequence, expected field identifier at line 3 column 6"},
      {"version: 1\nrules:\n  - {id: a, scope: {action: a}, when: [[a, b], c, {literal: 1}], "
       "effect: Allow}\n",
       "rules[0].effect: unknown variant `Allow`, expected one of `allow`, `block`, "
       "`require_approval` at line 3 column 74"},
      {"version: 1\nrules:\n  - {id: a, scope: {action: a}, when: [[a, b], c, {literal: 1}], "
       "effect: {x: 1}}\n",
       "rules[0].effect: invalid type: map, expected a YAML tag starting with '!' at line 3 "
       "column 74"},
      {"version: 1\nrules:\n  - {id: a, scope: {action: a}, when: [[a, b], c, {literal: 1}], "
       "effect: !allow x}\n",
       "rules[0].effect: invalid value: string \"x\", expected null at line 3 column 74"},
      {"version: 1\nrules:\n  - {id: a, scope: {action: a}, when: [[a, b], c, {literal: 1}], "
       "effect: !allow [x]}\n",
       "rules[0].effect: invalid type: sequence, expected unit at line 3 column 74"},
      {"version: 1\nrules:\n  - {id: a, scope: {action: a}, when: [[a, b], c, {literal: 1}], "
       "effect: !deny }\n",
       "rules[0].effect: unknown variant `deny`, expected one of `allow`, `block`, "
       "`require_approval` at line 3 column 74"},
      {"version: 1\nrules:\n  - id: a\n    scope: !x {action: a}\n",
       "rules[0].scope: untagged and internally tagged enums do not support enum input at line 4 "
       "column 12"},
      {"version: 1\nrules:\n  - id: a\n    when: {all: [[[a, !x b], c, d]]}\n",
       "rules[0].when.all[0][0][1]: untagged and internally tagged enums do not support enum "
       "input at line 4 column 23"},
      // Under a key that no alternative reads, a value is still checked whole.
      {"version: 1\nrules:\n  - id: a\n    when: {x: [1, {y: !x b}]}\n",
       "rules[0].when.x[1].y: untagged and internally tagged enums do not support enum input at "
       "line 4 column 23"},
      {"version: 1\nrules:\n  - id: a\n    scope: {z: 18446744073709551616}\n",
       "rules[0].scope.z: invalid type: integer `18446744073709551616` as u128, expected any value "
       "at line 4 column 16"},
      {"version: 1\nrules:\n  - id: a\n    when: {x: [!!bool yes]}\n",
       "rules[0].when.x[0]: invalid value: string \"yes\", expected a boolean at line 4 column 16"},
      {"version: 1\nrules:\n  - id: a\n    when: {x: [1, 2\n",
       "did not find expected ',' or ']' at line 5 column 1, while parsing a flow sequence at line "
       "4 column 15"},
  };
  for (const Case& c : cases) EXPECT_EQ(show_policy(c.text), c.expected) << c.text;
}

}  // namespace
}  // namespace tamsel
