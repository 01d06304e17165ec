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


def file_error(path: str, err: Exception, kind: str = "file") -> InputError:
    """What is wrong with a file that cannot be opened or read as text (`kind`: what a
    directory is not, e.g. "model file")."""
    if isinstance(err, FileNotFoundError):
        return InputError(f"{path}: no such file")
    if isinstance(err, IsADirectoryError):
        return InputError(f"{path}: is a directory, not a {kind}")
    if isinstance(err, UnicodeDecodeError):
        return InputError(f"{path}: not UTF-8 text")
    return InputError(f"{path}: {getattr(err, 'strerror', None) or err}")
