"""`tamsel suggest` on generated policies and suites: each case expects what the engine decides,
the suggested suite closes every gap but those listed impossible, and each of those is checked
impossible by a search of its own over a small set of values."""

import itertools
import json
import math
import random
from pathlib import Path

import pytest

pytest.importorskip("z3")

from policies import build, random_input, random_specs, schema_yaml  # noqa: E402
from tamsel_tools import Policy  # noqa: E402
from tamsel_tools.base.strict_json import dumps, loads  # noqa: E402
from test_cli import documents, run  # noqa: E402, F401  (documents: a fixture)
from test_mcdc import shows, visits  # noqa: E402

SCHEMA = schema_yaml()


def gaps_of(coverage_json, actors):
    """(gap, rule id, member or None) of every gap the coverage counts show; an actor rule's alone."""
    gaps = set()
    for rule in coverage_json["policies"][0]["rules"]:
        if rule["decided"] == 0:
            gaps.add(("never_decided", rule["rule"], None))
        for made in rule["comparisons"] if rule["rule"] not in actors else []:
            kind = ("never_made" if made["true"] == made["false"] == 0 else "never_true" if made["true"] == 0
                    else "never_false" if made["false"] == 0 else None)
            if kind:
                gaps.add((kind, rule["rule"], made["member"]))
            if not made["alone_pairs"]:
                gaps.add(("not_alone", rule["rule"], made["member"]))
    return gaps


def coverage(capsys, *suites):
    status, out, err = run(capsys, "test", *suites, "--coverage-json", "c.json")
    assert (status, err) == (0, []), out
    return json.loads(Path("c.json").read_text())


def field_values(policy, rule):
    """Each field the rule reads, with the values tried for it: missing (None), a value of each
    kind, the literals that the policy compares it with and their neighbours (NaN kept apart)."""
    values = {}
    for each in policy.rules:
        for c in each.comparisons:
            if hasattr(c.right, "value"):
                v = c.right.value
                more = [v] if not isinstance(v, float) or math.isnan(v) else [v, v + 1, v - 1, v + 0.5]
                values.setdefault((c.left.domain, c.left.field), {}).update({(type(m), repr(m)): m for m in more})
    fields = {}
    for c in rule.comparisons:
        for side in [c.left] + ([c.right] if hasattr(c.right, "field") else []):
            known = values.get((side.domain, side.field), {})
            fields[(side.domain, side.field)] = [None, 0.0, 1.0, "zz", True, False, *known.values()]
    return fields


def inputs_for(policy, rule, limit=3000):
    """Inputs over the rule's fields (and the action's type), every combination or a sample."""
    fields = field_values(policy, rule)
    if rule.scope.kind == "action":
        fields[("action", "type")] = [rule.scope.name]
    keys = list(fields)
    combinations = itertools.product(*fields.values())
    total = math.prod(len(v) for v in fields.values())
    if total > limit:
        rng = random.Random(1)
        combinations = [[rng.choice(fields[k]) for k in keys] for _ in range(limit)]
    for chosen in combinations:
        data = {"action": {}, "actor": {}, "snapshot": {}}
        for (domain, field), value in zip(keys, chosen):
            if value is not None:
                data[domain][field] = value
        yield data


def closes(gap, rule, step, held_visits):
    """Whether an input whose step through the rule is `step` closes the gap."""
    kind, _, member = gap
    made = {c["member"]: c["result"] for c in step["comparisons"]}
    if kind == "never_decided":
        return step["result"]
    if kind == "never_made":
        return member in made
    if kind in ("never_true", "never_false"):
        return made.get(member) == (kind == "never_true")
    mine = ("x", made, step["result"])
    return any(shows(mine, other, member) for other in held_visits)


@pytest.mark.parametrize("seed", range(40))
def test_suggested_cases_close_every_gap_but_the_impossible_ones(capsys, tmp_path, monkeypatch, seed):
    monkeypatch.chdir(tmp_path)
    rng = random.Random(1000 + seed)
    rules, text = build(random_specs(rng, rng.randint(2, 7)))
    Path("schema.yaml").write_text(SCHEMA)
    Path("policy.yaml").write_text(text)
    policy = Policy(SCHEMA, text)
    cases = [{"name": f"c{n}", "input": data, "expect": policy.engine.evaluate(data)}
             for n, data in enumerate(random_input(rng) for _ in range(rng.choice([0, 3, 30])))]
    Path("a.suite.json").write_text(dumps({"schema": "schema.yaml", "policy": "policy.yaml", "cases": cases}))
    before = gaps_of(coverage(capsys, "a.suite.json"), actor_ids(policy))

    status, out, err = run(capsys, "suggest", "a.suite.json", "--json")
    assert (status, err) == (0, [])
    answer = loads("\n".join(out))
    written = loads(Path("a.suggested.suite.json").read_text()) if answer["cases"] else {"cases": []}
    assert [c["name"] for c in written["cases"]] == [c["name"] for c in answer["cases"]]
    gaps = len([g for g in before if not (g[0] == "never_decided" and g[1] in actor_ids(policy))])
    assert len(answer["cases"]) <= gaps
    for case in answer["cases"]:
        assert case["expect"] == policy.engine.evaluate(case["input"])
        assert case["closes"] and case["name"].startswith(("rule ", "comparison "))

    suites = ["a.suite.json"] + (["a.suggested.suite.json"] if answer["cases"] else [])
    after = gaps_of(coverage(capsys, *suites), actor_ids(policy))
    impossible = {(g["gap"], g["rule"], g["comparison"]) for g in answer["impossible"]}
    assert after == impossible

    # Each gap called impossible: no input over a small set of values closes it with the cases.
    every_case = cases + written["cases"]
    traces = [(c["name"], policy.explain(c["input"]).to_json()) for c in every_case]
    seen = visits(traces)
    by_id = {rule.id: rule for rule in policy.rules}
    for gap in impossible:
        rule = by_id[gap[1]]
        if not rule.can_decide:
            continue
        for data in inputs_for(policy, rule):
            step = next((s for s in policy.explain(data).to_json()["steps"] if s["index"] == rule.index), None)
            assert step is None or not closes(gap, rule, step, seen.get(rule.index, [])), (gap, data)


def actor_ids(policy):
    return {rule.id for rule in policy.rules if not rule.can_decide}


# ---- the command on the example: what it writes and prints

ACTOR_LINE = ("policy.yaml:14:5: rule 'review_untrusted_agents' never decided: impossible: rule "
              "'review_untrusted_agents' is scoped to the actor 'support_agent', and actor rules never decide "
              "[actor_scoped]")
UNDECIDED = "undecided: not settled within the solver's time limit (--timeout); nothing is claimed about it"


def example_suite(name="x.suite.json"):
    from test_cli import suite

    Path(name).write_text(suite([{"name": "large", "input": {"action": {"type": "refund", "amount": 5000}},
                                  "expect": {"effect": "block"}}], governance="governance.yaml"))


@pytest.mark.parametrize("argv, before, status, out, err, files", [
    ([], None, 0, ["x.suggested.suite.json: 4 cases for 10 gaps", ACTOR_LINE], [], ["x.suggested.suite.json"]),
    (["-o", "more.suite.json"], None, 0, ["more.suite.json: 4 cases for 10 gaps", ACTOR_LINE], [],
     ["more.suite.json"]),
    # Never over a file: the one beside the suite, or the one named.
    ([], "x.suggested.suite.json", 2, [],
     ["x.suggested.suite.json: exists; suggest writes over no file: name a new one with -o FILE"], []),
    (["-o", "x.suite.json"], None, 2, [],
     ["x.suite.json: exists; suggest writes over no file: name a new one with -o FILE"], []),
    (["--print"], None, 0, None, [ACTOR_LINE], []),
    (["--timeout", "0.000001"], None, 3, ["nothing written: 0 cases for 10 gaps",
     f"policy.yaml:7:7: comparison 0 of rule 'block_large_refunds' never false: {UNDECIDED}"], None, []),
])
def test_suggest_writes_a_new_suite_beside_the_first(capsys, documents, argv, before, status, out, err, files):
    example_suite()
    if before:
        Path(before).write_text("kept\n")
    got_status, got_out, got_err = run(capsys, "suggest", "x.suite.json", *argv)
    assert got_status == status
    if out is not None:
        assert got_out[:len(out)] == out
    if err is not None:
        assert got_err == err
    if before:
        assert Path(before).read_text() == "kept\n"
    assert sorted(p.name for p in Path().glob("*.suite.json") if p.name not in ("x.suite.json", before)) == files
    if "--print" in argv:
        printed = loads("\n".join(got_out))
        assert [c["name"] for c in printed["cases"]][:2] == [
            "comparison 0 of rule 'block_large_refunds' never false (and 4 more)",
            "rule 'foreign_currency_or_frozen' never decided (and 2 more)"]
    for name in files:
        status_after, lines, _ = run(capsys, "test", "x.suite.json", name, "--coverage")
        assert (status_after, lines[1]) == (0, "policy.yaml: 3 of 3 rules decided (100.0%), 4 of 4 comparisons "
                                               "both true and false (100.0%), 4 of 4 comparisons shown to decide "
                                               "alone (100.0%)")


def test_a_yaml_suite_gets_a_yaml_suite(capsys, documents):
    yaml = pytest.importorskip("yaml")
    Path("y.suite.yaml").write_text("schema: schema.yaml\npolicy: policy.yaml\ncases: []\n")
    assert run(capsys, "suggest", "y.suite.yaml")[:2] == (0, ["y.suggested.suite.yaml: 5 cases for 11 gaps",
                                                             "policy.yaml:14:5: rule 'review_untrusted_agents' "
                                                             "never decided: impossible: rule "
                                                             "'review_untrusted_agents' is scoped to the actor "
                                                             "'support_agent', and actor rules never decide "
                                                             "[actor_scoped]"])
    written = yaml.safe_load(Path("y.suggested.suite.yaml").read_text())
    assert (written["schema"], written["policy"], "governance" in written) == ("schema.yaml", "policy.yaml", False)
    assert run(capsys, "test", "y.suggested.suite.yaml")[:2] == (0, ["5 passed, 0 failed"])


def two_policies():
    from test_cli import TEXTS, suite

    example_suite()
    Path("other.yaml").write_text(TEXTS["policy.yaml"])
    Path("o.suite.json").write_text(suite([], policy="other.yaml"))
    return ["x.suite.json", "o.suite.json"]


@pytest.mark.parametrize("setup, argv, err", [
    (two_policies, ["--print"],
     ["tamsel suggest: --print and -o take the suites of one policy; these use 2 (policy.yaml, other.yaml)"]),
    (two_policies, ["-o", "new.suite.json"],
     ["tamsel suggest: --print and -o take the suites of one policy; these use 2 (policy.yaml, other.yaml)"]),
    (lambda: [Path("x.suite.json").write_text(""), "x.suite.json"][1:], [],
     ["x.suite.json:1:1: invalid JSON: Expecting value"]),
])
def test_suggest_refuses_what_it_cannot_do(capsys, documents, setup, argv, err):
    suites = setup()
    assert run(capsys, "suggest", *suites, *argv) == (2, [], err)
    assert not list(Path().glob("*.suggested.*")) and not Path("new.suite.json").exists()


def test_suites_of_two_policies_get_a_suite_each(capsys, documents):
    suites = two_policies()
    status, out, err = run(capsys, "suggest", *suites)
    assert (status, err) == (0, [])
    assert [line for line in out if "gaps" in line] == ["x.suggested.suite.json: 4 cases for 10 gaps",
                                                       "o.suggested.suite.json: 5 cases for 11 gaps"]
    status, out, _ = run(capsys, "test", "--coverage", *suites, "x.suggested.suite.json", "o.suggested.suite.json")
    assert (status, [line for line in out if "comparisons shown" in line]) == (0, [
        "policy.yaml: 3 of 3 rules decided (100.0%), 4 of 4 comparisons both true and false (100.0%), "
        "4 of 4 comparisons shown to decide alone (100.0%)",
        "other.yaml: 3 of 3 rules decided (100.0%), 4 of 4 comparisons both true and false (100.0%), "
        "4 of 4 comparisons shown to decide alone (100.0%)"])


def test_the_library_suggests_for_a_policy_without_cases():
    from tamsel_tools import Gap, Policy, SuggestedCase, suggest
    from test_cli import TEXTS

    policy = Policy(TEXTS["schema.yaml"], TEXTS["policy.yaml"])
    found = suggest(policy)
    assert all(isinstance(case, SuggestedCase) and isinstance(case.closes[0], Gap) for case in found.cases)
    assert len(found.cases) <= len(found.gaps) and not found.undecided
    coverage = policy.coverage()
    for case in found.cases:
        coverage.add(policy.explain(case.input), case.name)
        assert case.expect == policy.engine.evaluate(case.input)
    assert (coverage.rule_share.percent, coverage.comparison_share.percent, coverage.alone_share.percent) == (
        100.0, 100.0, 100.0)
