"""The diagnostics of one policy with its schema and governance: the construction error at
the node at fault, or every governance violation at the rule that breaks it, else the
skipped keys; lint's findings are added later (`_lint`).

Places here are 0-based lines and columns in characters; the server turns them into the
client's units.
"""

from __future__ import annotations

import functools
import re
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple

from tamsel_tools import _inspect
from tamsel_tools.base.lines import Positions
from tamsel_tools.base.text import printable
from tamsel_tools.diagnostics.duplicates import replaced_declarations
from tamsel_tools.diagnostics.help import Texts, help_lines
from tamsel_tools.diagnostics.invisible import invisible_findings
from tamsel_tools.io.reading import Limits
from tamsel_tools.lsp import yaml_nodes
from tamsel_tools.lsp.store import lines_of
from tamsel_tools.model import declared as schema
from tamsel_tools.model.policy import PolicyError
from tamsel_tools.model.rules import DocumentName

ERROR, WARNING, INFORMATION = 1, 2, 3
SOURCE = "tamsel"
# A schema alone is checked with a policy of no rules, so that its own errors show.
EMPTY_POLICY = "version: 1\nrules: []\n"


@dataclass(frozen=True)
class Range:
    """The text of a document that a note is shown on, as the client counts lines and columns."""

    document: DocumentName
    line: int
    column: int
    end_line: int
    end_column: int


@dataclass(frozen=True)
class Note:
    """One diagnostic, before it is given to the client."""

    place: Range
    severity: int
    code: str
    message: str
    related: Tuple[Tuple[Range, str], ...] = ()


@dataclass
class Built:
    """What construction said: the notes by document, and the compiled policy when it built."""

    notes: Dict[str, List[Note]] = field(default_factory=dict)
    compiled: Optional[_inspect.Compiled] = None

    def add(self, note: Note) -> None:
        self.notes.setdefault(note.place.document, []).append(note)


def _token_end(line: str, column: int) -> int:
    """Where the YAML token that starts at the column ends on its line: a flow collection or
    a quoted text to its closing character, a key with its value to the line's end."""
    if column >= len(line):
        return column
    opening = line[column]
    if opening in "[{":
        depth = 0
        for index in range(column, len(line)):
            depth += {"[": 1, "{": 1, "]": -1, "}": -1}.get(line[index], 0)
            if depth == 0:
                return index + 1
        return len(line.rstrip())
    if opening in "\"'":
        closing = line.find(opening, column + 1)
        return closing + 1 if closing > 0 else len(line.rstrip())
    found = re.compile(r"[,\]}]|:(\s|$)|\s#").search(line, column)
    if found is not None and line[found.start()] == ":":
        comment = line.find(" #", found.start())
        return len((line if comment < 0 else line[:comment]).rstrip())
    end = found.start() if found is not None else len(line)
    return max(column + 1, len(line[:end].rstrip())) if line[column:end].strip() else column


@functools.lru_cache(maxsize=4)
def _positions(text: str) -> Positions:
    return Positions(text)


def place_at(
    document: DocumentName, text: str, line: Optional[int], column: Optional[int], reader: bool = True
) -> Range:
    """The span of the node that starts at a 1-based place (the first line when there is none):
    a place as the YAML reader counts lines, or as an editor does when `reader` is false."""
    if reader:
        line, column = _positions(text).editor(line, column)
    lines = lines_of(text)
    if line is None or column is None or line > len(lines):
        first = lines[0] if lines else ""
        return Range(document, 0, 0, 0, len(first))
    number, start = line - 1, max(column - 1, 0)
    end = _token_end(lines[number], start)
    if end <= start:
        end = min(start + 1, len(lines[number])) if start < len(lines[number]) else start
    return Range(document, number, start, number, end)


def _texts(texts: Texts) -> Dict[str, Optional[str]]:
    return {"schema": texts.schema, "policy": texts.policy, "governance": texts.governance}


def _error_notes(error: _inspect.Error, texts: Texts) -> List[Note]:
    document = error["document"]
    text = _texts(texts)[document] or ""
    violations = error.get("violations") or []
    if violations:
        notes = []
        for violation in violations:
            where_text = _texts(texts)[violation["document"]] or ""
            where = place_at(violation["document"], where_text, violation["line"], violation["column"])
            message = f"{violation['message']} (governance rule '{violation['rule']}')"
            notes.append(Note(where, ERROR, error["kind"], message))
        return notes
    failure = PolicyError.from_error(error)
    helped = "\n".join([failure.reason, *(f"help: {printable(line)}" for line in _help(failure, texts))])
    return [Note(place_at(document, text, error["line"], error["column"]), ERROR, error["kind"], helped)]


def _rule_action(policy: str, index: int) -> Tuple[bool, Optional[str]]:
    """Whether the policy's rule at the index was found, and the action of its scope."""
    lines = lines_of(policy)
    found = yaml_nodes.item_starts(lines, "policy")
    if found is not None and index < len(found[1]):
        starts, after = found[1], found[2]
        last = starts[index + 1] if index + 1 < len(starts) else after
        rule = yaml_nodes.compose_span(lines, yaml_nodes.Span(starts[index], last, index))
    else:
        root = yaml_nodes.compose(policy) if len(policy) <= yaml_nodes.WHOLE_LIMIT else None
        rule = yaml_nodes.get(yaml_nodes.get(root, "rules"), index)
    if rule is None:
        return False, None
    return True, yaml_nodes.scalar(yaml_nodes.get(yaml_nodes.get(rule, "scope"), "action"))


def _help(failure: PolicyError, texts: Texts) -> List[str]:
    """The commands' help for the error; for an action field, listed from the rule that the
    error names, read alone rather than with the whole policy."""
    index = failure.rule_index
    if failure.kind == "unknown_field" and failure.operands.get("domain") == "action" and index is not None:
        found, action = _rule_action(texts.policy, index)
        if found and action is None:
            return ["only a rule scoped to an action, {action: NAME}, reads action fields"]
        if found and action is not None:
            names = sorted((schema.read(texts.schema) or schema.Schema()).visible("action", action))
            what = f"fields of action '{action}'"
            return [
                f"the schema declares these {what}: " + ", ".join(names) if names else f"the schema declares no {what}"
            ]
    return _commands_help(failure, texts)


def _commands_help(failure: PolicyError, texts: Texts) -> List[str]:
    """The help lines that the commands print under the error, without their "help: "."""
    return help_lines(failure, texts)


def _past_caps(texts: Texts, limits: Limits) -> Optional[Note]:
    """The note of the first document past what a command reads of a policy's documents
    together, in bytes or in values; None when they are within it."""
    left_bytes, left_values = limits.documents_max_bytes, limits.max_values
    documents: Tuple[DocumentName, ...] = ("schema", "policy", "governance")
    for document, text in zip(documents, (texts.schema, texts.policy, texts.governance)):
        if text is None:
            continue
        size = len(text) if text.isascii() else len(text.encode("utf-8", "surrogatepass"))
        if size > left_bytes:
            message = limits.documents_too_large(left_bytes, "a policy's documents")
            return Note(place_at(document, text, None, None), ERROR, "unreadable", f"not checked: {message}")
        left_bytes -= size
        counted, past = _inspect.count_values(text, left_values)
        if past is not None:
            message = limits.too_many_values(" in a policy's documents together")
            return Note(place_at(document, text, *past), ERROR, "unreadable", f"not checked: {message}")
        left_values -= counted
    return None


def build(texts: Texts, limits: Optional[Limits] = None) -> Built:
    """Construction's notes for the three texts; a missing governance text is no governance.
    Documents past the command's caps are not built: one note says so."""
    built = Built()
    limits = limits or Limits()
    past = _past_caps(texts, limits)
    if past is not None:
        built.add(past)
        return built
    documents: Tuple[DocumentName, ...] = ("schema", "policy", "governance")
    for document, text in zip(documents, (texts.schema, texts.policy, texts.governance)):
        for found in invisible_findings(document, text or "", limits.allow_invisible):
            where = place_at(document, text or "", found.line, found.column, reader=False)
            where = Range(document, where.line, where.column, where.line, where.column + 1)
            message = "\n".join([found.message, *(f"help: {line}" for line in found.help)])
            built.add(Note(where, ERROR, "invisible_character", message))
    compiled, error = _inspect.load(texts.schema, texts.policy, texts.governance)
    if compiled is None:
        assert error is not None
        for note in _error_notes(error, texts):
            built.add(note)
        return built
    built.compiled = compiled
    for found in replaced_declarations("schema", texts.schema):
        where = place_at("schema", texts.schema, found.line, found.column, reader=False)
        built.add(Note(where, WARNING, "replaced_declaration", found.message))
    for key in compiled.skipped_keys():
        text = _texts(texts)[key["document"]] or ""
        where = place_at(key["document"], text, key["line"], key["column"])
        built.add(Note(where, WARNING, "skipped_key", f"key '{key['key']}' is not read here"))
    return built


def missing(document: DocumentName, text: str, message: str) -> Note:
    """A note at the top of the document: a pairing that could not be made."""
    return Note(place_at(document, text, None, None), ERROR, "pairing", message)
