"""Which files are decision test suites: those named, and those found below a folder named."""

from __future__ import annotations

import os
from typing import Iterator, List

# The names by which a suite is found in a directory.
SUITE_ENDINGS = (".suite.json", ".suite.yaml", ".suite.yml")


def suite_paths(arguments: List[str]) -> Iterator[str]:
    """Each argument that is not a directory, and the suites found below each directory
    (hidden folders left out), sorted; a directory without any stays, to be reported."""
    for argument in arguments:
        if not os.path.isdir(argument):
            yield argument
            continue
        found = []
        for directory, subdirectories, files in os.walk(argument):
            subdirectories[:] = [name for name in subdirectories if not name.startswith(".")]
            found += [os.path.join(directory, name) for name in files if name.endswith(SUITE_ENDINGS)]
        if not found:
            yield argument  # reported when loading: no suite there
        yield from sorted(found)
