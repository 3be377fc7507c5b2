// The decisions of a batch as three Arrow columns, handed out through the C
// Data Interface without a copy:
//   effect        dictionary<int8, utf8> over "allow", "block", "require_approval"
//                 (one byte a record, and what a count of transitions groups by)
//   matched_rule  utf8, null when no rule decided
//   error         utf8, the TypeError text evaluate raises; null when it decides
// A record with an error has a null effect. The columns of a batch are
// immutable once built and shared by every export of them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "columns/arrow_abi.h"
#include "common/vocabulary.h"

namespace tamsel {

// A utf8 column being built: offsets, bytes and validity.
struct TextColumn {
  std::vector<std::int32_t> offsets{0};
  std::string data;
  std::vector<std::uint8_t> validity;
  std::int64_t null_count = 0;
};

struct DecisionBatch {
  std::int64_t length = 0;
  std::vector<std::int8_t> effects;  // Effect values; 0 where the record has an error
  std::vector<std::uint8_t> effect_validity;
  std::int64_t effect_nulls = 0;
  TextColumn matched_rule;
  TextColumn error;
};

using DecisionBatches = std::vector<std::shared_ptr<const DecisionBatch>>;

// Appends decisions in record order. A utf8 column's offsets are 32-bit, so a
// batch whose texts would pass 2 GiB is closed and a new one begun.
class DecisionBuilder {
 public:
  // Room for so many more records.
  void reserve(std::int64_t records);
  void add_decision(Effect effect, std::optional<std::string_view> matched_rule) {
    DecisionBatch& batch = room_for(matched_rule ? matched_rule->size() : 0);
    const std::uint8_t bit = open_record(batch);
    batch.effects.push_back(static_cast<std::int8_t>(effect));
    batch.effect_validity.back() |= bit;
    if (matched_rule) {
      batch.matched_rule.validity.back() |= bit;
      batch.matched_rule.data.append(*matched_rule);
    } else {
      ++batch.matched_rule.null_count;
    }
    ++batch.error.null_count;
    close_record(batch);
  }
  void add_error(std::string_view text) {
    DecisionBatch& batch = room_for(text.size());
    const std::uint8_t bit = open_record(batch);
    batch.effects.push_back(0);
    ++batch.effect_nulls;
    ++batch.matched_rule.null_count;
    batch.error.validity.back() |= bit;
    batch.error.data.append(text);
    close_record(batch);
  }
  // The batches built, in order; the builder is empty afterwards.
  [[nodiscard]] DecisionBatches finish();

 private:
  DecisionBatch& room_for(std::size_t text_bytes) {
    if (current_ && current_->matched_rule.data.size() + text_bytes <= kLargestText &&
        current_->error.data.size() + text_bytes <= kLargestText) {
      return *current_;
    }
    return start_batch();
  }
  DecisionBatch& start_batch();
  // The record's bit in the validity bitmaps, a byte of each begun every 8 records.
  static std::uint8_t open_record(DecisionBatch& batch) {
    if ((batch.length & 7) == 0) {
      batch.effect_validity.push_back(0);
      batch.matched_rule.validity.push_back(0);
      batch.error.validity.push_back(0);
    }
    return static_cast<std::uint8_t>(1U << static_cast<unsigned>(batch.length & 7));
  }
  static void close_record(DecisionBatch& batch) {
    batch.matched_rule.offsets.push_back(static_cast<std::int32_t>(batch.matched_rule.data.size()));
    batch.error.offsets.push_back(static_cast<std::int32_t>(batch.error.data.size()));
    ++batch.length;
  }

  static constexpr std::size_t kLargestText = INT32_MAX;
  DecisionBatches done_;
  std::unique_ptr<DecisionBatch> current_;
  std::int64_t reserved_ = 0;
};

// The schema of the decisions: a struct of the three columns. out is
// overwritten; the caller releases it.
void export_decision_schema(ArrowSchema* out);
// One batch as a struct array; the export shares the batch's buffers.
void export_decision_batch(const std::shared_ptr<const DecisionBatch>& batch, ArrowArray* out);
// A stream of the batches, in order.
void export_decision_stream(DecisionBatches batches, ArrowArrayStream* out);

}  // namespace tamsel
