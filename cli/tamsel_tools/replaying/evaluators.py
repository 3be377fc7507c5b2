"""Evaluating a batch of recorded inputs: one function from an Arrow batch to three columns.

An evaluator takes a record batch whose `input` column is a struct of the three domains (each a
struct of fields, a null field being an absent one) and gives a table of the columns `effect`,
`matched_rule` and `error` (null where there is none), one row a record, in order.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Tuple

from tamsel_tools.replaying.record import DOMAINS, ERROR

if TYPE_CHECKING:
    import pyarrow  # type: ignore[import-untyped,import-not-found,unused-ignore]

    from tamsel_tools.model.policy import Policy

Evaluator = Callable[["pyarrow.RecordBatch"], "pyarrow.Table"]
# One record's outcome: an effect or "error", the deciding rule, the error's text.
Outcome = Tuple[str, Optional[str], Optional[str]]


def without_nulls(row: Optional[Dict[str, Any]]) -> Dict[str, Any]:
    """A row of the `input` column as `evaluate` takes it: null domains and fields left out."""
    if row is None:
        return {}
    return {
        domain: {name: value for name, value in fields.items() if value is not None}
        for domain, fields in row.items()
        if domain in DOMAINS and fields is not None
    }


def outcome(engine: Any, input: Any) -> Outcome:
    """The engine's decision of one input as an outcome."""
    try:
        decided = engine.evaluate(input)
    except (TypeError, UnicodeEncodeError) as refused:
        return ERROR, None, str(refused)
    return decided["effect"], decided["matched_rule"], None


def record_evaluator(engine: Any) -> Evaluator:
    """The evaluator that asks `PyTamsel.evaluate` of each record as pyarrow's `to_pylist()` gives
    it, null fields left out: the decision that columnar evaluation must equal."""
    import pyarrow  # type: ignore[import-untyped,import-not-found,unused-ignore]

    def evaluate(batch: pyarrow.RecordBatch) -> pyarrow.Table:
        effects: List[Optional[str]] = []
        rules: List[Optional[str]] = []
        errors: List[Optional[str]] = []
        for row in batch.column("input").to_pylist():
            effect, rule, error = outcome(engine, without_nulls(row))
            effects.append(None if error is not None else effect)
            rules.append(rule)
            errors.append(error)
        return pyarrow.table(
            {
                "effect": pyarrow.array(effects, pyarrow.string()),
                "matched_rule": pyarrow.array(rules, pyarrow.string()),
                "error": pyarrow.array(errors, pyarrow.string()),
            }
        )

    return evaluate


def policy_evaluator(policy: Policy) -> Evaluator:
    """The policy's own columnar evaluation where the private module has it, else the record
    by record one."""
    batch = getattr(policy, "evaluate_batch", None)
    return batch if batch is not None else record_evaluator(policy.engine)
