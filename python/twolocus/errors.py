"""The one error type of the package.

Its message is one line in the simulator's style: names in square brackets
and a full stop, without a trailing newline. The commands print it on
standard error and exit with status 1.
"""


class TwolocusError(Exception):
    """A failure to report to the user as one line."""
