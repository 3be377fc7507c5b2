"""`tamsel lsp` in a large or hostile workspace, driven over standard input and output as an
editor drives it, each case with a fresh server:

- a suite of --suite-mb MB in the workspace, in JSON and in YAML: a hover on the policy from its opening, the
  policy's diagnostics (every suite read before pairing), a hover and the diagnostics again
  after an edit of the suite, and the server's peak resident memory;
- a policy of --policy-mb MB: from its opening to its one diagnostic;
- SIGTERM and SIGINT with standard input held open: until the process has ended, and its status.

    python benchmarks/bench_lsp_workspace.py [--suite-mb 10] [--policy-mb 20] [-o out.json]

Targets: hovers within 1 s, the suite's server under 300 MB, the large policy's diagnostic
within 2 s, the signals within 1 s.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import shutil
import signal
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence

from lsprotocol import types
from pygls.lsp.client import LanguageClient

PROJECT = Path(__file__).resolve().parents[1] / "tests" / "python" / "lsp_project"
CASE = '  {"name": "c%d", "input": {"action": {"type": "refund", "amount": %d}}, "expect": {"effect": "block"}},\n'
RULE = (
    "  - id: r%d\n    scope: {action: refund}\n"
    "    when: [[action, amount], greater_than, {literal: %d}]\n    effect: block\n"
)


YAML_CASE = "  - {name: c%d, input: {action: {type: refund, amount: %d}}, expect: {effect: block}}\n"


def suite_text(megabytes: float, yaml: bool = False) -> str:
    case = YAML_CASE if yaml else CASE
    count = int(megabytes * 1_000_000) // len(case % (0, 0)) + 1
    body = "".join(case % (i, i) for i in range(count))
    if yaml:
        return "schema: schema.yaml\npolicy: policy.yaml\ncases:\n" + body
    return '{"schema": "schema.yaml", "policy": "policy.yaml", "cases": [\n' + body[:-2] + "\n]}\n"


def policy_text(megabytes: float) -> str:
    count = int(megabytes * 1_000_000) // len(RULE % (0, 0)) + 1
    return "version: 1\nrules:\n" + "".join(RULE % (i, i) for i in range(count))


class Server:
    def __init__(self, folder: Path) -> None:
        self.folder = folder
        self.client = LanguageClient("bench", "1")
        self.diagnostics: Dict[str, List[types.Diagnostic]] = {}
        self.arrived = asyncio.Event()

        @self.client.feature(types.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
        def published(params: types.PublishDiagnosticsParams) -> None:
            self.diagnostics[params.uri] = list(params.diagnostics)
            self.arrived.set()

    async def start(self) -> None:
        await self.client.start_io(sys.executable, "-m", "tamsel_tools", "lsp")
        await self.client.initialize_async(
            types.InitializeParams(
                capabilities=types.ClientCapabilities(),
                workspace_folders=[types.WorkspaceFolder(uri=self.folder.as_uri(), name="bench")],
            )
        )
        self.client.initialized(types.InitializedParams())

    @property
    def pid(self) -> int:
        return self.client._server.pid  # type: ignore[union-attr]

    def peak_mb(self) -> float:
        for line in Path(f"/proc/{self.pid}/status").read_text().splitlines():
            if line.startswith("VmHWM:"):
                return round(int(line.split()[1]) / 1024, 1)
        return float("nan")

    def open(self, path: Path, text: str) -> str:
        uri = path.as_uri()
        self.client.text_document_did_open(
            types.DidOpenTextDocumentParams(types.TextDocumentItem(uri=uri, language_id="yaml", version=1, text=text))
        )
        return uri

    async def until(self, uri: str, wanted: Callable[[Sequence[types.Diagnostic]], bool], seconds: float = 300) -> None:
        async def wait() -> None:
            while not (uri in self.diagnostics and wanted(self.diagnostics[uri])):
                self.arrived.clear()
                await self.arrived.wait()

        await asyncio.wait_for(wait(), seconds)

    async def hover(self, uri: str) -> float:
        start = time.perf_counter()
        answer = await self.client.text_document_hover_async(
            types.HoverParams(types.TextDocumentIdentifier(uri=uri), types.Position(line=5, character=45))
        )
        assert answer is not None
        return time.perf_counter() - start

    async def stop(self) -> None:
        await self.client.shutdown_async(None)
        self.client.exit(None)
        await self.client.stop()


def _workspace() -> Path:
    folder = Path(tempfile.mkdtemp(prefix="tamsel-lsp-workspace-")) / "project"
    shutil.copytree(PROJECT, folder)
    (folder / "tamsel.toml").unlink()  # paired by the suite and the folder, not the project file
    return folder


def _shadowed(diagnostics: Sequence[types.Diagnostic]) -> bool:
    return any(d.code == "shadowed" for d in diagnostics)


async def large_suite(megabytes: float, yaml: bool) -> Dict[str, Any]:
    folder = _workspace()
    suite = folder / ("big.suite.yaml" if yaml else "big.suite.json")
    suite.write_text(suite_text(megabytes, yaml))
    server = Server(folder)
    await server.start()
    policy = folder / "policy.yaml"
    start = time.perf_counter()
    uri = server.open(policy, policy.read_text())
    hover = await server.hover(uri)
    await server.until(uri, _shadowed)
    diagnostics = time.perf_counter() - start
    # An edit of the suite, open in the editor: read again, once.
    text = suite.read_text().replace("c0,", "first,").replace('"c0"', '"first"')
    start = time.perf_counter()
    suite_uri = server.open(suite, text)
    hover_after = await server.hover(uri)
    server.diagnostics.pop(uri, None)
    server.client.text_document_did_change(
        types.DidChangeTextDocumentParams(
            text_document=types.VersionedTextDocumentIdentifier(uri=uri, version=2),
            content_changes=[types.TextDocumentContentChangeWholeDocument(text=policy.read_text() + "\n")],
        )
    )
    await server.until(uri, _shadowed)
    diagnostics_after = time.perf_counter() - start
    peak = server.peak_mb()
    del suite_uri
    await server.stop()
    return {
        "suite": suite.name,
        "suite_mb": round(len(suite.read_bytes()) / 1e6, 1),
        "hover_ms": round(hover * 1000, 1),
        "diagnostics_ms": round(diagnostics * 1000, 1),
        "hover_after_edit_ms": round(hover_after * 1000, 1),
        "diagnostics_after_edit_ms": round(diagnostics_after * 1000, 1),
        "server_peak_mb": peak,
    }


async def large_policy(megabytes: float) -> Dict[str, Any]:
    folder = _workspace()
    server = Server(folder)
    await server.start()
    text = policy_text(megabytes)
    start = time.perf_counter()
    uri = server.open(folder / "policy.yaml", text)
    await server.until(uri, lambda ds: bool(ds))
    elapsed = time.perf_counter() - start
    found = server.diagnostics[uri]
    peak = server.peak_mb()
    await server.stop()
    return {
        "policy_mb": round(len(text) / 1e6, 1),
        "diagnostic_ms": round(elapsed * 1000, 1),
        "diagnostics": len(found),
        "message": found[0].message,
        "server_peak_mb": peak,
    }


async def ended_by(signum: int) -> Dict[str, Any]:
    process = await asyncio.create_subprocess_exec(
        sys.executable, "-m", "tamsel_tools", "lsp", stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE
    )
    await asyncio.sleep(1.0)  # started, reading its standard input, which stays open
    start = time.perf_counter()
    process.send_signal(signum)
    status = await asyncio.wait_for(process.wait(), 10)
    return {"status": status, "ended_ms": round((time.perf_counter() - start) * 1000, 1)}


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--suite-mb", type=float, default=10)
    parser.add_argument("--policy-mb", type=float, default=20)
    parser.add_argument("-o", "--output", help="also write the figures as JSON to this file")
    arguments = parser.parse_args(argv)
    result = {
        "large_suite": asyncio.run(large_suite(arguments.suite_mb, yaml=False)),
        "large_yaml_suite": asyncio.run(large_suite(arguments.suite_mb, yaml=True)),
        "large_policy": asyncio.run(large_policy(arguments.policy_mb)),
        "sigterm": asyncio.run(ended_by(signal.SIGTERM)),
        "sigint": asyncio.run(ended_by(signal.SIGINT)),
    }
    print(json.dumps(result, indent=2))
    if arguments.output:
        Path(arguments.output).write_text(json.dumps(result, indent=2) + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
