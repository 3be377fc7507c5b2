"""The former name of `tamsel_tools`: `python -m tamsel_cli` keeps working."""

from tamsel_tools import main

__all__ = ["main"]
