"""Trust at the boundaries: a project file no one else can plant, lines that read the same to
the engine and to people, declarations that replace others said aloud, reports refused early."""

import json
import os
from pathlib import Path

import pytest

from tamsel_tools.base.lines import Positions
from tamsel_tools.io.project import find_project
from tamsel_tools.io.reading import Limits
from test_cli import TEXTS, documents, edited, run  # noqa: F401  (documents: a fixture)
from test_cli_untrusted import CASE, tamsel

CREDENTIALS = "API_TOKEN=ghp_FAKE password=hunter2"
TOML = 'schema = "schema.yaml"\npolicy = "policy.yaml"\n'


def write_documents(folder):
    folder.mkdir(parents=True, exist_ok=True)
    for name, text in TEXTS.items():
        (folder / name).write_text(text)


# ---- the project file: searched no further than the repository, and only the user's own ----


@pytest.fixture
def checkout(tmp_path, monkeypatch):
    """outer/ with a [tool.tamsel] and credentials, and a checkout outer/work/repo below it."""
    outer = tmp_path / "outer"
    write_documents(outer)
    (outer / "pyproject.toml").write_text("[tool.tamsel]\n" + TOML)
    (outer / ".config").mkdir()
    (outer / ".config" / "credentials").write_text(CREDENTIALS + "\n")
    repo = outer / "work" / "repo"
    write_documents(repo)
    (repo / ".git").mkdir()
    monkeypatch.chdir(repo)
    return repo


def test_a_project_file_above_the_repository_is_not_used(checkout):
    suite = {"schema": "../../.config/credentials", "policy": "policy.yaml", "cases": [CASE]}
    Path("x.suite.json").write_text(json.dumps(suite))
    status, out, err = tamsel("test", "x.suite.json", "--junit", "report.xml")
    report = Path("report.xml").read_text()
    assert (status, out, err) == (2, ["0 passed, 0 failed"], [
        "x.suite.json:1:12: schema: ../../.config/credentials: a path that leaves the suite's folder "
        "(--allow-outside-paths reads it)"])
    assert all("hunter2" not in text and "API_TOKEN" not in text for text in [*out, *err, report])
    # Nor does a command without documents take the documents above the repository.
    status, _, err = tamsel("check")
    assert status == 2 and "the following arguments are required: SCHEMA, POLICY" in err[-1]


def test_a_document_that_is_not_a_mapping_is_never_shown(checkout):
    status, out, err = tamsel("check", "--allow-outside-paths", "../../.config/credentials", "policy.yaml")
    assert (status, out, err[0]) == (1, [], "../../.config/credentials: the schema document is not a mapping: "
                                            "its text is one string of 36 bytes, not shown")
    assert "hunter2" not in "".join(err)


def refused(how):
    return (f"tamsel.toml: project file refused: {how}, so anyone may have planted it; if you trust it, "
            "name it: --project tamsel.toml, or TAMSEL_PROJECT=tamsel.toml")


@pytest.mark.parametrize("mode, uid, how", [
    (0o666, None, "writable by its group and others (mode 666)"),
    (0o646, None, "writable by others (mode 646)"),
    (0o664, None, "writable by its group (mode 664)"),
    (0o644, 4242, "owned by another user (uid 4242) than the one running tamsel (uid 0)"),
])
def test_a_project_file_anyone_could_have_planted_is_refused_until_named(tmp_path, monkeypatch, mode, uid, how):
    if uid is not None and os.geteuid() != 0:
        pytest.skip("giving a file to another user needs root")
    write_documents(tmp_path)
    project = tmp_path / "tamsel.toml"
    project.write_text(TOML)
    os.chmod(project, mode)
    if uid is not None:
        os.chown(project, uid, -1)
    monkeypatch.chdir(tmp_path)
    assert tamsel("check") == (2, [], [refused(how)])
    good = tamsel("check", "schema.yaml", "policy.yaml")
    assert good[0] == 0
    # Named, it is trusted: on the command line or in the environment.
    assert tamsel("check", "--project", "tamsel.toml") == good
    monkeypatch.setenv("TAMSEL_PROJECT", str(project))
    assert tamsel("check") == good


def test_the_search_starts_from_the_real_folder_and_stops_at_the_home_folder(tmp_path, monkeypatch):
    (tmp_path / "a" / "b").mkdir(parents=True)
    (tmp_path / "a" / "c").mkdir()
    write_documents(tmp_path / "a" / "b")
    (tmp_path / "a" / "b" / "tamsel.toml").write_text(TOML)
    assert find_project(tmp_path / "a" / "b" / ".." / "c", Limits()) is None
    assert find_project(tmp_path / "a" / "c", Limits()) is None
    assert find_project(tmp_path / "a" / "b" / "x" / ".." , Limits()).file == tmp_path / "a" / "b" / "tamsel.toml"
    # A project file above the home folder is never reached from below it.
    write_documents(tmp_path)
    (tmp_path / "tamsel.toml").write_text(TOML)
    monkeypatch.setenv("HOME", str(tmp_path / "a"))
    assert find_project(tmp_path / "a" / "c", Limits()) is None
    monkeypatch.setenv("HOME", str(tmp_path / "elsewhere"))
    assert find_project(tmp_path / "a" / "c", Limits()).file == tmp_path / "tamsel.toml"


# ---- lines that every viewer counts as the engine does ----

POLICY = TEXTS["policy.yaml"]
# A line that every viewer shows as a comment; the reader sees a rule after the separator.
TROJAN = edited("policy.yaml", "rules:\n", "rules:\n  # allow_all was removed\u2028  - {id: allow_all, "
                "scope: {global: true}, when: [[actor, frozen], equals, {literal: false}], effect: allow}\n")
HELP = "help: remove it, or write it as the escape \\u{0} in a double-quoted text; --allow-invisible-breaks accepts it"


@pytest.mark.parametrize("policy, lines", [
    (TROJAN, ["policy.yaml:3:26: invisible line break U+2028 (LINE SEPARATOR): the YAML reader ends the line here, "
              "editors and review pages do not", HELP.format("2028")]),
    (edited("policy.yaml", "- id: ", "- id: a\u202eb"),
     ["policy.yaml:3:10: bidirectional control U+202E (RIGHT-TO-LEFT OVERRIDE): it reorders what a viewer shows, "
      "not what is read", HELP.format("202e")]),
    (edited("policy.yaml", "version: 1", "version: 1 #\x85"),
     ["policy.yaml:1:13: invisible line break U+0085 (NEXT LINE): the YAML reader ends the line here, "
      "editors and review pages do not", HELP.format("0085")]),
])
def test_characters_read_differently_are_located_errors(capsys, documents, policy, lines):
    documents(policy_yaml=policy)
    assert run(capsys, "check", "schema.yaml", "policy.yaml") == (1, [], lines)
    status, out, _ = run(capsys, "check", "--allow-invisible-breaks", "schema.yaml", "policy.yaml")
    assert (status, len(out)) == (0, 1)


def test_the_hidden_rule_decides_once_allowed(capsys, documents):
    documents(policy_yaml=TROJAN)
    frozen = json.dumps({"actor": {"frozen": False}, "action": {"type": "close_account"}}).encode()
    status, out, _ = run(capsys, "eval", "--allow-invisible-breaks", "schema.yaml", "policy.yaml", stdin=frozen)
    assert (status, json.loads(out[0])["matched_rule"]) == (0, "allow_all")
    assert run(capsys, "eval", "schema.yaml", "policy.yaml", stdin=frozen)[0] == 2


# The unknown field of the example's first rule, on the line an editor shows whatever ends the lines.
FIELD = edited("policy.yaml", "field: amount\n", "field: amounts\n")
WHERE = FIELD.splitlines().index("        domain: action") + 1  # the subject's place


@pytest.mark.parametrize("policy, line", [
    (FIELD, WHERE),
    (FIELD.replace("\n", "\r\n"), WHERE),
    (FIELD.replace("\n", "\r"), WHERE),
    # A separator inside a quoted text is a character of that text; the lines after it are not moved.
    (FIELD.replace("version: 1\n", 'version: 1\nx: "a\u2028b\u2029c\x85"\n'), WHERE + 1),
])
def test_positions_count_lines_as_an_editor_does(capsys, documents, policy, line):
    documents(policy_yaml=policy)
    status, _, err = run(capsys, "check", "schema.yaml", "policy.yaml")
    assert (status, err[0]) == (1, f"policy.yaml:{line}:9: unknown field 'amounts' in domain 'action'")


@pytest.mark.parametrize("text, reader, editor", [
    ("a\nb", (2, 1), (2, 1)),
    ("a\u2028b\nc", (3, 1), (2, 1)),
    ("a\u2028b\nc", (2, 1), (1, 3)),
    ("x\x85y\u2029z", (3, 1), (1, 5)),
    ("a\r\nb\u2028c", (3, 2), (2, 4)),
    ("a\rb\u2028c", (3, 1), (2, 3)),
    ("a\u2028b", (9, 1), (9, 1)),  # past the end: as given
])
def test_reader_positions_as_an_editor_counts_them(text, reader, editor):
    assert Positions(text).editor(*reader) == editor


# ---- no silent replacement ----

SCHEMA = TEXTS["schema.yaml"]


@pytest.mark.parametrize("schema, warnings", [
    (edited("schema.yaml", "actor:\n", "  close_account: {fields: {}}\nactor:\n"),
     ["schema.yaml:{}:3: warning: action 'close_account' is declared again: this replaces the declaration at line {}"]),
    (edited("schema.yaml", "    role: string\n", "    role: string\n    role: string\n"),
     ["schema.yaml:{}:5: warning: field 'role' is declared again: this replaces the declaration at line {}"]),
])
def test_a_declaration_that_replaces_another_is_a_warning(capsys, documents, schema, warnings):
    documents(schema_yaml=schema)
    lines = schema.splitlines()
    name = warnings[0].split("'")[1]
    places = [number for number, line in enumerate(lines, 1) if line.strip().startswith(f"{name}:")]
    status, out, err = run(capsys, "check", "schema.yaml", "policy.yaml")
    assert (status, err) == (0, [warnings[0].format(places[1], places[0])])


def test_a_duplicate_field_of_a_whole_document_has_its_place(capsys, documents):
    documents(policy_yaml=POLICY + "rules: []\n")
    line = len(POLICY.splitlines()) + 1
    assert run(capsys, "check", "schema.yaml", "policy.yaml") == (1, [], [
        f"policy.yaml:{line}:1: duplicate field `rules`"])


# ---- reports refused before the run ----


@pytest.mark.parametrize("path, why", [
    ("", "an empty path, which names no file"),
    ("missing/report.xml", "its folder does not exist"),
])
def test_a_report_that_cannot_be_written_is_refused_before_the_run(capsys, documents, path, why):
    documents()
    Path("x.suite.json").write_text(json.dumps({"schema": "schema.yaml", "policy": "policy.yaml", "cases": [CASE]}))
    assert run(capsys, "test", "x.suite.json", "--junit", path) == (2, [], [f"--junit {path}: refused: {why}"])


# ---- properties: help for nested conditions, a place for nesting too deep ----

COMPARISON = [["action", "amount"], "greater_than", {"literal": 1000}]


def property_suite(when):
    prop = {"name": "p", "action": "refund", "when": when, "expect": {"effect": "block"}}
    return json.dumps({"schema": "schema.yaml", "policy": "policy.yaml", "properties": [prop]})


def test_a_nested_condition_in_a_property_gets_the_help_a_rule_gets(capsys, documents):
    documents()
    Path("x.suite.json").write_text(property_suite({"any": [{"all": [COMPARISON, COMPARISON]}, COMPARISON]}))
    status, _, err = run(capsys, "test", "--no-properties", "x.suite.json")
    assert (status, err[0]) == (2, "x.suite.json:1:109: properties[0].when: data did not match any variant of "
                                   "untagged enum ConditionAst")
    assert err[1].startswith("help: a condition is one comparison") and err[1].endswith("which do not nest")


def test_a_property_nested_too_deep_says_where(capsys, documents):
    documents()
    deep = COMPARISON
    for _ in range(400):
        deep = {"any": [deep, COMPARISON]}
    Path("x.suite.json").write_text(property_suite(deep))
    status, _, err = run(capsys, "test", "--no-properties", "x.suite.json")
    where, _, message = err[0].partition(": ")
    assert (status, message) == (2, "properties[0].when: recursion limit exceeded")
    # At the collection past the engine's nesting, well inside the line.
    assert where.startswith("x.suite.json:1:") and int(where.split(":")[2]) > 100


# A suite's faults are placed on the lines an editor shows: a separator inside a quoted name
# does not move them, nor do CR line ends. (The first is found in the tree, the second by the reader.)
SUITE_HEAD = 'schema: schema.yaml\npolicy: policy.yaml\ncases:\n  - name: "a\u2028b"\n'
SUITE_FAULTS = [
    (SUITE_HEAD + "    nam: n\n", "x.suite.yaml:5:5: cases[0]: unknown key 'nam'"),
    (
        SUITE_HEAD + "    input: {action: {type: refund}\n    expect: {effect: block}\n",
        "x.suite.yaml:6:5: while parsing",
    ),
]


@pytest.mark.parametrize("ends", ["\n", "\r"])
@pytest.mark.parametrize("text, expected", SUITE_FAULTS)
def test_a_yaml_suite_is_located_on_an_editors_lines(capsys, documents, text, expected, ends):
    pytest.importorskip("yaml")
    documents()
    Path("x.suite.yaml").write_bytes(text.replace("\n", ends).encode())  # newline= of write_text is 3.10 and later
    status, _, err = run(capsys, "test", "x.suite.yaml")
    assert status == 2 and err[0].startswith(expected)
