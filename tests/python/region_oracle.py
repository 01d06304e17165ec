"""Independent checks for certified regions, written from the flat model arrays alone.

- `Model`: a flat ensemble's arrays with a plain recursive bracket walk (the smallest and
  largest leaf some point of a box reaches) and routing of single rows.
- `feature_cells`: cells of every feature from the numeric thresholds of one or more
  models (reusing the exact-search oracle's intervals), and `one_step` beyond a box end.
- `category_blocks`: codes grouped by how every split on the feature routes them.
- `box_points`: corners, ends and random points of a box, for the libraries' predict.
- `linear_ok`: the linear constraints evaluated on rows with NumPy.
"""
import itertools
import math

import numpy as np

from exact_oracle import cells_of, split_points

INF = math.inf


class Model:
    def __init__(self, flat, missing_defined=None):
        self.f = flat
        self.md = flat.missing_defined if missing_defined is None else missing_defined

    def goes_left(self, node, v):
        f = self.f
        s = int(f.node_set[node])
        if s < 0:
            return v < f.threshold[node] if f.is_lt[node] else v <= f.threshold[node]
        if not (math.isfinite(v) and v >= 0 and v == int(v)):
            return False
        c = int(v)
        words = f.set_words[f.set_offsets[s]:f.set_offsets[s + 1]]
        return c // 64 < len(words) and bool((int(words[c // 64]) >> (c % 64)) & 1)

    def reach(self, node, lo, hi, cats):
        """(left reachable, right reachable) at an internal node over the box."""
        g = int(self.f.feature[node])
        if cats[g]:
            sides = {self.goes_left(node, float(c)) for c in cats[g]}
            return True in sides, False in sides
        if lo[g] == hi[g]:
            left = self.goes_left(node, lo[g])
            return left, not left
        if self.f.node_set[node] >= 0:
            return True, True
        t = self.f.threshold[node]
        if self.f.is_lt[node]:
            return lo[g] < t, hi[g] >= t
        return lo[g] <= t, hi[g] > t

    def bracket(self, node, lo, hi, missing, cats):
        """(low, high) over the box, or None where a missing value has no route."""
        f = self.f
        g = int(f.feature[node])
        if g < 0:
            return f.value[node], f.value[node]
        if missing[g]:
            if not self.md[node]:
                return None
            return self.bracket(f.left[node] if f.missing_left[node] else f.right[node],
                                lo, hi, missing, cats)
        go_left, go_right = self.reach(node, lo, hi, cats)
        parts = []
        for child, ok in ((f.left[node], go_left), (f.right[node], go_right)):
            if ok:
                b = self.bracket(child, lo, hi, missing, cats)
                if b is None:
                    return None
                parts.append(b)
        return min(p[0] for p in parts), max(p[1] for p in parts)

    def score_range(self, lo, hi, missing, cats):
        low = high = float(self.f.base_score)
        for root in self.f.tree_roots:
            b = self.bracket(int(root), lo, hi, missing, cats)
            if b is None:
                return None
            low += b[0]
            high += b[1]
        return low, high


def feature_cells(flats):
    arrays = [dict(feature=f.feature, threshold=f.threshold, is_lt=f.is_lt, node_set=f.node_set)
              for f in flats]
    return [cells_of(points) for points in split_points(arrays, flats[0].n_features)]


def bottom(cell):
    return cell.nearest(cell.lo) if cell.lo_open and math.isfinite(cell.lo) else cell.lo


def top(cell):
    return cell.nearest(cell.hi) if cell.hi_open and math.isfinite(cell.hi) else cell.hi


def one_step(cells, upper, x, lo_b, hi_b):
    """The next end beyond x: the far extreme of x's cell or of its neighbour, within the
    bounds; None when there is none."""
    if math.isinf(x):
        return None
    k = next(i for i, c in enumerate(cells) if c.contains(x))
    own = cells[k].clip(lo_b, hi_b)
    if upper:
        if x < top(own):
            return top(own)
        if k + 1 == len(cells) or cells[k + 1].clip(lo_b, hi_b).empty():
            return None
        return top(cells[k + 1].clip(lo_b, hi_b))
    if x > bottom(own):
        return bottom(own)
    if k == 0 or cells[k - 1].clip(lo_b, hi_b).empty():
        return None
    return bottom(cells[k - 1].clip(lo_b, hi_b))


def cell_values(cells, lo, hi):
    """Both extremes of every cell inside [lo, hi]: between them they route every way a
    value of [lo, hi] can."""
    if lo == hi or math.isnan(lo):
        return [lo]
    out = []
    for cell in cells:
        part = cell.clip(lo, hi)
        if not part.empty():
            out += [bottom(part), top(part)]
    return sorted(set(out))


def category_blocks(flats, f, cardinality):
    """Codes 0..cardinality-1 of feature f grouped by their route at every split on f."""
    signatures = {}
    for code in range(cardinality):
        sig = []
        for flat in flats:
            m = Model(flat)
            for node in np.flatnonzero(flat.feature == f):
                sig.append(m.goes_left(int(node), float(code)))
        signatures.setdefault(tuple(sig), []).append(code)
    return sorted(signatures.values())


def flat_blocks(blocks_per_feature):
    """(cat_open, cat_feat_offsets, cat_block_offsets, cat_members) from {feature: blocks}."""
    cat_open, feat_offsets, block_offsets, members = [], [0], [0], []
    for f, blocks in blocks_per_feature.items():
        cat_open.append(f)
        for block in blocks:
            members += list(block)
            block_offsets.append(len(members))
        feat_offsets.append(len(block_offsets) - 1)
    u32 = np.uint32
    return (np.array(cat_open, u32), np.array(feat_offsets, u32), np.array(block_offsets, u32),
            np.array(members, u32))


def grown_sets(region, cat_open):
    off = region["grown_offsets"]
    return {int(f): list(region["grown_members"][off[i]:off[i + 1]])
            for i, f in enumerate(cat_open)}


def box_points(lo, hi, sets, rng, n_random=3000):
    """Corners of the box (every end of every open feature and every admitted code), then
    random points whose features take an end or a uniform value inside."""
    n = len(lo)
    open_num = [j for j in range(n) if j not in sets and lo[j] < hi[j]]
    base = np.where(np.isnan(lo), np.nan, lo)
    corners = []
    choices = [[lo[j], hi[j]] for j in open_num] + [sets[j] for j in sets]
    for combo in itertools.islice(itertools.product(*choices), 4096):
        row = base.copy()
        for j, v in zip(open_num + list(sets), combo):
            row[j] = v
        corners.append(row)
    rows = np.tile(base, (n_random, 1))
    for j in open_num:
        u = rng.uniform(lo[j], hi[j], n_random)
        pick = rng.integers(0, 4, n_random)
        rows[:, j] = np.where(pick == 0, lo[j], np.where(pick == 1, hi[j], u))
    for j, codes in sets.items():
        rows[:, j] = rng.choice(np.asarray(codes, dtype=np.float64), n_random)
    return np.vstack(corners + [rows])


def linear_ok(rows, lin, tol=1e-9):
    """Rows meeting every linear constraint: lin is a list of (indices, coefs, op, rhs,
    policy); a missing term makes a constraint hold exactly when its policy is 0."""
    ok = np.ones(len(rows), dtype=bool)
    for idx, coefs, op, rhs, policy in lin:
        sub = rows[:, idx]
        lhs = sub @ np.asarray(coefs, dtype=np.float64)
        holds = {0: lhs <= rhs + tol, 1: lhs >= rhs - tol}.get(
            op, (lhs <= rhs + tol) & (lhs >= rhs - tol))
        ok &= np.where(np.isnan(sub).any(axis=1), policy == 0, holds)
    return ok


def linear_arrays(lin):
    """The RustConstraints keyword arrays of a list of linear constraints."""
    offsets, indices, coefs = [0], [], []
    for idx, c, _, _, _ in lin:
        indices += list(idx)
        coefs += list(c)
        offsets.append(len(indices))
    return dict(lin_offsets=offsets, lin_indices=indices, lin_coefs=coefs,
                lin_op=[x[2] for x in lin], lin_rhs=[x[3] for x in lin],
                lin_policy=[x[4] for x in lin])
