"""A suite's properties proven in a process of its own, as lint runs (see `worker`): the
solver never holds the server's thread, and a server that goes away takes it along.

Reads {"suite": PATH, "seconds": N, "max_bytes": N, "allow_outside": B} as JSON on standard
input; writes {"properties": [{"name", "line", "column", "verdict", "message"}]} (the suite as
saved, each property's place in it, 1-based), {"unloadable": [{"line", "column", "message"}]}
for a suite that does not load, or {"error": text} on standard output.
"""

from __future__ import annotations

import sys
from typing import Any, Dict

from tamsel_tools.analysis import api
from tamsel_tools.analysis.solver import Budget, collector_paused
from tamsel_tools.io.reading import Limits
from tamsel_tools.lsp.worker import serve_one
from tamsel_tools.suites.loading import Loader, SuiteUnloadable
from tamsel_tools.suites.properties import UNDECIDED, refuted_message


def answer(request: Dict[str, Any]) -> Dict[str, Any]:
    path = str(request["suite"])
    try:
        suite = Loader(Limits(int(request["max_bytes"]), bool(request["allow_outside"]))).load(path)
    except SuiteUnloadable as error:
        found = [{"line": f.line, "column": f.column, "message": f.message} for f in error.findings if f.file == path]
        return {"unloadable": found}
    if not suite.properties:
        return {"properties": []}
    if not api.solver_available():
        return {"error": api.INSTALL_HINT}
    from tamsel_tools.analysis.properties import proof  # the solver's modules, only when there are properties

    items = [(each.source.property, each.condition) for each in suite.properties]
    with collector_paused():
        results = proof.check(suite.policy, items, Budget(float(request["seconds"])))
    found = []
    for each, result in zip(suite.properties, results):
        message = {"holds": "", "refuted": "", "undecided": f"{result.property.name}: {UNDECIDED}"}[result.verdict]
        if result.verdict == "refuted":
            message = refuted_message(result)
        line, column = each.source.line, each.source.column
        found.append({"name": result.property.name, "line": line, "column": column, "verdict": result.verdict,
                      "message": message})  # fmt: skip
    return {"properties": found}


def main() -> int:
    return serve_one(answer, "the properties could not be checked")


if __name__ == "__main__":
    sys.exit(main())
