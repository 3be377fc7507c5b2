#include "python/inspect_data.h"

#include "python/owner.h"

#include <array>
#include <cstddef>
#include <map>
#include <span>
#include <string_view>
#include <utility>
#include <variant>

namespace tamsel::python {
namespace {

constexpr std::array<const char*, 3> kDocumentNames{"schema", "policy", "governance"};
constexpr std::array<const char*, 3> kScopeWords{"action", "actor", "global"};
constexpr std::array<const char*, 3> kConditionWords{"atomic", "all", "any"};
constexpr std::array<const char*, 2> kListWords{"action", "global"};
constexpr std::array<const char*, 4> kReasonWords{nullptr, "left missing", "right missing",
                                                  "kinds differ"};

// A new str of UTF-8 text, or null with the error set.
Ref text(std::string_view value) {
  return Ref::steal(
      PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "strict"));
}

Ref number(std::uint64_t value) { return Ref::steal(PyLong_FromUnsignedLongLong(value)); }

Ref none() { return Ref::borrow(Py_None); }

Ref boolean(bool value) { return Ref::borrow(value ? Py_True : Py_False); }

// Sets dict[key] to value, which may be empty after a failure; false with the error set.
bool set(PyObject* dict, const char* key, const Ref& value) {
  return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

// Appends item, which may be empty after a failure; false with the error set.
bool append(PyObject* list, const Ref& item) {
  return item && PyList_Append(list, item.get()) == 0;
}

// 1-based line and column of a 0-based mark.
bool set_position(PyObject* dict, const Mark& mark) {
  return set(dict, "line", number(std::uint64_t{mark.line} + 1)) &&
         set(dict, "column", number(std::uint64_t{mark.column} + 1));
}

Ref optional_number(std::optional<std::uint32_t> value) { return value ? number(*value) : none(); }

// Line and column, None for both without a position.
bool set_optional_position(PyObject* dict, const std::optional<Mark>& mark) {
  if (mark) return set_position(dict, *mark);
  return set(dict, "line", none()) && set(dict, "column", none());
}

Ref document_of(DocumentKind document) {
  return text(kDocumentNames[static_cast<std::size_t>(document)]);
}

// As the ValueError of PyTamsel words a message: decoded with replacement.
Ref replaced_text(std::string_view value) {
  return Ref::steal(
      PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace"));
}

Ref operands_of(const ErrorOperands& operands) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return {};
  for (const ErrorOperand& operand : operands) {
    if (!set(dict.get(), std::string(operand.name).c_str(), replaced_text(operand.value))) {
      return {};
    }
  }
  return dict;
}

Ref violation_of(const ConstructionError::Violation& violation) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict || !set(dict.get(), "rule", replaced_text(violation.rule_id)) ||
      !set(dict.get(), "message", replaced_text(violation.message)) ||
      !set(dict.get(), "document", document_of(violation.document)) ||
      !set(dict.get(), "rule_index", optional_number(violation.rule)) ||
      !set_optional_position(dict.get(), violation.position)) {
    return {};
  }
  return dict;
}

// One str for each text of the input: a trace names a value at every comparison that reads
// it, and a copy each time would cost the text's length as many times.
class InputTexts {
 public:
  Ref of(std::string_view value) {
    const auto found = made_.find({value.data(), value.size()});
    if (found != made_.end()) return Ref::borrow(found->second.get());
    Ref made = text(value);
    if (made) made_.emplace(std::pair{value.data(), value.size()}, Ref::borrow(made.get()));
    return made;
  }

 private:
  std::map<std::pair<const char*, std::size_t>, Ref> made_;
};

Ref value_of(const InputValue& value, InputTexts& texts) {
  switch (value.kind) {
    case InputValue::Kind::String:
      return texts.of(value.text);
    case InputValue::Kind::Number:
      return Ref::steal(PyFloat_FromDouble(value.number));
    case InputValue::Kind::Boolean:
      return boolean(value.boolean);
    case InputValue::Kind::Missing:
      break;
  }
  return none();
}

Ref literal_of(const FieldValue& literal) {
  if (const auto* value = std::get_if<std::string_view>(&literal)) return text(*value);
  if (const auto* value = std::get_if<double>(&literal)) {
    return Ref::steal(PyFloat_FromDouble(*value));
  }
  return boolean(std::get<bool>(literal));
}

Ref subject_of(const SubjectRef& subject) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict || !set(dict.get(), "domain", text(document_word(subject.domain))) ||
      !set(dict.get(), "field", text(subject.field))) {
    return {};
  }
  return dict;
}

// {"literal": value} or {"subject": {...}}
Ref right_of(const Operand& operand) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return {};
  const bool ok =
      std::holds_alternative<Operand::Literal>(operand.value)
          ? set(dict.get(), "literal", literal_of(std::get<Operand::Literal>(operand.value).value))
          : set(dict.get(), "subject",
                subject_of(std::get<Operand::Subject>(operand.value).subject));
  return ok ? std::move(dict) : Ref();
}

Ref comparison_of(const AtomicCondition& condition, FieldType type, const Mark& position) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict || !set(dict.get(), "left", subject_of(condition.lhs)) ||
      !set(dict.get(), "operator", text(document_word(condition.op))) ||
      !set(dict.get(), "right", right_of(condition.rhs)) ||
      !set(dict.get(), "type", text(document_word(type))) || !set_position(dict.get(), position)) {
    return {};
  }
  return dict;
}

Ref comparisons_of(const CompiledRule& rule, const ConstructionNotes::Rule& noted) {
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return {};
  const auto compared = members(rule.condition);
  for (std::size_t m = 0; m < compared.size(); ++m) {
    if (!append(list.get(), comparison_of(compared[m], noted.types[m], noted.comparisons[m]))) {
      return {};
    }
  }
  return list;
}

Ref rule_of(std::size_t index, const CompiledRule& rule, const ConstructionNotes::Rule& noted) {
  Ref dict = Ref::steal(PyDict_New());
  const auto scope = static_cast<std::size_t>(noted.scope);
  const Ref name = noted.scope == ConstructionNotes::Scope::Global ? none() : text(noted.name);
  if (!dict || !set(dict.get(), "index", number(index)) ||
      !set(dict.get(), "id", text(rule.rule_id)) ||
      !set(dict.get(), "scope", text(kScopeWords[scope])) || !set(dict.get(), "name", name) ||
      !set(dict.get(), "effect", text(document_word(rule.effect))) ||
      !set(dict.get(), "condition",
           text(kConditionWords[static_cast<std::size_t>(form(rule.condition))])) ||
      !set(dict.get(), "comparisons", comparisons_of(rule, noted)) ||
      !set_position(dict.get(), noted.position)) {
    return {};
  }
  return dict;
}

Ref comparison_step_of(const ComparisonStep& step, InputTexts& texts) {
  Ref dict = Ref::steal(PyDict_New());
  const auto reason = static_cast<std::size_t>(step.reason);
  const Ref reason_word = step.reason == FalseReason::None ? none() : text(kReasonWords[reason]);
  if (!dict || !set(dict.get(), "member", number(step.member)) ||
      !set(dict.get(), "result", boolean(step.result)) || !set(dict.get(), "reason", reason_word)) {
    return {};
  }
  // A missing side has no entry.
  if (step.left.kind != InputValue::Kind::Missing &&
      !set(dict.get(), "left", value_of(step.left, texts))) {
    return {};
  }
  if (step.right.kind != InputValue::Kind::Missing &&
      !set(dict.get(), "right", value_of(step.right, texts))) {
    return {};
  }
  return dict;
}

Ref rule_step_of(const RuleStep& step, const RuleIndex& index, InputTexts& texts) {
  Ref dict = Ref::steal(PyDict_New());
  Ref comparisons = Ref::steal(PyList_New(0));
  if (!dict || !comparisons) return {};
  for (const ComparisonStep& made : step.comparisons) {
    if (!append(comparisons.get(), comparison_step_of(made, texts))) return {};
  }
  if (!set(dict.get(), "list", text(kListWords[static_cast<std::size_t>(step.list)])) ||
      !set(dict.get(), "index", number(index.at(step.rule))) ||
      !set(dict.get(), "result", boolean(step.result)) ||
      !set(dict.get(), "comparisons", comparisons)) {
    return {};
  }
  return dict;
}

}  // namespace

PyObject* error_data(const ConstructionError& error) {
  Ref dict = Ref::steal(PyDict_New());
  Ref violations = Ref::steal(PyList_New(0));
  if (!dict || !violations) return nullptr;
  for (const ConstructionError::Violation& violation : error.violations) {
    if (!append(violations.get(), violation_of(violation))) return nullptr;
  }
  if (!set(dict.get(), "document", document_of(error.document)) ||
      !set(dict.get(), "message", Ref::steal(construction_message(error))) ||
      !set(dict.get(), "kind", text(error_kind_word(error.kind))) ||
      !set(dict.get(), "operands", operands_of(error.operands)) ||
      !set(dict.get(), "rule_index", optional_number(error.rule)) ||
      !set_optional_position(dict.get(), error.position) ||
      !set(dict.get(), "violations", violations)) {
    return nullptr;
  }
  return dict.release();
}

PyObject* rules_data(const CompiledPolicy& policy, const ConstructionNotes& notes) {
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < notes.rules.size(); ++i) {
    const ConstructionNotes::Rule& noted = notes.rules[i];
    if (!append(list.get(), rule_of(i, filed_rule(policy, noted), noted))) return nullptr;
  }
  return list.release();
}

PyObject* skipped_keys_data(const ConstructionNotes& notes) {
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const ConstructionNotes::SkippedKey& key : notes.skipped_keys) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict ||
        !set(dict.get(), "document",
             text(kDocumentNames[static_cast<std::size_t>(key.document)])) ||
        !set(dict.get(), "key", text(key.key)) || !set_position(dict.get(), key.position) ||
        !append(list.get(), dict)) {
      return nullptr;
    }
  }
  return list.release();
}

PyObject* trace_data(const Trace& trace, const RuleIndex& index) {
  Ref dict = Ref::steal(PyDict_New());
  Ref steps = Ref::steal(PyList_New(0));
  if (!dict || !steps) return nullptr;
  InputTexts texts;
  for (const RuleStep& step : trace.steps) {
    if (!append(steps.get(), rule_step_of(step, index, texts))) return nullptr;
  }
  const bool matched = trace.matched != nullptr;
  if (!set(dict.get(), "effect", text(document_word(trace.effect))) ||
      !set(dict.get(), "matched_rule", matched ? text(trace.matched->rule_id) : none()) ||
      !set(dict.get(), "index", matched ? number(index.at(trace.matched)) : none()) ||
      !set(dict.get(), "action_type", trace.action_type ? text(*trace.action_type) : none()) ||
      !set(dict.get(), "action_list", boolean(trace.action_list)) ||
      !set(dict.get(), "steps", steps)) {
    return nullptr;
  }
  return dict.release();
}

}  // namespace tamsel::python
