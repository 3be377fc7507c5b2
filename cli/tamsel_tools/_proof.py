"""Proving properties: refuted exactly when some input of the scope meets the condition
and is decided otherwise than the property expects.

The question goes to the solver as scope ∧ condition ∧ ¬(one of the expected deciders
decides), over the policy's own encoding. A refuting input is built from the model,
made 1-minimal, and then judged by the engine alone: the property's condition by an
engine built from a one-rule policy of it, the decision by the policy's engine. If the
engine does not agree that the input refutes the property, that is an internal error.
"""

from __future__ import annotations

from typing import Any, List, Optional, Sequence, Tuple

import tamsel

from tamsel_tools import _encoding, _json, _solver, _witness
from tamsel_tools._condition import Condition, ConditionError, compile_condition
from tamsel_tools._nodes import TreeError, data_tree
from tamsel_tools._explain import Decision
from tamsel_tools._policy import InternalError, Policy
from tamsel_tools._property import (
    Input,
    Property,
    PropertyError,
    PropertyResult,
    check_rule_ids,
    expected_deciders,
)


class _Judge:
    """Whether an input refutes the property, as the engines say."""

    def __init__(self, policy: Policy, property: Property, condition: Condition) -> None:
        self.policy = policy
        self.property = property
        self.action = condition.action
        self.condition: Optional[tamsel.PyTamsel] = None
        if condition.policy_yaml is not None:
            self.condition = tamsel.PyTamsel(policy.schema_yaml, condition.policy_yaml)

    def covers(self, data: Input) -> bool:
        """Whether the input is in the property's scope and meets its condition."""
        if self.condition is not None:
            return self.condition.evaluate(data)["matched_rule"] is not None
        if self.action is None:
            return True
        return data.get("action", {}).get("type") == self.action

    def refutes(self, data: Input) -> bool:
        return self.covers(data) and not self.property.allows(self.policy.evaluate(data))


def check(
    policy: Policy, items: Sequence[Tuple[Property, Condition]], budget: Any
) -> List[PropertyResult]:
    """Each property's result, in order; every question asked within the one budget."""
    conditions = [condition.rule for _, condition in items if condition.rule is not None]
    encoding = _encoding.PolicyEncoding(policy.rules, conditions)
    return [_check_one(policy, encoding, property, condition, budget) for property, condition in items]


def _check_one(
    policy: Policy, encoding: Any, property: Property, condition: Condition, budget: Any
) -> PropertyResult:
    claim = _refutation(encoding, policy, property, condition)
    answer, model = _solver.check(claim, budget)
    if answer == "unsat":
        return PropertyResult(property, "holds")
    if answer != "sat":
        return PropertyResult(property, "undecided")
    judge = _Judge(policy, property, condition)
    found = _witness.minimal(encoding.witness(model), judge.refutes, policy)
    if not judge.refutes(found):
        raise InternalError(
            f"property {property.name!r}: the input {_json.dumps(found)} does not refute it under the engine"
        )
    return PropertyResult(property, "refuted", found, _decision(policy, found))


def _refutation(encoding: Any, policy: Policy, property: Property, condition: Condition) -> List[Any]:
    """What an input that refutes the property meets, as solver terms."""
    z3 = _solver.z3()
    expected = [encoding.decided_by(index) for index in expected_deciders(property, policy.rules)]
    claim = [encoding.scope(property.action), z3.Not(z3.Or(*expected)) if expected else z3.BoolVal(True)]
    if condition.rule is not None:
        claim.append(encoding.condition(condition.rule))
    return claim


def _decision(policy: Policy, data: Input) -> Decision:
    return policy.evaluate(data)


def check_properties(policy: Policy, properties: Sequence[Property], timeout: float) -> List[PropertyResult]:
    """`Policy.check_properties`: each property read against the policy, then proven or refuted."""
    items = [(property, _condition(policy, property)) for property in properties]
    return check(policy, items, _solver.Budget(timeout))


def _condition(policy: Policy, property: Property) -> Condition:
    check_rule_ids(property, policy.rules, listed=len(property.values) > 1)
    try:
        when = None if property.when is None else data_tree(property.when)
        return compile_condition(policy.schema_yaml, property.action, when)
    except TreeError as error:
        raise PropertyError(str(error), ("when",)) from None
    except ConditionError as error:
        raise PropertyError(error.message) from None
