"""The engine's own answers for the tools: a private extension module.

Built from the same core library as `tamsel`. Nothing here is public API: the
`tamsel_tools` package wraps it in typed values.
"""

from typing import Any, Dict, List, Literal, Optional, Tuple, TypedDict, Union, final

_Value = Union[str, float, bool]
_Domain = Literal["action", "actor", "snapshot"]

ErrorKind = Literal[
    # reading a document
    "yaml_syntax",  # libyaml refused the text
    "unknown_anchor",  # an alias names no anchor defined before it
    "recursion_limit",  # collections nested deeper than reading admits
    "repetition_limit",  # more alias expansion than reading admits
    "end_of_input",  # the text ends inside a value
    "further_document",  # a second YAML document follows the first
    "missing_field",  # operands: key
    "duplicate_field",  # operands: key
    "invalid_type",  # operands: found, expected
    "invalid_value",  # operands: found, expected
    "unknown_variant",  # operands: variant, expected
    "no_variant_matched",  # operands: type (ScopeAst, ConditionAst, Constraint, ...)
    "tagged_alternative",  # a tagged node where alternatives are read
    # compiling the policy
    "unknown_action",  # operands: action
    "invalid_scope",  # a global scope whose flag is false
    "unknown_domain",  # operands: domain
    "unknown_field",  # operands: domain, field
    "unknown_operator",  # operands: operator
    "too_few_members",  # operands: condition ("all" or "any"); fewer than two members
    "type_mismatch",  # operands: left_type, right_type (type words)
    "operator_not_admitted",  # operands: operator (the document's word), type (type word)
    # governance
    "governance_violation",  # operands: governance_rule, governance_message (the first violation's)
]

class Violation(TypedDict):
    """One broken governance rule, located at the policy rule that breaks it or, when no one
    rule does (too few rules selected), at the governance rule itself."""

    rule: str  # the governance rule's id
    message: str  # its "error" text as written (the ValueError shows it quoted)
    document: Literal["policy", "governance"]  # where line and column point
    rule_index: Optional[int]  # the violating policy rule's index; None when no one rule causes it
    line: Optional[int]  # 1-based
    column: Optional[int]

class Error(TypedDict):
    """Why construction failed: the document, the exact `ValueError` text of `PyTamsel`, the
    kind of error with its named operands, and where the fault stands.

    Reading errors carry an operand "path" (the message's prefix, such as "rules[2].when")
    when the message has one. Type words are "string", "number", "boolean".

    line and column (1-based) are those of the node at fault: for a compile error the
    subject (unknown field or domain), the comparison (unknown operator, type mismatch,
    operator not admitted), the scope (unknown action, invalid scope) or the `all`/`any`
    mapping (too few members); for a governance violation, the place of the first violation
    located in the policy (None when every violation points at the governance document;
    each violation says where it points). For a reading
    error, the first " at line L column C" of the message; a YAML syntax error may give a
    second one, its context's, after it. None when there is no position at all.

    rule_index is the policy rule at fault (its index in the policy's rules, from 0): the
    one that failed to compile, that of the violation that gives line and column, or the
    rule whose reading failed."""

    document: Literal["schema", "policy", "governance"]
    message: str
    kind: ErrorKind
    operands: Dict[str, str]
    rule_index: Optional[int]
    line: Optional[int]
    column: Optional[int]
    violations: List[Violation]  # every governance violation, in governance order; else empty

class SubjectData(TypedDict):
    domain: _Domain
    field: str

class LiteralSide(TypedDict):
    literal: _Value

class SubjectSide(TypedDict):
    subject: SubjectData

class ComparisonData(TypedDict):
    left: SubjectData
    operator: Literal["equals", "not_equals", "greater_than", "less_than"]
    right: Union[LiteralSide, SubjectSide]
    type: Literal["string", "number", "boolean"]
    line: int  # of the comparison's node in the policy text, 1-based
    column: int

class RuleData(TypedDict):
    index: int  # position in the policy document's rules, from 0
    id: str
    scope: Literal["action", "actor", "global"]
    name: Optional[str]  # the action or actor name; None for a global rule
    effect: Literal["allow", "block", "require_approval"]
    condition: Literal["atomic", "all", "any"]
    comparisons: List[ComparisonData]
    line: int  # of the rule's node in the policy text, 1-based
    column: int

class SkippedKey(TypedDict):
    """A mapping key that a reader skipped (unknown keys are ignored when read)."""

    document: Literal["schema", "policy", "governance"]
    key: str
    line: int
    column: int

class ComparisonTrace(TypedDict, total=False):
    member: int  # position in its condition, from 0
    result: bool
    reason: Optional[Literal["left missing", "right missing", "kinds differ"]]
    left: _Value  # absent when the left field is missing
    right: _Value  # absent when the right field is missing; a literal is always there

class StepTrace(TypedDict):
    list: Literal["action", "global"]
    index: int  # the rule's position in the policy document
    result: bool
    comparisons: List[ComparisonTrace]  # those made, in order; short-circuited ones are absent

class Trace(TypedDict):
    effect: Literal["allow", "block", "require_approval"]
    matched_rule: Optional[str]
    index: Optional[int]  # the deciding rule's position in the policy document
    action_type: Optional[str]  # the action's "type" when it is a text
    action_list: bool  # whether some rule is filed under that type
    steps: List[StepTrace]

@final
class DecisionColumns:
    """The decisions of every record of Arrow data, in record order, as Arrow data: one struct
    column a batch, with the fields effect (dictionary<int8, utf8>: "allow", "block",
    "require_approval"; null where the record has an error), matched_rule (utf8; null when no
    rule decided or on an error) and error (utf8: the `TypeError` text that `evaluate` raises for
    the record; null when it decides). Made by `Compiled.evaluate_arrow`; pyarrow imports it
    without a copy (`pyarrow.table(decisions)`), as often as asked."""

    def __arrow_c_stream__(self, requested_schema: object = None) -> object:
        """A capsule "arrow_array_stream" of the decisions; a requested schema is not followed."""
    def __len__(self) -> int:
        """The number of records."""

@final
class Compiled:
    """A policy compiled from the three texts, with what the tools ask of it."""

    def rules(self) -> List[RuleData]:
        """Every rule, in document order."""
    def canonical_text(self) -> bytes:
        """Exactly the bytes whose SHA-256 `PyTamsel.policy_hash()` gives."""
    def skipped_keys(self) -> List[SkippedKey]:
        """The keys the readers skipped in the three documents, in document order."""
    def explain(self, input: object) -> Trace:
        """One evaluation, step by step; the input is converted as `evaluate` converts it
        and refused with the same `TypeError` texts."""
    def evaluate_arrow(self, data: object) -> DecisionColumns:
        """The decision of every record of Arrow data: any object with `__arrow_c_stream__` or
        `__arrow_c_array__` (a pyarrow table, record batch or reader, a polars frame, a DuckDB
        relation), read through the Arrow C Data Interface in batches, with the interpreter lock
        released while each batch is evaluated.

        Records are the rows, with struct columns "action", "actor" and "snapshot"; or, when
        there is a column "input", its values. Each record's outcome is that of `evaluate` on
        the dict that pyarrow's `to_pylist()` makes of it, null fields left out: a missing or null
        domain is empty, a null record (or input) has no domains. `TypeError` for an object that
        is no Arrow data; `ValueError` for data that cannot be read so (records that are not
        structs, a field name twice in a domain, a type whose values have no fixed Python
        conversion such as extension types, month intervals or nanosecond times standing for a
        domain, data whose indices run past their bounds) or a stream that fails."""

def load(
    schema_yaml: str, policy_yaml: str, governance_yaml: Optional[str] = None
) -> Union[Tuple[Compiled, None], Tuple[None, Error]]:
    """The compiled policy, or the error that `PyTamsel` raises for these texts, as a value."""

def count_values(text: str, limit: int) -> Tuple[int, Optional[Tuple[int, int]]]:
    """The values (mappings, sequences, scalars, aliases) of the text's first YAML document,
    counted as the engine loads them and no further than `limit`: (count, None), or (limit,
    (line, column)) with the 1-based position of the first value beyond it."""

def read_json_lines(
    block: bytes, max_bytes: int, max_values: int, absent_hash: Optional[str] = None, size: Optional[int] = None
) -> Optional[Tuple[Any, Any, int, int, int]]:
    """The decision records of a block of whole JSON lines (its first `size` bytes, all by
    default), read exactly as `json.loads` reads
    each line: (schema capsule, array capsule, lines, odd times, bad outcomes), the capsules
    a record batch of `position`, `time`, `policy_hash`, `decision`, `error` and `input`;
    None where the block must be read line by line (a line Python reads otherwise or refuses,
    or a field with values of two kinds). Odd times are records whose time is neither a text
    nor null; bad outcomes, records with neither a text error nor a decision."""
