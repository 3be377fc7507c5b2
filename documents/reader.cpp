#include "documents/reader.h"

#include <algorithm>
#include <utility>

#include "documents/buffered.h"
#include "documents/messages.h"
#include "documents/scalars.h"

namespace tamsel {

namespace {

ReadError placed(Fault fault) { return read_error(std::move(fault), true); }

// The last event of the node that starts at index (itself for a scalar).
std::uint32_t last_event_of(const Document& document, std::uint32_t index) {
  const Event& event = document.events[index];
  const bool collection =
      event.kind == EventKind::SequenceStart || event.kind == EventKind::MappingStart;
  return collection ? event.link : index;
}

}  // namespace

EventReader::EventReader(const Document& document, ReadNotes* notes)
    : document_(document),
      replay_budget_(kExpansionsPerEvent * document.events.size()),
      replay_byte_budget_(kReplayByteFloor + document.text_size),
      notes_(notes) {}

EventReader::~EventReader() = default;

ReadError EventReader::past_end() const {
  if (const auto& parse_error = document_.parse_error) {
    ReadError error = placed({parse_error->kind, parse_error->message, parse_error->operands});
    error.position = parse_error->position;
    return error;
  }
  return placed(end_of_input_fault());
}

Expected<const Event*, ReadError> EventReader::peek_beyond() {
  if (cursor_ >= document_.events.size()) return unexpected(past_end());
  const Event* event = &document_.events[cursor_];
  // Each expansion is charged with everything it replays (see the budgets), so
  // that many aliases of one large node cannot multiply the work either.
  const AnchoredNode& node = document_.anchored[event->link];
  const std::uint32_t last = last_event_of(document_, node.first);
  const std::uint64_t events =
      std::uint64_t{std::min(last, static_cast<std::uint32_t>(document_.events.size() - 1))} -
      node.first + 1;
  const std::uint64_t text_end = std::min(node.text_end, document_.text_bytes);
  replayed_ += events;
  replayed_bytes_ += kReplayBytesPerEvent * events + (text_end - node.text_begin);
  if (replayed_ > replay_budget_ || replayed_bytes_ > replay_byte_budget_) {
    return unexpected(placed(repetition_limit_fault()));
  }
  // An anchored node is never an alias itself, so one step always suffices.
  replays_.push_back({cursor_ + 1, last});
  cursor_ = node.first;
  return &document_.events[cursor_];
}

std::size_t EventReader::items_ahead(std::size_t most) const {
  std::size_t items = 0;
  std::uint64_t index = cursor_;
  while (items < most && index < document_.events.size() &&
         document_.events[index].kind != EventKind::SequenceEnd) {
    ++items;
    index = std::uint64_t{last_event_of(document_, static_cast<std::uint32_t>(index))} + 1;
  }
  return items;
}

Status EventReader::skip() {
  if (cursor_ >= document_.events.size()) return unexpected(past_end());
  const std::uint32_t last = last_event_of(document_, cursor_);
  if (last >= document_.events.size()) return unexpected(past_end());
  consume(last);
  return Ok{};
}

ReadError EventReader::too_deep(const Event& collection) const {
  ReadError error = placed(recursion_limit_fault());
  error.at = index_of(collection);
  return error;
}

std::string EventReader::render_path() const {
  if (path_.empty()) return ".";
  std::string out;
  bool at_root = true;
  for (const PathSegment& segment : path_) {
    switch (segment.kind) {
      case Segment::Key:
        if (!at_root) out += '.';
        out += segment.key;
        break;
      case Segment::Index:
        if (at_root) out += '.';
        out += '[';
        out += std::to_string(segment.index);
        out += ']';
        break;
      case Segment::Unusable:
        if (!at_root) out += '.';
        out += '?';
        break;
    }
    at_root = false;
  }
  return out;
}

std::uint32_t EventReader::index_of(const Event& event) const {
  if (cursor_ < document_.events.size() && &document_.events[cursor_] == &event) return cursor_;
  return static_cast<std::uint32_t>(document_.events.index_of(&event));
}

ReadError EventReader::error_at(Fault fault, std::uint32_t at) const {
  std::string path = render_path();
  if (path != ".") {
    fault.text.insert(0, path + ": ");
    fault.operands.push_back({"path", std::move(path)});
  }
  ReadError error = placed(std::move(fault));
  error.at = at;
  error.rule = rule_on_path();
  return error;
}

std::optional<std::uint32_t> EventReader::rule_on_path() const {
  if (path_.size() < 2 || path_[0].kind != Segment::Key || path_[0].key != "rules" ||
      path_[1].kind != Segment::Index) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(path_[1].index);
}

ReadError EventReader::locate(ReadError error, std::uint32_t at) const {
  if (error.located) return error;
  return error_at({error.kind, std::move(error.message), std::move(error.operands)}, at);
}

ReadError EventReader::invalid_type(const Event& event, std::string_view expected) const {
  auto described = describe_node(document_, event);
  if (!described) return error_at(std::move(described).error(), event);
  return error_at(invalid_type_fault(*described, expected), event);
}

}  // namespace tamsel
