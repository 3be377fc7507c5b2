// What a read tells the tools beside its tree: where each policy rule (with its
// scope and condition) and each comparison (with its sides) stands, where each
// governance rule stands, and the mapping keys that the readers skipped. A read
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
  static constexpr std::uint32_t kNone = UINT32_MAX;  // not noted: no position is found
  std::uint32_t event = kNone;
  Mark position;
};

// A policy rule, or a governance rule (which has no scope, condition or comparisons).
struct NotedRule {
  NotedNode node;
  std::uint32_t first_comparison = 0;  // its comparisons start here in ReadNotes::comparisons
  NotedNode scope;
  NotedNode when;
};

struct NotedComparison {
  NotedNode node;
  NotedNode left;   // the left subject
  NotedNode right;  // the right subject, or the {literal: ...} mapping
};

struct NotedKey {
  NotedNode node;
  std::string text;
};

struct ReadNotes {
  std::vector<NotedRule> rules;              // in document order
  std::vector<NotedComparison> comparisons;  // in document order, the members of each rule in order
  std::vector<NotedKey> skipped_keys;        // in reading order

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
