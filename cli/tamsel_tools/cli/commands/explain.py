"""`tamsel explain`: how the decision for each input was reached."""

from __future__ import annotations

import argparse
from typing import Any, List

from tamsel_tools.base import status, strict_json
from tamsel_tools.base.text import printable
from tamsel_tools.cli.commands.inputs import add_inputs_parser, run_inputs, with_inputs
from tamsel_tools.io.reading import Limits
from tamsel_tools.model.inputs import explained
from tamsel_tools.model.policy import Policy
from tamsel_tools.render.explain import block


def add(commands: Any) -> argparse.ArgumentParser:
    parser = add_inputs_parser(commands, "explain", run, HELP, DESCRIPTION)
    parser.usage = "%(prog)s [-h] [--governance GOVERNANCE] [--format FORMAT] [--json] SCHEMA POLICY [INPUT ...]"
    parser.add_argument("--json", action="store_true", help="one JSON object an input, one a line")
    return parser


def run(arguments: argparse.Namespace) -> int:
    loaded = with_inputs(arguments)
    if loaded is None:
        return status.UNUSABLE
    policy_path, policy, inputs = loaded
    return run_explain(policy, policy_path, inputs, arguments.json, arguments.limits)


def run_explain(policy: Policy, policy_path: str, inputs: List[str], as_json: bool, limits: Limits) -> int:
    """One JSON object a line with as_json, else a block of lines an input, blocks apart by a blank line."""
    if as_json:
        return run_inputs(inputs, lambda where, value: strict_json.dumps(explained(policy, value).to_json()), limits)
    blocks = 0

    def text(where: str, value: Any) -> str:
        nonlocal blocks
        lines = block(where, printable(policy_path), explained(policy, value))
        blocks += 1
        return "\n".join(lines if blocks == 1 else [""] + lines)

    return run_inputs(inputs, text, limits)


# What `tamsel --help` and `tamsel explain --help` say of the command.
HELP = "show how the decision for each JSON input was reached"
DESCRIPTION = (
    "Reads inputs as eval does and shows, for each, the rule lists run, every rule "
    "visited with its place, every comparison made with its values and result, and the "
    "decision. Statuses as for eval."
)
