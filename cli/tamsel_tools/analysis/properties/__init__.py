"""Properties: a suite's claims over every input, compiled and proven."""
