"""`tamsel explain`: how the decision for each input was reached."""

from __future__ import annotations

import argparse
from typing import Any

from tamsel_tools.base import status
from tamsel_tools.cli.commands.inputs import add_inputs_parser, with_inputs
from tamsel_tools.render import explain


def add(commands: Any) -> argparse.ArgumentParser:
    parser = add_inputs_parser(
        commands,
        "explain",
        run,
        help="show how the decision for each JSON input was reached",
        description="Reads inputs as eval does and shows, for each, the rule lists run, every rule "
        "visited with its place, every comparison made with its values and result, and the "
        "decision. Statuses as for eval.",
    )
    parser.usage = "%(prog)s [-h] [--governance GOVERNANCE] [--json] SCHEMA POLICY [INPUT ...]"
    parser.add_argument("--json", action="store_true", help="one JSON object an input, one a line")
    return parser


def run(arguments: argparse.Namespace) -> int:
    loaded = with_inputs(arguments)
    if loaded is None:
        return status.UNUSABLE
    policy_path, policy, inputs = loaded
    return explain.run_explain(policy, policy_path, inputs, arguments.json)
