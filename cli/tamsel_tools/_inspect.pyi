"""The engine's own answers for the tools: a private extension module.

Built from the same core library as `tamsel`. Nothing here is public API: the
`tamsel_tools` package wraps it in typed values.
"""

from typing import List, Literal, Optional, Tuple, TypedDict, Union, final

_Value = Union[str, float, bool]
_Domain = Literal["action", "actor", "snapshot"]

class Error(TypedDict):
    """Why construction failed: the document, the exact `ValueError` text of `PyTamsel`,
    and the first " at line L column C" of the message as numbers (None when it has none).

    For most messages that position ends the message; a YAML syntax error may give a
    second one, its context's, after it (`... at line 5 column 3, while parsing a
    block mapping at line 2 column 1`): then line and column are the first, the fault's."""

    document: Literal["schema", "policy", "governance"]
    message: str
    line: Optional[int]
    column: Optional[int]

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

def load(
    schema_yaml: str, policy_yaml: str, governance_yaml: Optional[str] = None
) -> Union[Tuple[Compiled, None], Tuple[None, Error]]:
    """The compiled policy, or the error that `PyTamsel` raises for these texts, as a value."""
