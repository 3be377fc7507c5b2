"""Command-line tools for tamsel policy authors: check documents, try inputs, test decisions."""

from tamsel_tools._main import main

__all__ = ["main"]
