import math
import os
import random

import pytest

import tamsel

pytest.importorskip("z3")

from policies import build, edit, random_input, random_specs, schema_yaml  # noqa: E402
from tamsel_tools import Policy  # noqa: E402
from tamsel_tools.analysis import api  # noqa: E402

SCHEMA = schema_yaml()
NAN, INF = math.nan, math.inf
# How many generated policies (and edits of each) the randomized checks draw.
TRIALS = int(os.environ.get("TAMSEL_ANALYSIS_TRIALS", "120"))


def compiled(specs, ids=None, policy=False):
    """The rules and what checks the analysis' inputs: the engine, or the tools' Policy."""
    rules, text = build(specs, ids)
    return rules, (Policy(SCHEMA, text) if policy else tamsel.PyTamsel(SCHEMA, text))


def decided(policy, data):
    """The document index of the rule that decides, None for the default."""
    steps = policy.explain(data).steps
    return steps[-1].rule.index if steps and steps[-1].result else None


def lint(specs, ids=None):
    return [(f.index, f.kind, f.by) for f in api.lint(*compiled(specs, ids))]


LINT_CASES = [
    # NaN equals, exceeds and undercuts nothing; it differs from everything.
    ("nan", [
        ("pay", "atomic", [("action.amount", "equals", NAN)], "block"),
        ("pay", "atomic", [("action.amount", "greater_than", NAN)], "block"),
        ("pay", "atomic", [("action.amount", "not_equals", NAN)], "block"),
        ("pay", "atomic", [("action.amount", "equals", 1.0)], "block"),
    ], [(0, "unsatisfiable", ()), (1, "unsatisfiable", ()), (3, "shadowed", (2,))]),
    # Only NaN is neither below, above nor equal to a field: it alone reaches the not_equals.
    ("nan between fields", [
        ("pay", "atomic", [("action.amount", "greater_than", ("action.limit",))], "block"),
        ("pay", "atomic", [("action.amount", "less_than", ("action.limit",))], "block"),
        ("pay", "atomic", [("action.amount", "equals", ("action.limit",))], "allow"),
        ("pay", "atomic", [("action.amount", "not_equals", ("action.limit",))], "allow"),
        ("pay", "atomic", [("action.limit", "not_equals", ("action.amount",))], "allow"),
    ], [(4, "shadowed", (3,))]),
    ("-0.0 equals 0.0", [
        ("global", "atomic", [("actor.level", "equals", 0.0)], "block"),
        ("global", "atomic", [("actor.level", "equals", -0.0)], "allow"),
        ("global", "atomic", [("actor.level", "less_than", 0.0)], "allow"),
        ("global", "atomic", [("actor.level", "less_than", -0.0)], "allow"),
    ], [(1, "shadowed", (0,)), (3, "shadowed", (2,))]),
    ("infinities", [
        ("global", "atomic", [("actor.level", "greater_than", INF)], "block"),
        ("global", "atomic", [("actor.level", "less_than", -INF)], "block"),
        ("global", "atomic", [("actor.level", "greater_than", 1.7976931348623157e308)], "block"),
        ("global", "atomic", [("actor.level", "equals", INF)], "block"),
        ("global", "atomic", [("actor.level", "greater_than", -0.0)], "allow"),
        ("global", "atomic", [("actor.level", "equals", 5e-324)], "allow"),
    ], [(0, "unsatisfiable", ()), (1, "unsatisfiable", ()), (3, "shadowed", (2,)), (5, "shadowed", (4,))]),
    # Any field may hold NaN, a text field too, and then differs from itself.
    ("a field against itself", [
        ("global", "atomic", [("actor.level", "less_than", ("actor.level",))], "block"),
        ("global", "atomic", [("actor.level", "not_equals", ("actor.level",))], "block"),
        ("global", "atomic", [("actor.role", "not_equals", ("actor.role",))], "block"),
        ("global", "atomic", [("actor.level", "equals", ("actor.level",))], "block"),
    ], [(0, "unsatisfiable", ())]),
    # Two number fields sent as texts still compare: not_equals holds for different texts.
    ("kinds other than declared", [
        ("global", "atomic", [("actor.level", "less_than", ("actor.cap",))], "block"),
        ("global", "atomic", [("actor.level", "greater_than", ("actor.cap",))], "block"),
        ("global", "atomic", [("actor.level", "equals", ("actor.cap",))], "block"),
        ("global", "atomic", [("actor.level", "not_equals", ("actor.cap",))], "block"),
        ("global", "all", [("actor.level", "equals", 1.0), ("actor.level", "not_equals", 1.0)], "block"),
    ], [(4, "unsatisfiable", ())]),
    ("booleans", [
        ("global", "atomic", [("actor.frozen", "equals", True)], "block"),
        ("global", "atomic", [("actor.frozen", "equals", False)], "block"),
        ("global", "atomic", [("actor.frozen", "not_equals", True)], "block"),
        ("global", "atomic", [("actor.frozen", "not_equals", False)], "block"),
        ("global", "atomic", [("actor.frozen", "not_equals", ("snapshot.mode",))], "block"),
    ], [(2, "shadowed", (1,)), (3, "shadowed", (0,))]),
    # Under pay the action field "type" is always the text "pay"; under close,
    # whose schema declares it a number, it never equals a number.
    ("the action field type", [
        ("close", "atomic", [("action.type", "equals", 1.0)], "block"),
        ("close", "atomic", [("action.type", "not_equals", 1.0)], "block"),
        ("pay", "atomic", [("action.type", "equals", "send")], "block"),
        ("pay", "atomic", [("action.type", "not_equals", "pay")], "block"),
        ("pay", "atomic", [("action.type", "equals", "pay")], "allow"),
        ("pay", "atomic", [("actor.frozen", "equals", True)], "block"),
        ("send", "atomic", [("actor.frozen", "equals", True)], "block"),
    ], [(0, "unsatisfiable", ()), (1, "unsatisfiable", ()), (2, "unsatisfiable", ()),
        (3, "unsatisfiable", ()), (5, "shadowed", (4,))]),
    # Global rules also run for inputs of no type, so action rules never shadow them.
    ("lists", [
        ("pay", "atomic", [("actor.level", "greater_than", 0.0)], "block"),
        ("global", "atomic", [("actor.level", "greater_than", 1.0)], "block"),
        ("actor:bot", "atomic", [("actor.level", "greater_than", 1.0)], "block"),
        ("send", "atomic", [("actor.level", "greater_than", 1.0)], "block"),
        ("pay", "atomic", [("actor.level", "greater_than", 1.0)], "block"),
    ], [(2, "actor_scoped", ()), (4, "shadowed", (0,))]),
    ("all and any", [
        ("global", "atomic", [("actor.level", "greater_than", 2.5)], "block"),
        ("global", "atomic", [("actor.level", "less_than", -3.0)], "block"),
        ("global", "any", [("actor.level", "equals", 1000.0), ("actor.level", "equals", -3.5)], "block"),
        ("global", "all", [("actor.role", "equals", "a"), ("actor.role", "equals", "b")], "block"),
        ("global", "any", [("actor.level", "equals", 2.0), ("actor.role", "equals", "a")], "block"),
        ("global", "all", [("actor.level", "equals", 2.0), ("actor.role", "equals", "a")], "block"),
        ("global", "all", [("actor.role", "equals", "a"), ("snapshot.mode", "equals", True)], "allow"),
    ], [(2, "shadowed", (0, 1)), (3, "unsatisfiable", ()), (5, "shadowed", (4,)), (6, "shadowed", (4,))]),
]  # fmt: skip


@pytest.mark.parametrize("name, specs, expected", LINT_CASES, ids=[c[0] for c in LINT_CASES])
def test_lint_names_the_rules_that_never_decide(name, specs, expected):
    assert lint(specs) == expected


def test_lint_with_repeated_ids():
    specs = [("pay", "atomic", [("action.amount", "greater_than", 1.0)], "block")] * 2
    assert lint(specs, ["same", "same"]) == [(1, "shadowed", (0,))]


def test_every_other_rule_has_an_input_that_makes_it_decide():
    specs = LINT_CASES[1][1]
    rules, engine = compiled(specs)
    inputs = api.deciding_inputs(rules, engine)
    assert sorted(inputs) == [0, 1, 2, 3]
    assert engine.evaluate(inputs[3]) == {"effect": "allow", "matched_rule": "r3"}


def pairs(old_specs, new_specs):
    old, new = compiled(old_specs), compiled(new_specs)
    changes = api.diff(*old, *new)
    for change in changes:
        assert old[1].evaluate(change.input) == change.old.decision()
        assert new[1].evaluate(change.input) == change.new.decision()
    return [(c.action, c.old.index, c.old.effect, c.new.index, c.new.effect) for c in changes]


LARGE = ("pay", "atomic", [("action.amount", "greater_than", 1000.0)], "block")
TRUSTED = ("global", "atomic", [("actor.level", "greater_than", 1.0)], "block")

DIFF_CASES = [
    ("same policy", [LARGE, TRUSTED], [LARGE, TRUSTED], []),
    ("effect", [LARGE], [LARGE[:3] + ("allow",)], [("pay", 0, "block", 0, "allow")]),
    ("lower threshold", [LARGE], [("pay", "atomic", [("action.amount", "greater_than", 500.0)], "block")],
     [("pay", None, "allow", 0, "block")]),
    # Only NaN passes the not_equals and neither ordering.
    ("nan", [("pay", "atomic", [("action.amount", "not_equals", 5.0)], "block")],
     [("pay", "any", [("action.amount", "greater_than", 5.0), ("action.amount", "less_than", 5.0)], "block")],
     [("pay", 0, "block", None, "allow")]),
    ("-0.0", [("global", "atomic", [("actor.level", "equals", 0.0)], "block")],
     [("global", "atomic", [("actor.level", "equals", -0.0)], "block")], []),
    ("infinity", [("global", "atomic", [("actor.level", "greater_than", 1e308)], "block")],
     [("global", "atomic", [("actor.level", "equals", INF)], "block")], [(None, 0, "block", None, "allow")]),
    # A global rule decides for every group whose action list passes the input on.
    ("global rule", [("pay", "atomic", [("action.amount", "greater_than", 1.0)], "allow"), TRUSTED],
     [("pay", "atomic", [("action.amount", "greater_than", 1.0)], "allow"),
      ("global", "atomic", [("actor.level", "greater_than", 2.0)], "block")],
     [("pay", 1, "block", None, "allow"), (None, 1, "block", None, "allow")]),
    ("new action", [TRUSTED], [("send", "atomic", [("actor.frozen", "equals", True)], "require_approval"), TRUSTED],
     [("send", 0, "block", 0, "require_approval"), ("send", None, "allow", 0, "require_approval")]),
    ("moved", [LARGE, ("pay", "atomic", [("action.amount", "greater_than", 2000.0)], "allow")],
     [("pay", "atomic", [("action.amount", "greater_than", 2000.0)], "allow"), LARGE],
     [("pay", 0, "block", 0, "allow")]),
    ("actor rules", [("actor:bot", "atomic", [("actor.frozen", "equals", True)], "block")],
     [("actor:bot", "atomic", [("actor.frozen", "equals", False)], "allow")], []),
    ("the action field type", [("pay", "atomic", [("action.type", "equals", "pay")], "block")], [],
     [("pay", 0, "block", None, "allow")]),
    ("kinds", [("global", "atomic", [("actor.level", "equals", ("actor.cap",))], "block")],
     [("global", "any", [("actor.level", "less_than", ("actor.cap",)),
                         ("actor.level", "greater_than", ("actor.cap",))], "block")],
     [(None, 0, "block", None, "allow"), (None, None, "allow", 0, "block")]),
]  # fmt: skip


@pytest.mark.parametrize("name, old, new, expected", DIFF_CASES, ids=[c[0] for c in DIFF_CASES])
def test_diff_lists_each_pair_of_differing_effects_once(name, old, new, expected):
    assert pairs(old, new) == expected


def test_diff_with_moves_adds_the_pairs_of_the_same_effect():
    old = [LARGE, ("pay", "atomic", [("action.amount", "greater_than", 2000.0)], "allow"), TRUSTED]
    new = [("pay", "atomic", [("action.amount", "greater_than", 2000.0)], "allow"), LARGE, TRUSTED]
    changes = api.diff(*compiled(old, ["a", "b", "t"]), *compiled(new, ["b", "a", "t"]), moves=True)
    assert [(c.action, c.old.rule, c.new.rule, c.same_effect) for c in changes] == [("pay", "a", "b", False)]
    new = [LARGE, TRUSTED]
    changes = api.diff(*compiled(old, ["a", "b", "t"]), *compiled(new, ["c", "t"]), moves=True)
    # b never decided: a decides every input that it matches.
    assert [(c.action, c.old.rule, c.new.rule, c.same_effect) for c in changes] == [("pay", "a", "c", True)]


def test_diff_witness_of_nan_prints_as_rfc_8259_json():
    old, new = DIFF_CASES[3][1], DIFF_CASES[3][2]
    (change,) = api.diff(*compiled(old), *compiled(new))
    assert api.input_json(change.to_json()) == (
        '{"action": "pay", "old": {"index": 0, "rule": "r0", "effect": "block"}, '
        '"new": {"index": null, "rule": null, "effect": "allow"}, '
        '"input": {"action": {"type": "pay", "amount": {"number": "NaN"}}, "actor": {}, "snapshot": {}}}'
    )


# ---------------------------------------------------------------- randomized


def test_generated_rules_are_those_the_engine_compiles():
    rng = random.Random(7)
    for _ in range(30):
        rules, text = build(random_specs(rng, rng.randint(1, 10)))
        compiled = Policy(SCHEMA, text).rules
        assert [(r.index, r.id, r.scope, r.effect, r.condition, r.line, r.column) for r in compiled] == [
            (r.index, r.id, r.scope, r.effect, r.condition, r.line, r.column) for r in rules
        ]
        assert [[(c.left, c.operator, c.type) for c in r.comparisons] for r in compiled] == [
            [(c.left, c.operator, c.type) for c in r.comparisons] for r in rules
        ]
        assert [[repr(c.right) for c in r.comparisons] for r in compiled] == [
            [repr(c.right) for c in r.comparisons] for r in rules
        ]


def group_of(data, names):
    kind = data["action"].get("type")
    return kind if isinstance(kind, str) and kind in names else None


def check_kind(specs, finding):
    """A shadowed rule decides alone but not after the rules named; an unsatisfiable one never."""
    if finding.kind == "actor_scoped":
        return
    alone = api.deciding_inputs(*compiled([specs[finding.index]]))
    assert bool(alone) == (finding.kind == "shadowed")
    if finding.kind == "shadowed":
        covered = compiled([specs[b] for b in finding.by] + [specs[finding.index]])
        assert len(finding.by) not in api.deciding_inputs(*covered)


# Odd seeds give rules shared ids and check with the tools' Policy, whose
# explanations name the deciding rule by its place.
@pytest.mark.parametrize("seed", range(4))
def test_lint_on_generated_policies(seed):
    rng = random.Random(seed)
    for _ in range(TRIALS // 4):
        specs = random_specs(rng, rng.randint(1, 14))
        ids = [f"r{i % 3}" if seed % 2 else f"r{i}" for i in range(len(specs))]
        rules, policy = compiled(specs, ids, policy=True)
        judge = policy if seed % 2 else policy.engine
        findings = api.lint(rules, judge)
        inputs = api.deciding_inputs(rules, judge)
        reported = {f.index for f in findings}
        assert reported.isdisjoint(inputs) and reported | set(inputs) == set(range(len(rules)))
        for index, data in inputs.items():
            assert decided(policy, data) == index
        for finding in findings:
            rule = rules[finding.index]
            assert (finding.kind == "actor_scoped") == (rule.scope.kind == "actor")
            assert all(b < finding.index and rules[b].scope == rule.scope for b in finding.by)
            assert (finding.kind == "shadowed") == bool(finding.by)
            check_kind(specs, finding)
        for _ in range(150):
            assert decided(policy, random_input(rng)) not in reported


@pytest.mark.parametrize("seed", range(4))
def test_diff_on_generated_edits(seed):
    rng = random.Random(100 + seed)
    for _ in range(TRIALS // 4):
        specs = random_specs(rng, rng.randint(0, 12))
        ids = [f"r{i % 3}" if seed % 2 else f"r{i}" for i in range(len(specs))]
        new_specs, new_ids = edit(rng, specs, ids)
        (old_rules, old), (new_rules, new) = compiled(specs, ids, True), compiled(new_specs, new_ids, True)
        judges = (old, new) if seed % 2 else (old.engine, new.engine)
        moves = seed >= 2
        changes = api.diff(old_rules, judges[0], new_rules, judges[1], moves=moves)
        reported = [(c.action, c.old.index, c.new.index) for c in changes]
        assert len(set(reported)) == len(reported)
        names = {r.scope.name for r in old_rules + new_rules if r.scope.kind == "action"}
        for change in changes:
            assert (decided(old, change.input), decided(new, change.input)) == (change.old.index, change.new.index)
            assert old.engine.evaluate(change.input) == change.old.decision()
            assert new.engine.evaluate(change.input) == change.new.decision()
            assert change.old.effect != change.new.effect or (moves and change.old.rule != change.new.rule)
            assert group_of(change.input, names) == change.action
        for _ in range(150):
            data = random_input(rng)
            before, after = old.engine.evaluate(data), new.engine.evaluate(data)
            if before["effect"] != after["effect"] or (moves and before["matched_rule"] != after["matched_rule"]):
                assert (group_of(data, names), decided(old, data), decided(new, data)) in reported


# ---------------------------------------------------------------- witnesses a person can read

WITNESS_CASES = [
    ("a number above a literal", [("global", "atomic", [("actor.level", "greater_than", 5.0)], "block")],
     {0: {"actor": {"level": 6.0}}}),
    ("a text other than the literal", [("global", "atomic", [("actor.role", "not_equals", "a")], "block")],
     {0: {"actor": {"role": "other"}}}),
    # Only NaN differs from itself; only infinity exceeds the largest double.
    ("NaN when nothing else shows it", [("global", "atomic", [("actor.level", "not_equals", ("actor.level",))], "block")],
     {0: {"actor": {"level": NAN}}}),
    ("infinity when nothing else shows it",
     [("global", "atomic", [("actor.level", "greater_than", 1.7976931348623157e308)], "block")],
     {0: {"actor": {"level": INF}}}),
    ("a small integer below an earlier rule",
     [("global", "atomic", [("actor.level", "greater_than", 1.0)], "block"),
      ("global", "atomic", [("actor.level", "not_equals", 1.0)], "allow")],
     {0: {"actor": {"level": 2.0}}, 1: {"actor": {"level": 0.0}}}),
    ("only the member that decides", [
        ("pay", "any", [("action.amount", "greater_than", 1000.0), ("action.note", "equals", "x")], "block"),
        ("pay", "atomic", [("action.amount", "greater_than", 10.0)], "allow")],
     {0: {"action": {"type": "pay", "amount": 1001.0}}, 1: {"action": {"type": "pay", "amount": 11.0}}}),
    # No double lies strictly between the smallest negative subnormal and zero (-0.0 equals 0.0).
    ("no double between", [("global", "all", [("actor.level", "less_than", 0.0),
                                               ("actor.level", "greater_than", -5e-324)], "block")], {}),
]  # fmt: skip


@pytest.mark.parametrize("name, specs, expected", WITNESS_CASES, ids=[c[0] for c in WITNESS_CASES])
def test_deciding_inputs_are_plain(name, specs, expected):
    inputs = api.deciding_inputs(*compiled(specs))
    full = {i: {"action": {}, "actor": {}, "snapshot": {}} for i in expected}
    for index, data in expected.items():
        for domain, values in data.items():
            full[index][domain].update(values)
    assert api.input_json(inputs) == api.input_json(full)


def without_each_field(data):
    for domain, values in data.items():
        for field in values:
            smaller = {d: dict(v) for d, v in data.items()}
            del smaller[domain][field]
            yield smaller


def test_witnesses_are_one_minimal_on_generated_policies():
    rng = random.Random(11)
    for _ in range(TRIALS // 4):
        specs = random_specs(rng, rng.randint(1, 10))
        new_specs, new_ids = edit(rng, specs, [f"r{i}" for i in range(len(specs))])
        (rules, old), (new_rules, new) = compiled(specs, policy=True), compiled(new_specs, new_ids, True)
        for index, data in api.deciding_inputs(rules, old).items():
            assert all(decided(old, smaller) != index for smaller in without_each_field(data))
        names = {r.scope.name for r in rules + new_rules if r.scope.kind == "action"}
        for change in api.diff(rules, old, new_rules, new):
            shown = (change.action, change.old.index, change.new.index)
            for smaller in without_each_field(change.input):
                assert (group_of(smaller, names), decided(old, smaller), decided(new, smaller)) != shown
