"""The command line's error types (bad input: exit code 1; a usage error: 2) and the one line
it quotes of a library's error."""
import re


class InputError(ValueError):
    """A file, column, row or option the command cannot use; the message names it."""


class UsageError(Exception):
    """Options that contradict each other, whatever the files hold."""


def first_line(err: BaseException) -> str:
    """The first line of a library's error message, without its log prefix."""
    lines = [s.strip() for s in str(err).splitlines() if s.strip()]
    text = lines[0] if lines else type(err).__name__
    text = re.sub(r"^\[[0-9:]+\]\s*\S+:\s*", "", text)  # XGBoost's "[12:00:00] file.cc:42: "
    return text[:200]
