"""Targets stated the way users think (a class, a probability, a raw-score window) and
their translation into the raw-score window the solvers search.

The translation keeps a strict margin inside the user's window: the core sums leaf values
in its own order (and XGBoost sums in single precision), and libraries break ties their
own way (a probability of exactly one half is class 0 for some, class 1 for others), so a
row on the very edge of a window could be accepted by the solver and rejected by the model.
Every row is still checked against the library's own prediction before it is returned.
"""
from __future__ import annotations

import math
import re
from dataclasses import dataclass

import numpy as np

from ..models.adapter import ModelAdapter

INF = math.inf


@dataclass(frozen=True)
class Target:
    """What the counterfactual must achieve.

    `kind` is "class" (the model predicts `label`), "proba" (the probability of class
    `label`, by default a binary model's positive class, lies in [lo, hi]) or "raw" (the
    raw score, a regressor's prediction or a binary classifier's margin, lies in
    [lo, hi]). Build one with `desired_class`, `proba_range`, `raw_range`,
    `probability >= p`, `probability(of="setosa") >= p`, `raw_score <= v`, or a string
    such as "proba>=0.7" or "proba(setosa)>=0.7".

    >>> proba_range(0.7, 1.0)
    Target(proba >= 0.7)
    >>> probability(of="setosa") >= 0.7
    Target(proba('setosa') >= 0.7)
    """

    kind: str
    lo: float = -INF
    hi: float = INF
    label: object = None

    def __post_init__(self):
        if self.kind not in ("class", "proba", "raw"):
            raise ValueError(f"unknown target kind {self.kind!r}")
        for name in ("lo", "hi"):
            v = getattr(self, name)
            if not isinstance(v, (int, float, np.integer, np.floating)) or isinstance(v, bool):
                raise TypeError(f"target {name} must be a number, got {v!r}")
            if math.isnan(v):
                raise ValueError(f"target {name} is NaN")
            if (name == "lo" and v == INF) or (name == "hi" and v == -INF):
                raise ValueError(f"target {name} is {v}: no score reaches it")
            object.__setattr__(self, name, float(v))
        if self.kind == "proba" and not (0.0 <= self.lo <= 1.0 and 0.0 <= self.hi <= 1.0):
            raise ValueError(f"probability targets lie in [0, 1], got [{self.lo:g}, "
                             f"{self.hi:g}]")
        if self.lo > self.hi:
            raise ValueError(f"target window is empty: lo {self.lo:g} is above hi {self.hi:g}")

    def __repr__(self) -> str:
        return f"Target({self.describe()})"

    def describe(self) -> str:
        if self.kind == "class":
            return f"class {_plain(self.label)!r}"
        name = "proba" if self.kind == "proba" else "raw score"
        if self.kind == "proba" and self.label is not None:
            name = f"proba({_plain(self.label)!r})"
        if self.hi == INF or (self.kind == "proba" and self.hi == 1.0 and self.lo > 0.0):
            return f"{name} >= {self.lo:g}"
        if self.lo == -INF or (self.kind == "proba" and self.lo == 0.0 and self.hi < 1.0):
            return f"{name} <= {self.hi:g}"
        return f"{name} in [{self.lo:g}, {self.hi:g}]"


def desired_class(label) -> Target:
    """The model must predict class `label` (one of the classifier's `classes_`).

    >>> desired_class("approved")
    Target(class 'approved')
    """
    return Target("class", label=label)


def proba_range(lo: float = 0.0, hi: float = 1.0, *, of=None) -> Target:
    """The probability of class `of` (default: a binary model's positive class) must lie
    in [lo, hi] (0 <= lo <= hi <= 1).

    >>> probability >= 0.7
    Target(proba >= 0.7)
    >>> proba_range(0.2, 0.6, of=2)
    Target(proba(2) in [0.2, 0.6])
    """
    return Target("proba", lo, hi, label=of)


def raw_range(lo: float = -INF, hi: float = INF) -> Target:
    """The raw score (a regressor's prediction, a classifier's margin) must lie in [lo, hi].

    >>> raw_range(100, 200)
    Target(raw score in [100, 200])
    >>> raw_score >= 0
    Target(raw score >= 0)
    """
    return Target("raw", lo, hi)


class _Quantity:
    """`probability >= 0.7`, `probability(of="setosa") >= 0.7`, `raw_score <= 3.5`:
    comparisons that build a Target."""

    def __init__(self, kind: str, name: str, label=None):
        self._kind, self._name, self._label = kind, name, label

    def __call__(self, *, of) -> _Quantity:
        """The probability of class `of` (a label of the model's classes)."""
        if self._kind != "proba":
            raise TypeError(f"{self._name} takes no class")
        return _Quantity(self._kind, f"{self._name}(of={of!r})", of)

    def __ge__(self, value) -> Target:
        return Target(self._kind, lo=value, hi=1.0 if self._kind == "proba" else INF,
                      label=self._label)

    def __le__(self, value) -> Target:
        return Target(self._kind, lo=0.0 if self._kind == "proba" else -INF, hi=value,
                      label=self._label)

    def between(self, lo, hi) -> Target:
        return Target(self._kind, lo, hi, label=self._label)

    def __repr__(self) -> str:
        return self._name


probability = _Quantity("proba", "probability")
raw_score = _Quantity("raw", "raw_score")

_TEXT = re.compile(r"^\s*(class|label|proba|probability|raw|score|prediction)\s*"
                   r"(?:\(\s*(?:of\s*=\s*)?(.+?)\s*\))?\s*"
                   r"(>=|<=|==|=|in)\s*(.+?)\s*$", re.IGNORECASE)


def parse_target(text: str) -> Target:
    """A target from text: "class=1", "proba>=0.7", "proba<=0.3", "proba in [0.2, 0.6]",
    "proba(setosa)>=0.7" (the probability of class setosa), "raw>=0",
    "prediction in [100, 200]".

    >>> parse_target("proba >= 0.7")
    Target(proba >= 0.7)
    >>> parse_target("proba(setosa) >= 0.7")
    Target(proba('setosa') >= 0.7)
    """
    m = _TEXT.match(text)
    if not m:
        raise ValueError(f"cannot read the target {text!r}; write e.g. 'class=1', "
                         "'proba>=0.7', 'proba(LABEL)>=0.7' or 'raw in [0, 2]'")
    what, of, op, rest = m.group(1).lower(), m.group(2), m.group(3).lower(), m.group(4)
    if what in ("class", "label"):
        if op not in ("=", "==") or of is not None:
            raise ValueError(f"a class target is written 'class=LABEL', got {text!r}")
        return desired_class(_label(rest))
    kind = "proba" if what.startswith("proba") else "raw"
    if of is not None and kind != "proba":
        raise ValueError(f"only a probability names a class, as in 'proba(LABEL)>=0.7'; "
                         f"got {text!r}")
    label = None if of is None else _label(of)
    if op == "in":
        bounds = re.fullmatch(r"\[\s*([^,\]]+)\s*,\s*([^\]]+)\s*\]", rest)
        if not bounds:
            raise ValueError(f"write a window as [lo, hi], got {rest!r}")
        return Target(kind, _number(bounds.group(1), text), _number(bounds.group(2), text),
                      label)
    value = _number(rest, text)
    if op in ("=", "=="):
        return Target(kind, value, value, label)
    full = (0.0, 1.0) if kind == "proba" else (-INF, INF)
    return (Target(kind, value, full[1], label) if op == ">=" else
            Target(kind, full[0], value, label))


def _number(text: str, whole: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise ValueError(f"{text!r} in the target {whole!r} is not a number") from None


def _label(text: str):
    text = text.strip().strip("'\"")
    try:
        value = float(text)
    except ValueError:
        return text
    return int(value) if value.is_integer() else value


def as_target(target, adapter: ModelAdapter) -> Target:
    """A Target from what the user passed (a Target, a text, or a class label), checked
    against the model: a class it knows, a kind of target it can meet."""
    text = isinstance(target, str)
    if isinstance(target, Target):
        out = target
    elif text:
        out = parse_target(target)
    elif target is None:
        raise ValueError("a target is required, e.g. desired_class(1) or 'proba>=0.7'")
    elif isinstance(target, (tuple, list, dict)):
        raise TypeError("a target is a class label, a Target or a text; for a window use "
                        "morvel.proba_range(lo, hi) or morvel.raw_range(lo, hi)")
    else:
        out = desired_class(target)
    return for_model(out, adapter, text)


def for_model(target: Target, adapter: ModelAdapter, text: bool = False) -> Target:
    """`target` checked against one model. The label of a target given as `text` takes
    the type of the model's classes ('class=yes' and 'class=1' name labels of whatever
    type the classes have)."""
    if target.kind in ("class", "proba") and not adapter.is_classifier:
        raise ValueError(f"{adapter.name} is a regressor: state the target as a window on "
                         "its prediction, e.g. raw_range(lo, hi) or 'prediction>=100'")
    if adapter.multiclass and target.kind == "raw":
        raise ValueError(f"{adapter.name} has {len(adapter.classes)} classes: state the "
                         "target as a class (desired_class=LABEL) or a class's probability "
                         "(probability(of=LABEL) >= p)")
    if adapter.multiclass and target.kind == "proba" and target.label is None:
        raise ValueError(f"{adapter.name} has {len(adapter.classes)} classes: name the class "
                         "of the probability, e.g. probability(of=LABEL) >= p or "
                         "'proba(LABEL)>=p'")
    if target.label is not None:
        label = _label_as_model_type(target.label, adapter) if text else target.label
        adapter.class_index(label, "desired_class" if target.kind == "class" else "of")
        if label is not target.label:
            target = Target(target.kind, target.lo, target.hi, label)
    return target


def _label_as_model_type(label, adapter: ModelAdapter):
    if not isinstance(label, str):
        return label
    for known in adapter.classes:
        if str(known) == label:
            return known
    return label


def window(target: Target, adapter: ModelAdapter, margin: float,
           proba_eps: float) -> tuple[float, float]:
    """The raw-score window [lo_t, hi_t] that the solver must reach for `target` on a
    binary classifier or a regressor.

    `margin` is the largest difference expected between the core's raw score and the
    library's; `proba_eps` the rounding of the library's probabilities.
    """
    if target.kind == "raw":
        lo = target.lo + margin if target.lo > -INF else -INF
        hi = target.hi - margin if target.hi < INF else INF
        return (lo, hi) if lo <= hi else (target.lo, target.hi)
    if target.kind == "class":
        positive = adapter.class_index(target.label) == 1
        edge = 0.0 if adapter.output == "margin" else 0.5
        return (edge + margin, INF) if positive else (-INF, edge - margin)
    if target.label is not None and adapter.class_index(target.label) == 0:
        target = Target("proba", 1.0 - target.hi, 1.0 - target.lo)  # P(1) = 1 - P(0)
    if adapter.output == "probability":
        return probability_window(target, margin)
    return logit_window(target, adapter.name, margin, proba_eps)


def probability_window(target: Target, margin: float) -> tuple[float, float]:
    """The window on a score that is the probability itself."""
    lo = -INF if target.lo <= 0.0 else min(target.lo + margin, 1.0 - margin)
    hi = INF if target.hi >= 1.0 else max(target.hi - margin, margin)
    return lo, hi


def logit_window(target: Target, name: str, margin: float, proba_eps: float,
                 shift: float = 0.0) -> tuple[float, float]:
    """The window on a margin m whose probability is sigmoid(m - shift)."""
    if target.lo >= 1.0 or target.hi <= 0.0:
        raise ValueError(f"{target.describe()} cannot be reached: {name}'s probability "
                         "is strictly between 0 and 1")
    lo = (-INF if target.lo <= 0.0 else
          _logit(_inside(target.lo + proba_eps, target.lo)) + shift + margin)
    hi = (INF if target.hi >= 1.0 else
          _logit(_inside(target.hi - proba_eps, target.hi)) + shift - margin)
    return lo, hi


def _inside(p: float, fallback: float) -> float:
    """`p` when it is a probability strictly between 0 and 1, else halfway from `fallback`
    towards the nearer end of that open interval."""
    if 0.0 < p < 1.0:
        return p
    return 0.5 * fallback if p <= 0.0 else 0.5 * (fallback + 1.0)


def _logit(p: float) -> float:
    if p <= 0.0:
        return -INF
    if p >= 1.0:
        return INF
    return math.log(p) - math.log1p(-p)


def met(target: Target, adapter: ModelAdapter, library_rows) -> np.ndarray:
    """Whether the library itself says each row meets the target."""
    return met_by(target, adapter, library_values(target, adapter, library_rows))


def library_values(target: Target, adapter: ModelAdapter, library_rows) -> np.ndarray:
    """The library's own prediction for each row in the target's terms: the index (into
    the model's classes) of the predicted class, the probability of the target's class,
    or the raw score."""
    if target.kind == "class":
        return adapter.predicted_index(library_rows)
    if target.kind == "proba":
        return adapter.proba(library_rows, target.label)
    return adapter.raw(library_rows)


def met_by(target: Target, adapter: ModelAdapter, values: np.ndarray) -> np.ndarray:
    """Whether `library_values` meet the target."""
    if target.kind == "class":
        return values == adapter.class_index(target.label)
    return (values >= target.lo) & (values <= target.hi)


def _plain(value):
    return value.item() if isinstance(value, np.generic) else value
