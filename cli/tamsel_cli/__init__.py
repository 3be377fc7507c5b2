"""The `tamsel` command's entry point, and the former name of `tamsel_tools`
(`python -m tamsel_cli` keeps working).

Ctrl-C and SIGTERM are taken before anything else is imported: the tools'
imports take a tenth of a second, and an interrupt then must not print a
traceback. Until the command runs, and once it has returned, nothing needs
cleaning up, so a signal then ends the process at once with its status.
"""

from __future__ import annotations

# The C module under `signal`: `signal` itself first imports `enum`, which alone
# takes longer than everything before this line. `os` is loaded at start-up.
import _signal  # type: ignore[import-not-found]  # no stub: the C module under `signal`
import os

_SAID = {_signal.SIGINT: b"tamsel: interrupted\n", _signal.SIGTERM: b"tamsel: terminated\n"}


def _end_now(signum: int, frame: object) -> None:
    for each in _SAID:
        _signal.signal(each, _signal.SIG_IGN)
    try:
        os.write(2, _SAID.get(signum, b""))
    except OSError:
        pass
    os._exit(128 + signum)


def _take_signals() -> None:
    for signum in _SAID:
        _signal.signal(signum, _end_now)


# At import, before anything that is not loaded yet: the console script imports
# this module and then calls main().
_take_signals()

import sys  # noqa: E402 - after the signals are taken


def main(argv: list[str] | None = None) -> int:
    """Runs one command; the result is the process's exit status."""
    _take_signals()
    from tamsel_tools.cli.main import main as run

    # The command's output is written and flushed when this returns.
    return run(sys.argv[1:] if argv is None else argv)


__all__ = ["main"]
