"""Answer times of `tamsel lsp` on the construction benchmark's generated 1,000-rule policy
(with its schema and five-rule governance), driven over standard input and output as an
editor drives it.

    python benchmarks/bench_lsp.py [--rules 1000] [--repeat 20] [-o out.json]

Figures, in milliseconds, median and worst of --repeat:
- diagnostics: from a change sent (one field of the middle rule mistyped, or put right) to
  the diagnostics that show it, the server's debounce included;
- lint: from a change sent to the diagnostics that hold lint's findings (the policy ends
  with a copy of its first rule, which lint reports as shadowed);
- completion of a field and of an operator, hover on a field and on a rule's id, in the
  middle rule.
Targets: diagnostics within 300 ms, completion and hover within 100 ms.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Sequence

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import workloads  # noqa: E402
from lsprotocol import types  # noqa: E402
from pygls.lsp.client import LanguageClient  # noqa: E402

TARGETS = {"diagnostics": 300.0, "completion": 100.0, "hover": 100.0}


def texts(count: int) -> Dict[str, str]:
    schema, policy, governance = workloads.construction_texts(count)
    first = policy.split("\n  - id: ")[1].split("\n", 1)[1]
    policy += "  - id: copy_of_r0\n" + first  # shadowed by r0
    return {"schema.yaml": schema, "policy.yaml": policy, "governance.yaml": governance}


class Session:
    def __init__(self, client: LanguageClient, uri: str) -> None:
        self.client = client
        self.uri = uri
        self.version = 1
        self.latest: List[types.Diagnostic] = []
        self.count = 0  # publications so far
        self.arrived = asyncio.Event()

        @client.feature(types.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS)
        def published(params: types.PublishDiagnosticsParams) -> None:
            if params.uri == self.uri:
                self.latest = list(params.diagnostics)
                self.count += 1
                self.arrived.set()

    async def until(
        self, wanted: Callable[[Sequence[types.Diagnostic]], bool], after: int = 0, seconds: float = 120
    ) -> None:
        """Until a publication later than the first `after` holds diagnostics as wanted."""

        async def wait() -> None:
            while self.count <= after or not wanted(self.latest):
                self.arrived.clear()
                await self.arrived.wait()

        await asyncio.wait_for(wait(), seconds)

    def change(self, text: str) -> int:
        """Sends the change; the number of publications before it."""
        self.version += 1
        self.client.text_document_did_change(
            types.DidChangeTextDocumentParams(
                text_document=types.VersionedTextDocumentIdentifier(uri=self.uri, version=self.version),
                content_changes=[types.TextDocumentContentChangeWholeDocument(text=text)],
            )
        )
        return self.count


def _errors(diagnostics: Sequence[types.Diagnostic]) -> int:
    return sum(d.severity == types.DiagnosticSeverity.Error for d in diagnostics)


def _shadowed(diagnostics: Sequence[types.Diagnostic]) -> bool:
    return any(d.code == "shadowed" for d in diagnostics)


def _summary(times: List[float]) -> Dict[str, float]:
    return {"median_ms": round(statistics.median(times) * 1000, 1), "worst_ms": round(max(times) * 1000, 1)}


async def measure(count: int, repeat: int) -> Dict[str, Any]:
    folder = Path(tempfile.mkdtemp(prefix="tamsel-lsp-bench-"))
    for name, text in texts(count).items():
        (folder / name).write_text(text, encoding="utf-8")
    policy = (folder / "policy.yaml").read_text(encoding="utf-8")
    lines = policy.split("\n")
    middle = lines.index(f"  - id: r{count // 2 - (count // 2) % 8}")  # an atomic action rule (shape 0)
    subject = middle + 3
    mistyped = "\n".join(
        [*lines[:subject], lines[subject].replace("field: amount", "field: amont"), *lines[subject + 1 :]]
    )
    client = LanguageClient("bench", "1")
    await client.start_io(sys.executable, "-m", "tamsel_tools", "lsp")
    await client.initialize_async(
        types.InitializeParams(
            capabilities=types.ClientCapabilities(),
            workspace_folders=[types.WorkspaceFolder(uri=folder.as_uri(), name="bench")],
        )
    )
    client.initialized(types.InitializedParams())
    uri = (folder / "policy.yaml").as_uri()
    session = Session(client, uri)
    client.text_document_did_open(
        types.DidOpenTextDocumentParams(types.TextDocumentItem(uri=uri, language_id="yaml", version=1, text=policy))
    )
    await session.until(_shadowed)
    figures: Dict[str, List[float]] = {
        name: []
        for name in ("diagnostics", "lint", "completion_field", "completion_operator", "hover_field", "hover_rule")
    }
    for _ in range(repeat):
        start = time.perf_counter()
        before = session.change(mistyped)
        await session.until(lambda ds: _errors(ds) == 1, before)
        figures["diagnostics"].append(time.perf_counter() - start)
        start = time.perf_counter()
        before = session.change(policy)
        await session.until(lambda ds: _errors(ds) == 0, before)
        figures["diagnostics"].append(time.perf_counter() - start)
        await session.until(_shadowed, before)
        figures["lint"].append(time.perf_counter() - start)
    document = types.TextDocumentIdentifier(uri=uri)
    requests: Dict[str, Callable[[], Any]] = {
        "completion_field": lambda: client.text_document_completion_async(
            types.CompletionParams(document, types.Position(line=subject, character=lines[subject].index("amount")))
        ),
        "completion_operator": lambda: client.text_document_completion_async(
            types.CompletionParams(document, types.Position(line=subject + 1, character=len(lines[subject + 1])))
        ),
        "hover_field": lambda: client.text_document_hover_async(
            types.HoverParams(document, types.Position(line=subject, character=lines[subject].index("amount") + 1))
        ),
        "hover_rule": lambda: client.text_document_hover_async(
            types.HoverParams(document, types.Position(line=middle, character=10))
        ),
    }
    answers: Dict[str, Any] = {}
    for name, request in requests.items():
        for _ in range(repeat):
            start = time.perf_counter()
            answers[name] = await request()
            figures[name].append(time.perf_counter() - start)
    await client.shutdown_async(None)
    client.exit(None)
    await client.stop()
    checks = {
        "completion_field": [item.label for item in answers["completion_field"].items],
        "completion_operator": [item.label for item in answers["completion_operator"].items],
        "hover_field": answers["hover_field"].contents.value,
        "hover_rule": answers["hover_rule"].contents.value,
    }
    return {
        "rules": count,
        "repeat": repeat,
        "figures": {k: _summary(v) for k, v in figures.items()},
        "answers": checks,
    }


def report(result: Dict[str, Any]) -> str:
    rows = [f"tamsel lsp, {result['rules']} rules, {result['repeat']} runs each: median / worst, ms"]
    for name, figure in result["figures"].items():
        target = TARGETS.get(name.split("_")[0])
        verdict = (
            "" if target is None else ("  within " if figure["worst_ms"] <= target else "  OVER ") + f"{target:g} ms"
        )
        rows.append(f"  {name:<20} {figure['median_ms']:>8.1f} {figure['worst_ms']:>8.1f}{verdict}")
    for name, answer in result["answers"].items():
        rows.append(f"  {name}: {answer if isinstance(answer, list) else json.dumps(answer)[:120]}")
    return "\n".join(rows)


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rules", type=int, default=1000)
    parser.add_argument("--repeat", type=int, default=20)
    parser.add_argument("-o", "--output", help="also write the figures as JSON to this file")
    arguments = parser.parse_args(argv)
    result = asyncio.run(measure(arguments.rules, arguments.repeat))
    print(report(result))
    if arguments.output:
        Path(arguments.output).write_text(json.dumps(result, indent=2) + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
