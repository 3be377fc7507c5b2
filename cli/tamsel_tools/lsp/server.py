"""The language server's state: the documents' builds, their diagnostics and lint.

Construction runs on the server's one thread, which stays free for requests: it takes
milliseconds, documents past the command's caps are not built, and a change is debounced.
Lint runs in a process of its own (`_worker`), ended by the next change of its documents;
the workspace's suites are read in one too (`suite_reader`), each once for each change.
"""

from __future__ import annotations

import asyncio
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple, TypeVar

from lsprotocol import types
from pygls.lsp.server import LanguageServer

import tamsel
from tamsel_tools.analysis.api import Finding
from tamsel_tools.base import strict_json
from tamsel_tools.base.lines import Positions
from tamsel_tools.diagnostics.help import Texts
from tamsel_tools.io.reading import Limits
from tamsel_tools.lsp import diagnostics as _diagnostics
from tamsel_tools.lsp import navigation
from tamsel_tools.lsp.diagnostics import EMPTY_POLICY, Note
from tamsel_tools.lsp.pairing import Pairing, Pairings, Problem
from tamsel_tools.lsp.processes import GRACE, ask
from tamsel_tools.lsp.properties import SuiteProperties
from tamsel_tools.lsp.store import Store, lines_of
from tamsel_tools.model import declared as _schema
from tamsel_tools.model.policy import _rule

DEBOUNCE = 0.06  # seconds between the last change and the diagnostics
CANCEL_WINDOW = 0.02  # seconds a request waits for its cancellation before it is answered
LINT_SECONDS = 30.0  # the solver's budget for one lint; what it leaves is undecided
MAX_DIAGNOSTICS = 100  # published for one document; a last one says how many more there are
T = TypeVar("T")


@dataclass
class Analysis:
    policy_text: str
    findings: Dict[int, str] = field(default_factory=dict)
    deciding: Dict[int, Any] = field(default_factory=dict)
    error: Optional[str] = None
    done: bool = False


@dataclass
class Build:
    pairing: Optional[Pairing]  # None for a schema that no policy goes with, checked alone
    paths: Dict[str, Path]  # the documents of the build by their role
    notes: Dict[str, List[Note]]  # by path
    lint_notes: List[Note] = field(default_factory=list)
    analysis: Optional[Analysis] = None


@dataclass
class Notes:
    """One build's documents by role, its notes by path, the compiled policy and the texts."""

    paths: Dict[str, Path]
    notes: Dict[str, List[Note]]
    compiled: Optional[Any]
    texts: Texts


class TamselServer(LanguageServer):
    def __init__(self, limits: Limits) -> None:
        super().__init__("tamsel", tamsel.PyTamsel.compiler_version())
        self.limits = limits
        self.store = Store()
        self.processes: Dict[int, asyncio.subprocess.Process] = {}  # lint, suites, suggestions: ended with it
        self.pairings = Pairings(self.store, limits=limits, processes=self.processes)
        self.builds: Dict[str, Build] = {}  # by the policy's path (or a lone schema's)
        self.pending: Dict[str, asyncio.Task[None]] = {}
        self.lints: Dict[str, asyncio.Task[None]] = {}
        self.published: Dict[str, bool] = {}  # uri: whether its last diagnostics were not empty
        self.debounce = DEBOUNCE
        self.lint_seconds = LINT_SECONDS
        self.suite_properties = SuiteProperties(self)  # the refuted properties of the suites
        self.reading: Optional["asyncio.Future[None]"] = None  # the first reading of the suites

    def shutdown(self) -> None:
        """No child process outlives the server."""
        for process in list(self.processes.values()):
            if process.returncode is None:
                process.kill()
        super().shutdown()  # type: ignore[no-untyped-call]

    # ------------------------------------------------------------ positions

    def _lines(self, path: Path) -> Sequence[str]:
        return lines_of(self.store.text(path) or "")

    def _client_position(self, lines: Sequence[str], line: int, column: int) -> types.Position:
        if line >= len(lines):
            return types.Position(line=max(len(lines) - 1, 0), character=0)
        text = lines[line]
        return types.Position(line=line, character=self.workspace.position_codec.client_num_units(text[:column]))

    def client_range(self, lines: Sequence[str], span: Tuple[int, int, int, int]) -> types.Range:
        return types.Range(
            start=self._client_position(lines, span[0], span[1]), end=self._client_position(lines, span[2], span[3])
        )

    def server_position(self, lines: Sequence[str], position: types.Position) -> Optional[Tuple[int, int]]:
        """The place in characters; None past the end of the document."""
        if position.line >= len(lines) or position.line < 0:
            return None
        text = lines[position.line]
        units = 0
        for index, char in enumerate(text):
            if units >= position.character:
                return position.line, index
            units += self.workspace.position_codec.client_num_units(char)
        return position.line, len(text)

    # ------------------------------------------------------------ builds

    def role_of(self, path: Path) -> Optional[str]:
        text = self.store.text(path)
        return None if text is None else self.pairings.role(path, text)

    def affected(self, path: Path) -> Dict[str, Optional[Pairing]]:
        """The builds that a change of the document redoes, by key: the policy's path with its
        pairing, or a lone schema's path with None. Every pairing is made anew."""
        keys: Dict[str, Optional[Pairing]] = {}
        for key, build in self.builds.items():
            if path in build.paths.values():
                keys[key] = None if build.pairing is None else self.pairings.pair(build.pairing.policy)[0]
        role = self.role_of(path)
        if role == "policy":
            keys[str(path)] = self.pairings.pair(path)[0]
        elif role in ("schema", "governance"):
            pairings = self.pairings.policies_of(path, role)
            for pairing in pairings:
                keys[str(pairing.policy)] = pairing
            if role == "schema" and not pairings:
                keys[str(path)] = None
            elif role == "schema":
                keys.pop(str(path), None)
                self._drop(str(path))
        return keys

    def _drop(self, key: str) -> None:
        """A build no longer wanted: its lint ends and its documents are published without it."""
        self._cancel_lint(key)
        build = self.builds.pop(key, None)
        for each in build.paths.values() if build is not None else ():
            self.publish(each)

    def notes_of(self, key: str, pairing: Optional[Pairing]) -> "Notes":
        """Construction's notes for one build, by path."""
        if pairing is None:
            return self._lone_schema(Path(key))
        policy = self.store.text(pairing.policy)
        if policy is None:
            return Notes({"policy": pairing.policy}, {str(pairing.policy): []}, None, Texts("", ""))
        if pairing.schema is None:
            message = (
                "no schema goes with this policy: name it in a project file ([tool.tamsel] in "
                "pyproject.toml, or tamsel.toml), in a suite, or put schema.yaml beside it"
            )
            problem = _diagnostics.missing("policy", policy, message)
            return Notes({"policy": pairing.policy}, {str(pairing.policy): [problem]}, None, Texts("", policy))
        return self._paired(pairing, pairing.schema, policy)

    def _lone_schema(self, path: Path) -> "Notes":
        texts = Texts(self.store.text(path) or "", EMPTY_POLICY, None)
        built = _diagnostics.build(texts, self.limits)
        return Notes({"schema": path}, {str(path): built.notes.get("schema", [])}, None, texts)

    def _paired(self, pairing: Pairing, schema_path: Path, policy: str) -> "Notes":
        paths: Dict[str, Path] = {"policy": pairing.policy, "schema": schema_path}
        problems: List[Note] = []
        schema = self.store.text(schema_path)
        governance: Optional[str] = None
        if pairing.governance is not None:
            paths["governance"] = pairing.governance
            governance = self.store.text(pairing.governance)
            if governance is None:
                problems.append(
                    _diagnostics.missing(
                        "policy", policy, f"the governance document {pairing.governance} ({pairing.by}) cannot be read"
                    )
                )
        if schema is None:
            problems.append(
                _diagnostics.missing("policy", policy, f"the schema {schema_path} ({pairing.by}) cannot be read")
            )
            return Notes(paths, {str(pairing.policy): problems}, None, Texts("", policy))
        texts = Texts(schema, policy, governance)
        built = _diagnostics.build(texts, self.limits)
        notes: Dict[str, List[Note]] = {str(each): [] for each in paths.values()}
        notes[str(pairing.policy)].extend(problems)
        for document, each in built.notes.items():
            if document in paths:
                notes[str(paths[document])].extend(each)
        return Notes(paths, notes, built.compiled, texts)

    def refresh(self, path: Path) -> None:
        """Redoes every build that the document takes part in, and publishes their diagnostics;
        a suite's properties are checked again when its file changed."""
        self.suite_properties.refresh(path)
        touched: set[str] = {str(path)}
        for key, pairing in self.affected(path).items():
            old = self.builds.get(key)
            if old is not None:
                touched.update(str(each) for each in old.paths.values())
            self._cancel_lint(key)
            made = self.notes_of(key, pairing)
            problem = self.pairings.project_problem(pairing.policy) if pairing is not None else None
            if problem is not None and pairing is not None:
                made.notes.setdefault(str(pairing.policy), []).append(self._problem_note(problem, made.texts.policy))
            build = Build(pairing, made.paths, made.notes)
            self.builds[key] = build
            touched.update(made.notes)
            if made.compiled is not None and pairing is not None:
                build.analysis = Analysis(made.texts.policy)
                self.lints[key] = asyncio.ensure_future(self._lint(key, build, made.compiled, made.texts))
        for each in sorted(touched):
            self.publish(Path(each))

    def _problem_note(self, problem: Problem, policy: str) -> Note:
        where = "" if problem.line is None else f":{problem.line}:{problem.column}"
        return _diagnostics.missing("policy", policy, f"project file {problem.path}{where}: {problem.message}")

    def forget(self, path: Path) -> None:
        """A closed policy's build goes, as do a closed suite's properties; its documents are published anew."""
        self.suite_properties.forget(path)
        self._drop(str(path))
        self.publish(path)

    def publish(self, path: Path) -> None:
        """The document's diagnostics from every build it takes part in, each note once."""
        notes: Dict[Note, Dict[str, Path]] = {}  # with the documents of its build
        for build in self.builds.values():
            for note in build.notes.get(str(path), []):
                notes.setdefault(note, build.paths)
            if build.pairing is not None and build.pairing.policy == path:
                for note in build.lint_notes:
                    notes.setdefault(note, build.paths)
        for note in self.suite_properties.notes(path):
            notes.setdefault(note, {})
        uri = self.store.uri(path)
        if not notes and not self.published.get(uri):
            return
        lines = self._lines(path)
        shown = list(notes.items())[:MAX_DIAGNOSTICS]
        diagnostics = [self._diagnostic(note, lines, paths) for note, paths in shown]
        if len(notes) > len(shown):
            diagnostics.append(self._left_out(len(notes) - len(shown), diagnostics[-1]))
        self.text_document_publish_diagnostics(types.PublishDiagnosticsParams(uri=uri, diagnostics=diagnostics))
        self.published[uri] = bool(diagnostics)

    def _left_out(self, count: int, last: types.Diagnostic) -> types.Diagnostic:
        return types.Diagnostic(
            range=last.range,
            message=f"{count} more diagnostics of this document are left out",
            severity=types.DiagnosticSeverity.Information,
            code="left_out",
            source=_diagnostics.SOURCE,
        )

    def _diagnostic(self, note: Note, lines: Sequence[str], paths: Dict[str, Path]) -> types.Diagnostic:
        related = []
        for place, message in note.related:
            where = paths.get(place.document)
            if where is not None:
                span = (place.line, place.column, place.end_line, place.end_column)
                location = types.Location(uri=self.store.uri(where), range=self.client_range(self._lines(where), span))
                related.append(types.DiagnosticRelatedInformation(location=location, message=message))
        span = (note.place.line, note.place.column, note.place.end_line, note.place.end_column)
        return types.Diagnostic(
            range=self.client_range(lines, span),
            message=note.message,
            severity=types.DiagnosticSeverity(note.severity),
            code=note.code,
            source=_diagnostics.SOURCE,
            related_information=related or None,
        )

    # ------------------------------------------------------------ lint

    def _cancel_lint(self, key: str) -> None:
        task = self.lints.pop(key, None)
        if task is not None:
            task.cancel()

    async def _lint(self, key: str, build: Build, compiled: Any, texts: Texts) -> None:
        request = {
            "schema": texts.schema,
            "policy": texts.policy,
            "governance": texts.governance,
            "seconds": self.lint_seconds,
        }
        assert build.analysis is not None
        try:
            answer = await ask("tamsel_tools.lsp.worker", request, self.lint_seconds + GRACE, self.processes)
        except asyncio.TimeoutError:
            answer = {
                "error": f"lint did not finish within {self.lint_seconds:g} seconds: "
                "whether a rule can decide is undecided"
            }
        except ValueError:
            answer = {"error": "the analysis gave no answer"}
        if self.builds.get(key) is not build:
            return
        self._take_analysis(build, compiled, answer)
        self.publish(Path(key))

    def _take_analysis(self, build: Build, compiled: Any, answer: Dict[str, Any]) -> None:
        analysis = build.analysis
        assert analysis is not None
        analysis.done = True
        if "error" in answer:
            analysis.error = str(answer["error"])
            return
        policy_text = analysis.policy_text
        # The worker's places, and so these, count lines as an editor does.
        positions = Positions(policy_text)
        rules = [_rule(data, positions) for data in compiled.rules()]
        for data in answer.get("findings", []):
            finding = Finding.from_json(data)
            message = finding.reason(rules)
            analysis.findings[finding.index] = message
            place = _diagnostics.place_at("policy", policy_text, finding.line, finding.column, reader=False)
            related = tuple(
                (
                    _diagnostics.place_at("policy", policy_text, rules[index].line, rules[index].column, reader=False),
                    f"rule '{rules[index].id}' (index {index}) decides first",
                )
                for index in finding.by
            )
            build.lint_notes.append(Note(place, _diagnostics.WARNING, finding.kind, message, related))
        analysis.deciding = {int(index): value for index, value in answer.get("deciding", {}).items()}
        for index in answer.get("undecided", []):
            rule = rules[index]
            message = (
                f"whether rule '{rule.id}' can decide was not settled within lint's budget of "
                f"{self.lint_seconds:g} seconds"
            )
            analysis.findings[index] = message
            place = _diagnostics.place_at("policy", policy_text, rule.line, rule.column, reader=False)
            build.lint_notes.append(Note(place, _diagnostics.INFORMATION, "undecided", message))

    def decides(self, path: Path, text: str) -> Callable[[int], str]:
        build = self.builds.get(str(path))

        def say(index: int) -> str:
            analysis = build.analysis if build is not None else None
            if analysis is None or analysis.policy_text != text:
                return "whether it can decide: shown once the documents build"
            if not analysis.done:
                return "whether it can decide: the analysis is running"
            if analysis.error is not None:
                return f"whether it can decide: {analysis.error}"
            if index in analysis.findings:
                return analysis.findings[index]
            if index in analysis.deciding:
                example = strict_json.dumps(analysis.deciding[index], ensure_ascii=False)
                return f"it decides, for example, the input `{example}` (checked with the engine)"
            return "whether it can decide: not known"

        return say

    # ------------------------------------------------------------ scheduling

    def schedule(self, path: Path) -> None:
        self.pairings.changed(path)
        key = str(path)
        task = self.pending.pop(key, None)
        if task is not None:
            task.cancel()
        self.pending[key] = asyncio.ensure_future(self._later(path))

    async def _later(self, path: Path) -> None:
        await asyncio.sleep(self.debounce)
        # Every suite read as it stands before pairing: the pairing does not depend on how
        # long reading takes. A later change waits for the same reading rather than ending it.
        await asyncio.shield(self.pairings.ready())
        self.pending.pop(str(path), None)
        self.guarded(lambda: self.refresh(path), None)

    def guarded(self, work: Callable[[], T], default: T) -> T:
        """The work's answer; on any fault the default, and the fault in the client's log."""
        try:
            return work()
        except Exception as error:  # noqa: BLE001 - the server never dies on a document
            self.window_log_message(
                types.LogMessageParams(type=types.MessageType.Error, message=f"tamsel: {type(error).__name__}: {error}")
            )
            return default

    def schema_of(self, path: Path, role: str) -> Tuple[Optional[Path], _schema.Schema, List[str]]:
        """The schema that goes with a policy or governance document, and the policy's rule ids."""
        if role == "policy":
            pairing = self.pairings.pair(path)[0]
        else:
            pairings = self.pairings.policies_of(path, role)
            schema = path.parent / "schema.yaml"
            pairing = pairings[0] if pairings else Pairing(path, schema if schema.is_file() else None, path, "folder")
        schema_text = self.store.text(pairing.schema) if pairing.schema is not None else None
        ids: List[str] = []
        if role == "governance" and pairing.policy != path:
            policy_text = self.store.text(pairing.policy) or ""
            ids = [symbol.name for symbol in navigation.rules(lines_of(policy_text), "policy")]
        return pairing.schema, _schema.read(schema_text or "", self.limits) or _schema.Schema(), ids
