"""`tamsel eval`: the decision for each input."""

from __future__ import annotations

import argparse
import json
from typing import Any

from tamsel_tools.base import status
from tamsel_tools.cli.commands.inputs import add_inputs_parser, run_inputs, with_inputs
from tamsel_tools.model.inputs import decision


def add(commands: Any) -> argparse.ArgumentParser:
    return add_inputs_parser(commands, "eval", run, HELP, DESCRIPTION)


def run(arguments: argparse.Namespace) -> int:
    loaded = with_inputs(arguments)
    if loaded is None:
        return status.UNUSABLE
    _, policy, inputs = loaded
    # One JSON decision a line.
    return run_inputs(inputs, lambda where, value: json.dumps(decision(policy, value)), arguments.limits)


# What `tamsel --help` and `tamsel eval --help` say of the command.
HELP = "print the decision for each JSON input"
DESCRIPTION = (
    "Prints one JSON decision for each input: each INPUT a JSON file, or JSON "
    "lines on standard input (also when INPUT is -). A bad input prints its error with its "
    f"place and makes the status {status.NEGATIVE}, after all inputs; documents that do not "
    f"build give {status.UNUSABLE}. Without any file, the project file's documents and "
    "standard input."
)
