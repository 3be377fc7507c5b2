"""Lint in a process of its own: the server's requests keep their thread, and the next
change ends a lint that is no longer wanted by ending the process.

Reads {"schema", "policy", "governance"} as JSON on standard input; writes
{"findings": [...], "deciding": {index: input}} or {"error": text} on standard output.
"""

from __future__ import annotations

import json
import sys
from typing import Any, Dict

from tamsel_tools import _analysis
from tamsel_tools._policy import Policy, PolicyError


def analyse(request: Dict[str, Any]) -> Dict[str, Any]:
    if not _analysis.solver_available():
        return {"error": _analysis.INSTALL_HINT}
    try:
        policy = Policy(request["schema"], request["policy"], request.get("governance"))
    except PolicyError as error:
        return {"error": f"the documents do not build: {error.message}"}
    findings, deciding = _analysis._reach(policy.rules, policy)
    return {
        "findings": [{**finding.to_json(), "scope_name": finding.scope_name} for finding in findings],
        "deciding": {str(index): value for index, value in deciding.items()},
    }


def main() -> int:
    try:
        answer = analyse(json.loads(sys.stdin.read()))
    except KeyboardInterrupt:
        return 130
    except Exception as error:  # noqa: BLE001 - any fault is reported to the server, which stays up
        answer = {"error": f"the analysis failed: {type(error).__name__}: {error}"}
    sys.stdout.write(json.dumps(answer, allow_nan=True))
    return 0


if __name__ == "__main__":
    sys.exit(main())
