import json
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from tamsel_tools import InternalError, Policy, main
from tamsel_tools.analysis import api, solver

pytest.importorskip("z3")

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "refunds"
POLICY = (EXAMPLE / "policy.yaml").read_text()
# Large refunds are held for approval instead of blocked, and only from 5000 up.
HELD = POLICY.replace("literal: 1000", "literal: 5000").replace("    effect: block\n", "    effect: require_approval\n", 1)
ACTOR_LINE = (
    "policy.yaml:14:5: warning: rule 'review_untrusted_agents' is scoped to the actor "
    "'support_agent', and actor rules never decide [actor_scoped]"
)
GLOBAL_TWICE = POLICY + (
    "  - id: \"again\\e[2J\"\n"
    "    scope: {global: true}\n"
    "    when: [[actor, trust_level], less_than, {subject: [snapshot, min_trust_level]}]\n"
    "    effect: allow\n"
    "  - id: never\n"
    "    scope: {action: refund}\n"
    "    when: {all: [[[action, amount], greater_than, {literal: 5}], [[action, amount], less_than, {literal: 5}]]}\n"
    "    effect: allow\n"
)


@pytest.fixture
def documents(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    for name in ("schema.yaml", "policy.yaml", "governance.yaml"):
        shutil.copy(EXAMPLE / name, name)
    Path("held.yaml").write_text(HELD)
    Path("twice.yaml").write_text(GLOBAL_TWICE)


def run(capsys, *argv):
    try:
        status = main(list(argv))
    except SystemExit as exit:
        status = exit.code
    captured = capsys.readouterr()
    return status, captured.out, captured.err


LINT_CASES = [
    (["policy.yaml", "governance.yaml"], 1, ACTOR_LINE + "\n"),
    (["twice.yaml"], 1, ACTOR_LINE.replace("policy", "twice") + "\n"
     "twice.yaml:38:5: warning: rule 'again\\u{1b}[2J' never decides: every input that it matches "
     "is decided first by rule 'below_required_trust' (index 3) [shadowed]\n"
     "twice.yaml:42:5: warning: rule 'never' never decides: no input makes its condition true "
     "[unsatisfiable]\n"),
    (["policy.yaml", "--json"], 1, '{"findings": [{"index": 1, "rule": "review_untrusted_agents", '
     '"kind": "actor_scoped", "by": [], "line": 14, "column": 5}]}\n'),
    (["twice.yaml", "--format", "github"], 1,
     "::warning file=twice.yaml,line=14,col=5::rule 'review_untrusted_agents' is scoped to the actor "
     "'support_agent', and actor rules never decide [actor_scoped]\n"
     "::warning file=twice.yaml,line=38,col=5::rule 'again\\u{1b}[2J' never decides: every input that "
     "it matches is decided first by rule 'below_required_trust' (index 3) [shadowed]\n"
     "::warning file=twice.yaml,line=42,col=5::rule 'never' never decides: no input makes its "
     "condition true [unsatisfiable]\n"),
    (["twice.yaml", "--json"], 1, '{"findings": [{"index": 1, "rule": "review_untrusted_agents", '
     '"kind": "actor_scoped", "by": [], "line": 14, "column": 5}, {"index": 4, "rule": "again\\u001b[2J", '
     '"kind": "shadowed", "by": [3], "line": 38, "column": 5}, {"index": 5, "rule": "never", '
     '"kind": "unsatisfiable", "by": [], "line": 42, "column": 5}]}\n'),
]  # fmt: skip


@pytest.mark.parametrize("argv, status, out", LINT_CASES)
def test_lint(capsys, documents, argv, status, out):
    assert run(capsys, "lint", "schema.yaml", *argv) == (status, out, "")


@pytest.mark.parametrize("argv, out, err", [
    ([], "", "typo.yaml:4:5: warning: key 'efect' is not read here\n"),
    (["--json"], '{"findings": []}\n', "typo.yaml:4:5: warning: key 'efect' is not read here\n"),
    (["--format", "github"], "::warning file=typo.yaml,line=4,col=5::key 'efect' is not read here\n", ""),
])  # fmt: skip
def test_lint_warns_of_skipped_keys(capsys, documents, argv, out, err):
    Path("typo.yaml").write_text(POLICY.split("  - id: review_untrusted_agents")[0].replace(
        "    scope:\n", "    efect: allow\n    scope:\n", 1))
    assert run(capsys, "lint", "schema.yaml", "typo.yaml", *argv) == (0, out, err)


def test_lint_prints_help_under_a_document_error(capsys, documents):
    Path("scoped.yaml").write_text(POLICY.replace("scope: {global: true}", "scope: global"))
    status, out, err = run(capsys, "lint", "schema.yaml", "scoped.yaml")
    assert (status, out) == (2, "")
    assert err.splitlines() == [
        "scoped.yaml:30:5: rules[3]: data did not match any variant of untagged enum ScopeAst",
        "help: a scope is one of {action: NAME}, {actor: NAME} or {global: true}",
    ]


def test_lint_without_findings(capsys, documents):
    Path("one.yaml").write_text(POLICY.split("  - id: review_untrusted_agents")[0])
    assert run(capsys, "lint", "schema.yaml", "one.yaml") == (0, "", "")
    assert run(capsys, "lint", "schema.yaml", "one.yaml", "--json") == (0, '{"findings": []}\n', "")


PLAN = """\
action 'refund':
  rule 'block_large_refunds' (index 0, block) -> rule 'block_large_refunds' (index 0, require_approval)
    for example {"action": {"type": "refund", "amount": 5001.0}, "actor": {}, "snapshot": {}}
  rule 'block_large_refunds' (index 0, block) -> the default (allow)
    for example {"action": {"type": "refund", "amount": 1001.0}, "actor": {}, "snapshot": {}}
2 changes of effect
"""


def test_diff_plan(capsys, documents):
    assert run(capsys, "diff", "schema.yaml", "policy.yaml", "held.yaml", "-g", "governance.yaml") == (1, PLAN, "")


def test_diff_json(capsys, documents):
    status, out, err = run(capsys, "diff", "schema.yaml", "policy.yaml", "held.yaml", "--json")
    assert (status, err) == (1, "")
    assert [(c["old"], c["new"]) for c in json.loads(out)["changes"]] == [
        ({"index": 0, "rule": "block_large_refunds", "effect": "block"},
         {"index": 0, "rule": "block_large_refunds", "effect": "require_approval"}),
        ({"index": 0, "rule": "block_large_refunds", "effect": "block"},
         {"index": None, "rule": None, "effect": "allow"}),
    ]  # fmt: skip
    assert out.isascii() and out.endswith("}]}\n")


def test_diff_without_changes(capsys, documents):
    # The added rules never decide, so no input changes.
    assert run(capsys, "diff", "schema.yaml", "policy.yaml", "twice.yaml") == (0, "no input changes its effect\n", "")
    assert run(capsys, "diff", "schema.yaml", "policy.yaml", "twice.yaml", "--json") == (0, '{"changes": []}\n', "")


def test_diff_moves_marks_the_pairs_of_the_same_effect(capsys, documents):
    Path("renamed.yaml").write_text(POLICY.replace("id: block_large_refunds", "id: block_big_refunds"))
    assert run(capsys, "diff", "schema.yaml", "policy.yaml", "renamed.yaml", "--moves") == (0, (
        "action 'refund':\n"
        "  rule 'block_large_refunds' (index 0, block) -> rule 'block_big_refunds' (index 0, block)  [same effect]\n"
        '    for example {"action": {"type": "refund", "amount": 1001.0}, "actor": {}, "snapshot": {}}\n'
        "0 changes of effect\n"
        "1 change of the deciding rule alone\n"), "")
    assert run(capsys, "diff", "schema.yaml", "policy.yaml", "renamed.yaml")[:2] == (0, "no input changes its effect\n")


@pytest.mark.parametrize("argv, err", [
    (["lint", "schema.yaml", "missing.yaml"], "missing.yaml: cannot read: No such file or directory\n"),
    (["diff", "schema.yaml", "policy.yaml", "bad.yaml"],
     "bad.yaml:13:13: rules[0].effect: unknown variant `deny`, expected one of `allow`, `block`, "
     "`require_approval`\n"),
    (["lint", "schema.yaml", "allowing.yaml", "governance.yaml"],
     "governance.yaml:4:7: governance rule 'refund-block-present' is not met: "
     "every policy needs a blocking refund rule\n"),
])  # fmt: skip
def test_documents_that_do_not_build_give_status_2(capsys, documents, argv, err):
    Path("bad.yaml").write_text(POLICY.replace("effect: block", "effect: deny", 1))
    Path("allowing.yaml").write_text(POLICY.replace("effect: block", "effect: allow"))
    assert run(capsys, *argv) == (2, "", err)


@pytest.mark.parametrize("command", [["lint", "schema.yaml", "policy.yaml"],
                                     ["diff", "schema.yaml", "policy.yaml", "held.yaml"]])
def test_without_the_solver_the_commands_say_how_to_install_it(capsys, documents, monkeypatch, command):
    def missing():
        raise api.AnalysisUnavailable(api.INSTALL_HINT)

    monkeypatch.setattr(solver, "z3_module", missing)
    assert run(capsys, *command) == (2, "", f"tamsel {command[0]}: {api.INSTALL_HINT}\n")


# ---------------------------------------------------------------- bounded, and JSON any parser takes

UNDECIDED_LINT = (
    "twice.yaml:14:5: warning: rule 'review_untrusted_agents' is scoped to the actor 'support_agent', "
    "and actor rules never decide [actor_scoped]\n"
    "twice.yaml:38:5: warning: rule 'again\\u{1b}[2J' never decides: every input that it matches is decided "
    "first by rule 'below_required_trust' (index 3) [shadowed]\n"
    "twice.yaml:42:5: warning: rule 'never' undecided: not settled within the solver's time limit "
    "(--timeout); nothing is claimed about it\n"
)


def test_lint_past_its_timeout_names_what_it_left_undecided(capsys, documents):
    # The rules that need no solver are still proven; the one that does is left undecided.
    assert run(capsys, "lint", "schema.yaml", "twice.yaml", "--timeout", "0.000001") == (3, UNDECIDED_LINT, "")
    status, out, _ = run(capsys, "lint", "schema.yaml", "twice.yaml", "--timeout", "1e-6", "--json")
    assert (status, json.loads(out)["undecided"]) == (3, [{"index": 5, "rule": "never", "line": 42, "column": 5}])
    assert run(capsys, "lint", "schema.yaml", "twice.yaml")[0] == 1


def test_the_library_says_undecided_where_the_solver_settles_nothing(documents, monkeypatch):
    """Out of memory, z3 answers "unknown": not a fault of tamsel, so not an InternalError."""
    monkeypatch.setattr(solver, "_check", lambda z3, _solver, _assumptions, _running: z3.unknown)
    policy = Policy.from_files("schema.yaml", "twice.yaml")
    with pytest.raises(api.Undecided, match=r"the rules \[5\] undecided") as raised:
        api.lint(policy.rules, policy)
    assert not isinstance(raised.value, InternalError)


@pytest.mark.parametrize("seconds", ["0", "-1", "inf", "nan", "soon"])
def test_timeout_must_be_a_positive_number_of_seconds(capsys, documents, seconds):
    status, out, err = run(capsys, "lint", "schema.yaml", "policy.yaml", "--timeout", seconds)
    assert (status, out) == (2, "") and "expected a positive number of seconds" in err


NOT_FIVE = "version: 1\nrules:\n  - id: not_five\n    scope: {action: refund}\n" \
           "    when: [[action, amount], not_equals, {literal: 5}]\n    effect: block\n"
AROUND_FIVE = "version: 1\nrules:\n  - id: around_five\n    scope: {action: refund}\n" \
              "    when: {any: [[[action, amount], greater_than, {literal: 5}], [[action, amount], less_than, {literal: 5}]]}\n" \
              "    effect: block\n"  # fmt: skip


def refuse_constants(token):
    raise ValueError(f"not RFC 8259: {token}")


def test_a_diff_witness_is_strict_json_and_gives_its_decisions_in_eval(capsys, documents):
    Path("old.yaml").write_text(NOT_FIVE)
    Path("new.yaml").write_text(AROUND_FIVE)
    status, out, err = run(capsys, "diff", "schema.yaml", "old.yaml", "new.yaml", "--json")
    (change,) = json.loads(out, parse_constant=refuse_constants)["changes"]
    assert (status, err, change["input"]) == (1, "", {"action": {"type": "refund", "amount": {"number": "NaN"}},
                                                       "actor": {}, "snapshot": {}})  # fmt: skip
    Path("input.json").write_text(json.dumps(change["input"]))
    for policy, side in (("old.yaml", "old"), ("new.yaml", "new")):
        status, out, _ = run(capsys, "eval", "schema.yaml", policy, "input.json")
        assert (status, json.loads(out)) == (0, {"effect": change[side]["effect"], "matched_rule": change[side]["rule"]})


def test_a_cycle_of_strict_comparisons_never_holds(capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    fields = "".join(f"      f{i}: number\n" for i in range(60))
    Path("schema.yaml").write_text(
        f"version: 1\nactions:\n  go:\n    fields:\n{fields}actor:\n  fields: {{}}\nsnapshot:\n  fields: {{}}\n"
    )
    members = ", ".join(f"[[action, f{i}], less_than, {{subject: [action, f{(i + 1) % 60}]}}]" for i in range(60))
    Path("cycle.yaml").write_text(
        f"version: 1\nrules:\n  - id: cycle\n    scope: {{action: go}}\n    when: {{all: [{members}]}}\n    effect: block\n"
    )
    assert run(capsys, "lint", "schema.yaml", "cycle.yaml", "--timeout", "5") == (
        1, "cycle.yaml:3:5: warning: rule 'cycle' never decides: no input makes its condition true [unsatisfiable]\n",
        "")  # fmt: skip


INTERRUPTED = """
import sys
import z3
from tamsel_tools import InternalError, Policy, main
from tamsel_tools.analysis import solver

checked = solver._check

def hard(z3_module, solver, assumptions, running):
    # Factoring the product of two primes past 2**62: minutes, asked where lint asks its own.
    x, y = z3.BitVecs("x y", 64)
    slow = z3.Solver()
    slow.add(z3.ZeroExt(64, x) * z3.ZeroExt(64, y) == 4611686018427388039 * 4611686018427388073,
             z3.UGT(x, 1), z3.UGT(y, 1))
    solver.reason_unknown = slow.reason_unknown
    print("asking", flush=True)
    return checked(z3_module, slow, [], running)

solver._check = hard
sys.exit(main(["lint", "schema.yaml", "twice.yaml"]))
"""


@pytest.mark.parametrize("signum, status, said", [
    (signal.SIGINT, 130, "tamsel: interrupted\n"),
    (signal.SIGTERM, 143, "tamsel: terminated\n"),
])  # fmt: skip
def test_a_signal_during_a_solver_call_ends_it_at_once_without_a_traceback(documents, signum, status, said):
    child = subprocess.Popen([sys.executable, "-c", INTERRUPTED], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             text=True)  # fmt: skip
    assert child.stdout.readline() == "asking\n"
    time.sleep(0.5)  # well inside the solver's call
    child.send_signal(signum)
    try:
        out, err = child.communicate(timeout=60)  # the call alone takes far longer
    finally:
        child.kill()
    assert (child.returncode, out, err) == (status, "", said)


@pytest.mark.parametrize("argv", [
    ["lint", "schema.yaml", "twice.yaml"],
    ["diff", "schema.yaml", "policy.yaml", "held.yaml"],
    ["test", "--properties-only", str(EXAMPLE)],
])
def test_a_command_gives_back_the_signal_wakeup_descriptor(capsys, documents, argv):
    """A command takes it while the solver runs, for a signal to cancel the check; the process's
    own (an event loop's, a test runner's) is left as it was, and a library call takes none."""
    previous = signal.set_wakeup_fd(-1)
    try:
        assert run(capsys, *argv)[0] in (0, 1)
        assert signal.set_wakeup_fd(-1) == -1
        api.lint(Policy.from_files("schema.yaml", "twice.yaml").rules, Policy.from_files("schema.yaml", "twice.yaml"))
        assert signal.set_wakeup_fd(-1) == -1
    finally:
        signal.set_wakeup_fd(previous)


def test_diff_past_its_timeout_names_the_group_left_undecided(capsys, documents):
    # Only NaN tells the two apart, and only the solver finds it.
    Path("old.yaml").write_text(NOT_FIVE)
    Path("new.yaml").write_text(AROUND_FIVE)
    assert run(capsys, "diff", "schema.yaml", "old.yaml", "new.yaml", "--timeout", "1e-6") == (3, (
        "action 'refund':\n"
        "  undecided: not settled within the solver's time limit (--timeout); nothing is claimed about it; "
        "the pairs listed under it are proven\n"
        "0 changes of effect\n"), "")  # fmt: skip
    status, out, _ = run(capsys, "diff", "schema.yaml", "old.yaml", "new.yaml", "--timeout", "1e-6", "--json")
    assert (status, json.loads(out)) == (3, {"changes": [], "undecided": [{"action": "refund"}]})
