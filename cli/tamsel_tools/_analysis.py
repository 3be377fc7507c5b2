"""Exact analysis of compiled policies: rules that can never decide, and what
replacing one policy by another changes.

Every field that a rule reads is, in an input, missing or a text, a number or a
boolean, whatever the schema declares, so each becomes four solver variables:
its kind, and a value of each kind. Numbers are IEEE doubles (z3's Float64, so
NaN, -0.0 and the infinities are exact). Texts are only ever compared for
equality, so a text is an integer: each text that a policy writes has its own,
and every other integer stands for some other text. A condition becomes the
formula that holds exactly when the engine finds it true.

Every input that the analysis claims something about is evaluated with the
engine before it is returned; one that does not reproduce the claim is an
internal error, never a finding.
"""

from __future__ import annotations

import json
import math
import struct
from dataclasses import dataclass
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

from tamsel_tools._model import Comparison, Effect, Literal, Rule, Subject, Value
from tamsel_tools._policy import InternalError

INSTALL_HINT = "the analysis needs the z3 solver; install it with: pip install 'tamsel[analysis]'"

Input = Dict[str, Dict[str, Value]]
FindingKind = str  # "actor_scoped", "unsatisfiable" or "shadowed"
_DEFAULT: Effect = "allow"
_EFFECT_CODES = {"allow": 0, "block": 1, "require_approval": 2}


class AnalysisUnavailable(Exception):
    """The solver is not installed; the message says how to install it."""


class AnalysisError(InternalError):
    """A fault of the analysis: the solver gave up, or an input did not reproduce its claim."""


@dataclass(frozen=True)
class Finding:
    """A rule that no input can make decide, and why."""

    index: int  # the rule's position in the policy document, from 0
    rule: str
    kind: FindingKind
    by: Tuple[int, ...]  # for "shadowed": earlier rules that decide every input it matches
    line: int
    column: int
    scope_name: Optional[str] = None  # the actor's name, for "actor_scoped"

    def to_json(self) -> Dict[str, Any]:
        return {
            "index": self.index,
            "rule": self.rule,
            "kind": self.kind,
            "by": list(self.by),
            "line": self.line,
            "column": self.column,
        }


@dataclass(frozen=True)
class Decider:
    """Who decides an input under one policy: a rule, or the default (index and rule None)."""

    index: Optional[int]
    rule: Optional[str]
    effect: Effect

    def to_json(self) -> Dict[str, Any]:
        return {"index": self.index, "rule": self.rule, "effect": self.effect}

    def decision(self) -> Dict[str, Optional[str]]:
        """What `PyTamsel.evaluate` returns when this decides."""
        return {"effect": self.effect, "matched_rule": self.rule}


@dataclass(frozen=True)
class Change:
    """Inputs of one group move from one decider to another of a different effect."""

    action: Optional[str]  # the action type of the group; None for every other input
    old: Decider
    new: Decider
    input: Input  # one such input, evaluated with both policies

    @property
    def same_effect(self) -> bool:
        """Only the deciding rule changes (listed when moves are asked for)."""
        return self.old.effect == self.new.effect

    def to_json(self) -> Dict[str, Any]:
        data: Dict[str, Any] = {
            "action": self.action,
            "old": self.old.to_json(),
            "new": self.new.to_json(),
            "input": self.input,
        }
        if self.same_effect:
            data["same_effect"] = True
        return data


def solver_available() -> bool:
    try:
        _z3()
    except AnalysisUnavailable:
        return False
    return True


def lint(rules: Sequence[Rule], engine: Any) -> List[Finding]:
    """Every rule that no input makes decide, in document order.

    `engine` is the `tamsel_tools.Policy` or the `tamsel.PyTamsel` built from
    the same documents: each rule not reported has an input that makes it
    decide, and that input is evaluated with it as a check (a `Policy` names the
    deciding rule by its place, a `PyTamsel` only by its id).
    """
    return _reach(rules, engine)[0]


def deciding_inputs(rules: Sequence[Rule], engine: Any) -> Dict[int, Input]:
    """For each rule that some input makes decide, by document index: such an
    input, checked with the engine. The rules left out are those `lint` reports."""
    return _reach(rules, engine)[1]


def diff(
    old_rules: Sequence[Rule],
    old_engine: Any,
    new_rules: Sequence[Rule],
    new_engine: Any,
    moves: bool = False,
) -> List[Change]:
    """Every (old decider, new decider) pair of differing effects that some input
    of a group meets, once per group, each with such an input evaluated with
    both engines (each a `Policy` or a `PyTamsel`, as for `lint`).

    Groups: one per action type under which either policy files rules, in order
    of first appearance (old policy first), then None for every other input.
    With `moves`, also the pairs of the same effect whose rules differ (by id;
    the default counts as a rule of its own), for which `same_effect` is true.
    """
    z3 = _z3()
    encoding = _Encoding(z3, _texts(old_rules) | _texts(new_rules))
    old_judge, new_judge = _Judge(old_engine, old_rules), _Judge(new_engine, new_rules)
    old_actions, old_global = _lists(old_rules)
    new_actions, new_global = _lists(new_rules)
    groups: List[Optional[str]] = list(dict.fromkeys([*old_actions, *new_actions]))
    groups.append(None)
    changes: List[Change] = []
    for group in groups:
        old_list = (old_actions.get(group, []) if group is not None else []) + old_global
        new_list = (new_actions.get(group, []) if group is not None else []) + new_global
        changes += _diff_group(encoding, group, (old_list, old_judge), (new_list, new_judge), moves)
    return changes


def input_json(value: Input) -> str:
    """An input as one line of JSON; NaN and the infinities as Python's json writes them."""
    return json.dumps(value, ensure_ascii=True, allow_nan=True)


# ---------------------------------------------------------------- rule lists


def _z3() -> Any:
    try:
        import z3  # type: ignore[import-untyped,import-not-found,unused-ignore]
    except ImportError:
        raise AnalysisUnavailable(INSTALL_HINT) from None
    return z3


def _lists(rules: Sequence[Rule]) -> Tuple[Dict[str, List[Rule]], List[Rule]]:
    """The rules that can decide, as the engine files them: by action, and global."""
    actions: Dict[str, List[Rule]] = {}
    global_list: List[Rule] = []
    for rule in rules:
        if rule.scope.kind == "action":
            assert rule.scope.name is not None
            actions.setdefault(rule.scope.name, []).append(rule)
        elif rule.scope.kind == "global":
            global_list.append(rule)
    return actions, global_list


def _texts(rules: Sequence[Rule]) -> set[str]:
    """Every text a policy writes: its text literals and the action names it files under."""
    texts = set()
    for rule in rules:
        if rule.scope.kind == "action" and rule.scope.name is not None:
            texts.add(rule.scope.name)
        for comparison in rule.comparisons:
            if isinstance(comparison.right, Literal) and isinstance(comparison.right.value, str):
                texts.add(comparison.right.value)
    return texts


def _condition_key(rule: Rule) -> Tuple[Any, ...]:
    """The condition as written, without positions; NaN literals made comparable."""
    return (rule.condition, *[(c.left, c.operator, _literal_key(c.right)) for c in rule.comparisons])


def _literal_key(side: Any) -> Any:
    if isinstance(side, Literal) and isinstance(side.value, float):
        return ("number", struct.pack("<d", side.value) if not math.isnan(side.value) else "nan")
    if isinstance(side, Literal):
        return (type(side.value).__name__, side.value)
    return side


def _same_rule(a: Rule, b: Rule) -> bool:
    """Whether two rules decide the same inputs the same way, with the same id."""
    return (a.id, a.effect) == (b.id, b.effect) and _condition_key(a) == _condition_key(b)


def _actor_finding(rule: Rule) -> Finding:
    return Finding(rule.index, rule.id, "actor_scoped", (), rule.line, rule.column, rule.scope.name)


# ---------------------------------------------------------------- the encoding


class _Field:
    """The solver's variables for one field of the input."""

    def __init__(self, z3: Any, kind_sort: Any, number: int) -> None:
        self.kind = z3.Const(f"kind{number}", kind_sort)
        self.text = z3.Int(f"text{number}")
        self.number = z3.FP(f"number{number}", z3.Float64())
        self.boolean = z3.Bool(f"boolean{number}")


_KINDS: Dict[int, Tuple[Any, Tuple[Any, ...]]] = {}


def _kind_sort(z3: Any) -> Tuple[Any, Tuple[Any, ...]]:
    """The sort of field kinds; z3 declares a sort name once per context."""
    context = id(z3.main_ctx())
    if context not in _KINDS:
        sort, values = z3.EnumSort("Kind", ["missing", "text", "number", "boolean"])
        _KINDS[context] = (sort, tuple(values))
    return _KINDS[context]


class _Encoding:
    """Variables for the fields that rules read, and the formula of each condition."""

    def __init__(self, z3: Any, texts: Iterable[str]) -> None:
        self.z3 = z3
        self.kind_sort, (self.missing, self.text, self.number, self.boolean) = _kind_sort(z3)
        self.text_ids = {text: number for number, text in enumerate(sorted(texts), start=1)}
        self.fields: Dict[Tuple[str, str], _Field] = {}
        self.conditions: Dict[int, Any] = {}  # by id() of the rule
        self.negations: Dict[int, Any] = {}

    def field(self, subject: Subject) -> _Field:
        key = (subject.domain, subject.field)
        if key not in self.fields:
            self.fields[key] = _Field(self.z3, self.kind_sort, len(self.fields))
        return self.fields[key]

    def group(self, action: Optional[str]) -> List[Any]:
        """What an input of the group fixes: under an action type, the field "type"."""
        if action is None:
            return []
        kind = self.field(Subject("action", "type"))
        return [kind.kind == self.text, kind.text == self.text_ids[action]]

    def condition(self, rule: Rule) -> Any:
        key = id(rule)
        if key not in self.conditions:
            parts = [self.comparison(c) for c in rule.comparisons]
            if rule.condition == "atomic":
                formula = parts[0]
            elif rule.condition == "all":
                formula = self.z3.And(*parts)
            else:
                formula = self.z3.Or(*parts)
            self.conditions[key] = (rule, formula)  # the rule kept so that its id stays unique
        return self.conditions[key][1]

    def negation(self, rule: Rule) -> Any:
        key = id(rule)
        if key not in self.negations:
            self.negations[key] = self.z3.Not(self.condition(rule))
        return self.negations[key]

    def comparison(self, comparison: Comparison) -> Any:
        z3 = self.z3
        left = self.field(comparison.left)
        operator = comparison.operator
        if isinstance(comparison.right, Subject):
            right = self.field(comparison.right)
            return z3.Or(
                z3.And(left.kind == self.text, right.kind == self.text,
                       _equality(z3, operator, left.text, right.text)),
                z3.And(left.kind == self.number, right.kind == self.number,
                       _ordering(z3, operator, left.number, right.number)),
                z3.And(left.kind == self.boolean, right.kind == self.boolean,
                       _equality(z3, operator, left.boolean, right.boolean)),
            )  # fmt: skip
        value = comparison.right.value
        if isinstance(value, bool):
            return z3.And(left.kind == self.boolean, _equality(z3, operator, left.boolean, value))
        if isinstance(value, str):
            text = z3.IntVal(self.text_ids[value])
            return z3.And(left.kind == self.text, _equality(z3, operator, left.text, text))
        number = z3.FPVal(float(value), z3.Float64())
        return z3.And(left.kind == self.number, _ordering(z3, operator, left.number, number))

    def witness(self, model: Any, action: Optional[str], rules: Iterable[Rule]) -> Input:
        """The input that the model describes, over the fields that the rules read."""
        data: Input = {"action": {} if action is None else {"type": action}, "actor": {}, "snapshot": {}}
        others = _OtherTexts(self.text_ids)
        for domain, name in sorted({(s.domain, s.field) for r in rules for s in _subjects(r)}):
            if (domain, name) == ("action", "type") and action is not None:
                continue
            value = self._value(model, self.fields[(domain, name)], others)
            if value is not None:
                data[domain][name] = value
        return data

    def _value(self, model: Any, field: _Field, others: "_OtherTexts") -> Optional[Value]:
        z3 = self.z3
        kind = model.eval(field.kind, model_completion=True)
        if z3.eq(kind, self.text):
            return others.text(model.eval(field.text, model_completion=True).as_long())
        if z3.eq(kind, self.number):
            return _double(z3, model.eval(field.number, model_completion=True))
        if z3.eq(kind, self.boolean):
            return bool(z3.is_true(model.eval(field.boolean, model_completion=True)))
        return None


def _equality(z3: Any, operator: str, left: Any, right: Any) -> Any:
    """Texts and booleans: only equals and not_equals can hold."""
    if operator == "equals":
        return left == right
    if operator == "not_equals":
        return left != right
    return z3.BoolVal(False)


def _ordering(z3: Any, operator: str, left: Any, right: Any) -> Any:
    """IEEE comparisons: NaN equals nothing and differs from everything; -0.0 equals 0.0."""
    if operator == "equals":
        return z3.fpEQ(left, right)
    if operator == "not_equals":
        return z3.Not(z3.fpEQ(left, right))
    if operator == "greater_than":
        return z3.fpGT(left, right)
    if operator == "less_than":
        return z3.fpLT(left, right)
    return z3.BoolVal(False)


def _subjects(rule: Rule) -> Iterable[Subject]:
    for comparison in rule.comparisons:
        yield comparison.left
        if isinstance(comparison.right, Subject):
            yield comparison.right


def _double(z3: Any, value: Any) -> float:
    if value.isNaN():
        return math.nan
    bits = z3.simplify(z3.fpToIEEEBV(value)).as_long()
    result: float = struct.unpack("<d", struct.pack("<Q", bits))[0]
    return result


class _OtherTexts:
    """Texts for the solver's integers: a policy's own texts, else distinct new ones."""

    def __init__(self, text_ids: Mapping[str, int]) -> None:
        self.known = {number: text for text, number in text_ids.items()}
        self.taken = set(text_ids)
        self.chosen: Dict[int, str] = {}

    def text(self, number: int) -> str:
        if number in self.known:
            return self.known[number]
        if number not in self.chosen:
            candidate = len(self.chosen)
            while f"other {candidate}" in self.taken:
                candidate += 1
            self.chosen[number] = f"other {candidate}"
            self.taken.add(self.chosen[number])
        return self.chosen[number]


# ---------------------------------------------------------------- lint


def _reach(rules: Sequence[Rule], engine: Any) -> Tuple[List[Finding], Dict[int, Input]]:
    judge = _Judge(engine, rules)
    z3 = _z3()
    encoding = _Encoding(z3, _texts(rules))
    findings = [_actor_finding(rule) for rule in rules if rule.scope.kind == "actor"]
    inputs: Dict[int, Input] = {}
    action_lists, global_list = _lists(rules)
    for name, members in [*action_lists.items(), (None, global_list)]:
        findings += _lint_list(encoding, name, members, judge, inputs)
    return sorted(findings, key=lambda finding: finding.index), inputs


def _check(solver: Any, *assumptions: Any) -> bool:
    z3 = _z3()
    result = solver.check(*assumptions)
    if result == z3.unknown:
        raise AnalysisError(f"the solver gave up: {solver.reason_unknown()}")
    return bool(result == z3.sat)


def _lint_list(
    encoding: _Encoding,
    action: Optional[str],
    members: Sequence[Rule],
    judge: "_Judge",
    inputs: Dict[int, Input],
) -> List[Finding]:
    """One incremental solver for the list: each rule tried against the negation
    of every earlier one, then its own negation kept for the rules after it.

    Most rules decide with their own fields set and every other field missing,
    so such an input, built without the solver, is tried with the engine first;
    the solvers are asked only when it fails."""
    z3 = encoding.z3
    solver = z3.Solver()
    solver.add(*encoding.group(action))
    alone = z3.Solver()  # a condition by itself, in the list's group
    alone.add(*encoding.group(action))
    covers = _Covers(encoding, action)
    # A condition: the first rule of the list with it, and whether it can hold.
    first_with: Dict[Any, Tuple[int, bool]] = {}
    findings = []
    for position, rule in enumerate(members):
        decider = Decider(rule.index, rule.id, rule.effect)
        finding: Optional[Finding] = None
        key = _condition_key(rule)
        witness = _first_try(rule, action, judge, decider)
        if witness is not None:
            pass
        elif key in first_with:
            earlier, satisfiable = first_with[key]
            finding = _shadowed(rule, (earlier,)) if satisfiable else _unsatisfiable(rule)
        elif not _satisfiable(alone, encoding.condition(rule)):
            finding = _unsatisfiable(rule)
        else:
            attempt = z3.Bool(f"decides{rule.index}")
            solver.add(z3.Implies(attempt, encoding.condition(rule)))
            if _check(solver, attempt):
                witness = encoding.witness(solver.model(), action, members[: position + 1])
                judge.confirm(witness, decider, "lint")
            else:
                finding = _shadowed(rule, covers.cover(rule, members[:position]))
        if witness is not None:
            inputs[rule.index] = witness
        else:
            assert finding is not None
            findings.append(finding)
        first_with.setdefault(key, (rule.index, finding is None or finding.kind == "shadowed"))
        solver.add(encoding.negation(rule))
        covers.add(rule)
    return findings


def _satisfiable(solver: Any, formula: Any) -> bool:
    solver.push()
    solver.add(formula)
    result = _check(solver)
    solver.pop()
    return result


def _unsatisfiable(rule: Rule) -> Finding:
    return Finding(rule.index, rule.id, "unsatisfiable", (), rule.line, rule.column)


def _first_try(rule: Rule, action: Optional[str], judge: "_Judge", decider: Decider) -> Optional[Input]:
    """An input that makes the condition hold with as few fields as it can, if
    the engine says that the rule decides it."""
    for member in range(len(rule.comparisons) if rule.condition == "any" else 1):
        data = _first_input(rule, action, member)
        if data is not None and judge.decider(data) == decider:
            return data
    return None


def _first_input(rule: Rule, action: Optional[str], member: int = 0) -> Optional[Input]:
    """An input of the group in which the condition holds, with only the fields
    that it needs (of an `any`, those of the given member); None when the
    simple choices of values conflict."""
    comparisons = rule.comparisons[member : member + 1] if rule.condition == "any" else rule.comparisons
    values: Dict[Tuple[str, str], Value] = {}
    if action is not None:
        values[("action", "type")] = action
    if not all(_make_true(comparison, values) for comparison in comparisons):
        return None
    data: Input = {"action": {}, "actor": {}, "snapshot": {}}
    for (domain, name), value in values.items():
        data[domain][name] = value
    return data


def _make_true(comparison: Comparison, values: Dict[Tuple[str, str], Value]) -> bool:
    """Sets the fields still free so that the comparison holds; whether it does."""
    left = (comparison.left.domain, comparison.left.field)
    operator = comparison.operator
    if isinstance(comparison.right, Literal):
        if left not in values:
            chosen = _satisfying(operator, comparison.right.value)
            if chosen is None:
                return False
            values[left] = chosen
        return _holds(operator, values[left], comparison.right.value)
    right = (comparison.right.domain, comparison.right.field)
    if left not in values and right not in values:
        values[right] = 0.0
    if left not in values:
        chosen = _satisfying(operator, values[right])
        if chosen is None:
            return False
        values[left] = chosen
    if right not in values:
        chosen = _satisfying(_MIRRORED.get(operator, operator), values[left])
        if chosen is None:
            return False
        values[right] = chosen
    return _holds(operator, values[left], values[right])


_MIRRORED = {"greater_than": "less_than", "less_than": "greater_than"}


def _satisfying(operator: str, other: Value) -> Optional[Value]:
    """A value that stands in the relation to the other one, if there is one."""
    if operator == "equals":
        return None if isinstance(other, float) and math.isnan(other) else other
    if isinstance(other, bool):
        return (not other) if operator == "not_equals" else None
    if isinstance(other, str):
        return ("not " + other) if operator == "not_equals" else None
    if operator == "not_equals":
        return math.nan
    if math.isnan(other):
        return None
    if operator == "greater_than":
        return None if other == math.inf else math.nextafter(other, math.inf)
    return None if other == -math.inf else math.nextafter(other, -math.inf)


def _holds(operator: str, left: Value, right: Value) -> bool:
    """The engine's comparison, for a quick check of the candidate before the engine's own."""
    if isinstance(left, bool) != isinstance(right, bool) or isinstance(left, str) != isinstance(right, str):
        return False
    if operator == "equals":
        return left == right
    if operator == "not_equals":
        return left != right
    if isinstance(left, (bool, str)) or isinstance(right, (bool, str)):
        return False
    return left > right if operator == "greater_than" else left < right


def _shadowed(rule: Rule, by: Tuple[int, ...]) -> Finding:
    return Finding(rule.index, rule.id, "shadowed", by, rule.line, rule.column)


class _Covers:
    """A small set of earlier rules that decides every input that a rule matches."""

    def __init__(self, encoding: _Encoding, action: Optional[str]) -> None:
        z3 = encoding.z3
        self.encoding = encoding
        self.solver = z3.Solver()
        self.solver.add(*encoding.group(action))
        self.guards: Dict[int, Any] = {}  # by document index: assumes the rule does not hold
        self.guarded: Dict[int, int] = {}  # a guard's solver id: its rule's document index
        self.readers: Dict[Tuple[str, str], List[Rule]] = {}

    def add(self, rule: Rule) -> None:
        z3 = self.encoding.z3
        guard = z3.Bool(f"misses{rule.index}")
        self.solver.add(z3.Implies(guard, self.encoding.negation(rule)))
        self.guards[rule.index] = guard
        self.guarded[guard.get_id()] = rule.index
        for subject in _subjects(rule):
            self.readers.setdefault((subject.domain, subject.field), []).append(rule)

    def cover(self, rule: Rule, earlier: Sequence[Rule]) -> Tuple[int, ...]:
        z3 = self.encoding.z3
        holds = z3.Bool(f"holds{rule.index}")
        self.solver.add(z3.Implies(holds, self.encoding.condition(rule)))
        # The closest earlier rules that read one of its fields usually suffice;
        # else all that do; else all earlier rules.
        near = sorted({r.index for s in _subjects(rule) for r in self.readers.get((s.domain, s.field), [])})
        for candidates in (near[-16:], near, [r.index for r in earlier]):
            if not _check(self.solver, holds, *[self.guards[i] for i in candidates]):
                return self._smallest(holds, self.solver.unsat_core())
        raise AnalysisError(f"rule {rule.index} can decide after all")

    def _smallest(self, holds: Any, core: Sequence[Any]) -> Tuple[int, ...]:
        """The core without every guard that it does not need."""
        by = sorted(self.guarded[c.get_id()] for c in core if c.get_id() in self.guarded)
        for index in list(by):
            rest = [i for i in by if i != index]
            if not _check(self.solver, holds, *[self.guards[i] for i in rest]):
                by = rest
        return tuple(by)


class _Judge:
    """Who decides an input, as the engine says. Its answer names the deciding
    rule by id, which tells the rule when no other rule has that id; else a
    `Policy` is asked to explain the decision, which ends at the rule's place."""

    def __init__(self, engine: Any, rules: Sequence[Rule]) -> None:
        self.engine = getattr(engine, "engine", engine)  # a Policy's PyTamsel
        self.explain = getattr(engine, "explain", None)
        counts: Dict[str, int] = {}
        for rule in rules:
            counts[rule.id] = counts.get(rule.id, 0) + 1
        self.by_id = {rule.id: rule for rule in rules if counts[rule.id] == 1}

    def decider(self, data: Input) -> Optional[Decider]:
        """The decider, or None when only an id that rules share says who it is."""
        result = self.engine.evaluate(data)
        if result["matched_rule"] is None:
            return Decider(None, None, result["effect"])
        rule = self.by_id.get(result["matched_rule"])
        if rule is not None:
            return Decider(rule.index, rule.id, result["effect"])
        if self.explain is None:
            return None
        last = self.explain(data).steps[-1]
        return Decider(last.rule.index, last.rule.id, result["effect"])

    def confirm(self, witness: Input, decider: Decider, what: str) -> None:
        got = self.decider(witness)
        if got is None:
            # The solver's input, with the earlier rules false by construction: the id suffices.
            decision = self.engine.evaluate(witness)
            if decision == decider.decision():
                return
            got = Decider(None, decision["matched_rule"], decision["effect"])
        if got != decider:
            raise AnalysisError(f"{what}: the input {input_json(witness)} is decided by {got}, not {decider}")


# ---------------------------------------------------------------- diff


class _Chain:
    """Which rule of a list holds first, as solver terms: its position in the
    list and the code of its effect and of its id; -1, the default's effect and
    -1 when none holds (then `none` is true)."""

    def __init__(self, encoding: _Encoding, name: str, rules: Sequence[Rule], ids: Mapping[str, int]) -> None:
        z3 = encoding.z3
        self.chosen = z3.Int(f"{name}_decider")
        self.effect = z3.Int(f"{name}_effect")
        self.id = z3.Int(f"{name}_id")
        self.constraints = []
        undecided = z3.BoolVal(True)
        for position, rule in enumerate(rules):
            self.constraints.append(
                z3.Implies(z3.And(undecided, encoding.condition(rule)),
                           z3.And(self.chosen == position, self.effect == _EFFECT_CODES[rule.effect],
                                  self.id == ids[rule.id]))
            )  # fmt: skip
            following = z3.Bool(f"{name}_undecided{position}")
            self.constraints.append(following == z3.And(undecided, encoding.negation(rule)))
            undecided = following
        self.none = undecided
        self.constraints.append(
            z3.Implies(undecided, z3.And(self.chosen == -1, self.effect == _EFFECT_CODES[_DEFAULT], self.id == -1))
        )


class _Deciders:
    """Which rule of a list decides, as solver variables: its position in the
    list, or -1 for the default; the code of its effect and of its id (-1 for
    the default). The list is its own rules, then a tail that the other list
    ends with too: the tail's chain is built once for both, so that an input
    that both pass on to the tail plainly gets the same decider from both."""

    def __init__(
        self, encoding: _Encoding, name: str, rules: Sequence[Rule], own_count: int, tail: _Chain,
        ids: Mapping[str, int],
    ) -> None:  # fmt: skip
        z3 = encoding.z3
        self.rules = rules  # its own first, then those of the tail
        own = _Chain(encoding, name, rules[:own_count], ids)
        self.chosen = z3.Int(f"{name}_list_decider")
        self.effect = z3.Int(f"{name}_list_effect")
        self.id = z3.Int(f"{name}_list_id")
        in_tail = z3.If(tail.chosen == -1, -1, tail.chosen + own_count)
        self.constraints = [
            *own.constraints,
            self.chosen == z3.If(own.none, in_tail, own.chosen),
            self.effect == z3.If(own.none, tail.effect, own.effect),
            self.id == z3.If(own.none, tail.id, own.id),
        ]

    def position(self, decider: Decider) -> int:
        """The list position of a decider, -1 for the default."""
        return -1 if decider.index is None else [r.index for r in self.rules].index(decider.index)

    def decider(self, position: int) -> Decider:
        if position < 0:
            return Decider(None, None, _DEFAULT)
        rule = self.rules[position]
        return Decider(rule.index, rule.id, rule.effect)


def _diff_group(
    encoding: _Encoding,
    action: Optional[str],
    old: Tuple[List[Rule], _Judge],
    new: Tuple[List[Rule], _Judge],
    moves: bool,
) -> List[Change]:
    (old_list, old_judge), (new_list, new_judge) = old, new
    shared = 0
    while shared < min(len(old_list), len(new_list)) and _same_rule(old_list[shared], new_list[shared]):
        shared += 1
    if shared == len(old_list) == len(new_list):
        return []
    z3 = encoding.z3
    solver = z3.Solver()
    solver.add(*encoding.group(action))
    # An input that a shared first rule decides gets the same effect from both.
    solver.add(*[encoding.negation(rule) for rule in old_list[:shared]])
    ids = {rule_id: code for code, rule_id in enumerate(sorted({r.id for r in [*old_list, *new_list]}))}
    ends = _common_tail(old_list[shared:], new_list[shared:])
    tail = _Chain(encoding, "tail", new_list[len(new_list) - ends :], ids)
    olds = _Deciders(encoding, "old", old_list[shared:], len(old_list) - shared - ends, tail, ids)
    news = _Deciders(encoding, "new", new_list[shared:], len(new_list) - shared - ends, tail, ids)
    differ = olds.effect != news.effect
    solver.add(*tail.constraints, *olds.constraints, *news.constraints)
    solver.add(z3.Or(differ, olds.id != news.id) if moves else differ)
    found = _seeded(action, old_list[shared:], new_list[shared:], (old_judge, new_judge), moves)
    for change in found:
        solver.add(z3.Not(z3.And(olds.chosen == olds.position(change.old), news.chosen == news.position(change.new))))
    while _check(solver):
        model = solver.model()
        pair = (model.eval(olds.chosen).as_long(), model.eval(news.chosen).as_long())
        change = Change(
            action,
            olds.decider(pair[0]),
            news.decider(pair[1]),
            encoding.witness(model, action, [*old_list, *new_list]),
        )
        old_judge.confirm(change.input, change.old, "diff, old policy")
        new_judge.confirm(change.input, change.new, "diff, new policy")
        found.append(change)
        solver.add(z3.Not(z3.And(olds.chosen == pair[0], news.chosen == pair[1])))
    return sorted(found, key=_pair_order)


def _common_tail(olds: Sequence[Rule], news: Sequence[Rule]) -> int:
    """How many rules the two lists end with alike."""
    ends = 0
    while ends < min(len(olds), len(news)) and _same_rule(olds[-1 - ends], news[-1 - ends]):
        ends += 1
    return ends


def _seeded(
    action: Optional[str], olds: Sequence[Rule], news: Sequence[Rule], judges: Tuple[_Judge, _Judge], moves: bool
) -> List[Change]:
    """Pairs found without the solver: each rule that differs between the two
    lists, made to hold alone, and the input evaluated with both engines. The
    solver then needs to find only the pairs left."""
    ends = _common_tail(olds, news)
    found: Dict[Tuple[Optional[int], Optional[int]], Change] = {}
    differing = [*olds[: len(olds) - ends], *news[: len(news) - ends]]
    for rule, member in [(r, m) for r in differing for m in range(len(r.comparisons) if r.condition == "any" else 1)]:
        data = _first_input(rule, action, member)
        if data is None:
            continue
        old, new = judges[0].decider(data), judges[1].decider(data)
        if old is not None and new is not None and _listed(old, new, moves):
            found.setdefault((old.index, new.index), Change(action, old, new, data))
    return list(found.values())


def _listed(old: Decider, new: Decider, moves: bool) -> bool:
    return old.effect != new.effect or (moves and old.rule != new.rule)


def _pair_order(change: Change) -> Tuple[float, float]:
    def place(decider: Decider) -> float:
        return math.inf if decider.index is None else decider.index

    return place(change.old), place(change.new)
