// The whole construction on three documents cut from the input, with and
// without the tools' notes, then evaluation of a field map drawn from the
// rest by the plan and by the step-by-step walk, and the canonical text. Any
// construction error is fine; a crash, leak, undefined behaviour, or two
// answers that must agree and do not, is a fault.
//
// Input: the schema, policy and governance texts and the field bytes, cut at
// lines "#~" (a YAML comment, so a text still reads when a cut is lost).
// A third part that is missing or empty means no governance text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/sha256.h"
#include "compiler/canonical.h"
#include "construction/construct.h"
#include "engine/evaluation_plan.h"
#include "engine/explain.h"

namespace {

using tamsel::Domain;
using tamsel::EvaluationPlan;
using tamsel::FieldValue;

constexpr std::string_view kCut = "\n#~\n";

std::vector<std::string_view> cut(std::string_view input) {
  std::vector<std::string_view> parts;
  while (parts.size() < 3) {
    const std::size_t at = input.find(kCut);
    if (at == std::string_view::npos) break;
    parts.push_back(input.substr(0, at));
    input.remove_prefix(at + kCut.size());
  }
  parts.push_back(input);
  return parts;
}

// Reads the field bytes front to back; zeros once they run out.
class Bytes {
 public:
  explicit Bytes(std::string_view bytes) : bytes_(bytes) {}
  [[nodiscard]] bool empty() const { return bytes_.empty(); }
  std::uint8_t next() {
    if (bytes_.empty()) return 0;
    const auto byte = static_cast<std::uint8_t>(bytes_.front());
    bytes_.remove_prefix(1);
    return byte;
  }
  std::string_view take(std::size_t count) {
    const std::string_view taken = bytes_.substr(0, count);
    bytes_.remove_prefix(taken.size());
    return taken;
  }

 private:
  std::string_view bytes_;
};

// A text views the fuzzer's input, which outlives the evaluation.
FieldValue value_from(Bytes& bytes) {
  switch (bytes.next() % 3) {
    case 0:
      return FieldValue{std::in_place_type<std::string_view>, bytes.take(bytes.next() % 16)};
    case 1: {
      double number = 0;
      const std::string_view raw = bytes.take(sizeof number);
      std::memcpy(&number, raw.data(), raw.size());
      return number;
    }
    default:
      return (bytes.next() & 1) != 0;
  }
}

// The action types the policy files rules under, in a fixed order so that a
// run repeats exactly.
std::vector<std::string> action_types(const tamsel::CompiledPolicy& policy) {
  std::vector<std::string> types;
  for (const auto& [type, rules] : policy.action_rules) types.push_back(type);
  std::sort(types.begin(), types.end());
  return types;
}

// The field values of the plan's slots, as the binding fills them: each name
// found through the plan, a later value replacing an earlier one.
std::vector<std::optional<FieldValue>> values_from(const EvaluationPlan& plan,
                                                   const std::vector<std::string>& types,
                                                   Bytes bytes) {
  std::vector<std::optional<FieldValue>> values(plan.slot_count());
  if (!types.empty()) {
    values[EvaluationPlan::kTypeSlot.index] =
        FieldValue{std::in_place_type<std::string_view>, types[bytes.next() % types.size()]};
  }
  while (!bytes.empty()) {
    const auto domain = static_cast<Domain>(bytes.next() % 3);
    const auto& named = plan.slots(domain);
    const std::uint8_t pick = bytes.next();
    if (named.empty()) continue;
    const auto slot = plan.slot_of(domain, named[pick % named.size()].name);
    if (!slot) __builtin_trap();  // every slot name must be found again
    values[slot->index] = value_from(bytes);
  }
  return values;
}

tamsel::InputValue view_of(const std::optional<FieldValue>& value) {
  if (!value) return {};
  if (const auto* text = std::get_if<std::string_view>(&*value))
    return tamsel::InputValue::of_text(*text);
  if (const auto* number = std::get_if<double>(&*value)) {
    return tamsel::InputValue::of_number(*number);
  }
  return tamsel::InputValue::of_boolean(std::get<bool>(*value));
}

void evaluate(const tamsel::CompiledPolicy& policy, std::string_view field_bytes) {
  const EvaluationPlan plan(policy);
  const auto types = action_types(policy);  // the values' texts view these
  const auto values = values_from(plan, types, Bytes(field_bytes));
  std::vector<tamsel::InputValue> views;  // texts view `values`
  for (const auto& value : values) views.push_back(view_of(value));
  const tamsel::EvaluationInput input(views);
  const tamsel::Decision decision = plan.evaluate(input);
  if (decision.rule && *decision.rule >= plan.rule_count()) __builtin_trap();
  // The walk over the policy itself must decide alike, by the very same rule:
  // the plan's ids view the policy's own texts.
  const tamsel::Trace trace = tamsel::explain(policy, [&](const tamsel::SubjectRef& subject) {
    const auto slot = plan.slot_of(subject.domain, subject.field);
    return slot ? input.at(*slot) : tamsel::InputValue{};
  });
  if (trace.effect != decision.effect) __builtin_trap();
  if (decision.rule.has_value() != (trace.matched != nullptr)) __builtin_trap();
  if (decision.rule && plan.rule_id(*decision.rule).data() != trace.matched->rule_id.data()) {
    __builtin_trap();
  }
}

bool same_operands(const tamsel::ErrorOperands& a, const tamsel::ErrorOperands& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
    return x.name == y.name && x.value == y.value;
  });
}

// Notes change no text, kind or operand of an error, and place every compile
// error and every violation.
void check_noted_error(const tamsel::ConstructionError& noted,
                       const tamsel::ConstructionError& plain) {
  if (noted.message != plain.message || noted.kind != plain.kind ||
      noted.document != plain.document || !same_operands(noted.operands, plain.operands) ||
      noted.violations.size() != plain.violations.size()) {
    __builtin_trap();
  }
  const bool compiled = noted.kind >= tamsel::ErrorKind::UnknownAction &&
                        noted.kind < tamsel::ErrorKind::GovernanceViolation;
  if (compiled && (!noted.position || !noted.rule)) __builtin_trap();
  for (const auto& violation : noted.violations) {
    if (!violation.position) __builtin_trap();
    const bool in_policy = violation.document == tamsel::DocumentKind::Policy;
    if (in_policy != violation.rule.has_value()) __builtin_trap();
  }
}

// Taking notes changes nothing of the outcome, and notes a place for every
// rule and comparison.
void construct_with_notes(
    const std::vector<std::string_view>& parts, std::optional<std::string_view> governance_text,
    const tamsel::Expected<tamsel::CompiledPolicy, tamsel::ConstructionError>& plain) {
  tamsel::ConstructionNotes notes;
  const auto noted = tamsel::construct_policy(
      parts[0], parts.size() > 1 ? parts[1] : std::string_view(), governance_text, &notes);
  if (noted.has_value() != plain.has_value()) __builtin_trap();
  if (!noted) {
    check_noted_error(noted.error(), plain.error());
    return;
  }
  if (tamsel::canonical_text(*noted) != tamsel::canonical_text(*plain)) __builtin_trap();
  for (const auto& rule : notes.rules) {
    if (rule.comparisons.size() != rule.types.size() || rule.comparisons.empty()) __builtin_trap();
  }
}

// The digest rendered in pieces must be the digest of the whole text.
void render(const tamsel::CompiledPolicy& policy) {
  const auto whole = tamsel::sha256_hex(tamsel::canonical_text(policy));
  if (whole != tamsel::canonical_sha256_hex(policy)) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto parts = cut(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::string_view policy_text = parts.size() > 1 ? parts[1] : std::string_view();
  std::optional<std::string_view> governance_text;
  if (parts.size() > 2 && !parts[2].empty()) governance_text = parts[2];
  const auto compiled = tamsel::construct_policy(parts[0], policy_text, governance_text);
  construct_with_notes(parts, governance_text, compiled);
  if (!compiled) return 0;
  evaluate(*compiled, parts.size() > 3 ? parts[3] : std::string_view());
  render(*compiled);
  return 0;
}
