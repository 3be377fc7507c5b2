"""The `tamsel` command's entry point, and the former name of `tamsel_tools`
(`python -m tamsel_cli` keeps working).

It imports nothing heavy before it has taken Ctrl-C and SIGTERM: the tools'
imports take a tenth of a second, and an interrupt then must not print a
traceback. Until the command runs, and once it has returned, nothing needs
cleaning up, so a signal ends the process at once with its status.
"""

import os
import signal
import sys
from types import FrameType
from typing import List, Optional

_SAID = {signal.SIGINT: b"tamsel: interrupted\n", signal.SIGTERM: b"tamsel: terminated\n"}


def _end_now(signum: int, frame: Optional[FrameType]) -> None:
    for each in _SAID:
        signal.signal(each, signal.SIG_IGN)
    try:
        os.write(2, _SAID.get(signum, b""))
    except OSError:
        pass
    os._exit(128 + signum)


def main(argv: Optional[List[str]] = None) -> int:
    """Runs one command; the result is the process's exit status."""
    for signum in _SAID:
        signal.signal(signum, _end_now)
    from tamsel_tools._main import main as run

    status = run(sys.argv[1:] if argv is None else argv)
    # The command's output is written and flushed by now.
    return status


__all__ = ["main"]
