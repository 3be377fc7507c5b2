#include "compiler/canonical.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "common/number_format.h"
#include "common/quote.h"
#include "common/sha256.h"

namespace tamsel {
namespace {

// The text gathers in one buffer, handed to the sink when full. The write
// position travels through the functions below as a value, so it stays in a
// register. Room is checked only where a rule, a comparison or a text starts,
// and each check asks for kSlack bytes beyond the text: enough for every fixed
// piece and number up to the next check (asserted below).
constexpr std::size_t kBufferBytes = 16384;
constexpr std::size_t kSlack = 160;

// A fixed piece padded to Width bytes, copied as one block of constant size of
// which the first size bytes count; the slack of the room checks holds the rest.
template <std::size_t Width>
struct Piece {
  std::array<char, Width> text{};
  std::size_t size = 0;
};

template <std::size_t Width>
consteval Piece<Width> piece(std::initializer_list<std::string_view> parts) {
  Piece<Width> out;
  for (const std::string_view part : parts) {
    for (const char c : part) out.text.at(out.size++) = c;
  }
  return out;
}

// One piece per variant of Enum: before, the variant name, after.
template <class Enum, std::size_t Width>
consteval auto pieces_by_variant(std::string_view before, std::string_view after) {
  std::array<Piece<Width>, vocabulary(Enum{}).size()> out{};
  for (std::size_t i = 0; i < out.size(); ++i) {
    out.at(i) = piece<Width>({before, vocabulary(Enum{}).at(i).name, after});
  }
  return out;
}

// Texts are written between quotes that the pieces around them hold.
constexpr auto kAtomicHead = piece<32>({"\", condition: Atomic("});
constexpr auto kAllHead = piece<32>({"\", condition: All(["});
constexpr auto kAnyHead = piece<32>({"\", condition: Any(["});
constexpr auto kComparisonHeads =
    pieces_by_variant<Domain, 64>("AtomicCondition { lhs: SubjectRef { domain: ", ", field: \"");
constexpr auto kOperators = pieces_by_variant<Operator, 48>("\" }, operator: ", ", rhs: ");
constexpr auto kSubjectHeads =
    pieces_by_variant<Domain, 48>("Subject(SubjectRef { domain: ", ", field: \"");
constexpr auto kEffects = pieces_by_variant<Effect, 32>("), effect: ", " }");

// The longest run between two room checks, each piece at its padded width: after
// a field, its operator, a number literal, the end of a list and of the rule.
static_assert(kSlack >= kOperators[0].text.size() + std::string_view("Literal(Number(").size() +
                            kCanonicalNumberBytes + std::string_view(")) }]").size() +
                            kEffects[0].text.size());

template <std::size_t Width>
char* put(char* at, const Piece<Width>& piece) {
  std::memcpy(at, piece.text.data(), Width);
  return at + piece.size;
}

template <std::size_t N>
char* put(char* at, const char (&word)[N]) {
  std::memcpy(at, word, N - 1);
  return at + N - 1;
}

class Renderer {
 public:
  explicit Renderer(TextSink& sink)
      : sink_(sink),
        buffer_(std::make_unique_for_overwrite<char[]>(kBufferBytes)),
        end_(buffer_.get() + kBufferBytes) {}

  void policy(const CompiledPolicy& policy) {
    char* at = buffer_.get();
    at = put_checked(at, "CompiledPolicy { action_rules: ");
    at = rule_map(at, policy.action_rules);
    at = put_checked(at, ", actor_rules: ");
    at = rule_map(at, policy.actor_rules);
    at = put_checked(at, ", global_rules: ");
    at = rule_list(at, policy.global_rules);
    at = put_checked(at, " }");
    flush(at);
  }

 private:
  // At least room bytes (at most kBufferBytes) from the returned position.
  char* room(char* at, std::size_t room) {
    return static_cast<std::size_t>(end_ - at) >= room ? at : flush(at);
  }

  // Hands everything written to the sink; writing starts again at the front.
  [[gnu::noinline]] char* flush(char* at) {
    if (at != buffer_.get()) {
      sink_.write({buffer_.get(), static_cast<std::size_t>(at - buffer_.get())});
    }
    return buffer_.get();
  }

  char* put_checked(char* at, std::string_view piece) {
    at = room(at, piece.size() + kSlack);
    std::memcpy(at, piece.data(), piece.size());
    return at + piece.size();
  }

  // The text's quoted form without its quotes, with kSlack bytes of room after it.
  char* text(char* at, std::string_view text) {
    if (text.size() > kBufferBytes - kSlack || !quotes_as_itself(text)) {
      return escaped_or_long_text(at, text);
    }
    at = room(at, text.size() + kSlack);
    // copy_n, unlike memcpy, is defined for the null data of an empty view
    return std::copy_n(text.data(), text.size(), at);
  }

  [[gnu::noinline]] char* escaped_or_long_text(char* at, std::string_view text) {
    scratch_.clear();
    append_quoted(scratch_, text);
    const std::string_view inner = std::string_view(scratch_).substr(1, scratch_.size() - 2);
    if (inner.size() <= kBufferBytes - kSlack) return put_checked(at, inner);
    at = flush(at);
    sink_.write(inner);
    return at;
  }

  // Entries in ascending byte order of their keys, so equal policies render equally.
  char* rule_map(char* at, const NameMap<RuleList>& map) {
    std::vector<const NameMap<RuleList>::value_type*> entries;
    entries.reserve(map.size());
    for (const auto& entry : map) entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(),
              [](const auto* a, const auto* b) { return a->first < b->first; });
    at = put_checked(at, "{");
    bool first = true;
    for (const auto* entry : entries) {
      at = put_checked(at, first ? std::string_view("\"") : ", \"");
      first = false;
      at = text(at, entry->first);
      at = put(at, "\": ");
      at = rule_list(at, entry->second);
    }
    return put_checked(at, "}");
  }

  char* rule_list(char* at, const RuleList& rules) {
    at = put_checked(at, "[");
    bool first = true;
    for (const CompiledRule& rule : rules) {
      at = room(at, kSlack);
      if (!first) at = put(at, ", ");
      first = false;
      at = compiled_rule(at, rule);
    }
    return put_checked(at, "]");
  }

  char* compiled_rule(char* at, const CompiledRule& rule) {
    at = put(at, "CompiledRule { rule_id: \"");
    at = text(at, rule.rule_id);
    const ConditionForm shape = form(rule.condition);
    if (shape == ConditionForm::Atomic) {
      at = put(at, kAtomicHead);
      at = comparison(at, members(rule.condition)[0]);
    } else {
      at = put(at, shape == ConditionForm::All ? kAllHead : kAnyHead);
      bool first = true;
      for (const AtomicCondition& member : members(rule.condition)) {
        if (!first) at = put(at, ", ");
        first = false;
        at = comparison(at, member);
      }
      *at++ = ']';
    }
    return put(at, kEffects.at(static_cast<std::size_t>(rule.effect)));
  }

  char* comparison(char* at, const AtomicCondition& condition) {
    at = room(at, kSlack);
    at = put(at, kComparisonHeads.at(static_cast<std::size_t>(condition.lhs.domain)));
    at = text(at, condition.lhs.field);
    at = put(at, kOperators.at(static_cast<std::size_t>(condition.op)));
    if (const auto* literal = std::get_if<Operand::Literal>(&condition.rhs.value)) {
      return field_value(at, literal->value);
    }
    const SubjectRef& subject = std::get<Operand::Subject>(condition.rhs.value).subject;
    at = put(at, kSubjectHeads.at(static_cast<std::size_t>(subject.domain)));
    at = text(at, subject.field);
    return put(at, "\" }) }");
  }

  char* field_value(char* at, const FieldValue& value) {
    if (const auto* number = std::get_if<double>(&value)) {
      at = put(at, "Literal(Number(");
      at = write_canonical_number(at, *number);
      return put(at, ")) }");
    }
    if (const auto* boolean = std::get_if<bool>(&value)) {
      return *boolean ? put(at, "Literal(Boolean(true)) }") : put(at, "Literal(Boolean(false)) }");
    }
    at = put(at, "Literal(String(\"");
    at = text(at, std::get<std::string_view>(value));
    return put(at, "\")) }");
  }

  TextSink& sink_;
  // kBufferBytes, on the heap (hosts may run small stacks), not zeroed: every
  // byte handed on is written first
  std::unique_ptr<char[]> buffer_;
  char* end_;
  std::string scratch_;  // a quoted text that needs escapes
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
