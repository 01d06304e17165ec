"""A readable builder of actionability rules, by column name.

`Rules` only records what the user asked for and checks each argument's own shape; names,
labels and contradictions are resolved against the model's features when an Explainer
compiles the rules (see `_compiled_rules`), so one Rules object can serve several models.
"""
from __future__ import annotations

import math
from dataclasses import dataclass

_OPS = {"<=": 0, ">=": 1, "==": 2}


@dataclass(frozen=True)
class Rule:
    """One recorded rule: its kind, its arguments and the text that names it in errors."""

    kind: str
    args: tuple
    text: str


class Rules:
    """Actionability rules for counterfactuals, stated by column name. Every method
    returns the Rules object, so calls chain.

    >>> rules = (Rules().freeze("age", "sex")
    ...          .range("income", 0, 200_000)
    ...          .range("debt", rel=(0.5, 1.0))
    ...          .increase_only("education")
    ...          .linear({"loan": 1, "income": -1}, "<=", 0)
    ...          .implies("employed", 0, "income", 0)
    ...          .allowed_categories("housing", ["rent", "own"])
    ...          .integer("children"))
    >>> len(rules)
    9
    """

    def __init__(self):
        self._rules: list[Rule] = []

    def __len__(self) -> int:
        return len(self._rules)

    def __iter__(self):
        return iter(self._rules)

    def __repr__(self) -> str:
        inner = "\n  ".join(r.text for r in self._rules)
        return f"Rules(\n  {inner}\n)" if self._rules else "Rules()"

    def _add(self, kind: str, args: tuple, text: str) -> Rules:
        self._rules.append(Rule(kind, args, text))
        return self

    # -- which features may move, and where --------------------------------------------

    def freeze(self, *columns: str) -> Rules:
        """These columns keep their factual values."""
        for col in _names(columns, "freeze"):
            self._add("freeze", (col,), f"freeze({col!r})")
        return self

    def range(self, column: str, lo: float | None = None, hi: float | None = None, *,
              rel: tuple[float, float] | None = None) -> Rules:
        """The column stays within [lo, hi]; with `rel=(a, b)`, within a and b times its
        factual value (e.g. `rel=(0.8, 1.3)`: from 20% less to 30% more)."""
        text = _call("range", column, lo, hi, rel=rel)
        col = _name(column, text)
        if lo is None and hi is None and rel is None:
            raise ValueError(f"{text}: give lo, hi or rel")
        lo = -math.inf if lo is None else _number(lo, text, "lo")
        hi = math.inf if hi is None else _number(hi, text, "hi")
        if lo > hi:
            raise ValueError(f"{text}: lo {lo:g} is above hi {hi:g}, no value can satisfy it")
        if rel is not None:
            if not isinstance(rel, (tuple, list)) or len(rel) != 2:
                raise ValueError(f"{text}: rel must be a pair (low factor, high factor)")
            a, b = (_number(v, text, "rel") for v in rel)
            if math.isinf(a) or math.isinf(b) or a > b:
                raise ValueError(f"{text}: rel factors must be finite with low <= high")
        else:
            a = b = None
        return self._add("range", (col, lo, hi, a, b), text)

    def equals(self, column: str, value) -> Rules:
        """The column must take exactly `value` (a number, or a label of a categorical)."""
        text = _call("equals", column, value)
        return self._add("equals", (_name(column, text), value), text)

    def increase_only(self, *columns: str) -> Rules:
        """These columns may only stay or increase."""
        for col in _names(columns, "increase_only"):
            self._add("mono", (col, 1), f"increase_only({col!r})")
        return self

    def decrease_only(self, *columns: str) -> Rules:
        """These columns may only stay or decrease."""
        for col in _names(columns, "decrease_only"):
            self._add("mono", (col, -1), f"decrease_only({col!r})")
        return self

    # -- relations between features ------------------------------------------------------

    def linear(self, coefs: dict, op: str, rhs: float, *, missing: str = "holds") -> Rules:
        """sum(coef * column) `op` rhs, with `op` one of "<=", ">=", "==". A row with a
        missing term satisfies the rule when `missing="holds"`, fails it with "fails".

        The exact method supports one-column rules and `a <= b` comparisons
        ({"a": 1, "b": -1} "<=" 0); the genetic method supports any."""
        text = _call("linear", coefs, op, rhs)
        if not isinstance(coefs, dict) or not coefs:
            raise ValueError(f"{text}: coefs must be a non-empty {{column: coefficient}} dict")
        terms = tuple((_name(c, text), _number(v, text, "coefficient", finite=True))
                      for c, v in coefs.items())
        if op not in _OPS:
            raise ValueError(f"{text}: op must be one of '<=', '>=', '=='")
        if missing not in ("holds", "fails"):
            raise ValueError(f"{text}: missing must be 'holds' or 'fails'")
        rhs = _number(rhs, text, "rhs", finite=True)
        return self._add("linear", (terms, _OPS[op], rhs, missing == "fails"), text)

    def implies(self, if_column: str, if_value, then_column: str, then_value) -> Rules:
        """When `if_column` equals `if_value`, `then_column` must equal `then_value`."""
        text = _call("implies", if_column, if_value, then_column, then_value)
        return self._add("implies", (_name(if_column, text), if_value,
                                     _name(then_column, text), then_value), text)

    def one_hot(self, *columns: str, prefix: str | None = None, sep: str = "_") -> Rules:
        """The columns form a one-hot group: exactly one of them is 1, the others 0.
        With `prefix="color"`, the group is every column named "color<sep>...".

        >>> Rules().one_hot(prefix="color").one_hot("is_a", "is_b")
        Rules(
          one_hot(prefix='color')
          one_hot('is_a', 'is_b')
        )
        """
        if prefix is not None:
            if columns:
                raise ValueError("one_hot: give columns or a prefix, not both")
            return self._add("one_hot_prefix", (str(prefix), str(sep)),
                             f"one_hot(prefix={prefix!r})")
        cols = _names(columns, "one_hot")
        text = f"one_hot({', '.join(repr(c) for c in cols)})"
        if len(cols) < 2 or len(set(cols)) != len(cols):
            raise ValueError(f"{text}: a one-hot group needs at least two distinct columns")
        return self._add("one_hot", tuple(cols), text)

    def detect_one_hot(self, sep: str = "_") -> Rules:
        """Find the one-hot groups that `pandas.get_dummies` makes ("color_red",
        "color_blue", ...): columns sharing a prefix before `sep` whose data values are 0
        or 1 with exactly one 1 per row."""
        return self._add("detect_one_hot", (str(sep),), f"detect_one_hot(sep={sep!r})")

    # -- missing values and categories ---------------------------------------------------

    def allow_missing(self, column: str, cost_to: float | None = None,
                      cost_from: float | None = None) -> Rules:
        """The column may become missing (cost `cost_to`) or, when missing, be filled in
        (cost `cost_from`); costs in the column's units, scaled like any change (default:
        one scale unit)."""
        text = _call("allow_missing", column, cost_to, cost_from)
        to = None if cost_to is None else _number(cost_to, text, "cost_to", finite=True)
        frm = None if cost_from is None else _number(cost_from, text, "cost_from", finite=True)
        if (to is not None and to < 0) or (frm is not None and frm < 0):
            raise ValueError(f"{text}: costs must not be negative")
        return self._add("allow_missing", (_name(column, text), to, frm), text)

    def allowed_categories(self, column: str, labels) -> Rules:
        """A categorical column may only take these labels."""
        labels = list(labels) if not isinstance(labels, str) else [labels]
        text = _call("allowed_categories", column, labels)
        if not labels:
            raise ValueError(f"{text}: give at least one label")
        return self._add("allowed", (_name(column, text), tuple(labels)), text)

    # -- value policies ------------------------------------------------------------------

    def integer(self, *columns: str) -> Rules:
        """These columns take whole numbers."""
        for col in _names(columns, "integer"):
            self._add("policy", (col, 1, 0.0, 0.0), f"integer({col!r})")
        return self

    def grid(self, column: str, step: float, anchor: float = 0.0) -> Rules:
        """The column takes values anchor + k * step for whole k."""
        text = _call("grid", column, step, anchor)
        step = _number(step, text, "step", finite=True)
        if step <= 0:
            raise ValueError(f"{text}: step must be positive")
        anchor = _number(anchor, text, "anchor", finite=True)
        return self._add("policy", (_name(column, text), 2, step, anchor), text)

    def continuous(self, *columns: str) -> Rules:
        """These columns take any real value (whole-number columns of the data otherwise
        take whole numbers)."""
        for col in _names(columns, "continuous"):
            self._add("policy", (col, 0, 0.0, 0.0), f"continuous({col!r})")
        return self

    def snap_to_data(self, *columns: str) -> Rules:
        """These columns take values seen in the data: the solver's value is replaced by
        the nearest data value that keeps the row valid (the row is verified again)."""
        for col in _names(columns, "snap_to_data"):
            self._add("snap", (col,), f"snap_to_data({col!r})")
        return self


def _call(name: str, *args, **kwargs) -> str:
    parts = [repr(a) for a in args if a is not None]
    parts += [f"{k}={v!r}" for k, v in kwargs.items() if v is not None]
    return f"{name}({', '.join(parts)})"


def _name(column, text: str) -> str:
    if not isinstance(column, str):
        raise TypeError(f"{text}: columns are named by strings, got {column!r}")
    return column


def _names(columns, rule: str) -> list[str]:
    if len(columns) == 1 and isinstance(columns[0], (list, tuple)):
        columns = tuple(columns[0])
    if not columns:
        raise ValueError(f"{rule}(): name at least one column")
    return [_name(c, f"{rule}({c!r})") for c in columns]


def _number(value, text: str, what: str, finite: bool = False) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) and not hasattr(
            value, "__float__"):
        raise TypeError(f"{text}: {what} must be a number, got {value!r}")
    v = float(value)
    if math.isnan(v) or (finite and math.isinf(v)):
        raise ValueError(f"{text}: {what} must be a {'finite ' if finite else ''}number, "
                         f"got {v!r}")
    return v
