"""A policy built by the engine, seen as plain values: its rules, explanations, coverage."""
