#include "compiler/canonical.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "common/number_format.h"
#include "common/quote.h"
#include "common/sha256.h"

namespace tamsel {
namespace {

// The buffer is handed to the sink once it holds kFlushBytes; the spare room
// above that takes the member rendered last, so the buffer rarely regrows.
constexpr std::size_t kFlushBytes = 8192;
constexpr std::size_t kBufferBytes = 2 * kFlushBytes;

class Renderer {
 public:
  explicit Renderer(TextSink& sink) : sink_(sink) { out_.reserve(kBufferBytes); }

  void policy(const CompiledPolicy& policy) {
    out_ += "CompiledPolicy { action_rules: ";
    rule_map(policy.action_rules);
    out_ += ", actor_rules: ";
    rule_map(policy.actor_rules);
    out_ += ", global_rules: ";
    rule_list(policy.global_rules);
    out_ += " }";
    flush();
  }

 private:
  // Entries in ascending byte order of their keys, so equal policies render equally.
  void rule_map(const NameMap<RuleList>& map) {
    std::vector<const NameMap<RuleList>::value_type*> entries;
    entries.reserve(map.size());
    for (const auto& entry : map) entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(),
              [](const auto* a, const auto* b) { return a->first < b->first; });
    out_ += '{';
    const char* separator = "";
    for (const auto* entry : entries) {
      out_ += separator;
      separator = ", ";
      append_quoted(out_, entry->first);
      out_ += ": ";
      rule_list(entry->second);
    }
    out_ += '}';
  }

  void rule_list(const RuleList& rules) {
    list(rules, [this](const CompiledRule& rule) { compiled_rule(rule); });
  }

  // "[", the members separated by ", ", "]".
  template <class T, class Render>
  void list(const std::vector<T>& members, Render render) {
    out_ += '[';
    const char* separator = "";
    for (const T& member : members) {
      out_ += separator;
      separator = ", ";
      render(member);
      if (out_.size() >= kFlushBytes) flush();
    }
    out_ += ']';
  }

  void flush() {
    sink_.write(out_);
    out_.clear();
  }

  void compiled_rule(const CompiledRule& rule) {
    out_ += "CompiledRule { rule_id: ";
    append_quoted(out_, rule.rule_id);
    out_ += ", condition: ";
    condition(rule.condition);
    out_ += ", effect: ";
    out_ += variant_name(rule.effect);
    out_ += " }";
  }

  void condition(const CompiledCondition& condition) {
    if (const auto* atomic = std::get_if<CompiledCondition::Atomic>(&condition.value)) {
      out_ += "Atomic(";
      atomic_condition(atomic->condition);
    } else if (const auto* all = std::get_if<CompiledCondition::All>(&condition.value)) {
      out_ += "All(";
      condition_list(all->conditions);
    } else {
      out_ += "Any(";
      condition_list(std::get<CompiledCondition::Any>(condition.value).conditions);
    }
    out_ += ')';
  }

  void condition_list(const std::vector<AtomicCondition>& conditions) {
    list(conditions, [this](const AtomicCondition& member) { atomic_condition(member); });
  }

  void atomic_condition(const AtomicCondition& condition) {
    out_ += "AtomicCondition { lhs: ";
    subject_ref(condition.lhs);
    out_ += ", operator: ";
    out_ += variant_name(condition.op);
    out_ += ", rhs: ";
    if (const auto* literal = std::get_if<Operand::Literal>(&condition.rhs.value)) {
      out_ += "Literal(";
      field_value(literal->value);
    } else {
      out_ += "Subject(";
      subject_ref(std::get<Operand::Subject>(condition.rhs.value).subject);
    }
    out_ += ") }";
  }

  void subject_ref(const SubjectRef& subject) {
    out_ += "SubjectRef { domain: ";
    out_ += variant_name(subject.domain);
    out_ += ", field: ";
    append_quoted(out_, subject.field);
    out_ += " }";
  }

  void field_value(const FieldValue& value) {
    if (const auto* text = std::get_if<std::string>(&value)) {
      out_ += "String(";
      append_quoted(out_, *text);
    } else if (const auto* number = std::get_if<double>(&value)) {
      out_ += "Number(";
      append_canonical_number(out_, *number);
    } else {
      out_ += "Boolean(";
      out_ += std::get<bool>(value) ? "true" : "false";
    }
    out_ += ')';
  }

  TextSink& sink_;
  std::string out_;
};

class StringSink final : public TextSink {
 public:
  void write(std::string_view piece) override { text.append(piece); }
  std::string text;
};

class DigestSink final : public TextSink {
 public:
  void write(std::string_view piece) override { digest.update(piece); }
  Sha256 digest;
};

}  // namespace

void render_canonical(const CompiledPolicy& policy, TextSink& sink) {
  Renderer(sink).policy(policy);
}

std::string canonical_text(const CompiledPolicy& policy) {
  StringSink sink;
  render_canonical(policy, sink);
  return std::move(sink.text);
}

std::optional<std::string> canonical_sha256_hex(const CompiledPolicy& policy) {
  DigestSink sink;
  render_canonical(policy, sink);
  return sink.digest.hex_digest();
}

}  // namespace tamsel
