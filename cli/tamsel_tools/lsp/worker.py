"""Lint in a process of its own: the server's requests keep their thread, and the next
change ends a lint that is no longer wanted by ending the process.

Reads {"schema", "policy", "governance", "seconds"} as JSON on standard input; writes
{"findings": [...], "deciding": {index: input}, "undecided": [index, ...]} or
{"error": text} on standard output. The process ends itself when the server is gone.
"""

from __future__ import annotations

import os
import sys
import threading
import time
from typing import Any, Callable, Dict

from tamsel_tools.analysis import api
from tamsel_tools.analysis.solver import Budget
from tamsel_tools.base import strict_json
from tamsel_tools.model.policy import Policy, PolicyError


def analyse(request: Dict[str, Any]) -> Dict[str, Any]:
    if not api.solver_available():
        return {"error": api.INSTALL_HINT}
    try:
        policy = Policy(request["schema"], request["policy"], request.get("governance"))
    except PolicyError as error:
        return {"error": f"the documents do not build: {error.message}"}
    budget = Budget(float(request["seconds"]))
    reached = api.lint_within(policy.rules, policy, budget, witnesses=True)
    return {
        "findings": [{**finding.to_json(), "scope_name": finding.scope_name} for finding in reached.findings],
        "deciding": {str(index): value for index, value in reached.inputs.items()},
        "undecided": list(reached.undecided),
    }


def _orphaned(parent: int) -> None:
    """Ends the process once the server that started it has gone."""
    while os.getppid() == parent:
        time.sleep(0.5)
    os._exit(1)


def serve_one(answer: Callable[[Dict[str, Any]], Dict[str, Any]], failed: str) -> int:
    """A worker's life: one request read as JSON from standard input, its answer (or what
    `failed` at, with the fault) written as JSON to standard output."""
    threading.Thread(target=_orphaned, args=(os.getppid(),), daemon=True).start()
    try:
        reply = answer(strict_json.loads(sys.stdin.read()))
    except KeyboardInterrupt:
        return 130
    except Exception as error:  # noqa: BLE001 - any fault is reported to the server, which stays up
        reply = {"error": f"{failed}: {type(error).__name__}: {error}"}
    sys.stdout.write(strict_json.dumps(reply))
    return 0


def main() -> int:
    return serve_one(analyse, "the analysis failed")


if __name__ == "__main__":
    sys.exit(main())
