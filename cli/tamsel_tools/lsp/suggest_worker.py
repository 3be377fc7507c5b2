"""`suggest` for one suite in a process of its own, as lint runs (see `worker`): the solver
never holds the server's thread, and a server that goes away takes it along.

Reads {"suite": PATH, "seconds": N, "max_bytes": N, "allow_outside": B} as JSON on standard
input; writes {"cases": [{"name", "input", "expect"}], "undecided": COUNT} or {"error": text}
on standard output.
"""

from __future__ import annotations

import sys
from typing import Any, Dict

from tamsel_tools.analysis import api
from tamsel_tools.analysis.solver import Budget
from tamsel_tools.io.reading import Limits
from tamsel_tools.lsp.worker import serve_one
from tamsel_tools.suggesting.suggestion import suggest_within
from tamsel_tools.suggesting.suites import covered
from tamsel_tools.suites.loading import Loader


def answer(request: Dict[str, Any]) -> Dict[str, Any]:
    if not api.solver_available():
        return {"error": api.INSTALL_HINT}
    policies, unloadable = covered(
        [str(request["suite"])], Loader(Limits(int(request["max_bytes"]), bool(request["allow_outside"])))
    )
    if unloadable:
        return {"error": f"the suite does not load: {unloadable[0].render()}"}
    (one,) = policies
    suggestion = suggest_within(one.policy, one.coverage, Budget(float(request["seconds"])))
    cases = [{"name": case.name, "input": case.input, "expect": case.expect} for case in suggestion.cases]
    return {"cases": cases, "undecided": len(suggestion.undecided)}


def main() -> int:
    return serve_one(answer, "suggest failed")


if __name__ == "__main__":
    sys.exit(main())
