"""`tamsel lsp`: a language server for the policy, schema and governance documents.

It needs pygls and PyYAML (`pip install 'tamsel[lsp]'`, which also brings z3 for lint's
findings); without them the command says so and stops.
"""

from __future__ import annotations

import importlib
import sys

from tamsel_tools.base import status
from tamsel_tools.io.reading import Limits

INSTALL_HINT = "the language server needs pygls and PyYAML; install them with: pip install 'tamsel[lsp]'"


def run(limits: Limits) -> int:
    """Serves one client on standard input and output until it exits, reading within the limits."""
    for module in ("pygls", "lsprotocol", "yaml"):
        try:
            importlib.import_module(module)
        except ImportError:
            print(f"tamsel lsp: {INSTALL_HINT}", file=sys.stderr)
            return status.UNUSABLE
    from tamsel_tools.lsp.features import serve

    return serve(limits)
