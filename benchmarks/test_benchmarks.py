"""Checks of the benchmark's own parts: the floor must refuse what evaluate()
refuses, and every engine's version of a policy must decide like the policy.

Run with the benchmark venv: python -m pytest benchmarks/test_benchmarks.py
"""

from __future__ import annotations

import importlib.util

import pytest
import workloads as w
import yaml

HAS = {name: importlib.util.find_spec(name) is not None for name in ("tamsel", "tamsel_floor", "cedarpy", "casbin")}


def refund(amount: int, currency: str = "EUR", trust: int = 5, frozen: bool = False, min_trust: int = 3) -> dict:
    return {
        "action": {"type": "refund", "amount": amount, "currency": currency},
        "actor": {"role": "agent", "trust_level": trust, "frozen": frozen},
        "snapshot": {"maintenance_mode": False, "min_trust_level": min_trust},
    }


# (input, effect, matched rule) under the example policy
EXAMPLE_CASES = [
    (refund(250), "allow", None),
    (refund(5000), "block", "block_large_refunds"),
    (refund(5000, currency="USD"), "block", "block_large_refunds"),  # first match wins
    (refund(250, currency="USD"), "block", "foreign_currency_or_frozen"),
    (refund(250, frozen=True), "block", "foreign_currency_or_frozen"),
    (refund(5000, trust=1), "block", "block_large_refunds"),  # action rules before global ones
    (refund(250, trust=1), "block", "below_required_trust"),
    ({**refund(5000, trust=1), "action": {"type": "close_account"}}, "block", "below_required_trust"),
    ({**refund(5000, trust=4), "action": {"type": "close_account"}}, "allow", None),
]


@pytest.mark.parametrize(("inp", "effect", "rule"), EXAMPLE_CASES)
def test_python_evaluators_decide_like_the_policy(inp: dict, effect: str, rule: str | None) -> None:
    expected = {"effect": effect, "matched_rule": rule}
    assert w.python_evaluator(w.EXAMPLE_RULES)(inp) == expected
    assert w.example_by_hand(inp) == expected


@pytest.mark.skipif(not HAS["tamsel"], reason="tamsel is not installed")
@pytest.mark.parametrize(("inp", "effect", "rule"), EXAMPLE_CASES)
def test_tamsel_decides_like_the_table(inp: dict, effect: str, rule: str | None) -> None:
    import tamsel

    engine = tamsel.PyTamsel(w.EXAMPLE_SCHEMA, w.policy_text(w.EXAMPLE_RULES))
    assert engine.evaluate(inp) == {"effect": effect, "matched_rule": rule}


@pytest.mark.skipif(not HAS["casbin"], reason="casbin is not installed")
@pytest.mark.parametrize(("inp", "effect", "rule"), EXAMPLE_CASES)
def test_casbin_version_decides_like_the_policy(inp: dict, effect: str, rule: str | None) -> None:
    assert w.casbin_answer(w.casbin_evaluator(w.EXAMPLE_RULES)(inp)) == (effect, rule)


@pytest.mark.skipif(not HAS["cedarpy"], reason="cedarpy is not installed")
@pytest.mark.parametrize(("inp", "effect", "rule"), EXAMPLE_CASES)
def test_cedar_version_allows_and_denies_like_the_policy(inp: dict, effect: str, rule: str | None) -> None:
    decision, reasons = w.cedar_answer(w.EXAMPLE_RULES, w.cedar_evaluator(w.EXAMPLE_RULES)(inp))
    # Cedar has no first match: every forbid that holds is a reason.
    assert decision == ("allow" if effect == "allow" else "deny")
    assert effect == "allow" or rule in reasons


def test_generated_policy_text_holds_every_rule_as_written() -> None:
    rules = w.generated_rules(16)
    doc = yaml.safe_load(w.policy_text(rules))
    assert [r["id"] for r in doc["rules"]] == [r.id for r in rules]
    assert doc["rules"][3] == {
        "id": "r3",
        "scope": {"global": True},
        "when": [["actor", "trust_level"], "less_than", {"subject": ["snapshot", "min_trust_level"]}],
        "effect": "block",
    }
    assert doc["rules"][6]["when"]["any"][2] == [["actor", "trust_level"], "greater_than", {"literal": 2.5}]
    assert doc["rules"][9]["when"]["all"][0] == [["action", "currency"], "equals", {"literal": "C9"}]


@pytest.mark.skipif(not HAS["tamsel"], reason="tamsel is not installed")
def test_generated_policy_constructs_with_its_governance() -> None:
    import tamsel

    schema, policy, governance = w.construction_texts(64)
    tamsel.PyTamsel(schema, policy, governance)  # raises ValueError when a rule or governance fails


@pytest.mark.skipif(not HAS["tamsel_floor"], reason="the floor extension is not installed")
@pytest.mark.parametrize(
    ("inp", "message"),
    [
        ([], "input is not a dict"),
        ({"action": None}, "a domain is not a dict"),
        ({"actor": {1: 2}}, "a field name is not a str"),
        ({"snapshot": {"a": None}}, "Unsupported value type"),
        ({"snapshot": {"a": [1]}}, "Unsupported value type"),
        ({"action": {"a": 1}, "snapshot": {"b": b"x"}}, "Unsupported value type"),
    ],
)
def test_floor_refuses_what_evaluate_refuses(inp: object, message: str) -> None:
    import tamsel_floor

    with pytest.raises(TypeError, match=message):
        tamsel_floor.walk(inp)


@pytest.mark.skipif(not HAS["tamsel_floor"], reason="the floor extension is not installed")
@pytest.mark.parametrize("inp", [{"actor": {"\ud800": 1}}, {"snapshot": {"a": 1, "b": "x\udc80"}}])
def test_floor_checks_the_utf8_of_keys_and_texts(inp: dict) -> None:
    import tamsel_floor

    with pytest.raises(UnicodeEncodeError):
        tamsel_floor.walk(inp)


@pytest.mark.skipif(not HAS["tamsel_floor"], reason="the floor extension is not installed")
def test_floor_accepts_every_field_kind_and_answers_allow() -> None:
    import tamsel_floor

    class Text(str):
        pass

    inp = {"action": {"a": True, "b": 1.5, "c": 10**30, Text("d"): Text("e")}, "other": None}
    assert tamsel_floor.walk(inp) == {"effect": "allow", "matched_rule": None}
