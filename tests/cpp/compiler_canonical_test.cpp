#include <gtest/gtest.h>

#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/sha256.h"
#include "compiler/canonical.h"

namespace tamsel {
namespace {

// Texts are views: the tests pass literals, or texts that outlive the policy.
AtomicCondition comparison(Domain domain, std::string_view field, Operator op, Operand rhs) {
  return AtomicCondition{SubjectRef{field, domain}, op, rhs};
}

Operand literal(FieldValue value) { return Operand{Operand::Literal{value}}; }

CompiledRule atomic_rule(std::string_view id, AtomicCondition condition, Effect effect) {
  return CompiledRule{id, CompiledCondition{CompiledCondition::Atomic{condition}}, effect};
}

std::span<const AtomicCondition> members(CompiledPolicy& policy,
                                         const std::vector<AtomicCondition>& list) {
  return policy.storage.members(list);
}

TEST(CanonicalText, WorkedExample) {
  CompiledPolicy policy;
  policy.action_rules["transfer"].push_back(CompiledRule{
      "r1",
      CompiledCondition{CompiledCondition::All{
          members(policy,
                  {
                      comparison(Domain::Action, "amount", Operator::GreaterThan, literal(1000.0)),
                      comparison(Domain::Action, "currency", Operator::Equals,
                                 literal(std::string_view("EUR"))),
                  })}},
      Effect::RequireApproval});
  policy.actor_rules["bot"].push_back(atomic_rule(
      "r2", comparison(Domain::Actor, "trusted", Operator::Equals, literal(false)), Effect::Block));
  policy.global_rules.push_back(CompiledRule{
      "r3",
      CompiledCondition{CompiledCondition::Any{members(
          policy,
          {
              comparison(Domain::Snapshot, "load", Operator::GreaterThan, literal(0.75)),
              comparison(Domain::Snapshot, "spent", Operator::GreaterThan,
                         Operand{Operand::Subject{SubjectRef{"budget", Domain::Snapshot}}}),
          })}},
      Effect::Block});
  EXPECT_EQ(
      canonical_text(policy),
      R"(CompiledPolicy { action_rules: {"transfer": [CompiledRule { rule_id: "r1", condition: All([AtomicCondition { lhs: SubjectRef { domain: Action, field: "amount" }, operator: GreaterThan, rhs: Literal(Number(1000.0)) }, AtomicCondition { lhs: SubjectRef { domain: Action, field: "currency" }, operator: Equals, rhs: Literal(String("EUR")) }]), effect: RequireApproval }]}, actor_rules: {"bot": [CompiledRule { rule_id: "r2", condition: Atomic(AtomicCondition { lhs: SubjectRef { domain: Actor, field: "trusted" }, operator: Equals, rhs: Literal(Boolean(false)) }), effect: Block }]}, global_rules: [CompiledRule { rule_id: "r3", condition: Any([AtomicCondition { lhs: SubjectRef { domain: Snapshot, field: "load" }, operator: GreaterThan, rhs: Literal(Number(0.75)) }, AtomicCondition { lhs: SubjectRef { domain: Snapshot, field: "spent" }, operator: GreaterThan, rhs: Subject(SubjectRef { domain: Snapshot, field: "budget" }) }]), effect: Block }] })");
}

TEST(CanonicalText, EmptyPolicy) {
  EXPECT_EQ(canonical_text(CompiledPolicy{}),
            "CompiledPolicy { action_rules: {}, actor_rules: {}, global_rules: [] }");
}

// The text of a policy holding one global rule: id, field and literal vary.
std::string one_rule_text(std::string_view id, std::string_view field, FieldValue value,
                          Operator op) {
  CompiledPolicy policy;
  policy.global_rules.push_back(
      atomic_rule(id, comparison(Domain::Snapshot, field, op, literal(value)), Effect::Allow));
  return canonical_text(policy);
}

std::string expected_one_rule(const std::string& id, const std::string& field,
                              const std::string& value, const std::string& op) {
  return "CompiledPolicy { action_rules: {}, actor_rules: {}, global_rules: [CompiledRule { "
         "rule_id: " +
         id +
         ", condition: Atomic(AtomicCondition { lhs: SubjectRef { domain: "
         "Snapshot, field: " +
         field + " }, operator: " + op + ", rhs: Literal(" + value + ") }), effect: Allow }] }";
}

struct LeafCase {
  std::string id;
  std::string field;
  FieldValue value;
  Operator op;
  std::string expected_id;
  std::string expected_field;
  std::string expected_value;
  std::string expected_op;
};

TEST(CanonicalText, LeavesRenderQuotedAndExact) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const LeafCase cases[] = {
      {"r", "f", 5.0, Operator::Equals, R"("r")", R"("f")", "Number(5.0)", "Equals"},
      {"r", "f", 1e16, Operator::NotEquals, R"("r")", R"("f")", "Number(1e16)", "NotEquals"},
      {"r", "f", 2.5e16, Operator::LessThan, R"("r")", R"("f")", "Number(2.5e16)", "LessThan"},
      {"r", "f", 0.0001, Operator::In, R"("r")", R"("f")", "Number(0.0001)", "In"},
      {"r", "f", 0.00009, Operator::NotIn, R"("r")", R"("f")", "Number(9e-5)", "NotIn"},
      {"r", "f", -0.0, Operator::Equals, R"("r")", R"("f")", "Number(-0.0)", "Equals"},
      {"r", "f", -nan, Operator::Equals, R"("r")", R"("f")", "Number(NaN)", "Equals"},
      {"r", "f", true, Operator::Equals, R"("r")", R"("f")", "Boolean(true)", "Equals"},
      {"a\"b\\c\nd'e", "caf\u00e9", std::string_view("x\ty"), Operator::Equals, R"("a\"b\\c\nd'e")",
       "\"caf\u00e9\"", R"(String("x\ty"))", "Equals"},
      {"r", "no\u00a0break", std::string_view("\u0301"), Operator::Equals, R"("r")",
       R"("no\u{a0}break")", R"(String("\u{301}"))", "Equals"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(one_rule_text(c.id, c.field, c.value, c.op),
              expected_one_rule(c.expected_id, c.expected_field, c.expected_value, c.expected_op));
  }
}

TEST(CanonicalText, MapEntriesInByteOrderOfKeys) {
  const auto rule = [](const char* id) {
    return atomic_rule(id, comparison(Domain::Actor, "f", Operator::Equals, literal(true)),
                       Effect::Block);
  };
  const char* keys[] = {"b", "\u00e9", "a", "B", "", "ab"};
  CompiledPolicy policy;
  for (const char* key : keys) {
    policy.actor_rules[key].push_back(rule(key));
    policy.action_rules[key].push_back(rule(key));
  }
  std::string map = "{";
  const char* separator = "";
  for (const char* key : {"", "B", "a", "ab", "b", "\u00e9"}) {
    map.append(separator).append("\"").append(key).append("\": [CompiledRule { rule_id: \"");
    map.append(key).append(
        "\", condition: Atomic(AtomicCondition { lhs: SubjectRef { domain: Actor, field: \"f\" "
        "}, operator: Equals, rhs: Literal(Boolean(true)) }), effect: Block }]");
    separator = ", ";
  }
  map += "}";
  EXPECT_EQ(canonical_text(policy), "CompiledPolicy { action_rules: " + map +
                                        ", actor_rules: " + map + ", global_rules: [] }");
}

class RecordingSink final : public TextSink {
 public:
  void write(std::string_view piece) override { pieces.emplace_back(piece); }
  std::vector<std::string> pieces;
};

// Long enough to pass through the render buffer many times, with one rule id
// longer than the buffer itself.
TEST(CanonicalText, LongTextRendersWholeThroughThePieces) {
  CompiledPolicy policy;
  std::string rules;
  for (int i = 0; i < 400; ++i) {
    const std::string id = i == 200 ? std::string(40000, 'x') : "r" + std::to_string(i);
    policy.global_rules.push_back(atomic_rule(
        policy.storage.text(id),
        comparison(Domain::Actor, "f", Operator::LessThan, literal(double(i))), Effect::Block));
    rules += (i == 0 ? "" : ", ");
    rules += "CompiledRule { rule_id: \"" + id +
             "\", condition: Atomic(AtomicCondition { lhs: SubjectRef { domain: Actor, field: "
             "\"f\" }, operator: LessThan, rhs: Literal(Number(" +
             std::to_string(i) + ".0)) }), effect: Block }";
  }
  const std::string expected =
      "CompiledPolicy { action_rules: {}, actor_rules: {}, global_rules: [" + rules + "] }";

  RecordingSink sink;
  render_canonical(policy, sink);
  EXPECT_GT(sink.pieces.size(), 4U);
  EXPECT_EQ(canonical_text(policy), expected);
  EXPECT_EQ(canonical_sha256_hex(policy), sha256_hex(expected));
}

// Two of the widest rules (the longest number closing a rule, a subject, an
// escaped text, a boolean), repeated past the render buffer's size. A first
// rule whose id grows byte by byte over one pattern's length moves the buffer's
// end across every place in the pattern.
struct WideRules {
  PolicyStorage storage;  // the rules' members
  std::vector<CompiledRule> rules;
  std::string text;  // the rules rendered, separated by ", "
};

WideRules wide_rules(int pairs) {
  const double largest = std::numeric_limits<double>::max();
  const auto subject = Operand{Operand::Subject{SubjectRef{"u", Domain::Snapshot}}};
  WideRules out;
  const auto any = out.storage.members(std::vector{
      comparison(Domain::Action, "a\nb", Operator::Equals, literal(std::string_view("x\u00a0y"))),
      comparison(Domain::Actor, "b", Operator::NotEquals, literal(false)),
  });
  const auto all = out.storage.members(std::vector{
      comparison(Domain::Snapshot, "t", Operator::NotEquals, subject),
      comparison(Domain::Snapshot, "s", Operator::GreaterThan, literal(-largest)),
  });
  for (int i = 0; i < pairs; ++i) {
    out.rules.push_back(
        CompiledRule{"a", CompiledCondition{CompiledCondition::Any{any}}, Effect::RequireApproval});
    out.rules.push_back(
        CompiledRule{"b", CompiledCondition{CompiledCondition::All{all}}, Effect::RequireApproval});
    out.text +=
        std::string(i == 0 ? "" : ", ") +
        "CompiledRule { rule_id: \"a\", condition: Any([AtomicCondition { lhs: SubjectRef "
        "{ domain: Action, field: \"a\\nb\" }, operator: Equals, rhs: "
        "Literal(String(\"x\\u{a0}y\")) }, AtomicCondition { lhs: SubjectRef { domain: "
        "Actor, field: \"b\" }, operator: NotEquals, rhs: Literal(Boolean(false)) }]), "
        "effect: RequireApproval }, CompiledRule { rule_id: \"b\", condition: "
        "All([AtomicCondition { lhs: SubjectRef { domain: Snapshot, field: \"t\" }, "
        "operator: NotEquals, rhs: Subject(SubjectRef { domain: Snapshot, field: \"u\" }) "
        "}, AtomicCondition { lhs: SubjectRef { domain: Snapshot, field: \"s\" }, operator: "
        "GreaterThan, rhs: Literal(Number(-1.7976931348623157e308)) }]), effect: "
        "RequireApproval }";
  }
  return out;
}

TEST(CanonicalText, WidestRulesMeetTheBufferEndEverywhere) {
  const WideRules wide = wide_rules(40);
  const std::size_t pattern = wide.text.size() / 40;
  for (std::size_t shift = 0; shift <= pattern; ++shift) {
    const std::string id(shift, 'r');
    CompiledPolicy policy;
    policy.global_rules.push_back(atomic_rule(
        id, comparison(Domain::Actor, "f", Operator::Equals, literal(true)), Effect::Allow));
    policy.global_rules.insert(policy.global_rules.end(), wide.rules.begin(), wide.rules.end());
    const std::string expected =
        "CompiledPolicy { action_rules: {}, actor_rules: {}, global_rules: [CompiledRule { "
        "rule_id: \"" +
        id +
        "\", condition: Atomic(AtomicCondition { lhs: SubjectRef { domain: Actor, field: \"f\" "
        "}, operator: Equals, rhs: Literal(Boolean(true)) }), effect: Allow }, " +
        wide.text + "] }";
    ASSERT_EQ(canonical_text(policy), expected) << "shift " << shift;
    if (shift % 64 == 0) {
      EXPECT_EQ(canonical_sha256_hex(policy), sha256_hex(expected));
    }
  }
}

TEST(CanonicalText, DigestOfPiecesIsTheDigestOfTheWhole) {
  const std::string abc = "abc";
  const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  struct Case {
    std::vector<std::string> pieces;
    std::string digest;
  };
  const Case cases[] = {
      {{}, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {{"", abc, ""}, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {{"a", "b", "c"}, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {{two_blocks}, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {{two_blocks.substr(0, 55), two_blocks.substr(55)},
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  for (const auto& c : cases) {
    Sha256 digest;
    for (const auto& piece : c.pieces) digest.update(piece);
    EXPECT_EQ(digest.hex_digest(), c.digest);
  }
  EXPECT_EQ(sha256_hex(abc), cases[1].digest);
}

}  // namespace
}  // namespace tamsel
