"""What the commands print and write: explain's text, reports, JUnit."""
