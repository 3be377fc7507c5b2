#include "documents/events.h"

#include <yaml.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "common/names.h"
#include "documents/messages.h"

namespace tamsel {

std::string_view Document::long_text(const Event& event) const {
  std::uint32_t length = 0;
  std::memcpy(&length, arena.data() + event.link, sizeof length);
  return {arena.data() + event.link + sizeof length, length};
}

std::string_view Document::local_tag(std::uint32_t index) const {
  const auto found =
      std::lower_bound(local_tags.begin(), local_tags.end(), index,
                       [](const LocalTag& tag, std::uint32_t event) { return tag.event < event; });
  return std::string_view(arena).substr(found->offset, found->length);
}

bool append_position(std::string& out, Mark mark) {
  if (mark.line == 0 && mark.column == 0) return false;
  out += " at line ";
  out += std::to_string(std::uint64_t{mark.line} + 1);
  out += " column ";
  out += std::to_string(std::uint64_t{mark.column} + 1);
  return true;
}

DocumentError positioned_error(Fault fault, Mark mark) {
  DocumentError error{std::move(fault.text), std::nullopt, fault.kind, std::move(fault.operands)};
  if (append_position(error.message, mark)) error.position = mark;
  return error;
}

struct YamlStream::Parser {
  yaml_parser_t parser;

  explicit Parser(std::string_view text) {
    if (yaml_parser_initialize(&parser) == 0) throw std::bad_alloc();
    // libyaml wants a non-null pointer even for an empty text.
    const char* data = text.data() != nullptr ? text.data() : "";
    yaml_parser_set_input_string(&parser, reinterpret_cast<const unsigned char*>(data),
                                 text.size());
  }
  ~Parser() { yaml_parser_delete(&parser); }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;
};

namespace {

// Event records address texts and positions with 32 bits.
constexpr std::size_t kLargestText = UINT32_MAX - 1;

// libyaml's scanner spends time in proportion to the open flow levels on every
// token, so a text of nothing but "[" would take minutes to load. Only 128
// levels can ever be read; deeper collections are loaded up to this bound, for
// values that are skipped, and loading stops at the first one beyond it.
constexpr std::size_t kLoadNestingLimit = 1000;

DocumentError load_stopped(const yaml_event_t& event);

DocumentError too_large() {
  Fault fault = too_large_fault();
  return {std::move(fault.text), std::nullopt, fault.kind};
}

// One parsed libyaml event, deleted when it goes out of scope.
struct ParsedEvent {
  // Left unset: yaml_parser_parse erases the event before anything else, so a
  // failed parse too leaves one that yaml_event_delete accepts.
  yaml_event_t event;  // NOLINT(cppcoreguidelines-pro-type-member-init)
  ParsedEvent() {}     // NOLINT(modernize-use-equals-default): no value-initialisation
  ParsedEvent(const ParsedEvent&) = delete;
  ParsedEvent& operator=(const ParsedEvent&) = delete;
  ~ParsedEvent() { yaml_event_delete(&event); }
};

Mark mark_of(const yaml_mark_t& mark) {
  return {static_cast<std::uint32_t>(mark.line), static_cast<std::uint32_t>(mark.column)};
}

// Appends the mark's position; the error keeps the first one written.
void append_line_column(DocumentError& error, const yaml_mark_t& mark) {
  if (append_position(error.message, mark_of(mark)) && !error.position) {
    error.position = mark_of(mark);
  }
}

// PROBLEM, its position, then CONTEXT and the context's position, as libyaml
// reports them.
DocumentError parser_error(const yaml_parser_t& parser) {
  DocumentError error{parser.problem != nullptr ? parser.problem : "unknown parse error",
                      std::nullopt, ErrorKind::YamlSyntax};
  error.operands.push_back({"problem", error.message});
  const yaml_mark_t& problem = parser.problem_mark;
  if (problem.line != 0 || problem.column != 0) {
    append_line_column(error, problem);
  } else if (parser.problem_offset != 0) {
    error.message += " at position ";
    error.message += std::to_string(parser.problem_offset);
  }
  if (parser.context == nullptr) return error;
  error.message += ", ";
  error.message += parser.context;
  error.operands.push_back({"context", parser.context});
  const yaml_mark_t& context = parser.context_mark;
  if (context.line != problem.line || context.column != problem.column) {
    append_line_column(error, context);
  }
  return error;
}

TagKind tag_kind(std::string_view tag) {
  constexpr std::string_view kCore = "tag:yaml.org,2002:";
  if (tag.empty()) return TagKind::None;
  if (tag.front() == '!') return TagKind::Local;
  if (tag.substr(0, kCore.size()) != kCore) return TagKind::Other;
  const std::string_view name = tag.substr(kCore.size());
  if (name == "bool") return TagKind::Bool;
  if (name == "int") return TagKind::Int;
  if (name == "float") return TagKind::Float;
  if (name == "null") return TagKind::Null;
  return TagKind::Other;
}

ScalarStyle style_of(yaml_scalar_style_t style) {
  switch (style) {
    case YAML_SINGLE_QUOTED_SCALAR_STYLE:
      return ScalarStyle::SingleQuoted;
    case YAML_DOUBLE_QUOTED_SCALAR_STYLE:
      return ScalarStyle::DoubleQuoted;
    case YAML_LITERAL_SCALAR_STYLE:
      return ScalarStyle::Literal;
    case YAML_FOLDED_SCALAR_STYLE:
      return ScalarStyle::Folded;
    default:
      return ScalarStyle::Plain;
  }
}

std::string_view view_of(const yaml_char_t* text) {
  return text == nullptr ? std::string_view()
                         : std::string_view(reinterpret_cast<const char*>(text));
}

// Turns libyaml events into event records, keeping anchors by index.
class Loader {
 public:
  explicit Loader(Document& document) : document_(document) {}

  Expected<bool, DocumentError> add(const yaml_event_t& event) {
    switch (event.type) {
      case YAML_SCALAR_EVENT:
        return add_scalar(event);
      case YAML_SEQUENCE_START_EVENT:
        return open(EventKind::SequenceStart, event.data.sequence_start.tag,
                    event.data.sequence_start.anchor);
      case YAML_MAPPING_START_EVENT:
        return open(EventKind::MappingStart, event.data.mapping_start.tag,
                    event.data.mapping_start.anchor);
      case YAML_SEQUENCE_END_EVENT:
        return close(EventKind::SequenceEnd);
      case YAML_MAPPING_END_EVENT:
        return close(EventKind::MappingEnd);
      case YAML_ALIAS_EVENT:
        return add_alias(event);
      default:
        return true;
    }
  }

 private:
  Expected<bool, DocumentError> add_scalar(const yaml_event_t& event) {
    const auto& scalar = event.data.scalar;
    Event record = base(EventKind::Scalar);
    record.style = style_of(scalar.style);
    const std::uint32_t anchored = remember_anchor(view_of(scalar.anchor));
    const std::string_view value(reinterpret_cast<const char*>(scalar.value), scalar.length);
    if (!store_text(value, record)) return unexpected(too_large());
    if (!set_tag(record, view_of(scalar.tag))) return unexpected(too_large());
    complete(anchored);
    document_.events.push_back(record);
    return true;
  }

  // False when the collection lies beyond the nesting that loading admits.
  Expected<bool, DocumentError> open(EventKind kind, const yaml_char_t* tag,
                                     const yaml_char_t* anchor) {
    if (open_.size() == kLoadNestingLimit) return false;
    Event record = base(kind);
    const std::uint32_t anchored = remember_anchor(view_of(anchor));
    if (!set_tag(record, view_of(tag))) return unexpected(too_large());
    open_.push_back({static_cast<std::uint32_t>(document_.events.size()), anchored});
    document_.events.push_back(record);
    return true;
  }

  Expected<bool, DocumentError> close(EventKind kind) {
    // libyaml balances starts and ends, so an open collection is always there.
    document_.events[open_.back().start].link = static_cast<std::uint32_t>(document_.events.size());
    complete(open_.back().anchored);
    open_.pop_back();
    document_.events.push_back(base(kind));
    return true;
  }

  // False for an alias to no earlier anchor, which ends loading there.
  Expected<bool, DocumentError> add_alias(const yaml_event_t& event) {
    const auto found = anchors_.find(view_of(event.data.alias.anchor));
    if (found == anchors_.end()) return false;
    Event record = base(EventKind::Alias);
    record.link = found->second;
    document_.events.push_back(record);
    return true;
  }

  static Event base(EventKind kind) {
    Event record;
    record.kind = kind;
    return record;
  }

  // Whether text and a prefix fit into what 32-bit arena offsets address.
  bool fits(std::string_view text, std::size_t prefix = 0) const {
    return text.size() + prefix <= kLargestText - document_.arena.size();
  }

  // A short text stands in the arena as it is, its length in the event; a
  // longer one is preceded by its length in four bytes.
  bool store_text(std::string_view text, Event& record) {
    std::string& arena = document_.arena;
    const bool long_text = text.size() >= Event::kLongText;
    if (!fits(text, long_text ? sizeof(std::uint32_t) : 0)) return false;
    record.link = static_cast<std::uint32_t>(arena.size());
    if (long_text) {
      const auto length = static_cast<std::uint32_t>(text.size());
      arena.append(reinterpret_cast<const char*>(&length), sizeof length);
      record.short_length = Event::kLongText;
    } else {
      record.short_length = static_cast<std::uint8_t>(text.size());
    }
    arena.append(text);
    document_.text_bytes += text.size();
    return true;
  }

  bool set_tag(Event& record, std::string_view tag) {
    record.tag = tag_kind(tag);
    if (record.tag != TagKind::Local) return true;
    if (!fits(tag)) return false;
    std::string& arena = document_.arena;
    document_.local_tags.push_back({static_cast<std::uint32_t>(document_.events.size()),
                                    static_cast<std::uint32_t>(arena.size()),
                                    static_cast<std::uint32_t>(tag.size())});
    arena.append(tag);
    return true;
  }

  // Records the node that starts with the next event when it carries an
  // anchor, before any of its texts is stored; gives its index in
  // Document::anchored, or kNoLink. A later anchor of the same name wins for
  // the aliases that follow it.
  std::uint32_t remember_anchor(std::string_view name) {
    if (name.empty()) return kNoLink;
    const auto index = static_cast<std::uint32_t>(document_.anchored.size());
    document_.anchored.push_back(
        {static_cast<std::uint32_t>(document_.events.size()), document_.text_bytes});
    const auto found = anchors_.find(name);
    if (found != anchors_.end()) {
      found->second = index;
    } else {
      anchors_.emplace(std::string(name), index);
    }
    return index;
  }

  void complete(std::uint32_t anchored) {
    if (anchored == kNoLink) return;
    document_.anchored[anchored].text_end = document_.text_bytes;
  }

  struct Open {
    std::uint32_t start;     // the collection's start event
    std::uint32_t anchored;  // its anchored node, or kNoLink
  };

  Document& document_;
  std::vector<Open> open_;
  NameMap<std::uint32_t> anchors_;
};

DocumentError positioned(Fault fault, const yaml_mark_t& mark) {
  return positioned_error(std::move(fault), mark_of(mark));
}

// Why loading stopped early at an event that add() refused.
DocumentError load_stopped(const yaml_event_t& event) {
  if (event.type == YAML_ALIAS_EVENT) return positioned(unknown_anchor_fault(), event.start_mark);
  return positioned(recursion_limit_fault(), event.start_mark);
}

}  // namespace

YamlStream::YamlStream(std::string_view text)
    : parser_(std::make_unique<Parser>(text)), text_size_(text.size()) {}

YamlStream::~YamlStream() = default;

// The same libyaml events in the same order as when the list was loaded: the
// node events are the list, and the empty node of an empty stream stands where
// the stream ends.
Mark position_of(std::string_view text, std::uint32_t index) {
  YamlStream::Parser parser(text);
  std::uint32_t seen = 0;
  for (;;) {
    ParsedEvent parsed;
    if (yaml_parser_parse(&parser.parser, &parsed.event) == 0) {
      if (parser.parser.error == YAML_MEMORY_ERROR) throw std::bad_alloc();
      return {};  // not reached for an index of the loaded list
    }
    switch (parsed.event.type) {
      case YAML_STREAM_START_EVENT:
      case YAML_DOCUMENT_START_EVENT:
        continue;
      case YAML_DOCUMENT_END_EVENT:
      case YAML_STREAM_END_EVENT:
      case YAML_NO_EVENT:
        return mark_of(parsed.event.start_mark);
      default:
        if (seen == index) return mark_of(parsed.event.start_mark);
        ++seen;
    }
  }
}

std::vector<Mark> positions_of(std::string_view text, const std::vector<std::uint32_t>& indices) {
  std::vector<std::uint32_t> wanted(indices);
  std::sort(wanted.begin(), wanted.end());
  wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
  std::vector<Mark> found(wanted.size());
  YamlStream::Parser parser(text);
  std::uint32_t seen = 0;
  for (std::size_t next = 0; next < wanted.size();) {
    ParsedEvent parsed;
    if (yaml_parser_parse(&parser.parser, &parsed.event) == 0) {
      if (parser.parser.error == YAML_MEMORY_ERROR) throw std::bad_alloc();
      break;  // not reached for indices of the loaded list
    }
    const yaml_event_type_t type = parsed.event.type;
    if (type == YAML_STREAM_START_EVENT || type == YAML_DOCUMENT_START_EVENT) continue;
    const bool ended =
        type == YAML_DOCUMENT_END_EVENT || type == YAML_STREAM_END_EVENT || type == YAML_NO_EVENT;
    // The empty node of an empty stream stands where the stream ends.
    while (next < wanted.size() && (ended || wanted[next] == seen)) {
      found[next++] = mark_of(parsed.event.start_mark);
    }
    if (ended) break;
    ++seen;
  }
  std::vector<Mark> marks;
  marks.reserve(indices.size());
  for (const std::uint32_t index : indices) {
    const auto at = std::lower_bound(wanted.begin(), wanted.end(), index) - wanted.begin();
    marks.push_back(found[static_cast<std::size_t>(at)]);
  }
  return marks;
}

ValueCount count_values(std::string_view text, std::uint64_t limit) {
  ValueCount count;
  YamlStream::Parser parser(text);
  std::size_t open = 0;
  for (;;) {
    ParsedEvent parsed;
    if (yaml_parser_parse(&parser.parser, &parsed.event) == 0) {
      if (parser.parser.error == YAML_MEMORY_ERROR) throw std::bad_alloc();
      return count;
    }
    switch (parsed.event.type) {
      case YAML_SEQUENCE_START_EVENT:
      case YAML_MAPPING_START_EVENT:
        if (open == kLoadNestingLimit) return count;
        ++open;
        break;
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT:
        --open;
        continue;
      case YAML_SCALAR_EVENT:
      case YAML_ALIAS_EVENT:
        break;
      case YAML_STREAM_START_EVENT:
      case YAML_DOCUMENT_START_EVENT:
        continue;
      default:  // the end of the first document or of the stream
        return count;
    }
    if (count.values == limit) {
      count.past = mark_of(parsed.event.start_mark);
      return count;
    }
    ++count.values;
  }
}

Expected<Document, DocumentError> YamlStream::load_first_document() {
  Document document;
  if (text_size_ > kLargestText) return unexpected(too_large());
  document.text_size = text_size_;
  // Scalar texts with their lengths rarely outgrow the text; reserving spares
  // the copies of growing, and untouched pages cost nothing.
  document.arena.reserve(text_size_);
  Loader loader(document);
  for (;;) {
    ParsedEvent parsed;
    yaml_parser_t& parser = parser_->parser;
    if (yaml_parser_parse(&parser, &parsed.event) == 0) {
      if (parser.error == YAML_MEMORY_ERROR) throw std::bad_alloc();
      document.parse_error = parser_error(parser);
      finished_ = true;
      return document;
    }
    const yaml_event_type_t type = parsed.event.type;
    if (type == YAML_DOCUMENT_END_EVENT) return document;
    if (type == YAML_STREAM_END_EVENT || type == YAML_NO_EVENT) {
      finished_ = true;
      if (document.events.empty()) {
        // A stream without a document reads as one empty node at its end.
        document.events.push_back(Event{});
      }
      return document;
    }
    auto added = loader.add(parsed.event);
    if (!added) return unexpected(std::move(added).error());
    if (!*added) {
      // Kept like a parse error: it wins only where reading gets that far.
      document.parse_error = load_stopped(parsed.event);
      finished_ = true;
      return document;
    }
  }
}

bool YamlStream::has_further_document() {
  if (finished_) return false;
  ParsedEvent parsed;
  yaml_parser_t& parser = parser_->parser;
  finished_ = true;
  if (yaml_parser_parse(&parser, &parsed.event) == 0) {
    if (parser.error == YAML_MEMORY_ERROR) throw std::bad_alloc();
    return true;
  }
  return parsed.event.type != YAML_STREAM_END_EVENT && parsed.event.type != YAML_NO_EVENT;
}

}  // namespace tamsel
