#include "compiler/canonical.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "common/number_format.h"
#include "common/quote.h"
#include "common/sha256.h"

namespace tamsel {
namespace {

// Pieces gather in one buffer, handed to the sink whenever the next piece
// would not fit. Most pieces are fixed words copied with a size known here, so
// rendering costs little beside the digest it feeds.
constexpr std::size_t kBufferBytes = 16384;

class Renderer {
 public:
  explicit Renderer(TextSink& sink)
      : sink_(sink), buffer_(std::make_unique<char[]>(kBufferBytes)) {}

  void policy(const CompiledPolicy& policy) {
    put("CompiledPolicy { action_rules: ");
    rule_map(policy.action_rules);
    put(", actor_rules: ");
    rule_map(policy.actor_rules);
    put(", global_rules: ");
    rule_list(policy.global_rules);
    put(" }");
    flush();
  }

 private:
  template <std::size_t N>
  void put(const char (&word)[N]) {
    put(std::string_view(word, N - 1));
  }

  void put(std::string_view piece) {
    if (piece.size() > kBufferBytes - used_) {
      put_beyond_room(piece);
      return;
    }
    std::memcpy(buffer_.get() + used_, piece.data(), piece.size());
    used_ += piece.size();
  }

  void put_beyond_room(std::string_view piece) {
    flush();
    if (piece.size() >= kBufferBytes) {
      sink_.write(piece);
      return;
    }
    std::memcpy(buffer_.get(), piece.data(), piece.size());
    used_ = piece.size();
  }

  void flush() {
    if (used_ != 0) sink_.write({buffer_.get(), used_});
    used_ = 0;
  }

  void put_quoted(std::string_view text) {
    if (quotes_as_itself(text)) {
      put("\"");
      put(text);
      put("\"");
      return;
    }
    scratch_.clear();
    append_quoted(scratch_, text);
    put(scratch_);
  }

  // Entries in ascending byte order of their keys, so equal policies render equally.
  void rule_map(const NameMap<RuleList>& map) {
    std::vector<const NameMap<RuleList>::value_type*> entries;
    entries.reserve(map.size());
    for (const auto& entry : map) entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(),
              [](const auto* a, const auto* b) { return a->first < b->first; });
    put("{");
    bool first = true;
    for (const auto* entry : entries) {
      if (!first) put(", ");
      first = false;
      put_quoted(entry->first);
      put(": ");
      rule_list(entry->second);
    }
    put("}");
  }

  void rule_list(const RuleList& rules) {
    list(rules, [this](const CompiledRule& rule) { compiled_rule(rule); });
  }

  // "[", the members separated by ", ", "]".
  template <class Members, class Render>
  void list(const Members& members, Render render) {
    put("[");
    bool first = true;
    for (const auto& member : members) {
      if (!first) put(", ");
      first = false;
      render(member);
    }
    put("]");
  }

  void compiled_rule(const CompiledRule& rule) {
    put("CompiledRule { rule_id: ");
    put_quoted(rule.rule_id);
    put(", condition: ");
    condition(rule.condition);
    put(", effect: ");
    put(variant_name(rule.effect));
    put(" }");
  }

  void condition(const CompiledCondition& condition) {
    if (const auto* atomic = std::get_if<CompiledCondition::Atomic>(&condition.value)) {
      put("Atomic(");
      atomic_condition(atomic->condition);
    } else if (const auto* all = std::get_if<CompiledCondition::All>(&condition.value)) {
      put("All(");
      condition_list(all->conditions);
    } else {
      put("Any(");
      condition_list(std::get<CompiledCondition::Any>(condition.value).conditions);
    }
    put(")");
  }

  void condition_list(std::span<const AtomicCondition> conditions) {
    list(conditions, [this](const AtomicCondition& member) { atomic_condition(member); });
  }

  void atomic_condition(const AtomicCondition& condition) {
    put("AtomicCondition { lhs: ");
    subject_ref(condition.lhs);
    put(", operator: ");
    put(variant_name(condition.op));
    put(", rhs: ");
    if (const auto* literal = std::get_if<Operand::Literal>(&condition.rhs.value)) {
      put("Literal(");
      field_value(literal->value);
    } else {
      put("Subject(");
      subject_ref(std::get<Operand::Subject>(condition.rhs.value).subject);
    }
    put(") }");
  }

  void subject_ref(const SubjectRef& subject) {
    put("SubjectRef { domain: ");
    put(variant_name(subject.domain));
    put(", field: ");
    put_quoted(subject.field);
    put(" }");
  }

  void field_value(const FieldValue& value) {
    if (const auto* text = std::get_if<std::string_view>(&value)) {
      put("String(");
      put_quoted(*text);
    } else if (const auto* number = std::get_if<double>(&value)) {
      put("Number(");
      scratch_.clear();
      append_canonical_number(scratch_, *number);
      put(scratch_);
    } else {
      put(std::get<bool>(value) ? std::string_view("Boolean(true") : "Boolean(false");
    }
    put(")");
  }

  TextSink& sink_;
  std::unique_ptr<char[]> buffer_;  // kBufferBytes, on the heap: hosts may run small stacks
  std::size_t used_ = 0;
  std::string scratch_;  // a quoted text that needs escapes, or a number
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
