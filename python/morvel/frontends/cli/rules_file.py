"""Rules files (TOML or JSON) for the command line: each key names a `morvel.Rules`
method, its value the arguments of one call (a table) or of several (a list of tables);
methods over columns also take a plain list of names.

    freeze = ["age", "sex"]
    increase_only = ["education"]

    [[range]]
    column = "income"
    rel = [1.0, 1.3]

    [[linear]]
    coefs = {loan = 1, income = -1}
    op = "<="
    rhs = 0
"""
from __future__ import annotations

import inspect
import json
import re
import sys
from pathlib import Path

from ...problem.rules import Rules
from .errors import InputError, file_error

# The Rules methods a file may call (all of the public builder).
METHODS = ("freeze", "range", "equals", "increase_only", "decrease_only", "linear", "implies",
           "one_hot", "detect_one_hot", "allow_missing", "allowed_categories", "integer",
           "grid", "continuous", "snap_to_data")


def load_rules(path: str, rules: Rules | None = None) -> Rules:
    """The rules of the file at `path`, added to `rules` (a new Rules by default)."""
    text = _read(path)
    document = _parse(path, text)
    rules = Rules() if rules is None else rules
    if not isinstance(document, dict):
        raise InputError(f"{path}: expected a table of rules at the top level")
    for key, value in document.items():
        if key not in METHODS:
            raise InputError(f"{_where(path, text, key)}unknown rule {key!r} (known: "
                             f"{', '.join(METHODS)})")
        calls = value if isinstance(value, list) and value and all(
            isinstance(v, dict) for v in value) else [value]
        for k, call in enumerate(calls):
            where = _where(path, text, key, k)
            try:
                _apply(rules, key, call, where)
            except (ValueError, TypeError) as err:
                if isinstance(err, InputError):
                    raise
                raise InputError(f"{where}{err}") from None
    return rules


def _read(path: str) -> str:
    try:
        return Path(path).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as err:
        raise file_error(path, err) from None


def _parse(path: str, text: str):
    if path.lower().endswith(".json"):
        try:
            return json.loads(text)
        except json.JSONDecodeError as err:
            raise InputError(f"{path}: line {err.lineno}, column {err.colno}: "
                             f"{err.msg}") from None
    if sys.version_info >= (3, 11):
        import tomllib
    else:
        import tomli as tomllib
    try:
        return tomllib.loads(text)
    except tomllib.TOMLDecodeError as err:
        message = str(err)  # "... (at line 3, column 7)"
        m = re.search(r"\(at line (\d+), column (\d+)\)", message)
        if m:
            message = (f"line {m.group(1)}, column {m.group(2)}: "
                       f"{message[:m.start()].strip()}")
        raise InputError(f"{path}: {message}") from None


def _apply(rules: Rules, key: str, call, where: str) -> None:
    method = getattr(rules, key)
    params = [p for p in inspect.signature(method).parameters.values()]
    takes_columns = any(p.kind is p.VAR_POSITIONAL for p in params)
    if isinstance(call, bool) and key == "detect_one_hot":
        if call:
            method()
        return
    if isinstance(call, (str, list)) and takes_columns:
        columns = [call] if isinstance(call, str) else call
        method(*columns)
        return
    if not isinstance(call, dict):
        raise InputError(f"{where}{key} takes a table of arguments"
                         + (" or a list of column names" if takes_columns else ""))
    known = {("columns" if p.kind is p.VAR_POSITIONAL else p.name): p for p in params}
    unknown = [f for f in call if f not in known]
    if unknown:
        raise InputError(f"{where}{key}: unknown field {unknown[0]!r} (fields: "
                         f"{', '.join(known)})")
    args, kwargs = [], {}
    for name, p in known.items():
        if name not in call:
            if p.default is p.empty and p.kind is not p.VAR_POSITIONAL:
                raise InputError(f"{where}{key}: missing field {name!r}")
            continue
        value = call[name]
        if p.kind is p.VAR_POSITIONAL:
            args += [value] if isinstance(value, str) else list(value)
        elif p.kind is p.KEYWORD_ONLY:
            kwargs[name] = value
        else:
            args.append(value)
    method(*args, **kwargs)


def _where(path: str, text: str, key: str, occurrence: int = 0) -> str:
    """'path: line N: ' for the k-th call of `key` in the file, as near as it can tell."""
    line = _line_of(text, key, occurrence)
    return f"{path}: line {line}: " if line else f"{path}: "


def _line_of(text: str, key: str, occurrence: int) -> int | None:
    lines = text.splitlines()
    k = re.escape(key)
    patterns = [rf"^\s*\[\[\s*{k}\s*\]\]", rf"^\s*\[\s*{k}\s*\]", rf"^\s*\"?{k}\"?\s*[=:]"]
    for pattern in patterns:
        hits = [i + 1 for i, s in enumerate(lines) if re.match(pattern, s)]
        if hits:
            return hits[min(occurrence, len(hits) - 1)]
    return None
