"""Proving properties: refuted exactly when some input of the scope meets the condition
and is decided otherwise than the property expects.

One solver holds the policy once: for each rule list, which of its rules holds first
(a chain of named booleans, so that "this rule decides" is one term). Each property
is then one question under an assumption of its own: its scope, its condition, and
none of the deciders it expects. A refuting input is built from the model, made
1-minimal, and judged by the engines alone: its condition by the engine that holds
every condition of the suite (`judge`), its decision by the policy's engine. If the engines do not
agree that the input refutes the property, that is an internal error, never output.
"""

from __future__ import annotations

from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple

from tamsel_tools.analysis import solver
from tamsel_tools.analysis.encoding import (
    FALSE,
    TYPE,
    Field,
    PolicyEncoding,
    conjunction,
    disjunction,
    fields_of,
    negation,
)
from tamsel_tools.analysis.properties.condition import Condition, Item, compile_conditions, declared_actions
from tamsel_tools.analysis.properties.judge import Judges
from tamsel_tools.analysis.witness import first_inputs, minimal
from tamsel_tools.base.nodes import TreeError, data_tree
from tamsel_tools.base.strict_json import dumps
from tamsel_tools.model.policy import InternalError, Policy
from tamsel_tools.model.property import (
    Input,
    Property,
    PropertyError,
    PropertyResult,
    check_rule_ids,
    expected_deciders,
)


class _Judge:
    """Whether an input refutes the property, as the engines say."""

    def __init__(self, policy: Policy, property: Property, judges: Judges, position: int) -> None:
        self.policy = policy
        self.property = property
        self.judges = judges
        self.position = position

    def refutes(self, data: Input) -> bool:
        covered = self.judges.covers(self.position, data)
        return covered and not self.property.allows(self.policy.evaluate(data))


class _Deciders:
    """SMT-LIB text for who decides an input: `d{i}` that the rule at document index i does,
    `dd` that no rule does, each defined once over the chains of the rule lists."""

    def __init__(self, encoding: PolicyEncoding) -> None:
        lists = encoding.lists
        declarations: List[str] = ["(declare-const dd Bool)(declare-const none Bool)"]
        parts: List[str] = []
        # `none`: the input's action type has no list, or no rule of its list holds.
        ends = []
        for number, (action, rules) in enumerate(lists.actions.items()):
            end = self._chain(encoding, f"a{number}_", rules, encoding.type_is(action), declarations, parts)
            ends.append(f"(=> {encoding.type_is(action)} {end})")
        parts.append(f"(= none {conjunction(ends)})")
        end = self._chain(encoding, "g_", lists.globals, "none", declarations, parts)
        parts.append(f"(= dd {end})")
        self.declarations = "".join(declarations)
        self.text = "".join(f"(assert {part})" for part in parts)

    @staticmethod
    def _chain(
        encoding: PolicyEncoding, name: str, rules: Sequence[Any], start: str, declarations: List[str], parts: List[str]
    ) -> str:
        """Defines d{i} for each rule of the list; the term that no rule of it holds once it runs."""
        open_ = start
        for k, rule in enumerate(rules):
            holds = encoding.condition_text(rule)
            declarations.append(f"(declare-const d{rule.index} Bool)")
            if holds == FALSE:
                parts.append(f"(not d{rule.index})")
                continue
            declarations.append(f"(declare-const {name}{k} Bool)")
            parts.append(f"(= d{rule.index} (and {open_} {holds}))")
            parts.append(f"(= {name}{k} (and {open_} {negation(holds)}))")
            open_ = f"{name}{k}"
        return open_

    @staticmethod
    def term(index: Optional[int]) -> str:
        return "dd" if index is None else f"d{index}"


# Properties asked of the solver in one question: a group that holds is proven at once.
GROUP = 1024


class _Prover:
    """One solver for the policy; each property a question under its own assumption."""

    def __init__(self, policy: Policy, conditions: Sequence[Condition], budget: solver.Budget) -> None:
        self.policy = policy
        self.budget = budget
        self.judges = Judges(conditions)
        self.encoding = PolicyEncoding(policy.rules, [c.rule for c in conditions if c.rule is not None])
        for condition in conditions:
            if condition.action is not None:
                self.encoding.texts.id(condition.action)
        z3 = solver.z3_module()
        self.context = solver.new_context()
        self.solver = z3.Solver(ctx=self.context)
        deciders = _Deciders(self.encoding)
        # The solver keeps what it parsed: each question later declares only its own name.
        self.solver.from_string(
            self.encoding.declarations() + deciders.declarations + f"(assert {self.encoding.domain()})" + deciders.text
            + "(declare-const prefer Bool)"
            + f"(assert (=> prefer {self.encoding.preferred_text(list(self.encoding.fields))}))"
        )  # fmt: skip
        self.questions = 0
        self.groups = 0
        self.settled = 0  # properties with a result, for the progress line
        self.scoped: Dict[Optional[str], List[Field]] = {}  # the fields of the lists of a scope

    def check_all(self, items: Sequence[Tuple[Property, Condition]]) -> List[PropertyResult]:
        """Each property's result, in order. The engines try the seeds of each first; the rest are
        asked of the solver in groups, one question a group: whether any of them is refuted.
        Those the model refutes are then asked alone, and the group again without them."""
        results: List[Optional[PropertyResult]] = [None] * len(items)
        pending: List[int] = []
        for position, (property, condition) in enumerate(items):
            judge = _Judge(self.policy, property, self.judges, position)
            data = next((data for data in self._seeds(property, condition) if judge.refutes(data)), None)
            if data is None:
                pending.append(position)
                continue
            results[position] = self._refuted(property, judge, data)
            self._report(1, len(results))
        asked = self._declare(pending, items)
        for start in range(0, len(pending), GROUP):
            self._settle(pending[start : start + GROUP], items, asked, results)
        assert all(result is not None for result in results)
        return [result for result in results if result is not None]

    def _report(self, more: int, total: int) -> None:
        self.settled += more
        self.budget.report(self.settled, total)

    def _declare(self, pending: Sequence[int], items: Sequence[Tuple[Property, Condition]]) -> Dict[int, str]:
        """A named assumption for each property, under which the solver looks for a refuting input."""
        asked: Dict[int, str] = {}
        parts = []
        for position in pending:
            self.questions += 1
            asked[position] = name = f"p{self.questions}"
            parts.append(f"(declare-const {name} Bool)(assert (=> {name} {self._refuting(*items[position])}))")
        self.solver.from_string("".join(parts))
        return asked

    def _settle(
        self,
        group: List[int],
        items: Sequence[Tuple[Property, Condition]],
        asked: Dict[int, str],
        results: List[Optional[PropertyResult]],
    ) -> None:
        z3 = solver.z3_module()
        while group:
            self.groups += 1
            any_of = f"g{self.groups}"
            either = " ".join(asked[position] for position in group)
            self.solver.from_string(f"(declare-const {any_of} Bool)(assert (=> {any_of} (or false {either})))")
            answer = solver.check(self.solver, z3.Bool(any_of, self.context), budget=self.budget)
            if answer == "unsat":
                for position in group:
                    results[position] = PropertyResult(items[position][0], "holds")
                self._report(len(group), len(results))
                return
            if answer == "sat":
                model = self.solver.model()
                alone = [p for p in group if z3.is_true(model.eval(self._literal(asked[p]), model_completion=True))]
            else:  # each alone, while the budget lasts
                alone = list(group)
            for position in alone:
                results[position] = self._ask(*items[position], position, self._literal(asked[position]))
                self._report(1, len(results))
            group = [position for position in group if results[position] is None]

    def _literal(self, name: str) -> Any:
        return solver.z3_module().Bool(name, self.context)

    def _ask(self, property: Property, condition: Condition, position: int, asked: Any) -> PropertyResult:
        """The property asked alone: it holds, or the model's input refutes it."""
        z3 = solver.z3_module()
        judge = _Judge(self.policy, property, self.judges, position)
        answer = solver.check(self.solver, asked, budget=self.budget)
        if answer == "unsat":
            return PropertyResult(property, "holds")
        if answer == "unknown":
            return PropertyResult(property, "undecided")
        # A model in declared kinds and plain numbers when there is one; the budget may end meanwhile.
        if solver.check(self.solver, asked, z3.Bool("prefer", self.context), budget=self.budget) != "sat":
            if solver.check(self.solver, asked, budget=self.budget) != "sat":
                return PropertyResult(property, "undecided")
        data = self.encoding.witness(self.solver.model(), self._fields(property, condition))
        if not judge.refutes(data):
            raise InternalError(f"property {property.name!r}: the solver's input {dumps(data)} does not refute it")
        return self._refuted(property, judge, data)

    def _refuting(self, property: Property, condition: Condition) -> str:
        """What an input that refutes the property meets."""
        encoding = self.encoding
        expected = disjunction(_Deciders.term(i) for i in expected_deciders(property, self.policy.rules))
        return conjunction([
            encoding.type_is(property.action) if property.action is not None else "true",
            encoding.condition_text(condition.rule) if condition.rule is not None else "true",
            negation(expected),
        ])  # fmt: skip

    def _seeds(self, property: Property, condition: Condition) -> Iterator[Input]:
        """Inputs tried with the engines before the solver is asked: the plainest that meet the
        condition (each an `any`'s member alone), or the bare input of the scope."""
        if condition.rule is not None:
            yield from first_inputs(condition.rule, property.action, self.encoding)
            return
        yield {"action": {} if property.action is None else {"type": property.action}, "actor": {}, "snapshot": {}}

    def _refuted(self, property: Property, judge: _Judge, data: Input) -> PropertyResult:
        """The refuting input made 1-minimal, and the engine's decision of it."""
        found = minimal(data, judge.refutes, self.encoding)
        if not judge.refutes(found):
            raise InternalError(f"property {property.name!r}: the input {dumps(found)} does not refute it")
        return PropertyResult(property, "refuted", found, self.policy.evaluate(found))

    def _fields(self, property: Property, condition: Condition) -> List[Field]:
        """The fields that can matter to the property: its condition's, and those of the rules
        that can decide an input of its scope."""
        if property.action not in self.scoped:
            lists = self.encoding.lists
            if property.action is not None:
                rules = [*lists.actions.get(property.action, []), *lists.globals]
            else:
                rules = [*[r for members in lists.actions.values() for r in members], *lists.globals]
            self.scoped[property.action] = [TYPE, *fields_of(rules)]
        own = [] if condition.rule is None else fields_of([condition.rule])
        return list(dict.fromkeys([*self.scoped[property.action], *own]))


def check(policy: Policy, items: Sequence[Tuple[Property, Condition]], budget: solver.Budget) -> List[PropertyResult]:
    """Each property's result, in order; every question asked within the one budget."""
    prover = _Prover(policy, [condition for _, condition in items], budget)
    return prover.check_all(items)


def check_properties(policy: Policy, properties: Sequence[Property], timeout: Optional[float]) -> List[PropertyResult]:
    """`Policy.check_properties`: each property read against the policy, then proven or refuted."""
    conditions = _conditions(policy, properties)
    return check(policy, list(zip(properties, conditions)), solver.Budget(timeout))


def _conditions(policy: Policy, properties: Sequence[Property]) -> List[Condition]:
    """The properties' conditions, compiled together; PropertyError for the first that is wrong."""
    items: List[Item] = []
    stop: Optional[PropertyError] = None
    for property in properties:
        try:
            check_rule_ids(property, policy.rules, listed=len(property.values) > 1)
            when = None if property.when is None else data_tree(property.when)
        except TreeError as error:
            stop = PropertyError(str(error), ("when",))
        except RecursionError:
            stop = PropertyError("nested too deeply", ("when",))
        except PropertyError as error:
            stop = error
        if stop is not None:
            break
        items.append((property.action, when, None))
    made = compile_conditions(policy.schema_yaml, items, declared_actions(policy.rules))
    if made.refused is not None:
        raise PropertyError(made.refused.message) from None
    if stop is not None:
        raise stop
    return made.conditions


__all__ = ["check", "check_properties"]
