"""`tamsel check`: build the engine from the documents and print the policy hash."""

from __future__ import annotations

import argparse
import sys
from typing import Any, List

from tamsel_tools.base import status
from tamsel_tools.base.findings import CHECK_FORMATS, Diagnostic
from tamsel_tools.cli.arguments import add_command, add_documents, add_format, documents
from tamsel_tools.diagnostics.documents import Allowance, DocumentsRejected, DocumentsUnreadable, load_policy
from tamsel_tools.diagnostics.skipped import document_warnings
from tamsel_tools.render.output import print_findings, print_json


def add(commands: Any) -> argparse.ArgumentParser:
    parser = add_command(commands, "check", run, HELP, DESCRIPTION)
    add_documents(parser)
    parser.add_argument(
        "--canonical", action="store_true", help="print the canonical text that the hash digests instead"
    )
    add_format(parser, CHECK_FORMATS)
    return parser


def run(arguments: argparse.Namespace) -> int:
    given = documents(arguments)
    try:
        policy = load_policy(given.schema, given.policy, given.governance, Allowance(arguments.limits))
    except DocumentsUnreadable as error:
        print_findings(error.findings, arguments.format)
        return status.UNUSABLE
    except DocumentsRejected as error:
        print_findings(error.findings, arguments.format)
        return status.NEGATIVE
    warnings: List[Diagnostic] = document_warnings(policy, given.paths)
    if arguments.format == "json":
        built = {"policy_hash": policy.policy_hash()}
        if arguments.canonical:
            built["canonical_text"] = policy.canonical_text
        print_json(warnings, **built)
        return status.GOOD
    print_findings(warnings, arguments.format)
    if arguments.canonical:
        # The exact bytes that the hash digests, then a line feed; never re-encoded by the locale.
        sys.stdout.flush()
        sys.stdout.buffer.write(policy.canonical_text.encode("utf-8") + b"\n")
    else:
        print(policy.policy_hash())
    return status.GOOD


# What `tamsel --help` and `tamsel check --help` say of the command.
HELP = "build the engine from the documents and print the policy hash"
DESCRIPTION = (
    "Builds the engine and prints the policy hash, or with --canonical the "
    f"canonical text that the hash digests (status {status.GOOD}). On faulty documents "
    f"prints each error as FILE:LINE:COLUMN: MESSAGE (status {status.NEGATIVE}); a file that "
    f"cannot be read gives status {status.UNUSABLE}. Without SCHEMA and POLICY, the project "
    "file's documents are checked."
)
