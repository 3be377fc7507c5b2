#include "columns/json_lines.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "common/platform.h"
#include "common/vocabulary.h"

namespace tamsel {
namespace {

// Deeper values than this in a field nobody reads send the block to Python,
// whose own limit is far above it; a log is never that deep.
constexpr int kDeepest = 64;
// The escapes of a string but \u, and the characters they stand for.
constexpr std::string_view kEscapes = "\"\\/bfnrt";
constexpr std::string_view kEscaped = "\"\\/\b\f\n\r\t";
// The bytes of the shortest line that is a record: {"input":{}}.
constexpr std::size_t kShortestRecord = 12;
// A longer number is read by Python: its int() refuses past 4,300 digits.
constexpr std::size_t kLongestNumber = 1000;
// The key of the special numbers' objects ({"number": "NaN"}), which Python
// reads back as floats.
constexpr std::string_view kNumberKey = "number";

constexpr std::array<double, 23> kPowersOfTen{1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                              1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                              1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The root's columns, by index.
enum Top : std::size_t { kPosition, kOffset, kTime, kPolicyHash, kDecision, kError, kInput };

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Past the bytes from p that a string holds as they stand: printable ASCII
// but the quote and the backslash. Eight at a time while they last.
const char* plain_run(const char* p, const char* end) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  while (end - p >= 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, p, sizeof word);
    const std::uint64_t quote = word ^ (kOnes * '"');
    const std::uint64_t backslash = word ^ (kOnes * '\\');
    // A byte's high bit set where it is zero, or below 0x20, or past ASCII.
    const std::uint64_t special = ((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) |
                                  (word - kOnes * 0x20) | word;
    if ((special & kHighs) != 0) break;
    p += 8;
  }
  while (p != end) {
    const auto c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
    ++p;
  }
  return p;
}

// The lines of a block, the last perhaps without a newline. Found by memchr,
// which outruns a count of every byte where lines are long.
std::int64_t lines_in(std::string_view block) {
  std::int64_t lines = block.empty() || block.back() != '\n' ? 1 : 0;  // as Python splits it
  const char* p = block.data();
  const char* const end = p + block.size();
  while ((p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)))) !=
         nullptr) {
    ++lines;
    ++p;
  }
  return lines;
}

// The length of the strict UTF-8 sequence at p (a lead byte past ASCII), as
// Python decodes it: no overlong form, no surrogate, nothing past U+10FFFF;
// 0 where it is none.
std::size_t utf8_sequence(const unsigned char* p, const unsigned char* end) {
  const unsigned lead = p[0];
  std::size_t size = 0;
  unsigned low = 0x80;
  unsigned high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    size = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    size = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    size = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (static_cast<std::size_t>(end - p) < size) return 0;
  if (p[1] < low || p[1] > high) return 0;
  for (std::size_t i = 2; i < size; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  }
  return size;
}

void append_utf8(std::string& out, std::uint32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

// One decision record's top-level values, held until the line has been read
// whole: only a line read whole is a record.
struct RecordValues {
  bool time_is_text = false;
  bool time_is_odd = false;
  std::string time;
  enum class Hash : std::uint8_t { Absent, Null, Text } hash = Hash::Absent;
  std::string policy_hash;
  bool decision_valid = false;
  std::string effect;
  bool rule_is_text = false;
  std::string matched_rule;
  bool error_is_text = false;
  bool error_is_odd = false;
  std::string error;
  std::array<bool, 3> domains{};  // present in the record

  // Empty again, the texts keeping their room for the next line.
  void reset() {
    time_is_text = time_is_odd = decision_valid = rule_is_text = error_is_text = error_is_odd =
        false;
    hash = Hash::Absent;
    domains = {};
    time.clear();
    policy_hash.clear();
    effect.clear();
    matched_rule.clear();
    error.clear();
  }
};

// Reads the lines of one block into the columns; any line it cannot read
// exactly as Python would stops it (false), and the block is Python's.
class BlockReader {
 public:
  // Room is made for as many records as the block can hold: no more than its
  // lines, nor than the shortest record ({"input":{}}) fits in its bytes.
  BlockReader(const JsonLinesLimits& limits, const std::optional<std::string>& absent_hash,
              std::int64_t lines, std::size_t block_bytes)
      : limits_(limits),
        absent_hash_(absent_hash),
        lines_(lines),
        room_(std::min(lines, static_cast<std::int64_t>(block_bytes / kShortestRecord) + 1)),
        block_bytes_(block_bytes),
        root_("", ColumnType::Struct) {
    add_column(root_, "position", ColumnType::Int64);
    add_column(root_, "offset", ColumnType::Int64);
    add_column(root_, "time", ColumnType::Text);
    add_column(root_, "policy_hash", ColumnType::Text);
    add_column(add_column(root_, "decision", ColumnType::Struct), "effect", ColumnType::Text);
    add_column(root_.children[kDecision], "matched_rule", ColumnType::Text);
    add_column(root_, "error", ColumnType::Text);
    add_column(root_, "input", ColumnType::Struct);
    root_.reserve(room_);
  }

  bool line(std::string_view text, std::int64_t position, std::int64_t offset) {
    if (static_cast<std::int64_t>(text.size()) > limits_.max_bytes) return false;
    if (static_cast<std::int64_t>(text.size()) > limits_.max_values && too_many_values(text)) {
      return false;
    }
    p_ = text.data();
    end_ = text.data() + text.size();
    wide_ = false;
    skip_blanks();
    if (p_ == end_) return true;  // a blank line: no record
    values_.reset();
    if (!top_object()) return false;
    skip_blanks();
    if (p_ != end_) return false;
    // A character past ASCII may make Python's text of the line larger than it.
    if (wide_ && static_cast<std::int64_t>(text.size()) * 4 > limits_.max_bytes) return false;
    add_record(position, offset);
    return true;
  }

  JsonLinesBlock finish() {
    BuiltColumn& input = root_.children[kInput];
    for (auto& domain : domains_) {
      if (!domain) continue;
      domain->pad_to(rows_);
      for (BuiltColumn& field : domain->children) field.pad_to(rows_);
      input.children.push_back(std::move(*domain));
    }
    return JsonLinesBlock{std::make_shared<const BuiltColumn>(std::move(root_)), lines_, odd_times_,
                          bad_outcomes_};
  }

 private:
  BuiltColumn& add_column(BuiltColumn& parent, std::string name, ColumnType type) const {
    BuiltColumn& column = parent.children.emplace_back(std::move(name), type);
    column.reserve(room_);
    return column;
  }

  // Room for the column's texts made at its first: as long as it, a record,
  // within the block's bytes (a column of one text a record, such as a time or
  // a hash, then grows no more).
  void add_text(BuiltColumn& column, std::string_view text) const {
    if (column.data.empty()) {
      column.data.reserve(std::min(text.size() * static_cast<std::size_t>(room_), block_bytes_));
    }
    column.append_text(text);
  }

  bool too_many_values(std::string_view text) const {
    std::int64_t separators = 0;
    for (const char c : text) separators += (c == ',' || c == ':' || c == '[' || c == '{') ? 1 : 0;
    return separators > limits_.max_values;
  }

  void skip_blanks() {
    while (p_ != end_ && (is_blank(*p_) || *p_ == '\n')) ++p_;
  }
  bool take(char c) {
    skip_blanks();
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }
  bool take_word(std::string_view word) {
    if (static_cast<std::size_t>(end_ - p_) < word.size() ||
        std::string_view(p_, word.size()) != word) {
      return false;
    }
    p_ += word.size();
    return true;
  }

  // ---- objects ----

  // The elements of an object or array whose opening bracket p_ has just
  // passed, each read by element() from its start, up to close.
  template <class Element>
  bool elements(char close, Element&& element) {
    skip_blanks();
    if (p_ != end_ && *p_ == close) {
      ++p_;
      return true;
    }
    for (;;) {
      skip_blanks();
      if (!element()) return false;
      skip_blanks();
      if (p_ == end_) return false;
      const char next = *p_++;
      if (next == close) return true;
      if (next != ',') return false;
    }
  }

  // Calls member(key) for each key with p_ at its value; false when a member
  // or the object's syntax fails.
  template <class Member>
  bool object(Member&& member) {
    if (!take('{')) return false;
    return elements('}', [&] {
      std::string_view key;
      // Python's strict_json.decode may rewrite an object keyed so.
      if (!string(key_scratch_, key) || key == kNumberKey || !take(':')) return false;
      skip_blanks();
      return member(key);
    });
  }

  // Each key once: Python keeps the last of twice, this reader would need both.
  static bool first_time(unsigned& seen, unsigned bit) {
    if ((seen & bit) != 0) return false;
    seen |= bit;
    return true;
  }

  bool top_object() {
    unsigned seen = 0;
    bool top_domains = false;
    const bool read = object([&](std::string_view key) {
      if (key == "input") return first_time(seen, 1U) && !top_domains && input_object();
      if (key == "time") return first_time(seen, 2U) && time_value();
      if (key == "policy_hash") return first_time(seen, 4U) && hash_value();
      if (key == "decision") return first_time(seen, 8U) && decision_value();
      if (key == "error") return first_time(seen, 16U) && error_value();
      if (const auto domain = domain_of(key)) {
        if ((seen & 1U) != 0) return false;  // the input's and the top's: Python takes the input
        top_domains = true;
        return domain_object(*domain);
      }
      return skip_value(0);
    });
    // No input nor any domain: not a record, which Python reports.
    return read && ((seen & 1U) != 0 || top_domains);
  }

  static std::optional<std::size_t> domain_of(std::string_view key) {
    for (std::size_t i = 0; i < kDomains.size(); ++i) {
      if (kDomains[i].word == key) return i;
    }
    return std::nullopt;
  }

  bool input_object() {
    return object([&](std::string_view key) {
      if (const auto domain = domain_of(key)) return domain_object(*domain);
      return skip_value(0);  // evaluate never looks at another key
    });
  }

  bool domain_object(std::size_t index) {
    if (values_.domains[index]) return false;  // twice
    values_.domains[index] = true;
    if (p_ == end_ || *p_ != '{') return false;  // evaluate refuses it: Python says how
    if (!domains_[index]) {
      domains_[index].emplace(std::string(kDomains[index].word), ColumnType::Struct);
      domains_[index]->reserve(room_);
    }
    BuiltColumn& domain = *domains_[index];
    std::size_t hint = 0;
    return object([&](std::string_view name) { return field_value(domain, name, hint); });
  }

  bool field_value(BuiltColumn& domain, std::string_view name, std::size_t& hint) {
    ColumnType type{};
    bool truth = false;
    double number = 0;
    std::string_view text;
    if (p_ == end_) return false;
    if (*p_ == '"') {
      type = ColumnType::Text;
      if (!string(text_scratch_, text)) return false;
    } else if (take_word("true")) {
      type = ColumnType::Boolean;
      truth = true;
    } else if (take_word("false")) {
      type = ColumnType::Boolean;
    } else if (*p_ == '{' ? special_number(number) : number_value(number)) {
      type = ColumnType::Double;
    } else {
      return false;  // null, a list or an object: evaluate refuses them
    }
    BuiltColumn* field = find_field(domain, name, hint);
    if (field == nullptr) {
      field = &add_column(domain, std::string(name), type);
      hint = domain.children.size();
    }
    if (field->type != type || field->length > rows_) return false;  // two kinds, or twice
    field->pad_to(rows_);
    if (type == ColumnType::Text) {
      add_text(*field, text);
    } else if (type == ColumnType::Boolean) {
      field->append_boolean(truth);
    } else {
      field->append_double(number);
    }
    return true;
  }

  // Records mostly name their fields in the same order: the one after the last
  // found is tried first.
  static BuiltColumn* find_field(BuiltColumn& domain, std::string_view name, std::size_t& hint) {
    auto& fields = domain.children;
    if (hint < fields.size() && fields[hint].name == name) return &fields[hint++];
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i].name == name) {
        hint = i + 1;
        return &fields[i];
      }
    }
    return nullptr;
  }

  // ---- the record's own values ----

  bool time_value() {
    std::string_view text;
    if (p_ != end_ && *p_ == '"') {
      if (!string(text_scratch_, text)) return false;
      values_.time_is_text = true;
      values_.time.assign(text);
      return true;
    }
    if (take_word("null")) return true;
    values_.time_is_odd = true;  // Python reads it only to select by time
    return skip_value(0);
  }

  bool hash_value() {
    std::string_view text;
    if (take_word("null")) {
      values_.hash = RecordValues::Hash::Null;
      return true;
    }
    if (p_ == end_ || *p_ != '"' || !string(text_scratch_, text)) return false;
    values_.hash = RecordValues::Hash::Text;
    values_.policy_hash.assign(text);
    return true;
  }

  bool error_value() {
    std::string_view text;
    if (take_word("null")) return true;
    if (p_ != end_ && *p_ == '"') {
      if (!string(text_scratch_, text)) return false;
      values_.error_is_text = true;
      values_.error.assign(text);
      return true;
    }
    values_.error_is_odd = true;
    return skip_value(0);
  }

  bool decision_value() {
    if (p_ == end_ || *p_ != '{') return skip_value(0);  // no decision
    unsigned seen = 0;
    bool effect = false;
    bool rule_ok = true;
    const bool read = object([&](std::string_view key) {
      std::string_view text;
      if (key == "effect") {
        if (!first_time(seen, 1U)) return false;
        if (p_ == end_ || *p_ != '"') return skip_value(0);
        if (!string(text_scratch_, text)) return false;
        for (const auto& spelling : kEffects) effect = effect || spelling.word == text;
        values_.effect.assign(text);
        return true;
      }
      if (key == "matched_rule") {
        if (!first_time(seen, 2U)) return false;
        if (take_word("null")) return true;
        if (p_ == end_ || *p_ != '"') {
          rule_ok = false;
          return skip_value(0);
        }
        if (!string(text_scratch_, text)) return false;
        values_.rule_is_text = true;
        values_.matched_rule.assign(text);
        return true;
      }
      return skip_value(0);
    });
    values_.decision_valid = effect && rule_ok;
    return read;
  }

  void add_record(std::int64_t position, std::int64_t offset) {
    auto& top = root_.children;
    top[kPosition].append_int64(position);
    top[kOffset].append_int64(offset);
    if (values_.time_is_text) {
      add_text(top[kTime], values_.time);
    } else {
      top[kTime].append_null();
      odd_times_ += values_.time_is_odd ? 1 : 0;
    }
    if (values_.hash == RecordValues::Hash::Text) {
      add_text(top[kPolicyHash], values_.policy_hash);
    } else if (values_.hash == RecordValues::Hash::Absent && absent_hash_) {
      add_text(top[kPolicyHash], *absent_hash_);
    } else {
      top[kPolicyHash].append_null();
    }
    BuiltColumn& decision = top[kDecision];
    decision.append_struct(values_.decision_valid);
    if (values_.decision_valid) {
      add_text(decision.children[0], values_.effect);
    } else {
      decision.children[0].append_null();
    }
    if (values_.decision_valid && values_.rule_is_text) {
      add_text(decision.children[1], values_.matched_rule);
    } else {
      decision.children[1].append_null();
    }
    if (values_.error_is_text) {
      add_text(top[kError], values_.error);
    } else {
      top[kError].append_null();
    }
    // The outcome Python would refuse: an error not a text, or neither.
    bad_outcomes_ += (values_.error_is_odd || (!values_.error_is_text && !values_.decision_valid));
    for (std::size_t i = 0; i < domains_.size(); ++i) {
      if (!domains_[i]) continue;
      domains_[i]->pad_to(rows_);
      domains_[i]->append_struct(values_.domains[i]);
    }
    top[kInput].append_struct(true);
    root_.append_struct(true);
    ++rows_;
  }

  // ---- scalars ----

  // The string at p_; its text, a view of the line or of scratch where it
  // holds escapes.
  bool string(std::string& scratch, std::string_view& out) {
    if (p_ == end_ || *p_ != '"') return false;
    ++p_;
    const char* start = p_;
    bool escaped = false;
    while (p_ != end_) {
      const char* plain = plain_run(p_, end_);
      if (escaped) scratch.append(p_, plain);
      p_ = plain;
      if (p_ == end_) break;
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') break;
      if (c < 0x20) return false;
      if (c == '\\') {
        if (!escaped) scratch.assign(start, p_);
        escaped = true;
        if (!escape(scratch)) return false;
        continue;
      }
      std::size_t size = 1;
      if (c >= 0x80) {
        wide_ = true;
        size = utf8_sequence(reinterpret_cast<const unsigned char*>(p_),
                             reinterpret_cast<const unsigned char*>(end_));
        if (size == 0) return false;
      }
      if (escaped) scratch.append(p_, size);
      p_ += size;
    }
    if (p_ == end_) return false;
    out = escaped ? std::string_view(scratch) : std::string_view(start, p_ - start);
    ++p_;
    return true;
  }

  bool hex4(std::uint32_t& out) {
    if (end_ - p_ < 4) return false;
    out = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = *p_++;
      unsigned digit = 0;
      if (is_digit(c)) {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<unsigned>(c - 'A' + 10);
      } else {
        return false;
      }
      out = out * 16 + digit;
    }
    return true;
  }

  // The escape at p_ ('\\'), appended to out.
  bool escape(std::string& out) {
    ++p_;
    if (p_ == end_) return false;
    const char c = *p_++;
    if (c != 'u') {
      const std::size_t found = kEscapes.find(c);
      if (found == std::string_view::npos) return false;
      out.push_back(kEscaped[found]);
      return true;
    }
    std::uint32_t code = 0;
    if (!hex4(code)) return false;
    if (code >= 0xD800 && code <= 0xDBFF) {
      // A lone surrogate is a text Python cannot encode: its error is Python's.
      std::uint32_t low = 0;
      if (!take_word("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    } else if (code >= 0xDC00 && code <= 0xDFFF) {
      return false;
    }
    append_utf8(out, code);
    return true;
  }

  // A number as float() makes it of what json.loads reads; false where it is
  // none, or past the doubles (Python decides those).
  bool number_value(double& out) {
    if (take_word("NaN")) {
      out = std::numeric_limits<double>::quiet_NaN();
      return true;
    }
    if (take_word("Infinity")) {
      out = std::numeric_limits<double>::infinity();
      return true;
    }
    if (take_word("-Infinity")) {
      out = -std::numeric_limits<double>::infinity();
      return true;
    }
    const char* start = p_;
    const bool negative = p_ != end_ && *p_ == '-';
    if (negative) ++p_;
    if (p_ == end_ || !is_digit(*p_)) return false;
    std::uint64_t digits = 0;
    int count = 0;
    int scale = 0;  // the power of ten the digits are multiplied by
    bool integer = true;
    const auto take_digit = [&](bool fraction) {
      if (count < 19) {
        digits = digits * 10 + static_cast<unsigned>(*p_ - '0');
        count += (digits != 0) ? 1 : 0;
        scale -= fraction ? 1 : 0;
      } else {
        count = 99;  // too many to be exact here
      }
      ++p_;
    };
    if (*p_ == '0') {
      ++p_;
    } else {
      while (p_ != end_ && is_digit(*p_)) take_digit(false);
    }
    if (p_ != end_ && *p_ == '.') {
      integer = false;
      ++p_;
      if (p_ == end_ || !is_digit(*p_)) return false;
      while (p_ != end_ && is_digit(*p_)) take_digit(true);
    }
    if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
      integer = false;
      ++p_;
      if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (p_ == end_ || !is_digit(*p_)) return false;
      count = 99;  // rare in logs: strtod reads it
      while (p_ != end_ && is_digit(*p_)) ++p_;
    }
    const auto size = static_cast<std::size_t>(p_ - start);
    if (size > kLongestNumber) return false;
    if (count <= 15 && -scale < static_cast<int>(kPowersOfTen.size())) {
      // Both operands exact, so the one division rounds as strtod does.
      const double magnitude = static_cast<double>(digits) / kPowersOfTen[-scale];
      // The integer -0 is Python's 0; the float -0.0 keeps its sign.
      out = negative && !(integer && digits == 0) ? -magnitude : magnitude;
      return true;
    }
    const std::string token(start, size);
    out = platform::strtod_c_locale(token.c_str());
    return std::isfinite(out);  // an integer past the doubles is no number to evaluate
  }

  // {"number": "NaN"} and the like, as the tools write the numbers JSON has
  // not: Python reads the object back as the float wherever the line holds
  // the key so spelt. Any other object is refused by evaluate.
  bool special_number(double& out) {
    ++p_;
    skip_blanks();
    std::string_view text;
    if (!take_word("\"number\"") || !take(':')) return false;
    skip_blanks();
    if (!string(text_scratch_, text) || !take('}')) return false;
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    const std::array<std::pair<std::string_view, double>, 4> specials{{
        {"NaN", std::numeric_limits<double>::quiet_NaN()},
        {"Infinity", kInfinity},
        {"-Infinity", -kInfinity},
        {"-0.0", -0.0},
    }};
    for (const auto& [name, value] : specials) {
      if (text == name) {
        out = value;
        return true;
      }
    }
    return false;
  }

  // Any JSON value at p_, read and let go.
  bool skip_value(int depth) {
    if (depth > kDeepest || p_ == end_) return false;
    std::string_view text;
    double number = 0;
    switch (*p_) {
      case '"':
        return string(text_scratch_, text);
      case '{':
        return object([&](std::string_view) { return skip_value(depth + 1); });
      case '[':
        return array(depth);
      case 't':
        return take_word("true");
      case 'f':
        return take_word("false");
      case 'n':
        return take_word("null");
      default:
        return number_value(number);
    }
  }

  bool array(int depth) {
    ++p_;
    return elements(']', [&] { return skip_value(depth + 1); });
  }

  const JsonLinesLimits& limits_;
  const std::optional<std::string>& absent_hash_;
  std::int64_t lines_;
  std::int64_t room_;  // records
  std::size_t block_bytes_;
  BuiltColumn root_;
  std::array<std::optional<BuiltColumn>, 3> domains_;  // by Domain, made when first met
  std::int64_t rows_ = 0;
  std::int64_t odd_times_ = 0;
  std::int64_t bad_outcomes_ = 0;
  RecordValues values_;
  std::string key_scratch_;
  std::string text_scratch_;
  const char* p_ = nullptr;
  const char* end_ = nullptr;
  bool wide_ = false;  // the line holds a character past ASCII
};

}  // namespace

std::optional<JsonLinesBlock> read_json_lines(std::string_view block, const JsonLinesLimits& limits,
                                              const std::optional<std::string>& absent_hash) {
  if (block.size() > INT32_MAX / 2) return std::nullopt;  // texts have 32-bit offsets
  BlockReader reader(limits, absent_hash, lines_in(block), block.size());
  std::int64_t position = 0;
  std::size_t start = 0;
  while (start < block.size()) {
    std::size_t stop = block.find('\n', start);
    if (stop == std::string_view::npos) stop = block.size();
    const auto offset = static_cast<std::int64_t>(start);
    if (!reader.line(block.substr(start, stop - start), ++position, offset)) return std::nullopt;
    start = stop + 1;
  }
  return reader.finish();
}

}  // namespace tamsel
