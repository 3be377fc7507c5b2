"""The commands against suites, documents and inputs written to hurt: paths out of the project, links,
FIFOs, devices, endless and huge files, long values, reports pointed at inputs. Each runs in a child
process with a timeout, so that a command that blocks fails its test instead of hanging it."""

import json
import os
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import pytest

from test_cli import TEXTS, with_solver

TAMSEL = str(Path(sys.executable).with_name("tamsel"))
SECRET = "TOKEN=hunter2"
LARGE = {"action": {"type": "refund", "amount": 5000}}
CASE = {"name": "large", "input": LARGE, "expect": {"effect": "block"}}
OUTSIDE = "(--allow-outside-paths reads it)"


def tamsel(*argv, stdin=b"", stdin_file=None):
    """Status, standard output and standard error lines of the command run in the working folder."""
    done = subprocess.run([TAMSEL, *argv], input=None if stdin_file else stdin, stdin=stdin_file,
                          capture_output=True, timeout=10)
    return done.returncode, done.stdout.decode().splitlines(), done.stderr.decode().splitlines()


def suite(schema="schema.yaml", policy="policy.yaml", **more):
    return json.dumps({"schema": schema, "policy": policy, **more, "cases": [CASE]})


@pytest.fixture
def work(tmp_path, monkeypatch):
    """work/ holding the example documents, with a secret beside it and a FIFO in it."""
    monkeypatch.chdir(tmp_path)
    (tmp_path / "secret.env").write_text(SECRET + "\n")
    os.mkdir("work")
    for name, text in TEXTS.items():
        (tmp_path / "work" / name).write_text(text)
    os.mkfifo("work/fifo.yaml")
    os.symlink(tmp_path / "secret.env", "work/link.yaml")
    os.symlink("schema.yaml", "work/alias.yaml")
    monkeypatch.chdir(tmp_path / "work")
    return tmp_path


def no_secret(*texts):
    assert not any(SECRET in line or "hunter2" in line for text in texts for line in text)


@pytest.mark.parametrize("keys, expected", [
    ({}, (0, ["1 passed, 0 failed"], [])),
    ({"schema": "alias.yaml"}, (0, ["1 passed, 0 failed"], [])),
    ({"schema": "../secret.env"},
     (2, ["0 passed, 0 failed"], [f"x.suite.json:1:12: schema: ../secret.env: a path that leaves the suite's folder {OUTSIDE}"])),
    ({"policy": "link.yaml"},
     (2, ["0 passed, 0 failed"], [f"x.suite.json:1:37: policy: link.yaml: a symbolic link that leads out of the suite's folder {OUTSIDE}"])),
    ({"governance": "/etc/passwd"},
     (2, ["0 passed, 0 failed"], [f"x.suite.json:1:66: governance: /etc/passwd: an absolute path, outside the suite's folder {OUTSIDE}"])),
    ({"schema": "fifo.yaml"}, (2, ["0 passed, 0 failed"], ["fifo.yaml: not a regular file: a FIFO"])),
    ({"schema": ""}, (2, ["0 passed, 0 failed"], ["x.suite.json:1:12: schema: : an empty path, which names no file"])),
    ({"schema": "/dev/zero"},
     (2, ["0 passed, 0 failed"], [f"x.suite.json:1:12: schema: /dev/zero: an absolute path, outside the suite's folder {OUTSIDE}"])),
])
def test_a_suite_reads_nothing_outside_its_folder(work, keys, expected):
    Path("x.suite.json").write_text(suite(**keys))
    result = tamsel("test", "x.suite.json", "--junit", "report.xml")
    assert result == expected
    no_secret(result[1], result[2], Path("report.xml").read_text().splitlines())


def test_outside_paths_when_allowed_are_read_but_never_echoed_whole(work):
    Path("x.suite.json").write_text(suite(schema="../secret.env"))
    status, out, err = tamsel("test", "x.suite.json", "--allow-outside-paths", "--format", "github")
    assert (status, out[-1]) == (2, "0 passed, 0 failed")
    assert err == [] and out[0].startswith("::error file=../secret.env::the schema document is not a mapping")
    (work / "secret.env").write_text("x" * 5000 + "\n")
    status, out, err = tamsel("test", "x.suite.json", "--allow-outside-paths", "--junit", "report.xml")
    # A text that is not a mapping at all is said by its kind and size, never shown.
    said = "../secret.env: the schema document is not a mapping: its text is one string of 5001 bytes, not shown"
    assert (status, err[0]) == (2, said)
    message = ElementTree.parse("report.xml").find(".//error").get("message")
    assert message == said


LONG = "x" * 5000
CUT = f'"{"x" * 200}"... (5000 characters)'


NOT_SHOWN = "document is not a mapping: its text is one string of 5003 bytes, not shown"


@pytest.mark.parametrize("argv, expected", [
    (["check", "long.yaml", "policy.yaml"], [f"long.yaml: the schema {NOT_SHOWN}"]),
    (["check", "--format", "github", "long.yaml", "policy.yaml"],
     [f"::error file=long.yaml::the schema {NOT_SHOWN}%0Ahelp: a schema document "
      "is a mapping with the keys version, actions, actor and snapshot"]),
    (["check", "schema.yaml", "policy.yaml", "--format", "json", "long.yaml"], [f"the governance {NOT_SHOWN}"]),
    with_solver(["lint", "schema.yaml", "long.yaml"], [f"long.yaml: the policy {NOT_SHOWN}"]),
])
def test_a_long_value_is_cut_in_every_format(work, argv, expected):
    Path("long.yaml").write_text(f'"{LONG}"\n')
    status, out, err = tamsel(*argv)
    lines = [json.loads(out[0])["diagnostics"][0]["message"]] if "json" in argv else [
        line for line in out + err if not line.startswith("help:")]
    assert (status in (1, 2), lines) == (True, expected)


# A value with quotes of every kind: where the quotes of a message end is no guide to it.
HOSTILE = "a' \"` " + "S" * 3000
HOSTILE_CUT = HOSTILE[:200] + "... (3006 characters)"
EXPLAINED = json.dumps({"action": {"type": "refund", "amount": 5, "currency": "EUR"},
                        "actor": {"trust_level": 5, "frozen": False},
                        "snapshot": {"maintenance_mode": False, "min_trust_level": 1}})


def hostile(document, old, new):
    text = TEXTS[document].replace(old, new.replace("HOSTILE", json.dumps(HOSTILE)), 1)
    assert text != TEXTS[document]
    Path(document).write_text(text)


@pytest.mark.parametrize("document, old, new, argv, line", [
    ("policy.yaml", "effect: block\n", "effect: HOSTILE\n", ["check"],
     f"policy.yaml:13:13: rules[0].effect: unknown variant `{HOSTILE_CUT}`, expected one of `allow`, `block`, "
     "`require_approval`"),
    ("schema.yaml", "amount: number", "amount: HOSTILE", ["check", "--format", "json"], None),
    ("schema.yaml", "amount: number", "HOSTILE: number", ["check", "--format", "github"], None),
    ("governance.yaml", "error: every policy needs a blocking refund rule", "error: HOSTILE", ["check"], None),
    ("governance.yaml", "id: refund-block-present", "id: HOSTILE", ["check", "--format", "json"], None),
    ("policy.yaml", "    effect: block\n", "    ? HOSTILE\n    : 1\n    effect: block\n", ["check"],
     f"policy.yaml:13:7: warning: key '{HOSTILE[:200]}'... (3006 characters) is not read here"),
    ("policy.yaml", "id: block_large_refunds", "id: HOSTILE", ["explain"], None),
    ("policy.yaml", '{literal: "EUR"}', "{literal: HOSTILE}", ["explain"], None),
    with_solver("policy.yaml", "id: review_untrusted_agents", "id: HOSTILE", ["lint"], None),
])
def test_a_value_with_quotes_of_every_kind_is_cut(work, document, old, new, argv, line):
    hostile(document, old, new)
    if "governance" in document:
        hostile("policy.yaml", "effect: block\n", "effect: allow\n")
    documents = ["schema.yaml", "policy.yaml"] + (["governance.yaml"] if "governance" in document else [])
    status, out, err = tamsel(argv[0], *documents, *argv[1:], stdin=EXPLAINED.encode())
    assert not [each for each in out + err if "S" * 201 in each]
    if line is not None:
        assert line in out + err


@pytest.mark.parametrize("keys", [
    {HOSTILE: 1},
    {"schema": "/" + HOSTILE},
    {"cases": [{"name": "n", "input": {}, "expect": {"effect": "allow", HOSTILE: 1}}]},
    {"cases": [], "properties": [{"name": "p", "expect": {"effect": HOSTILE}}]},
])
def test_a_suites_value_with_quotes_of_every_kind_is_cut(work, keys):
    Path("x.suite.json").write_text(json.dumps({"schema": "schema.yaml", "policy": "policy.yaml", "cases": [], **keys}))
    status, out, err = tamsel("test", "x.suite.json", "--junit", "report.xml")
    assert status == 2 and len(err) == 1 and "... (30" in err[0]
    assert not [each for each in out + err if "S" * 201 in each]


@pytest.mark.parametrize("project, folder, expected", [
    # Inside a project, a suite's documents may be anywhere in the project's folder.
    ('schema = "work/schema.yaml"\npolicy = "work/policy.yaml"\n', "work/suites", (0, ["1 passed, 0 failed"], [])),
    # The project file's own paths stay inside its folder too.
    ('schema = "../secret.env"\npolicy = "work/policy.yaml"\n', "work/suites", (2, ["0 passed, 0 failed"], [
        f"../../tamsel.toml:1:10: 'schema': ../secret.env: a path that leaves the project's folder {OUTSIDE}"])),
    ('schema = "work/schema.yaml"\npolicy = "/etc/passwd"\n', "work", (2, [], [
        f"../tamsel.toml:2:10: 'policy': /etc/passwd: an absolute path, outside the project's folder {OUTSIDE}"])),
])
def test_inside_a_project_its_folder_is_the_limit(work, monkeypatch, project, folder, expected):
    (work / "tamsel.toml").write_text(project)
    (work / "work/suites").mkdir()
    (work / "work/suites/x.suite.json").write_text(suite("../schema.yaml", "../policy.yaml"))
    monkeypatch.chdir(work / folder)
    command = ["test", "x.suite.json"] if folder.endswith("suites") else ["check"]
    assert tamsel(*command) == expected


@pytest.mark.parametrize("argv, stdin, expected", [
    (["check", "fifo.yaml", "policy.yaml"], b"", (2, [], ["fifo.yaml: not a regular file: a FIFO"])),
    (["check", "/dev/zero", "policy.yaml"], b"", (2, [], ["/dev/zero: not a regular file: a character device"])),
    (["check", ".", "policy.yaml"], b"", (2, [], [".: not a regular file: a folder"])),
    (["test", "fifo.yaml"], b"", (2, ["0 passed, 0 failed"], ["fifo.yaml: not a regular file: a FIFO"])),
    (["test", "/dev/zero"], b"", (2, ["0 passed, 0 failed"], ["/dev/zero: not a regular file: a character device"])),
    with_solver(["lint", "schema.yaml", "fifo.yaml"], b"", (2, [], ["fifo.yaml: not a regular file: a FIFO"])),
    with_solver(["diff", "schema.yaml", "policy.yaml", "/dev/zero"], b"",
     (2, [], ["/dev/zero: not a regular file: a character device"])),
    # A policy's documents together have a quarter of the cap: the engine holds them at many
    # times their size.
    (["check", "schema.yaml", "policy.yaml", "--max-bytes", "4KiB"], b"", (2, [], [
        "policy.yaml: larger than the limit of 1024 bytes for a policy's documents together, with the 274 bytes "
        "of those read before it (a quarter of --max-bytes, which raises it)"])),
    (["check", "schema.yaml", "many.yaml", "--max-bytes", "8KiB"], b"", (2, [], [
        "many.yaml:2:273: more than 128 values (mappings, lists and scalars) in a policy's documents together, "
        "the limit that goes with 8192 bytes (--max-bytes raises it)"])),
    with_solver(["diff", "schema.yaml", "policy.yaml", "policy.yaml", "--max-bytes", "16KiB"], b"", (2, [], [
        "policy.yaml:24:12: more than 256 values (mappings, lists and scalars) in the documents of both policies "
        "together, the limit that goes with 16384 bytes (--max-bytes raises it)"])),
    # A cap beyond what could be read caps nothing: no buffer of its size is made.
    (["check", "schema.yaml", "alias.yaml", "--max-bytes", "99999999999999999999"], b"", (1, [], [
        "alias.yaml: missing field `rules`"])),
    (["test", "copies.suite.yaml", "--max-bytes", "16KiB"], b"", (2, ["0 passed, 0 failed"], [
        "copies.suite.yaml: its texts are larger than the limit of 16384 bytes once its aliases are expanded "
        "(--max-bytes raises it)"])),
    (["test", "laughs.suite.yaml"], b"", (2, ["0 passed, 0 failed"], [
        "laughs.suite.yaml: more than 524288 values (mappings, lists and scalars) once its aliases are expanded, the "
        "limit that goes with 32 MiB (--max-bytes raises it)"])),
    (["check", "schema.yaml", "policy.yaml", "--max-bytes", "lots"], b"", (2, [], [
        "tamsel check: error: argument --max-bytes: expected a positive size such as 1048576 or 32MiB, got 'lots'"])),
    (["eval", "schema.yaml", "policy.yaml", "fifo.yaml", "/dev/zero", "-"], json.dumps(LARGE).encode(), (2, [
        '{"effect": "block", "matched_rule": "block_large_refunds"}'], [
        "fifo.yaml: not a regular file: a FIFO", "/dev/zero: not a regular file: a character device"])),
    (["eval", "schema.yaml", "policy.yaml", "--max-bytes", "16KiB"], b"{}\n" + b" " * 17000 + b"{}\n{}\n", (2, [
        '{"effect": "allow", "matched_rule": null}'], [
        "<stdin>:2: line larger than the limit of 16384 bytes (--max-bytes raises it); standard input is not read "
        "further"])),
    # Values are capped with the bytes, one for every 64: parsed, a text takes many times its size.
    (["eval", "schema.yaml", "policy.yaml", "--max-bytes", "16KiB"],
     json.dumps({"snapshot": {"x": [0] * 300}}).encode() + b"\n{}\n", (1, ['{"effect": "allow", "matched_rule": null}'], [
        "<stdin>:1: too many values: more than 256 commas, colons, brackets and braces, the limit that goes with 16384 bytes "
        "(--max-bytes raises it)"])),
    # One character past U+FFFF makes Python hold every character of a text at four bytes.
    (["eval", "schema.yaml", "policy.yaml", "--max-bytes", "16KiB"],
     json.dumps({"snapshot": {"s": "a" * 4100 + "\U0001F600"}}, ensure_ascii=False).encode() + b"\n{}\n",
     (1, ['{"effect": "allow", "matched_rule": null}'], [
        "<stdin>:1: larger than the limit of 16384 bytes once read: a character past U+FFFF makes every one take "
        "4 bytes (--max-bytes raises it)"])),
    (["test", "many.suite.json", "many.suite.yaml", "--max-bytes", "640"], b"", (2, ["0 passed, 0 failed"], [
        "many.suite.json: too many values: more than 10 commas, colons, brackets and braces, the limit that goes with "
        "640 bytes (--max-bytes raises it)",
        "many.suite.yaml:3:19: more than 10 values (mappings, lists and scalars), the limit that goes with 640 bytes "
        "(--max-bytes raises it)"])),
])
def test_only_regular_files_and_only_so_much(work, argv, stdin, expected):
    case = {"name": "n", "input": {}, "expect": {"effect": "allow"}}
    Path("many.suite.json").write_text(json.dumps({"schema": "schema.yaml", "policy": "policy.yaml", "cases": [case] * 2}))
    Path("many.suite.yaml").write_text("schema: schema.yaml\npolicy: policy.yaml\ncases: [" + ", ".join(
        ["{name: n, input: {}, expect: {effect: allow}}"] * 2) + "]\n")
    Path("many.yaml").write_text("version: 1\nrules: [" + ", ".join(["0"] * 200) + "]\n")
    Path("copies.suite.yaml").write_text("schema: schema.yaml\npolicy: policy.yaml\ncases:\n  - {name: &n " + "n" * 2000
                                         + ", input: {}, expect: {effect: allow}}\n" + "  - {name: *n, input: {}, "
                                         "expect: {effect: allow}}\n" * 10)
    doubled = [f"a{i}: &a{i} [*a{i - 1}, *a{i - 1}]" for i in range(1, 40)]
    Path("laughs.suite.yaml").write_text("\n".join([
        "schema: schema.yaml", "policy: policy.yaml", "cases:", "  - name: c", "    expect: {effect: allow}",
        "    input:", "      actor:", "        a0: &a0 [1, 1]", *("        " + line for line in doubled)]) + "\n")
    status, out, err = tamsel(*argv, stdin=stdin)
    assert (status, out, err[-len(expected[2]):]) == expected  # a usage error begins with the usage


def test_a_closed_standard_input_cannot_be_read():
    example = Path(__file__).resolve().parents[2] / "examples" / "refunds"
    done = subprocess.run(["sh", "-c", 'exec "$@" <&-', "sh", TAMSEL, "eval", str(example / "schema.yaml"),
                           str(example / "policy.yaml")], capture_output=True, timeout=10)
    assert (done.returncode, done.stdout, done.stderr) == (2, b"", b"<stdin>: cannot read: Bad file descriptor\n")


def test_endless_standard_input_ends_at_the_cap():
    example = Path(__file__).resolve().parents[2] / "examples" / "refunds"
    with open("/dev/zero", "rb") as zeros:
        result = tamsel("eval", str(example / "schema.yaml"), str(example / "policy.yaml"), "--max-bytes", "1MiB",
                        stdin_file=zeros)
    assert result == (2, [], [
        "<stdin>:1: line larger than the limit of 1 MiB (--max-bytes raises it); standard input is not read further"])


def test_a_folder_of_suites_skips_what_is_not_a_regular_file_inside_it(work):
    os.mkdir("suites")
    Path("suites/a.suite.json").write_text(suite("../schema.yaml", "../policy.yaml"))
    os.mkfifo("suites/blocked.suite.json")
    os.symlink(work / "secret.env", "suites/away.suite.yaml")
    os.symlink(work, "suites/up")  # a folder out of it: never walked
    (work / "other.suite.json").write_text("{")
    assert tamsel("test", "suites", "--allow-outside-paths") == (0, ["1 passed, 0 failed"], [
        "suites/away.suite.yaml: warning: a symbolic link that leads out of the folder, skipped",
        "suites/blocked.suite.json: warning: not a regular file: a FIFO, skipped"])


JUNIT = "<?xml version='1.0' encoding='utf-8'?>\n<testsuites name=\"tamsel\" tests=\"0\" />\n"


@pytest.mark.parametrize("argv, expected", [
    (["--junit", "a.suite.json", "b.suite.json"], (2, [], [
        "--junit a.suite.json: refused: a suite's name; the option takes the report's file first: --junit FILE SUITE ..."])),
    (["--coverage-json", "policy.yaml", "a.suite.json"],
     (2, [], ["--coverage-json policy.yaml: refused: it is an input of this run"])),
    (["--junit", "old.xml", "--coverage-json", "old.xml", "a.suite.json"], (2, [], [
        "--coverage-json old.xml: refused: another report is written there"])),
    (["--junit", "new.xml", "--coverage-json", "./new.xml", "a.suite.json"], (2, [], [
        "--coverage-json ./new.xml: refused: another report is written there"])),
    (["--junit", "old.xml", "a.suite.json"], (0, ["1 passed, 0 failed"], [])),
])
def test_no_report_replaces_an_input(work, argv, expected):
    Path("a.suite.json").write_text(suite())
    Path("b.suite.json").write_text(suite())
    Path("notes.txt").write_text("precious\n")
    Path("old.xml").write_text(JUNIT)
    before = {path.name: path.read_bytes() for path in Path().iterdir() if path.is_file() and path.name != "old.xml"}
    assert tamsel("test", *argv) == expected
    assert {path.name: path.read_bytes() for path in Path().iterdir()
            if path.is_file() and path.name != "old.xml"} == before
    written = Path("old.xml").read_text()
    assert (written == JUNIT) == (expected[0] != 0)


# A signal that comes while a finalizer runs (Python drops what a finalizer raises), or whose
# exception comes out as another (ctypes wraps it), still ends the command as the signal does.
SIGNALLED = """
import os, signal, sys, time
from tamsel_tools.cli import streams as _streams

def wait(seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        pass

class Finalized:
    def __del__(self):
        os.kill(os.getpid(), signal.SIGNUM)
        wait(0.2)  # the handler runs here, inside the finalizer

def in_a_finalizer():
    Finalized()
    wait(5)
    return 0

def wrapped():
    try:
        os.kill(os.getpid(), signal.SIGNUM)
        wait(5)
    except BaseException as error:
        raise RuntimeError("argument 1: " + repr(error)) from None
    return 0

sys.exit(_streams.run_guarded(COMMAND))
"""


@pytest.mark.parametrize("command, signum, expected", [
    ("in_a_finalizer", "SIGINT", (130, b"tamsel: interrupted\n")),
    ("in_a_finalizer", "SIGTERM", (143, b"tamsel: terminated\n")),
    ("wrapped", "SIGINT", (130, b"tamsel: interrupted\n")),
    ("wrapped", "SIGTERM", (143, b"tamsel: terminated\n")),
])
def test_a_signal_is_never_lost(command, signum, expected):
    script = SIGNALLED.replace("COMMAND", command).replace("SIGNUM", signum)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=10)
    assert (done.returncode, done.stderr) == expected


# `tamsel test --junit report.xml`, interrupted as the report is written: no report, no leftover.
HARNESS = """
import os, signal, sys
import tamsel_cli
from tamsel_tools.io import reports as _reports

real = os.replace
def interrupted(source, target):
    os.kill(os.getpid(), signal.SIGINT)
    real(source, target)
_reports.os.replace = interrupted
sys.exit(tamsel_cli.main(["test", "a.suite.json", "--junit", "report.xml"]))
"""


def test_an_interrupted_report_leaves_nothing_behind(work):
    Path("a.suite.json").write_text(suite())
    before = sorted(os.listdir())
    done = subprocess.run([sys.executable, "-c", HARNESS], capture_output=True, timeout=10)
    assert (done.returncode, done.stderr) == (130, b"tamsel: interrupted\n")
    assert sorted(os.listdir()) == before


@pytest.mark.parametrize("line, expected", [
    ('"refund"', "argument 'input': 'str' object cannot be converted to 'PyDict'; the input is a JSON string, not an object"),
    ('{"action": {"type": "refund", "amount": 1' + "0" * 400 + "}}",
     "Unsupported value type; action.amount is an integer of 401 digits, too large for a float"),
    ('{"action": {"type": "refund", "currency": "\\udfff"}}',
     "Unsupported value type; action.currency is a text with a lone surrogate"),
    ('{"action": {"type": "refund"}, "actor": {"frozen": [true]}}', "Unsupported value type; actor.frozen is a JSON array"),
    ('{"action": ["refund"]}', "'list' object cannot be converted to 'PyDict'; action is a JSON array, not an object"),
])
def test_a_refused_input_names_what_was_refused(work, line, expected):
    for command in ("eval", "explain"):
        assert tamsel(command, "schema.yaml", "policy.yaml", stdin=line.encode() + b"\n") == (1, [], [f"<stdin>:1: {expected}"])


# Help lists a schema's names when they are few enough to read, and so many, each cut.
@pytest.mark.parametrize("fields, expected", [
    (["f%02d" % i for i in range(42)] + ["g" * 300], "help: the schema declares these fields of action 'refund': "
     "currency, " + ", ".join("f%02d" % i for i in range(39)) + ", and 4 more"),
    (["a", "g" * 300],
     f"help: the schema declares these fields of action 'refund': a, currency, {'g' * 200}... (300 characters)"),
    (["f%07d" % i for i in range(60_000)],
     "help: the schema's fields of action 'refund' could not be listed (it is too large to read again for help)"),
])
def test_help_lists_a_schema_s_names_within_bounds(work, fields, expected):
    declared = "".join(f"      {name}: number\n" for name in fields)
    Path("wide.yaml").write_text(TEXTS["schema.yaml"].replace("      amount: number\n", declared))
    Path("nope.yaml").write_text(TEXTS["policy.yaml"].replace("field: amount", "field: nope"))
    status, out, err = tamsel("check", "wide.yaml", "nope.yaml")
    assert (status, [line for line in out + err if line.startswith("help:")]) == (1, [expected])


# What a broken client sends ends the session with a line, or is a line in the log, never a
# traceback; the server never makes a message of the length it is told first.
@pytest.mark.parametrize("sent, expected", [
    (b"Content-Length: 99999999999\r\n\r\n{}", (2, [
        "tamsel lsp: a message of 99999999999 bytes, larger than the limit of 32 MiB (--max-bytes raises it); "
        "the session ends"])),
    (b"Content-Length: 5\r\n\r\n{bad}", (0, [
        "tamsel lsp: a malformed frame: its body is not JSON (Expecting property name enclosed in double quotes: "
        "line 1 column 2 (char 1)); reading on at the next header"])),
    (b"Content-Length: " + b"9" * 2000, (2, [
        "tamsel lsp: a header line larger than the limit of 1024 bytes (--max-bytes raises it); the session ends"])),
])
def test_a_broken_client_ends_the_session_in_one_line(sent, expected):
    pytest.importorskip("pygls")
    argv = ["lsp", "--max-bytes", "1KiB"] if b"9" * 2000 in sent else ["lsp"]
    status, _, err = tamsel(*argv, stdin=sent)
    assert (status, err) == expected


# After "--", a name that starts with a dash is a file's name.
@pytest.mark.parametrize("argv", [
    ["check", "--", "-s.yaml", "policy.yaml"],
    ["check", "--format", "text", "--", "-s.yaml", "policy.yaml"],
    ["test", "--", "-x.suite.json"],
    ["eval", "--governance", "governance.yaml", "--", "-s.yaml", "policy.yaml", "-in.json"],
])
def test_names_that_start_with_a_dash_follow_two_dashes(work, argv):
    Path("-s.yaml").write_text(TEXTS["schema.yaml"])
    Path("-x.suite.json").write_text(suite("-s.yaml"))
    Path("-in.json").write_text("{}\n")
    status, out, err = tamsel(*argv)
    assert (status, err) == (0, [])


def test_suites_that_name_the_same_documents_build_them_once(work, monkeypatch):
    from tamsel_tools.io.reading import Limits
    from tamsel_tools.suites import loading

    built = []
    real = loading.load_policy
    monkeypatch.setattr(loading, "load_policy", lambda *paths: built.append(paths) or real(*paths))
    for name in ("a", "b"):
        Path(f"{name}.suite.json").write_text(suite())
    loader = loading.Loader(Limits())
    first, second = loader.load("a.suite.json"), loader.load("b.suite.json")
    assert len(built) == 1 and first.policy is second.policy
    with open("policy.yaml", "a") as policy:
        policy.write("# changed\n")  # a file that changed is read again
    assert loader.load("a.suite.json").policy is not first.policy and len(built) == 2
    # Another command's loader builds its own.
    assert loading.Loader(Limits()).load("a.suite.json").policy is not first.policy and len(built) == 3
