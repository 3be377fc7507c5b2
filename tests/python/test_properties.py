"""Properties in decision test suites: read and located, compiled as rules' conditions are."""

import functools
import itertools
import json
import math
import os
import random
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

import tamsel
from tamsel_tools import Policy, Property, PropertyError
from test_cli import TEXTS, documents, run  # noqa: F401  (documents: a fixture)

LARGE = {"name": "large refunds are never allowed", "action": "refund",
         "when": [["action", "amount"], "greater_than", {"literal": 1000}],
         "expect": {"effect": ["block", "require_approval"]}}


def suite_text(*properties):
    """A JSON suite over the example documents, one property a line (so that places are known)."""
    head = '{"schema": "schema.yaml", "policy": "policy.yaml",'
    return head + '\n "properties": [\n' + ",\n".join(json.dumps(p) for p in properties) + "\n]}\n"


@pytest.mark.parametrize("properties, error", [
    ("[]", "x.suite.json:2:16: properties: expected at least one property"),
    ('{"name": "n"}', "x.suite.json:2:16: properties: expected a list"),
])
def test_a_suite_needs_a_list_of_properties(capsys, documents, properties, error):
    Path("x.suite.json").write_text('{"schema": "schema.yaml", "policy": "policy.yaml",\n "properties": ' + properties + "}")
    assert run(capsys, "test", "x.suite.json") == (2, ["0 passed, 0 failed"], [error])


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
    # The condition's errors are the engine's, at the node at fault: the subject, the comparison,
    # the all/any, the action for the scope; the condition itself when it does not read as one.
    ({**LARGE, "action": "refnd"}, '"refnd"', "properties[0].action: unknown action 'refnd' in scope"),
    ({**LARGE, "action": "refnd", "when": 5}, "5", "properties[0].when: data did not match any variant of untagged enum ConditionAst"),
    ({"name": "n", "action": "refnd", "expect": {"effect": "allow"}}, '"refnd"', "properties[0].action: unknown action 'refnd' in scope"),
    ({**LARGE, "action": "close_account"}, '["action", "amount"]', "properties[0].when: unknown field 'amount' in domain 'action'"),
    ({**LARGE, "when": [["action", "amount"], "greater_than", {"literal": {"number": "x"}}]}, "[[",
     "properties[0].when: data did not match any variant of untagged enum ConditionAst"),
    ({**LARGE, "when": {"all": [[["actor", "role"], "equals", {"literal": "a"}], [["actor", "role"], "greater_than", {"literal": "a"}]]}},
     '[["actor", "role"], "greater_than"', "properties[0].when: operator 'GreaterThan' not supported for type 'string'"),
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
    status, out, err = run(capsys, "test", "x.suite.json")
    assert (status, out, err[0]) == (2, ["0 passed, 0 failed"], f"x.suite.json:{where}: {expected}")
    assert all(line.startswith("help: ") for line in err[1:])
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
    ("[[action, amount], equals, {literal: yes}]", "9:11: properties[0].when: type mismatch: left is 'Number', right is 'String'"),
    ("[[action, currency], equals, {literal: 1e3}]", "9:11: properties[0].when: type mismatch: left is 'String', right is 'Number'"),
    ("[[action, currency], equals, {literal: !!int '12'}]", "9:11: properties[0].when: type mismatch: left is 'String', right is 'Number'"),
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
    status, out, err = run(capsys, "test", "--no-properties", "x.suite.yaml")
    assert (status, out, err[0]) == (2, ["0 passed, 0 failed"], f"x.suite.yaml:{error}")
    assert all(line.startswith("help: ") for line in err[1:])


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
        assert status == 2
        assert err[0].split(": ", 2)[2] == engine.removeprefix("when: ")
        # The help under it is the one that the same condition gets in a rule.
        Path("p.yaml").write_text(policy)
        assert err[1:] == run(capsys, "check", "schema.yaml", "p.yaml")[2][1:]
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
    ("action", "amount"): NUMBERS + ("a", MISSING),
    ("action", "note"): TEXT_LITERALS + ("other", MISSING),
    ("actor", "level"): NUMBERS + (MISSING,),
    ("actor", "admin"): (True, False, 1.0, MISSING),
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
    """Rules of every scope, actor rules among them, with effects and ids (one id twice): the
    policy text, and each rule that can decide as (action, condition, id, effect)."""
    lines, rules = ["version: 1", "rules:"], []
    for index in range(count):
        scope = rng.choice(["pay", "pay", "move", None, None, "actor"])
        action = scope if scope != "actor" else None
        written = "{actor: bot}" if scope == "actor" else scope_yaml(scope)
        rule_id = "twice" if index in (1, 3) else f"r{index}"
        effect = rng.choice(["allow", "block", "require_approval"])
        condition = random_condition(rng, action)
        lines.append(f"  - {{id: {rule_id}, scope: {written}, when: {flow(condition)}, effect: {effect}}}")
        if scope != "actor":
            rules.append((action, condition, rule_id, effect))
    return "\n".join(lines) + "\n", rules


def drawn(seed):
    """A random policy and six random properties over it."""
    rng = random.Random(seed)
    policy_text, rules = random_policy(rng, rng.choice([3, 5, 7]))
    ids = sorted({line.split("id: ")[1].split(",")[0] for line in policy_text.splitlines()[2:]})
    return policy_text, [random_property(rng, number, ids, rules) for number in range(6)]


def random_property(rng, number, ids, rules):
    if rules and rng.random() < 0.3:
        # A rule's own scope and condition: it holds where that rule decides first.
        action, when, rule_id, effect = rng.choice(rules)
        expect = {"matched_rule": [rule_id]} if rng.random() < 0.5 else {"effect": effect}
        return {"name": f"p{number}", **({"action": action} if action else {}), "when": when, "expect": expect}
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
    values = values if isinstance(values, list) else [values]
    if not covered:
        return False
    return {"effect": decision["effect"] not in values, "not_effect": decision["effect"] in values,
            "matched_rule": decision["matched_rule"] not in values}[kind]


def covers(condition, data, property):
    """Whether the input is in the property's scope and meets its condition, as the engine says."""
    if condition is not None:
        return condition.evaluate(data)["matched_rule"] is not None
    return "action" not in property or data["action"].get("type") == property["action"]


def condition_engine(property, schema=ORACLE_SCHEMA):
    """An engine whose one rule, of the property's scope and condition, blocks."""
    if "when" not in property:
        return None
    policy = (f"version: 1\nrules:\n  - {{id: p, scope: {scope_yaml(property.get('action'))}, "
              f"when: {flow(property['when'])}, effect: block}}\n")
    return tamsel.PyTamsel(schema, policy)


ORACLE_TRIALS = int(os.environ.get("TAMSEL_PROPERTY_TRIALS", "8"))


@pytest.mark.parametrize("seed", range(ORACLE_TRIALS))
def test_properties_hold_exactly_when_no_input_refutes_them(seed):
    pytest.importorskip("z3")
    policy_text, properties = drawn(seed)
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


def test_random_properties_come_out_both_ways():
    pytest.importorskip("z3")
    """The oracle's draws hold and fail alike, so that both answers are put to the test."""
    verdicts = set()
    for seed in range(ORACLE_TRIALS):
        policy_text, drawn_properties = drawn(seed)
        properties = [Property.from_json(p) for p in drawn_properties]
        verdicts |= {r.verdict for r in Policy(ORACLE_SCHEMA, policy_text).check_properties(properties)}
    assert verdicts == {"holds", "refuted"}


# ---------------------------------------------------------------- claims over the example, by hand

EXAMPLE_POLICY = Policy(TEXTS["schema.yaml"], TEXTS["policy.yaml"], TEXTS["governance.yaml"])
REFUND = {"action": "refund"}
FROZEN = [["actor", "frozen"], "equals", {"literal": True}]
BELOW = [["actor", "trust_level"], "less_than", {"subject": ["snapshot", "min_trust_level"]}]


@pytest.mark.parametrize("claim, verdict, decision", [
    ({**LARGE}, "holds", None),
    ({**REFUND, "when": FROZEN, "expect": {"effect": "block"}}, "holds", None),
    ({"when": BELOW, "expect": {"effect": "block"}}, "holds", None),
    # Actor rules never decide: nothing is ever held for approval.
    ({"expect": {"not_effect": "require_approval"}}, "holds", None),
    ({"expect": {"matched_rule": ["review_untrusted_agents", "block_large_refunds"]}}, "refuted", ("allow", None)),
    # A NaN amount exceeds nothing: such refunds pass, and the claim that they do not is refuted.
    ({**REFUND, "when": [["action", "amount"], "not_equals", {"literal": 5}], "expect": {"effect": "block"}},
     "refuted", ("allow", None)),
    ({**REFUND, "when": {"all": [[["action", "amount"], "not_equals", {"literal": 1}],
                                 [["action", "amount"], "not_equals", {"literal": 2}]]},
      "expect": {"not_effect": "allow"}}, "refuted", ("allow", None)),
    # An empty scope: a condition that no input meets holds every claim.
    ({**REFUND, "when": {"all": [[["action", "amount"], "greater_than", {"literal": math.inf}],
                                 [["action", "amount"], "less_than", {"literal": 5}]]},
      "expect": {"effect": "require_approval"}}, "holds", None),
    # The global rule decides every action type, those without rules of their own too.
    ({"action": "close_account", "when": FROZEN, "expect": {"effect": "allow"}}, "refuted", ("block", "below_required_trust")),
    ({"action": "close_account", "expect": {"matched_rule": [None, "below_required_trust"]}}, "holds", None),
])
def test_claims_over_the_example(claim, verdict, decision):
    pytest.importorskip("z3")
    claim = {"name": "claim", **claim}
    result = EXAMPLE_POLICY.check_property(Property.from_json(claim))
    assert result.verdict == verdict
    if decision is None:
        return
    assert (result.decision.effect, result.decision.matched_rule) == decision
    condition = condition_engine(claim, TEXTS["schema.yaml"])
    engine = EXAMPLE_POLICY.engine
    assert refutes(engine.evaluate(result.input), covers(condition, result.input, claim), claim)
    # 1-minimal: without any one of its fields the input no longer refutes the claim.
    for domain, name in [(d, f) for d, values in result.input.items() for f in values]:
        smaller = {d: {f: v for f, v in values.items() if (d, f) != (domain, name)} for d, values in result.input.items()}
        assert not refutes(engine.evaluate(smaller), covers(condition, smaller, claim), claim), (domain, name)


# ---------------------------------------------------------------- tamsel test and the library

ROOT = Path(__file__).resolve().parents[2]


def example_suite():
    return json.loads((ROOT / "examples" / "refunds" / "refunds.suite.json").read_text())


def test_the_example_suite_passes(capsys, monkeypatch):
    pytest.importorskip("z3")
    monkeypatch.chdir(ROOT / "examples" / "refunds")
    status, out, err = run(capsys, "test", ".")
    assert (status, err) == (0, [])
    assert out == ["9 passed, 0 failed"]


def test_a_refuted_property_is_shown_with_its_input(capsys, documents):
    pytest.importorskip("z3")
    documents(policy_yaml=TEXTS["policy.yaml"].replace("literal: 1000", "literal: 2000"))
    Path("refunds.suite.json").write_text((ROOT / "examples" / "refunds" / "refunds.suite.json").read_text())
    status, out, err = run(capsys, "test", "refunds.suite.json")
    assert (status, err) == (1, [])
    assert out == [
        'refunds.suite.json: large refunds are never allowed: refuted: {"action": {"type": "refund", "amount": 1001.0},'
        ' "actor": {}, "snapshot": {}} is decided {"effect": "allow", "matched_rule": null}',
        "8 passed, 1 failed",
    ]
    line = next(n for n, text in enumerate(Path("refunds.suite.json").read_text().splitlines(), 1)
                if '"large refunds are never allowed"' in text and n > 40) - 1
    assert run(capsys, "test", "refunds.suite.json", "--format", "github")[1][0].startswith(
        f"::error file=refunds.suite.json,line={line},col=5::large refunds are never allowed: refuted: ")


@pytest.mark.parametrize("options, summary, status, junit", [
    ([], "8 passed, 1 failed", 1, ("9", "1", "0")),
    (["--properties-only"], "2 passed, 1 failed", 1, ("3", "1", "0")),
    (["--no-properties"], "6 passed, 0 failed", 0, ("6", "0", "0")),
    # No time for the solver: what the engine refutes alone fails, the rest is undecided, an error
    # in JUnit, never a pass.
    (["--timeout", "0.000001"], "6 passed, 1 failed, 2 undecided", 1, ("9", "1", "2")),
    (["--timeout", "0.000001", "--properties-only"], "0 passed, 1 failed, 2 undecided", 1, ("3", "1", "2")),
    (["--timeout", "0.000001", "--no-properties"], "6 passed, 0 failed", 0, ("6", "0", "0")),
])
def test_properties_count_with_the_cases(capsys, documents, options, summary, status, junit):
    pytest.importorskip("z3")
    documents(policy_yaml=TEXTS["policy.yaml"].replace("literal: 1000", "literal: 2000"))
    suite = example_suite()
    suite["cases"][0]["input"]["action"]["amount"] = 2500
    Path("x.suite.json").write_text(json.dumps(suite))
    got, out, _ = run(capsys, "test", "x.suite.json", "--junit", "report.xml", *options)
    assert (got, out[-1]) == (status, summary)
    report = ElementTree.parse("report.xml").getroot()
    assert (report.get("tests"), report.get("failures"), report.get("errors")) == junit
    names = [case.get("name") for case in report.iter("testcase")]
    assert len(names) == int(junit[0])
    if "--timeout" in options and "--no-properties" not in options:
        assert out[1:3] == [f"x.suite.json: {p['name']}: undecided: not settled within the solver's budget"
                            for p in suite["properties"][1:]]


def test_a_suite_with_properties_needs_the_solver(capsys, documents, monkeypatch):
    Path("x.suite.json").write_text(json.dumps(example_suite()))
    monkeypatch.setitem(sys.modules, "z3", None)
    assert run(capsys, "test", "x.suite.json") == (2, ["0 passed, 0 failed"], [
        "x.suite.json: its properties need the z3 solver; install it with: pip install 'tamsel[analysis]' "
        "(or run --no-properties)"])
    assert run(capsys, "test", "x.suite.json", "--no-properties") == (0, ["6 passed, 0 failed"], [])


def test_yaml_suites_hold_properties_too(capsys, documents):
    pytest.importorskip("z3")
    pytest.importorskip("yaml")
    Path("x.suite.yaml").write_text(YAML_PROPERTIES % "[[action, currency], not_equals, {literal: EUR}]")
    assert run(capsys, "test", "x.suite.yaml") == (0, ["1 passed, 0 failed"], [])
    Path("x.suite.yaml").write_text((YAML_PROPERTIES % "[[action, currency], equals, {literal: EUR}]")
                                    .replace("effect: block", "not_effect: allow"))
    status, out, _ = run(capsys, "test", "x.suite.yaml", "--format", "github")
    assert (status, out[0].split("::")[1]) == (1, "error file=x.suite.yaml,line=4,col=5")


@pytest.mark.parametrize("data, message", [
    ({"name": "n", "expect": {"effect": "deny"}}, "expect.effect: unknown effect 'deny', expected one of allow, block, require_approval"),
    ({"name": "n", "expect": {"matched_rule": "nope"}}, "expect.matched_rule: unknown rule 'nope': no rule of the policy has this id"),
    ({"name": "n", "action": "refnd", "expect": {"effect": "block"}}, "action: unknown action 'refnd' in scope"),
    ({"name": "n", "when": [["action", "amount"], "equals", {"literal": 1}], "expect": {"effect": "block"}},
     "when: unknown field 'amount' in domain 'action'"),
    ({"name": "n", "when": [["actor", "role"], "equals", {"literal": object()}], "expect": {"effect": "block"}},
     "when: not a JSON value: object"),
    ({"name": "n", "when": [[[[]]]], "expect": {"effect": "block"}}, "when: data did not match any variant of untagged enum ConditionAst"),
    ({"name": "n", "when": functools.reduce(lambda inner, _: [inner], range(5000), []), "expect": {"effect": "block"}},
     "when: nested too deeply"),
])
def test_the_library_refuses_a_property_that_does_not_fit(data, message):
    with pytest.raises(PropertyError) as caught:
        EXAMPLE_POLICY.check_property(Property.from_json(data))
    assert str(caught.value) == message


def test_a_property_and_its_result_as_json():
    pytest.importorskip("z3")
    property = Property.from_json({**LARGE, "expect": {"effect": "block"}})
    assert property == Property("large refunds are never allowed", "effect", ("block",), "refund", LARGE["when"])
    assert property.to_json() == {**LARGE, "expect": {"effect": ["block"]}}
    refuted = EXAMPLE_POLICY.check_property(Property.from_json({"name": "all pass", "expect": {"effect": "allow"}}))
    data = refuted.to_json()
    assert (data["name"], data["verdict"], data["decision"]["effect"]) == ("all pass", "refuted", "block")


def test_properties_count_nothing_toward_coverage(capsys, documents):
    pytest.importorskip("z3")
    Path("x.suite.json").write_text(json.dumps(example_suite()))
    status, out, _ = run(capsys, "test", "x.suite.json", "--coverage", "--properties-only")
    assert (status, out[:2]) == (0, ["3 passed, 0 failed", "policy.yaml: 0 of 3 rules decided (0.0%), "
                                     "0 of 4 comparisons both true and false (0.0%), "
                                     "0 of 4 comparisons shown to decide alone (0.0%)"])


def test_undecided_properties_alone_give_their_own_status(capsys, documents):
    pytest.importorskip("z3")
    Path("x.suite.json").write_text(json.dumps(example_suite()))
    status, out, _ = run(capsys, "test", "x.suite.json", "--timeout", "0.000001")
    assert (status, out[-1]) == (3, "6 passed, 0 failed, 3 undecided")


LITERALS = ["yes", "1e3", "0x1F", ".inf", "-.Inf", ".NaN", "'x: y'", "'a # b'", "~", "!!float '1'", "+7", "007",
            "1_000", "-0x10", "Null", '"q"', "a:b", "-x", "-1", "1.", ".5", "18446744073709551615",
            "-9223372036854775808", "!!str 5", "!!bool 'true'", "é", '"\\t"', "'it''s'", "-0.0", "1e400", "'5'"]


@pytest.mark.parametrize("literal", LITERALS)
def test_literals_are_read_as_the_policy_reads_them(literal):
    yaml = pytest.importorskip("yaml")
    from tamsel_tools.analysis.properties.condition import ConditionError, compile_condition
    from tamsel_tools.base.nodes import yaml_tree

    for field in ("role", "trust_level", "frozen"):
        condition = f"[[actor, {field}], equals, {{literal: {literal}}}]"
        policy = f"version: 1\nrules:\n  - id: r\n    scope: {{global: true}}\n    when: {condition}\n    effect: block\n"
        tree = yaml_tree(yaml, f"when: {condition}\n")
        try:
            engine = Policy(TEXTS["schema.yaml"], policy).rules[0].comparisons[0].right.value
        except ValueError as error:
            with pytest.raises(ConditionError) as ours:
                compile_condition(TEXTS["schema.yaml"], None, tree.child("when"))
            reason = error.reason.replace("rules[0]: ", "").replace("rules[0].", "")
            assert ours.value.message == (reason if reason.startswith("when") else f"when: {reason}")
            continue
        value = compile_condition(TEXTS["schema.yaml"], None, tree.child("when")).rule.comparisons[0].right.value
        assert (type(value), repr(value)) == (type(engine), repr(engine))


def test_the_same_question_gets_the_same_answer_whatever_came_before():
    pytest.importorskip("z3")
    policy_text, drawn_properties = drawn(3)
    policy = Policy(ORACLE_SCHEMA, policy_text)
    properties = [Property.from_json(p) for p in drawn_properties]
    first = policy.check_properties(properties)
    policy.check_properties(list(reversed(properties)))
    assert policy.check_properties(properties) == first


def test_an_input_the_engine_does_not_confirm_is_an_internal_error(capsys, documents, monkeypatch):
    pytest.importorskip("z3")
    from tamsel_tools.analysis.properties import proof

    documents(policy_yaml=TEXTS["policy.yaml"].replace("literal: 1000", "literal: 2000"))
    Path("x.suite.json").write_text(json.dumps(example_suite()))
    monkeypatch.setattr(proof, "minimal", lambda data, still_shows, encoding: {"action": {"type": "refund"}})
    status, out, err = run(capsys, "test", "x.suite.json", "--properties-only")
    assert (status, out) == (70, [])
    assert err == ["tamsel: internal error, please report it: property 'large refunds are never allowed': "
                   'the input {"action": {"type": "refund"}} does not refute it']


# ---------------------------------------------------------------- a suite's properties compiled together

WRONG_CONDITION = {**LARGE, "when": [["action", "amont"], "greater_than", {"literal": 1}]}
WRONG_READING = {**LARGE, "when": [["action", "amount"], "greater_than", {"literal": 18446744073709551616}]}
WRONG_ID = {**LARGE, "expect": {"matched_rule": "nope"}}
WRONG_ACTION = {"name": "n", "action": "refnd", "expect": {"effect": "allow"}}


@pytest.mark.parametrize("properties, line, message", [
    # The document is read whole before its rules compile: the earlier property's error still wins.
    ([LARGE, WRONG_CONDITION, WRONG_READING], 4, "properties[1].when: unknown field 'amont' in domain 'action'"),
    ([LARGE, WRONG_READING, WRONG_CONDITION], 4,
     "properties[1].when[2].literal: invalid type: integer `18446744073709551616` as u128, expected any value"),
    ([WRONG_ID, WRONG_CONDITION], 3, "properties[0].expect.matched_rule: unknown rule 'nope': no rule of the policy has this id"),
    ([WRONG_CONDITION, WRONG_ID], 3, "properties[0].when: unknown field 'amont' in domain 'action'"),
    ([LARGE, LARGE, WRONG_ACTION, WRONG_CONDITION], 5, "properties[2].action: unknown action 'refnd' in scope"),
    ([LARGE, WRONG_CONDITION, WRONG_ACTION], 4, "properties[1].when: unknown field 'amont' in domain 'action'"),
])
def test_the_first_wrong_property_is_named_among_many(capsys, documents, properties, line, message):
    Path("x.suite.json").write_text(suite_text(*properties))
    status, out, err = run(capsys, "test", "x.suite.json")
    headlines = [each for each in err if not each.startswith("help: ")]
    assert (status, len(headlines), err[0].split(":")[1], err[0].split(": ", 1)[1]) == (2, 1, str(line), message)


def test_many_properties_are_judged_each_by_its_own_condition(capsys, documents):
    pytest.importorskip("z3")
    # Every property of a scope and of none, each condition judged on its own: one of them refuted.
    properties = [
        {"name": f"above {limit}", "action": "refund", "when": [["action", "amount"], "greater_than", {"literal": limit}],
         "expect": {"effect": "block"}} for limit in (999, 1000, 5000)
    ] + [{"name": "untrusted", "when": BELOW, "expect": {"effect": "block"}},
         {"name": "no condition", "action": "close_account", "expect": {"not_effect": "require_approval"}}]
    Path("x.suite.json").write_text(suite_text(*properties))
    status, out, _ = run(capsys, "test", "x.suite.json")
    assert (status, out[-1]) == (1, "4 passed, 1 failed")
    assert out[0].startswith('x.suite.json: above 999: refuted: {"action": {"type": "refund", "amount": 1000.0}')


def test_a_condition_on_the_action_type_is_judged_in_its_own_scope():
    pytest.importorskip("z3")
    policy = Policy(ORACLE_SCHEMA, "version: 1\nrules:\n  - id: r\n    scope: {action: move}\n"
                                   "    when: [[action, amount], greater_than, {literal: 5}]\n    effect: block\n")
    typed = [["action", "type"], "equals", {"literal": "move"}]
    claims = [
        {"name": "typed", "action": "move", "when": typed, "expect": {"effect": "allow"}},
        {"name": "other type", "action": "move", "when": [["action", "type"], "not_equals", {"literal": "move"}],
         "expect": {"effect": "allow"}},
        {"name": "small", "action": "move", "when": [["action", "amount"], "less_than", {"literal": 5}],
         "expect": {"effect": "allow"}},
    ]
    results = policy.check_properties([Property.from_json(claim) for claim in claims])
    assert [result.verdict for result in results] == ["refuted", "holds", "holds"]
    assert results[0].input["action"]["type"] == "move" and results[0].decision.matched_rule == "r"
