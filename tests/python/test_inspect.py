"""The tools' inspection module against the engine: the same errors, the same
canonical text and the same decisions, with every step of a decision shown."""

import hashlib
import math
import random
import textwrap
from pathlib import Path

import pytest

import tamsel
from conftest import POLICY, SCHEMA, construction_error, rules_policy
from tamsel_tools import _inspect

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "refunds"


def example_texts():
    return tuple((EXAMPLE / name).read_text(encoding="utf-8")
                 for name in ("schema.yaml", "policy.yaml", "governance.yaml"))


def loaded(schema, policy, governance=None):
    compiled, error = _inspect.load(schema, policy, governance)
    assert error is None, error
    return compiled


GOVERNANCE = textwrap.dedent(
    """\
    version: 1
    governance:
      rules:
        - id: no-forbid
          select: {where: {id: nothing}}
          must: {forbid: true}
          error: never
    """
)

# ---- construction errors: the document, PyTamsel's own text, the kind, the node at fault ----

BROKEN_YAML = "version: 1\nrules: [\n"
GLOBAL = "{id: r, scope: {global: true}, when: "  # the condition starts at column 42 of its line


def global_rule(condition):
    return rules_policy(GLOBAL + condition + ", effect: block}")


ERROR_CASES = [
    # (schema, policy, governance, document, kind, operands, rule_index, line, column)
    ("version: x\n", POLICY, None, "schema", "invalid_type",
     {"found": 'string "x"', "expected": "u32", "path": "version"}, None, 1, 10),
    ("", POLICY, None, "schema", "missing_field", {"key": "version"}, None, None, None),
    ("version: 1\nactions: {a: {fields: {x: text}}}\nactor: {fields: {}}\nsnapshot: {fields: {}}\n",
     POLICY, None, "schema", "unknown_variant",
     {"variant": "text", "expected": "one of `string`, `number`, `boolean`", "path": "actions.a.fields.x"},
     None, 2, 27),
    (SCHEMA, BROKEN_YAML, None, "policy", "yaml_syntax",
     {"problem": "did not find expected node content", "context": "while parsing a flow node"}, None, 3, 1),
    (SCHEMA, "version: 1\nrules: []\n---\nversion: 2\n", None, "policy", "further_document", {},
     None, None, None),
    (SCHEMA, "version: 1\nrules: *b\n", None, "policy", "unknown_anchor", {}, None, 2, 8),
    # A reading error inside a rule names the rule.
    (SCHEMA, rules_policy("{id: r, scope: {global: true}, when: [[actor, role], equals, {literal: a}],"
                          " effect: block}", "{id: s, scope: {global: true}, effect: block}"),
     None, "policy", "missing_field", {"key": "when", "path": "rules[1]"}, 1, 4, 5),
    (SCHEMA, rules_policy("{id: r, scope: {global: true}, when: [[actor, role], equals, {literal: a}],"
                          " effect: stop}"), None, "policy", "unknown_variant",
     {"variant": "stop", "expected": "one of `allow`, `block`, `require_approval`", "path": "rules[0].effect"},
     0, 3, 89),
    (SCHEMA, global_rule("[actor, role]"), None, "policy", "no_variant_matched",
     {"type": "ConditionAst", "path": "rules[0]"}, 0, 3, 5),
    # Compile errors, at their node: the scope, the subject, the comparison, the all/any.
    (SCHEMA, rules_policy("{id: r, scope: {action: pay}, when: [[action, amount], equals,"
                          " {literal: 1}], effect: block}"), None, "policy", "unknown_action",
     {"action": "pay"}, 0, 3, 20),
    (SCHEMA, rules_policy("{id: r, scope: {global: false}, when: [[actor, role], equals,"
                          " {literal: a}], effect: block}"), None, "policy", "invalid_scope", {}, 0, 3, 20),
    (SCHEMA, global_rule("[[actors, role], equals, {literal: a}]"), None, "policy", "unknown_domain",
     {"domain": "actors"}, 0, 3, 43),
    (SCHEMA, global_rule("[[actor, nope], equals, {literal: a}]"), None, "policy", "unknown_field",
     {"domain": "actor", "field": "nope"}, 0, 3, 43),
    # The right side's subject, not the comparison.
    (SCHEMA, global_rule("[[actor, role], equals, {subject: [snapshot, nope]}]"), None, "policy",
     "unknown_field", {"domain": "snapshot", "field": "nope"}, 0, 3, 76),
    (SCHEMA, global_rule("[[actor, role], is, {literal: a}]"), None, "policy", "unknown_operator",
     {"operator": "is"}, 0, 3, 42),
    (SCHEMA, global_rule("[[actor, role], greater_than, {literal: a}]"), None, "policy",
     "operator_not_admitted", {"operator": "greater_than", "type": "string"}, 0, 3, 42),
    (SCHEMA, global_rule("[[actor, trust_level], in, {literal: 1}]"), None, "policy",
     "operator_not_admitted", {"operator": "in", "type": "number"}, 0, 3, 42),
    (SCHEMA, global_rule("{all: [[[actor, role], equals, {literal: a}]]}"), None, "policy",
     "too_few_members", {"condition": "all"}, 0, 3, 42),
    # The second rule, second member of its any.
    (SCHEMA, rules_policy(GLOBAL + "[[actor, role], equals, {literal: a}], effect: block}",
                          GLOBAL + "{any: [[[actor, role], equals, {literal: a}],"
                          " [[actor, frozen], equals, {literal: 1}]]}, effect: block}"),
     None, "policy", "type_mismatch", {"left_type": "boolean", "right_type": "number"}, 1, 4, 88),
    (SCHEMA, POLICY, "version: 1\ngovernance: 0\n", "governance", "invalid_type",
     {"found": "integer `0`", "expected": "struct GovernanceBlock", "path": "governance"}, None, 2, 13),
    (SCHEMA, POLICY, "version: 1\ngovernance:\n  rules: [{id: g}]\n", "governance", "missing_field",
     {"key": "select", "path": "governance.rules[0]"}, None, 3, 11),
    (SCHEMA, POLICY, BROKEN_YAML, "governance", "yaml_syntax",
     {"problem": "did not find expected node content", "context": "while parsing a flow node"}, None, 3, 1),
    # A compile error after governance passed belongs to the policy.
    (SCHEMA, global_rule("[[actor, nope], equals, {literal: a}]"), GOVERNANCE, "policy", "unknown_field",
     {"domain": "actor", "field": "nope"}, 0, 3, 43),
    # The earlier document reports: a bad schema hides a bad policy.
    ("version: x\n", BROKEN_YAML, BROKEN_YAML, "schema", "invalid_type",
     {"found": 'string "x"', "expected": "u32", "path": "version"}, None, 1, 10),
]


@pytest.mark.parametrize("schema, policy, governance, document, kind, operands, rule_index, line, column",
                         ERROR_CASES)
def test_error_value_is_the_constructors_error_with_its_place(
        schema, policy, governance, document, kind, operands, rule_index, line, column):
    compiled, error = _inspect.load(schema, policy, governance)
    assert compiled is None
    assert error == {"document": document, "message": construction_error(schema, policy, governance),
                     "kind": kind, "operands": operands, "rule_index": rule_index,
                     "line": line, "column": column, "violations": []}


def governance_rule(name, where, must):
    return f"    - {{id: {name}, select: {{where: {where}}}, must: {must}, error: {name} broken}}\n"


# Every violation, each at the rule that breaks it, or at the governance rule when none does.
VIOLATIONS = [
    # (governance rules, [(rule, document, rule_index, line, column)], rule_index, line, column)
    ([governance_rule("no-block", "{effect: block}", "{forbid: true}")],
     [("no-block", "policy", 0, 3, 5)], 0, 3, 5),
    ([governance_rule("one-refund", "{scope: {action: refund}}", "{max_count: 1}"),
      governance_rule("some-allow", "{effect: allow}", "{exists: true}"),
      governance_rule("five", "{}", "{min_count: 5}"),
      governance_rule("no-snapshot", "{}", "{allowed_fields: [action.amount, actor.role, actor.frozen,"
                                          " actor.trust_level, action.currency]}")],
     # The second refund rule is the one too many; the second rule is the first to read a
     # snapshot field.
     [("one-refund", "policy", 2, 23, 5), ("some-allow", "governance", None, 5, 7),
      ("five", "governance", None, 6, 7), ("no-snapshot", "policy", 1, 14, 5)], 2, 23, 5),
    # None located in the policy: the error itself has no place.
    ([governance_rule("some-allow", "{effect: allow}", "{exists: true}")],
     [("some-allow", "governance", None, 4, 7)], None, None, None),
]


@pytest.mark.parametrize("rules, violations, rule_index, line, column", VIOLATIONS)
def test_every_governance_violation_is_located(rules, violations, rule_index, line, column):
    governance = "version: 1\ngovernance:\n  rules:\n" + "".join(rules)
    compiled, error = _inspect.load(SCHEMA, POLICY, governance)
    assert compiled is None and error is not None
    assert error["message"] == construction_error(SCHEMA, POLICY, governance)
    assert (error["kind"], error["rule_index"], error["line"], error["column"]) == (
        "governance_violation", rule_index, line, column)
    first = violations[0][0]
    assert error["operands"] == {"governance_rule": first, "governance_message": f"{first} broken"}
    assert error["violations"] == [
        {"rule": name, "message": f"{name} broken", "document": document, "rule_index": index,
         "line": at_line, "column": at_column}
        for name, document, index, at_line, at_column in violations
    ]


def test_load_binds_its_arguments_as_the_constructor_does():
    assert _inspect.load(schema_yaml=SCHEMA, policy_yaml=POLICY, governance_yaml=None)[1] is None
    with pytest.raises(TypeError, match=r"^argument 'policy_yaml': 'bytes' object cannot be "
                                        r"converted to 'PyString'$"):
        _inspect.load(SCHEMA, b"version: 1")
    with pytest.raises(TypeError, match=r"load\(\) missing 1 required positional argument"):
        _inspect.load(SCHEMA)
    with pytest.raises(TypeError):
        _inspect.Compiled()


# ---- the canonical text is what policy_hash digests ----

def document_sets():
    yield SCHEMA, POLICY, None
    yield example_texts()
    yield SCHEMA, POLICY, GOVERNANCE
    yield SCHEMA, "version: 1\nrules: []\n", None
    yield SCHEMA, rules_policy(
        '{id: "q\\"\\\\\\n\u00e9\u00a0", scope: {action: close_account},'
        " when: [[actor, trust_level], less_than, {literal: 1e16}], effect: allow}",
        "{id: n, scope: {actor: x}, when: [[snapshot, min_trust_level], equals, {literal: -0.0}],"
        " effect: block}",
        "{id: m, scope: {global: true}, when: [[snapshot, min_trust_level], not_equals,"
        " {literal: .nan}], effect: block}"), None


@pytest.mark.parametrize("texts", list(document_sets()))
def test_canonical_text_digests_to_the_policy_hash(texts):
    text = loaded(*texts).canonical_text()
    assert isinstance(text, bytes)
    assert hashlib.sha256(text).hexdigest() == tamsel.PyTamsel(*texts).policy_hash()


# ---- rules and their positions ----

POSITION_POLICY = textwrap.dedent(
    """\
    version: 1
    rules:
      - id: block_style
        scope:
          action: refund
        when:
          subject:
            domain: action
            field: amount
          operator: greater_than
          value:
            literal: 1000
        effect: block
      - {id: flow, scope: {global: true}, when: [[actor, role], equals, {literal: x}], effect: allow}
      - id: all_members
        scope: {actor: agent}
        when:
          all:
            - [{domain: actor, field: trust_level}, less_than, {literal: 3}]
            - subject: [snapshot, maintenance_mode]
              operator: equals
              value: {literal: false}
        effect: require_approval
      - id: any_members
        scope: {action: refund}
        when: {any: [[[action, currency], not_equals, {literal: EUR}],
                     [[actor, trust_level], less_than, {subject: [snapshot, min_trust_level]}]]}
        effect: block
    """
)


def test_rules_in_document_order_with_their_positions():
    rules = loaded(SCHEMA, POSITION_POLICY).rules()
    shown = [(r["index"], r["id"], r["scope"], r["name"], r["effect"], r["condition"],
              (r["line"], r["column"]), [(c["line"], c["column"]) for c in r["comparisons"]])
             for r in rules]
    assert shown == [
        (0, "block_style", "action", "refund", "block", "atomic", (3, 5), [(7, 7)]),
        (1, "flow", "global", None, "allow", "atomic", (14, 5), [(14, 45)]),
        (2, "all_members", "actor", "agent", "require_approval", "all", (15, 5),
         [(19, 11), (20, 11)]),
        (3, "any_members", "action", "refund", "block", "any", (24, 5), [(26, 18), (27, 18)]),
    ]


def test_comparisons_as_compiled():
    rules = loaded(SCHEMA, POSITION_POLICY).rules()
    comparisons = [{k: v for k, v in c.items() if k not in ("line", "column")}
                   for r in rules for c in r["comparisons"]]
    assert comparisons == [
        {"left": {"domain": "action", "field": "amount"}, "operator": "greater_than",
         "right": {"literal": 1000.0}, "type": "number"},
        {"left": {"domain": "actor", "field": "role"}, "operator": "equals",
         "right": {"literal": "x"}, "type": "string"},
        {"left": {"domain": "actor", "field": "trust_level"}, "operator": "less_than",
         "right": {"literal": 3.0}, "type": "number"},
        {"left": {"domain": "snapshot", "field": "maintenance_mode"}, "operator": "equals",
         "right": {"literal": False}, "type": "boolean"},
        {"left": {"domain": "action", "field": "currency"}, "operator": "not_equals",
         "right": {"literal": "EUR"}, "type": "string"},
        {"left": {"domain": "actor", "field": "trust_level"}, "operator": "less_than",
         "right": {"subject": {"domain": "snapshot", "field": "min_trust_level"}},
         "type": "number"},
    ]


def test_skipped_keys_of_all_three_documents():
    schema = SCHEMA.replace("actor:\n", "note: ignored\nactor:\n")
    policy = POLICY.replace("  - id: below_required_trust\n",
                            "  - id: below_required_trust\n    comment: why\n")
    governance = GOVERNANCE.replace("must: {forbid: true}", "must: {exists: false, forbid: true}")
    keys = loaded(schema, policy, governance).skipped_keys()
    assert keys == [
        {"document": "schema", "key": "note", "line": 9, "column": 1},
        {"document": "policy", "key": "comment", "line": 31, "column": 5},
        {"document": "governance", "key": "forbid", "line": 6, "column": 29},
    ]


# ---- explain: the decision of evaluate, every step of it ----

WORDS = ["refund", "close_account", "Refund", "", "EUR", "USD", "x"]
SPECIAL = [math.nan, -math.nan, -0.0, 0.0, math.inf, -math.inf, 1, 3, 1000, 1000.5, 2.5]


def random_value(rng):
    kind = rng.randrange(4)
    if kind == 0:
        return rng.choice(WORDS)
    if kind == 1:
        return rng.choice(SPECIAL)
    if kind == 2:
        return rng.choice([True, False])
    return rng.uniform(-5000, 5000)


def random_input(rng, rules):
    """Fields that the rules read, some missing, some of the wrong kind, plus a type."""
    subjects = {(c["left"]["domain"], c["left"]["field"]) for r in rules for c in r["comparisons"]}
    subjects |= {(c["right"]["subject"]["domain"], c["right"]["subject"]["field"])
                 for r in rules for c in r["comparisons"] if "subject" in c["right"]}
    given = {}
    for domain, field in sorted(subjects):
        if rng.random() < 0.7:
            given.setdefault(domain, {})[field] = random_value(rng)
    roll = rng.random()
    if roll < 0.6:
        given.setdefault("action", {})["type"] = rng.choice(WORDS)
    elif roll < 0.75:
        given.setdefault("action", {})["type"] = random_value(rng)
    return given


def same(a, b):
    """Equal values, telling NaN, -0.0 and the kinds apart."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))
    return a == b


def expected_trace(rules, given):
    """The trace by the evaluation rules, from the rules as listed."""
    def converted(value):
        return float(value) if type(value) is int else value  # every number is a float

    fields = {d: {k: converted(v) for k, v in given.get(d, {}).items()}
              for d in ("action", "actor", "snapshot")}
    missing = object()

    def look(subject):
        return fields[subject["domain"]].get(subject["field"], missing)

    def operate(op, left, right):
        if op == "equals":
            return left == right
        if op == "not_equals":
            return left != right
        if not isinstance(left, float):
            return False  # only numbers are ordered
        return left > right if op == "greater_than" else left < right

    def compare(member, comparison):
        left = look(comparison["left"])
        right = comparison["right"].get("literal", missing)
        if "subject" in comparison["right"]:
            right = look(comparison["right"]["subject"])
        made = {"member": member, "result": False, "reason": None}
        if left is not missing:
            made["left"] = left
        if right is not missing:
            made["right"] = right
        if left is missing:
            made["reason"] = "left missing"
        elif right is missing:
            made["reason"] = "right missing"
        elif type(left) is not type(right):
            made["reason"] = "kinds differ"
        else:
            made["result"] = operate(comparison["operator"], left, right)
        return made

    def run(name, listed):
        for rule in listed:
            step = {"list": name, "index": rule["index"], "comparisons": []}
            steps.append(step)
            holds = rule["condition"] != "any"
            for member, comparison in enumerate(rule["comparisons"]):
                made = compare(member, comparison)
                step["comparisons"].append(made)
                if made["result"] != holds:
                    holds = made["result"]
                    break
            step["result"] = holds
            if holds:
                return rule
        return None

    steps = []
    action_type = fields["action"].get("type")
    action_type = action_type if isinstance(action_type, str) else None
    action_rules = [r for r in rules if r["scope"] == "action" and r["name"] == action_type]
    decided = None
    if action_type is not None:
        decided = run("action", action_rules)
    if decided is None:
        decided = run("global", [r for r in rules if r["scope"] == "global"])
    return {"effect": decided["effect"] if decided else "allow",
            "matched_rule": decided["id"] if decided else None,
            "index": decided["index"] if decided else None,
            "action_type": action_type, "action_list": bool(action_rules), "steps": steps}


def assert_same_trace(got, want):
    assert {k: v for k, v in got.items() if k != "steps"} == {k: v for k, v in want.items() if k != "steps"}
    assert [(s["list"], s["index"], s["result"]) for s in got["steps"]] == \
           [(s["list"], s["index"], s["result"]) for s in want["steps"]]
    for got_step, want_step in zip(got["steps"], want["steps"]):
        assert len(got_step["comparisons"]) == len(want_step["comparisons"])
        for made, wanted in zip(got_step["comparisons"], want_step["comparisons"]):
            assert made.keys() == wanted.keys()
            assert all(same(made[k], wanted[k]) for k in made), (made, wanted)


@pytest.mark.parametrize("texts", [(SCHEMA, POLICY, None), example_texts(), (SCHEMA, POSITION_POLICY, None)])
def test_explain_decides_as_evaluate_over_generated_inputs(texts):
    compiled = loaded(*texts)
    engine = tamsel.PyTamsel(*texts)
    rules = compiled.rules()
    rng = random.Random(21)
    for _ in range(1500):
        given = random_input(rng, rules)
        trace = compiled.explain(given)
        assert {"effect": trace["effect"], "matched_rule": trace["matched_rule"]} == engine.evaluate(given)
        assert_same_trace(trace, expected_trace(rules, given))


def test_explain_keeps_nan_and_negative_zero():
    compiled = loaded(SCHEMA, POLICY)
    trace = compiled.explain({"action": {"type": "refund", "amount": -0.0, "currency": "EUR"},
                              "actor": {"trust_level": math.nan}, "snapshot": {"min_trust_level": 3}})
    amount = trace["steps"][0]["comparisons"][0]["left"]
    assert amount == 0.0 and math.copysign(1, amount) == -1
    assert math.isnan(trace["steps"][-1]["comparisons"][0]["left"])
    assert trace["effect"] == "allow"


BAD_INPUTS = [
    [],
    None,
    {"action": None},
    {"actor": []},
    {"snapshot": {1: 2}},
    {"action": {"type": None}},
    {"action": {"amount": [1]}},
    {"action": {"amount": 10 ** 400}},
    {"actor": {"x": {}}, "action": None},
    {"snapshot": {"\ud800": 1}},
]


@pytest.mark.parametrize("given", BAD_INPUTS)
def test_explain_refuses_what_evaluate_refuses(given):
    compiled = loaded(SCHEMA, POLICY)
    engine = tamsel.PyTamsel(SCHEMA, POLICY)
    with pytest.raises(Exception) as by_evaluate:
        engine.evaluate(given)
    with pytest.raises(Exception) as by_explain:
        compiled.explain(given)
    assert type(by_explain.value) is type(by_evaluate.value)
    assert str(by_explain.value) == str(by_evaluate.value)


def test_explain_takes_its_argument_by_name():
    compiled = loaded(SCHEMA, POLICY)
    assert compiled.explain(input={})["steps"][0]["comparisons"][0]["reason"] == "left missing"
    with pytest.raises(TypeError, match=r"explain\(\) missing 1 required positional argument"):
        compiled.explain()


def test_explain_gives_one_str_for_each_text_of_the_input():
    # A text read by every comparison is one object, not a copy per comparison.
    rules = "".join(f"  - {{id: r{i}, scope: {{action: refund}}, when: [[action, currency], not_equals, "
                    f"{{subject: [action, currency]}}], effect: block}}\n" for i in range(3))
    compiled = loaded(SCHEMA, "version: 1\nrules:\n" + rules)
    trace = compiled.explain({"action": {"type": "refund", "currency": "x" * 1000}})
    sides = [made[side] for step in trace["steps"] for made in step["comparisons"] for side in ("left", "right")]
    assert sides[0] == "x" * 1000
    assert len(sides) == 6 and all(side is sides[0] for side in sides)
