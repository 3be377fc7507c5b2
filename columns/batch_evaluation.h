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
  const EvaluationPlan& plan_;
  std::vector<std::string_view> rule_ids_;  // by plan rule index
};

}  // namespace tamsel
