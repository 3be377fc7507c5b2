"""A property's condition, compiled exactly as the engine compiles a rule's.

The condition is written into a one-rule policy, each of its values on a line of
its own, and that policy is built against the suite's schema. The engine's
answer is then either the compiled rule or its error, whose line tells which of
the condition's values is at fault. The engine itself is not changed for this.

A suite's properties are compiled together (`compile_conditions`): one policy
holds every condition as a rule, so that the schema is read once however many
properties there are. When the engine refuses it, the rule at fault names the
property, which is then compiled alone, so that its error reads exactly as before.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Dict, Iterable, List, Optional, Sequence, Tuple

from tamsel_tools import _inspect
from tamsel_tools.base.nodes import Node, quoted
from tamsel_tools.model.policy import InternalError, PolicyError, _rule
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
        # The engine's error and the one-rule policy it is about, for the help a rule's gets.
        self.refused: Optional[PolicyError] = None
        self.policy_yaml = ""


@dataclass(frozen=True)
class Synthetic:
    """The one-rule policy and, for each of its lines (from 1), the node it stands for."""

    text: str
    nodes: Tuple[Optional[Node], ...]


def synthetic(action: Optional[str], when: Node, action_node: Optional[Node] = None) -> Synthetic:
    """The policy whose one rule has the property's scope, its condition and effect block."""
    lines: List[Tuple[str, Optional[Node]]] = [("version: 1", None), ("rules:", None)]
    _rule_lines(action, when, action_node, lines)
    return Synthetic("".join(text + "\n" for text, _ in lines), (None, *[node for _, node in lines]))


def scope_text(action: Optional[str]) -> str:
    return "{global: true}" if action is None else "{action: " + quoted(action) + "}"


def _rule_lines(
    action: Optional[str], when: Node, action_node: Optional[Node], lines: List[Tuple[str, Optional[Node]]]
) -> None:
    lines.append((f"  - id: {RULE_ID}", when))  # the rule's own errors are about its condition
    lines.append((f"    scope: {scope_text(action)}", action_node))
    lines.append(("    when:", when))
    _emit(when, 6, lines)
    lines.append(("    effect: block", when))


def condition_yaml(when: Node) -> str:
    """The condition in block style, indented as a rule's `when` in a policy."""
    lines: List[Tuple[str, Optional[Node]]] = []
    _emit(when, 6, lines)
    return "".join(text + "\n" for text, _ in lines)


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
    rule: Optional[Rule]  # the condition as a rule of that scope; None without a condition
    when_yaml: Optional[str]  # the condition as a rule's `when` (`condition_yaml`); None without one

    @property
    def policy_yaml(self) -> Optional[str]:
        """A policy whose one rule, of effect block, is the condition."""
        if self.when_yaml is None:
            return None
        head = f"version: 1\nrules:\n  - id: {RULE_ID}\n    scope: {scope_text(self.action)}\n    when:\n"
        return head + self.when_yaml + "    effect: block\n"


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
        return Condition(action, _rule(compiled.rules()[0]), condition_yaml(when))
    assert error is not None
    refused = PolicyError.from_error(error)
    found = _refused(refused, policy, when, action_node)
    found.refused, found.policy_yaml = refused, policy.text
    raise found


Item = Tuple[Optional[str], Optional[Node], Optional[Node]]  # a property's action, condition and action's node


@dataclass(frozen=True)
class Compiled:
    """The conditions of the properties before the first that the engine refuses, and its error
    (at the position len(conditions)); None when every one compiles."""

    conditions: List[Condition]
    refused: Optional[ConditionError]


def compile_conditions(schema_yaml: str, items: Sequence[Item], actions: Iterable[str] = ()) -> Compiled:
    """Each property's scope and condition compiled, in order, as `compile_condition` compiles
    them, with the schema read once for all; `actions`: names the schema is known to declare."""
    ruled = [position for position, (_, when, _) in enumerate(items) if when is not None]
    yamls = {position: condition_yaml(when) for position, (_, when, _) in enumerate(items) if when is not None}
    rules, first = _batch(schema_yaml, items, ruled, yamls)
    known = set(actions) | {rule.scope.name for rule in rules.values() if rule.scope.name is not None}
    checked: Dict[str, Optional[ConditionError]] = {}
    conditions: List[Condition] = []
    for position, (action, when, action_node) in enumerate(items):
        if position == first:
            return Compiled(conditions, _alone(schema_yaml, action, when, action_node))
        if when is not None:
            conditions.append(Condition(action, rules[position], yamls[position]))
            continue
        if action is not None and action not in known:
            if action not in checked:  # the schema read once an unknown name
                checked[action] = _scope_error(schema_yaml, action, action_node)
            refused = checked[action]
            if refused is not None:  # the first property that names it: the run ends here
                return Compiled(conditions, refused)
        conditions.append(Condition(action, None, None))
    return Compiled(conditions, None)


def declared_actions(rules: Iterable[Rule]) -> List[str]:
    """The actions that the rules' scopes name: the schema they compiled against declares them."""
    return [rule.scope.name for rule in rules if rule.scope.kind == "action" and rule.scope.name is not None]


def _scope_error(schema_yaml: str, action: str, action_node: Optional[Node]) -> Optional[ConditionError]:
    try:
        _check_scope(schema_yaml, action, action_node)
    except ConditionError as error:
        return error
    return None


def _alone(schema_yaml: str, action: Optional[str], when: Optional[Node], node: Optional[Node]) -> ConditionError:
    """The error of the property that the engine refused among the others, compiled alone."""
    try:
        compile_condition(schema_yaml, action, when, node)
    except ConditionError as error:
        return error
    raise InternalError("a property's condition compiles alone but not among the suite's others")


def _batch(
    schema_yaml: str, items: Sequence[Item], ruled: List[int], yamls: Dict[int, str]
) -> Tuple[Dict[int, Rule], Optional[int]]:
    """The rules of the properties with a condition, by position, up to the first the engine
    refuses, and that one's position (None when all compile). A document is read whole before
    any rule is compiled, so the rule at fault is the first only once those before it compile."""
    end, first = len(ruled), None
    while end > 0:
        text, owners = _policy_of(items, ruled[:end], yamls)
        compiled, error = _inspect.load(schema_yaml, text)
        if compiled is not None:
            return {ruled[k]: _rule(data) for k, data in enumerate(compiled.rules())}, first
        assert error is not None
        at = _owner(error, owners)
        if at is None or at >= end:  # nothing names the property: each compiled alone, in order
            rules = _one_by_one(schema_yaml, items, ruled[:end])
            return rules, ruled[len(rules)] if len(rules) < end else first
        end, first = at, ruled[at]
    return {}, first


def _one_by_one(schema_yaml: str, items: Sequence[Item], ruled: List[int]) -> Dict[int, Rule]:
    rules: Dict[int, Rule] = {}
    for position in ruled:
        action, when, node = items[position]
        try:
            rule = compile_condition(schema_yaml, action, when, node).rule
        except ConditionError:
            break
        assert rule is not None
        rules[position] = rule
    return rules


def _policy_of(items: Sequence[Item], ruled: Sequence[int], yamls: Dict[int, str]) -> Tuple[str, List[Optional[int]]]:
    """The policy of the conditions as rules, and for each of its lines (from 1) the rule's number."""
    parts = ["version: 1\nrules:\n"]
    owners: List[Optional[int]] = [None, None, None]
    for number, position in enumerate(ruled):
        rule = f"  - id: {RULE_ID}\n    scope: {scope_text(items[position][0])}\n    when:\n{yamls[position]}"
        parts.append(rule + "    effect: block\n")
        owners.extend([number] * (rule.count("\n") + 1))
    return "".join(parts), owners


def _owner(error: _inspect.Error, owners: List[Optional[int]]) -> Optional[int]:
    """The number of the rule at fault: by the engine's index, else by the line."""
    if error["document"] != "policy":
        return None
    if error["rule_index"] is not None:
        return error["rule_index"]
    line = error["line"]
    return owners[line] if line is not None and 0 < line < len(owners) else None


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
