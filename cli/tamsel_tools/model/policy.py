"""A policy built from the three documents: the engine, its compiled rules and their explanations."""

from __future__ import annotations

from dataclasses import replace
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, ClassVar, Dict, List, Mapping, Optional, Sequence, Tuple, Union, cast

import tamsel
from tamsel_tools import _inspect
from tamsel_tools.base.lines import Positions
from tamsel_tools.io.reading import FileRefused, Limits, read_bytes
from tamsel_tools.model.coverage import Coverage
from tamsel_tools.model.explanation import Decision, Explanation, explanation
from tamsel_tools.model.rules import Comparison, DocumentName, Literal, Rule, Scope, Subject, Violation

# The kinds whose position comes from the node at fault, not from the message.
_PLACED_BY_NOTES = frozenset(
    {
        "unknown_action",
        "invalid_scope",
        "unknown_domain",
        "unknown_field",
        "unknown_operator",
        "too_few_members",
        "type_mismatch",
        "operator_not_admitted",
        "governance_violation",
    }
)

if TYPE_CHECKING:
    # Untyped, and an optional extra: absent where it is not installed.
    import pyarrow  # type: ignore[import-untyped,import-not-found,unused-ignore]

    from tamsel_tools.model.property import Property, PropertyResult

# The solver's seconds for one command or call, when none are given: lint, diff and properties.
DEFAULT_TIMEOUT = 60.0

# Proves properties of a policy: the analysis's, from a layer above this one.
Prover = Callable[["Policy", Sequence["Property"], Optional[float]], List["PropertyResult"]]


class PolicyError(ValueError):
    """The documents do not build: the `ValueError` that `tamsel.PyTamsel` raises, with the
    document it concerns, the kind of error and its named operands, and where the fault stands
    (1-based): the node at fault for a compile error or governance violation, else the first
    position that the message gives. `violations` holds every governance violation, each located."""

    def __init__(
        self,
        document: DocumentName,
        message: str,
        line: Optional[int],
        column: Optional[int],
        *,
        kind: _inspect.ErrorKind,
        operands: Optional[Mapping[str, str]] = None,
        rule_index: Optional[int] = None,
        violations: Sequence[Violation] = (),
    ):
        super().__init__(message)
        self.document: DocumentName = document
        self.message = message
        self.line = line
        self.column = column
        self.kind: _inspect.ErrorKind = kind
        self.operands: Dict[str, str] = dict(operands or {})
        """Named values of the error, as its kind has them: "field", "domain", "operator", ..."""
        self.rule_index = rule_index
        """The policy rule at fault (its index in the policy's rules), when there is one."""
        self.violations: Tuple[Violation, ...] = tuple(violations)

    @classmethod
    def from_error(cls, error: _inspect.Error) -> PolicyError:
        """The error that the inspection module reports, as a value of the tools."""
        violations = [
            Violation(v["rule"], v["message"], v["document"], v["rule_index"], v["line"], v["column"])
            for v in error["violations"]
        ]
        return cls(
            error["document"],
            error["message"],
            error["line"],
            error["column"],
            kind=error["kind"],
            operands=error["operands"],
            rule_index=error["rule_index"],
            violations=violations,
        )

    @property
    def reason(self) -> str:
        """The message without its position: what goes after FILE:LINE:COLUMN. A YAML syntax
        error names the place of the fault and, after it, that of its context; the context's stays.
        Compile errors and violations name no place: their message is their reason, whatever it quotes."""
        if self.line is None or self.kind in _PLACED_BY_NOTES:
            return self.message
        position = f" at line {self.line} column {self.column}"
        if self.message.endswith(position):
            return self.message[: -len(position)]
        return self.message.replace(position, "", 1)


class InternalError(RuntimeError):
    """The tools' view of a policy disagrees with the engine: a fault of tamsel, never of the input."""


def _subject(data: _inspect.SubjectData) -> Subject:
    return Subject(data["domain"], data["field"])


def _comparison(member: int, data: _inspect.ComparisonData) -> Comparison:
    right = data["right"]
    side: Union[Literal, Subject]
    if "subject" in right:
        side = _subject(cast("_inspect.SubjectSide", right)["subject"])
    else:
        side = Literal(right["literal"])
    return Comparison(
        member, _subject(data["left"]), data["operator"], side, data["type"], data["line"], data["column"]
    )


def _moved(positions: Positions, line: int, column: int) -> Tuple[int, int]:
    moved = positions.editor(line, column)
    return (moved[0] or line, moved[1] or column)


def _comparison_at(positions: Positions, comparison: Comparison) -> Comparison:
    line, column = _moved(positions, comparison.line, comparison.column)
    return replace(comparison, line=line, column=column)


def _rule(data: _inspect.RuleData, positions: Optional[Positions] = None) -> Rule:
    """The rule, its places counted as an editor counts lines when `positions` translates them."""
    comparisons = tuple(_comparison(member, each) for member, each in enumerate(data["comparisons"]))
    scope = Scope(data["scope"], data["name"])
    index, line, column = data["index"], data["line"], data["column"]
    if positions is not None:
        line, column = _moved(positions, line, column)
        comparisons = tuple(_comparison_at(positions, each) for each in comparisons)
    return Rule(index, data["id"], scope, data["effect"], data["condition"], comparisons, line, column)


def _first_match(explained: Explanation) -> bool:
    """Whether the steps end at the deciding rule, every rule before it false."""
    steps = explained.steps
    if any(step.result for step in steps[:-1]):
        return False
    decider = steps[-1].rule.id if steps and steps[-1].result else None
    return decider == explained.decision.matched_rule


class Policy:
    """A policy as `tamsel.PyTamsel` builds it from the schema, policy and governance texts.

    Every decision it gives comes from the engine's `evaluate`; the rules, the canonical text
    and the explanations come from the same compilation, seen from inside.
    """

    prover: ClassVar[Prover]
    """How properties are proven: the analysis's `check_properties`. The analysis builds on this
    layer, so the package's root hands it in (tamsel_tools/__init__.py) before any use."""

    def __init__(self, schema_yaml: str, policy_yaml: str, governance_yaml: Optional[str] = None):
        """Builds the policy, or raises `PolicyError` saying which document failed and where."""
        compiled, error = _inspect.load(schema_yaml, policy_yaml, governance_yaml)
        if compiled is None:
            assert error is not None
            raise PolicyError.from_error(error)
        try:
            self.engine: tamsel.PyTamsel = tamsel.PyTamsel(schema_yaml, policy_yaml, governance_yaml)
        except ValueError as refused:
            raise InternalError(f"the engine refuses documents that compile: {refused}") from None
        self._compiled = compiled
        self.schema_yaml = schema_yaml
        """The schema's text, against which a property's condition is compiled."""
        self.policy_yaml = policy_yaml
        self.governance_yaml = governance_yaml
        """The other two texts, from which a replay's workers build the policy again."""
        self._texts = {"schema": schema_yaml, "policy": policy_yaml, "governance": governance_yaml or ""}
        positions = Positions(policy_yaml)
        self.rules: Tuple[Rule, ...] = tuple(_rule(data, positions) for data in compiled.rules())
        """Every rule of the policy document, in document order."""

    def skipped_keys(self) -> List[_inspect.SkippedKey]:
        """The keys the readers skipped in the documents, at their places as an editor counts lines."""
        positions = {document: Positions(text) for document, text in self._texts.items()}
        keys = self._compiled.skipped_keys()
        for key in keys:
            key["line"], key["column"] = _moved(positions[key["document"]], key["line"], key["column"])
        return keys

    @property
    def canonical_text(self) -> str:
        """The text whose UTF-8 bytes `policy_hash()` digests; made when asked, since it holds
        every id and literal of the policy again."""
        return self._compiled.canonical_text().decode("utf-8")

    @classmethod
    def from_files(
        cls,
        schema_path: Union[str, Path],
        policy_path: Union[str, Path],
        governance_path: Union[str, Path, None] = None,
        limits: Optional[Limits] = None,
    ) -> Policy:
        """The policy of three files, each read as UTF-8 exactly as it is (line ends included),
        regular files only and together within the documents' share of `limits.max_bytes`.

        Raises `OSError` or `UnicodeDecodeError` for a file that cannot be read (or is past the
        cap), `PolicyError` for documents that do not build."""
        paths: List[Union[str, Path, None]] = [schema_path, policy_path, governance_path]
        limits = limits or Limits()
        left = limits.documents_max_bytes

        def too_large(limit: int) -> str:
            return limits.documents_too_large(limit, "a policy's documents")

        texts: List[Optional[str]] = []
        for path in paths:
            if path is None:
                texts.append(None)
                continue
            try:
                data = read_bytes(str(path), left, too_large)
            except FileRefused as refused:
                if refused.error_number is not None:  # as open() says it: FileNotFoundError, ...
                    raise OSError(refused.error_number, refused.message, str(path)) from None
                raise OSError(f"{path}: {refused.message}") from None
            left -= len(data)
            texts.append(data.decode("utf-8"))
        schema, policy, governance = texts
        assert schema is not None and policy is not None
        return cls(schema, policy, governance)

    def policy_hash(self) -> str:
        """The engine's SHA-256 of the canonical text, 64 lower-case hexadecimal characters."""
        return self.engine.policy_hash()

    def evaluate(self, input: Any) -> Decision:
        """The engine's decision; `TypeError` (as `evaluate` raises it) for input it refuses."""
        result = self.engine.evaluate(input)
        return Decision(result["effect"], result["matched_rule"])

    def evaluate_batch(self, arrow_data: Any) -> pyarrow.Table:
        """The engine's decision of every record of Arrow data, as a pyarrow table with the
        columns effect, matched_rule and error (null where there is none), one row a record, in
        order; effect is dictionary-encoded.

        `arrow_data` is any object with `__arrow_c_stream__` or `__arrow_c_array__` (a pyarrow
        table or record batch, a polars frame, a DuckDB relation). Records are its rows, with
        struct columns action, actor and snapshot, or the values of its column input. Each
        outcome is that of `evaluate` on the record as pyarrow's `to_pylist()` gives it, null
        fields left out; the records that `evaluate` refuses get its `TypeError` text as their
        error. Raises `TypeError` for an object that is no Arrow data, `ValueError` for data that
        cannot be read so, `ImportError` without pyarrow."""
        try:
            import pyarrow  # type: ignore[import-untyped,import-not-found,unused-ignore]
        except ImportError:
            raise ImportError("Policy.evaluate_batch needs pyarrow: pip install 'tamsel[replay]'") from None
        return pyarrow.table(self._compiled.evaluate_arrow(arrow_data))

    def explain(self, input: Any) -> Explanation:
        """The engine's decision and how it was reached: the rule lists run, the rules visited and
        each comparison made, in order. Input is refused as `evaluate` refuses it."""
        decision = self.evaluate(input)
        explained = explanation(self.rules, self._compiled.explain(input))
        if explained.decision != decision or not _first_match(explained):
            raise InternalError(f"evaluate decided {decision}, the explanation {explained}")
        return explained

    def coverage(self) -> Coverage:
        """A new, empty coverage collector for this policy."""
        return Coverage(self.rules)

    def check_property(self, property: Property, timeout: float = DEFAULT_TIMEOUT) -> PropertyResult:
        """Proves the property for every input, or refutes it with one input (1-minimal, which
        the engine decides as `decision` says), or leaves it undecided when the solver does
        not settle it within `timeout` seconds. `PropertyError` for a property that does not
        fit the policy (an unknown rule id; a condition that does not compile: the engine's
        message); `AnalysisUnavailable` without z3."""
        return self.check_properties([property], timeout)[0]

    def check_properties(
        self, properties: Sequence[Property], timeout: float = DEFAULT_TIMEOUT
    ) -> List[PropertyResult]:
        """`check_property` for each, in order, within one budget of `timeout` seconds."""
        return type(self).prover(self, properties, timeout)
