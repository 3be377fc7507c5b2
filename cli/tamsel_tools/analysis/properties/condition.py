"""A property's condition, compiled exactly as the engine compiles a rule's.

The condition is written into a one-rule policy, each of its values on a line of
its own, and that policy is built against the suite's schema. The engine's
answer is then either the compiled rule or its error, whose line tells which of
the condition's values is at fault. The engine itself is not changed for this.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import List, Optional, Tuple

from tamsel_tools import _inspect
from tamsel_tools.base.nodes import Node, quoted
from tamsel_tools.model.policy import PolicyError, _rule
from tamsel_tools.model.rules import Rule

# The rule's id; the engine's paths name it "rules[0]".
RULE_ID = "property"
_RULE_PATH = "rules[0]"


class ConditionError(Exception):
    """The engine refuses the condition or the scope: its message, with the path
    that leads to it in the property, and the node at fault."""

    def __init__(self, message: str, node: Optional[Node]):
        super().__init__(message)
        self.message = message
        self.node = node


@dataclass(frozen=True)
class Synthetic:
    """The one-rule policy and, for each of its lines (from 1), the node it stands for."""

    text: str
    nodes: Tuple[Optional[Node], ...]


def synthetic(action: Optional[str], when: Node, action_node: Optional[Node] = None) -> Synthetic:
    """The policy whose one rule has the property's scope, its condition and effect block."""
    scope = "{global: true}" if action is None else "{action: " + quoted(action) + "}"
    lines: List[Tuple[str, Optional[Node]]] = [
        ("version: 1", None),
        ("rules:", None),
        (f"  - id: {RULE_ID}", when),  # the rule's own errors are about its condition
        (f"    scope: {scope}", action_node),
        ("    when:", when),
    ]
    _emit(when, 6, lines)
    lines.append(("    effect: block", when))
    return Synthetic("".join(text + "\n" for text, _ in lines), (None, *[node for _, node in lines]))


def _emit(node: Node, indent: int, lines: List[Tuple[str, Optional[Node]]]) -> None:
    """The node in block style, every value beginning a line of its own."""
    pad = " " * indent
    if node.kind == "scalar":
        lines.append((pad + node.token, node))
    elif node.kind == "sequence" and not node.items:
        lines.append((pad + "[]", node))
    elif node.kind == "mapping" and not node.pairs:
        lines.append((pad + "{}", node))
    elif node.kind == "sequence":
        for item in node.items:
            lines.append((pad + "-", node))
            _emit(item, indent + 2, lines)
    else:
        for key, value in node.pairs:
            if key.kind == "scalar" and len(key.token) < 256:
                lines.append((pad + key.token + ":", node))
            else:  # an implicit key is one short line
                lines.append((pad + "?", node))
                _emit(key, indent + 2, lines)
                lines.append((pad + ":", node))
            _emit(value, indent + 2, lines)


@dataclass(frozen=True)
class Condition:
    """A property's scope and condition as the engine compiled them."""

    action: Optional[str]
    rule: Optional[Rule]  # the one rule of `policy_yaml`; None without a condition
    policy_yaml: Optional[str]  # a policy whose one rule, of effect block, is the condition


def compile_condition(
    schema_yaml: str, action: Optional[str], when: Optional[Node], action_node: Optional[Node] = None
) -> Condition:
    """The property's scope and condition compiled; ConditionError when the engine refuses
    them, its message's path leading from the property."""
    if when is None:
        _check_scope(schema_yaml, action, action_node)
        return Condition(action, None, None)
    policy = synthetic(action, when, action_node)
    compiled, error = _inspect.load(schema_yaml, policy.text)
    if compiled is not None:
        return Condition(action, _rule(compiled.rules()[0]), policy.text)
    assert error is not None
    raise _refused(PolicyError.from_error(error), policy, when, action_node)


# A condition that the engine reads but does not compile: its error is a scope's when the scope is wrong.
_NO_MEMBERS = Node("mapping", pairs=[(Node("scalar", token="all", text="all"), Node("sequence"))])
_SCOPE_KINDS = ("unknown_action", "invalid_scope")


def _check_scope(schema_yaml: str, action: Optional[str], action_node: Optional[Node]) -> None:
    """ConditionError when the schema has no such action."""
    if action is None:
        return
    policy = synthetic(action, _NO_MEMBERS, action_node)
    _, error = _inspect.load(schema_yaml, policy.text)
    assert error is not None
    refused = PolicyError.from_error(error)
    if refused.kind in _SCOPE_KINDS or refused.document != "policy":
        raise _refused(refused, policy, action_node or _NO_MEMBERS, action_node)


def _refused(error: PolicyError, policy: Synthetic, when: Node, action_node: Optional[Node]) -> ConditionError:
    """The engine's error as the property's: its path from the property, at its node."""
    if error.document != "policy":
        return ConditionError(f"the schema does not build: {error.message}", when)
    if error.kind in _SCOPE_KINDS:
        return ConditionError(f"action: {error.reason}", action_node or when)
    line = error.line
    node = policy.nodes[line] if line is not None and 0 < line < len(policy.nodes) else None
    path = error.operands.get("path")
    reason = error.reason
    if path is not None and reason.startswith(f"{path}: "):
        # A reading error: its path leads from the rule, whose keys the property shares.
        inside = path[len(_RULE_PATH) :].lstrip(".")
        where = inside if inside.startswith("when") else "when"
        return ConditionError(f"{where}: {reason[len(path) + 2 :]}", node or when)
    return ConditionError(f"when: {reason}", node or when)
