"""The subcommands of `tamsel`, one module each: `add` puts its parser under the top one,
`run` does its work and gives the exit status."""
