// Evaluation in columns: every record of an Arrow batch decided by the plan,
// with no value copied out of the batch. The outcome of each record is what
// evaluate gives for the dict that pyarrow's to_pylist() makes of it, null
// fields left out: the same decision, or the same TypeError text.
//
// Records are the batch's rows, with struct columns "action", "actor" and
// "snapshot"; or, when the batch has an "input" column, that column's values
// (a null input is a record with no domains). A missing domain column is an
// empty domain; a null one too.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "columns/arrow_abi.h"
#include "columns/decision_columns.h"
#include "common/expected.h"
#include "engine/evaluation_plan.h"

namespace tamsel {

class BatchEvaluator {
 public:
  // Views the plan, which must outlive the evaluator.
  explicit BatchEvaluator(const EvaluationPlan& plan);

  // The decisions of every record of the batch (a struct array, as a record
  // batch exports itself), in order; or why the batch cannot be read: a layout
  // or type it cannot read, repeated field names, an index of the data past
  // its bounds. Only reads the batch, which the caller keeps and releases.
  [[nodiscard]] Expected<DecisionBatches, std::string> evaluate(const ArrowSchema& schema,
                                                                const ArrowArray& batch) const;

 private:
  // The id of a plan rule, from one table: the policy keeps its ids apart,
  // one cache line or more each, and a decision is read for every record.
  [[nodiscard]] std::string_view rule_id(std::uint32_t rule) const {
    return std::string_view(rule_id_bytes_)
        .substr(rule_id_ends_[rule], rule_id_ends_[rule + 1] - rule_id_ends_[rule]);
  }

  const EvaluationPlan& plan_;
  std::string rule_id_bytes_;              // every rule's id, in plan rule order
  std::vector<std::size_t> rule_id_ends_;  // rule r's id is [ends[r], ends[r + 1])
};

}  // namespace tamsel
