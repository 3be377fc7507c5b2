// What a read tells the tools beside its tree: where each policy rule and each
// comparison stands, and the mapping keys that the readers skipped. A read
// takes notes only when it is given somewhere to keep them; otherwise every
// reading rule does exactly its usual work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "documents/document_error.h"

namespace tamsel {

// A node by its event in the loaded list (an alias's: the anchored node's),
// and the node's position, found once the read has succeeded.
struct NotedNode {
  std::uint32_t event = 0;
  Mark position;
};

struct NotedRule {
  NotedNode node;
  std::uint32_t first_comparison = 0;  // its comparisons start here in ReadNotes::comparisons
};

struct NotedKey {
  NotedNode node;
  std::string text;
};

struct ReadNotes {
  std::vector<NotedRule> rules;        // in document order
  std::vector<NotedNode> comparisons;  // in document order, the members of each rule in order
  std::vector<NotedKey> skipped_keys;  // in reading order

  // What was noted so far: an alternative that is given up drops what it noted.
  struct Count {
    std::size_t comparisons = 0;
    std::size_t skipped_keys = 0;
  };
  [[nodiscard]] Count count() const { return {comparisons.size(), skipped_keys.size()}; }
  void drop_since(Count count) {
    comparisons.resize(count.comparisons);
    skipped_keys.resize(count.skipped_keys);
  }
};

}  // namespace tamsel
