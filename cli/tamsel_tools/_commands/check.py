"""`tamsel check`: build the engine from the documents and print the policy hash."""

from __future__ import annotations

import argparse
import sys
from typing import Any

from tamsel_tools import _status
from tamsel_tools._arguments import add_documents, add_format, documents
from tamsel_tools._documents import DocumentsRejected, DocumentsUnreadable, load_policy
from tamsel_tools._output import print_findings, warn_skipped_keys


def add(commands: Any) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        "check",
        help="build the engine from the documents and print the policy hash",
        description="Builds the engine and prints the policy hash, or with --canonical the "
        f"canonical text that the hash digests (status {_status.GOOD}). On a faulty "
        f"document prints FILE:LINE:COLUMN: MESSAGE (status {_status.NEGATIVE}); a file that cannot "
        f"be read gives status {_status.UNUSABLE}. Without SCHEMA and POLICY, the project file's "
        "documents are checked.",
    )
    add_documents(parser)
    parser.add_argument(
        "--canonical", action="store_true", help="print the canonical text that the hash digests instead"
    )
    add_format(parser)
    parser.set_defaults(run=run, parser=parser)
    return parser


def run(arguments: argparse.Namespace) -> int:
    given = documents(arguments)
    try:
        policy = load_policy(given.schema, given.policy, given.governance)
    except DocumentsUnreadable as error:
        print_findings([error.finding], arguments.format)
        return _status.UNUSABLE
    except DocumentsRejected as error:
        print_findings([error.finding], arguments.format)
        return _status.NEGATIVE
    warn_skipped_keys(policy, given.paths, arguments.format)
    if arguments.canonical:
        # The exact bytes that the hash digests, then a line feed; never re-encoded by the locale.
        sys.stdout.flush()
        sys.stdout.buffer.write(policy.canonical_text.encode("utf-8") + b"\n")
    else:
        print(policy.policy_hash())
    return _status.GOOD
