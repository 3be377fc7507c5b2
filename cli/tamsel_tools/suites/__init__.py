"""Decision test suites: found, read with the caps, run."""
