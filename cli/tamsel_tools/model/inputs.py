"""An input's JSON text read, and the engine's decision or explanation of it, or why it gives none."""

from __future__ import annotations

import json
from typing import Any, Dict, Optional

from tamsel_tools.base import strict_json
from tamsel_tools.io.reading import Limits
from tamsel_tools.model.explanation import Explanation
from tamsel_tools.model.policy import Policy
from tamsel_tools.model.refusal import why_refused


class BadInput(Exception):
    """Why one input gave no decision, with the position inside its JSON text where known."""

    def __init__(
        self, message: str, line: Optional[int] = None, column: Optional[int] = None, detail: Optional[str] = None
    ):
        super().__init__(message)
        self.message = message  # the engine's own text, for input that it refuses
        self.line = line
        self.column = column
        self.detail = detail  # what in the input it refused, and where


def refused(error: Exception, value: Any) -> BadInput:
    """The engine's refusal of the input value, with the first value at fault named."""
    return BadInput(str(error), detail=why_refused(value))


def parse_json(text: str, limits: Limits) -> Any:
    """The value of a JSON text, refused unparsed when it holds more values than may be held."""
    if strict_json.separators(text) > limits.max_values:
        raise BadInput(limits.too_many_separators())
    try:
        return strict_json.loads(text)  # the special-number objects read back as floats
    except json.JSONDecodeError as error:
        raise BadInput(f"invalid JSON: {error.msg}", error.lineno, error.colno) from None
    except RecursionError:
        raise BadInput("invalid JSON: nested too deeply") from None
    except ValueError as error:  # an integer with more digits than the interpreter converts
        raise BadInput(f"invalid JSON: {error}") from None


def decision(policy: Policy, value: Any) -> Dict[str, Any]:
    """The decision as `evaluate` returns it, or BadInput with the engine's own text for input
    that it refuses."""
    try:
        decided = policy.evaluate(value)
    except (TypeError, UnicodeEncodeError) as error:
        raise refused(error, value) from None
    return {"effect": decided.effect, "matched_rule": decided.matched_rule}


def explained(policy: Policy, value: Any) -> Explanation:
    """The explanation, or BadInput with the engine's own text for input that it refuses."""
    try:
        return policy.explain(value)
    except (TypeError, UnicodeEncodeError) as error:
        raise refused(error, value) from None
