"""The `tamsel` command: its parser, arguments, streams, signals and commands."""
