#include "columns/batch_evaluation.h"

#include <array>
#include <optional>
#include <utility>

#include "columns/arrow_column.h"
#include "columns/message_text.h"
#include "common/names.h"

namespace tamsel {
namespace {

constexpr std::string_view kUnsupported = "Unsupported value type";
constexpr std::string_view kInputWord = "input";

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
    return unexpected(cat({"column ", quoted(path), ": its schema and its array have different children"}));
  }
  std::optional<std::int64_t> found;
  for (std::int64_t i = 0; i < schema.n_children; ++i) {
    const ArrowSchema* child = schema.children[i];
    if (child == nullptr || array.children[i] == nullptr) {
      return unexpected(cat({"column ", quoted(path), ": a child is missing"}));
    }
    if (child->name == nullptr || name != child->name) continue;
    if (found) return unexpected(cat({"the column ", quoted(joined(path, name)), " appears twice"}));
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
    return cat({"column ", quoted(columns.path(column)),
                ": the Python type of its values depends on pandas and on each value"});
  }
  if (type == "dict") {
    return cat({"column ", quoted(columns.path(column)),
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
             quoted(schema.format);
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
                                         const ArrowArray& array, std::string path,
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
      return cat({"column ", quoted(path), " is shorter than the batch"});
    }
    if (!fields) {
      domain.shape = DomainColumns::Shape::Other;
      return unsure_type(columns, *column);
    }
    domain.shape = DomainColumns::Shape::Struct;
    NameViewSet names;
    for (ColumnId field : columns.children(*column)) {
      if (!names.insert(columns.name(field)).second) {
        return cat({"column ", quoted(path), ": the field ", quoted(columns.name(field)),
                    " appears twice, which no dict can hold"});
      }
      if (columns.may_refuse(field)) domain.refusable.push_back(field);
    }
    for (const auto& named : plan_.slots(kDomains[d].variant)) {
      for (ColumnId field : columns.children(*column)) {
        if (columns.name(field) == named.name) layout_.slots.push_back({named.slot, d, field});
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

}  // namespace

BatchEvaluator::BatchEvaluator(const EvaluationPlan& plan) : plan_(plan) {
  rule_ids_.reserve(plan.rule_count());
  for (std::size_t rule = 0; rule < plan.rule_count(); ++rule) {
    rule_ids_.push_back(plan.rule_id(static_cast<std::uint32_t>(rule)));
  }
}

Expected<DecisionBatches, std::string> BatchEvaluator::evaluate(const ArrowSchema& schema,
                                                                const ArrowArray& batch) const {
  RecordLayout layout;
  if (auto why = LayoutReader(plan_, layout).read(schema, batch)) return unexpected(*why);
  const ArrowColumns& columns = layout.columns;
  std::vector<InputValue> values(plan_.slot_count());
  EvaluationInput input(values);
  DecisionBuilder out;
  std::array<bool, kDomainCount> present{};
  std::string error;
  for (std::int64_t r = 0; r < layout.length; ++r) {
    const Reading reading = check_record(layout, r, present, error);
    if (reading == Reading::Refused) {
      out.add_error(error);
      continue;
    }
    for (const SlotColumn& slot : layout.slots) {
      Cell cell;
      if (present[slot.domain]) {
        cell = columns.read(slot.column, layout.domains[slot.domain].field_base + r);
      }
      if (cell.kind == Cell::Kind::Malformed) {
        return unexpected(cat({"column ", quoted(columns.path(slot.column)),
                               ": an index or offset of its data is out of bounds at record ",
                               std::to_string(r)}));
      }
      input.set(slot.slot, cell.value);
    }
    if (reading == Reading::Malformed) {
      return unexpected(
          cat({"an index or offset of the data is out of bounds at record ", std::to_string(r)}));
    }
    const Decision decision = plan_.evaluate(input);
    std::optional<std::string_view> rule;
    if (decision.rule) rule = rule_ids_[*decision.rule];
    out.add_decision(decision.effect, rule);
  }
  return out.finish();
}

}  // namespace tamsel
