"""The server's workers: a module run in a process of its own and asked one question, so that
the solver never holds the thread that answers requests."""

from __future__ import annotations

import asyncio
import sys
from typing import Any, Dict

from tamsel_tools.base import strict_json

GRACE = 30.0  # past the solver's budget, the time to start, load and check before the process is ended


async def ask(
    module: str, request: Dict[str, Any], seconds: float, processes: Dict[int, asyncio.subprocess.Process]
) -> Dict[str, Any]:
    """The answer of `python -m module` to `request`, both as JSON. The process is kept in
    `processes` while it runs (the server ends those with itself) and ended whatever happens;
    asyncio.TimeoutError after `seconds`, ValueError for an answer that is not JSON (none is {})."""
    process = await asyncio.create_subprocess_exec(
        sys.executable,
        "-m",
        module,
        stdin=asyncio.subprocess.PIPE,
        stdout=asyncio.subprocess.PIPE,
        stderr=asyncio.subprocess.DEVNULL,
    )
    processes[process.pid] = process
    try:
        output, _ = await asyncio.wait_for(process.communicate(strict_json.dumps(request).encode("utf-8")), seconds)
        answer: Dict[str, Any] = strict_json.loads(output.decode("utf-8") or "{}")
        return answer
    finally:
        processes.pop(process.pid, None)
        if process.returncode is None:
            process.kill()
            await process.wait()
