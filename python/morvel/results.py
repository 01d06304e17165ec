"""Result objects: one counterfactual, its certified region, and their notebook views."""
from __future__ import annotations

import html
import math
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np
import pandas as pd

from .lazy import LazyField, given
from .problem.targets import Target

# What a result's status says, for people.
STATUS_TEXT = {
    "found": "counterfactual found",
    "already_valid": "the row already meets the target",
    "infeasible": "no counterfactual exists under these rules (proved)",
    "not_found": "no counterfactual found within the budget",
}


@dataclass(frozen=True, eq=False)
class Counterfactual:
    """The cheapest change found that makes the model meet the target.

    Attributes:
        status: "found", "already_valid" (returned unchanged, distance 0), "infeasible"
            (proved: no row satisfies the rules and the target) or "not_found" (the budget
            ended first; see `message`).
        factual: the explained row, as given (Series, one-row DataFrame, dict or array).
        counterfactual: the changed row in the same type, or None.
        changes: a DataFrame of the changed features (feature, from, to).
        distance: the counterfactual's distance from the factual row, or None.
        optimal: the solver proved that no valid row is cheaper (up to the readable-value
            allowance; see `Explainer`).
        proof: the solver's proof word ("optimal", "optimal_within_gap", "heuristic",
            "optimal_sufficient": the cheapest row of a sufficient condition, for a softmax
            model's probability target, not proved optimal) or "infeasible" / "none".
        lower_bound: a proved lower bound on the distance of any valid row (NaN if none).
        gap: (distance - lower_bound) / distance, 0 when optimal.
        prediction: what the model says of the counterfactual (class, probability or raw
            score, by the target's kind), by the library's own predict.
        stats: solver statistics (nodes, time, generations, search mode, ...).

    >>> cf = explainer.explain(row, "proba>=0.7")          # doctest: +SKIP
    >>> cf.changes                                          # doctest: +SKIP
          feature   from      to
    0      income  29000   35000
    """

    status: str
    target: Target
    method: str
    factual: Any
    counterfactual: Any = LazyField()  # made on first read, as are the changes
    changes: pd.DataFrame = LazyField()
    distance: float | None
    optimal: bool
    proof: str
    lower_bound: float
    gap: float
    prediction: Any
    stats: dict
    message: str = ""
    values: np.ndarray | None = field(default=None, repr=False)  # the row of codes
    _region: Callable | None = field(default=None, repr=False)
    scales: dict | None = field(default=None, repr=False)  # feature: the distance's scale

    @property
    def found(self) -> bool:
        """A counterfactual row is available (also when the row already met the target)."""
        return given(self, "counterfactual")

    def region(self, *, maximal: bool = False, budget: int = 1_000_000) -> Region:
        """The certified box around the counterfactual: every row inside it meets the
        target and the linear rules. With `maximal=True`, sides are proved maximal where
        the slab search (up to `budget` nodes per side) can. The default budget decides
        about 9 in 10 sides on 300- to 500-tree models, in a second or a few seconds per
        region; a smaller one answers sooner and leaves more sides undecided."""
        if self._region is None or self.values is None:
            raise ValueError(f"no region: {STATUS_TEXT[self.status]}")
        return self._region(self.values, maximal=maximal, budget=budget)

    def plot(self, ax=None, **options):
        """Factual vs counterfactual of each changed feature, in units of the feature's
        scale (needs matplotlib: `pip install 'morvel[plot]'`); returns the Axes.

        >>> cf.plot().figure.savefig("counterfactual.png")      # doctest: +SKIP
        """
        from .frontends.plots import plot_counterfactual

        return plot_counterfactual(self, ax, **options)

    def summary(self) -> dict:
        """The scalar facts of this result as one flat dict (a row of `explain_many`)."""
        return {"found": self.found, "status": self.status, "optimal": self.optimal,
                "distance": self.distance, "lower_bound": self.lower_bound, "gap": self.gap,
                "n_changes": len(self.changes)}

    def __repr__(self) -> str:
        head = f"Counterfactual({self.status}: {self.target.describe()}, method={self.method})"
        lines = [head]
        if self.distance is not None:
            lines.append(f"  distance {self.distance:.6g}, {_proof_text(self)}")
        if self.message:
            lines.append(f"  {self.message}")
        if len(self.changes):
            lines += ["  " + s for s in self.changes.to_string(index=False).splitlines()]
        return "\n".join(lines)

    def _repr_html_(self) -> str:
        facts = [("status", STATUS_TEXT[self.status]), ("target", self.target.describe()),
                 ("method", self.method)]
        if self.distance is not None:
            facts += [("distance", f"{self.distance:.6g}"), ("proof", _proof_text(self))]
        if self.prediction is not None:
            facts.append(("prediction", f"{self.prediction}"))
        if self.message:
            facts.append(("note", self.message))
        table = "".join(f"<tr><th style='text-align:left'>{html.escape(k)}</th>"
                        f"<td style='text-align:left'>{html.escape(str(v))}</td></tr>"
                        for k, v in facts)
        changes = self.changes.to_html(index=False) if len(self.changes) else ""
        return f"<div><b>Counterfactual</b><table>{table}</table>{changes}</div>"


def _proof_text(cf: Counterfactual) -> str:
    if cf.optimal:
        return "proved optimal"
    if math.isnan(cf.lower_bound):
        return f"{cf.proof} (no lower bound)"
    return f"{cf.proof}, lower bound {cf.lower_bound:.6g} (gap {cf.gap:.2%})"


@dataclass(frozen=True, eq=False)
class Region:
    """A certified box around a counterfactual: every row whose numeric features lie in
    [low, high] and whose categorical features take one of `categories` (the other
    features at their counterfactual values) meets the target and the linear rules.

    `table` has one row per feature: feature, low, high, categories (labels, for the
    categorical features that could grow), counterfactual, whether each side was proved
    maximal (maximal mode), and the factual value."""

    table: pd.DataFrame
    witnesses: pd.DataFrame
    stats: dict
    scales: dict = field(default_factory=dict, repr=False)  # feature: the distance's scale

    def plot(self, ax=None, **options):
        """Each feature's certified interval with the factual and the counterfactual
        marked (needs matplotlib: `pip install 'morvel[plot]'`); returns the Axes."""
        from .frontends.plots import plot_region

        return plot_region(self, ax, **options)

    def to_frame(self) -> pd.DataFrame:
        return self.table.copy()

    def __repr__(self) -> str:
        return "Region(\n" + self.table.to_string(index=False) + "\n)"

    def _repr_html_(self) -> str:
        return "<div><b>Certified region</b>" + self.table.to_html(index=False) + "</div>"


# Why a list of alternatives ends, for people.
END_TEXT = {
    "complete": "as many as asked",
    "exhausted": "no further alternative exists under the rule (proved)",
    "stopped": "the search for the next alternative ended without a row",
}


class Alternatives(list):
    """Several counterfactuals for one row, cheapest first (a list of `Counterfactual`).
    Each next one is the cheapest valid row whose set of changed features differs from
    every earlier one's by the diversity rule, proved optimal under that rule or carrying
    its gap. The first entry is what `explain` returns without alternatives.

    Attributes:
        end: why there are no more: "complete" (as many as asked), "exhausted" (proved: no
            further row keeps the rule) or "stopped" (a search ended without a row or a
            proof; see `message`).
        message: the last search's note when it ended without a row.

    >>> for cf in explainer.explain(row, "proba>=0.7", alternatives=3):   # doctest: +SKIP
    ...     print(cf.distance, list(cf.changes.feature))
    """

    def __init__(self, items=(), end: str = "complete", message: str = ""):
        super().__init__(items)
        self.end, self.message = end, message

    def to_frame(self) -> pd.DataFrame:
        """One row per alternative: rank, the scalar facts of `summary()`, and the changes
        as "feature: from -> to" text."""
        rows = []
        for rank, cf in enumerate(self, start=1):
            moves = "; ".join(f"{f}: {a} -> {b}" for f, a, b in cf.changes.itertuples(index=False))
            rows.append({"rank": rank, **cf.summary(), "changes": moves})
        return pd.DataFrame(rows)

    def __repr__(self) -> str:
        lines = [f"Alternatives({len(self)}; {END_TEXT[self.end]})"]
        for rank, cf in enumerate(self, start=1):
            lines += [f"  {rank}. " + s for s in repr(cf).splitlines()[:1]]
            lines += ["     " + s for s in repr(cf).splitlines()[1:]]
        return "\n".join(lines)

    def _repr_html_(self) -> str:
        parts = [f"<div><b>{len(self)} alternative{'s' if len(self) != 1 else ''}</b> "
                 f"({html.escape(END_TEXT[self.end])})"]
        for rank, cf in enumerate(self, start=1):
            head = f"{rank}. {STATUS_TEXT[cf.status]}"
            if cf.distance is not None:
                head += f": distance {cf.distance:.6g}, {_proof_text(cf)}"
            parts.append(f"<p>{html.escape(head)}</p>")
            if len(cf.changes):
                parts.append(cf.changes.to_html(index=False))
        if self.message and self.end == "stopped":
            parts.append(f"<p>{html.escape(self.message)}</p>")
        return "".join(parts) + "</div>"
