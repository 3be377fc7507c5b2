"""Inputs given as JSON files or as JSON lines, for `tamsel eval` and `tamsel explain`."""

from __future__ import annotations

import json
import sys
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple, Union

from tamsel_tools import _json
from tamsel_tools._documents import DocumentsRejected, DocumentsUnreadable, one_line, read_text
from tamsel_tools._policy import Policy

STDIN = "-"


class BadInput(Exception):
    """Why one input gave no decision, with the position inside its JSON text where known."""

    def __init__(self, message: str, line: Optional[int] = None, column: Optional[int] = None):
        super().__init__(message)
        self.message = message
        self.line = line
        self.column = column


def parse_json(text: str) -> Any:
    """JSON text, with the tools' objects for NaN, the infinities and -0.0 read back as floats."""
    try:
        return _json.loads(text)
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
        raise BadInput(str(error)) from None
    return {"effect": decided.effect, "matched_rule": decided.matched_rule}


# One input: where it came from (a file, or a line of standard input) and its
# JSON text, or the line that reports why it could not be read.
_Source = Tuple[str, Optional[int], Union[str, Exception]]


def _sources(inputs: List[str]) -> Iterator[_Source]:
    for name in inputs or [STDIN]:
        if name != STDIN:
            try:
                yield name, None, read_text(name)
            except (DocumentsUnreadable, DocumentsRejected) as error:
                yield name, None, error
            continue
        for number, raw in enumerate(sys.stdin.buffer, start=1):
            try:
                line = raw.decode("utf-8")
            except UnicodeDecodeError:
                yield "<stdin>", number, BadInput("invalid UTF-8")
                continue
            line = line.rstrip("\r\n")
            if line.strip():  # blank lines carry no input
                yield "<stdin>", number, line


def _report(name: str, line: Optional[int], error: BadInput) -> str:
    """NAME[:LINE[:COLUMN]]: MESSAGE, the line counted in the file or in standard input."""
    where = name
    if line is not None:
        where += f":{line}"
    elif error.line is not None:
        where += f":{error.line}"
    if error.column is not None:
        where += f":{error.column}"
    return f"{one_line(where)}: {one_line(error.message)}"


def run(inputs: List[str], answer: Callable[[str, Any], str]) -> int:
    """Prints the answer to each good input (given where it came from, NAME or <stdin>:LINE,
    and its value) on stdout, one error line a bad one on stderr;
    answer raises BadInput for an input that it refuses.

    Every input is tried; the status is 1 when any of them was bad.
    """
    status = 0
    for name, line, item in _sources(inputs):
        try:
            if isinstance(item, Exception):
                raise item
            where = name if line is None else f"{name}:{line}"
            print(answer(where, parse_json(item)))
            continue
        except (DocumentsUnreadable, DocumentsRejected) as error:
            report = str(error)  # already located in the file
        except BadInput as error:
            report = _report(name, line, error)
        status = 1
        print(report, file=sys.stderr)
    return status


def run_eval(policy: Policy, inputs: List[str]) -> int:
    """`tamsel eval`: one JSON decision a line."""
    return run(inputs, lambda where, value: json.dumps(decision(policy, value)))
