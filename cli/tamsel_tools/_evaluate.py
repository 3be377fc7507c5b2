"""`tamsel eval`: decisions for inputs given as JSON files or as JSON lines."""

from __future__ import annotations

import json
import sys
from typing import Any, Iterator, List, Optional, Tuple, Union

import tamsel

from tamsel_tools._documents import DocumentsRejected, DocumentsUnreadable, one_line, read_text

STDIN = "-"


class BadInput(Exception):
    """Why one input gave no decision, with the position inside its JSON text where known."""

    def __init__(self, message: str, line: Optional[int] = None, column: Optional[int] = None):
        super().__init__(message)
        self.message = message
        self.line = line
        self.column = column


def parse_json(text: str) -> Any:
    try:
        return json.loads(text)
    except json.JSONDecodeError as error:
        raise BadInput(f"invalid JSON: {error.msg}", error.lineno, error.colno) from None
    except RecursionError:
        raise BadInput("invalid JSON: nested too deeply") from None
    except ValueError as error:  # an integer with more digits than the interpreter converts
        raise BadInput(f"invalid JSON: {error}") from None


def evaluate(engine: tamsel.PyTamsel, value: Any) -> dict[str, Any]:
    """The decision, or BadInput with the engine's own text for input that it refuses."""
    try:
        return dict(engine.evaluate(value))
    except (TypeError, UnicodeEncodeError) as error:
        raise BadInput(str(error)) from None


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


def run(engine: tamsel.PyTamsel, inputs: List[str]) -> int:
    """One JSON decision a good input on stdout, one error line a bad one on stderr.

    Every input is tried; the status is 1 when any of them was bad.
    """
    status = 0
    for name, line, item in _sources(inputs):
        try:
            if isinstance(item, Exception):
                raise item
            print(json.dumps(evaluate(engine, parse_json(item))))
            continue
        except (DocumentsUnreadable, DocumentsRejected) as error:
            report = str(error)  # already located in the file
        except BadInput as error:
            report = _report(name, line, error)
        status = 1
        print(report, file=sys.stderr)
    return status
