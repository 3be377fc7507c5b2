"""Inputs given as JSON files or as JSON lines, for `tamsel eval` and `tamsel explain`."""

from __future__ import annotations

import errno
import json
import os
import sys
from typing import Any, Callable, Dict, Iterator, List, Optional, Tuple, Union

from tamsel_tools.base import status as _status
from tamsel_tools.base import strict_json
from tamsel_tools.base.echo import bounded
from tamsel_tools.base.findings import Finding, Reported
from tamsel_tools.base.text import printable
from tamsel_tools.io.files import Unreadable, read_input
from tamsel_tools.io.reading import LineTooLong, lines, max_values, too_many_separators, too_wide
from tamsel_tools.io.refusal import why_refused
from tamsel_tools.model.explanation import Explanation
from tamsel_tools.model.policy import Policy

STDIN = "-"


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


def parse_json(text: str) -> Any:
    """The value of a JSON text, refused unparsed when it holds more values than may be held."""
    if strict_json.separators(text) > max_values():
        raise BadInput(too_many_separators())
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


# One input: where it came from (a file, or a line of standard input) and its
# JSON text, or the line that reports why it could not be read.
_Source = Tuple[str, Optional[int], Union[str, Exception]]


def _sources(inputs: List[str]) -> Iterator[_Source]:
    for name in inputs or [STDIN]:
        if name != STDIN:
            try:
                yield name, None, read_input(name)
            except Reported as error:
                yield name, None, error
            continue
        yield from _stdin()


def _stdin() -> Iterator[_Source]:
    number = 0
    try:
        if sys.stdin is None:  # closed when the command started
            raise OSError(errno.EBADF, os.strerror(errno.EBADF))
        for number, raw in enumerate(lines(sys.stdin.buffer), start=1):
            yield from _stdin_line(number, raw)
    except LineTooLong as error:
        yield "<stdin>", number + 1, error
    except OSError as error:
        message = f"cannot read: {error.strerror or error}"
        yield "<stdin>", None, Unreadable(Finding("error", "<stdin>", None, None, message, code="unreadable"))


def _stdin_line(number: int, raw: bytes) -> Iterator[_Source]:
    wide = too_wide(raw)
    if wide is not None:
        yield "<stdin>", number, BadInput(wide)
        return
    try:
        line = raw.decode("utf-8")
    except UnicodeDecodeError:
        yield "<stdin>", number, BadInput("invalid UTF-8")
        return
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
    message = error.message if error.detail is None else f"{error.message}; {error.detail}"
    return f"{printable(where)}: {printable(bounded(message))}"


def run(inputs: List[str], answer: Callable[[str, Any], str]) -> int:
    """Prints the answer to each good input (given where it came from, NAME or <stdin>:LINE,
    and its value) on stdout, one error line a bad one on stderr;
    answer raises BadInput for an input that it refuses.

    Every input is tried; the status is 1 when any of them was bad, 2 when a file could not be
    read at all (or standard input had a line past the cap, after which it is not read).
    """
    status = _status.GOOD
    for name, line, item in _sources(inputs):
        bad = _status.NEGATIVE
        try:
            if isinstance(item, Exception):
                raise item
            where = name if line is None else f"{name}:{line}"
            print(answer(where, parse_json(item)))
            continue
        except Reported as error:
            report = str(error)  # already located in the file
            bad = _status.UNUSABLE if isinstance(error, Unreadable) else bad
        except BadInput as error:
            report = _report(name, line, error)
        except LineTooLong as error:
            # What follows the line is not read: the command could not do its job.
            print(f"<stdin>:{line}: {error}", file=sys.stderr)
            return _status.UNUSABLE
        status = max(status, bad)
        print(report, file=sys.stderr)
    return status


def run_eval(policy: Policy, inputs: List[str]) -> int:
    """`tamsel eval`: one JSON decision a line."""
    return run(inputs, lambda where, value: json.dumps(decision(policy, value)))
