"""What the commands print about documents: help lines, annotations, and nothing raw."""

import json
import re
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

from tamsel_tools.base.findings import finding
from tamsel_tools.diagnostics.skipped import skipped_key_warnings, skipped_keys
from test_cli import GLOBAL_RULE_ONLY, documents, edited, run  # noqa: F401 - documents is a fixture
from test_tools import CASES, suite

SCOPE_HELP = "help: a scope is one of {action: NAME}, {actor: NAME} or {global: true}"
CONDITION_HELP = [
    "help: a condition is one comparison, [SUBJECT, OPERATOR, VALUE] or {subject: SUBJECT, "
    "operator: OPERATOR, value: VALUE}, or {all: [COMPARISON, ...]} or {any: [COMPARISON, ...]} "
    "of two comparisons or more, which do not nest",
    "help: a SUBJECT is [DOMAIN, FIELD] or {domain: DOMAIN, field: FIELD}, DOMAIN one of action, actor, snapshot",
    "help: a VALUE is {literal: LITERAL} or {subject: SUBJECT}; a LITERAL is a text, a number, "
    "true or false (not null, a list or a mapping)",
    "help: an OPERATOR is one of equals, not_equals, greater_than, less_than",
]
CONSTRAINT_HELP = (
    "help: must is one of {exists: true or false}, {min_count: N}, {max_count: N}, "
    "{forbid: true or false} or {allowed_fields: [DOMAIN.FIELD, ...]}, N a whole number from 0"
)
FIRST_WHEN = "when:\n      subject:\n        domain: action\n        field: amount\n      operator: greater_than\n      value:\n        literal: 1000\n"


def policy(old, new):
    return {"policy_yaml": edited("policy.yaml", old, new)}


# Each edit of the example documents: the lines that `tamsel check` prints.
HELP = [
    (policy("scope: {global: true}", "scope: global"), [
        "policy.yaml:30:5: rules[3]: data did not match any variant of untagged enum ScopeAst", SCOPE_HELP]),
    (policy("scope: {global: true}", "scope: !g {global: true}"), [
        "policy.yaml:31:12: rules[3].scope: untagged and internally tagged enums do not support enum input",
        "help: a tag (a word after '!') cannot stand inside a scope, a condition or must: write the value without it"]),
    (policy(FIRST_WHEN, "when: {subject: [action, amount], operator: greater_than, value: 1000}\n"), [
        "policy.yaml:3:5: rules[0]: data did not match any variant of untagged enum ConditionAst", *CONDITION_HELP]),
    (policy("effect: require_approval", "effect: [require_approval]"), [
        "policy.yaml:22:13: rules[1].effect: invalid type: sequence, expected a YAML tag starting with '!'",
        "help: an effect is one of the words allow, block, require_approval"]),
    (policy("effect: require_approval", "effect: approve"), [
        "policy.yaml:22:13: rules[1].effect: unknown variant `approve`, expected one of `allow`, `block`, "
        "`require_approval`"]),
    (policy("rules:\n", "rules:\n  - 5\n"), [
        "policy.yaml:3:5: rules[0]: invalid type: integer `5`, expected struct RuleAst",
        "help: a rule is a mapping {id: ID, scope: SCOPE, when: CONDITION, effect: EFFECT}"]),
    (policy("operator: greater_than", "operator: more"), ["policy.yaml:7:7: unknown operator 'more'",
        "help: the operators are equals, not_equals, greater_than, less_than"]),
    (policy("not_equals", "greater_than"), ["policy.yaml:27:11: operator 'GreaterThan' not supported for type 'string'",
        "help: type 'string' admits equals, not_equals; in and not_in are admitted for no type"]),
    (policy("operator: greater_than", "operator: in"), ["policy.yaml:7:7: operator 'In' not supported for type 'number'",
        "help: type 'number' admits equals, not_equals, greater_than, less_than; in and not_in are admitted for no type"]),
    (policy("domain: action", "domain: actions"), ["policy.yaml:8:9: unknown domain 'actions'",
        "help: the domains are action, actor, snapshot"]),
    (policy("field: amount", "field: amout"), ["policy.yaml:8:9: unknown field 'amout' in domain 'action'",
        "help: the schema declares these fields of action 'refund': amount, currency"]),
    (policy("field: trust_level}, less_than", "field: trust}, less_than"), [
        "policy.yaml:18:12: unknown field 'trust' in domain 'actor'",
        "help: the schema declares these fields of domain 'actor': frozen, role, trust_level"]),
    (policy("domain: actor, field: trust_level}\n      operator", "domain: action, field: amount}\n      operator"), [
        "policy.yaml:33:16: unknown field 'amount' in domain 'action'",
        "help: only a rule scoped to an action, {action: NAME}, reads action fields"]),
    (policy("action: refund", "action: refunds"), ["policy.yaml:5:7: unknown action 'refunds' in scope",
        "help: the schema declares these actions: close_account, refund"]),
    (policy("{global: true}", "{global: false}"), ["policy.yaml:31:12: invalid scope configuration",
        "help: a scope for every request is written {global: true}"]),
    (policy("{literal: 3}", "{literal: '3'}"), ["policy.yaml:18:11: type mismatch: left is 'Number', right is 'String'",
        "help: both sides of a comparison have one type; a literal's type is its form: 1000 is a number, "
        "true a boolean, and quoted or other text a string"]),
    ({"schema_yaml": edited("schema.yaml", "amount: number", "amount: {number: 1}")}, [
        "schema.yaml:5:15: actions.refund.fields.amount: invalid type: map, expected a YAML tag starting with '!'",
        "help: a field's type is one of the words string, number, boolean"]),
    ({"schema_yaml": edited("schema.yaml", "actor:\n  fields:", "actor:\n  field:")}, [
        "schema.yaml:10:3: actor: missing field `fields`"]),
    ({"schema_yaml": edited("schema.yaml", "close_account:\n    fields: {}", "close_account: [x]")}, [
        "schema.yaml:7:18: actions.close_account: invalid type: sequence, expected struct ActionSchemaAst",
        "help: an action is {fields: {NAME: TYPE, ...}}, TYPE one of string, number, boolean"]),
    ({"governance_yaml": edited("governance.yaml", "exists: true", "exist: true")}, [
        "governance.yaml:4:7: governance.rules[0]: data did not match any variant of untagged enum Constraint",
        CONSTRAINT_HELP]),
    ({"governance_yaml": edited("governance.yaml", "applies_to:\n        actions: [refund]", "applies_to: [refund]")}, [
        "governance.yaml:14:19: governance.rules[1].applies_to: invalid type: sequence, expected struct AppliesTo",
        "help: applies_to is {actions: [NAME, ...]}"]),
    ({"governance_yaml": edited("governance.yaml", "select:\n        where:", "select:\n        - where:")}, [
        "governance.yaml:6:9: governance.rules[0].select: invalid type: sequence, expected struct Selector",
        "help: select is {where: FILTER}"]),
]


@pytest.mark.parametrize("variants, lines", HELP)
def test_check_prints_help_under_the_engines_message(capsys, documents, variants, lines):
    documents(**variants)
    names = ["schema.yaml", "policy.yaml"] + ["governance.yaml"] * ("governance_yaml" in variants)
    assert run(capsys, "check", *names) == (1, [], lines)


def test_test_prints_help_under_a_suite_that_does_not_build(capsys, documents):
    documents(policy_yaml=edited("policy.yaml", "scope: {global: true}", "scope: global"))
    Path("s.suite.json").write_text(json.dumps({"schema": "schema.yaml", "policy": "policy.yaml", "cases": []}))
    assert run(capsys, "test", "s.suite.json") == (2, ["0 passed, 0 failed"], [
        "policy.yaml:30:5: rules[3]: data did not match any variant of untagged enum ScopeAst", SCOPE_HELP])
    assert run(capsys, "test", "--format", "github", "s.suite.json") == (2, [
        "::error file=policy.yaml,line=30,col=5::rules[3]: data did not match any variant of untagged "
        "enum ScopeAst%0A" + SCOPE_HELP, "0 passed, 0 failed"], [])


FINDINGS = [
    (("error", "p.yaml", 3, 5, "bad", "text"), "p.yaml:3:5: bad"),
    (("warning", "p.yaml", 3, 5, "key 'efect' is not read here", "text"),
     "p.yaml:3:5: warning: key 'efect' is not read here"),
    (("error", "p.yaml", None, None, "unknown domain 'x'", "text"), "p.yaml: unknown domain 'x'"),
    (("error", "p.yaml", 3, 5, "bad", "github"), "::error file=p.yaml,line=3,col=5::bad"),
    (("warning", "p.yaml", 3, 5, "bad", "github"), "::warning file=p.yaml,line=3,col=5::bad"),
    (("error", "p.yaml", None, None, "bad", "github"), "::error file=p.yaml::bad"),
    # The format's own escapes: %, CR and LF in the message, also ':' and ',' in properties.
    (("error", "a:b,c%.yaml", 1, 2, "100% sure: a, b", "github"),
     "::error file=a%3Ab%2Cc%25.yaml,line=1,col=2::100%25 sure: a, b"),
    # Line breaks and escape sequences from a document are written as escapes first.
    (("error", "p.yaml", 1, 1, "unknown field 'x\x1b[2K\rok' in domain 'actor'", "github"),
     "::error file=p.yaml,line=1,col=1::unknown field 'x\\u{1b}[2K\\rok' in domain 'actor'"),
    (("error", "p\n.yaml", 1, 1, "a\nb\u202e", "text"), "p\\n.yaml:1:1: a\\nb\\u{202e}"),
    # A line feed in a file name is the runner's %0A in an annotation's property.
    (("error", "p\n\r.yaml", 1, 1, "m", "github"), "::error file=p%0A%0D.yaml,line=1,col=1::m"),
    # What shows as nothing is escaped, so two different names never print the same.
    (("error", "p.yaml", 1, 1, "rule 'a\u200bb' 'ab\u2060' '\ufeffab' 'a\xadb'", "text"),
     "p.yaml:1:1: rule 'a\\u{200b}b' 'ab\\u{2060}' '\\u{feff}ab' 'a\\u{ad}b'"),
]


@pytest.mark.parametrize("arguments, line", FINDINGS)
def test_finding_lines(arguments, line):
    assert finding(*arguments) == line


def test_help_lines_join_into_one_annotation():
    assert finding("error", "p.yaml", 1, 2, "m", "github", ["a", "b\nc"]) == (
        "::error file=p.yaml,line=1,col=2::m%0Ahelp: a%0Ahelp: b\\nc")
    assert finding("error", "p.yaml", 1, 2, "m", "text", ["a"]) == "p.yaml:1:2: m\nhelp: a"


# ---- nothing a document or an input holds reaches the terminal raw ----

HOSTILE = ["x\x1b[2K\rok", "a\nb", "\u202eevil\u202c", "nul\x00", "sep\u2028x\u2029", "c1\x85\x9b", "del\x7f", "bell\x07",
           "zw\u200b\u2060\ufeff\xad"]
UNSAFE = {chr(code) for code in [*range(0x20), *range(0x7F, 0xA0)]} - {"\n"} | set(
    "\u2028\u2029\u061c\u200e\u200f\u202a\u202b\u202c\u202d\u202e\u2066\u2067\u2068\u2069"
    "\u200b\u2060\ufeff\xad")


def quoted(name):
    """The name as a YAML double-quoted scalar (JSON's escapes are YAML's)."""
    return json.dumps(name)


def hostile_documents(name):
    """Edits of the example documents that put the name where each command shows it."""
    return [
        policy("field: amount", f"field: {quoted(name)}"),  # unknown field
        policy("action: refund", f"action: {quoted(name)}"),  # unknown action
        policy("operator: greater_than", f"operator: {quoted(name)}"),  # unknown operator
        policy("domain: action", f"domain: {quoted(name)}"),  # unknown domain
        policy("effect: require_approval", f"effect: {quoted(name)}"),  # reading error
        {"schema_yaml": edited("schema.yaml", "amount: number", f"{quoted(name)}: integer")},
        {"schema_yaml": edited("schema.yaml", "role: string", f"{quoted(name)}: string"),
         "policy_yaml": edited("policy.yaml", "field: trust_level}, less_than", "field: role}, less_than")},
        {"governance_yaml": edited("governance.yaml", "every policy needs a blocking refund rule", quoted(name))},
        {"governance_yaml": edited("governance.yaml", "id: refund-fields", f"id: {quoted(name)}")},
        {"governance_yaml": edited("governance.yaml", "exists: true", f"{quoted(name)}: true")},
    ]


def assert_safe(text):
    assert not UNSAFE & set(text), repr(text)


@pytest.mark.parametrize("name", HOSTILE)
@pytest.mark.parametrize("format", ["text", "github"])
def test_check_and_test_print_hostile_names_as_escapes(capsys, documents, name, format):
    for variants in hostile_documents(name):
        documents()
        documents(**variants)
        status, out, err = run(capsys, "check", "--format", format, "schema.yaml", "policy.yaml", "governance.yaml")
        printed = "\n".join(out + err)
        assert_safe(printed)
        # One finding is one line, or one line and its help lines.
        assert sum(not line.startswith("help: ") for line in out + err) == 1, printed
        Path("s.suite.json").write_text(json.dumps({
            "schema": "schema.yaml", "policy": "policy.yaml", "governance": "governance.yaml", "cases": []}))
        status, out, err = run(capsys, "test", "--format", format, "--junit", "r.xml", "s.suite.json")
        assert_safe("\n".join(out + err))
        ElementTree.parse("r.xml")


@pytest.mark.parametrize("format", ["text", "github"])
def test_suites_cases_and_inputs_with_hostile_names(capsys, documents, format):
    cases = [{"name": name, "input": {"action": {"type": name, name: name}, "actor": {name: [name]}},
              "expect": {"effect": name, "matched_rule": name}} for name in HOSTILE]
    cases.append({"name": "x", "input": {}, "expect": {"error": HOSTILE[0]}})
    Path("s.suite.json").write_text(json.dumps({
        "schema": "schema.yaml", "policy": "policy.yaml", "cases": cases, HOSTILE[0]: 1}))
    status, out, err = run(capsys, "test", "--format", format, "--junit", "r.xml", "s.suite.json")
    assert status == 2 and len(err + out) == 2  # the unknown key, and the summary
    assert_safe("\n".join(out + err))
    del cases[-1]
    Path("d").mkdir()
    Path("d", HOSTILE[0] + ".suite.json").write_text(json.dumps({
        "schema": "../schema.yaml", "policy": "../policy.yaml", "cases": cases}))
    status, out, err = run(capsys, "test", "--format", format, "--junit", "r.xml", "--allow-outside-paths", "d")
    assert (status, len(out)) == (1, len(cases) + 1), out + err
    assert_safe("\n".join(out + err))
    for testcase in ElementTree.parse("r.xml").iter("testcase"):
        assert_safe(testcase.get("name") + testcase.get("classname"))
    lines = "".join(json.dumps({"action": {"type": name, name: name}}) + "\n" + json.dumps({"actor": {name: [1]}}) + "\n"
                    for name in HOSTILE)
    Path(HOSTILE[0]).write_text(Path("policy.yaml").read_text())
    for command in (["eval"], ["explain"], ["explain", "--json"]):
        for policy_path in ("policy.yaml", HOSTILE[0]):
            status, out, err = run(capsys, *command, "schema.yaml", policy_path, "-", stdin=lines.encode())
            assert out and err
            assert_safe("\n".join(out + err))
    status, out, err = run(capsys, "eval", "schema.yaml", "policy.yaml", HOSTILE[1])
    assert status == 2 and len(err) == 1  # no such file
    assert_safe("\n".join(out + err))


@pytest.mark.parametrize("argv", [
    ["check", "--format", "x\x1b[2K\rok", "a", "b"],
    ["check", "a", "b", "c", "x\x1b[2K\rd"],
    ["check", "--x\x1b[2K"],
    ["test", "--junit"],
    ["x\u202e\n"],
    ["check", "s\x1b.yaml", "p\n.yaml"],
    ["eval", "s\x1b.yaml", "p.yaml"],
    ["test", "s\x1b]0;title\x07.suite.json"],
])
def test_arguments_are_printed_as_escapes(capsys, documents, argv):
    status, out, err = run(capsys, *argv)
    assert status == 2
    assert_safe("\n".join(out + err))


# ---- keys that the readers skip ----

def test_skipped_keys_word_their_warnings():
    skipped = [{"document": "policy", "key": "efect", "line": 14, "column": 5},
               {"document": "governance", "key": "x\x1b[2K\r,ok", "line": 2, "column": 1}]
    paths = {"schema": "s.yaml", "policy": "p.yaml", "governance": "g.yaml"}
    assert [w.render() for w in skipped_key_warnings(skipped, paths)] == [
        "p.yaml:14:5: warning: key 'efect' is not read here",
        "g.yaml:2:1: warning: key 'x\\u{1b}[2K\\r,ok' is not read here"]
    assert [w.render("github") for w in skipped_key_warnings(skipped, paths)] == [
        "::warning file=p.yaml,line=14,col=5::key 'efect' is not read here",
        "::warning file=g.yaml,line=2,col=1::key 'x\\u{1b}[2K\\r,ok' is not read here"]


SKIPPED = [
    ({"policy_yaml": edited("policy.yaml", "    effect: block\n", "    effect: block\n    efect: allow\n")},
     "policy.yaml:14:5: warning: key 'efect' is not read here"),
    ({"schema_yaml": edited("schema.yaml", "snapshot:\n", "notes: [a, b]\nsnapshot:\n")},
     "schema.yaml:14:1: warning: key 'notes' is not read here"),
    ({"governance_yaml": edited("governance.yaml", "applies_to:", "applies-to:")},
     "governance.yaml:14:7: warning: key 'applies-to' is not read here"),
]


@pytest.mark.parametrize("variants, warning", SKIPPED)
def test_check_warns_of_keys_the_readers_skip(capsys, documents, variants, warning):
    documents(**variants)
    status, out, err = run(capsys, "check", "schema.yaml", "policy.yaml", "governance.yaml")
    assert (status, len(out), err) == (0, 1, [warning])
    texts = [Path(name).read_text() for name in ("schema.yaml", "policy.yaml", "governance.yaml")]
    assert len(skipped_keys(*texts)) == 1


def test_a_violation_gets_no_help_whatever_its_text_says(capsys, documents):
    text = "invalid type: map, expected a YAML tag starting with '!'"
    documents(governance_yaml=edited("governance.yaml", "every policy needs a blocking refund rule", quoted(text)),
              policy_yaml=GLOBAL_RULE_ONLY)
    status, out, err = run(capsys, "check", "schema.yaml", "policy.yaml", "governance.yaml")
    assert (status, err) == (1, [f"governance.yaml:4:7: governance rule 'refund-block-present' is not met: {text}"])


# ---- coverage gaps as annotations ----

def test_coverage_gaps_are_warnings_on_their_lines(capsys, documents):
    cases = [{"name": name, "input": input, "expect": expect} for name, input, expect in CASES[:1]]
    Path("x.suite.json").write_text(suite(cases))
    _, text, _ = run(capsys, "test", "x.suite.json", "--coverage")
    status, out, err = run(capsys, "test", "x.suite.json", "--coverage", "--format", "github", "--fail-under", "90")
    gaps = [re.fullmatch(r"policy\.yaml:([0-9]+):([0-9]+): (.*)", line) for line in text[2:]]
    assert gaps and all(gaps)
    assert (status, out, err) == (1, [
        *text[:2],
        *(f"::warning file=policy.yaml,line={gap[1]},col={gap[2]}::{gap[3]}" for gap in gaps),
        "::error file=policy.yaml::coverage below 90%25: rules 33.3%25, comparisons 0.0%25"], [])


@pytest.mark.parametrize("name", HOSTILE)
def test_the_canonical_text_of_hostile_names_is_safe(capsys, documents, name):
    documents(schema_yaml=f"version: 1\nactions: {{{quoted(name)}: {{fields: {{{quoted(name)}: string}}}}}}\n"
                          "actor: {fields: {}}\nsnapshot: {fields: {}}\n",
              policy_yaml=f"version: 1\nrules:\n  - id: {quoted(name)}\n    scope: {{action: {quoted(name)}}}\n"
                          f"    when: [[action, {quoted(name)}], equals, {{literal: {quoted(name)}}}]\n    effect: block\n")
    status, out, err = run(capsys, "check", "--canonical", "schema.yaml", "policy.yaml")
    assert (status, err) == (0, [])
    assert_safe("\n".join(out))


def test_a_failing_case_names_its_suite_with_coverage_on(capsys, documents):
    Path("d").mkdir()
    case = {"name": "large", "input": CASES[0][1], "expect": {"effect": "allow"}}
    Path("d", "x.suite.json").write_text(json.dumps({"schema": "../schema.yaml", "policy": "../policy.yaml", "cases": [case]}))
    for format, line in (("text", "d/x.suite.json: large: expected"), ("github", "::error file=d/x.suite.json::large: expected")):
        status, out, _ = run(capsys, "test", "d/x.suite.json", "--coverage", "--format", format, "--allow-outside-paths")
        assert status == 1 and out[0].startswith(line), out


EFFECT = "policy.yaml:13:13: rules[0].effect: unknown variant `deny`, expected one of `allow`, `block`, `require_approval`"
EFFECT_JSON = {"file": "policy.yaml", "line": 13, "column": 13, "severity": "error", "kind": "unknown_variant",
               "message": EFFECT.split(": ", 1)[1], "help": []}


@pytest.mark.parametrize("command, status", [
    (["check", "schema.yaml", "policy.yaml"], 1),
    (["eval", "schema.yaml", "policy.yaml", "in.json"], 2),
    (["explain", "schema.yaml", "policy.yaml", "in.json"], 2),
    (["diff", "schema.yaml", "policy.yaml", "policy.yaml"], 2),
])
def test_every_command_writes_the_documents_faults_in_the_format_asked(capsys, documents, command, status):
    if command[0] == "diff":
        pytest.importorskip("z3")  # without it, diff says so before it reads the documents
    documents(policy_yaml=edited("policy.yaml", "effect: block", "effect: deny"))
    Path("in.json").write_text("{}")
    assert run(capsys, *command) == (status, [], [EFFECT])
    github = "::error file=policy.yaml,line=13,col=13::" + EFFECT.split(": ", 1)[1]
    assert run(capsys, *command, "--format", "github") == (status, [github], [])
    status_json, out, err = run(capsys, *command, "--format", "json")
    assert (status_json, err) == (status, []) and json.loads(out[0]) == {"diagnostics": [EFFECT_JSON]}
