"""The score windows a counterfactual must reach: the target, for every model that must
accept the row (the explained one and those of `also_valid_for`), as windows on flat
ensembles. The first window is the solvers' own (ensemble, lo, hi); the others go to
their `windows=` argument.

- A binary classifier or a regressor: one window on its score (`targets.window`).
- A multi-class model predicts class c when c's score beats every other class k's:
  c's score minus k's (`multiclass.beats`, itself a sum of trees) above a margin. The
  library's argmax takes the first of several maximal classes, so a forest, whose class
  differences tie in whole numbers of trees, may tie with a class k after c (window
  [0, inf) at the first attempt) but never with one before it.
- "P(c) in [lo, hi]": one window on c's averaged leaf probability for a forest, on c's
  margin for a one-vs-rest model; both exact. A softmax model's probability is not a sum
  of trees: every difference c - k at least log((K - 1) lo / (1 - lo)) and at most
  log((K - 1) hi / (1 - hi)) implies the target without being implied by it, so such a
  goal is a sufficient condition (`Goal.exact` false) and its rows are not proved optimal.
"""
from __future__ import annotations

import math
import threading
from dataclasses import dataclass

import numpy as np

from ..models.multiclass import beats
from ..problem import targets as tg
from ..problem.prepare import raw_margin

INF = math.inf
_SMALLEST_POSITIVE = math.ulp(0.0)  # "> 0" as a closed window
_LOCK = threading.Lock()


@dataclass(frozen=True, eq=False)
class Goal:
    """Windows [lo[i], hi[i]] on the scores of `ensembles[i]` (native ensembles, with
    their `missing_defined` arrays) that a row must meet at once."""

    ensembles: tuple
    missing: tuple
    lo: tuple
    hi: tuple
    exact: bool = True  # False: the windows imply the target, but not conversely

    @property
    def ensemble(self):
        return self.ensembles[0]

    @property
    def bounds(self) -> tuple[float, float]:
        """The first window, the solvers' own."""
        return self.lo[0], self.hi[0]

    @property
    def further(self) -> list | None:
        """The solvers' `windows=` argument: the windows after the first, or None."""
        if len(self.ensembles) == 1:
            return None
        return list(zip(self.ensembles[1:], self.lo[1:], self.hi[1:], self.missing[1:]))

    def scores(self, rows: np.ndarray) -> np.ndarray:
        """The first window's score of each row."""
        return self.ensembles[0].raw_score_batch(np.ascontiguousarray(rows))

    def inside(self, rows: np.ndarray, first_scores: np.ndarray | None = None) -> np.ndarray:
        """Whether each row scores inside every window (`first_scores`: the first
        window's scores, when known)."""
        rows = np.ascontiguousarray(rows, dtype=np.float64)
        s = self.scores(rows) if first_scores is None else first_scores
        ok = (s >= self.lo[0]) & (s <= self.hi[0])
        for e, lo, hi in zip(self.ensembles[1:], self.lo[1:], self.hi[1:]):
            if ok.any():
                s = e.raw_score_batch(rows)
                ok &= (s >= lo) & (s <= hi)
        return ok


def goal(ex, target: tg.Target, margin: float) -> Goal:
    """The windows of `target` for every model of the explainer `ex`, `margin` being the
    explained model's raw-score margin (`ex.margin` at the first attempt; the other
    windows' margins grow in proportion). A negative margin widens every window instead:
    the rows whose core scores say they likely meet the target."""
    factor = margin / ex.margin
    windows, exact = [], True
    for i, adapter in enumerate(ex.adapters):
        own, eps = ex.model_margins[i]
        eps = math.copysign(eps, factor)
        if not adapter.multiclass:
            lo, hi = tg.window(target, adapter, margin if i == 0 else own * factor, eps)
            windows.append((_native(ex, (i,), lambda a=adapter: a.flat), lo, hi))
            continue
        more, model_exact = _multiclass(ex, i, adapter, target, factor, eps)
        windows += more
        exact &= model_exact
    natives = [w[0] for w in windows]
    return Goal(tuple(n[0] for n in natives), tuple(n[1] for n in natives),
                tuple(float(w[1]) for w in windows), tuple(float(w[2]) for w in windows),
                exact)


def _multiclass(ex, i: int, adapter, target: tg.Target, factor: float, eps: float):
    scores = adapter.scores
    c = adapter.class_index(target.label)
    if target.kind == "proba" and scores.link != "softmax":
        native = _native(ex, (i, c), lambda: scores.per_class[c])
        m = factor * native[2]
        if scores.link == "average":
            lo, hi = tg.probability_window(target, m)
        else:  # P(c) = sigmoid(scale * margin of c)
            lo, hi = tg.logit_window(target, adapter.name, 0.0, eps)
            lo, hi = lo / scores.scale + m, hi / scores.scale - m
        return [(native, lo, hi)], True
    out = []
    for k in range(scores.n_classes):
        if k == c:
            continue
        native = _native(ex, (i, c, k), lambda k=k: beats(scores, c, k))
        m = factor * native[2]
        if target.kind == "proba":  # the sufficient condition on softmax probabilities
            lo, hi = tg.logit_window(target, adapter.name, m, eps,
                                     shift=math.log(scores.n_classes - 1))
        elif scores.link == "average" and k > c and factor <= 1.0:
            lo, hi = min(m, 0.0), INF
        else:
            lo, hi = (m if m < 0.0 else max(m, _SMALLEST_POSITIVE)), INF
        out.append((native, lo, hi))
    return out, target.kind == "class"


def _native(ex, key: tuple, flat_of) -> tuple:
    """(native ensemble, missing_defined, raw-score margin) of a window's ensemble,
    built once per explainer (`flat_of()` gives the flat ensemble)."""
    cache = ex.window_ensembles
    found = cache.get(key)
    if found is None:
        with _LOCK:
            found = cache.get(key)
            if found is None:
                adapter = ex.adapters[key[0]]
                flat = flat_of()
                core = ex.ensemble if key == (0,) else flat.to_core()
                found = (core, np.ascontiguousarray(flat.missing_defined, dtype=np.uint8),
                         raw_margin(flat, adapter.float32_inputs))
                cache[key] = found
    return found


# -- the libraries' own verdicts ----------------------------------------------------------

def library_accepts(ex, target: tg.Target, rows: np.ndarray,
                    first_values: np.ndarray | None = None) -> np.ndarray:
    """Whether every model's library says each row meets the target (`first_values`: the
    explained model's `targets.library_values`, when known)."""
    rows = np.atleast_2d(rows)
    ok = np.ones(len(rows), dtype=bool)
    for i, (adapter, schema) in enumerate(zip(ex.adapters, ex.schemas)):
        if not ok.any():
            break
        if i == 0 and first_values is not None:
            values = first_values
        else:
            values = tg.library_values(target, adapter, schema.library_input(rows))
        ok &= tg.met_by(target, adapter, values)
    return ok
