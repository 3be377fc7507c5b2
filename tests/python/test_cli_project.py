"""The commands inside a project: documents and suites from the project file, and the exit statuses."""

import json
from pathlib import Path

import pytest

from test_cli import BLOCK, EFFECT_LINE, TEXTS, edited, run, with_solver

HASH = "f846a232dfcd17153b27fa68b57553c4da8642b1f2898968a09a68bd67190909"
TOOL = (
    '[project]\nname = "p"\n\n[tool.tamsel]\nschema = "policies/schema.yaml"\npolicy = "policies/policy.yaml"\n'
    'governance = "policies/governance.yaml"\nsuites = ["policies/tests"]\n'
)
LARGE = {"name": "large", "input": {"action": {"type": "refund", "amount": 5000}}, "expect": {"effect": "block"}}
REJECTED = edited("policy.yaml", "effect: block", "effect: deny")
# A suite that names no documents: those of the project that holds it.
SUITE = json.dumps({"cases": [LARGE]})


@pytest.fixture
def project(tmp_path, monkeypatch):
    """The example documents under policies/ with a few variants, a suite under policies/tests/,
    and the project files given as {name: text}; works in folder, relative to the project."""

    def make(files, folder="."):
        policies = tmp_path / "policies"
        variants = {
            "bad.yaml": REJECTED,
            "fields.yaml": edited("governance.yaml", "actor.frozen]", "]"),
            "b.suite.json": json.dumps({"schema": "schema.yaml", "policy": "policy.yaml", "cases": []}),
        }
        policies.mkdir()
        for name, text in {**TEXTS, **variants}.items():
            (policies / name).write_text(text)
        (tmp_path / "policies" / "tests").mkdir()
        (tmp_path / "policies" / "tests" / "a.suite.json").write_text(SUITE)
        for name, text in files.items():
            (tmp_path / name).write_text(text)
        monkeypatch.chdir(tmp_path / folder)

    return make


# The project file, the folder run in, the command line -> status, output, errors.
RUNS = [
    ({"pyproject.toml": TOOL}, ".", ["check"], (0, [HASH], [])),
    ({"pyproject.toml": TOOL}, "policies/tests", ["check"], (0, [HASH], [])),
    ({"tamsel.toml": TOOL.split("[tool.tamsel]\n")[1]}, "policies", ["check"], (0, [HASH], [])),
    ({"pyproject.toml": TOOL}, "policies", ["test"], (0, ["1 passed, 0 failed"], [])),
    ({"pyproject.toml": TOOL}, ".", ["test", "--fail-under", "34"], (1, ["1 passed, 0 failed"], [
        "policies/policy.yaml: coverage below 34%: rules 33.3%, comparisons 0.0%"])),
    ({"pyproject.toml": TOOL}, "policies/tests", ["eval"], (0, [BLOCK], [])),
    with_solver({"pyproject.toml": TOOL}, ".", ["lint", "--format", "github"], (1, [
        "::warning file=policies/policy.yaml,line=14,col=5::rule 'review_untrusted_agents' is scoped to the actor "
        "'support_agent', and actor rules never decide [actor_scoped]"], [])),
    with_solver({"pyproject.toml": TOOL}, ".", ["diff", "policies/policy.yaml", "policies/policy.yaml"],
     (0, ["no input changes its effect"], [])),
    # The new suite goes beside the project's first suite.
    with_solver({"pyproject.toml": TOOL}, ".", ["suggest", "--timeout", "600"], (0, [
        "policies/tests/a.suggested.suite.json: 4 cases for 10 gaps",
        "policies/policy.yaml:14:5: rule 'review_untrusted_agents' never decided: impossible: rule "
        "'review_untrusted_agents' is scoped to the actor 'support_agent', and actor rules never decide "
        "[actor_scoped]"], [])),
    # Paths on the command line win: documents of their own, suites of their own.
    ({"pyproject.toml": TOOL}, "policies", ["check", "schema.yaml", "bad.yaml"], (1, [], [EFFECT_LINE.replace("policy", "bad", 1)])),
    ({"pyproject.toml": TOOL}, "policies", ["test", "b.suite.json"], (0, ["0 passed, 0 failed"], [])),
    # The project's governance applies unless the command line gives another.
    ({"pyproject.toml": TOOL.replace("governance.yaml", "fields.yaml")}, "policies", ["eval"], (2, [], [
        "policy.yaml:23:5: breaks governance rule 'refund-fields': "
        "refund rules may only read the amount, the currency and the frozen flag"])),
    ({"pyproject.toml": TOOL.replace("governance.yaml", "fields.yaml")}, "policies", ["eval", "-g", "governance.yaml"],
     (0, [BLOCK], [])),
    # A project file that cannot be used is one error at its place, status 2, whatever the command.
    ({"pyproject.toml": TOOL.replace('"policies/policy.yaml"', '"policies/polcy.yaml"')}, "policies/tests", ["check"],
     (2, [], ["../../pyproject.toml:6:10: 'policy': no such file: policies/polcy.yaml"])),
    ({"pyproject.toml": TOOL.replace('"policies/policy.yaml"', '"policies/polcy.yaml"')}, ".", ["check", "--format", "github"],
     (2, ["::error file=pyproject.toml,line=6,col=10::'policy': no such file: policies/polcy.yaml"], [])),
    ({"pyproject.toml": TOOL.replace('"policies/policy.yaml"', '"policies/polcy.yaml"')}, ".", ["check", "--format", "json"],
     (2, ['{"diagnostics": [{"file": "pyproject.toml", "line": 6, "column": 10, "severity": "error", "kind": '
          '"project_file", "message": "\'policy\': no such file: policies/polcy.yaml", "help": []}]}'], [])),
    ({"pyproject.toml": TOOL + "[tool.tamsel.extra]\n"}, ".", ["test"],
     (2, [], ["pyproject.toml:9:1: unknown key 'extra' in [tool.tamsel] (known: schema, policy, governance, suites)"])),
    ({"tamsel.toml": 'schema = "a"\npolicy = \n'}, ".", ["lint"], (2, [], ["tamsel.toml:2:10: invalid TOML: Invalid value"])),
    # A suite that takes the project's documents is not loaded when the project file is broken.
    ({"pyproject.toml": TOOL.replace('"policies/policy.yaml"', '"policies/polcy.yaml"')}, ".", ["test", "policies/tests"],
     (2, ["0 passed, 0 failed"], ["pyproject.toml:6:10: 'policy': no such file: policies/polcy.yaml"])),
]


def test_a_project_without_suites_needs_them_named(capsys, project):
    project({"pyproject.toml": TOOL.replace('suites = ["policies/tests"]\n', "")})
    status, out, err = run(capsys, "test")
    assert (status, out) == (2, [])
    assert err[-1] == "tamsel test: error: the project file lists no suites: give SUITE, or list them under 'suites'"


@pytest.mark.parametrize("files, folder, argv, result", RUNS)
def test_commands_take_what_the_project_file_names(capsys, project, files, folder, argv, result):
    project(files, folder)
    stdin = json.dumps(LARGE["input"]).encode() + b"\n"
    assert run(capsys, *argv, stdin=stdin) == result


# Outside any project, the documents must be given.
@pytest.mark.parametrize("argv, missing", [
    (["check"], "SCHEMA, POLICY"),
    (["lint"], "SCHEMA, POLICY"),
    (["eval"], "SCHEMA, POLICY"),
    (["test"], "SUITE"),
    (["suggest"], "SUITE"),
    (["diff", "old.yaml", "new.yaml"], "SCHEMA, POLICY"),
    (["check", "schema.yaml"], "POLICY"),
    (["diff", "old.yaml"], "NEW"),
])
def test_without_a_project_the_documents_are_required(capsys, tmp_path, monkeypatch, argv, missing):
    monkeypatch.chdir(tmp_path)
    status, out, err = run(capsys, *argv)
    assert (status, out) == (2, [])
    assert err[-1].startswith(f"tamsel {argv[0]}: error: the following arguments are required: {missing}")


# A rejected document is the negative answer of check alone; every other command could not do its job.
@pytest.mark.parametrize("argv, status", [
    (["check", "schema.yaml", "bad.yaml"], 1),
    (["eval", "schema.yaml", "bad.yaml"], 2),
    (["explain", "schema.yaml", "bad.yaml"], 2),
    with_solver(["lint", "schema.yaml", "bad.yaml"], 2),
    with_solver(["diff", "schema.yaml", "policy.yaml", "bad.yaml"], 2),
    (["test", "bad.suite.json"], 2),
])
def test_a_rejected_document_ends_each_command_with_its_status(capsys, tmp_path, monkeypatch, argv, status):
    monkeypatch.chdir(tmp_path)
    for name, text in TEXTS.items():
        Path(name).write_text(text)
    Path("bad.yaml").write_text(REJECTED)
    Path("bad.suite.json").write_text(json.dumps({"schema": "schema.yaml", "policy": "bad.yaml", "cases": []}))
    got, _, err = run(capsys, *argv, stdin=b"{}\n")
    assert got == status
    assert EFFECT_LINE.replace("policy", "bad", 1) in err


def test_help_ends_with_the_table_of_statuses(capsys):
    status, out, _ = run(capsys, "--help")
    assert status == 0
    table = out[out.index("exit statuses:") + 1 :]
    assert [(int(line.split()[0]), line.split(None, 1)[1]) for line in table] == [
        (0, "success: the documents build, every test passed, nothing found"),
        (1, "the command's negative answer: rejected (check), a failed test, findings (lint), changes (diff, replay)"),
        (2, "the command could not do its job: a file unreadable or refused, documents that do not build"),
        (3, "some question was left undecided within the solver's budget (--timeout)"),
        (70, "internal error: please report it"),
        (74, "standard output or standard error could not be written"),
        (130, "interrupted (Ctrl-C)"),
        (141, "the reader of standard output went away"),
        (143, "terminated (SIGTERM)"),
    ]
