"""The language server on the wire: raw frames over a child process's pipes, for what a
well-behaved client never sends (bad frames, bad params, messages out of the session's
order) and for the signals that end it."""

from __future__ import annotations

import json
import os
import queue
import shutil
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any, Dict, List

import pytest

pytest.importorskip("pygls")

PROJECT = Path(__file__).parent / "lsp_project"
HOVER = "textDocument/hover"


def frame(message: Any, name: str = "Content-Length", delta: int = 0) -> bytes:
    body = message if isinstance(message, bytes) else json.dumps(message).encode()
    return f"{name}: {len(body) + delta}\r\n\r\n".encode() + body


class Wire:
    """A server process and the messages it sends, read on a thread as they come."""

    def __init__(self, cwd: Path) -> None:
        self.process = subprocess.Popen(
            [sys.executable, "-m", "tamsel_tools", "lsp"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=cwd)
        self.messages: "queue.Queue[Dict[str, Any]]" = queue.Queue()
        self.seen: List[Dict[str, Any]] = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        stream = self.process.stdout
        while True:
            header = b""
            while not header.endswith(b"\r\n\r\n"):
                byte = stream.read(1)
                if not byte:
                    return
                header += byte
            length = int(header.split(b":")[1].split(b"\r\n")[0])
            self.messages.put(json.loads(stream.read(length)))

    def write(self, data: bytes) -> None:
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def send(self, message: Dict[str, Any], **how: Any) -> None:
        self.write(frame({"jsonrpc": "2.0", **message}, **how))

    def wait(self, wanted, seconds: float = 15) -> Dict[str, Any]:
        """The first message, seen or to come, for which wanted is true."""
        deadline = time.monotonic() + seconds
        while True:
            for message in self.seen:
                if wanted(message):
                    self.seen.remove(message)
                    return message
            try:
                self.seen.append(self.messages.get(timeout=max(0.0, deadline - time.monotonic())))
            except queue.Empty:
                pytest.fail(f"nothing wanted came; seen: {self.seen}")

    def response(self, id: int) -> Dict[str, Any]:
        return self.wait(lambda message: message.get("id") == id and "method" not in message)

    def initialize(self, root: Path) -> None:
        self.send({"id": 0, "method": "initialize", "params": {
            "capabilities": {}, "processId": None, "rootUri": root.as_uri(),
            "workspaceFolders": [{"uri": root.as_uri(), "name": "w"}]}})
        assert "capabilities" in self.response(0)["result"]
        self.send({"method": "initialized", "params": {}})

    def stderr_lines(self) -> List[str]:
        return self.process.stderr.read().decode().splitlines()

    def end(self) -> int:
        try:
            self.process.stdin.close()
        except OSError:
            pass
        try:
            return self.process.wait(10)
        finally:
            if self.process.poll() is None:
                self.process.kill()


@pytest.fixture
def workspace(tmp_path: Path) -> Path:
    shutil.copytree(PROJECT, tmp_path / "project")
    return tmp_path / "project"


@pytest.fixture
def wire(workspace: Path):
    started = Wire(workspace)
    yield started
    if started.process.poll() is None:
        started.process.kill()
        started.process.wait()


def hover(id: int, position: Any, uri: str = "file:///nowhere/policy.yaml") -> Dict[str, Any]:
    return {"id": id, "method": HOVER, "params": {"textDocument": {"uri": uri}, "position": position}}


def test_a_request_before_initialize_is_refused_as_not_initialized(wire: Wire, workspace: Path) -> None:
    wire.send(hover(1, {"line": 0, "character": 0}))
    assert wire.response(1)["error"]["code"] == -32002
    wire.initialize(workspace)
    wire.send(hover(2, {"line": 0, "character": 0}))
    assert wire.response(2) == {"jsonrpc": "2.0", "id": 2, "result": None}


@pytest.mark.parametrize("position", [
    {"line": -1, "character": 0},
    {"line": 0, "character": 2**31},
    {"line": None, "character": 0},
    {"line": 0},
    "nowhere",
])
def test_invalid_params_are_answered_invalid_params(wire: Wire, workspace: Path, position: Any) -> None:
    wire.initialize(workspace)
    wire.send(hover(1, position))
    assert wire.response(1)["error"]["code"] == -32602
    # The session goes on.
    wire.send(hover(2, {"line": 0, "character": 0}))
    assert wire.response(2)["result"] is None


def test_a_nan_position_is_invalid_params(wire: Wire, workspace: Path) -> None:
    wire.initialize(workspace)
    wire.write(frame(b'{"jsonrpc": "2.0", "id": 1, "method": "textDocument/hover", "params": {"textDocument": '
                     b'{"uri": "file:///p.yaml"}, "position": {"line": NaN, "character": 0}}}'))
    assert wire.response(1)["error"]["code"] == -32602


def test_after_shutdown_requests_are_invalid_and_exit_is_0(wire: Wire, workspace: Path) -> None:
    wire.initialize(workspace)
    wire.send({"id": 1, "method": "shutdown"})
    assert wire.response(1)["result"] is None
    wire.send(hover(2, {"line": 0, "character": 0}))
    assert wire.response(2)["error"]["code"] == -32600
    wire.send({"method": "exit"})
    assert wire.process.wait(10) == 0


def test_exit_without_shutdown_is_status_1(wire: Wire, workspace: Path) -> None:
    wire.initialize(workspace)
    wire.send({"method": "exit"})
    assert wire.process.wait(10) == 1


@pytest.mark.parametrize("bad, why", [
    # A body shorter than its Content-Length says: the rest stands before the next header.
    (frame(hover(1, {"line": 0, "character": 0}), delta=-5), "its body is not JSON"),
    # A body longer: the next frame is read into it, then given back.
    (frame(hover(1, {"line": 0, "character": 0}), delta=+40), "its body is not JSON"),
    (b"Content-Length: ten\r\n\r\n{}", "a Content-Length that is not a number"),
    (b"X-Nonsense\r\n\r\n", "a header line without a colon"),
    (b"Content-Type: x\r\n\r\n", "a frame without Content-Length"),
])
def test_a_malformed_frame_is_logged_in_one_line_and_the_next_one_read(
    wire: Wire, workspace: Path, bad: bytes, why: str
) -> None:
    wire.initialize(workspace)
    wire.write(bad + frame({"jsonrpc": "2.0", **hover(7, {"line": 0, "character": 0})}) + b" " * 60)
    assert wire.response(7)["result"] is None
    wire.send({"id": 8, "method": "shutdown"})
    wire.response(8)
    wire.send({"method": "exit"})
    assert wire.end() == 0
    lines = wire.stderr_lines()
    assert [line for line in lines if why in line] and all(len(line) < 600 for line in lines)
    assert not [line for line in lines if "Traceback" in line]


def test_header_names_are_read_without_regard_to_case(wire: Wire, workspace: Path) -> None:
    wire.write(frame({"jsonrpc": "2.0", "id": 0, "method": "initialize", "params": {"capabilities": {}}},
                     name="content-LENGTH"))
    assert "capabilities" in wire.response(0)["result"]
    wire.write(b"Content-Type: application/vscode-jsonrpc; charset=utf-8\r\n"
               + frame({"jsonrpc": "2.0", **hover(1, {"line": 0, "character": 0})}, name="CONTENT-length"))
    assert wire.response(1)["result"] is None


@pytest.mark.parametrize("signum, status", [(signal.SIGTERM, 143), (signal.SIGINT, 130)])
def test_a_signal_ends_it_at_once_with_its_status(wire: Wire, workspace: Path, signum: int, status: int) -> None:
    wire.initialize(workspace)
    policy = workspace / "policy.yaml"
    wire.send({"method": "textDocument/didOpen", "params": {"textDocument": {
        "uri": policy.as_uri(), "languageId": "yaml", "version": 1, "text": policy.read_text()}}})
    # An answer shows the document taken in (diagnostics may be empty, and then none is sent).
    wire.send(hover(2, {"line": 0, "character": 0}, policy.as_uri()))
    wire.response(2)
    os.kill(wire.process.pid, signum)
    # Standard input stays open: the client holds it.
    assert wire.process.wait(1) == status


def test_diagnostics_go_to_the_uri_as_the_client_spelled_it(wire: Wire, workspace: Path) -> None:
    wire.initialize(workspace)
    policy = workspace / "policy.yaml"
    text = policy.read_text().replace("effect: block", "effect: deny", 1)
    spelled = policy.as_uri().replace("/policy.yaml", "/p%6Flicy.yaml")
    wire.send({"method": "textDocument/didOpen", "params": {"textDocument": {
        "uri": spelled, "languageId": "yaml", "version": 1, "text": text}}})
    published = wire.wait(lambda message: message.get("method") == "textDocument/publishDiagnostics"
                          and message["params"]["diagnostics"])
    assert published["params"]["uri"] == spelled


def _children(parent: int) -> Dict[int, str]:
    """The running processes whose parent is `parent`, with their command lines."""
    found = {}
    for entry in Path("/proc").iterdir():
        try:
            stat = (entry / "stat").read_text()
            if int(stat.rpartition(")")[2].split()[1]) == parent:
                found[int(entry.name)] = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode()
        except (OSError, ValueError):
            continue
    return found


def _running(pid: int) -> bool:
    try:
        return Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()[0] != "Z"
    except OSError:
        return False


@pytest.mark.skipif(not Path("/proc/self/stat").exists(), reason="reads the processes from /proc")
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGINT])
def test_no_child_outlives_a_signal(wire: Wire, workspace: Path, signum: int) -> None:
    # A suite large enough that its reader is still at work when the signal comes.
    cases = "".join(
        f"  - {{name: c{index}, input: {{action: {{type: refund}}}}, expect: {{effect: allow}}}}\n"
        for index in range(40_000)
    )
    (workspace / "big.suite.yaml").write_text("schema: schema.yaml\npolicy: policy.yaml\ncases:\n" + cases)
    wire.initialize(workspace)
    deadline = time.monotonic() + 10
    readers: List[int] = []
    while not readers and time.monotonic() < deadline:
        readers = [pid for pid, line in _children(wire.process.pid).items() if "suite_reader" in line]
        time.sleep(0.01)
    assert readers, "the suites were not being read"
    os.kill(wire.process.pid, signum)
    wire.process.wait(1)
    deadline = time.monotonic() + 1
    while any(_running(pid) for pid in readers) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not any(_running(pid) for pid in readers)
