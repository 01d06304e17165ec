"""Pictures of results (matplotlib, the optional extra `morvel[plot]`).

Features live on different scales, so both plots measure a move in units of each
feature's scale (the distance model's: the median absolute deviation by default); the
axis then reads as "how unusual a change is", and the labels give the values themselves.
"""
from __future__ import annotations

import math

import numpy as np

_CATEGORY_STEP = 1.0  # a changed category or a change to/from missing: drawn one unit long
_FACTUAL, _COUNTERFACTUAL, _REGION = "#7f7f7f", "#d62728", "#1f77b4"


def _pyplot():
    try:
        import matplotlib.pyplot as plt
    except ImportError:
        raise ImportError("plots need matplotlib (pip install 'morvel[plot]')") from None
    return plt


def _axes(ax, n_rows: int):
    if ax is not None:
        return ax
    _, ax = _pyplot().subplots(figsize=(7.0, 1.2 + 0.45 * max(n_rows, 1)),
                               layout="constrained")
    return ax


def _number(v) -> float | None:
    """v as a float when it is a number (not a label, not missing)."""
    if isinstance(v, (bool, np.bool_)) or not isinstance(v, (int, float, np.number)):
        return None
    v = float(v)
    return None if math.isnan(v) else v


def _text(v) -> str:
    if v is None or (isinstance(v, float) and math.isnan(v)):
        return "missing"
    return f"{v:.4g}" if isinstance(v, (float, np.floating)) else str(v)


def plot_counterfactual(cf, ax=None, *, max_features: int = 25):
    """Factual and counterfactual value of each changed feature, the move drawn as an
    arrow in units of the feature's scale; returns the matplotlib Axes."""
    changes = cf.changes.head(max_features)
    ax = _axes(ax, len(changes))
    title = f"{cf.target.describe()}: "
    if not cf.found or len(changes) == 0:
        ax.text(0.5, 0.5, "no change needed" if cf.found else "no counterfactual found",
                ha="center", va="center", transform=ax.transAxes)
        ax.set_axis_off()
        ax.set_title(title + cf.status)
        return ax
    scales = cf.scales or {}
    shifts = []
    for row in changes.itertuples(index=False):
        a, b = _number(row[1]), _number(row[2])
        scale = scales.get(row[0], 1.0)
        shifts.append((b - a) / scale if a is not None and b is not None else _CATEGORY_STEP)
    y = np.arange(len(changes))[::-1]
    reach = max(max(abs(s) for s in shifts), 1e-12)
    for k, (row, shift) in enumerate(zip(changes.itertuples(index=False), shifts)):
        ax.annotate("", xy=(shift, y[k]), xytext=(0.0, y[k]),
                    arrowprops=dict(arrowstyle="-|>", color=_COUNTERFACTUAL, lw=2))
        ax.plot([0.0], [y[k]], "o", color=_FACTUAL)
        ax.plot([shift], [y[k]], "o", color=_COUNTERFACTUAL)
        label = f"{_text(row[1])} \u2192 {_text(row[2])}"
        side = 1 if shift >= 0 else -1
        ax.text(shift + side * 0.04 * reach, y[k] + 0.18, label, va="bottom",
                ha="left" if side > 0 else "right", fontsize=9)
    ax.axvline(0.0, color=_FACTUAL, lw=1, ls=":")
    ax.set_yticks(y, [str(f) for f in changes["feature"]])
    ax.set_ylim(-0.7, len(changes) - 0.2)
    ax.set_xlim(-1.35 * reach, 1.35 * reach)
    ax.set_xlabel("change, in units of each feature's scale (grey: factual, red: "
                  "counterfactual)")
    ax.set_title(title + f"distance {cf.distance:.4g}" + (", proved optimal" if cf.optimal
                                                         else ""))
    return ax


def plot_region(region, ax=None, *, max_features: int = 25, clip: float = 3.0):
    """Each feature's certified interval around the counterfactual (in units of the
    feature's scale, centred on the counterfactual), with the factual (x) and the
    counterfactual (dot) marked; a side proved maximal ends in a bar, an unbounded side
    runs off the axis at +-`clip` units. Categorical features list their allowed labels.
    Returns the matplotlib Axes."""
    table = region.table
    shown = [r for r in table.itertuples(index=False) if _moves(r)][:max_features]
    ax = _axes(ax, len(shown))
    scales = region.scales or {}
    y = np.arange(len(shown))[::-1]
    for k, r in enumerate(shown):
        cf = _number(r.counterfactual)
        factual = _number(getattr(r, "factual", None))
        if isinstance(r.categories, (list, tuple)) and cf is None:
            labels = ", ".join(map(str, r.categories))
            ax.text(-clip, y[k], f"{{{labels}}}", va="center", fontsize=9, color=_REGION)
            continue
        scale = scales.get(r.feature, 1.0)
        lo = _clipped((r.low - cf) / scale, clip)
        hi = _clipped((r.high - cf) / scale, clip)
        ax.plot([lo, hi], [y[k], y[k]], color=_REGION, lw=6, alpha=0.5,
                solid_capstyle="butt")
        for end, maximal in ((lo, r.maximal_low), (hi, r.maximal_high)):
            if maximal and abs(end) < clip:
                ax.plot([end], [y[k]], "|", color=_REGION, ms=14, mew=2)
        ax.plot([0.0], [y[k]], "o", color=_COUNTERFACTUAL)
        if factual is not None:
            ax.plot([_clipped((factual - cf) / scale, clip)], [y[k]], "x", color=_FACTUAL,
                    ms=8, mew=2)
        ax.text(clip, y[k] + 0.2, f"[{_text(r.low)}, {_text(r.high)}]", ha="right",
                va="bottom", fontsize=8)
    ax.set_yticks(y, [str(r.feature) for r in shown])
    ax.set_xlim(-clip * 1.05, clip * 1.05)
    ax.set_ylim(-0.7, max(len(shown), 1) - 0.2)
    ax.axvline(0.0, color=_COUNTERFACTUAL, lw=1, ls=":")
    ax.set_xlabel("units of each feature's scale from the counterfactual (dot); x: factual")
    ax.set_title("certified region: every row inside meets the target")
    return ax


def _moves(r) -> bool:
    """Rows worth a line: numeric features whose interval is more than a point, changed
    features, and categorical features with more than one allowed label."""
    if isinstance(r.categories, (list, tuple)) and _number(r.counterfactual) is None:
        return len(r.categories) > 1
    wide = r.low < r.high
    factual = getattr(r, "factual", None)
    return wide or (factual is not None and _number(factual) != _number(r.counterfactual))


def _clipped(v: float, clip: float) -> float:
    return max(-clip, min(clip, v))
