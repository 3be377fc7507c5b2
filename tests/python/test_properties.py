"""Properties in decision test suites: read and located, compiled as rules' conditions are."""

import itertools
import json
import math
import os
import random
from pathlib import Path

import pytest

import tamsel
from tamsel_tools import Policy, Property
from test_cli import TEXTS, documents, run  # noqa: F401  (documents: a fixture)

LARGE = {"name": "large refunds are never allowed", "action": "refund",
         "when": [["action", "amount"], "greater_than", {"literal": 1000}],
         "expect": {"effect": ["block", "require_approval"]}}


def suite_text(*properties, cases=None):
    """A JSON suite over the example documents, one property a line (so that places are known)."""
    head = '{"schema": "schema.yaml", "policy": "policy.yaml",'
    if cases is not None:
        head += f' "cases": {json.dumps(cases)},'
    return head + '\n "properties": [\n' + ",\n".join(json.dumps(p) for p in properties) + "\n]}\n"


def line_and_column(text, line, needle):
    """Where the needle starts in the given line of the text, as "LINE:COLUMN"."""
    return f"{line}:{text.splitlines()[line - 1].index(needle) + 1}"


@pytest.mark.parametrize("property, needle, message", [
    ({**LARGE, "wen": 1}, '"wen"', "properties[0]: unknown key 'wen'"),
    ({"name": "n", "action": "refund"}, "{", "properties[0]: missing key 'expect'"),
    ({**LARGE, "name": 5}, "5", "properties[0].name: expected a string"),
    ({**LARGE, "action": None}, "null", "properties[0].action: expected a string"),
    ({**LARGE, "expect": {"effect": []}}, "[]", "properties[0].expect.effect: expected at least one value, not an empty list"),
    ({**LARGE, "expect": {"effect": ["block", "deny"]}}, '"deny"',
     "properties[0].expect.effect[1]: unknown effect 'deny', expected one of allow, block, require_approval"),
    ({**LARGE, "expect": {"not_effect": 1}}, "1}", "properties[0].expect.not_effect: expected an effect: allow, block, require_approval"),
    ({**LARGE, "expect": {"effect": "block", "matched_rule": None}}, '{"effect"',
     "properties[0].expect: expected exactly one of the keys effect, not_effect, matched_rule"),
    ({**LARGE, "expect": {"efect": "block"}}, '"efect"', "properties[0].expect: unknown key 'efect'"),
    ({**LARGE, "expect": {"matched_rule": ["block_large_refunds", None, "nope"]}}, '"nope"',
     "properties[0].expect.matched_rule[2]: unknown rule 'nope': no rule of the policy has this id"),
    ({**LARGE, "expect": {"matched_rule": "nope"}}, '"nope"',
     "properties[0].expect.matched_rule: unknown rule 'nope': no rule of the policy has this id"),
    ({**LARGE, "expect": {"matched_rule": [5]}}, "5",
     "properties[0].expect.matched_rule[0]: expected a rule id or null (the default decision)"),
    # The condition's errors are the engine's, at the node at fault or the condition.
    ({**LARGE, "action": "refnd"}, '"refnd"', "properties[0].action: unknown action 'refnd' in scope"),
    ({**LARGE, "action": "refnd", "when": 5}, "5", "properties[0].when: data did not match any variant of untagged enum ConditionAst"),
    ({"name": "n", "action": "refnd", "expect": {"effect": "allow"}}, '"refnd"', "properties[0].action: unknown action 'refnd' in scope"),
    ({**LARGE, "action": "close_account"}, "[[", "properties[0].when: unknown field 'amount' in domain 'action'"),
    ({**LARGE, "when": [["action", "amount"], "greater_than", {"literal": {"number": "x"}}]}, "[[",
     "properties[0].when: data did not match any variant of untagged enum ConditionAst"),
    ({**LARGE, "when": {"any": [LARGE["when"]]}}, '{"any"',
     "properties[0].when: invalid logical condition: must contain at least two conditions"),
    ({**LARGE, "when": [["action", "amount"], "greater_than", {"literal": 18446744073709551616}]}, "18446744073709551616",
     "properties[0].when[2].literal: invalid type: integer `18446744073709551616` as u128, expected any value"),
])
def test_a_wrong_property_is_a_located_suite_error(capsys, documents, property, needle, message):
    text = suite_text({"name": "first", "expect": {"effect": "block"}}, property)
    Path("x.suite.json").write_text(text)
    where = line_and_column(text, 4, needle)
    expected = message.replace("properties[0]", "properties[1]")
    assert run(capsys, "test", "x.suite.json") == (2, ["0 passed, 0 failed"], [f"x.suite.json:{where}: {expected}"])
    github = run(capsys, "test", "x.suite.json", "--format", "github")[1][0]
    line, column = where.split(":")
    assert github.startswith(f"::error file=x.suite.json,line={line},col={column}::properties[1]")


YAML_PROPERTIES = """\
schema: schema.yaml
policy: policy.yaml
properties:
  - name: one
    action: refund
    when:
      any:
        - [[action, amount], greater_than, {literal: 1000}]
        - %s
    expect: {effect: block}
"""


@pytest.mark.parametrize("comparison, error", [
    # The engine, not PyYAML, types the condition's scalars: yes and 1e3 are what a policy makes of them.
    ("[[action, amount], equals, {literal: yes}]", "7:7: properties[0].when: type mismatch: left is 'Number', right is 'String'"),
    ("[[action, currency], equals, {literal: 1e3}]", "7:7: properties[0].when: type mismatch: left is 'String', right is 'Number'"),
    ("[[action, currency], equals, {literal: !!int '12'}]", "7:7: properties[0].when: type mismatch: left is 'String', right is 'Number'"),
    ("[[action, amount], equals, {literal: 18446744073709551616}]",
     "9:48: properties[0].when.any[1][2].literal: invalid type: integer `18446744073709551616` as u128, expected any value"),
    ("[[action, currency], equals, {literal: [EUR]}]", "7:7: properties[0].when: data did not match any variant of untagged enum ConditionAst"),
    ("[{1: amount, 0: action}, greater_than, {literal: .NaN}]", None),
])
def test_yaml_conditions_are_read_as_the_policy_reads_them(capsys, documents, comparison, error):
    pytest.importorskip("yaml")
    Path("x.suite.yaml").write_text(YAML_PROPERTIES % comparison)
    if error is None:
        assert run(capsys, "test", "--no-properties", "x.suite.yaml") == (0, ["0 passed, 0 failed"], [])
        return
    assert run(capsys, "test", "--no-properties", "x.suite.yaml") == (2, ["0 passed, 0 failed"], [f"x.suite.yaml:{error}"])


CONDITIONS = [
    '[[action, amount], greater_than, {literal: "5"}]',
    "[[action, amount], in, {literal: 5}]",
    "[[action, amount], Equals, {literal: 5}]",
    "[[actor, trust_level], less_than, {subject: [snapshot, maintenance_mode]}]",
    "[[actor, trust_level], less_than, {subject: [action, amount]}]",
    "[[customer, trust_level], less_than, {literal: 1}]",
    "{all: [[[actor, frozen], equals, {literal: true}]]}",
    "{any: [[[actor, frozen], equals, {literal: true}], [[actor, role], greater_than, {literal: a}]]}",
    "[[actor, frozen], equals, {literal: ~}]",
    "{subject: {domain: actor, field: role}, operator: not_equals, value: {literal: 0x1F}}",
]


@pytest.mark.parametrize("condition", CONDITIONS)
@pytest.mark.parametrize("action", ["refund", None])
def test_condition_errors_are_the_engines_for_a_rule_of_that_scope(capsys, documents, condition, action):
    pytest.importorskip("yaml")
    scope = "{global: true}" if action is None else f"{{action: {action}}}"
    policy = f"version: 1\nrules:\n  - id: r\n    scope: {scope}\n    when: {condition}\n    effect: block\n"
    head = "" if action is None else f"    action: {action}\n"
    Path("x.suite.yaml").write_text(
        f"schema: schema.yaml\npolicy: policy.yaml\nproperties:\n  - name: p\n{head}"
        f"    when: {condition}\n    expect: {{effect: block}}\n")
    status, out, err = run(capsys, "test", "x.suite.yaml", "--no-properties")
    try:
        tamsel.PyTamsel(TEXTS["schema.yaml"], policy)
    except ValueError as error:
        engine = str(error).split(" at line ")[0].replace("rules[0].", "").replace("rules[0]: ", "")
        assert status == 2 and len(err) == 1
        assert err[0].split(": ", 2)[2] == engine.removeprefix("when: ")
    else:
        assert (status, err) == (0, [])


# ---------------------------------------------------------------- proofs against an exhaustive oracle

ORACLE_SCHEMA = """\
version: 1
actions:
  pay: {fields: {amount: number, note: string}}
  move: {fields: {type: string, amount: number}}
actor: {fields: {level: number, admin: boolean}}
snapshot: {fields: {mode: string}}
"""
NAN, INF = math.nan, math.inf
NUMBER_LITERALS = (0.0, -0.0, 1.0, NAN, INF, -INF)
TEXT_LITERALS = ("a", "pay", "move")
# Every number field's value relative to the literals and to the other number field: each
# literal, NaN, the infinities and two values inside each interval between them.
NUMBERS = (-INF, -3.0, -2.0, -0.0, 0.25, 0.5, 1.0, 2.0, 3.0, INF, NAN)
MISSING = object()
CANDIDATES = {
    ("action", "type"): ("pay", "move", "a", "other", 1.0, MISSING),
    ("action", "amount"): NUMBERS + (MISSING,),
    ("action", "note"): TEXT_LITERALS + ("other", MISSING),
    ("actor", "level"): NUMBERS + (MISSING,),
    ("actor", "admin"): (True, False, MISSING),
    ("snapshot", "mode"): TEXT_LITERALS + ("other", MISSING),
}
TYPES = {("action", "amount"): "number", ("action", "note"): "string", ("action", "type"): "string",
         ("actor", "level"): "number", ("actor", "admin"): "boolean", ("snapshot", "mode"): "string"}
VISIBLE = {"pay": ["amount", "note"], "move": ["type", "amount"], None: []}


def random_condition(rng, action):
    """A condition in the list form, over the fields that a rule of the scope sees."""
    fields = [("action", f) for f in VISIBLE[action]] + [("actor", "level"), ("actor", "admin"), ("snapshot", "mode")]

    def comparison():
        left = rng.choice(fields)
        kind = TYPES[left]
        operator = rng.choice(["equals", "not_equals"] + ["greater_than", "less_than"] * (kind == "number"))
        same = [f for f in fields if f != left and TYPES[f] == kind]
        if same and rng.random() < 0.3:
            return [list(left), operator, {"subject": list(rng.choice(same))}]
        pool = {"number": NUMBER_LITERALS, "string": TEXT_LITERALS, "boolean": (True, False)}[kind]
        return [list(left), operator, {"literal": rng.choice(pool)}]

    shape = rng.choice(["atomic", "atomic", "all", "any"])
    if shape == "atomic":
        return comparison()
    return {shape: [comparison() for _ in range(rng.choice([2, 3]))]}


def flow(value):
    """A JSON-like value as YAML flow text (floats as the engine spells them)."""
    if isinstance(value, float):
        return ".nan" if value != value else ".inf" if value == INF else "-.inf" if value == -INF else repr(value)
    if isinstance(value, list):
        return "[" + ", ".join(flow(item) for item in value) + "]"
    if isinstance(value, dict):
        return "{" + ", ".join(f"{key}: {flow(item)}" for key, item in value.items()) + "}"
    return json.dumps(value)


def scope_yaml(action):
    return "{global: true}" if action is None else f"{{action: {action}}}"


def random_policy(rng, count):
    """Rules of every scope, actor rules among them, with effects and ids (one id twice)."""
    lines = ["version: 1", "rules:"]
    for index in range(count):
        scope = rng.choice(["pay", "pay", "move", None, None, "actor"])
        action = scope if scope != "actor" else None
        written = "{actor: bot}" if scope == "actor" else scope_yaml(scope)
        rule_id = "twice" if index in (1, 3) else f"r{index}"
        effect = rng.choice(["allow", "block", "require_approval"])
        lines.append(f"  - {{id: {rule_id}, scope: {written}, when: {flow(random_condition(rng, action))}, effect: {effect}}}")
    return "\n".join(lines) + "\n"


def random_property(rng, number, ids):
    action = rng.choice(["pay", "move", None])
    data = {"name": f"p{number}"}
    if action is not None or rng.random() < 0.5:
        data["action"] = action if action is not None else rng.choice(["pay", "move"])
    if rng.random() < 0.8:
        data["when"] = random_condition(rng, data.get("action"))
    kind = rng.choice(["effect", "not_effect", "matched_rule"])
    pool = ids + [None] if kind == "matched_rule" else ["allow", "block", "require_approval"]
    data["expect"] = {kind: rng.sample(pool, rng.choice([1, 1, 2]))}
    return data


def inputs(fields):
    """Every combination of the candidates of the given fields; the others missing."""
    for values in itertools.product(*[CANDIDATES[f] for f in fields]):
        data = {"action": {}, "actor": {}, "snapshot": {}}
        for (domain, name), value in zip(fields, values):
            if value is not MISSING:
                data[domain][name] = value
        yield data


def refutes(decision, covered, property):
    """Whether an input that the engines decide and cover so refutes the property."""
    (kind, values), = property["expect"].items()
    if not covered:
        return False
    return {"effect": decision["effect"] not in values, "not_effect": decision["effect"] in values,
            "matched_rule": decision["matched_rule"] not in values}[kind]


def covers(condition, data, property):
    """Whether the input is in the property's scope and meets its condition, as the engine says."""
    if condition is not None:
        return condition.evaluate(data)["matched_rule"] is not None
    return "action" not in property or data["action"].get("type") == property["action"]


def condition_engine(property):
    if "when" not in property:
        return None
    policy = (f"version: 1\nrules:\n  - {{id: p, scope: {scope_yaml(property.get('action'))}, "
              f"when: {flow(property['when'])}, effect: block}}\n")
    return tamsel.PyTamsel(ORACLE_SCHEMA, policy)


ORACLE_TRIALS = int(os.environ.get("TAMSEL_PROPERTY_TRIALS", "8"))


@pytest.mark.parametrize("seed", range(ORACLE_TRIALS))
def test_properties_hold_exactly_when_no_input_refutes_them(seed):
    pytest.importorskip("z3")
    rng = random.Random(seed)
    policy_text = random_policy(rng, rng.choice([3, 5, 7]))
    ids = sorted({line.split("id: ")[1].split(",")[0] for line in policy_text.splitlines()[2:]})
    properties = [random_property(rng, number, ids) for number in range(6)]
    policy = Policy(ORACLE_SCHEMA, policy_text)
    results = policy.check_properties([Property.from_json(p) for p in properties])
    engine = tamsel.PyTamsel(ORACLE_SCHEMA, policy_text)
    written = policy_text + json.dumps(properties)
    fields = [f for f in CANDIDATES if f == ("action", "type") or json.dumps(list(f)) in written]
    every = [(data, engine.evaluate(data)) for data in inputs(fields)]
    for property, result in zip(properties, results):
        condition = condition_engine(property)
        assert result.verdict in ("holds", "refuted"), (policy_text, property)
        found = next((data for data, decision in every
                      if refutes(decision, covers(condition, data, property), property)), None)
        assert (result.verdict == "holds") == (found is None), (policy_text, property, found)
        if result.verdict == "refuted":
            decision = engine.evaluate(result.input)
            assert refutes(decision, covers(condition, result.input, property), property), (policy_text, property)
            assert (result.decision.effect, result.decision.matched_rule) == (decision["effect"], decision["matched_rule"])
