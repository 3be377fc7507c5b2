"""Every construction error printed where it stands, by every command, in every format."""

import json
import sys
from pathlib import Path

import pytest

from test_cli import run, with_solver

SCHEMA = """\
version: 1
actions:
  pay: {fields: {amount: number, note: string}}
  close: {fields: {}}
actor: {fields: {role: string, vip: boolean}}
snapshot: {fields: {limit: number}}
"""
FIRST = "{id: a, scope: {global: true}, when: [[actor, vip], equals, {literal: true}], effect: allow}"
GOVERNANCE = """\
version: 1
governance:
  rules:
    - {id: g1, select: {where: {effect: allow}}, must: {forbid: true}, error: no allow}
    - {id: g2, select: {where: {scope: {action: pay}}}, must: {exists: true}, error: pay needs a rule}
    - {id: g3, select: {where: {}}, must: {allowed_fields: [actor.vip]}, error: "only vip, \\"please\\""}
"""
SAME_TYPE = (
    "both sides of a comparison have one type; a literal's type is its form: 1000 is a number, "
    "true a boolean, and quoted or other text a string"
)
OPERATORS = "the operators are equals, not_equals, greater_than, less_than"
DOMAINS = "the domains are action, actor, snapshot"


def one_rule(rule):
    """A policy whose second rule, on line 4, is the one given."""
    return f"version: 1\nrules:\n  - {FIRST}\n  - {rule}\n"


# The second rule of a policy -> the error at its node (scope, subject, comparison, all/any), its kind
# and its help. The rule starts at column 5; its scope at 20, its condition at 41 or 42.
COMPILE_ERRORS = [
    ("{id: c, scope: {action: pai}, when: [[action, amount], equals, {literal: 1}], effect: block}",
     "4:20", "unknown_action", "unknown action 'pai' in scope", ["the schema declares these actions: close, pay"]),
    ("{id: c, scope: {global: false}, when: [[actor, vip], equals, {literal: true}], effect: block}",
     "4:20", "invalid_scope", "invalid scope configuration", ["a scope for every request is written {global: true}"]),
    ("{id: c, scope: {global: true}, when: [[actors, vip], equals, {literal: true}], effect: block}",
     "4:43", "unknown_domain", "unknown domain 'actors'", [DOMAINS]),
    ("{id: c, scope: {global: true}, when: [[actor, vip], equals, {subject: [snapshots, limit]}], effect: block}",
     "4:75", "unknown_domain", "unknown domain 'snapshots'", [DOMAINS]),
    ("{id: c, scope: {action: pay}, when: [[action, amont], equals, {literal: 1}], effect: block}",
     "4:42", "unknown_field", "unknown field 'amont' in domain 'action'",
     ["the schema declares these fields of action 'pay': amount, note"]),
    ("{id: c, scope: {global: true}, when: [[action, amount], equals, {literal: 1}], effect: block}",
     "4:43", "unknown_field", "unknown field 'amount' in domain 'action'",
     ["only a rule scoped to an action, {action: NAME}, reads action fields"]),
    ("{id: c, scope: {action: close}, when: [[actor, vip], equals, {subject: [actor, rol]}], effect: block}",
     "4:76", "unknown_field", "unknown field 'rol' in domain 'actor'",
     ["the schema declares these fields of domain 'actor': role, vip"]),
    ("{id: c, scope: {action: close}, when: [[action, x], equals, {literal: 1}], effect: block}",
     "4:44", "unknown_field", "unknown field 'x' in domain 'action'",
     ["the schema declares no fields of action 'close'"]),
    ("{id: c, scope: {global: true}, when: [[actor, role], like, {literal: x}], effect: block}",
     "4:42", "unknown_operator", "unknown operator 'like'", [OPERATORS]),
    ("{id: c, scope: {global: true}, when: {all: [[[actor, role], equals, {literal: x}]]}, effect: block}",
     "4:42", "too_few_members", "invalid logical condition: must contain at least two conditions",
     ["all joins two comparisons or more; one comparison alone is written as the condition itself, "
      "[SUBJECT, OPERATOR, VALUE]"]),
    ("{id: c, scope: {global: true}, when: {any: []}, effect: block}",
     "4:42", "too_few_members", "invalid logical condition: must contain at least two conditions",
     ["any joins two comparisons or more; one comparison alone is written as the condition itself, "
      "[SUBJECT, OPERATOR, VALUE]"]),
    ("{id: c, scope: {action: pay}, when: [[action, amount], equals, {literal: \"5\"}], effect: block}",
     "4:41", "type_mismatch", "type mismatch: left is 'Number', right is 'String'", [SAME_TYPE]),
    ("{id: c, scope: {global: true}, when: {subject: {domain: snapshot, field: limit}, operator: greater_than, "
     "value: {literal: true}}, effect: block}",
     "4:42", "type_mismatch", "type mismatch: left is 'Number', right is 'Boolean'", [SAME_TYPE]),
    ("{id: c, scope: {global: true}, when: [[actor, role], less_than, {literal: x}], effect: block}",
     "4:42", "operator_not_admitted", "operator 'LessThan' not supported for type 'string'",
     ["type 'string' admits equals, not_equals; in and not_in are admitted for no type"]),
    ("{id: c, scope: {global: true}, when: [[actor, vip], in, {literal: true}], effect: block}",
     "4:42", "operator_not_admitted", "operator 'In' not supported for type 'boolean'",
     ["type 'boolean' admits equals, not_equals; in and not_in are admitted for no type"]),
    # Reading errors stand where their message says, without saying it twice.
    ("{id: c, scope: {global: true}, when: [[actor, vip], equals, {literal: true}], effect: deny}",
     "4:91", "unknown_variant", "rules[1].effect: unknown variant `deny`, expected one of `allow`, `block`, "
     "`require_approval`", []),
    ("{id: c, scope: global, when: [[actor, vip], equals, {literal: true}], effect: block}",
     "4:5", "no_variant_matched", "rules[1]: data did not match any variant of untagged enum ScopeAst",
     ["a scope is one of {action: NAME}, {actor: NAME} or {global: true}"]),
    ("{id: c, scope: {global: true}, when: [[actor, vip], equals, {literal: true}], effect: [block]}",
     "4:91", "invalid_type", "rules[1].effect: invalid type: sequence, expected a YAML tag starting with '!'",
     ["an effect is one of the words allow, block, require_approval"]),
]


@pytest.fixture
def written(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    Path("s.yaml").write_text(SCHEMA)
    Path("g.yaml").write_text(GOVERNANCE)

    def write(policy):
        Path("p.yaml").write_bytes(policy if isinstance(policy, bytes) else policy.encode())

    return write


@pytest.mark.parametrize("rule, place, kind, message, help", COMPILE_ERRORS)
def test_check_prints_each_error_at_its_node(capsys, written, rule, place, kind, message, help):
    written(one_rule(rule))
    lines = [f"p.yaml:{place}: {message}", *(f"help: {text}" for text in help)]
    assert run(capsys, "check", "s.yaml", "p.yaml") == (1, [], lines)
    line, column = (int(number) for number in place.split(":"))
    diagnostic = {"file": "p.yaml", "line": line, "column": column, "severity": "error", "kind": kind,
                  "message": message, "help": help}
    status, out, err = run(capsys, "check", "s.yaml", "p.yaml", "--format", "json")
    assert (status, err) == (1, [])
    assert json.loads(out[0]) == {"diagnostics": [diagnostic]}


# The same error in every command that builds documents: the same line, and its help.
@pytest.mark.parametrize("argv, status", [
    (["eval", "s.yaml", "p.yaml"], 2),
    (["explain", "s.yaml", "p.yaml"], 2),
    with_solver(["lint", "s.yaml", "p.yaml"], 2),
    with_solver(["diff", "s.yaml", "p.yaml", "p.yaml"], 2),
    (["test", "x.suite.json"], 2),
])
def test_every_command_prints_the_error_at_its_node(capsys, written, argv, status):
    rule, place, _, message, help = COMPILE_ERRORS[4]
    written(one_rule(rule))
    Path("x.suite.json").write_text(json.dumps({"schema": "s.yaml", "policy": "p.yaml", "cases": []}))
    got, _, err = run(capsys, *argv, stdin=b"{}\n")
    assert got == status
    assert err == [f"p.yaml:{place}: {message}", *(f"help: {text}" for text in help)]


# Two rules that break governance and one required rule missing: one line each, in governance order.
VIOLATIONS = [
    "p.yaml:3:5: breaks governance rule 'g1': no allow",
    "g.yaml:5:7: governance rule 'g2' is not met: pay needs a rule",
    "p.yaml:4:5: breaks governance rule 'g3': only vip, \"please\"",
]


def test_each_governance_violation_is_one_line_at_its_rule(capsys, written):
    written(one_rule("{id: b, scope: {global: true}, when: [[actor, role], equals, {literal: x}], effect: block}"))
    assert run(capsys, "check", "s.yaml", "p.yaml", "g.yaml") == (1, [], VIOLATIONS)
    status, out, err = run(capsys, "check", "s.yaml", "p.yaml", "g.yaml", "--format", "github")
    assert (status, out, err) == (1, [
        "::error file=p.yaml,line=3,col=5::breaks governance rule 'g1': no allow",
        "::error file=g.yaml,line=5,col=7::governance rule 'g2' is not met: pay needs a rule",
        "::error file=p.yaml,line=4,col=5::breaks governance rule 'g3': only vip, \"please\""], [])
    status, out, _ = run(capsys, "check", "s.yaml", "p.yaml", "g.yaml", "--format", "json")
    found = json.loads(out[0])["diagnostics"]
    assert [(d["file"], d["line"], d["column"], d["kind"], d["help"]) for d in found] == [
        ("p.yaml", 3, 5, "governance_violation", []),
        ("g.yaml", 5, 7, "governance_violation", []),
        ("p.yaml", 4, 5, "governance_violation", [])]
    assert [d["message"] for d in found] == [line.split(": ", 1)[1] for line in VIOLATIONS]


# check --format json: what a build gives, warnings included; what a file that cannot be used gives.
@pytest.mark.parametrize("policy, argv, status, expected", [
    (one_rule(FIRST), [], 0, {"diagnostics": [], "policy_hash": True}),
    (one_rule(FIRST) + "extra: [1]\n", [], 0, {"diagnostics": [
        {"file": "p.yaml", "line": 5, "column": 1, "severity": "warning", "kind": "skipped_key",
         "message": "key 'extra' is not read here", "help": []}], "policy_hash": True}),
    (one_rule(FIRST), ["nothing.yaml"], 2, {"diagnostics": [
        {"file": "nothing.yaml", "line": None, "column": None, "severity": "error", "kind": "unreadable",
         "message": "cannot read: No such file or directory", "help": []}]}),
    (b"version: 1\nrules: \xff\n", [], 1, {"diagnostics": [
        {"file": "p.yaml", "line": 2, "column": 8, "severity": "error", "kind": "invalid_utf8",
         "message": "invalid UTF-8", "help": []}]}),
    # Any text from a document goes into JSON as it is, escaped by JSON alone.
    # (a bidirectional control in a document is refused, unless allowed as here)
    (one_rule('{id: b, scope: {global: true}, when: [[actor, "x\u202e\\n"], equals, {literal: 1}], effect: block}'),
     ["p.yaml", "--allow-invisible-breaks"], 1, {"diagnostics": [
        {"file": "p.yaml", "line": 4, "column": 43, "severity": "error", "kind": "unknown_field",
         "message": "unknown field 'x\u202e\n' in domain 'actor'",
         "help": ["the schema declares these fields of domain 'actor': role, vip"]}]}),
])
def test_check_json_lists_the_diagnostics(capsys, written, policy, argv, status, expected):
    written(policy)
    got, out, err = run(capsys, "check", "s.yaml", *(argv or ["p.yaml"]), "--format", "json")
    assert (got, err, len(out)) == (status, [], 1)
    document = json.loads(out[0])
    if expected.get("policy_hash"):
        assert len(document["policy_hash"]) == 64
        expected = {**expected, "policy_hash": document["policy_hash"]}
    assert document == expected
    assert out[0].isascii()


# Without PyYAML the declared names cannot be read; the help says so rather than guess.
@pytest.mark.parametrize("index, help", [
    (0, "the schema's actions could not be listed (reading it needs PyYAML)"),
    (4, "the schema's fields of the rule's action could not be listed (reading it needs PyYAML)"),
    (6, "the schema's fields of domain 'actor' could not be listed (reading it needs PyYAML)"),
])
def test_without_pyyaml_the_names_are_not_listed(capsys, written, monkeypatch, index, help):
    monkeypatch.setitem(sys.modules, "yaml", None)
    rule, place, _, message, _ = COMPILE_ERRORS[index]
    written(one_rule(rule))
    assert run(capsys, "check", "s.yaml", "p.yaml") == (1, [], [f"p.yaml:{place}: {message}", f"help: {help}"])
