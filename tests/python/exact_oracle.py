"""Independent brute force for exact counterfactuals over small numeric ensembles.

Cells are rebuilt here from the thresholds, each cell's candidate is the point of
(cell intersected with the instance box) nearest to the factual value with the same
single-precision preference next to open ends, and every combination is scored and
checked through the module's batch entry points.
"""
import itertools
import math

import numpy as np

INF = math.inf


def f32_step(v, up):
    f = np.float32(v)
    if np.isnan(f) or (up and f == np.inf) or (not up and f == -np.inf):
        return float(f)
    return float(np.nextafter(f, np.float32(np.inf if up else -np.inf)))


def f64_step(v, up):
    if math.isnan(v) or v == (INF if up else -INF):
        return v
    return float(np.nextafter(v, INF if up else -INF))


class Interval:
    def __init__(self, lo, hi, lo_open, hi_open):
        self.lo, self.hi, self.lo_open, self.hi_open = lo, hi, lo_open, hi_open

    def above_lo(self, v):
        return v > self.lo or (v == self.lo and not self.lo_open)

    def below_hi(self, v):
        return v < self.hi or (v == self.hi and not self.hi_open)

    def contains(self, v):
        return self.above_lo(v) and self.below_hi(v)

    def empty(self):
        return self.hi < self.lo or (self.hi == self.lo and (self.lo_open or self.hi_open))

    def nearest(self, v):
        if self.contains(v):
            return v
        if v <= self.lo:
            if not self.lo_open:
                return self.lo
            c = f32_step(self.lo, True)
            if c > self.lo and self.below_hi(c):
                return c
            return f64_step(self.lo, True)
        if not self.hi_open:
            return self.hi
        c = f32_step(self.hi, False)
        if c < self.hi and self.above_lo(c):
            return c
        return f64_step(self.hi, False)

    def clip(self, lo, hi):
        out = Interval(self.lo, self.hi, self.lo_open, self.hi_open)
        if self.lo < lo:
            out.lo, out.lo_open = lo, False
        if hi < self.hi:
            out.hi, out.hi_open = hi, False
        return out


def cells_of(thresholds):
    """thresholds: list of (t, is_lt) for one feature."""
    flags = {}
    for t, lt in thresholds:
        t = 0.0 if t == 0 else t
        has = flags.setdefault(t, [False, False])
        has[0 if lt else 1] = True
    cells, lower, lower_open = [], -INF, True
    for t in sorted(flags):
        has_lt, has_le = flags[t]
        if has_lt and has_le:
            cells += [Interval(lower, t, lower_open, True), Interval(t, t, False, False)]
            lower_open = True
        elif has_le:
            cells.append(Interval(lower, t, lower_open, False))
            lower_open = True
        else:
            cells.append(Interval(lower, t, lower_open, True))
            lower_open = False
        lower = t
    cells.append(Interval(lower, INF, lower_open, True))
    return cells


def feature_cost(x, v, w, s, lam):
    if v == x:
        return 0.0
    return w * abs(v - x) / s + lam


def split_points(arrays_list, n_features):
    """(threshold, is_lt) per feature over the numeric splits of every ensemble given."""
    points = [[] for _ in range(n_features)]
    for arrays in arrays_list:
        node_set = arrays.get("node_set")
        for i, f in enumerate(arrays["feature"]):
            if f >= 0 and (node_set is None or node_set[i] < 0):
                points[f].append((float(arrays["threshold"][i]), bool(arrays["is_lt"][i])))
    return points


def brute_force(arrays, n_features, ensemble, constraints, x, lo_t, hi_t, sigma, weights, lam,
                box_lo=None, box_hi=None, score=None, extra=(), plausible=None,
                ranked=False):
    """Cheapest accepted row over all cell combinations; (cost, row) or (inf, None).

    `score(rows)` gives raw scores (default: the ensemble's own); `extra` are further
    flat ensembles whose splits refine the cells; `plausible(rows)` filters rows. With
    `ranked`, every accepted row and its cost, cheapest first (ties in row order).
    """
    box_lo = [-INF] * n_features if box_lo is None else box_lo
    box_hi = [INF] * n_features if box_hi is None else box_hi
    per_feature = []
    for f, splits in enumerate(split_points([arrays, *extra], n_features)):
        values = []
        for cell in cells_of(splits):
            part = cell.clip(box_lo[f], box_hi[f])
            if part.empty():
                continue
            v = part.nearest(x[f])
            if v not in values:
                values.append(v)
        per_feature.append(values)
    rows = np.array(list(itertools.product(*per_feature)), dtype=np.float64)
    if rows.size == 0:
        return INF, None
    scores = ensemble.raw_score_batch(rows) if score is None else score(rows)
    ok = (scores >= lo_t) & (scores <= hi_t) & constraints.check(rows, x)
    if plausible is not None:
        ok &= plausible(rows)
    best, best_row, found = INF, None, []
    for row in rows[ok]:
        cost = 0.0
        for f in range(n_features):
            cost += feature_cost(x[f], row[f], weights[f], sigma[f], lam)
        found.append((cost, row))
        if cost < best:
            best, best_row = cost, row
    if ranked:
        return sorted(found, key=lambda item: item[0])
    return best, best_row
