// Evaluation in columns against evaluation of one record at a time. The input
// describes a batch of Arrow arrays, built here through the C Data Interface
// in many layouts (sliced, with nulls, dictionaries, unions, run ends, views,
// decimals...); every record's outcome of BatchEvaluator must be the outcome
// of the plan on the fields that pyarrow's to_pylist() makes of that record,
// null fields left out. Those fields are taken from the generated values
// themselves, never through the column reader. A batch with a layout that
// the reader refuses as a whole must be refused with an error; any other must
// be read, unless it holds indices or offsets out of bounds, for which it may
// be refused. A crash, leak, undefined behaviour or difference is a fault.
//
// Input: read front to back, one byte at a time, zeros once it runs out, so
// every byte string is some batch (the YAML seeds are batches too):
//   flags  bits 0-1 the records' shape: 0, 1 the domains as columns, 2 an
//          "input" struct holding them, 3 an "input" column of another layout
//          (one time in four, else a struct); bit 2 null records; bit 3 extra
//          top-level columns, which nothing reads; bits 4-7 all set: a second
//          "input" column
//   N      records: below 240 mod 65, else 200 + 20 * (N - 240)
//   offset of the records, mod 3
//   then, where domains are read, for action, actor and snapshot in turn:
//   shape  mod 16: 0-10 a struct, 12 absent, 13 a null column, 11 and 14 a
//          column of another layout, 15 a struct and another column of the
//          same name
//   a struct: its offset mod 3, a byte whose bits choose its fields among the
//          domain's names, the first field's place, one time in 32 a
//          repeated name, each field's column, then its nulls (a byte an
//          element, null when the byte's low 3 bits are set)
//   column a byte: 250 and above a layout the reader refuses, else mod 22 one
//          of the layouts in Layout; 240-249 take the layout from the next
//          byte and, even, add metadata of no extension or, odd, make the
//          elements whose pick is 24 or more out of bounds (Expect::Malformed);
//          a field named "type" mostly a text layout that favours the
//          policy's action names; then the layout's own bytes: offset mod
//          3, and a byte an element (low 3 bits set: null; the rest picks a
//          value from the layout's set, past its end raw bytes follow).
// The seeds in fuzz/seeds/columns are batches of each shape in this format.
#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "columns/arrow_abi.h"
#include "columns/batch_evaluation.h"
#include "construction/construct.h"
#include "engine/evaluation_plan.h"

namespace {

using tamsel::InputValue;

constexpr std::string_view kSchema = R"(version: 1
actions:
  refund:
    fields: {amount: number, currency: string, urgent: boolean}
  transfer:
    fields: {amount: number, to: string}
actor:
  fields: {role: string, level: number, frozen: boolean}
snapshot:
  fields: {limit: number, mode: string, open: boolean}
)";

// Texts, numbers and booleans in all three domains, a run of rules on one
// text, comparisons of two fields, and literals at the edges of doubles.
constexpr std::string_view kPolicy = R"(version: 1
rules:
  - {id: usd, scope: {action: refund}, when: [[action, currency], equals, {literal: USD}], effect: block}
  - {id: euro_sign, scope: {action: refund}, when: [[action, currency], equals, {literal: "é€"}], effect: require_approval}
  - {id: long_text, scope: {action: refund}, when: [[action, currency], equals, {literal: a text longer than twelve}], effect: allow}
  - {id: no_currency, scope: {action: refund}, when: [[action, currency], equals, {literal: ""}], effect: block}
  - id: over_limit
    scope: {action: refund}
    when: [[action, amount], greater_than, {subject: [snapshot, limit]}]
    effect: require_approval
  - id: exact_big
    scope: {action: refund}
    when: {all: [[[action, amount], equals, {literal: 9007199254740992}], [[action, urgent], equals, {literal: true}]]}
    effect: block
  - id: negative_or_urgent
    scope: {action: refund}
    when: {any: [[[action, amount], less_than, {literal: 0}], [[action, urgent], not_equals, {literal: false}]]}
    effect: require_approval
  - {id: to_admin, scope: {action: transfer}, when: [[action, to], equals, {literal: admin}], effect: allow}
  - id: below_level
    scope: {action: transfer}
    when: [[action, amount], less_than, {subject: [actor, level]}]
    effect: allow
  - {id: frozen, scope: {global: true}, when: [[actor, frozen], equals, {literal: true}], effect: block}
  - id: open_admin
    scope: {global: true}
    when: {all: [[[actor, role], equals, {literal: admin}], [[snapshot, open], equals, {literal: true}]]}
    effect: allow
  - {id: high_level, scope: {global: true}, when: [[actor, level], greater_than, {literal: 1000}], effect: require_approval}
  - {id: zero_limit, scope: {global: true}, when: [[snapshot, limit], equals, {literal: -0.0}], effect: allow}
  - {id: odd_mode, scope: {global: true}, when: [[snapshot, mode], not_equals, {literal: normal}], effect: block}
)";

// The field names of each domain's structs: the schema's and some it lacks.
constexpr std::string_view kActionFields[] = {"type", "amount", "currency", "urgent",
                                              "to",   "note",   "Amount"};
constexpr std::string_view kActorFields[] = {"role", "level", "frozen", "extra"};
constexpr std::string_view kSnapshotFields[] = {"limit", "mode", "open", "type", "extra"};
constexpr std::array<std::span<const std::string_view>, 3> kFieldNames{kActionFields, kActorFields,
                                                                       kSnapshotFields};

struct Engine {
  tamsel::CompiledPolicy policy;
  tamsel::EvaluationPlan plan;
  tamsel::BatchEvaluator evaluator;
  explicit Engine(tamsel::CompiledPolicy compiled)
      : policy(std::move(compiled)), plan(policy), evaluator(plan) {}
};

const Engine& engine() {
  static const Engine kEngine = [] {
    auto compiled = tamsel::construct_policy(kSchema, kPolicy, std::nullopt);
    if (!compiled) {
      std::fprintf(stderr, "the fuzzer's policy: %s\n", compiled.error().message.c_str());
      std::abort();
    }
    return Engine(std::move(*compiled));
  }();
  return kEngine;
}

// Reads the input front to back; zeros once it runs out.
class Bytes {
 public:
  explicit Bytes(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint8_t next() {
    if (bytes_.empty()) return 0;
    const std::uint8_t byte = bytes_.front();
    bytes_ = bytes_.subspan(1);
    return byte;
  }
  std::size_t below(std::size_t count) { return next() % count; }
  // Little-endian, `count` bytes.
  std::uint64_t raw(std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < count; ++i) value |= std::uint64_t{next()} << (8 * i);
    return value;
  }

 private:
  std::span<const std::uint8_t> bytes_;
};

// What to_pylist makes of one element, as evaluate then takes it.
struct Expect {
  // Malformed: an index or offset out of bounds, which the reader must find
  // when it reads the element.
  enum class Kind : std::uint8_t { Absent, Value, Refused, Malformed };
  Kind kind = Kind::Absent;
  InputValue value;
  std::string_view type;  // the Python type's name; empty where pandas decides
};

// One Arrow array and its schema, owning every buffer they point at. Build
// the tree, then wire() the root where it stays: nothing may move afterwards.
struct Column {
  std::string format;
  std::string name;
  std::string metadata;
  std::int64_t offset = 0;
  std::int64_t length = 0;  // elements from offset on
  std::int64_t null_count = 0;
  std::vector<std::vector<std::uint8_t>> buffers;
  std::vector<bool> missing;  // buffers handed over as null pointers
  std::vector<std::unique_ptr<Column>> children;
  std::unique_ptr<Column> dictionary;
  std::vector<Expect> expect;  // element i, counted from offset
  bool unsupported = false;    // the reader refuses it wherever it reads it
  bool unsure = false;  // refused where a dict stands: a struct inside, or a type pandas decides

  ArrowSchema schema{};
  ArrowArray array{};

  void wire() {
    pointers_.clear();
    owned_.clear();
    for (std::size_t i = 0; i < buffers.size(); ++i) {
      // Exactly as large as the data, so that a read past it is caught.
      owned_.push_back(std::make_unique<std::uint8_t[]>(buffers[i].size()));
      if (!buffers[i].empty()) {
        std::memcpy(owned_.back().get(), buffers[i].data(), buffers[i].size());
      }
      pointers_.push_back(i < missing.size() && missing[i] ? nullptr : owned_.back().get());
    }
    child_schemas_.clear();
    child_arrays_.clear();
    for (auto& child : children) {
      child->wire();
      child_schemas_.push_back(&child->schema);
      child_arrays_.push_back(&child->array);
    }
    if (dictionary) dictionary->wire();
    schema = ArrowSchema{format.c_str(),
                         name.c_str(),
                         metadata.empty() ? nullptr : metadata.data(),
                         ARROW_FLAG_NULLABLE,
                         static_cast<std::int64_t>(children.size()),
                         child_schemas_.data(),
                         dictionary ? &dictionary->schema : nullptr,
                         &release_schema,
                         this};
    array = ArrowArray{length,
                       null_count,
                       offset,
                       static_cast<std::int64_t>(pointers_.size()),
                       static_cast<std::int64_t>(children.size()),
                       pointers_.data(),
                       child_arrays_.data(),
                       dictionary ? &dictionary->array : nullptr,
                       &release_array,
                       this};
  }

  // Whether this column and everything under it has been released.
  [[nodiscard]] bool released() const {
    if (schema.release != nullptr || array.release != nullptr) return false;
    for (const auto& child : children) {
      if (!child->released()) return false;
    }
    return !dictionary || dictionary->released();
  }

 private:
  // The storage is the Column's; releasing marks the structs released, children first.
  static void release_schema(ArrowSchema* schema) {
    for (std::int64_t i = 0; i < schema->n_children; ++i) {
      ArrowSchema* child = schema->children[i];
      if (child->release != nullptr) child->release(child);
    }
    if (schema->dictionary != nullptr && schema->dictionary->release != nullptr) {
      schema->dictionary->release(schema->dictionary);
    }
    schema->release = nullptr;
  }
  static void release_array(ArrowArray* array) {
    for (std::int64_t i = 0; i < array->n_children; ++i) {
      ArrowArray* child = array->children[i];
      if (child->release != nullptr) child->release(child);
    }
    if (array->dictionary != nullptr && array->dictionary->release != nullptr) {
      array->dictionary->release(array->dictionary);
    }
    array->release = nullptr;
  }

  std::vector<std::unique_ptr<std::uint8_t[]>> owned_;
  std::vector<const void*> pointers_;
  std::vector<ArrowSchema*> child_schemas_;
  std::vector<ArrowArray*> child_arrays_;
};

template <class T>
void append(std::vector<std::uint8_t>& bytes, T value) {
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&value);
  bytes.insert(bytes.end(), raw, raw + sizeof(T));
}

void set_bit(std::vector<std::uint8_t>& bits, std::size_t at, bool value) {
  if (value) bits[at / 8] |= static_cast<std::uint8_t>(1U << (at % 8));
}

// The layouts a field's column may have; kinds past Null lead to others.
enum class Layout : std::uint8_t {
  Boolean,
  Int8,
  UInt8,
  Int16,
  UInt16,
  Int32,
  UInt32,
  Int64,
  UInt64,
  Float16,
  Float32,
  Float64,
  Decimal,
  Utf8,
  LargeUtf8,
  Utf8View,
  Null,
  Refused,
  Dictionary,
  SparseUnion,
  DenseUnion,
  RunEnds,
};
constexpr std::size_t kLayouts = 22;
constexpr std::size_t kLeaves = 18;  // Boolean up to Refused
constexpr int kDeepest = 2;

// Python's float() of an integer: the correctly rounded double of its digits.
double float_of(std::int64_t value) { return std::strtod(std::to_string(value).c_str(), nullptr); }
double float_of(std::uint64_t value) { return std::strtod(std::to_string(value).c_str(), nullptr); }

// IEEE half precision by its definition.
double half_value(std::uint16_t half) {
  const int exponent = (half >> 10) & 31;
  const int fraction = half & 1023;
  const double sign = (half & 0x8000) != 0 ? -1.0 : 1.0;
  if (exponent == 31) {
    return fraction != 0 ? std::numeric_limits<double>::quiet_NaN()
                         : sign * std::numeric_limits<double>::infinity();
  }
  if (exponent == 0) return sign * (fraction / 1024.0) * std::pow(2.0, -14);
  return sign * (1.0 + fraction / 1024.0) * std::pow(2.0, exponent - 15);
}

// Metadata as the C interface encodes it: the count of pairs, then each key
// and value after its size, all sizes int32.
std::string metadata_of(const std::vector<std::pair<std::string_view, std::string_view>>& pairs) {
  std::vector<std::uint8_t> bytes;
  append(bytes, static_cast<std::int32_t>(pairs.size()));
  for (const auto& [key, value] : pairs) {
    append(bytes, static_cast<std::int32_t>(key.size()));
    bytes.insert(bytes.end(), key.begin(), key.end());
    append(bytes, static_cast<std::int32_t>(value.size()));
    bytes.insert(bytes.end(), value.begin(), value.end());
  }
  return {bytes.begin(), bytes.end()};
}

Expect number(double value, std::string_view type) {
  return {Expect::Kind::Value, InputValue::of_number(value), type};
}

class Generator {
 public:
  explicit Generator(Bytes& bytes) : bytes_(bytes) {}

  // A field's column of `length` elements, in a layout the input chooses.
  std::unique_ptr<Column> column(std::int64_t length, int depth) {
    const std::uint8_t pick = bytes_.next();
    if (pick >= 250) return unsupported(length);
    // 240-249: the layout in the next byte; odd ones hostile, even ones with metadata.
    const bool special = pick >= 240;
    const std::uint8_t which = special ? bytes_.next() : pick;
    auto layout = static_cast<Layout>(which % kLayouts);
    if (depth >= kDeepest) layout = static_cast<Layout>(which % kLeaves);
    const bool was_hostile = hostile_;
    hostile_ = special && (pick & 1) != 0;
    std::unique_ptr<Column> made = nested(layout, length, depth);
    hostile_ = was_hostile;
    // Metadata that names no extension changes nothing.
    if (special && (pick & 1) == 0)
      made->metadata = metadata_of({{"origin", "fuzz"}, {"ARROW:extension:metadata", ""}});
    return made;
  }

  // A struct whose fields the input chooses among `names`; children of
  // `offset + length` elements. `repeated` is set when a name appears twice.
  std::unique_ptr<Column> structure(std::int64_t length, std::span<const std::string_view> names,
                                    bool& repeated, int depth) {
    auto column = shell("+s", length, 1);
    const std::size_t mask = bytes_.next();
    const std::size_t first = bytes_.below(names.size());
    std::vector<std::string_view> chosen;
    for (std::size_t i = 0; i < names.size(); ++i) {
      const std::size_t at = (first + i) % names.size();
      if ((mask >> at) & 1U) chosen.push_back(names[at]);
    }
    repeated = !chosen.empty() && bytes_.below(32) == 31;
    if (repeated) chosen.push_back(chosen[bytes_.below(chosen.size())]);
    for (const std::string_view name : chosen) {
      const std::int64_t count = column->offset + length;
      column->children.push_back(name == "type" ? action_type(count)
                                                : this->column(count, depth + 1));
      column->children.back()->name = name;
    }
    for (Expect& element : column->expect) element = {Expect::Kind::Refused, {}, "dict"};
    null_some(*column);
    return column;
  }

  // Nulls of an element each as the input says; then validity as for any column.
  void null_some(Column& column) {
    for (Expect& element : column.expect) {
      if ((bytes_.next() & 7) == 7) element = {};
    }
    finish_validity(column);
  }

  // A column of the format with its offset chosen and its elements still to
  // fill; `buffers` of them, the first the validity bitmap.
  std::unique_ptr<Column> shell(std::string format, std::int64_t length, std::size_t buffers) {
    auto column = std::make_unique<Column>();
    column->format = std::move(format);
    column->offset = static_cast<std::int64_t>(bytes_.below(3));
    column->length = length;
    column->buffers.resize(buffers);
    column->expect.resize(static_cast<std::size_t>(length));
    return column;
  }

  // The bitmap of the elements whose expectation is Absent (elements before
  // the offset chosen by the input), and the null count over the slice.
  void finish_validity(Column& column) {
    const auto total = static_cast<std::size_t>(column.offset + column.length);
    std::vector<std::uint8_t> bits((total + 7) / 8, 0);
    std::int64_t nulls = 0;
    for (std::size_t i = 0; i < total; ++i) {
      const auto at = static_cast<std::int64_t>(i) - column.offset;
      const bool valid =
          at < 0 ? (bytes_.next() & 1) == 0
                 : column.expect[static_cast<std::size_t>(at)].kind != Expect::Kind::Absent;
      set_bit(bits, i, valid);
      if (at >= 0 && !valid) ++nulls;
    }
    column.buffers[0] = std::move(bits);
    column.missing.assign(column.buffers.size(), false);
    const std::uint8_t how = bytes_.next();
    if (nulls == 0 && (how & 1) == 0) {
      column.buffers[0].clear();
      column.missing[0] = true;  // no bitmap when nothing is null
    }
    column.null_count = nulls != 0 && (how & 2) != 0 ? -1 : nulls;  // -1: not counted
  }

  std::unique_ptr<Column> nulls(std::int64_t length) {
    auto column = shell("n", length, 0);
    column->null_count = length;
    return column;  // no buffers; every element null
  }

  // Nulls of none of the elements.
  void no_nulls(Column& column) {
    column.buffers.assign(column.buffers.size(), {});
    column.missing.assign(column.buffers.size(), false);
    if (!column.buffers.empty()) column.missing[0] = true;
    column.null_count = 0;
  }

  // Whether an element out of bounds was made.
  [[nodiscard]] bool malformed() const { return malformed_; }

 private:
  // Whether the element of this pick is made out of bounds: the last picks
  // of a hostile column's elements.
  bool corrupt(std::uint8_t pick) {
    const bool broken = hostile_ && pick >= 24;
    malformed_ = malformed_ || broken;
    return broken;
  }

  // A text the reference values view: kept as long as the generator.
  std::string_view keep(std::string text) { return texts_.emplace_back(std::move(text)); }

  std::unique_ptr<Column> nested(Layout layout, std::int64_t length, int depth) {
    switch (layout) {
      case Layout::Dictionary:
        return dictionary(length);
      case Layout::SparseUnion:
        return sparse_union(length, depth);
      case Layout::DenseUnion:
        return dense_union(length, depth);
      case Layout::RunEnds:
        return run_ends(length, depth);
      default:
        return leaf(layout, length);
    }
  }

  // One byte an element of the slice and of what precedes it: null or a pick.
  template <class Make>
  void elements(Column& column, Make make) {
    const auto total = column.offset + column.length;
    for (std::int64_t i = 0; i < total; ++i) {
      const std::uint8_t byte = bytes_.next();
      const Expect value = make(static_cast<std::uint8_t>(byte >> 3));
      if (i >= column.offset) {
        // Some readers look at bounds before validity: malformed stays so.
        const bool null = (byte & 7) == 7 && value.kind != Expect::Kind::Malformed;
        column.expect[static_cast<std::size_t>(i - column.offset)] = null ? Expect{} : value;
      }
    }
    finish_validity(column);
  }

  std::unique_ptr<Column> leaf(Layout layout, std::int64_t length) {
    switch (layout) {
      case Layout::Boolean:
        return booleans(length);
      case Layout::Int8:
        return integers<std::int8_t>("c", length);
      case Layout::UInt8:
        return integers<std::uint8_t>("C", length);
      case Layout::Int16:
        return integers<std::int16_t>("s", length);
      case Layout::UInt16:
        return integers<std::uint16_t>("S", length);
      case Layout::Int32:
        return integers<std::int32_t>("i", length);
      case Layout::UInt32:
        return integers<std::uint32_t>("I", length);
      case Layout::Int64:
        return integers<std::int64_t>("l", length);
      case Layout::UInt64:
        return integers<std::uint64_t>("L", length);
      case Layout::Float16:
        return halves(length);
      case Layout::Float32:
        return floats<float>("f", length);
      case Layout::Float64:
        return floats<double>("g", length);
      case Layout::Decimal:
        return decimals(length);
      case Layout::Utf8:
        return texts<std::int32_t>("u", length, "str");
      case Layout::LargeUtf8:
        return texts<std::int64_t>("U", length, "str");
      case Layout::Utf8View:
        return views(length);
      case Layout::Null:
        return nulls(length);
      default:
        return refused(length);
    }
  }

  std::unique_ptr<Column> booleans(std::int64_t length) {
    auto column = shell("b", length, 2);
    std::vector<bool> truths;
    elements(*column, [&](std::uint8_t pick) {
      truths.push_back((pick & 1) != 0);
      return Expect{Expect::Kind::Value, InputValue::of_boolean(truths.back()), "bool"};
    });
    column->buffers[1].assign((truths.size() + 7) / 8, 0);
    for (std::size_t i = 0; i < truths.size(); ++i) set_bit(column->buffers[1], i, truths[i]);
    return column;
  }

  template <class T>
  std::unique_ptr<Column> integers(std::string format, std::int64_t length) {
    constexpr std::int64_t kBig = std::int64_t{1} << 53;
    static const std::vector<std::uint64_t> kPool = {
        0,
        1,
        static_cast<std::uint64_t>(-1),
        3,
        1000,
        static_cast<std::uint64_t>(-3),
        static_cast<std::uint64_t>(std::numeric_limits<T>::min()),
        static_cast<std::uint64_t>(std::numeric_limits<T>::max()),
        static_cast<std::uint64_t>(kBig),
        static_cast<std::uint64_t>(kBig + 1),
        static_cast<std::uint64_t>(kBig + 3),
        static_cast<std::uint64_t>(-(kBig + 1)),
        (std::uint64_t{1} << 63) + 1025,
        1001,
    };
    auto column = shell(std::move(format), length, 2);
    elements(*column, [&](std::uint8_t pick) {
      const T value = static_cast<T>(pick < kPool.size() ? kPool[pick] : bytes_.raw(sizeof(T)));
      append(column->buffers[1], value);
      if constexpr (std::is_signed_v<T>) {
        return number(float_of(std::int64_t{value}), "int");
      } else {
        return number(float_of(std::uint64_t{value}), "int");
      }
    });
    return column;
  }

  std::unique_ptr<Column> halves(std::int64_t length) {
    static const std::vector<std::uint16_t> kPool = {
        0x0000, 0x8000, 0x3C00, 0x4100, 0xC200, 0x63D0, 0x7BFF,
        0x7C00, 0xFC00, 0x7E00, 0x0001, 0x03FF, 0x0400, 0xFE01,
    };
    auto column = shell("e", length, 2);
    elements(*column, [&](std::uint8_t pick) {
      const auto bits =
          static_cast<std::uint16_t>(pick < kPool.size() ? kPool[pick] : bytes_.raw(2));
      append(column->buffers[1], bits);
      return number(half_value(bits), "float");
    });
    return column;
  }

  template <class T>
  std::unique_ptr<Column> floats(std::string format, std::int64_t length) {
    constexpr T kInfinity = std::numeric_limits<T>::infinity();
    static const std::vector<T> kPool = {
        T{0},
        -T{0},
        T{1},
        T{2.5},
        T{-3},
        T{1000},
        std::numeric_limits<T>::quiet_NaN(),
        kInfinity,
        -kInfinity,
        std::numeric_limits<T>::denorm_min(),
        std::numeric_limits<T>::max(),
        static_cast<T>(9007199254740992.0),
        static_cast<T>(9007199254740994.0),
        static_cast<T>(1000.0000001),
        -std::numeric_limits<T>::min(),
    };
    auto column = shell(std::move(format), length, 2);
    elements(*column, [&](std::uint8_t pick) {
      T value = pick < kPool.size() ? kPool[pick] : T{};
      if (pick >= kPool.size()) {
        const std::uint64_t raw = bytes_.raw(sizeof(T));
        std::memcpy(&value, &raw, sizeof(T));
      }
      append(column->buffers[1], value);
      return number(static_cast<double>(value), "float");
    });
    return column;
  }

  // Decimals of 32, 64, 128 or 256 bits at their greatest precision; the
  // unscaled integers from digit strings.
  std::unique_ptr<Column> decimals(std::int64_t length) {
    static const std::vector<int> kScales = {0, 2, 4, -3, 9, 1};
    const std::size_t width = std::size_t{4} << bytes_.below(4);
    const std::size_t precision = width == 4 ? 9 : width == 8 ? 18 : width == 16 ? 38 : 76;
    const int scale = kScales[bytes_.below(kScales.size())];
    auto column = shell("d:" + std::to_string(precision) + "," + std::to_string(scale) + "," +
                            std::to_string(width * 8),
                        length, 2);
    elements(*column, [&](std::uint8_t pick) {
      std::string digits = decimal_digits(pick, precision);
      const bool negative = (pick & 1) != 0 && digits.find_first_not_of('0') != std::string::npos;
      encode_decimal(column->buffers[1], digits, negative, width);
      const std::string text = (negative ? "-" : "") + digits + "e" + std::to_string(-scale);
      return number(std::strtod(text.c_str(), nullptr), "Decimal");
    });
    return column;
  }

  std::string decimal_digits(std::uint8_t pick, std::size_t precision) {
    switch (pick >> 1) {
      case 0:
        return "0";
      case 1:
        return "1000";
      case 2:
        return "25";
      case 3:
        return std::string(precision, '9');
      case 4:
        return "1" + std::string(precision - 1, '0');
      case 5:  // 2**53 + 1: more digits than a double holds
        return precision >= 16 ? "9007199254740993" : "7";
      default: {
        std::string digits;
        const std::size_t count = 1 + bytes_.below(precision);
        for (std::size_t i = 0; i < count; ++i) digits += static_cast<char>('0' + bytes_.below(10));
        return digits;
      }
    }
  }

  // The two's complement of the digits, little-endian, `width` bytes.
  static void encode_decimal(std::vector<std::uint8_t>& out, std::string_view digits, bool negative,
                             std::size_t width) {
    std::vector<std::uint32_t> words(width / 4, 0);
    for (const char digit : digits) {
      std::uint64_t carry = static_cast<std::uint64_t>(digit - '0');
      for (std::uint32_t& word : words) {
        const std::uint64_t next = std::uint64_t{word} * 10 + carry;
        word = static_cast<std::uint32_t>(next);
        carry = next >> 32;
      }
    }
    if (negative) {
      std::uint64_t carry = 1;
      for (std::uint32_t& word : words) {
        const std::uint64_t next = std::uint64_t{~word} + carry;
        word = static_cast<std::uint32_t>(next);
        carry = next >> 32;
      }
    }
    for (const std::uint32_t word : words) append(out, word);
  }

  // The action's type: mostly texts, which mostly name the policy's actions.
  std::unique_ptr<Column> action_type(std::int64_t length) {
    favour_actions_ = true;
    std::unique_ptr<Column> column;
    switch (bytes_.below(6)) {
      case 0:
        column = texts<std::int32_t>("u", length, "str");
        break;
      case 1:
        column = texts<std::int64_t>("U", length, "str");
        break;
      case 2:
        column = views(length);
        break;
      case 3:
        column = dictionary(length);
        break;
      default:
        column = this->column(length, 1);
        break;
    }
    favour_actions_ = false;
    return column;
  }

  std::string_view text(std::uint8_t pick) {
    static const std::vector<std::string_view> kPool = {
        "refund",
        "transfer",
        "USD",
        "",
        "a text longer than twelve",
        "admin",
        "\xC3\xA9\xE2\x82\xAC",  // é€
        "normal",
        "EUR",
        "exactly12byt",
        "thirteen byte",
        "\xFF\xFE",  // no UTF-8: the reader must pass bytes through untouched
        std::string_view("a\0b", 3),
        "refund ",
        "a text longer than twelvf",
    };
    if (favour_actions_ && pick < 24) return kPool[pick % 2];
    if (pick < kPool.size()) return kPool[pick];
    std::string raw;
    const std::size_t count = bytes_.below(24);
    for (std::size_t i = 0; i < count; ++i) raw += static_cast<char>(bytes_.next());
    return keep(std::move(raw));
  }

  // Offsets of type Offset, the first at a chosen place in the data.
  template <class Offset>
  std::unique_ptr<Column> texts(std::string format, std::int64_t length, std::string_view type) {
    auto column = shell(std::move(format), length, 3);
    auto& data = column->buffers[2];
    data.assign(bytes_.below(3), 'x');
    append(column->buffers[1], static_cast<Offset>(data.size()));
    bool broken = false;  // the previous element's end, this one's start, is negative
    elements(*column, [&](std::uint8_t pick) {
      const std::string_view value = text(pick);
      data.insert(data.end(), value.begin(), value.end());
      const bool breaks = corrupt(pick);
      append(column->buffers[1], breaks ? Offset{-1} : static_cast<Offset>(data.size()));
      const bool malformed = std::exchange(broken, breaks) || breaks;
      if (malformed) return Expect{Expect::Kind::Malformed, {}, {}};
      if (type != "str") return Expect{Expect::Kind::Refused, {}, type};
      return Expect{Expect::Kind::Value, InputValue::of_text(value), type};
    });
    // With no text at all the data buffer may be missing.
    if (data.empty()) column->missing[2] = bytes_.below(2) == 1;
    return column;
  }

  // Views of 16 bytes: up to 12 bytes inline, longer texts in one of the data
  // buffers, after some bytes that no view covers.
  std::unique_ptr<Column> views(std::int64_t length) {
    auto column = shell("vu", length, 2);
    std::vector<std::vector<std::uint8_t>> data(1 + bytes_.below(3));
    elements(*column, [&](std::uint8_t pick) {
      const std::string_view value = text(pick);
      std::uint8_t view[16] = {};
      const auto size = static_cast<std::int32_t>(value.size());
      std::memcpy(view, &size, 4);
      if (value.size() <= 12) {
        std::memcpy(view + 4, value.data(), value.size());
      } else {
        const auto buffer = static_cast<std::int32_t>(bytes_.below(data.size()));
        auto& in = data[static_cast<std::size_t>(buffer)];
        in.resize(in.size() + bytes_.below(3), '-');
        const auto at = static_cast<std::int32_t>(in.size());
        in.insert(in.end(), value.begin(), value.end());
        std::memcpy(view + 4, value.data(), 4);
        std::memcpy(view + 8, &buffer, 4);
        std::memcpy(view + 12, &at, 4);
      }
      const bool broken = corrupt(pick);
      if (broken) {  // a negative size, or a data buffer that is not there
        const std::int32_t bad = value.size() <= 12 ? -1 : static_cast<std::int32_t>(data.size());
        std::memcpy(view + (value.size() <= 12 ? 0 : 8), &bad, 4);
      }
      column->buffers[1].insert(column->buffers[1].end(), view, view + 16);
      if (broken) return Expect{Expect::Kind::Malformed, {}, {}};
      return Expect{Expect::Kind::Value, InputValue::of_text(value), "str"};
    });
    std::vector<std::uint8_t> sizes;
    for (auto& in : data) {
      append(sizes, static_cast<std::int64_t>(in.size()));
      column->buffers.push_back(std::move(in));
      column->missing.push_back(false);
    }
    column->buffers.push_back(std::move(sizes));
    column->missing.push_back(false);
    return column;
  }

  // Layouts whose every value evaluate refuses, each with its Python type.
  std::unique_ptr<Column> refused(std::int64_t length) {
    switch (bytes_.below(7)) {
      case 0:
        return texts<std::int32_t>("z", length, "bytes");
      case 1:
        return fixed_refused<std::int32_t>("tdD", length, "date");
      case 2:
        return fixed_refused<std::int64_t>("tss:", length, "datetime");
      case 3:
        return fixed_refused<std::int64_t>("tsn:UTC", length, "");
      case 4:
        return fixed_refused<std::uint16_t>("w:2", length, "bytes");
      case 5:
        return list(length);
      default:
        return struct_field(length);
    }
  }

  template <class T>
  std::unique_ptr<Column> fixed_refused(std::string format, std::int64_t length,
                                        std::string_view type) {
    auto column = shell(std::move(format), length, 2);
    column->unsure = type.empty();
    elements(*column, [&](std::uint8_t pick) {
      append(column->buffers[1], static_cast<T>(pick));
      return Expect{Expect::Kind::Refused, {}, type};
    });
    return column;
  }

  // Lists of int32: offsets, and a child the reader never reads.
  std::unique_ptr<Column> list(std::int64_t length) {
    auto column = shell("+l", length, 2);
    std::int32_t end = 0;
    append(column->buffers[1], end);
    elements(*column, [&](std::uint8_t pick) {
      end += pick % 3;
      append(column->buffers[1], end);
      return Expect{Expect::Kind::Refused, {}, "list"};
    });
    auto item = shell("i", end, 2);
    item->offset = 0;
    elements(*item, [&](std::uint8_t pick) {
      append(item->buffers[1], std::int32_t{pick});
      return number(pick, "int");
    });
    item->name = "item";
    column->children.push_back(std::move(item));
    return column;
  }

  // A struct as a field's value: a dict, which evaluate refuses.
  std::unique_ptr<Column> struct_field(std::int64_t length) {
    auto column = shell("+s", length, 1);
    column->unsure = true;  // a dict where a domain's dict stands would be read as one
    for (Expect& element : column->expect) element = {Expect::Kind::Refused, {}, "dict"};
    auto inner = integers<std::int32_t>("i", column->offset + length);
    inner->name = "x";
    column->children.push_back(std::move(inner));
    null_some(*column);
    return column;
  }

  // Indices of a chosen integer type into values of a leaf layout.
  std::unique_ptr<Column> dictionary(std::int64_t length) {
    static const std::vector<std::pair<std::string_view, std::size_t>> kIndices = {
        {"c", 1}, {"C", 1}, {"s", 2}, {"S", 2}, {"i", 4}, {"I", 4}, {"l", 8}, {"L", 8},
    };
    const std::uint8_t type = bytes_.next();
    // Hostile: int64 indices half the time, whose largest value is the hardest to bound.
    const auto& [format, width_of_index] = kIndices[hostile_ && type >= 128 ? 6 : type % 8];
    const std::size_t width = width_of_index;
    const std::size_t count = 1 + bytes_.below(6);
    auto values = column(static_cast<std::int64_t>(count), kDeepest);
    auto indices = shell(std::string(format), length, 2);
    const bool is_signed = std::islower(static_cast<unsigned char>(format[0])) != 0;
    elements(*indices, [&](std::uint8_t pick) {
      const std::size_t index = pick % count;
      const bool broken = corrupt(pick);
      // Out of bounds: negative, past the values, or the largest index there is.
      const std::uint64_t raw = !broken                   ? index
                                : width == 8 && is_signed ? std::uint64_t{INT64_MAX}
                                                          : UINT64_MAX;
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(&raw);
      indices->buffers[1].insert(indices->buffers[1].end(), bytes, bytes + width);
      return broken ? Expect{Expect::Kind::Malformed, {}, {}} : values->expect[index];
    });
    indices->unsure = values->unsure;
    indices->unsupported = values->unsupported;
    indices->dictionary = std::move(values);
    return indices;
  }

  // A union's shell: its offset, no validity, members of distinct type codes.
  std::unique_ptr<Column> union_shell(std::string_view kind, std::int64_t length,
                                      std::vector<std::int8_t>& codes) {
    const std::size_t members = 1 + bytes_.below(3);
    const std::size_t start = bytes_.below(100);
    std::string format(kind);
    for (std::size_t j = 0; j < members; ++j) {
      codes.push_back(static_cast<std::int8_t>((start + 37 * j) % 128));
      format += (j != 0 ? "," : "") + std::to_string(codes.back());
    }
    auto column = shell(std::move(format), length, kind == "+us:" ? 1 : 2);
    column->missing.assign(column->buffers.size(), false);
    return column;
  }

  void adopt(Column& parent, std::unique_ptr<Column> child, std::string name) {
    child->name = std::move(name);
    parent.unsure = parent.unsure || child->unsure;
    parent.unsupported = parent.unsupported || child->unsupported;
    parent.children.push_back(std::move(child));
  }

  // Members as long as the union and its offset; each element from one of them.
  std::unique_ptr<Column> sparse_union(std::int64_t length, int depth) {
    std::vector<std::int8_t> codes;
    auto column = union_shell("+us:", length, codes);
    const std::int64_t total = column->offset + length;
    for (std::size_t j = 0; j < codes.size(); ++j) {
      adopt(*column, this->column(total, depth + 1), "m" + std::to_string(j));
    }
    for (std::int64_t i = 0; i < total; ++i) {
      const std::uint8_t byte = bytes_.next();
      const std::size_t member = byte % codes.size();
      const bool broken = corrupt(byte >> 3);  // a code of no member, or a negative one
      const auto unknown = static_cast<std::int8_t>((byte & 1) != 0 ? -1 : (codes[0] + 1) % 128);
      column->buffers[0].push_back(static_cast<std::uint8_t>(broken ? unknown : codes[member]));
      if (i >= column->offset) {
        column->expect[static_cast<std::size_t>(i - column->offset)] =
            broken ? Expect{Expect::Kind::Malformed, {}, {}}
                   : column->children[member]->expect[static_cast<std::size_t>(i)];
      }
    }
    return column;
  }

  // Each member holds its elements in order, and maybe one more.
  std::unique_ptr<Column> dense_union(std::int64_t length, int depth) {
    std::vector<std::int8_t> codes;
    auto column = union_shell("+ud:", length, codes);
    const std::int64_t total = column->offset + length;
    std::vector<std::size_t> members;
    std::vector<std::int32_t> used(codes.size(), 0);
    std::vector<std::int32_t> offsets;  // -1: out of bounds
    for (std::int64_t i = 0; i < total; ++i) {
      const std::uint8_t byte = bytes_.next();
      members.push_back(byte % codes.size());
      const bool broken = corrupt(byte >> 3);  // negative, or past the member's end
      offsets.push_back(broken ? -1 : used[members.back()]++);
      column->buffers[0].push_back(static_cast<std::uint8_t>(codes[members.back()]));
      append(column->buffers[1],
             broken && (byte & 1) != 0 ? std::int32_t{1} << 20 : offsets.back());
    }
    for (std::size_t j = 0; j < codes.size(); ++j) {
      const auto count = static_cast<std::int64_t>(used[j]) + (bytes_.next() & 1);
      adopt(*column, this->column(count, depth + 1), "m" + std::to_string(j));
    }
    for (std::int64_t i = column->offset; i < total; ++i) {
      const auto at = static_cast<std::size_t>(i);
      column->expect[at - static_cast<std::size_t>(column->offset)] =
          offsets[at] < 0
              ? Expect{Expect::Kind::Malformed, {}, {}}
              : column->children[members[at]]->expect[static_cast<std::size_t>(offsets[at])];
    }
    return column;
  }

  // Runs of one to four elements over the offset and the slice; the last may
  // end past it.
  std::unique_ptr<Column> run_ends(std::int64_t length, int depth) {
    auto column = shell("+r", length, 0);
    const std::int64_t total = column->offset + length;
    std::vector<std::int64_t> ends;
    for (std::int64_t at = 0; at < total;) {
      at = std::min<std::int64_t>(at + 1 + static_cast<std::int64_t>(bytes_.below(4)), total);
      ends.push_back(at);
    }
    if (!ends.empty()) ends.back() += static_cast<std::int64_t>(bytes_.below(2));
    const std::int64_t covered = hostile_ ? shorten(ends, total) : total;
    const auto runs = static_cast<std::int64_t>(ends.size());
    std::unique_ptr<Column> run;
    switch (bytes_.below(3)) {
      case 0:
        run = run_end_column<std::int16_t>("s", ends);
        break;
      case 1:
        run = run_end_column<std::int32_t>("i", ends);
        break;
      default:
        run = run_end_column<std::int64_t>("l", ends);
        break;
    }
    adopt(*column, std::move(run), "run_ends");
    adopt(*column, this->column(runs + static_cast<std::int64_t>(bytes_.below(2)), depth + 1),
          "values");
    const Column& values = *column->children[1];
    std::size_t run_index = 0;
    for (std::int64_t i = 0; i < total; ++i) {
      while (i < covered && ends[run_index] <= i) ++run_index;
      if (i >= column->offset) {
        column->expect[static_cast<std::size_t>(i - column->offset)] =
            i < covered ? values.expect[run_index] : Expect{Expect::Kind::Malformed, {}, {}};
      }
    }
    return column;
  }

  // Runs that end before the last element: how many elements they cover.
  std::int64_t shorten(std::vector<std::int64_t>& ends, std::int64_t total) {
    const std::int64_t before = ends.size() > 1 ? ends[ends.size() - 2] : 0;
    if (total - 1 <= before) return total;
    ends.back() = total - 1;
    malformed_ = true;
    return total - 1;
  }

  // The run ends, after as many unread ones as its offset; never null.
  template <class T>
  std::unique_ptr<Column> run_end_column(std::string format,
                                         const std::vector<std::int64_t>& ends) {
    auto column = shell(std::move(format), static_cast<std::int64_t>(ends.size()), 2);
    no_nulls(*column);
    for (std::int64_t i = 0; i < column->offset; ++i)
      append(column->buffers[1], static_cast<T>(bytes_.next()));
    for (const std::int64_t end : ends) append(column->buffers[1], static_cast<T>(end));
    for (std::size_t i = 0; i < ends.size(); ++i)
      column->expect[i] = number(static_cast<double>(ends[i]), "int");
    return column;
  }

  // Valid Arrow layouts that the reader does not read.
  std::unique_ptr<Column> unsupported(std::int64_t length) {
    std::unique_ptr<Column> column;
    switch (bytes_.below(3)) {
      case 0:
        column = fixed_refused<std::int32_t>("tiM", length, "int");
        break;
      case 1:
        column = fixed_refused<std::int64_t>("tiD", length, "");
        break;
      default:
        column = integers<std::int32_t>("i", length);
        column->metadata = metadata_of({{"origin", "fuzz"}, {"ARROW:extension:name", "fuzz.x"}});
        break;
    }
    column->unsupported = true;
    return column;
  }

  Bytes& bytes_;
  bool favour_actions_ = false;    // while the action's type is made
  bool hostile_ = false;           // while a column with elements out of bounds is made
  bool malformed_ = false;         // once one is made
  std::deque<std::string> texts_;  // what the reference values' texts view
};

// Whether the reader refuses the batch for this column where a dict stands:
// a struct is read as one, anything else must have values of sure types.
bool refused_where_dict(const Column& column) {
  if (column.format != "+s") return column.unsupported || column.unsure;
  for (const auto& field : column.children) {
    if (field->unsupported) return true;
  }
  return false;
}

// The domains among the fields of `parent` (a struct whose children have
// `length` elements), as the input says; `refused` is set when the reader
// must refuse them.
void add_domains(Generator& generator, Bytes& bytes, Column& parent, std::int64_t length,
                 bool& refused) {
  for (std::size_t d = 0; d < tamsel::kDomains.size(); ++d) {
    const std::string word(tamsel::kDomains[d].word);
    const std::size_t shape = bytes.below(16);
    if (shape == 12) continue;
    std::unique_ptr<Column> domain;
    bool repeated = false;
    if (shape == 13) {
      domain = generator.nulls(length);  // no domain anywhere
    } else if (shape == 14 || shape == 11) {
      domain = generator.column(length, 1);
    } else {
      domain = generator.structure(length, kFieldNames[d], repeated, 0);
    }
    refused = refused || repeated || refused_where_dict(*domain);
    domain->name = word;
    if (shape == 15) {  // a second column of the same name
      refused = true;
      auto twin = generator.column(length, kDeepest);
      twin->name = word;
      parent.children.push_back(std::move(twin));
    }
    parent.children.push_back(std::move(domain));
  }
}

// The records of a batch, as the input says (see the top of the file);
// `refused` is set when the reader must refuse them.
std::unique_ptr<Column> batch(Generator& generator, Bytes& bytes, bool& refused) {
  const std::uint8_t flags = bytes.next();
  const std::uint8_t size = bytes.next();
  // Now and then more records than a chunk of the reader holds.
  const std::int64_t count = size < 240 ? size % 65 : 200 + (size - 240) * 20;
  auto records = generator.shell("+s", count, 1);
  const std::int64_t length = records->offset + count;
  const unsigned shape = flags & 3U;
  if (shape >= 2) {
    std::unique_ptr<Column> input;
    if (shape == 3 && bytes.below(4) == 0) {
      input = generator.column(length, 1);
      refused = refused || refused_where_dict(*input);
    } else {
      input = generator.shell("+s", length, 1);
      add_domains(generator, bytes, *input, input->offset + length, refused);
      for (Expect& element : input->expect) element = {Expect::Kind::Refused, {}, "dict"};
      generator.null_some(*input);
    }
    input->name = "input";
    if ((flags >> 4) == 15) {
      refused = true;
      records->children.push_back(generator.column(length, kDeepest));
      records->children.back()->name = "input";
    }
    records->children.push_back(std::move(input));
  } else {
    add_domains(generator, bytes, *records, length, refused);
  }
  if ((flags & 8U) != 0) {  // columns that nothing reads, whatever their layout
    records->children.push_back(generator.column(length, 0));
    records->children.back()->name = "extra";
  }
  for (Expect& record : records->expect) record = {Expect::Kind::Refused, {}, "dict"};
  if ((flags & 4U) != 0) {
    generator.null_some(*records);
  } else {
    generator.no_nulls(*records);
  }
  return records;
}

const Column* child_named(const Column& parent, std::string_view name) {
  for (const auto& child : parent.children) {
    if (child->name == name) return child.get();
  }
  return nullptr;
}

// The outcome of a record that reads an element out of bounds: the batch is
// then refused, or the reader never read it.
constexpr std::string_view kUnknown = "?";

// An outcome as one line: "error: TEXT", or "EFFECT RULE" ("-" for none).
std::string decided(const tamsel::Decision& decision) {
  const tamsel::EvaluationPlan& plan = engine().plan;
  return std::to_string(static_cast<int>(decision.effect)) + " " +
         (decision.rule ? std::string(plan.rule_id(*decision.rule)) : "-");
}

std::string not_a_dict(std::string_view prefix, std::string_view type) {
  return "error: " + std::string(prefix) + "'" + std::string(type) +
         "' object cannot be converted to 'PyDict'";
}

// evaluate's outcome for the domains of `parent` at its children's element `at`.
std::string domains_outcome(const Column* parent, std::int64_t at) {
  const tamsel::EvaluationPlan& plan = engine().plan;
  std::vector<InputValue> values(plan.slot_count());
  for (std::size_t d = 0; parent != nullptr && d < tamsel::kDomains.size(); ++d) {
    const Column* domain = child_named(*parent, tamsel::kDomains[d].word);
    if (domain == nullptr) continue;
    const Expect& element = domain->expect[static_cast<std::size_t>(at)];
    if (element.kind == Expect::Kind::Absent) continue;
    if (element.kind == Expect::Kind::Malformed) return std::string(kUnknown);
    if (domain->format != "+s") return not_a_dict("", element.type);
    for (const auto& field : domain->children) {
      const Expect& value = field->expect[static_cast<std::size_t>(domain->offset + at)];
      if (value.kind == Expect::Kind::Malformed) return std::string(kUnknown);
      if (value.kind == Expect::Kind::Refused) return "error: Unsupported value type";
      if (value.kind == Expect::Kind::Absent) continue;
      if (auto slot = plan.slot_of(tamsel::kDomains[d].variant, field->name)) {
        values[slot->index] = value.value;
      }
    }
  }
  return decided(plan.evaluate(tamsel::EvaluationInput(values)));
}

// evaluate's outcome for record r: the fields of its dict, null ones left out.
std::string expected_outcome(const Column& records, std::int64_t r) {
  const std::int64_t at = records.offset + r;
  if (records.expect[static_cast<std::size_t>(r)].kind == Expect::Kind::Absent) {
    return domains_outcome(nullptr, 0);  // a null record has no domains
  }
  const Column* input = child_named(records, "input");
  if (input == nullptr) return domains_outcome(&records, at);
  const Expect& element = input->expect[static_cast<std::size_t>(at)];
  if (element.kind == Expect::Kind::Absent) return domains_outcome(nullptr, 0);
  if (element.kind == Expect::Kind::Malformed) return std::string(kUnknown);
  if (input->format != "+s") return not_a_dict("argument 'input': ", element.type);
  return domains_outcome(input, input->offset + at);
}

bool bit(const std::vector<std::uint8_t>& bits, std::int64_t at) {
  return ((bits[static_cast<std::size_t>(at / 8)] >> (at % 8)) & 1U) != 0;
}

std::string text_at(const tamsel::TextColumn& column, std::int64_t i) {
  const auto at = static_cast<std::size_t>(i);
  return column.data.substr(static_cast<std::size_t>(column.offsets[at]),
                            static_cast<std::size_t>(column.offsets[at + 1] - column.offsets[at]));
}

// The outcomes in the decision columns, one line each as decided() writes them.
std::vector<std::string> column_outcomes(const tamsel::DecisionBatches& batches) {
  std::vector<std::string> outcomes;
  for (const auto& batch : batches) {
    for (std::int64_t i = 0; i < batch->length; ++i) {
      if (bit(batch->error.validity, i)) {
        if (bit(batch->effect_validity, i) || bit(batch->matched_rule.validity, i)) std::abort();
        outcomes.push_back("error: " + text_at(batch->error, i));
        continue;
      }
      if (!bit(batch->effect_validity, i)) std::abort();
      outcomes.push_back(std::to_string(batch->effects[static_cast<std::size_t>(i)]) + " " +
                         (bit(batch->matched_rule.validity, i) ? text_at(batch->matched_rule, i)
                                                               : std::string("-")));
    }
  }
  return outcomes;
}

[[noreturn]] void differ(const char* what, const std::string& columns, const std::string& rows) {
  std::fprintf(stderr, "%s\n  in columns: %s\n  by records: %s\n", what, columns.c_str(),
               rows.c_str());
  std::abort();
}

void compare(const Column& records, const tamsel::DecisionBatches& batches) {
  const std::vector<std::string> outcomes = column_outcomes(batches);
  if (static_cast<std::int64_t>(outcomes.size()) != records.length) {
    differ("record count", std::to_string(outcomes.size()), std::to_string(records.length));
  }
  for (std::int64_t r = 0; r < records.length; ++r) {
    const std::string expected = expected_outcome(records, r);
    if (expected != kUnknown && outcomes[static_cast<std::size_t>(r)] != expected) {
      differ(("record " + std::to_string(r)).c_str(), outcomes[static_cast<std::size_t>(r)],
             expected);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Engine& engine = ::engine();
  Bytes bytes({data, size});
  Generator generator(bytes);  // keeps the texts that the expectations view
  bool refused = false;
  const std::unique_ptr<Column> records = batch(generator, bytes, refused);
  records->wire();
  const auto decisions = engine.evaluator.evaluate(records->schema, records->array);
  // The batch stays its producer's: the reader never releases it.
  if (records->schema.release == nullptr || records->array.release == nullptr) std::abort();
  // Data out of bounds may be refused wherever it is read; nothing else.
  const bool out_of_bounds = !decisions && generator.malformed() &&
                             decisions.error().find("out of bounds") != std::string::npos;
  if (decisions.has_value() == refused && !out_of_bounds) {
    differ("whether the batch is read", decisions ? "read" : decisions.error(),
           refused ? "refused" : "read");
  }
  if (decisions) compare(*records, *decisions);
  records->schema.release(&records->schema);
  records->array.release(&records->array);
  if (!records->released()) std::abort();
  return 0;
}
