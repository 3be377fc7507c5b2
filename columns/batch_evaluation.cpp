#include "columns/batch_evaluation.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <utility>

#include "columns/arrow_column.h"
#include "columns/message_text.h"
#include "common/names.h"

namespace tamsel {
namespace {

constexpr std::string_view kUnsupported = "Unsupported value type";
constexpr std::string_view kInputWord = "input";
constexpr std::int64_t kFewValues = 4096;

// Every column below has a base: its element for record r is base + r,
// counted from its own offset (a struct's field at the struct's element i is
// at the struct's offset plus i).

// A domain of the records and the fields whose values may be refused.
struct DomainColumns {
  enum class Shape : std::uint8_t { Absent, Struct, Other };
  Shape shape = Shape::Absent;
  ColumnId column = 0;
  std::int64_t base = 0;
  std::int64_t field_base = 0;
  std::vector<ColumnId> refusable;
};

// The column that fills a slot of the plan.
struct SlotColumn {
  FieldSlot slot;
  std::size_t domain = 0;
  ColumnId column = 0;
};

// Where everything that evaluation reads is in one batch, resolved once.
struct RecordLayout {
  ArrowColumns columns;
  std::int64_t length = 0;
  ColumnId records = 0;
  std::optional<ColumnId> input;  // when the records are the values of "input"
  bool input_is_struct = false;
  std::int64_t input_base = 0;
  std::array<DomainColumns, kDomainCount> domains;
  std::vector<SlotColumn> slots;

  // Whether every record reads alike: no null record, input or domain, no
  // value that may be refused, every domain a struct or absent.
  [[nodiscard]] bool uniform() const {
    if (!columns.never_null(records) ||
        (input && (!input_is_struct || !columns.never_null(*input)))) {
      return false;
    }
    for (const DomainColumns& domain : domains) {
      if (domain.shape == DomainColumns::Shape::Other) return false;
      if (domain.shape == DomainColumns::Shape::Struct &&
          (!columns.never_null(domain.column) || !domain.refusable.empty())) {
        return false;
      }
    }
    return true;
  }
};

std::string joined(std::string_view path, std::string_view name) {
  return path.empty() ? std::string(name) : cat({path, ".", name});
}

bool is_struct(const ArrowSchema& schema) {
  return schema.dictionary == nullptr && std::string_view(schema.format) == "+s";
}

// The index of the child of a struct named `name`; an error when two are.
Expected<std::optional<std::int64_t>, std::string> child_named(const ArrowSchema& schema,
                                                               const ArrowArray& array,
                                                               std::string_view name,
                                                               std::string_view path) {
  if (schema.n_children != array.n_children ||
      (array.n_children > 0 && (schema.children == nullptr || array.children == nullptr))) {
    return unexpected(cat(
        {"column ", single_quoted(path), ": its schema and its array have different children"}));
  }
  std::optional<std::int64_t> found;
  for (std::int64_t i = 0; i < schema.n_children; ++i) {
    const ArrowSchema* child = schema.children[i];
    if (child == nullptr || array.children[i] == nullptr) {
      return unexpected(cat({"column ", single_quoted(path), ": a child is missing"}));
    }
    if (child->name == nullptr || name != child->name) continue;
    if (found)
      return unexpected(cat({"the column ", single_quoted(joined(path, name)), " appears twice"}));
    found = i;
  }
  return found;
}

// A column that stands where a dict is expected but is no struct: each of its
// non-null values is refused with a message naming the value's Python type,
// which must therefore be fixed, and never a dict (a record to read after all).
std::optional<std::string> unsure_type(const ArrowColumns& columns, ColumnId column) {
  for (ColumnId child : columns.children(column)) {
    if (auto why = unsure_type(columns, child)) return why;
  }
  if (columns.kind(column) != ColumnKind::Refused) return std::nullopt;
  const std::string_view type = columns.refused_type(column);
  if (type.empty()) {
    return cat({"column ", single_quoted(columns.path(column)),
                ": the Python type of its values depends on pandas and on each value"});
  }
  if (type == "dict") {
    return cat({"column ", single_quoted(columns.path(column)),
                ": structs inside a dictionary, union or run-end column are not supported"});
  }
  return std::nullopt;
}

// Resolves the records, the domains and the plan's slots of one batch.
class LayoutReader {
 public:
  LayoutReader(const EvaluationPlan& plan, RecordLayout& layout) : plan_(plan), layout_(layout) {}

  std::optional<std::string> read(const ArrowSchema& schema, const ArrowArray& batch) {
    if (!is_struct(schema)) {
      return "Arrow records must be a struct array (a record batch or a table), not the type " +
             single_quoted(schema.format);
    }
    auto records = layout_.columns.add_struct(schema, batch, "", false);
    if (!records) return std::move(records).error();
    layout_.records = *records;
    layout_.length = batch.length;
    auto input = child_named(schema, batch, kInputWord, "");
    if (!input) return std::move(input).error();
    if (!*input) return read_domains(schema, batch, "", batch.offset);
    return read_input(*schema.children[**input], *batch.children[**input], batch.offset);
  }

 private:
  std::optional<std::string> read_input(const ArrowSchema& schema, const ArrowArray& array,
                                        std::int64_t base) {
    ArrowColumns& columns = layout_.columns;
    layout_.input_base = base;
    layout_.input_is_struct = is_struct(schema);
    auto column = layout_.input_is_struct ? columns.add_struct(schema, array, "input", false)
                                          : columns.add_value(schema, array, "input");
    if (!column) return std::move(column).error();
    layout_.input = *column;
    if (!columns.holds(*column, base + layout_.length)) {
      return "column 'input' is shorter than the batch";
    }
    if (!layout_.input_is_struct) return unsure_type(columns, *column);
    return read_domains(schema, array, "input", base + array.offset);
  }

  // The domains among the fields of a struct whose fields' base is `base`.
  std::optional<std::string> read_domains(const ArrowSchema& schema, const ArrowArray& array,
                                          std::string_view path, std::int64_t base) {
    for (std::size_t d = 0; d < kDomainCount; ++d) {
      auto found = child_named(schema, array, kDomains[d].word, path);
      if (!found) return std::move(found).error();
      if (!*found) continue;
      if (auto why = read_domain(d, *schema.children[**found], *array.children[**found],
                                 joined(path, kDomains[d].word), base)) {
        return why;
      }
    }
    return std::nullopt;
  }

  std::optional<std::string> read_domain(std::size_t d, const ArrowSchema& schema,
                                         const ArrowArray& array, const std::string& path,
                                         std::int64_t base) {
    ArrowColumns& columns = layout_.columns;
    DomainColumns& domain = layout_.domains[d];
    const bool fields = is_struct(schema);
    auto column = fields ? columns.add_struct(schema, array, path, true)
                         : columns.add_value(schema, array, path);
    if (!column) return std::move(column).error();
    domain.column = *column;
    domain.base = base;
    domain.field_base = base + array.offset;
    if (!columns.holds(*column, base + layout_.length)) {
      return cat({"column ", single_quoted(path), " is shorter than the batch"});
    }
    if (!fields) {
      domain.shape = DomainColumns::Shape::Other;
      return unsure_type(columns, *column);
    }
    domain.shape = DomainColumns::Shape::Struct;
    NameViewSet names;
    for (ColumnId field : columns.children(*column)) {
      if (!names.insert(columns.name(field)).second) {
        return cat({"column ", single_quoted(path), ": the field ",
                    single_quoted(columns.name(field)), " appears twice, which no dict can hold"});
      }
      if (columns.may_refuse(field)) domain.refusable.push_back(field);
    }
    for (const auto& named : plan_.slots(kDomains[d].variant)) {
      for (ColumnId field : columns.children(*column)) {
        if (columns.name(field) != named.name) continue;
        layout_.slots.push_back({named.slot, d, field});
        // Reading a dictionary's values once pays when they are not many more than the records.
        columns.decode_dictionary(field, std::max<std::int64_t>(kFewValues, layout_.length));
      }
    }
    return std::nullopt;
  }

  const EvaluationPlan& plan_;
  RecordLayout& layout_;
};

enum class Reading : std::uint8_t { Fine, Refused, Malformed };

// evaluate's message for a value of a Python type where a dict must be.
Reading not_a_dict(std::string_view prefix, std::string_view type, std::string& error) {
  if (type == "?") return Reading::Malformed;
  error.assign(prefix);
  error.append("'").append(type).append("' object cannot be converted to 'PyDict'");
  return Reading::Refused;
}

// Reads one record as evaluate converts a dict: the domains in order, each
// whole before the next; the first refusal wins and its text goes to error.
// present tells which domains hold fields.
Reading check_record(const RecordLayout& layout, std::int64_t r,
                     std::array<bool, kDomainCount>& present, std::string& error) {
  const ArrowColumns& columns = layout.columns;
  present.fill(false);
  // A null record (or null input) has no domains.
  if (columns.is_null(layout.records, r)) return Reading::Fine;
  if (layout.input) {
    const std::int64_t at = layout.input_base + r;
    if (!layout.input_is_struct) {
      const std::string_view type = columns.python_type(*layout.input, at);
      if (type.empty()) return Reading::Fine;
      return not_a_dict("argument 'input': ", type, error);
    }
    if (columns.is_null(*layout.input, at)) return Reading::Fine;
  }
  for (std::size_t d = 0; d < kDomainCount; ++d) {
    const DomainColumns& domain = layout.domains[d];
    if (domain.shape == DomainColumns::Shape::Absent) continue;
    if (domain.shape == DomainColumns::Shape::Other) {
      const std::string_view type = columns.python_type(domain.column, domain.base + r);
      if (type.empty()) continue;
      return not_a_dict("", type, error);
    }
    if (columns.is_null(domain.column, domain.base + r)) continue;
    present[d] = true;
    for (ColumnId field : domain.refusable) {
      const Cell::Kind kind = columns.read(field, domain.field_base + r).kind;
      if (kind == Cell::Kind::Malformed) return Reading::Malformed;
      if (kind == Cell::Kind::Refused) {
        error = kUnsupported;
        return Reading::Refused;
      }
    }
  }
  return Reading::Fine;
}

// Whether two texts of the same size are equal: up to 16 bytes by two
// overlapping loads from each, which the compiler makes plain moves.
bool same_bytes(std::string_view a, std::string_view b) {
  const std::size_t size = a.size();
  const auto word = [](const char* at) {
    std::uint64_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
  };
  const auto half = [](const char* at) {
    std::uint32_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
  };
  if (size >= 8 && size <= 16) {
    return word(a.data()) == word(b.data()) &&
           word(a.data() + size - 8) == word(b.data() + size - 8);
  }
  if (size >= 4 && size < 8) {
    return half(a.data()) == half(b.data()) &&
           half(a.data() + size - 4) == half(b.data() + size - 4);
  }
  return a == b;
}

// The rule lists of the action types met in a batch: the texts view the batch,
// and most batches name a few types many times, each hashed once here.
class ActionLists {
 public:
  explicit ActionLists(const EvaluationPlan& plan) : plan_(plan) {}

  std::optional<std::uint32_t> of(const InputValue& type) {
    if (type.kind != InputValue::Kind::String) return std::nullopt;
    const std::string_view text = type.text;
    const std::size_t bucket =
        (text.size() + (text.empty() ? 0U : static_cast<unsigned char>(text.back()) * 7U)) %
        kBuckets;
    Entry& entry = entries_[bucket];
    // The same bytes (a dictionary's value) match without a comparison.
    const bool same = entry.set && entry.text.size() == text.size() &&
                      (entry.text.data() == text.data() || same_bytes(entry.text, text));
    if (!same) entry = Entry{true, text, plan_.action_list(text)};
    return entry.list;
  }

 private:
  static constexpr std::size_t kBuckets = 16;
  struct Entry {
    bool set = false;
    std::string_view text;
    std::optional<std::uint32_t> list;
  };
  const EvaluationPlan& plan_;
  std::array<Entry, kBuckets> entries_{};
};

// The records of a batch read a chunk at a time: first each record's domains
// and refusals, then the slots column by column, each value in the place the
// record's evaluation input views.
class Chunk {
 public:
  static constexpr std::int64_t kRecords = 256;

  Chunk(const RecordLayout& layout, std::size_t slots)
      : uniform_(layout.uniform()),
        slots_(slots),
        values_(static_cast<std::size_t>(kRecords) * slots) {
    if (!uniform_) return;
    Record same;
    for (std::size_t d = 0; d < kDomainCount; ++d) {
      same.present[d] = layout.domains[d].shape == DomainColumns::Shape::Struct;
    }
    records_.fill(same);
  }

  // Reads records [first, first + count); why the data is malformed, if it is.
  std::optional<std::string> read(const RecordLayout& layout, std::int64_t first,
                                  std::int64_t count) {
    std::array<bool, kDomainCount> everywhere{true, true, true};  // held by every record
    for (std::int64_t i = 0; i < count && !uniform_; ++i) {
      Record& record = records_[static_cast<std::size_t>(i)];
      record.reading = check_record(layout, first + i, record.present, record.error);
      if (record.reading == Reading::Malformed) return malformed("the records", first + i);
      for (std::size_t d = 0; d < kDomainCount; ++d)
        everywhere[d] = everywhere[d] && record.present[d];
    }
    const ArrowColumns& columns = layout.columns;
    for (const SlotColumn& slot : layout.slots) {
      InputValue* column = values_.data() + slot.slot.index;
      const std::int64_t bad = columns.read_range(
          slot.column, layout.domains[slot.domain].field_base + first, count, column, slots_);
      if (bad >= 0)
        return malformed(cat({"column ", single_quoted(columns.path(slot.column))}), first + bad);
      if (everywhere[slot.domain]) continue;
      for (std::int64_t i = 0; i < count; ++i) {
        if (!records_[static_cast<std::size_t>(i)].present[slot.domain]) {
          column[static_cast<std::size_t>(i) * slots_] = InputValue{};
        }
      }
    }
    return std::nullopt;
  }

  [[nodiscard]] Reading reading(std::int64_t i) const {
    return records_[static_cast<std::size_t>(i)].reading;
  }
  [[nodiscard]] const std::string& error(std::int64_t i) const {
    return records_[static_cast<std::size_t>(i)].error;
  }
  [[nodiscard]] EvaluationInput input(std::int64_t i) {
    return EvaluationInput({values_.data() + static_cast<std::size_t>(i) * slots_, slots_});
  }

 private:
  struct Record {
    Reading reading = Reading::Fine;
    std::array<bool, kDomainCount> present{};
    std::string error;  // when refused
  };

  static std::string malformed(std::string_view what, std::int64_t record) {
    return cat({what, ": an index or offset of its data is out of bounds at record ",
                std::to_string(record)});
  }

  bool uniform_;  // then every record is read, with every domain it has
  std::size_t slots_;
  std::vector<InputValue> values_;  // record i's slots at [i * slots_, (i + 1) * slots_)
  std::array<Record, kRecords> records_;
};

}  // namespace

BatchEvaluator::BatchEvaluator(const EvaluationPlan& plan) : plan_(plan) {
  rule_id_ends_.reserve(plan.rule_count() + 1);
  rule_id_ends_.push_back(0);
  for (std::size_t rule = 0; rule < plan.rule_count(); ++rule) {
    rule_id_bytes_.append(plan.rule_id(static_cast<std::uint32_t>(rule)));
    rule_id_ends_.push_back(rule_id_bytes_.size());
  }
}

Expected<DecisionBatches, std::string> BatchEvaluator::evaluate(const ArrowSchema& schema,
                                                                const ArrowArray& batch) const {
  RecordLayout layout;
  if (auto why = LayoutReader(plan_, layout).read(schema, batch)) return unexpected(*why);
  DecisionBuilder out;
  out.reserve(layout.length);
  Chunk chunk(layout, plan_.slot_count());
  ActionLists action_lists(plan_);
  TextRunMemo memo;  // views the batch's texts
  // A chunk's records up to a refused one, decided together and then added:
  // the rules' loops and the building of the columns each run on their own.
  std::vector<EvaluationInput> inputs;
  std::vector<std::optional<std::uint32_t>> lists;
  std::vector<Decision> decisions(static_cast<std::size_t>(Chunk::kRecords));
  inputs.reserve(decisions.size());
  lists.reserve(decisions.size());
  const auto decide_held = [&] {
    plan_.evaluate_all(inputs, lists, memo, std::span(decisions).first(inputs.size()));
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      const Decision& decision = decisions[i];
      std::optional<std::string_view> rule;
      if (decision.rule) rule = rule_id(*decision.rule);
      out.add_decision(decision.effect, rule);
    }
    inputs.clear();
    lists.clear();
  };
  for (std::int64_t first = 0; first < layout.length; first += Chunk::kRecords) {
    const std::int64_t count = std::min(Chunk::kRecords, layout.length - first);
    if (auto why = chunk.read(layout, first, count)) return unexpected(*why);
    for (std::int64_t i = 0; i < count; ++i) {
      if (chunk.reading(i) == Reading::Refused) {
        decide_held();
        out.add_error(chunk.error(i));
        continue;
      }
      inputs.push_back(chunk.input(i));
      lists.push_back(action_lists.of(inputs.back().at(EvaluationPlan::kTypeSlot)));
    }
    decide_held();
  }
  return out.finish();
}

}  // namespace tamsel
