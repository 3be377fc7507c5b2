"""Evaluating a batch of recorded inputs: one function from an Arrow batch to three columns.

An evaluator takes a record batch whose `input` column is a struct of the three domains (each a
struct of fields, a null field being an absent one) and gives a table of the columns `effect`,
`matched_rule` and `error` (null where there is none), one row a record, in order.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Callable, Dict, Optional, Tuple

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


def policy_evaluator(policy: Policy) -> Evaluator:
    """The policy's own columnar evaluation: every record of the batch in the engine's core,
    with the interpreter lock released, so threads evaluate batches side by side."""
    return policy.evaluate_batch
