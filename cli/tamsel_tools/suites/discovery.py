"""Which files are decision test suites: those named, and those found below a folder named."""

from __future__ import annotations

import os
from typing import List, Tuple

from tamsel_tools.base.findings import Diagnostic
from tamsel_tools.io.reading import SUITE_ENDINGS, suites_below


def suite_paths(arguments: List[str]) -> Tuple[List[str], List[Diagnostic]]:
    """Each argument that is not a directory, and the suites found below each directory
    (hidden folders left out), sorted; a directory without any stays, to be reported. Below a
    directory, what is not a regular file, or is a symbolic link out of it, is skipped with a
    warning: a FIFO would block, a device never end, a link lead anywhere."""
    paths: List[str] = []
    skipped: List[Diagnostic] = []
    for argument in arguments:
        if not os.path.isdir(argument):
            paths.append(argument)
            continue
        found, passed_over = suites_below(argument, SUITE_ENDINGS)
        skipped += [Diagnostic("warning", path, None, None, why) for path, why in passed_over]
        paths += found or [argument]  # a directory without suites is reported when loading
    return paths, skipped
