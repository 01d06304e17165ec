"""Readable values: within the cell the solver chose, the simplest number.

The solver places a changed feature at a cell's edge nearest to the factual value, nudged
inside an open edge, which gives values like 29050.001953125. Any value of the same cell
routes every tree alike, so the row keeps its score; among the values of the cell whose
extra cost stays within a small allowance, the one with the fewest significant digits
(a whole number for whole-number columns), nearest to the factual value, reads best.
The caller verifies the readable row again (score, rules, the library) before using it.
"""
from __future__ import annotations

import bisect
import math
from dataclasses import dataclass

import numpy as np

from ..models import FlatEnsemble


@dataclass(frozen=True)
class Interval:
    lo: float
    hi: float
    lo_open: bool = False
    hi_open: bool = False

    def __contains__(self, v: float) -> bool:
        above = v > self.lo or (v == self.lo and not self.lo_open)
        below = v < self.hi or (v == self.hi and not self.hi_open)
        return above and below

    def meet(self, other: Interval) -> Interval:
        lo, lo_open = max((self.lo, self.lo_open), (other.lo, other.lo_open))
        hi, hi_open = min((self.hi, not self.hi_open), (other.hi, not other.hi_open))
        return Interval(lo, hi, lo_open, not hi_open)


class SplitTable:
    """The numeric split points of every feature over one or more flat ensembles, plus
    extra cut points (values where a rule's condition changes)."""

    def __init__(self, flats: list[FlatEnsemble], cuts: dict[int, list[float]] | None = None):
        found: dict[int, list] = {}
        for flat in flats:
            numeric = (flat.feature >= 0) & (flat.node_set < 0)
            for j in np.unique(flat.feature[numeric]):
                at = numeric & (flat.feature == j)
                found.setdefault(int(j), []).append((flat.threshold[at], flat.is_lt[at] == 1))
        # Per feature, the distinct thresholds of `v < t` splits and of `v <= t` splits,
        # sorted (Python lists: one cell is a few binary searches, where numpy's own calls
        # would cost more than the search).
        self._splits: dict[int, tuple[list, list]] = {}
        for j, parts in found.items():
            t = np.concatenate([p[0] for p in parts])
            lt = np.concatenate([p[1] for p in parts])
            self._splits[j] = (np.unique(t[lt]).tolist(), np.unique(t[~lt]).tolist())
        self._cuts = {j: np.asarray(sorted(set(v)), dtype=np.float64)
                      for j, v in (cuts or {}).items()}

    def cell(self, j: int, v: float) -> Interval:
        """The values of feature j that every split and cut treats as it treats `v`."""
        cell = Interval(-math.inf, math.inf, True, True)
        lt, le = self._splits.get(j, _NONE)
        # v goes left at `v < t` for t > v and at `v <= t` for t >= v; right elsewhere.
        i_lt, i_le = bisect.bisect_right(lt, v), bisect.bisect_left(le, v)
        up = [(lt[i_lt], True)] if i_lt < len(lt) else []
        up += [(le[i_le], False)] if i_le < len(le) else []
        down = [(lt[i_lt - 1], True)] if i_lt > 0 else []
        down += [(le[i_le - 1], False)] if i_le > 0 else []
        if up:  # the lowest split v goes left at; `<` (open) first at a tie
            t, strict = min(up, key=lambda s: (s[0], not s[1]))
            cell = cell.meet(Interval(-math.inf, t, True, strict))
        if down:  # the highest split v goes right at; `<=` (open) first at a tie
            t, strict = max(down, key=lambda s: (s[0], not s[1]))
            cell = cell.meet(Interval(t, math.inf, not strict, True))
        for c in self._cuts.get(j, ()):
            if v == c:
                return Interval(v, v)
            cell = cell.meet(Interval(-math.inf, c, True, True) if v < c
                             else Interval(c, math.inf, True, True))
        return cell


_NONE: tuple[list, list] = ([], [])


def simplest(interval: Interval, target: float, integer: bool = False) -> float | None:
    """The number of `interval` with the fewest significant digits, nearest to `target`
    among those; only whole numbers when `integer`. None when there is none (or only
    numbers with more than 17 significant digits)."""
    if 0.0 in interval:
        return 0.0
    ends = [abs(v) for v in (interval.lo, interval.hi) if math.isfinite(v)]
    if not ends:
        ends = [abs(target)] if math.isfinite(target) and target != 0.0 else [1.0]
    top = math.floor(math.log10(max(ends) or 1.0)) + 1
    smallest = math.floor(math.log10(min(v for v in ends if v > 0) if any(ends) else 1.0))
    bottom = 0 if integer else smallest - 17
    best = None
    for e in range(top, bottom - 1, -1):
        # Every number of the interval at this step has at least this many digits.
        if best is not None and smallest - e + 1 > best[0][0]:
            break
        found = _multiples(interval, e, target)
        if found is not None and (best is None or found[0] < best[0]):
            best = found
    return None if best is None else best[1]


def _multiples(interval: Interval, e: int, target: float):
    """((digits, distance to target), value) of the best multiple of 10^e inside."""
    step = 10.0 ** e
    lo = interval.lo if math.isfinite(interval.lo) else target - 10 * step
    hi = interval.hi if math.isfinite(interval.hi) else target + 10 * step
    k_lo, k_hi = math.floor(lo / step) - 1, math.ceil(hi / step) + 1
    if k_hi - k_lo > 64:  # many multiples fit: the nearest to the target are enough
        centre = round(min(max(target, lo), hi) / step)
        k_lo, k_hi = max(k_lo, centre - 32), min(k_hi, centre + 32)
    best = None
    for k in range(k_lo, k_hi + 1):
        digits = len(str(abs(k)).rstrip("0"))
        if best is not None and digits > best[0][0]:  # cannot win: parse no number
            continue
        v = float(f"{k}e{e}") + 0.0  # never a negative zero
        if v in interval:
            key = (digits, abs(v - target))
            if best is None or key < best[0]:
                best = (key, v)
    return best


def readable_value(cell: Interval, bounds: Interval, value: float, factual: float,
                   slack: float, integer: bool) -> float:
    """The simplest value of `cell` within `bounds` whose distance from `factual` exceeds
    that of `value` by at most `slack` (in the feature's own units), the nearest to
    `factual` among equally simple ones; `value` itself when nothing simpler or, as
    simple, nearer qualifies."""
    if math.isnan(value) or math.isnan(factual):
        return value
    reach = abs(value - factual) + slack
    room = cell.meet(bounds).meet(Interval(factual - reach, factual + reach))
    if value not in room:
        return value
    better = simplest(room, factual, integer)
    # as simple and no farther from the factual row: nothing to gain
    if better is None or ((_digits(better), abs(better - factual))
                          >= (_digits(value), abs(value - factual))):
        return value
    return better


def _digits(v: float) -> int:
    """Significant digits of the shortest decimal that reads back as `v`."""
    # float(): a NumPy scalar's repr names its type around the number
    mantissa = repr(abs(float(v))).split("e")[0].replace(".", "").lstrip("0").rstrip("0")
    return len(mantissa) if mantissa else 0
