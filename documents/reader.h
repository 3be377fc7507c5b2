// The cursor that reading rules walk over a loaded document: alias replay by
// event index, the repetition and nesting budgets, and the path of the value
// being read, which errors render as their prefix.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/chunked_list.h"
#include "common/expected.h"
#include "documents/events.h"
#include "documents/read_notes.h"

namespace tamsel {

struct ReadError {
  std::string message;
  // Path and position are attached (or deliberately absent). Errors that are
  // not yet located receive those of the nearest enclosing record.
  bool located = false;
  // The event whose position ends the message, or kNoLink. The position is
  // rendered only when the error ends the read (see position_of).
  std::uint32_t at = kNoLink;
  // The position that a message already rendered carries (a parse error's).
  std::optional<Mark> position = std::nullopt;
  ErrorKind kind = ErrorKind::YamlSyntax;
  ErrorOperands operands = {};
  // The policy rule on the path, as DocumentError::rule.
  std::optional<std::uint32_t> rule = std::nullopt;
};

// An error of fault; one not located receives the path and position of the
// nearest enclosing record.
inline ReadError read_error(Fault fault, bool located) {
  ReadError error{std::move(fault.text), located};
  error.kind = fault.kind;
  error.operands = std::move(fault.operands);
  return error;
}

struct Ok {};
using Status = Expected<Ok, ReadError>;

struct BufferedNode;

inline constexpr std::size_t kNestingBudget = 128;

// Alias expansion has two budgets per read, and the first one exceeded fails
// it with "repetition limit exceeded". Each expansion is charged before its
// node is replayed, so nothing of an expansion over budget is ever built:
// - by the events it replays, against 100 times the events of the document;
// - by what it can materialise: 32 bytes for each replayed event (about what
//   one node of a tree or one entry of a map costs) plus the bytes of the
//   node's scalar texts, against 16 MiB plus the size of the document's text.
// The second bounds every tree, compiled policy and plan built from replayed
// texts to a small multiple of that sum: a long text behind an anchor can be
// replayed about as often as it fits into 16 MiB plus the text, while a
// condition, rule or field block of a few hundred bytes can be named by tens
// of thousands of rules.
inline constexpr std::uint64_t kExpansionsPerEvent = 100;
inline constexpr std::uint64_t kReplayBytesPerEvent = 32;
inline constexpr std::uint64_t kReplayByteFloor = std::uint64_t{16} << 20;

class EventReader {
 public:
  // Notes are taken only when notes is not null (see ReadNotes).
  explicit EventReader(const Document& document, ReadNotes* notes = nullptr);
  ~EventReader();
  EventReader(const EventReader&) = delete;
  EventReader& operator=(const EventReader&) = delete;

  const Document& document() const { return document_; }
  std::string_view text(const Event& event) const { return document_.text(event); }

  // The event at the cursor, with an alias replaced by its anchored node.
  Expected<const Event*, ReadError> peek() {
    if (const Event* event = plain_event()) return event;
    return peek_beyond();
  }
  // The local tag of the event that peek() gave, which must carry one.
  std::string_view local_tag() const { return document_.local_tag(cursor_); }
  // Whether the event at the cursor is an alias that peek() has not expanded.
  bool at_alias() const {
    return cursor_ < document_.events.size() && document_.events[cursor_].kind == EventKind::Alias;
  }
  // The items from the cursor to the end of the sequence that holds it, at
  // most `most`; aliases are not expanded.
  [[nodiscard]] std::size_t items_ahead(std::size_t most) const;
  // Consumes the event that peek() gave.
  void advance() { consume(cursor_); }
  // Passes over the whole node at the cursor without expanding its aliases and
  // without using nesting budget.
  Status skip();

  // True at the end event of the collection being read, which it consumes
  // together with the collection's level of the nesting budget.
  Expected<bool, ReadError> at_end(EventKind end) {
    // An alias is never an end event; peeking would expand it too early.
    if (cursor_ >= document_.events.size()) return unexpected(past_end());
    if (document_.events[cursor_].kind != end) return false;
    advance();
    leave();
    return true;
  }

  // Nesting budget: one level per collection being read.
  Status enter(const Event& collection) {
    if (depth_ == kNestingBudget) return unexpected(too_deep(collection));
    ++depth_;
    return Ok{};
  }
  void leave() { --depth_; }

  void push_key(std::string_view key) { path_.push_back({Segment::Key, key, 0}); }
  void push_index(std::size_t index) { path_.push_back({Segment::Index, {}, index}); }
  void push_unusable_key() { path_.push_back({Segment::Unusable, {}, 0}); }
  void pop_path() { path_.pop_back(); }

  // Reused by every buffered value of one read.
  ChunkedList<BufferedNode>& scratch() { return scratch_; }
  // The event of each node in scratch(), kept only while taking notes.
  std::vector<std::uint32_t>& scratch_events() { return scratch_events_; }

  // Where notes go; null when the read takes none.
  [[nodiscard]] ReadNotes* notes() const { return notes_; }
  // Notes where the rule at the cursor stands, before its comparisons, when
  // taking notes.
  Status note_rule() {
    if (notes_ == nullptr) return Ok{};
    auto event = peek();
    if (!event) return unexpected(std::move(event).error());
    const auto first = static_cast<std::uint32_t>(notes_->comparisons.size());
    notes_->rules.push_back({{index_of(**event), {}}, first, {}, {}});
    return Ok{};
  }
  // Notes the key at event as skipped, when taking notes.
  void note_skipped_key(std::uint32_t event) const {
    if (notes_ != nullptr) notes_->skipped_keys.push_back({{event, {}}, {}});
  }

  // The index of an event of the document; cheap for the event at the cursor.
  std::uint32_t index_of(const Event& event) const;

  // An error with the current path and the position of the event at index.
  ReadError error_at(Fault fault, std::uint32_t at) const;
  ReadError error_at(Fault fault, const Event& event) const {
    return error_at(std::move(fault), index_of(event));
  }
  // Attaches the current path and the position to an error that has none.
  ReadError locate(ReadError error, std::uint32_t at) const;
  // "invalid type: U, expected WHAT" for the node of event, located.
  ReadError invalid_type(const Event& event, std::string_view expected) const;

 private:
  enum class Segment : std::uint8_t { Key, Index, Unusable };
  struct PathSegment {
    Segment kind;
    std::string_view key;
    std::size_t index;
  };
  // Where reading resumes once the replay of an alias has consumed `last`.
  struct Replay {
    std::uint32_t resume;
    std::uint32_t last;
  };

  // The event at the cursor when it is loaded and no alias, else nullptr: the
  // common case, which peek() answers without a call.
  const Event* plain_event() const {
    if (cursor_ >= document_.events.size()) return nullptr;
    const Event* event = &document_.events[cursor_];
    return event->kind == EventKind::Alias ? nullptr : event;
  }
  // peek() past the end of the events or at an alias.
  Expected<const Event*, ReadError> peek_beyond();
  ReadError past_end() const;
  ReadError too_deep(const Event& collection) const;
  // Only the innermost replay can end here: an alias inside a replayed node
  // stands strictly before that node's last event.
  void consume(std::uint32_t index) {
    cursor_ = index + 1;
    if (!replays_.empty() && replays_.back().last == index) {
      cursor_ = replays_.back().resume;
      replays_.pop_back();
    }
  }
  std::string render_path() const;
  // The index under the root's "rules" (the policy's), when the path has one.
  std::optional<std::uint32_t> rule_on_path() const;

  const Document& document_;
  std::uint32_t cursor_ = 0;
  std::uint64_t replayed_ = 0;
  std::uint64_t replay_budget_;
  std::uint64_t replayed_bytes_ = 0;
  std::uint64_t replay_byte_budget_;
  std::size_t depth_ = 0;
  std::vector<Replay> replays_;
  std::vector<PathSegment> path_;
  ChunkedList<BufferedNode> scratch_;
  std::vector<std::uint32_t> scratch_events_;
  ReadNotes* notes_;
};

}  // namespace tamsel
