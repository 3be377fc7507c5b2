"""Properties in decision test suites: read and located, compiled as rules' conditions are."""

import json
import textwrap
from pathlib import Path

import pytest

import tamsel
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
