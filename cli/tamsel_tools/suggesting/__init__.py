"""Suggested cases for the gaps of coverage: above the suites, below what renders them."""
