"""The `tamsel` process under broken streams and signals: its status, at most one line, no traceback.

Every case runs the installed command in a child process with a timeout, so that a command that
blocks fails the test rather than hanging it.
"""

import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "refunds"
TAMSEL = str(Path(sys.executable).with_name("tamsel"))
DOCUMENTS = [str(EXAMPLE / "schema.yaml"), str(EXAMPLE / "policy.yaml")]
INPUT = b'{"action": {"type": "refund", "amount": 5000}}\n'
DECISION = b'{"effect": "block", "matched_rule": "block_large_refunds"}\n'
TIMEOUT = 10


HASH = subprocess.run([TAMSEL, "check", *DOCUMENTS], capture_output=True, timeout=TIMEOUT).stdout


# Commands that write on standard error only: a missing file, and a usage error that the command
# itself finds (no POLICY).
STDERR_ONLY = {"check": ["check", str(EXAMPLE / "missing.yaml"), DOCUMENTS[1]], "test": ["check", DOCUMENTS[0]]}


@pytest.mark.parametrize("redirection, expected", [
    # Standard output on a full disk, or closed: one line on standard error, status 74.
    (">/dev/full", (74, "tamsel: cannot write standard output: No space left on device\n")),
    (">&-", (74, "tamsel: cannot write standard output: Bad file descriptor\n")),
    # Standard error that cannot be written: nothing can be said, the status says it.
    ("2>/dev/full >/dev/null", (74, "")),
    ("2>&- >/dev/null", (74, "")),
])
@pytest.mark.parametrize("command", [
    ["check", *DOCUMENTS],
    ["check", "--canonical", *DOCUMENTS],
    ["eval", *DOCUMENTS],
    ["test", "--no-properties", str(EXAMPLE)],  # the example's properties would need the solver
])
def test_output_that_cannot_be_written(redirection, expected, command):
    if redirection.startswith("2>"):
        command = STDERR_ONLY.get(command[0], STDERR_ONLY["check"])
    done = subprocess.run(["sh", "-c", f'exec "$@" {redirection}', "sh", TAMSEL, *command], input=INPUT,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=TIMEOUT)
    assert (done.returncode, done.stderr.decode()) == expected


def test_a_reader_that_goes_away_ends_the_command_quietly():
    child = subprocess.Popen([TAMSEL, "eval", *DOCUMENTS], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    child.stdout.close()  # the reader goes away before any decision is written
    try:
        child.stdin.write(INPUT * 100)
        child.stdin.close()
    except BrokenPipeError:
        pass  # the command ended first
    assert (child.wait(TIMEOUT), child.stderr.read()) == (141, b"")


SAID = {signal.SIGINT: (130, "tamsel: interrupted\n"), signal.SIGTERM: (143, "tamsel: terminated\n")}


def _started(child):
    """Whether the child got past the interpreter's start-up: the engine's module is loaded (Linux)."""
    for _ in range(TIMEOUT * 100):
        if any(".so" in line and "tamsel" in line for line in Path(f"/proc/{child.pid}/maps").read_text().splitlines()):
            return True
        time.sleep(0.01)
    return False


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
@pytest.mark.parametrize("pause", [0, 0.05, 0.2])
def test_a_signal_while_the_command_runs(signum, pause):
    """Sent at some moment once the interpreter has started: importing, building the policy, deciding
    or waiting for the next input, the end is the same."""
    child = subprocess.Popen([TAMSEL, "eval", *DOCUMENTS], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    try:
        child.stdin.write(INPUT)
        child.stdin.flush()
        assert _started(child)
        time.sleep(pause)
        child.send_signal(signum)
        _, err = child.communicate(timeout=TIMEOUT)
    finally:
        child.kill()
    assert (child.returncode, err.decode()) == SAID[signum]


# The entry point, run with a signal sent to itself at a chosen moment: as the package starts,
# in the middle of the tools' imports, and after the command returned.
HARNESS = """
import os, signal, sys
signum = int(sys.argv[1])
moment = sys.argv[2]

class Interrupt:
    def find_spec(self, name, path=None, target=None):
        if name == "tamsel_tools.model.policy":
            os.kill(os.getpid(), signum)
        return None

if moment == "importing":
    sys.meta_path.insert(0, Interrupt())
import tamsel_cli
if moment == "starting":
    os.kill(os.getpid(), signum)
status = tamsel_cli.main(["check", *sys.argv[3:]])
if moment == "returned":
    os.kill(os.getpid(), signum)
sys.exit(status)
"""


@pytest.mark.parametrize("moment", ["starting", "importing", "returned"])
@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_a_signal_at_any_moment(signum, moment):
    child = subprocess.Popen([sys.executable, "-c", HARNESS, str(int(signum)), moment, *DOCUMENTS],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = child.communicate(timeout=TIMEOUT)
    assert (child.returncode, err.decode(), out) == (*SAID[signum], HASH if moment == "returned" else b"")


def test_the_command_line_page_lists_every_status_once():
    import re

    from tamsel_tools.base.status import TABLE

    page = (ROOT / "docs" / "cli.md").read_text(encoding="utf-8")
    page = page.split("## Exit statuses\n", 1)[1].split("\n#", 1)[0]
    rows = [int(status) for status in re.findall(r"^\| *([0-9]+) \|", page, re.MULTILINE)]
    assert rows == [status for status, _ in TABLE]
