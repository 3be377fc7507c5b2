"""Exact analysis with the solver: lint, diff, witnesses and properties."""
