// The notes a read takes for the tools: where rules and comparisons stand and
// which keys the readers skip, with notes of alternatives that did not match
// dropped.
#include <gtest/gtest.h>

#include <string>

#include "construction/construct.h"
#include "documents/readers.h"

namespace tamsel {
namespace {

std::string at(const Mark& mark) {
  return std::to_string(mark.line + 1) + ":" + std::to_string(mark.column + 1);
}

// "rule@L:C(L:C L:C) ... | key@L:C ...", positions 1-based.
std::string show_notes(const ReadNotes& notes) {
  std::string shown;
  for (std::size_t r = 0; r < notes.rules.size(); ++r) {
    shown += "rule@" + at(notes.rules[r].node.position) + "(";
    const std::size_t end =
        r + 1 < notes.rules.size() ? notes.rules[r + 1].first_comparison : notes.comparisons.size();
    for (std::size_t c = notes.rules[r].first_comparison; c < end; ++c) {
      shown +=
          (c > notes.rules[r].first_comparison ? " " : "") + at(notes.comparisons[c].node.position);
    }
    shown += ") ";
  }
  shown += "|";
  for (const NotedKey& key : notes.skipped_keys)
    shown += " " + key.text + "@" + at(key.node.position);
  return shown;
}

std::string policy_notes(const std::string& text) {
  ReadNotes notes;
  auto policy = read_policy(text, &notes);
  if (!policy) return policy.error().message;
  return show_notes(notes);
}

struct Case {
  const char* text;
  const char* expected;
};

TEST(ReadNotes, PlacesRulesAndComparisonsOfThePolicy) {
  const Case cases[] = {
      // Block style.
      {"version: 1\nrules:\n  - id: r1\n    scope:\n      action: refund\n    when:\n"
       "      subject:\n        domain: action\n        field: amount\n"
       "      operator: greater_than\n      value:\n        literal: 1000\n    effect: block\n",
       "rule@3:5(7:7) |"},
      // Flow style, a list subject, and the sequence form of a comparison.
      {"version: 1\nrules:\n  - {id: r, scope: {global: true}, when: [[snapshot, x], equals,"
       " {literal: 1}], effect: block}\n",
       "rule@3:5(3:42) |"},
      // all and any, mixed forms of members.
      {"version: 1\nrules:\n  - id: a\n    scope: {actor: agent}\n    when:\n      all:\n"
       "        - [{domain: actor, field: t}, less_than, {literal: 3}]\n"
       "        - subject: [snapshot, m]\n          operator: equals\n"
       "          value: {literal: false}\n    effect: block\n"
       "  - id: b\n    scope: {action: refund}\n    when: {any: [[[action, c], equals, {literal: "
       "x}],"
       " [[actor, f], equals, {literal: true}]]}\n    effect: allow\n",
       "rule@3:5(7:11 8:11) rule@12:5(14:18 14:55) |"},
      // An unknown key of a rule is skipped by the record reader; one beside a
      // scope's or a comparison's keys makes the value buffered, and matching
      // ignores it there.
      {"version: 1\nrules:\n  - id: r\n    note: x\n    scope: {action: refund, why: y}\n"
       "    when: {subject: [action, a], operator: equals, value: {literal: 1}, hint: z}\n"
       "    effect: block\n",
       "rule@3:5(6:11) | note@4:5 why@5:29 hint@6:73"},
      // The atomic alternative is tried first on an "all" mapping and ignores
      // "all" before it fails: that note is dropped, the member's kept.
      {"version: 1\nrules:\n  - id: r\n    scope: {global: true}\n    when:\n      all:\n"
       "        - {subject: [actor, a], operator: equals, value: {literal: 1}, why: x}\n"
       "        - [[actor, b], equals, {literal: 2}]\n    effect: block\n",
       "rule@3:5(7:11 8:11) | why@7:72"},
      // Both right sides given: the literal wins and the subject is ignored.
      {"version: 1\nrules:\n  - id: r\n    scope: {global: true}\n"
       "    when: [[actor, a], equals, {literal: 1, subject: [actor, b]}]\n    effect: block\n",
       "rule@3:5(5:11) | subject@5:45"},
      // A comparison behind an alias stands where its anchored node does.
      {"version: 1\nshared: &c [[actor, a], equals, {literal: 1}]\nrules:\n  - id: r\n"
       "    scope: {global: true}\n    when: {all: [*c, *c]}\n    effect: block\n",
       "rule@4:5(2:9 2:9) | shared@2:1"},
      {"version: 1\nrules: []\n", "|"},
  };
  for (const Case& c : cases) EXPECT_EQ(policy_notes(c.text), c.expected) << c.text;
}

TEST(ReadNotes, SkippedKeysOfSchemaAndGovernance) {
  ReadNotes schema_notes;
  ASSERT_TRUE(read_schema("version: 1\nactions:\n  refund:\n    fields: {amount: number}\n"
                          "    doc: x\nactor: {fields: {}, extra: 1}\nsnapshot: {fields: {}}\n",
                          &schema_notes)
                  .has_value());
  EXPECT_EQ(show_notes(schema_notes), "| doc@5:5 extra@6:21");
  ReadNotes governance_notes;
  ASSERT_TRUE(read_governance("version: 1\ngovernance:\n  rules:\n    - id: g\n"
                              "      select: {where: {id: r}}\n"
                              "      must: {exists: true, forbid: true}\n      error: e\n",
                              &governance_notes)
                  .has_value());
  EXPECT_EQ(show_notes(governance_notes), "rule@4:7() | forbid@6:28");
}

// The error's position is the first that its message gives, as a value.
TEST(ConstructionError, NamesTheDocumentAndCarriesThePosition) {
  const std::string schema =
      "version: 1\nactions:\n  refund:\n    fields: {amount: number}\nactor: {fields: {}}\n"
      "snapshot: {fields: {}}\n";
  const std::string policy =
      "version: 1\nrules:\n  - {id: r, scope: {action: refund}, when: [[action, amount],"
      " greater_than, {literal: 1}], effect: block}\n";
  const std::string unknown_field =
      "version: 1\nrules:\n  - {id: bad, scope: {global: true}, when: [[actor, nope], equals,"
      " {literal: 1}], effect: block}\n";
  const auto forbid = [](const std::string& where) {
    return std::optional<std::string>(
        "version: 1\ngovernance:\n  rules:\n    - {id: g, select: "
        "{where: " +
        where + "}, must: {forbid: true}, error: no}\n");
  };
  struct ErrorCase {
    std::string schema;
    std::string policy;
    std::optional<std::string> governance;
    const char* expected;
  };
  const ErrorCase cases[] = {
      {"version: x\n",
       policy,
       {},
       "schema 1:10 version: invalid type: string \"x\", expected u32 at line 1 column 10"},
      {"", policy, {}, "schema - missing field `version`"},
      {schema,
       "version: 1\nrules: [\n",
       {},
       "policy 3:1 did not find expected node content at line 3 column 1, while parsing a flow "
       "node"},
      {schema,
       "version: 1\nrules: []\n---\nx: 1\n",
       {},
       "policy - deserializing from YAML containing more than one document is not supported"},
      {schema,
       "version: 1\nrules:\n  - {id: r, scope: {action: pay}, when: [[action, amount], equals,"
       " {literal: 1}], effect: block}\n",
       {},
       "policy - unknown action 'pay' in scope"},
      {schema, policy, std::string("version: 1\ngovernance: 0\n"),
       "governance 2:13 governance: invalid type: integer `0`, expected struct GovernanceBlock at "
       "line 2 column 13"},
      {schema, policy,
       std::string("version: 1\ngovernance:\n  rules:\n    - {id: g, select: {where: {}},"
                   " must: {forbid: true}, error: no}\n"),
       "policy - governance validation failed: [GovernanceViolation { rule_id: \"g\", message: "
       "\"no\" }]"},
      // A violation hides the compile errors of the policy: compilation does not run.
      {schema, unknown_field, forbid("{id: bad}"),
       "policy - governance validation failed: [GovernanceViolation { rule_id: \"g\", message: "
       "\"no\" }]"},
      {schema, unknown_field, forbid("{id: other}"),
       "policy - unknown field 'nope' in domain 'actor'"},
      {schema, unknown_field, std::string("version: 1\ngovernance: {rules: []}\n"),
       "policy - unknown field 'nope' in domain 'actor'"},
      // Empty lists read no field, so the empty allowance holds; compilation then rejects them.
      {schema,
       "version: 1\nrules:\n  - {id: e, scope: {global: true}, when: {all: []}, effect: block}\n",
       std::string("version: 1\ngovernance:\n  rules:\n    - {id: g, select: {where: {}},"
                   " must: {allowed_fields: []}, error: no}\n"),
       "policy - invalid logical condition: must contain at least two conditions"},
      // The governance text is read only after the policy.
      {schema, "version: 1\nrules: 0\n", std::string("version: x\n"),
       "policy 2:8 rules: invalid type: integer `0`, expected a sequence at line 2 column 8"},
  };
  for (const ErrorCase& c : cases) {
    std::optional<std::string_view> governance;
    if (c.governance) governance = *c.governance;
    const auto compiled = construct_policy(c.schema, c.policy, governance);
    ASSERT_FALSE(compiled.has_value()) << c.expected;
    const ConstructionError& error = compiled.error();
    constexpr const char* kDocuments[] = {"schema", "policy", "governance"};
    const std::string shown = std::string(kDocuments[static_cast<int>(error.document)]) + " " +
                              (error.position ? at(*error.position) : "-") + " " + error.message;
    EXPECT_EQ(shown, c.expected);
  }
}

}  // namespace
}  // namespace tamsel
