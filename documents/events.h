// The first YAML document of a text as a flat list of compact event records.
// Texts live in one arena; anchors are resolved to event indices while loading,
// so that aliases can later be replayed without copying anything.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/chunked_list.h"
#include "common/expected.h"
#include "documents/document_error.h"

namespace tamsel {

enum class EventKind : std::uint8_t {
  Scalar,
  SequenceStart,
  SequenceEnd,
  MappingStart,
  MappingEnd,
  Alias
};

enum class ScalarStyle : std::uint8_t { Plain, SingleQuoted, DoubleQuoted, Literal, Folded };

// Only the tags that change how a node is read are told apart; "!"-tags keep
// their text because keywords can be written as a tag.
enum class TagKind : std::uint8_t { None, Bool, Int, Float, Null, Local, Other };

// " at line L column C" (1-based), left out for the very first character;
// gives whether it was written.
bool append_position(std::string& out, Mark mark);

// The fault's text with the mark's position appended, which the error then carries.
DocumentError positioned_error(Fault fault, Mark mark);

inline constexpr std::uint32_t kNoLink = UINT32_MAX;

// 8 bytes: the event list of a large document is its largest part. An event
// keeps no position; position_of() finds it again for the error that needs it.
struct Event {
  EventKind kind = EventKind::Scalar;
  ScalarStyle style = ScalarStyle::Plain;
  TagKind tag = TagKind::None;
  // A scalar's text length, or kLongText when the length stands in the arena.
  std::uint8_t short_length = 0;
  // Scalar: offset of its text in the arena. Alias: index of its node in
  // Document::anchored. Collection start: index of its end event (kNoLink when
  // the text broke off before it).
  std::uint32_t link = kNoLink;

  static constexpr std::uint8_t kLongText = UINT8_MAX;
};
static_assert(sizeof(Event) == 8);

// A node that carries an anchor: its first event, and its scalar texts as a
// range of the running total of text bytes, which an alias replays.
struct AnchoredNode {
  std::uint32_t first = 0;
  std::uint64_t text_begin = 0;
  std::uint64_t text_end = UINT64_MAX;  // until the node is complete
};

// The text of a local tag ("!" included) and the event that carries it.
struct LocalTag {
  std::uint32_t event = 0;
  std::uint32_t offset = 0;  // in the arena
  std::uint32_t length = 0;
};

struct Document {
  ChunkedList<Event> events;
  std::string arena;
  std::vector<AnchoredNode> anchored;
  std::vector<LocalTag> local_tags;  // in event order
  std::size_t text_size = 0;         // bytes of the text that was loaded
  std::uint64_t text_bytes = 0;      // bytes of all scalar texts
  // The parse error that stopped loading, already rendered.
  std::optional<DocumentError> parse_error;

  std::string_view text(const Event& event) const {
    // The empty node of an empty stream has no place in the arena.
    if (event.short_length == 0) return {};
    if (event.short_length == Event::kLongText) return long_text(event);
    return {arena.data() + event.link, event.short_length};
  }
  // The local tag of the event at index, which must carry one.
  std::string_view local_tag(std::uint32_t index) const;

 private:
  std::string_view long_text(const Event& event) const;
};

// The position of the event at index in the list that load_first_document()
// makes of text, found by parsing text again up to it. Errors are rare and
// this costs one parse, where a position in every event would double the list.
Mark position_of(std::string_view text, std::uint32_t index);
// The positions of several events in one parse; indices in any order.
std::vector<Mark> positions_of(std::string_view text, const std::vector<std::uint32_t>& indices);

// The values (mappings, sequences, scalars and aliases) of the first document
// of a text, counted up to a limit without keeping any of them: for a caller
// that bounds what a document may cost before loading it.
struct ValueCount {
  std::uint64_t values = 0;  // at most the limit
  std::optional<Mark> past;  // the first value beyond the limit, if there is one
};
// Counting stops, with what it has, where loading would stop: at a parse error
// or a collection nested beyond what is loaded.
ValueCount count_values(std::string_view text, std::uint64_t limit);

// A libyaml parser over one text. It loads the first document and, after that
// document has been read, tells whether the stream goes on.
class YamlStream {
 public:
  explicit YamlStream(std::string_view text);
  ~YamlStream();
  YamlStream(const YamlStream&) = delete;
  YamlStream& operator=(const YamlStream&) = delete;

  // Fails only on a text beyond the size the event records can address. Parse
  // errors, collections nested too deep and aliases to no earlier anchor stop
  // loading and are kept in the document.
  Expected<Document, DocumentError> load_first_document();

  // After a complete first document: whether anything but the end of the
  // stream follows (a further document, even one that fails to parse).
  bool has_further_document();

 private:
  struct Parser;
  friend Mark position_of(std::string_view text, std::uint32_t index);
  friend std::vector<Mark> positions_of(std::string_view text,
                                        const std::vector<std::uint32_t>& indices);
  friend ValueCount count_values(std::string_view text, std::uint64_t limit);
  // The positions of several events in one parse; indices in any order.
  std::vector<Mark> positions_of(std::string_view text, const std::vector<std::uint32_t>& indices);
  std::unique_ptr<Parser> parser_;
  std::size_t text_size_;
  bool finished_ = false;  // the stream end (or an error) has been seen
};

}  // namespace tamsel
