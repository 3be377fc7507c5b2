"""Runs the samples of a Markdown page and compares what they print with what the page shows.

The convention (docs/contributing.md says it for authors):

- A page is one session: it starts in a fresh folder holding a copy of `examples/`, and its
  blocks run in page order. A `console` block is a shell transcript: each `$ COMMAND` line runs
  in bash (a line ending in `\\` or `|`, and the body of a `<<'EOF'` here-document, go on to the
  next line), and the lines up to the next `$` must equal what it printed, standard output
  and standard error together. The folder a block ends in is where the next one starts.
- A block titled with a file name (```` ```yaml title="held.yaml" ````) is written to that file
  in the session's folder, for a later command of the page, which must name it.
- A `python` block with `>>>` lines is a doctest; without them it runs as a script in the
  session's folder, and must print exactly the following block when that is a `text` block
  titled "output", and nothing otherwise. Each python block has an interpreter of its own.
- An untitled `yaml` block that is a document is built with the engine: a schema on its own,
  a policy (or a list of rules) against the page's last schema, a governance document with
  the page's last schema and policy (the example's by default). Other YAML, and `json` and
  `toml` blocks, must parse.
- `text` and `mermaid` blocks are prose and pictures. Any other block, or one that cannot run
  here, carries a title starting with "untested" (which the page shows) and is counted apart.
"""

from __future__ import annotations

import dataclasses
import json
import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
UNTESTED = "untested"
PROSE_KINDS = {"text", "mermaid"}

_FENCE = re.compile(r"^(?P<indent>[ \t]*)(?P<fence>`{3,}|~{3,})(?P<info>[^`]*)$")
_TITLE = re.compile(r'title="(?P<title>[^"]*)"')
_FILE_NAME = re.compile(r"^[\w.-]+$")
_HEREDOC = re.compile(r"<<-?\s*(['\"]?)(?P<word>\w+)\1")
_MARK = "@@tamsel-docs@@"
_STRAY = re.compile(r"^ {4,}(\$ |>>> )")


@dataclasses.dataclass(frozen=True)
class Block:
    """One fenced block of a page: its kind (the info string's first word), title and text."""

    page: str
    line: int  # of the opening fence, from 1
    kind: str
    title: str
    text: str

    @property
    def place(self) -> str:
        return f"{self.page}:{self.line}"

    @property
    def untested(self) -> bool:
        return self.title.startswith(UNTESTED)

    @property
    def file_name(self) -> str | None:
        """The file this block stands for, when its title is a file name."""
        return self.title if _FILE_NAME.match(self.title) and "." in self.title else None


class SampleError(AssertionError):
    """A sample whose output differs from the page, or that cannot be checked."""


def blocks(text: str, page: str = "<page>") -> list[Block]:
    """The fenced blocks of a Markdown text, in order; an indented fence's indent is removed."""
    found = []
    lines = text.splitlines()
    index = 0
    while index < len(lines):
        opening = _FENCE.match(lines[index])
        index += 1
        if not opening:
            continue
        indent, fence, info = opening["indent"], opening["fence"], opening["info"].strip()
        body = []
        while index < len(lines) and lines[index].strip() != fence:
            body.append(lines[index][len(indent) :] if lines[index].startswith(indent) else lines[index])
            index += 1
        if index == len(lines):
            raise SampleError(f"{page}:{opening.start() + 1}: a fence that is never closed")
        index += 1
        title = _TITLE.search(info)
        kind = info.split()[0] if info.split() else ""
        found.append(Block(page, index - len(body) - 1, kind, title["title"] if title else "", "\n".join(body)))
    return found


def stray_samples(text: str) -> list[int]:
    """The lines (from 1) of transcripts and doctests indented outside any fence: nothing runs them."""
    stray, fence = [], None
    for number, line in enumerate(text.splitlines(), 1):
        opening = _FENCE.match(line)
        if fence is None and opening:
            fence = opening["fence"]
        elif fence is not None and line.strip() == fence:
            fence = None
        elif fence is None and _STRAY.match(line):
            stray.append(number)
    return stray


@dataclasses.dataclass(frozen=True)
class Command:
    """One `$` line of a transcript (with its continuation lines) and the output shown under it."""

    text: str
    expected: tuple[str, ...]


def commands(block: Block) -> list[Command]:
    """The commands of a console block, each with the lines the page shows it print."""
    result: list[Command] = []
    lines = block.text.splitlines()
    index = 0
    while index < len(lines):
        if not lines[index].startswith("$ "):
            raise SampleError(f"{block.place}: a transcript's output before its first command: {lines[index]!r}")
        command = [lines[index][2:]]
        index += 1
        while command[-1].rstrip().endswith(("\\", "|")) and index < len(lines):
            command.append(lines[index])
            index += 1
        heredoc = _HEREDOC.search("\n".join(command))
        if heredoc:
            while index < len(lines) and lines[index] != heredoc["word"]:
                command.append(lines[index])
                index += 1
            command.append(lines[index] if index < len(lines) else "")
            index += 1
        expected = []
        while index < len(lines) and not lines[index].startswith("$ "):
            expected.append(lines[index])
            index += 1
        result.append(Command("\n".join(command), tuple(expected)))
    return result


class Session:
    """A page's folder, its current directory and the documents its YAML blocks are built with."""

    def __init__(self, folder: Path):
        self.folder = folder
        shutil.copytree(EXAMPLES, folder / "examples")
        self.cwd = folder
        refunds = EXAMPLES / "refunds"
        self.schema = (refunds / "schema.yaml").read_text()
        self.policy = (refunds / "policy.yaml").read_text()
        self.written: dict[str, Block] = {}
        self.env = dict(os.environ)
        # The installed command and interpreter first; help texts wrapped as on an 80-column
        # terminal; standard output unbuffered, so that it interleaves with standard error as
        # a terminal shows them.
        self.env["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), self.env.get("PATH", "")])
        self.env.update({"COLUMNS": "80", "LC_ALL": "C.UTF-8", "TMPDIR": str(folder), "PYTHONUNBUFFERED": "1"})
        for name in ("PYTHONSTARTUP", "PYTHONWARNINGS", "VIRTUAL_ENV"):
            self.env.pop(name, None)

    def run(self, block: Block) -> None:
        if block.file_name:
            self.write(block)
        elif block.kind == "console":
            self.run_console(block)
        elif block.kind == "python":
            self.run_python(block)
        elif block.kind == "yaml":
            self.check_yaml(block)
        elif block.kind == "json":
            _parse(block, json.loads)
        elif block.kind == "toml":
            _parse(block, _toml_loads)
        else:
            raise SampleError(f"{block.place}: a {block.kind or 'plain'} block that nothing checks: run it, or title it 'untested: WHY'")

    def write(self, block: Block) -> None:
        (self.cwd / block.file_name).write_text(block.text + "\n")
        self.written[block.file_name] = block

    def used(self, command: str) -> None:
        """Forgets the written files that a command names: each must be used."""
        for name in [name for name in self.written if name in command]:
            del self.written[name]

    def run_console(self, block: Block) -> None:
        steps = commands(block)
        script = ["set -u"]
        for number, step in enumerate(steps):
            script += [f"printf '\\n{_MARK}{number}\\n'", "{", step.text, "} 2>&1"]
            self.used(step.text)
        script.append(f'printf "\\n{_MARK}cwd %s" "$PWD"')
        done = subprocess.run(
            ["bash", "-c", "\n".join(script)],
            cwd=self.cwd,
            env=self.env,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            timeout=300,
        )
        parts = done.stdout.decode("utf-8", "replace").split(f"\n{_MARK}")
        if len(parts) != len(steps) + 2 or not parts[-1].startswith("cwd "):
            raise SampleError(f"{block.place}: the transcript did not run to its end:\n{done.stdout.decode()}")
        for step, part in zip(steps, parts[1:-1]):
            shown = part.split("\n", 1)[1] if "\n" in part else ""
            _compare(block, f"$ {step.text}", list(step.expected), shown.splitlines())
        self.cwd = Path(parts[-1][len("cwd ") :])

    def run_python(self, block: Block, output: Block | None = None) -> None:
        doctest = any(line.lstrip().startswith(">>> ") for line in block.text.splitlines())
        program = _DOCTEST_RUNNER if doctest else block.text
        done = subprocess.run(
            [sys.executable, "-c", program],
            input=block.text.encode() if doctest else None,
            cwd=self.cwd,
            env=self.env,
            stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT,
            timeout=300,
        )
        printed = done.stdout.decode("utf-8", "replace")
        if done.returncode != 0:
            raise SampleError(f"{block.place}: the sample failed (status {done.returncode}):\n{printed}")
        expected = output.text.splitlines() if output else []
        _compare(block, "the python sample", expected, printed.splitlines())

    def check_yaml(self, block: Block) -> None:
        import yaml

        import tamsel

        value = _parse(block, yaml.safe_load)
        keys = set(value) if isinstance(value, dict) else set()
        text = block.text + "\n"
        if isinstance(value, list) and value and all(isinstance(item, dict) and "id" in item for item in value):
            text = "version: 1\nrules:\n" + textwrap.indent(textwrap.dedent(text), "  ")
            keys = {"rules"}
        try:
            if keys & {"actions", "actor", "snapshot"}:
                tamsel.PyTamsel(text, "version: 1\nrules: []\n")
                self.schema = text
            elif "governance" in keys:
                tamsel.PyTamsel(self.schema, self.policy, text)
            elif "rules" in keys:
                tamsel.PyTamsel(self.schema, text)
                self.policy = text
        except ValueError as error:
            raise SampleError(f"{block.place}: the document does not build: {error}") from None

    def finish(self) -> None:
        if self.written:
            names = ", ".join(f"{name} ({block.place})" for name, block in self.written.items())
            raise SampleError(f"written for a command that never names it: {names}")


@dataclasses.dataclass
class Tally:
    """How many blocks of a page were run or checked, and how many are marked untested."""

    checked: int = 0
    untested: int = 0


def check_page(text: str, page: str, folder: Path) -> Tally:
    """Runs every sample of a page in a session in `folder`; raises SampleError at the first that differs."""
    stray = stray_samples(text)
    if stray:
        raise SampleError(f"{page}:{stray[0]}: a sample in an indented block, which nothing runs: fence it")
    session = Session(folder)
    tally = Tally()
    found = blocks(text, page)
    outputs = {id(after) for before, after in zip(found, found[1:]) if _is_output(before, after)}
    for index, block in enumerate(found):
        if block.untested:
            tally.untested += 1
        elif id(block) in outputs or (block.kind in PROSE_KINDS and not block.file_name):
            continue
        elif block.kind == "python" and not block.file_name:
            following = found[index + 1] if index + 1 < len(found) else None
            session.run_python(block, following if following and id(following) in outputs else None)
            tally.checked += 1
        else:
            session.run(block)
            tally.checked += 1
    session.finish()
    return tally


def _is_output(before: Block, after: Block) -> bool:
    return before.kind == "python" and after.kind == "text" and after.title == "output"


def _compare(block: Block, what: str, expected: list[str], actual: list[str]) -> None:
    if expected != actual:
        shown = "\n".join(f"  {line}" for line in expected)
        printed = "\n".join(f"  {line}" for line in actual)
        raise SampleError(f"{block.place}: {what}\nthe page shows:\n{shown}\nbut it printed:\n{printed}")


def _parse(block: Block, loads):
    try:
        return loads(block.text)
    except Exception as error:  # noqa: BLE001 - any parser's error is the sample's fault
        raise SampleError(f"{block.place}: the {block.kind} sample does not parse: {error}") from None


def _toml_loads(text: str):
    try:
        import tomllib
    except ImportError:  # before 3.11
        import tomli as tomllib
    return tomllib.loads(text)


# Runs the doctest read from standard input; prints its failures and fails with them.
_DOCTEST_RUNNER = textwrap.dedent(
    """\
    import doctest, sys
    test = doctest.DocTestParser().get_doctest(sys.stdin.read(), {}, "sample", "sample", 0)
    runner = doctest.DocTestRunner(optionflags=doctest.REPORT_NDIFF)
    runner.run(test)
    sys.exit(1 if runner.failures else 0)
    """
)
