// Compact one-line renderings of document trees and read results, so that
// tests can compare (text, expected) pairs.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "documents/readers.h"

namespace tamsel::testing {

// Concatenation by appending (g++ 12 warns falsely about literal + string temporaries).
template <class... Pieces>
std::string cat(const Pieces&... pieces) {
  std::string out;
  ((out += pieces), ...);
  return out;
}

inline std::string show_literal(const LiteralValueAst& literal) {
  if (const auto* text = std::get_if<std::string>(&literal)) return "\"" + *text + "\"";
  if (const auto* number = std::get_if<double>(&literal)) {
    char shown[64];
    std::snprintf(shown, sizeof shown, "%.17g", *number);
    return shown;
  }
  return std::get<bool>(literal) ? "true" : "false";
}

inline std::string show_subject(const SubjectAst& subject) {
  return subject.domain + "." + subject.field;
}

inline std::string show_atomic(const AtomicConditionAst& atomic) {
  std::string right;
  if (const auto* literal = std::get_if<ValueAst::Literal>(&atomic.value.value)) {
    right = show_literal(literal->literal);
  } else {
    right = show_subject(std::get<ValueAst::Subject>(atomic.value.value).subject);
  }
  return show_subject(atomic.subject) + " " + atomic.op + " " + right;
}

inline std::string show_list(const char* word, const std::vector<AtomicConditionAst>& list) {
  std::string shown = std::string(word) + "(";
  for (std::size_t i = 0; i < list.size(); ++i) shown += cat(i ? "; " : "", show_atomic(list[i]));
  return shown + ")";
}

inline std::string show_rule(const RuleAst& rule) {
  std::string shown = rule.id + " ";
  if (const auto* action = std::get_if<ScopeAst::Action>(&rule.scope.value)) {
    shown += "action:" + action->action;
  } else if (const auto* actor = std::get_if<ScopeAst::Actor>(&rule.scope.value)) {
    shown += "actor:" + actor->actor;
  } else {
    shown += std::get<ScopeAst::Global>(rule.scope.value).global ? "global" : "global:false";
  }
  shown += " [";
  if (const auto* atomic = std::get_if<ConditionAst::Atomic>(&rule.when.value)) {
    shown += show_atomic(atomic->condition);
  } else if (const auto* all = std::get_if<ConditionAst::All>(&rule.when.value)) {
    shown += show_list("all", all->conditions);
  } else {
    shown += show_list("any", std::get<ConditionAst::Any>(rule.when.value).conditions);
  }
  return cat(shown, "] ", document_word(rule.effect));
}

// "v1: rule | rule" or the error message.
inline std::string show_policy(std::string_view text) {
  auto policy = read_policy(text);
  if (!policy) return policy.error().message;
  std::string shown = cat("v", std::to_string(policy->version), ":");
  for (const RuleAst& rule : policy->rules) shown += cat(" ", show_rule(rule), " |");
  if (!policy->rules.empty()) shown.pop_back();
  while (!shown.empty() && shown.back() == ' ') shown.pop_back();
  return shown;
}

inline std::string show_fields(const NameMap<FieldTypeAst>& fields) {
  std::vector<std::string> entries;
  for (const auto& [name, type] : fields) entries.push_back(cat(name, ":", document_word(type)));
  std::sort(entries.begin(), entries.end());
  std::string shown = "{";
  for (std::size_t i = 0; i < entries.size(); ++i) shown += cat(i ? " " : "", entries[i]);
  return shown + "}";
}

// "v1 actions{name{fields}} actor{...} snapshot{...}" or the error message.
inline std::string show_schema(std::string_view text) {
  auto schema = read_schema(text);
  if (!schema) return schema.error().message;
  std::vector<std::string> actions;
  for (const auto& [name, action] : schema->actions)
    actions.push_back(name + show_fields(action.fields));
  std::sort(actions.begin(), actions.end());
  std::string shown = cat("v", std::to_string(schema->version), " actions{");
  for (std::size_t i = 0; i < actions.size(); ++i) shown += cat(i ? " " : "", actions[i]);
  return shown + "} actor" + show_fields(schema->actor.fields) + " snapshot" +
         show_fields(schema->snapshot.fields);
}

}  // namespace tamsel::testing
