"""The one exception the tool turns into a `qel: error: ...` line and exit status 2."""


class UsageError(Exception):
    """A mistake of the user's: a bad file, value or option, told in one line."""
