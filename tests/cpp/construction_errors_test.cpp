// What construction tells beside its message: the kind of error, its named
// operands, and, with notes taken, the rule and the node at fault; with notes
// off, the same kind, operands and text, and no place that the text lacks.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>

#include "construction/construct.h"

namespace tamsel {
namespace {

constexpr std::string_view kSchema =
    "version: 1\nactions:\n  refund:\n    fields: {amount: number, currency: string}\n"
    "actor: {fields: {role: string, frozen: boolean}}\nsnapshot: {fields: {level: number}}\n";
// The condition of a rule below starts at column 42 of its line.
constexpr std::string_view kGlobal = "  - {id: r, scope: {global: true}, when: ";

std::string rules(std::initializer_list<std::string_view> conditions) {
  std::string text = "version: 1\nrules:\n";
  for (const std::string_view condition : conditions) {
    text.append(kGlobal).append(condition).append(", effect: block}\n");
  }
  return text;
}

constexpr const char* kDocuments[] = {"schema", "policy", "governance"};

std::string at(const std::optional<Mark>& mark) {
  if (!mark) return "-";
  return std::to_string(mark->line + 1) + ":" + std::to_string(mark->column + 1);
}

// "DOCUMENT KIND [NAME=VALUE ...] rule=N|- at=L:C|-", 1-based.
std::string shown(const ConstructionError& error) {
  std::string out = kDocuments[static_cast<int>(error.document)];
  out.append(" ").append(error_kind_word(error.kind));
  for (const ErrorOperand& operand : error.operands) {
    out.append(" ").append(operand.name).append("=").append(operand.value);
  }
  out += " rule=" + (error.rule ? std::to_string(*error.rule) : std::string("-"));
  return out + " at=" + at(error.position);
}

struct Case {
  std::string schema;
  std::string policy;
  std::optional<std::string> governance;
  const char* expected;
};

ConstructionError failure(const Case& c, ConstructionNotes* notes) {
  std::optional<std::string_view> governance;
  if (c.governance) governance = *c.governance;
  auto compiled = construct_policy(c.schema, c.policy, governance, notes);
  EXPECT_FALSE(compiled.has_value()) << c.expected;
  return compiled ? ConstructionError{} : std::move(compiled).error();
}

TEST(ConstructionError, KindOperandsRuleAndNodeAtFault) {
  const std::string schema(kSchema);
  const std::string policy = rules({"[[actor, role], equals, {literal: a}]"});
  const Case cases[] = {
      // Reading errors: the message's own place, the rule on the path.
      {"a: b: c\n",
       policy,
       {},
       "schema yaml_syntax problem=mapping values are not allowed in this context rule=- at=1:5"},
      {schema, "version: 1\nrules: *x\n", {}, "policy unknown_anchor rule=- at=2:8"},
      {schema, "version: 1\nrules: []\n---\n", {}, "policy further_document rule=- at=-"},
      {schema,
       "version: 1\nversion: 2\nrules: []\n",
       {},
       "policy duplicate_field key=version rule=- at=-"},
      {schema,
       "version: 1\nrules:\n  - {id: r, scope: {global: true}, effect: block}\n",
       {},
       "policy missing_field key=when path=rules[0] rule=0 at=3:5"},
      {schema,
       rules({"[[actor, role], equals, {literal: a}]", "[x]"}),
       {},
       "policy no_variant_matched type=ConditionAst path=rules[1] rule=1 at=4:5"},
      {schema,
       rules({"!t [[actor, role], equals, {literal: a}]"}),
       {},
       "policy tagged_alternative path=rules[0].when rule=0 at=3:42"},
      {schema,
       "version: !!int x\nrules: []\n",
       {},
       "policy invalid_value found=string \"x\" expected=an integer path=version rule=- at=1:10"},
      {schema,
       "version: 1\nrules: {}\n",
       {},
       "policy invalid_type found=map expected=a sequence path=rules rule=- at=2:8"},
      {schema,
       "version: 1\nrules:\n  - {id: r, scope: {global: true}, when: [[actor, role], "
       "equals, {literal: a}], effect: deny}\n",
       {},
       "policy unknown_variant variant=deny expected=one of `allow`, `block`, `require_approval` "
       "path=rules[0].effect rule=0 at=3:89"},
      // The root, the rules and the rule take three levels of 128.
      {schema,
       rules({std::string(126, '[') + std::string(126, ']')}),
       {},
       "policy recursion_limit rule=- at=3:167"},
      // Compile errors, at their node.
      {schema,
       "version: 1\nrules:\n  - {id: r, scope: {action: pay}, when: [[actor, role], equals, "
       "{literal: a}], effect: block}\n",
       {},
       "policy unknown_action action=pay rule=0 at=3:20"},
      {schema,
       "version: 1\nrules:\n  - {id: r, scope: {global: false}, when: [[actor, role], equals, "
       "{literal: a}], effect: block}\n",
       {},
       "policy invalid_scope rule=0 at=3:20"},
      {schema,
       rules({"[[act, role], equals, {literal: a}]"}),
       {},
       "policy unknown_domain domain=act rule=0 at=3:43"},
      {schema,
       rules({"[[action, amount], equals, {literal: 1}]"}),
       {},
       "policy unknown_field domain=action field=amount rule=0 at=3:43"},
      {schema,
       rules({"[[actor, role], equals, {subject: [snapshot, role]}]"}),
       {},
       "policy unknown_field domain=snapshot field=role rule=0 at=3:76"},
      {schema,
       rules({"[[actor, role], Equals, {literal: a}]"}),
       {},
       "policy unknown_operator operator=Equals rule=0 at=3:42"},
      {schema,
       rules({"[[snapshot, level], less_than, {literal: a}]"}),
       {},
       "policy type_mismatch left_type=number right_type=string rule=0 at=3:42"},
      {schema,
       rules({"[[actor, frozen], not_in, {literal: true}]"}),
       {},
       "policy operator_not_admitted operator=not_in type=boolean rule=0 at=3:42"},
      {schema,
       rules({"{any: [[[actor, role], equals, {literal: a}]]}"}),
       {},
       "policy too_few_members condition=any rule=0 at=3:42"},
      // The second member of the second rule.
      {schema,
       rules({"[[actor, role], equals, {literal: a}]",
              "{all: [[[actor, role], equals, {literal: a}], [[actor, nope], equals, "
              "{literal: a}]]}"}),
       {},
       "policy unknown_field domain=actor field=nope rule=1 at=4:89"},
      // Governance: the first violation located in the policy gives the place.
      {schema,
       rules({"[[actor, role], equals, {literal: a}]", "[[actor, role], equals, {literal: b}]"}),
       std::string("version: 1\ngovernance:\n  rules:\n"
                   "    - {id: one, select: {where: {}}, must: {max_count: 1}, error: e}\n"),
       "policy governance_violation governance_rule=one governance_message=e rule=1 at=4:5"},
  };
  for (const Case& c : cases) {
    ConstructionNotes notes;
    const ConstructionError noted = failure(c, &notes);
    EXPECT_EQ(shown(noted), c.expected);
    // Without notes: the same text, kind and operands; a compile error has no place.
    const ConstructionError plain = failure(c, nullptr);
    EXPECT_EQ(plain.message, noted.message) << c.expected;
    const std::string place_free = shown(plain);
    EXPECT_EQ(place_free.substr(0, place_free.find(" rule=")),
              shown(noted).substr(0, shown(noted).find(" rule=")));
    EXPECT_FALSE(plain.rule.has_value()) << c.expected;
    const bool compile_error = noted.kind >= ErrorKind::UnknownAction;
    EXPECT_EQ(plain.position.has_value(), !compile_error && noted.position.has_value())
        << c.expected;
  }
}

std::string violations_of(const ConstructionError& error) {
  std::string out;
  for (const ConstructionError::Violation& v : error.violations) {
    out.append(v.rule_id).append("(").append(v.message).append(") ");
    out.append(kDocuments[static_cast<int>(v.document)]);
    out += " rule=" + (v.rule ? std::to_string(*v.rule) : std::string("-"));
    out += " at=" + at(v.position) + "; ";
  }
  return out;
}

// Every violation, in governance order, at the policy rule that breaks it, or
// at the governance rule that requires what is missing.
TEST(ConstructionError, EveryViolationAtItsRule) {
  const std::string policy = rules({"[[actor, role], equals, {literal: a}]",
                                    "[[snapshot, level], less_than, {literal: 3}]",
                                    "[[actor, frozen], equals, {literal: true}]"});
  const std::string governance =
      "version: 1\ngovernance:\n  rules:\n"
      "    - {id: none, select: {where: {id: r}}, must: {forbid: true}, error: a}\n"
      "    - {id: two, select: {where: {}}, must: {max_count: 2}, error: b}\n"
      "    - {id: ten, select: {where: {}}, must: {min_count: 10}, error: c}\n"
      "    - {id: allow, select: {where: {effect: allow}}, must: {exists: true}, error: d}\n"
      "    - {id: actor, select: {where: {}}, must: {allowed_fields: [actor.role, actor.frozen]},"
      " error: e}\n"
      "    - {id: fine, select: {where: {}}, must: {forbid: false}, error: f}\n";
  const std::string expected =
      "none(a) policy rule=0 at=3:5; two(b) policy rule=2 at=5:5; ten(c) governance rule=- "
      "at=6:7; allow(d) governance rule=- at=7:7; actor(e) policy rule=1 at=4:5; ";
  ConstructionNotes notes;
  const auto noted = construct_policy(kSchema, policy, governance, &notes);
  ASSERT_FALSE(noted.has_value());
  EXPECT_EQ(violations_of(noted.error()), expected);
  EXPECT_EQ(at(noted.error().position), "3:5");
  // Without notes: the same violations, unplaced.
  const auto plain = construct_policy(kSchema, policy, governance);
  ASSERT_FALSE(plain.has_value());
  EXPECT_EQ(violations_of(plain.error()),
            "none(a) policy rule=- at=-; two(b) policy rule=- at=-; ten(c) governance rule=- "
            "at=-; allow(d) governance rule=- at=-; actor(e) policy rule=- at=-; ");
  EXPECT_EQ(plain.error().message, noted.error().message);
}

}  // namespace
}  // namespace tamsel
