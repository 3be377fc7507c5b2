"""Diagnostics as the tools print them: GNU-style lines, or GitHub Actions annotations.

A diagnostic is an error or a warning about a place in a file (`check --format json` lists
them under "diagnostics"; the analysis's `Finding` is a rule that never decides). In the text format
it is "FILE:LINE:COLUMN: MESSAGE" (a warning says "warning: " before the
message), followed by its help lines; in the GitHub format it is one workflow
command, "::error file=F,line=L,col=C::MESSAGE", which CI shows on the line of
the pull request, the help lines joined into its message.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, Literal, Optional, Sequence, Tuple

from tamsel_tools.base.echo import bounded
from tamsel_tools.base.text import printable

Kind = Literal["error", "warning"]
Format = Literal["text", "github"]
FORMATS: Tuple[Format, ...] = ("text", "github")
# `check` also writes its findings as one JSON document.
CheckFormat = Literal["text", "github", "json"]
CHECK_FORMATS: Tuple[CheckFormat, ...] = (*FORMATS, "json")


def github_data(text: str) -> str:
    """The text as a workflow command's message: %, CR and LF escaped."""
    return text.replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")


def github_property(text: str) -> str:
    """The text as a workflow command's property value: also ':' and ',' escaped."""
    return github_data(text).replace(":", "%3A").replace(",", "%2C")


def finding(
    kind: Kind,
    file: str,
    line: Optional[int],
    column: Optional[int],
    message: str,
    format: Format = "text",
    help: Sequence[str] = (),
) -> str:
    """The text to print for one finding: one line, and in the text format one more
    line, "help: ...", for each help text. Every text in it is made safe for a terminal, and what
    it quotes of a document is cut short."""
    message = printable(bounded(message))
    help_lines = [f"help: {printable(bounded(line))}" for line in help]
    if format == "github":
        # The runner's own escapes first (a line feed in a name is %0A), then what is left unsafe.
        properties = f"file={printable(github_property(file))}"
        if line is not None:
            properties += f",line={line}"
            if column is not None:
                properties += f",col={column}"
        return f"::{kind} {properties}::{github_data(chr(10).join([message, *help_lines]))}"
    where = printable(file)
    if line is not None:
        where += f":{line}"
        if column is not None:
            where += f":{column}"
    label = "warning: " if kind == "warning" else ""
    return "\n".join([f"{where}: {label}{message}", *help_lines])


@dataclass(frozen=True)
class Diagnostic:
    kind: Kind
    file: str
    line: Optional[int]
    column: Optional[int]
    message: str
    help: Tuple[str, ...] = ()  # how to write what the message names, one text a line
    code: Optional[str] = None  # what kind of error or warning, for JSON: "type_mismatch", "skipped_key", ...

    def render(self, format: Format = "text") -> str:
        return finding(self.kind, self.file, self.line, self.column, self.message, format, self.help)

    @property
    def headline(self) -> str:
        """Its first line in the text format, without help lines."""
        return finding(self.kind, self.file, self.line, self.column, self.message)

    def to_json(self) -> Dict[str, Any]:
        """As `check --format json` lists it: the texts as they are (JSON escapes them), but
        for what they quote of a document, cut short."""
        return {
            "file": self.file,
            "line": self.line,
            "column": self.column,
            "severity": self.kind,
            "kind": self.code,
            "message": bounded(self.message),
            "help": [bounded(line) for line in self.help],
        }


class Reported(Exception):
    """A command cannot go on, for the reasons that the findings give (one or more); its text is
    their first lines (help lines left out)."""

    def __init__(self, *findings: Diagnostic):
        super().__init__("\n".join(each.headline for each in findings))
        self.findings: Tuple[Diagnostic, ...] = findings
