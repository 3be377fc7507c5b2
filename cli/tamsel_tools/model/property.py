"""Properties: claims over every input of a scope, each proven or refuted by one input.

A property says that every input whose action type is `action` (every input at
all without one) and that meets `when` is decided as `expect` says: with one of
some effects, with none of them, or by one of some rules. It holds when the
solver proves that no input refutes it; else one refuting input is shown, made
1-minimal and evaluated with the engine first; a question the solver does not
settle within its budget leaves the property undecided, never holding.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, List, Optional, Sequence, Tuple
from typing import Literal as TypingLiteral

from tamsel_tools.base.echo import represented
from tamsel_tools.base.nodes import Key
from tamsel_tools.model.explanation import Decision
from tamsel_tools.model.rules import DEFAULT_EFFECT, EFFECTS, Rule, Value

ExpectKind = TypingLiteral["effect", "not_effect", "matched_rule"]
Verdict = TypingLiteral["holds", "refuted", "undecided"]
Input = Dict[str, Dict[str, Value]]

EXPECT_KINDS: Tuple[ExpectKind, ...] = ("effect", "not_effect", "matched_rule")
PROPERTY_KEYS = ("name", "expect", "action", "when")


class PropertyError(ValueError):
    """A property that cannot be checked: what is wrong, and the path to the value at
    fault inside the property (keys and list indices); for an unknown key, the key."""

    def __init__(self, message: str, path: Tuple[Key, ...] = (), key: Optional[Key] = None):
        super().__init__(f"{render_path(path)}: {message}" if path else message)
        self.message = message
        self.path = path
        self.key = key


def render_path(path: Tuple[Key, ...]) -> str:
    """("expect", "effect", 1) as expect.effect[1]."""
    text = ""
    for key in path:
        text += f"[{key}]" if isinstance(key, int) else (f".{key}" if text else str(key))
    return text


@dataclass(frozen=True)
class Property:
    """Every input of the scope that meets `when` is decided as `expect` and `values` say.

    `action`: the inputs whose action type is this action; None for every input (any type,
    or none). `when`: a condition in the policy's own syntax (atomic, in its mapping or
    list form, or `all`/`any`), as JSON-like data, compiled as a rule's condition in a rule
    of that scope; None for every input of the scope. `expect`: "effect" (decided with one
    of the effects in `values`), "not_effect" (with none of them) or "matched_rule" (by a
    rule whose id is in `values`; None in `values` stands for the default decision).
    """

    name: str
    expect: ExpectKind
    values: Tuple[Optional[str], ...]
    action: Optional[str] = None
    when: Any = None

    @classmethod
    def from_json(cls, data: Any) -> Property:
        """The property as a suite writes it:
        {"name": ..., "action": ..., "when": ..., "expect": {"effect": E}}; `PropertyError` else."""
        return read_property(data)

    def to_json(self) -> Dict[str, Any]:
        data: Dict[str, Any] = {"name": self.name}
        if self.action is not None:
            data["action"] = self.action
        if self.when is not None:
            data["when"] = self.when
        data["expect"] = {self.expect: list(self.values)}
        return data

    def allows(self, decision: Decision) -> bool:
        """Whether a decision meets the expectation."""
        if self.expect == "effect":
            return decision.effect in self.values
        if self.expect == "not_effect":
            return decision.effect not in self.values
        return decision.matched_rule in self.values


@dataclass(frozen=True)
class PropertyResult:
    """The answer for one property: it holds (proven for every input), it is refuted (by
    `input`, which the engine decides as `decision`), or it is undecided (the solver did not
    settle it within its budget)."""

    property: Property
    verdict: Verdict
    input: Optional[Input] = None
    decision: Optional[Decision] = None

    def to_json(self) -> Dict[str, Any]:
        data: Dict[str, Any] = {"name": self.property.name, "verdict": self.verdict}
        if self.input is not None and self.decision is not None:
            data["input"] = self.input
            data["decision"] = {"effect": self.decision.effect, "matched_rule": self.decision.matched_rule}
        return data


# ---------------------------------------------------------------- reading


def read_property(data: Any) -> Property:
    """A property from JSON-like data, checked for form; PropertyError with the path else."""
    if not isinstance(data, dict):
        raise PropertyError(f"expected a mapping with keys {', '.join(PROPERTY_KEYS)}")
    for key in data:
        if key not in PROPERTY_KEYS:
            raise PropertyError(f"unknown key {represented(key)}", (), key)
    for key in ("name", "expect"):
        if key not in data:
            raise PropertyError(f"missing key '{key}'")
    name = _text(data["name"], ("name",))
    action = _text(data["action"], ("action",)) if "action" in data else None
    kind, values = _expectation(data["expect"])
    return Property(name, kind, values, action, data.get("when"))


def _text(value: Any, path: Tuple[Key, ...]) -> str:
    if not isinstance(value, str):
        raise PropertyError("expected a string", path)
    return value


def _expectation(value: Any) -> Tuple[ExpectKind, Tuple[Optional[str], ...]]:
    path: Tuple[Key, ...] = ("expect",)
    one_of = ", ".join(EXPECT_KINDS)
    if not isinstance(value, dict):
        raise PropertyError(f"expected a mapping with one of the keys {one_of}", path)
    for key in value:
        if key not in EXPECT_KINDS:
            raise PropertyError(f"unknown key {represented(key)}", path, key)
    if len(value) != 1:
        raise PropertyError(f"expected exactly one of the keys {one_of}", path)
    ((kind, given),) = value.items()
    items = given if isinstance(given, list) else [given]
    if not items:
        raise PropertyError("expected at least one value, not an empty list", (*path, kind))
    values = tuple(_item(kind, item, (*path, kind, index) if isinstance(given, list) else (*path, kind))
                   for index, item in enumerate(items))  # fmt: skip
    return kind, values


def _item(kind: ExpectKind, item: Any, path: Tuple[Key, ...]) -> Optional[str]:
    if kind == "matched_rule":
        if item is not None and not isinstance(item, str):
            raise PropertyError("expected a rule id or null (the default decision)", path)
        return item  # checked against the policy's ids once the policy is known
    if not isinstance(item, str):
        raise PropertyError(f"expected an effect: {', '.join(EFFECTS)}", path)
    if item not in EFFECTS:
        raise PropertyError(f"unknown effect {represented(item)}, expected one of {', '.join(EFFECTS)}", path)
    return item


def check_rule_ids(property: Property, rules: Sequence[Rule], listed: bool = True) -> None:
    """PropertyError for an expected rule id that no rule of the policy has; `listed`: the
    ids were written as a list (so the path ends with the item's index)."""
    if property.expect != "matched_rule":
        return
    ids = {rule.id for rule in rules}
    for index, value in enumerate(property.values):
        if value is not None and value not in ids:
            path: Tuple[Key, ...] = ("expect", "matched_rule", *((index,) if listed else ()))
            raise PropertyError(f"unknown rule {represented(value)}: no rule of the policy has this id", path)


def expected_deciders(property: Property, rules: Sequence[Rule]) -> List[Optional[int]]:
    """The document indices of the rules whose deciding meets the expectation, and None
    when the default decision does; actor rules never decide, so they are left out."""
    wanted = set(property.values)
    by_id = property.expect == "matched_rule"
    keep = property.expect != "not_effect"  # whether a decider named in `values` meets it
    deciders: List[Optional[int]] = [
        rule.index for rule in rules if rule.can_decide and ((rule.id if by_id else rule.effect) in wanted) == keep
    ]
    if ((None if by_id else DEFAULT_EFFECT) in wanted) == keep:
        deciders.append(None)
    return deciders
