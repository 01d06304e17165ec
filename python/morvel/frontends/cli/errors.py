"""The command line's one error type: bad input, reported as one line with exit code 1."""


class InputError(ValueError):
    """A file, column, row or option the command cannot use; the message names it."""
