"""Documents that do not build: each error located, with its help."""
