"""The tools' library and the commands over it: explain, coverage, the canonical text, errors."""

import hashlib
import json
import math
import os
import random
from pathlib import Path

import pytest

import tamsel
import tamsel_tools.diagnostics.documents
from tamsel_tools import Comparison, Literal, Policy, PolicyError, Rule, Scope, Subject
from tamsel_tools.base import strict_json
from tamsel_tools.io.reading import Limits
from tamsel_tools.model.rules import Violation
from test_cli import EXAMPLE, TEXTS, documents, edited, run, suite  # noqa: F401  (documents: a fixture)

EXAMPLE_POLICY = Policy(TEXTS["schema.yaml"], TEXTS["policy.yaml"], TEXTS["governance.yaml"])


def test_the_rules_of_the_example_in_document_order():
    amount, currency = Subject("action", "amount"), Subject("action", "currency")
    trust, frozen = Subject("actor", "trust_level"), Subject("actor", "frozen")
    assert EXAMPLE_POLICY.rules == (
        Rule(0, "block_large_refunds", Scope("action", "refund"), "block", "atomic",
             (Comparison(0, amount, "greater_than", Literal(1000.0), "number", 7, 7),), 3, 5),
        Rule(1, "review_untrusted_agents", Scope("actor", "support_agent"), "require_approval", "all",
             (Comparison(0, trust, "less_than", Literal(3.0), "number", 18, 11),
              Comparison(1, Subject("snapshot", "maintenance_mode"), "equals", Literal(False), "boolean", 19, 11)),
             14, 5),
        Rule(2, "foreign_currency_or_frozen", Scope("action", "refund"), "block", "any",
             (Comparison(0, currency, "not_equals", Literal("EUR"), "string", 27, 11),
              Comparison(1, frozen, "equals", Literal(True), "boolean", 28, 11)), 23, 5),
        Rule(3, "below_required_trust", Scope("global", None), "block", "atomic",
             (Comparison(0, trust, "less_than", Subject("snapshot", "min_trust_level"), "number", 33, 7),), 30, 5),
    )
    assert [rule.can_decide for rule in EXAMPLE_POLICY.rules] == [True, False, True, True]


@pytest.mark.parametrize("texts, error", [
    ({"policy.yaml": edited("policy.yaml", "effect: block", "effect: deny")},
     ("policy", 13, 13, "rules[0].effect: unknown variant `deny`, expected one of `allow`, `block`, "
                        "`require_approval`")),
    ({"schema.yaml": ""}, ("schema", None, None, "missing field `version`")),
    ({"schema.yaml": "version: 1\nactions: {refund: {fields: {}}\n"},
     ("schema", 3, 1, "did not find expected ',' or '}', while parsing a flow mapping at line 2 column 10")),
    ({"governance.yaml": edited("governance.yaml", "exists: true", "exists: sometimes")},
     ("governance", 4, 7, "governance.rules[0]: data did not match any variant of untagged enum Constraint")),
    ({"policy.yaml": edited("policy.yaml", "literal: 1000", "literal: x")},
     ("policy", 7, 7, "type mismatch: left is 'Number', right is 'String'")),
])
def test_policy_errors_name_the_document_and_the_place(texts, error):
    documents = {**TEXTS, **texts}
    with pytest.raises(PolicyError) as caught:
        Policy(documents["schema.yaml"], documents["policy.yaml"], documents["governance.yaml"])
    with pytest.raises(ValueError) as engine:
        tamsel.PyTamsel(documents["schema.yaml"], documents["policy.yaml"], documents["governance.yaml"])
    found = caught.value
    assert (found.document, found.line, found.column, found.reason) == error
    assert found.message == str(engine.value)  # the engine's own text, position and all


@pytest.mark.parametrize("texts, kind, operands, rule_index, violations", [
    ({"policy.yaml": edited("policy.yaml", "field: trust_level}, less_than", "field: trust}, less_than")},
     "unknown_field", {"domain": "actor", "field": "trust"}, 1, ()),
    ({"policy.yaml": edited("policy.yaml", "effect: block", "effect: deny")},
     "unknown_variant", {"variant": "deny", "expected": "one of `allow`, `block`, `require_approval`",
                         "path": "rules[0].effect"}, 0, ()),
    # Two violations: one at the policy rule that breaks it, one at the governance rule.
    ({"governance.yaml": edited("governance.yaml", "actor.frozen]", "]").replace(
        "exists: true", "exists: false")},
     "governance_violation", {"governance_rule": "refund-block-present",
                              "governance_message": "every policy needs a blocking refund rule"}, 0,
     (Violation("refund-block-present", "every policy needs a blocking refund rule", "policy", 0, 3, 5),
      Violation("refund-fields", "refund rules may only read the amount, the currency and the frozen flag",
                "policy", 2, 23, 5))),
])
def test_policy_errors_carry_kind_operands_and_violations(texts, kind, operands, rule_index, violations):
    documents = {**TEXTS, **texts}
    with pytest.raises(PolicyError) as caught:
        Policy(documents["schema.yaml"], documents["policy.yaml"], documents["governance.yaml"])
    found = caught.value
    assert (found.kind, found.operands, found.rule_index, found.violations) == (
        kind, operands, rule_index, violations)


POLICY_TEXT = "policy.yaml"
REFUND = '{"action": {"type": "refund", "amount": %s, "currency": %s}%s}'


@pytest.mark.parametrize("stdin, out", [
    (REFUND % ("5000", '"EUR"', ""), [
        "<stdin>:1: action type 'refund'",
        "  rules of action 'refund':",
        "    policy.yaml:3:5: rule 'block_large_refunds' (block): true",
        "      policy.yaml:7:7: comparison 0: action.amount (5000.0) greater_than 1000.0: true",
        "  decision: block, rule 'block_large_refunds'"]),
    # The text "yes" where a number is declared: every comparison on it is false.
    (REFUND % ('"yes"', '"EUR"', ', "actor": {"frozen": "no"}'), [
        "<stdin>:1: action type 'refund'",
        "  rules of action 'refund':",
        "    policy.yaml:3:5: rule 'block_large_refunds' (block): false",
        "      policy.yaml:7:7: comparison 0: action.amount ('yes', a string where the schema declares "
        "number) greater_than 1000.0: false, kinds differ",
        "    policy.yaml:23:5: rule 'foreign_currency_or_frozen' (block): false",
        "      policy.yaml:27:11: comparison 0: action.currency ('EUR') not_equals 'EUR': false",
        "      policy.yaml:28:11: comparison 1: actor.frozen ('no', a string where the schema declares "
        "boolean) equals true: false, kinds differ",
        "  global rules:",
        "    policy.yaml:30:5: rule 'below_required_trust' (block): false",
        "      policy.yaml:33:7: comparison 0: actor.trust_level (missing) less_than "
        "snapshot.min_trust_level (missing): false, left missing",
        "  decision: allow, no rule matched"]),
    # The any stops at its first true member.
    (REFUND % ("NaN", '"USD"', ', "actor": {"frozen": true}'), [
        "<stdin>:1: action type 'refund'",
        "  rules of action 'refund':",
        "    policy.yaml:3:5: rule 'block_large_refunds' (block): false",
        "      policy.yaml:7:7: comparison 0: action.amount (nan) greater_than 1000.0: false",
        "    policy.yaml:23:5: rule 'foreign_currency_or_frozen' (block): true",
        "      policy.yaml:27:11: comparison 0: action.currency ('USD') not_equals 'EUR': true",
        "  decision: block, rule 'foreign_currency_or_frozen'"]),
    ('{"action": {"type": "close_account"}, "actor": {"trust_level": 1}, "snapshot": {"min_trust_level": 2}}', [
        "<stdin>:1: action type 'close_account' names no rules: global rules only",
        "  global rules:",
        "    policy.yaml:30:5: rule 'below_required_trust' (block): true",
        "      policy.yaml:33:7: comparison 0: actor.trust_level (1.0) less_than snapshot.min_trust_level (2.0): true",
        "  decision: block, rule 'below_required_trust'"]),
    ('{"action": {"type": 7}, "actor": {"trust_level": 1}, "snapshot": {"min_trust_level": true}}', [
        "<stdin>:1: no action type: global rules only",
        "  global rules:",
        "    policy.yaml:30:5: rule 'below_required_trust' (block): false",
        "      policy.yaml:33:7: comparison 0: actor.trust_level (1.0) less_than snapshot.min_trust_level (true, a "
        "boolean where the schema declares number): false, kinds differ",
        "  decision: allow, no rule matched"]),
    # Names from the input are printed safely.
    ('{"action": {"type": "a\\u001b[2Jb\\u202e"}}', [
        "<stdin>:1: action type 'a\\u{1b}[2Jb\\u{202e}' names no rules: global rules only",
        "  global rules:",
        "    policy.yaml:30:5: rule 'below_required_trust' (block): false",
        "      policy.yaml:33:7: comparison 0: actor.trust_level (missing) less_than "
        "snapshot.min_trust_level (missing): false, left missing",
        "  decision: allow, no rule matched"]),
])
def test_explain_shows_each_step_for_a_person(capsys, documents, stdin, out):
    argv = ["explain", "schema.yaml", "policy.yaml", "-g", "governance.yaml"]
    assert run(capsys, *argv, stdin=stdin.encode() + b"\n") == (0, out, [])


def test_explain_separates_blocks_and_reports_refused_input_as_eval_does(capsys, documents):
    stdin = b'{}\n{"action": {"amount": [1]}}\n{}\n'
    status, out, err = run(capsys, "explain", "schema.yaml", "policy.yaml", stdin=stdin)
    block = ["no action type: global rules only", "  global rules:",
             "    policy.yaml:30:5: rule 'below_required_trust' (block): false",
             "      policy.yaml:33:7: comparison 0: actor.trust_level (missing) less_than "
             "snapshot.min_trust_level (missing): false, left missing",
             "  decision: allow, no rule matched"]
    first, *rest = block
    assert (status, out, err) == (
        1, ["<stdin>:1: " + first, *rest, "", "<stdin>:3: " + first, *rest], ["<stdin>:2: Unsupported value type; action.amount is a JSON array"])
    assert run(capsys, "explain", "schema.yaml", "missing.yaml") == (
        2, [], ["missing.yaml: cannot read: No such file or directory"])


def test_explain_says_when_there_are_no_global_rules(capsys, documents):
    documents(policy_yaml=TEXTS["policy.yaml"].split("  - id: below_required_trust")[0])
    stdin = b'{"action": {"type": "refund", "amount": 5, "currency": "EUR"}}\n'
    assert run(capsys, "explain", "schema.yaml", "policy.yaml", stdin=stdin) == (0, [
        "<stdin>:1: action type 'refund'",
        "  rules of action 'refund':",
        "    policy.yaml:3:5: rule 'block_large_refunds' (block): false",
        "      policy.yaml:7:7: comparison 0: action.amount (5.0) greater_than 1000.0: false",
        "    policy.yaml:23:5: rule 'foreign_currency_or_frozen' (block): false",
        "      policy.yaml:27:11: comparison 0: action.currency ('EUR') not_equals 'EUR': false",
        "      policy.yaml:28:11: comparison 1: actor.frozen (missing) equals true: false, left missing",
        "  global rules: none",
        "  decision: allow, no rule matched"], [])


def side(domain, field, *value):
    return {"domain": domain, "field": field, **({"value": value[0]} if value else {})}


def comparison(member, result, reason, left, operator, right):
    return {"member": member, "result": result, "reason": reason, "left": left, "operator": operator,
            "right": right}


LARGE = comparison(0, True, None, side("action", "amount", 5000.0), "greater_than", {"literal": 1000.0})


def step(list_name, index, rule, line, column):
    return lambda result, comparisons: {"list": list_name, "index": index, "rule": rule, "result": result,
                                        "line": line, "column": column, "comparisons": comparisons}


STEP_0 = step("action", 0, "block_large_refunds", 3, 5)
STEP_2 = step("action", 2, "foreign_currency_or_frozen", 23, 5)
STEP_3 = step("global", 3, "below_required_trust", 30, 5)
TRUST = ("less_than", side("snapshot", "min_trust_level"))


@pytest.mark.parametrize("input, decision, steps", [
    ({"action": {"type": "refund", "amount": 5000}}, ("block", "block_large_refunds"),
     [STEP_0(True, [LARGE])]),
    ({"action": {"type": "refund", "amount": -math.inf, "currency": "EUR"}, "actor": {"frozen": True}},
     ("block", "foreign_currency_or_frozen"), [
         STEP_0(False, [
             comparison(0, False, None, side("action", "amount", -math.inf), "greater_than", {"literal": 1000.0})]),
         STEP_2(True, [
             comparison(0, False, None, side("action", "currency", "EUR"), "not_equals", {"literal": "EUR"}),
             comparison(1, True, None, side("actor", "frozen", True), "equals", {"literal": True})])]),
    ({"actor": {"trust_level": 2}}, ("allow", None), [
        STEP_3(False, [
            comparison(0, False, "right missing", side("actor", "trust_level", 2.0), *TRUST)])]),
    ({"actor": {"trust_level": "2"}, "snapshot": {"min_trust_level": 3.5}}, ("allow", None), [
        STEP_3(False, [
            comparison(0, False, "kinds differ", side("actor", "trust_level", "2"), "less_than",
                       side("snapshot", "min_trust_level", 3.5))])]),
    ({"actor": {"trust_level": -0.0}, "snapshot": {"min_trust_level": 1e300}}, ("block", "below_required_trust"), [
        STEP_3(True, [
            comparison(0, True, None, side("actor", "trust_level", -0.0), "less_than",
                       side("snapshot", "min_trust_level", 1e300))])]),
])
def test_explain_json_has_the_decision_and_every_step(input, decision, steps):
    explanation = EXAMPLE_POLICY.explain(input)
    expected = {"decision": {"effect": decision[0], "matched_rule": decision[1]}, "steps": steps}
    assert json.dumps(explanation.to_json()) == json.dumps(expected)


def test_explain_json_lines_write_non_finite_numbers_as_rfc_8259_objects(capsys, documents):
    stdin = b'{"action": {"type": "refund", "amount": Infinity}}\n'
    status, out, err = run(capsys, "explain", "--json", "schema.yaml", "policy.yaml", stdin=stdin)
    assert (status, err) == (0, [])
    assert out == ['{"decision": {"effect": "block", "matched_rule": "block_large_refunds"}, "steps": [{"list": '
                   '"action", "index": 0, "rule": "block_large_refunds", "result": true, "line": 3, "column": 5, '
                   '"comparisons": [{"member": 0, "result": true, "reason": null, "left": {"domain": "action", '
                   '"field": "amount", "value": {"number": "Infinity"}}, "operator": "greater_than", '
                   '"right": {"literal": 1000.0}}]}]}']


# ---- first-match semantics on generated policies and inputs, traced independently here ----

GENERATED_SCHEMA = """\
version: 1
actions:
  pay: {fields: {amount: number, limit: number, note: string, urgent: boolean}}
  refund: {fields: {amount: number}}
  idle: {fields: {}}
actor: {fields: {level: number, name: string, admin: boolean}}
snapshot: {fields: {cap: number, mode: string, open: boolean}}
"""
FIELDS = {
    "pay": {"amount": "number", "limit": "number", "note": "string", "urgent": "boolean"},
    "refund": {"amount": "number"},
    "actor": {"level": "number", "name": "string", "admin": "boolean"},
    "snapshot": {"cap": "number", "mode": "string", "open": "boolean"},
}
LITERALS = {"number": ["0", "1", "-1.5", "3"], "string": ['""', '"a"', '"b"'], "boolean": ["true", "false"]}
OPERATORS = {"number": ["equals", "not_equals", "greater_than", "less_than"],
             "string": ["equals", "not_equals"], "boolean": ["equals", "not_equals"]}
VALUES = [0, 1, 3, 3.0, -1.5, math.nan, math.inf, -0.0, "a", "b", "", "3", True, False]


def generated_policy(rng):
    rules = []
    for number in range(rng.randint(0, 7)):
        scope = rng.choice(["pay", "pay", "refund", "global", "actor"])
        subjects = [(domain, name, type) for domain in ("actor", "snapshot") + (("action",) if scope in ("pay", "refund") else ())
                    for name, type in FIELDS[scope if domain == "action" else domain].items()]
        comparisons = []
        for _ in range(rng.choice([1, 2, 3])):
            domain, name, type = rng.choice(subjects)
            peers = [s for s in subjects if s[2] == type]
            if rng.random() < 0.3:
                right = "{subject: [%s, %s]}" % rng.choice(peers)[:2]
            else:
                right = "{literal: %s}" % rng.choice(LITERALS[type])
            comparisons.append(f"[[{domain}, {name}], {rng.choice(OPERATORS[type])}, {right}]")
        when = comparisons[0] if len(comparisons) == 1 else "{%s: [%s]}" % (rng.choice(["all", "any"]), ", ".join(comparisons))
        where = {"global": "{global: true}", "actor": "{actor: bot}"}.get(scope, "{action: %s}" % scope)
        effect = rng.choice(["allow", "block", "require_approval"])
        rules.append(f"  - {{id: r{number}, scope: {where}, when: {when}, effect: {effect}}}\n")
    return "version: 1\nrules:" + (" []\n" if not rules else "\n" + "".join(rules))


def generated_input(rng):
    input = {}
    for domain in ("action", "actor", "snapshot"):
        if rng.random() < 0.9:
            names = list(FIELDS["pay" if domain == "action" else domain])
            input[domain] = {name: rng.choice(VALUES) for name in names if rng.random() < 0.7}
    if "action" in input and rng.random() < 0.8:
        input["action"]["type"] = rng.choice(["pay", "pay", "refund", "idle", "Pay", 1])
    return input


MISSING = object()


def kind(value):
    return bool if isinstance(value, bool) else float if isinstance(value, (int, float)) else str


def looked_up(input, subject):
    value = input.get(subject.domain, {}).get(subject.field, MISSING)
    return float(value) if kind(value) is float and value is not MISSING else value


def traced(compared, input):
    left = looked_up(input, compared.left)
    right = compared.right.value if isinstance(compared.right, Literal) else looked_up(input, compared.right)
    reason = ("left missing" if left is MISSING else "right missing" if right is MISSING
              else "kinds differ" if kind(left) is not kind(right) else None)
    operator = compared.operator
    result = reason is None and (
        left == right if operator == "equals" else left != right if operator == "not_equals"
        else kind(left) is float and (left > right if operator == "greater_than" else left < right))
    sides = []
    for subject, value in ((compared.left, left), (compared.right, right)):
        if isinstance(subject, Literal):
            sides.append({"literal": value})
        else:
            sides.append(side(subject.domain, subject.field, *(() if value is MISSING else (value,))))
    return comparison(compared.member, result, reason, sides[0], operator, sides[1])


def expected_trace(rules, input):
    action = input.get("action", {}).get("type")
    lists = [("action", [r for r in rules if r.scope == Scope("action", action)])] if isinstance(action, str) else []
    steps = []
    for list_name, listed in lists + [("global", [r for r in rules if r.scope.kind == "global"])]:
        for rule in listed:
            made = []
            for each in rule.comparisons:
                made.append(traced(each, input))
                if rule.condition == "all" and not made[-1]["result"] or rule.condition == "any" and made[-1]["result"]:
                    break
            result = made[-1]["result"]
            steps.append({"list": list_name, "index": rule.index, "rule": rule.id, "result": result,
                          "line": rule.line, "column": rule.column, "comparisons": made})
            if result:
                return {"decision": {"effect": rule.effect, "matched_rule": rule.id}, "steps": steps}
    return {"decision": {"effect": "allow", "matched_rule": None}, "steps": steps}


def test_explain_follows_first_match_on_generated_policies():
    rng = random.Random(20261209)
    compared = 0
    for _ in range(60):
        policy = Policy(GENERATED_SCHEMA, generated_policy(rng))
        for _ in range(60):
            input = generated_input(rng)
            explained = policy.explain(input).to_json()
            # json.dumps: NaN equals itself as text, and -0.0 stays apart from 0.0.
            assert json.dumps(explained) == json.dumps(expected_trace(policy.rules, input)), input
            assert explained["decision"] == policy.engine.evaluate(input)
            compared += len(explained["steps"])
    assert compared > 3000  # the generator reaches deep into the lists


def test_explain_json_lines_follow_first_match_on_generated_inputs(capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    rng = random.Random(7)
    texts = [generated_policy(rng) for _ in range(20)]
    policy_text = max(texts, key=len)
    Path("schema.yaml").write_text(GENERATED_SCHEMA)
    Path("policy.yaml").write_text(policy_text)
    inputs = [generated_input(rng) for _ in range(500)]
    stdin = "".join(json.dumps(input) + "\n" for input in inputs).encode()
    status, out, err = run(capsys, "explain", "--json", "schema.yaml", "policy.yaml", stdin=stdin)
    rules = Policy(GENERATED_SCHEMA, policy_text).rules
    assert (status, err) == (0, [])
    assert out == [strict_json.dumps(expected_trace(rules, input)) for input in inputs]


# ---- coverage ----

CASES = [
    ("large", {"action": {"type": "refund", "amount": 5000}}, {"effect": "block"}),
    ("usd", {"action": {"type": "refund", "amount": 5, "currency": "USD"}}, {"effect": "block"}),
    ("refused", {"action": {"type": "refund", "amount": [1]}}, {"error": "Unsupported value type"}),
    ("nothing", {}, {"effect": "allow"}),
]
ALL_GAPS = [
    "policy.yaml:14:5: rule 'review_untrusted_agents' is scoped to an actor: unable to decide",
]


def counts(decided, *comparisons):
    """A rule's expected counts: decided, then (true, false[, alone pairs]) for each comparison."""
    return decided, list(comparisons)


@pytest.mark.parametrize("names, rules, lines", [
    ([], [counts(0, (0, 0)), counts(0, (0, 0), (0, 0)), counts(0, (0, 0), (0, 0)), counts(0, (0, 0))], [
        "policy.yaml: 0 of 3 rules decided (0.0%), 0 of 4 comparisons both true and false (0.0%), "
        "0 of 4 comparisons shown to decide alone (0.0%)",
        *ALL_GAPS,
        "policy.yaml:3:5: rule 'block_large_refunds' never decided",
        "policy.yaml:7:7: comparison 0 of rule 'block_large_refunds' never made",
        "policy.yaml:7:7: comparison 0 of rule 'block_large_refunds' not shown to decide alone",
        "policy.yaml:23:5: rule 'foreign_currency_or_frozen' never decided",
        "policy.yaml:27:11: comparison 0 of rule 'foreign_currency_or_frozen' never made",
        "policy.yaml:27:11: comparison 0 of rule 'foreign_currency_or_frozen' not shown to decide alone",
        "policy.yaml:28:11: comparison 1 of rule 'foreign_currency_or_frozen' never made",
        "policy.yaml:28:11: comparison 1 of rule 'foreign_currency_or_frozen' not shown to decide alone",
        "policy.yaml:30:5: rule 'below_required_trust' never decided",
        "policy.yaml:33:7: comparison 0 of rule 'below_required_trust' never made",
        "policy.yaml:33:7: comparison 0 of rule 'below_required_trust' not shown to decide alone"]),
    # A refused case counts nothing, even where its comparisons would have been made.
    (["large", "refused"], [counts(1, (1, 0)), counts(0, (0, 0), (0, 0)), counts(0, (0, 0), (0, 0)), counts(0, (0, 0))], [
        "policy.yaml: 1 of 3 rules decided (33.3%), 0 of 4 comparisons both true and false (0.0%), "
        "0 of 4 comparisons shown to decide alone (0.0%)",
        *ALL_GAPS,
        "policy.yaml:7:7: comparison 0 of rule 'block_large_refunds' never false",
        "policy.yaml:7:7: comparison 0 of rule 'block_large_refunds' not shown to decide alone",
        "policy.yaml:23:5: rule 'foreign_currency_or_frozen' never decided",
        "policy.yaml:27:11: comparison 0 of rule 'foreign_currency_or_frozen' never made",
        "policy.yaml:27:11: comparison 0 of rule 'foreign_currency_or_frozen' not shown to decide alone",
        "policy.yaml:28:11: comparison 1 of rule 'foreign_currency_or_frozen' never made",
        "policy.yaml:28:11: comparison 1 of rule 'foreign_currency_or_frozen' not shown to decide alone",
        "policy.yaml:30:5: rule 'below_required_trust' never decided",
        "policy.yaml:33:7: comparison 0 of rule 'below_required_trust' never made",
        "policy.yaml:33:7: comparison 0 of rule 'below_required_trust' not shown to decide alone"]),
    # The any stops at the currency: the frozen flag is never compared. The large refund and the
    # one in dollars show the amount deciding alone; nothing else has a pair.
    (["large", "usd", "nothing"], [counts(1, (1, 1, [["x.suite.json: large", "x.suite.json: usd"]])), counts(0, (0, 0), (0, 0)), counts(1, (1, 0), (0, 0)), counts(0, (0, 1))], [
        "policy.yaml: 2 of 3 rules decided (66.6%), 1 of 4 comparisons both true and false (25.0%), "
        "1 of 4 comparisons shown to decide alone (25.0%)",
        *ALL_GAPS,
        "policy.yaml:27:11: comparison 0 of rule 'foreign_currency_or_frozen' never false",
        "policy.yaml:27:11: comparison 0 of rule 'foreign_currency_or_frozen' not shown to decide alone",
        "policy.yaml:28:11: comparison 1 of rule 'foreign_currency_or_frozen' never made",
        "policy.yaml:28:11: comparison 1 of rule 'foreign_currency_or_frozen' not shown to decide alone",
        "policy.yaml:30:5: rule 'below_required_trust' never decided",
        "policy.yaml:33:7: comparison 0 of rule 'below_required_trust' never true",
        "policy.yaml:33:7: comparison 0 of rule 'below_required_trust' not shown to decide alone"]),
])
def test_coverage_counts_only_the_comparisons_made(capsys, documents, names, rules, lines):
    cases = [{"name": name, "input": input, "expect": expect} for name, input, expect in CASES if name in names]
    Path("x.suite.json").write_text(suite(cases, governance="governance.yaml"))
    status, out, err = run(capsys, "test", "x.suite.json", "--coverage", "--coverage-json", "coverage.json")
    assert (status, out, err) == (0, [f"{len(cases)} passed, 0 failed", *lines], [])
    ids = [rule.id for rule in EXAMPLE_POLICY.rules]
    assert json.loads(Path("coverage.json").read_text()) == {"policies": [{"policy": "policy.yaml", "rules": [
        {"index": index, "rule": ids[index], "decided": decided,
         "comparisons": [{"member": member, "true": each[0], "false": each[1], "alone_pairs": each[2] if len(each) > 2 else []}
                         for member, each in enumerate(made)]}
        for index, (decided, made) in enumerate(rules)]}]}


@pytest.mark.parametrize("argv, status, err", [
    (["--fail-under", "100"], 1, ["policy.yaml: coverage below 100%: rules 66.6%, comparisons 25.0%"]),
    (["--fail-under", "25"], 0, []),
    (["--fail-under", "66.67"], 1, ["policy.yaml: coverage below 66.67%: rules 66.6%, comparisons 25.0%"]),
    (["--fail-under", "26"], 1, ["policy.yaml: coverage below 26%: rules 66.6%, comparisons 25.0%"]),
    # A report that cannot be written is refused before the run.
    (["--fail-under", "0", "--coverage-json", "nowhere/c.json"], 2, ["--coverage-json nowhere/c.json: refused: its folder does not exist"]),
])
def test_fail_under_holds_both_shares_to_the_bar(capsys, documents, argv, status, err):
    cases = [{"name": name, "input": input, "expect": expect} for name, input, expect in CASES]
    Path("x.suite.json").write_text(suite(cases))
    ran = [] if status == 2 else ["4 passed, 0 failed"]
    assert run(capsys, "test", "x.suite.json", *argv) == (status, ran, err)


def test_suites_of_one_policy_add_up_and_failing_cases_still_count(capsys, documents):
    Path("a.suite.json").write_text(suite([{"name": "large", "input": CASES[0][1], "expect": {"effect": "allow"}}]))
    Path("b.suite.json").write_text(suite([{"name": "usd", "input": CASES[1][1], "expect": {"effect": "block"}}],
                                          policy="./policy.yaml"))
    status, out, _ = run(capsys, "test", "a.suite.json", "b.suite.json", "--coverage")
    assert (status, out[:3]) == (1, [
        'a.suite.json: large: expected {"effect": "allow"}, got {"effect": "block", "matched_rule": '
        '"block_large_refunds"}',
        "1 passed, 1 failed", "policy.yaml: 2 of 3 rules decided (66.6%), 1 of 4 comparisons both true and false (25.0%), "
        "1 of 4 comparisons shown to decide alone (25.0%)"])


# ---- the canonical text ----

MANY_KEYS_POLICY = """\
version: 1
rules:
  - {id: "q\\"uote\\\\ and \\n", scope: {action: refund}, when: [[action, amount], equals, {literal: 10000000000000000}], effect: allow}
  - {id: "é\\u00a0", scope: {action: close_account}, when: [[snapshot, min_trust_level], less_than, {literal: 0.00009}], effect: block}
  - {id: a, scope: {actor: zed}, when: [[actor, role], equals, {literal: "x"}], effect: block}
  - {id: b, scope: {actor: amy}, when: [[actor, frozen], not_equals, {literal: false}], effect: block}
"""


@pytest.mark.parametrize("policy", [TEXTS["policy.yaml"], "version: 1\nrules: []\n", MANY_KEYS_POLICY])
def test_the_canonical_text_is_what_the_hash_digests(capsys, documents, policy):
    Path("policy.yaml").write_text(policy)
    status, out, err = run(capsys, "check", "--canonical", "schema.yaml", "policy.yaml")
    built = Policy(TEXTS["schema.yaml"], policy)
    assert (status, err, len(out)) == (0, [], 1)
    assert hashlib.sha256(out[0].encode()).hexdigest() == built.policy_hash() == tamsel.PyTamsel(
        TEXTS["schema.yaml"], policy).policy_hash()
    assert out[0] == built.canonical_text


def test_the_canonical_text_of_an_empty_policy():
    assert Policy(TEXTS["schema.yaml"], "version: 1\nrules: []\n").canonical_text == (
        "CompiledPolicy { action_rules: {}, actor_rules: {}, global_rules: [] }")


def test_policy_from_files_reads_bytes_as_they_are(tmp_path):
    (tmp_path / "policy.yaml").write_bytes(TEXTS["policy.yaml"].replace("\n", "\r\n").encode())
    (tmp_path / "schema.yaml").write_text(TEXTS["schema.yaml"])
    policy = Policy.from_files(tmp_path / "schema.yaml", tmp_path / "policy.yaml")
    assert [rule.line for rule in policy.rules] == [3, 14, 23, 30]
    with pytest.raises(FileNotFoundError):
        Policy.from_files(tmp_path / "schema.yaml", tmp_path / "missing.yaml")


def test_policy_from_files_reads_regular_files_within_the_cap(tmp_path):
    schema, policy, fifo = tmp_path / "schema.yaml", tmp_path / "policy.yaml", tmp_path / "fifo.yaml"
    schema.write_text(TEXTS["schema.yaml"])
    policy.write_text(TEXTS["policy.yaml"])
    os.mkfifo(fifo)  # read, it would wait for a writer forever
    with pytest.raises(OSError, match="fifo.yaml: not a regular file: a FIFO"):
        Policy.from_files(schema, fifo)
    size = len(TEXTS["schema.yaml"].encode())
    # The documents share a quarter of the cap: the schema fits alone, not with the policy.
    with pytest.raises(OSError, match=rf"policy.yaml: larger than the limit of \d+ bytes for a policy's documents together, with the {size} bytes of those read before it"):
        Policy.from_files(schema, policy, limits=Limits(4 * (size + 10)))


class Tampered:
    """The compiled policy with its traces changed after the fact, as a faulty tracer would."""

    def __init__(self, compiled, change):
        self.compiled, self.change = compiled, change

    def explain(self, input):
        trace = self.compiled.explain(input)
        self.change(trace)
        return trace


@pytest.mark.parametrize("change", [
    lambda trace: trace.update(effect="allow"),
    lambda trace: trace.update(matched_rule="foreign_currency_or_frozen"),
    lambda trace: trace["steps"][0].update(result=False),  # no step decides, yet a rule matched
    lambda trace: trace["steps"].insert(0, {**trace["steps"][0], "index": 2}),  # an earlier step decides
])
def test_an_explanation_that_disagrees_with_evaluate_is_an_internal_error(capsys, documents, monkeypatch, change):
    policy = Policy(TEXTS["schema.yaml"], TEXTS["policy.yaml"])
    policy._compiled = Tampered(policy._compiled, change)
    with pytest.raises(tamsel_tools.InternalError):
        policy.explain({"action": {"type": "refund", "amount": 5000}})
    monkeypatch.setattr(tamsel_tools.diagnostics.documents, "Policy", lambda *texts: policy)
    stdin = b'{"action": {"type": "refund", "amount": 5000}}\n'
    status, out, err = run(capsys, "explain", "schema.yaml", "policy.yaml", stdin=stdin)
    assert (status, out, len(err)) == (70, [], 1) and err[0].startswith("tamsel: internal error, please report it: ")
