import importlib.metadata
import importlib.util
import io
import json
import os
import runpy
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

import tamsel
from tamsel_tools import main

# lint, diff and properties need the optional solver; where it is not installed (the wheel
# matrix) their cases are skipped, and the others still run.
NEEDS_SOLVER = pytest.mark.skipif(importlib.util.find_spec("z3") is None, reason="the analysis needs z3")


def with_solver(*values):
    return pytest.param(*values, marks=NEEDS_SOLVER)

ROOT = Path(__file__).resolve().parents[2]
VERSION = importlib.metadata.version("tamsel")  # the wheel's, as pip installed it
EXAMPLE = ROOT / "examples" / "refunds"
TEXTS = {name: (EXAMPLE / name).read_text() for name in ("schema.yaml", "policy.yaml", "governance.yaml")}
EFFECT_LINE = (
    "policy.yaml:13:13: rules[0].effect: unknown variant `deny`, "
    "expected one of `allow`, `block`, `require_approval`"
)
# Each violation is one line: at the policy rule that breaks it, or at the governance rule it leaves unmet.
FIELDS_VIOLATION = (
    "policy.yaml:{at}: breaks governance rule 'refund-fields': "
    "refund rules may only read the amount, the currency and the frozen flag"
)
BLOCK_VIOLATION = (
    "governance.yaml:4:7: governance rule 'refund-block-present' is not met: every policy needs a blocking refund rule"
)


def at(line, place):
    """The violation's line at the policy rule that breaks it."""
    return line.replace("{at}", place)


GLOBAL_RULE_ONLY = (
    "version: 1\nrules:\n"
    "  - {id: g, scope: {global: true}, when: [[actor, frozen], equals, {literal: true}], effect: block}\n"
)


def edited(name, old, new):
    text = TEXTS[name]
    assert old in text
    return text.replace(old, new, 1)


@pytest.fixture
def documents(tmp_path, monkeypatch):
    """The example documents in the working directory; returns a writer of variants."""
    monkeypatch.chdir(tmp_path)

    def write(**variants):
        for name, text in {**TEXTS, **{k.replace("_", ".", 1): v for k, v in variants.items()}}.items():
            Path(name).write_bytes(text if isinstance(text, bytes) else text.encode())
    write()
    return write


def run(capsys, *argv, stdin=b""):
    previous, sys.stdin = sys.stdin, io.TextIOWrapper(io.BytesIO(stdin))
    try:
        status = main(list(argv))
    except SystemExit as exit:
        status = exit.code
    finally:
        sys.stdin = previous
    captured = capsys.readouterr()
    return status, captured.out.splitlines(), captured.err.splitlines()


@pytest.mark.parametrize("variants, governance, line", [
    # Each file's own errors, positioned where the message ends with a place.
    ({"policy_yaml": edited("policy.yaml", "effect: block", "effect: deny")}, False, EFFECT_LINE),
    ({"policy_yaml": edited("policy.yaml", "effect: block", "effect: deny")}, True, EFFECT_LINE),
    ({"schema_yaml": edited("schema.yaml", "amount: number", "amount: integer")}, True,
     "schema.yaml:5:15: actions.refund.fields.amount: unknown variant `integer`, "
     "expected one of `string`, `number`, `boolean`"),
    ({"schema_yaml": "", "policy_yaml": "rules: ["}, True, "schema.yaml: missing field `version`"),
    ({"schema_yaml": "version: 1\nactions: {refund: {fields: {}}\n"}, False,
     "schema.yaml:3:1: did not find expected ',' or '}', while parsing a flow mapping at line 2 column 10"),
    ({"schema_yaml": 'version: 1\nactions: {"a\\nb": {fields: {x: integer}}}\n'}, False,
     "schema.yaml:2:32: actions.a\\nb.fields.x: unknown variant `integer`, "
     "expected one of `string`, `number`, `boolean`"),
    ({"policy_yaml": edited("policy.yaml", "field: amount", "field: total")}, False,
     "policy.yaml:8:9: unknown field 'total' in domain 'action'"),
    ({"policy_yaml": TEXTS["policy.yaml"] + "---\n"}, True,
     "policy.yaml: deserializing from YAML containing more than one document is not supported"),
    ({"governance_yaml": edited("governance.yaml", "exists: true", "exists: sometimes")}, True,
     "governance.yaml:4:7: governance.rules[0]: data did not match any variant of untagged enum "
     "Constraint"),
    ({"governance_yaml": ""}, True, "governance.yaml: missing field `version`"),
    # The governance text is read after the policy and before compilation.
    ({"governance_yaml": "", "policy_yaml": edited("policy.yaml", "effect: block", "effect: deny")},
     True, EFFECT_LINE),
    ({"governance_yaml": "", "policy_yaml": ""}, True, "policy.yaml: missing field `version`"),
    ({"governance_yaml": "", "policy_yaml": edited("policy.yaml", "field: amount", "field: total")},
     True, "governance.yaml: missing field `version`"),
    ({"policy_yaml": edited("policy.yaml", "literal: 1000", "literal: x")}, True,
     "policy.yaml:7:7: type mismatch: left is 'Number', right is 'String'"),
    # Violations belong to the policy, and hide its compile errors.
    ({"governance_yaml": edited("governance.yaml", "actor.frozen]", "]")}, True, at(FIELDS_VIOLATION, "23:5")),
    ({"policy_yaml": edited("policy.yaml", "field: amount", "field: total")}, True, at(FIELDS_VIOLATION, "3:5")),
    ({"policy_yaml": GLOBAL_RULE_ONLY}, True, BLOCK_VIOLATION),  # what an empty policy breaks too
    ({"governance_yaml": b"version: 1\ngovernance: \xff\n"}, True, "governance.yaml:2:13: invalid UTF-8"),
])
def test_check_names_the_failing_document(capsys, documents, variants, governance, line):
    documents(**variants)
    names = ["schema.yaml", "policy.yaml"] + ["governance.yaml"] * governance
    status, out, err = run(capsys, "check", *names)
    # The engine's line first; help lines may follow it.
    assert (status, out, err[0]) == (1, [], line)
    assert all(more.startswith("help: ") for more in err[1:])


# The example's hash as the README shows it: a change to canonical text or
# hashing must show up here, and then in the README.
EXAMPLE_HASH = "f846a232dfcd17153b27fa68b57553c4da8642b1f2898968a09a68bd67190909"


def test_check_prints_the_policy_hash(capsys, documents):
    assert tamsel.PyTamsel(*TEXTS.values()).policy_hash() == EXAMPLE_HASH
    assert run(capsys, "check", "schema.yaml", "policy.yaml", "governance.yaml") == (0, [EXAMPLE_HASH], [])
    assert EXAMPLE_HASH in (ROOT / "README.md").read_text(encoding="utf-8")


@pytest.mark.parametrize("argv, err", [
    (["check", "schema.yaml", "missing.yaml"], ["missing.yaml: cannot read: No such file or directory"]),
    (["check", "schema.yaml", "."], [".: not a regular file: a folder"]),
    (["eval", "schema.yaml", "policy.yaml", "-g", "missing.yaml"],
     ["missing.yaml: cannot read: No such file or directory"]),
    (["eval", "schema.yaml", "policy.yaml", "-g", "governance.yaml"], [at(FIELDS_VIOLATION, "23:5")]),
])
def test_documents_that_cannot_be_used_stop_with_status_2(capsys, documents, argv, err):
    documents(governance_yaml=edited("governance.yaml", "actor.frozen]", "]"))
    assert run(capsys, *argv) == (2, [], err)


BLOCK = '{"effect": "block", "matched_rule": "block_large_refunds"}'
ALLOW = '{"effect": "allow", "matched_rule": null}'


@pytest.mark.parametrize("stdin, out, err", [
    (b'{"action": {"type": "refund", "amount": 5000}}\n\n{}\n', [BLOCK, ALLOW], []),
    (b'{"action": {"type": "refund", "amount": [1]}}\n{"actor": null}\n[1]\n{"action": {"1": 2}}\n',
     [ALLOW], ["<stdin>:1: Unsupported value type; action.amount is a JSON array",
               "<stdin>:2: 'NoneType' object cannot be converted to 'PyDict'; actor is null, not an object",
               "<stdin>:3: argument 'input': 'list' object cannot be converted to 'PyDict'; "
               "the input is a JSON array, not an object"]),
    (b'{"action": \n  {} x\n\xff\n{"action": {"\\ud800": 1}}\n' + b"[" * 100000 + b"\n{}\n",
     [ALLOW], ["<stdin>:1:12: invalid JSON: Expecting value",
               "<stdin>:2:6: invalid JSON: Extra data",
               "<stdin>:3: invalid UTF-8",
               "<stdin>:4: 'utf-8' codec can't encode character '\\ud800' in position 0: "
               'surrogates not allowed; action["\\ud800"] is a key with a lone surrogate',
               "<stdin>:5: invalid JSON: nested too deeply"]),
])
def test_eval_reads_json_lines(capsys, documents, stdin, out, err):
    status = 1 if err else 0
    assert run(capsys, "eval", "schema.yaml", "policy.yaml", stdin=stdin) == (status, out, err)


def test_eval_reads_files_and_standard_input_in_order(capsys, documents):
    Path("large.json").write_text('{\n  "action": {"type": "refund", "amount": 5000}\n}\n')
    Path("broken.json").write_text('{\n  "action": }\n')
    argv = ["eval", "schema.yaml", "policy.yaml", "large.json", "missing.json", "-", "broken.json",
            "--governance", "governance.yaml"]
    # A file that cannot be read at all: the command could not do its job.
    assert run(capsys, *argv, stdin=b"{}\n") == (2, [BLOCK, ALLOW], [
        "missing.json: cannot read: No such file or directory",
        "broken.json:2:13: invalid JSON: Expecting value"])


def suite(cases, **keys):
    return json.dumps({"schema": "schema.yaml", "policy": "policy.yaml", **keys, "cases": cases})


LARGE = {"action": {"type": "refund", "amount": 5000}}
LIST = {"action": {"type": "refund", "amount": [1]}}


@pytest.mark.parametrize("expect, input, got", [
    ({"effect": "block", "matched_rule": "block_large_refunds"}, LARGE, None),
    ({"effect": "block"}, LARGE, None),
    ({"error": "Unsupported value type"}, LIST, None),
    ({"effect": "allow", "matched_rule": None}, {}, None),
    ({"effect": "block", "matched_rule": None}, LARGE, BLOCK),
    ({"effect": "allow"}, LARGE, BLOCK),
    ({"error": "Unsupported value type"}, LARGE, BLOCK),
    ({"error": "Unsupported"}, LIST, '{"error": "Unsupported value type"}'),
    ({"effect": "allow"}, LIST, '{"error": "Unsupported value type"}'),
])
def test_test_compares_each_expectation(capsys, documents, expect, input, got):
    Path("x.suite.json").write_text(suite([{"name": "one", "input": input, "expect": expect}]))
    if got is None:
        assert run(capsys, "test", "x.suite.json") == (0, ["1 passed, 0 failed"], [])
    else:
        line = f"x.suite.json: one: expected {json.dumps(expect)}, got {got}"
        assert run(capsys, "test", "x.suite.json") == (1, [line, "0 passed, 1 failed"], [])


CASE = {"name": "n", "input": {}, "expect": {"effect": "allow"}}


@pytest.mark.parametrize("text, err", [
    ("[]", "x.suite.json:1:1: expected a mapping with keys cases, properties, schema, policy, governance"),
    (json.dumps({"schema": "schema.yaml", "policy": "policy.yaml"}), "x.suite.json:1:1: missing key 'cases'"),
    (suite([], governence="g.yaml"), "x.suite.json:1:52: unknown key 'governence'"),
    (suite([], schema=5), "x.suite.json:1:12: schema: expected a path"),
    (suite({}), "x.suite.json:1:61: cases: expected a list"),
    (suite([CASE, {"name": "m", "input": {}}]), "x.suite.json:1:121: cases[1]: missing key 'expect'"),
    (suite([{**CASE, "name": 1}]), "x.suite.json:1:71: cases[0].name: expected a string"),
    (suite([{**CASE, "expect": {"effect": "allow", "error": "x"}}]),
     "x.suite.json:1:99: cases[0].expect: expected either 'effect' or 'error'"),
    (suite([{**CASE, "expect": {"matched_rule": None}}]),
     "x.suite.json:1:99: cases[0].expect: 'matched_rule' goes with 'effect'"),
    (suite([{**CASE, "expect": {"effect": "allow", "matched_rule": 5}}]),
     "x.suite.json:1:135: cases[0].expect.matched_rule: expected a string or null"),
    ('{\n  "schema": schema.yaml}', "x.suite.json:2:13: invalid JSON: Expecting value"),
    (suite([CASE], policy="missing.yaml"), "missing.yaml: cannot read: No such file or directory"),
    (suite([CASE], governance="governance.yaml", policy="bad.yaml"), EFFECT_LINE.replace("policy", "bad", 1)),
])
def test_test_reports_a_suite_that_cannot_be_loaded(capsys, documents, text, err):
    Path("bad.yaml").write_text(edited("policy.yaml", "effect: block", "effect: deny"))
    Path("x.suite.json").write_text(text)
    assert run(capsys, "test", "x.suite.json") == (2, ["0 passed, 0 failed"], [err])


@pytest.mark.parametrize("name, text", [
    ("x.suite.json", suite([{"name": "inf", "input": {"action": {"type": "refund", "amount": {"number": "Infinity"}}},
                             "expect": {"effect": "block"}}])),
    ("x.suite.yaml", "schema: schema.yaml\npolicy: policy.yaml\ncases:\n  - name: inf\n"
                     "    input: {action: {type: refund, amount: {number: Infinity}}}\n    expect: {effect: block}\n"),
])  # fmt: skip
def test_a_suite_reads_special_numbers_in_json_and_yaml(capsys, documents, name, text):
    Path(name).write_text(text)
    assert run(capsys, "test", name) == (0, ["1 passed, 0 failed"], [])


def test_a_yaml_suite_is_located_too(capsys, documents):
    Path("x.suite.yaml").write_text("schema: schema.yaml\npolicy: policy.yaml\ncases:\n  - nam: n\n")
    assert run(capsys, "test", "x.suite.yaml") == (2, ["0 passed, 0 failed"], [
        "x.suite.yaml:4:5: cases[0]: unknown key 'nam'"])


def test_test_finds_suites_below_a_directory_and_writes_junit(capsys, documents):
    os.makedirs("suites/deeper")
    os.makedirs("empty")
    # The documents are in the project's folder, above the suites.
    Path("tamsel.toml").write_text('schema = "schema.yaml"\npolicy = "policy.yaml"\n')
    Path("suites/a.suite.json").write_text(suite([CASE, {**CASE, "name": "no", "input": LARGE}],
                                                 schema="../schema.yaml", policy="../policy.yaml"))
    Path("suites/deeper/b.suite.json").write_text("{")
    Path("suites/notes.json").write_text("not a suite")
    status, out, err = run(capsys, "test", "suites", "empty", "--junit", "report.xml")
    assert (status, out, err) == (2, [
        f'suites/a.suite.json: no: expected {{"effect": "allow"}}, got {BLOCK}', "1 passed, 1 failed"], [
        "suites/deeper/b.suite.json:1:2: invalid JSON: Expecting property name enclosed in double quotes",
        "empty: no suite files (*.suite.json, *.suite.yaml, *.suite.yml)"])
    report = ElementTree.parse("report.xml").getroot()
    assert report.attrib == {"name": "tamsel", "tests": "4", "failures": "1", "errors": "2"}
    cases = [(s.get("name"), c.get("name"), [(e.tag, e.get("message")) for e in c])
             for s in report for c in s]
    assert cases == [
        ("suites/a.suite.json", "n", []),
        ("suites/a.suite.json", "no", [("failure", f'expected {{"effect": "allow"}}, got {BLOCK}')]),
        ("suites/deeper/b.suite.json", "loading the suite", [("error", err[0])]),
        ("empty", "loading the suite", [("error", err[1])]),
    ]
    # A report that cannot be written is refused before any suite runs.
    assert run(capsys, "test", "suites/a.suite.json", "--junit", "nowhere/r.xml") == (2, [], [
        "--junit nowhere/r.xml: refused: its folder does not exist"])


def _libyaml():
    try:
        import yaml
    except ImportError:
        return False
    return hasattr(yaml, "CSafeLoader")


# As libyaml says it, or the pure-Python reader where PyYAML was built without libyaml.
UNCLOSED_FLOW = "did not find expected ',' or '}'" if _libyaml() else "expected ',' or '}', but got '<scalar>'"
YAML_SUITE = """\
schema: schema.yaml
policy: policy.yaml
cases:
  - name: large refunds are blocked
    input: {action: {type: refund, amount: 5000}}
    expect: {effect: block, matched_rule: block_large_refunds}
"""


@pytest.mark.parametrize("text, result", [
    (YAML_SUITE, (0, ["1 passed, 0 failed"], [])),
    (YAML_SUITE.replace("amount: 5000}}", "amount: 5000}"), (2, ["0 passed, 0 failed"], [
        f"x.suite.yaml:6:5: while parsing a flow mapping, {UNCLOSED_FLOW}"])),
    ("cases: []\n---\n", (2, ["0 passed, 0 failed"], [
        "x.suite.yaml:2:1: expected a single document in the stream, but found another document"])),
])
def test_test_reads_yaml_suites(capsys, documents, text, result):
    pytest.importorskip("yaml")
    Path("x.suite.yaml").write_text(text)
    assert run(capsys, "test", "x.suite.yaml") == result


def test_yaml_suites_without_pyyaml_say_what_to_install(capsys, documents, monkeypatch):
    monkeypatch.setitem(sys.modules, "yaml", None)
    Path("x.suite.yml").write_text(YAML_SUITE)
    assert run(capsys, "test", "x.suite.yml") == (2, ["0 passed, 0 failed"], [
        "x.suite.yml: reading a YAML suite needs PyYAML: pip install 'tamsel[yaml]', "
        "or write the suite as JSON"])


def test_the_installed_commands(tmp_path):
    """The console script and `python -m`, as a newcomer runs them: no traceback, plain lines."""
    script = Path(sys.executable).with_name("tamsel")
    (tmp_path / "policy.yaml").write_text(edited("policy.yaml", "effect: block", "effect: deny"))
    for command, result in [
        ([script, "test", "--no-properties", EXAMPLE], (0, "6 passed, 0 failed\n", "")),
        ([script, "check", EXAMPLE / "schema.yaml", "policy.yaml"], (1, "", EFFECT_LINE + "\n")),
        ([sys.executable, "-m", "tamsel_tools", "--version"], (0, f"tamsel {VERSION}\n", "")),
        ([sys.executable, "-m", "tamsel_cli", "--version"], (0, f"tamsel {VERSION}\n", "")),
    ]:
        done = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=60)
        assert (done.returncode, done.stdout, done.stderr) == result
    done = subprocess.run([script, "eval"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 2 and (
        "tamsel eval: error: the following arguments are required: SCHEMA, POLICY (or a project file" in done.stderr)


def test_the_tools_type_check_against_the_module_stubs():
    pytest.importorskip("mypy")
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           ROOT / "cli" / "tamsel_tools", ROOT / "cli" / "tamsel_cli"], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_example_files_are_the_demo_documents():
    """The demo embeds its documents so that it runs alone; the files beside it must not drift."""
    demo = runpy.run_path(str(ROOT / "examples" / "demo.py"), run_name="demo")
    for name in ("schema", "policy", "governance"):
        assert (EXAMPLE / f"{name}.yaml").read_text(encoding="utf-8") == demo[name.upper()], name
