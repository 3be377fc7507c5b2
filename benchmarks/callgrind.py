"""Running this interpreter under callgrind and reading its instruction total."""

from __future__ import annotations

import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path


def instructions(arguments: list[str], options: list[str] | None = None) -> int:
    """The instructions callgrind counts while this interpreter runs `arguments`
    (with `options` for callgrind; PYTHONHASHSEED fixed so that runs repeat)."""
    with tempfile.TemporaryDirectory() as folder:
        out = Path(folder) / "callgrind.out"
        command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", *(options or [])]
        env = dict(os.environ, PYTHONHASHSEED="0")
        subprocess.run(command + [sys.executable, *arguments], check=True, capture_output=True, env=env)
        total = re.search(r"^(?:summary|totals): (\d+)", out.read_text(), re.MULTILINE)
        if total is None:
            raise RuntimeError(f"no instruction total in callgrind's output for {arguments}")
        return int(total.group(1))
