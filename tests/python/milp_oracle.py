"""The exact counterfactual problem as a mixed-integer program solved by HiGHS.

One binary per (feature, cell) picks the cell each feature lands in, one binary per leaf
picks the leaf each tree reaches; a leaf can only be picked when every split on its path
agrees with the picked cells. The cost of a cell is the cost of its point nearest to the
factual value, so the program's optimum is the cheapest row over all cell choices whose
raw score lies in the window. Numeric splits only; no constraints beyond the window.
"""
import math

import numpy as np
from scipy.optimize import Bounds, LinearConstraint, milp
from scipy.sparse import lil_matrix

from exact_oracle import cells_of, feature_cost


def solve_milp(arrays, base_score, n_features, x, lo_t, hi_t, sigma, weights, lam,
               time_limit=600.0):
    feature, threshold, is_lt = arrays["feature"], arrays["threshold"], arrays["is_lt"]
    left, right, value, roots = arrays["left"], arrays["right"], arrays["value"], arrays["tree_roots"]

    cells, reps, var_of = [], [], {}
    costs = []
    for f in range(n_features):
        splits = [(threshold[i], bool(is_lt[i])) for i in range(len(feature)) if feature[i] == f]
        fc = cells_of(splits)
        cells.append(fc)
        reps.append([c.nearest(x[f]) for c in fc])
        for k in range(len(fc)):
            var_of[(f, k)] = len(costs)
            costs.append(feature_cost(x[f], reps[f][k], weights[f], sigma[f], lam))

    # Leaves of every tree with the (node, went_left) path leading to them.
    leaves = []
    for t, root in enumerate(roots):
        stack = [(int(root), [])]
        while stack:
            node, path = stack.pop()
            if feature[node] < 0:
                leaves.append((t, node, path))
            else:
                stack.append((int(left[node]), path + [(node, True)]))
                stack.append((int(right[node]), path + [(node, False)]))
    n_cell_vars = len(costs)
    n_vars = n_cell_vars + len(leaves)
    c = np.concatenate([np.array(costs), np.zeros(len(leaves))])

    rows = []  # (coefficients dict, lo, hi)
    for f in range(n_features):
        rows.append(({var_of[(f, k)]: 1.0 for k in range(len(cells[f]))}, 1.0, 1.0))
    for t in range(len(roots)):
        idx = {n_cell_vars + j: 1.0 for j, leaf in enumerate(leaves) if leaf[0] == t}
        rows.append((idx, 1.0, 1.0))
    for j, (_, _, path) in enumerate(leaves):
        for node, went_left in path:
            f, thr, lt = int(feature[node]), threshold[node], bool(is_lt[node])
            coeffs = {n_cell_vars + j: 1.0}
            for k, rep in enumerate(reps[f]):
                goes_left = rep < thr if lt else rep <= thr
                if goes_left == went_left:
                    coeffs[var_of[(f, k)]] = -1.0
            rows.append((coeffs, -np.inf, 0.0))
    score = {n_cell_vars + j: float(value[leaf]) for j, (_, leaf, _) in enumerate(leaves)}
    rows.append((score, lo_t - base_score, hi_t - base_score))

    a = lil_matrix((len(rows), n_vars))
    lo = np.empty(len(rows))
    hi = np.empty(len(rows))
    for r, (coeffs, l, h) in enumerate(rows):
        for v, coef in coeffs.items():
            a[r, v] = coef
        lo[r], hi[r] = l, h
    res = milp(c, constraints=LinearConstraint(a.tocsr(), lo, hi),
               integrality=np.ones(n_vars), bounds=Bounds(0, 1),
               options={"time_limit": time_limit, "mip_rel_gap": 1e-9})
    if res.status == 2:  # infeasible
        return math.inf, None
    if res.x is None:
        raise RuntimeError(f"MILP did not finish: {res.message}")
    row = np.empty(n_features)
    for f in range(n_features):
        k = max(range(len(cells[f])), key=lambda k: res.x[var_of[(f, k)]])
        row[f] = reps[f][k]
    return float(res.fun), row


# --------------------------------------------------------------------------------------
# The same problem over given candidate states, with one-hot groups and implications, as
# a HiGHS model built directly (the formulation of the tree-ensemble optimisation papers):
#   z[f, s]  binary, one per candidate state s of feature f, exactly one per feature;
#   u[f, j]  continuous, = sum of z over f's non-missing states of value rank >= j (a
#            state's rank is its position in ascending value order), chained per feature;
#   y[t, l]  one per leaf, exactly one per tree;
#   per split node n on f: the leaves below its left child sum to at most the z-mass that
#   goes left at n (1 - u[f, j_n] - z_nan, plus z_nan when missing values go left), and the
#   leaves below its right child to at most the mass that goes right.
# The objective is the sum of the chosen states' costs; the window bounds the leaf sum.


def _routes_left(value, node, arrays):
    """Whether a non-missing value goes left at a split node."""
    s = arrays["node_set"][node] if arrays.get("node_set") is not None else -1
    if s >= 0:
        c = int(value) if value >= 0 and value == int(value) else -1
        words = arrays["set_words"][arrays["set_offsets"][s]:arrays["set_offsets"][s + 1]]
        return 0 <= c < 64 * len(words) and bool((int(words[c // 64]) >> (c % 64)) & 1)
    t = arrays["threshold"][node]
    return value < t if arrays["is_lt"][node] else value <= t


class StateMilp:
    """HiGHS model of an exact counterfactual problem over per-feature candidate states.

    `states[f]` is a list of (value, cost) pairs (NaN value = missing); `one_hot` a list of
    feature groups; `implications` (a, va, b, vb) tuples. `leaf_integral=False` declares
    the leaf variables continuous (they are integral whenever the states are).
    `per_leaf=True` links every leaf to every split on its path on its own (one row per
    leaf and split) instead of all leaves below a split side together. `windows` lists
    further (arrays, base_score, lo, hi) ensembles whose score must also lie in [lo, hi]:
    each gets its own leaf columns and split rows over the same state columns."""

    def __init__(self, arrays, base_score, states, lo_t, hi_t, one_hot=(), implications=(),
                 leaf_integral=True, per_leaf=False, windows=()):
        import highspy

        self.states = states
        cols_cost, cols_int, cols_ub = [], [], []
        rows = []  # (indices, values, lower, upper)

        def new_col(cost, integral, ub=1.0):
            cols_cost.append(cost)
            cols_int.append(integral)
            cols_ub.append(ub)
            return len(cols_cost) - 1

        self.z = []
        self.rank_cols = []  # per feature: state columns in ascending value order (no NaN)
        self.nan_col = []
        self.values_sorted = []
        self.u = []          # per feature: dict rank -> u column, created on demand
        for f, st in enumerate(states):
            cols = [new_col(cost, True) for (_, cost) in st]
            self.z.append(cols)
            rows.append((cols, [1.0] * len(cols), 1.0, 1.0))
            present = sorted((v, c) for (v, _), c in zip(st, cols) if not math.isnan(v))
            self.values_sorted.append(np.array([v for v, _ in present]))
            self.rank_cols.append([c for _, c in present])
            nan = [c for (v, _), c in zip(st, cols) if math.isnan(v)]
            self.nan_col.append(nan[0] if nan else None)
            self.u.append({})

        def u_col(f, j):
            if j not in self.u[f]:
                self.u[f][j] = new_col(0.0, False)
            return self.u[f][j]

        def add_ensemble(arrays, base_score, lo_t, hi_t):
            # One leaf column per leaf and one row per split side, over the shared states.
            feature = arrays["feature"]
            left, right, value = arrays["left"], arrays["right"], arrays["value"]
            missing_left = arrays["missing_left"]
            leaf_cols, leaf_vals = [], []
            for root in arrays["tree_roots"]:
                # Leaves numbered in depth-first order, so every subtree owns a contiguous run.
                order, span = [], {}
                stack = [(int(root), False)]
                while stack:
                    node, done = stack.pop()
                    if feature[node] < 0:
                        span[node] = (len(order), len(order) + 1)
                        order.append(node)
                    elif done:
                        span[node] = (span[int(left[node])][0], span[int(right[node])][1])
                    else:
                        stack += [(node, True), (int(right[node]), False), (int(left[node]), False)]
                ys = [new_col(0.0, leaf_integral) for _ in order]
                leaf_cols += ys
                leaf_vals += [float(value[n]) for n in order]
                rows.append((ys, [1.0] * len(ys), 1.0, 1.0))
                for node, (a, b) in span.items():
                    if feature[node] < 0:
                        continue
                    f = int(feature[node])
                    la, lb = span[int(left[node])]
                    ra, rb = span[int(right[node])]
                    nan = self.nan_col[f]
                    if arrays.get("node_set") is not None and arrays["node_set"][node] >= 0:
                        go_left = [_routes_left(v, node, arrays) for v in self.values_sorted[f]]
                        lcols = [c for c, g in zip(self.rank_cols[f], go_left) if g]
                        rcols = [c for c, g in zip(self.rank_cols[f], go_left) if not g]
                        if nan is not None:
                            (lcols if missing_left[node] else rcols).append(nan)
                        rows.append((ys[la:lb] + lcols, [1.0] * (lb - la) + [-1.0] * len(lcols),
                                     -np.inf, 0.0))
                        rows.append((ys[ra:rb] + rcols, [1.0] * (rb - ra) + [-1.0] * len(rcols),
                                     -np.inf, 0.0))
                        continue
                    vals = self.values_sorted[f]
                    t = arrays["threshold"][node]
                    j = int(np.searchsorted(vals, t, side="left" if arrays["is_lt"][node] else "right"))
                    # right mass = u_j (+ z_nan); left mass = 1 - u_j - z_nan (+ z_nan)
                    uj = u_col(f, j) if j < len(vals) else None
                    r_idx, r_val = list(ys[ra:rb]), [1.0] * (rb - ra)
                    l_idx, l_val = list(ys[la:lb]), [1.0] * (lb - la)
                    if uj is not None:
                        r_idx.append(uj)
                        r_val.append(-1.0)
                        l_idx.append(uj)
                        l_val.append(1.0)
                    if nan is not None and not missing_left[node]:
                        r_idx.append(nan)
                        r_val.append(-1.0)
                        l_idx.append(nan)
                        l_val.append(1.0)
                    if per_leaf:
                        rl, ll = rb - ra, lb - la
                        for y in ys[ra:rb]:
                            rows.append(([y] + r_idx[rl:], [1.0] + r_val[rl:], -np.inf, 0.0))
                        for y in ys[la:lb]:
                            rows.append(([y] + l_idx[ll:], [1.0] + l_val[ll:], -np.inf, 1.0))
                    else:
                        rows.append((r_idx, r_val, -np.inf, 0.0))
                        rows.append((l_idx, l_val, -np.inf, 1.0))
            rows.append((leaf_cols, leaf_vals, lo_t - base_score, hi_t - base_score))

        add_ensemble(arrays, base_score, lo_t, hi_t)
        for w_arrays, w_base, w_lo, w_hi in windows:
            add_ensemble(w_arrays, w_base, w_lo, w_hi)
        # u chains: u[j] = sum of z over ranks >= j, written between consecutive used ranks.
        for f in range(len(states)):
            ranks = sorted(self.u[f])
            for i, j in enumerate(ranks):
                nxt = ranks[i + 1] if i + 1 < len(ranks) else len(self.rank_cols[f])
                idx = [self.u[f][j]] + self.rank_cols[f][j:nxt]
                val = [1.0] + [-1.0] * (nxt - j)
                if i + 1 < len(ranks):
                    idx.append(self.u[f][nxt])
                    val.append(-1.0)
                rows.append((idx, val, 0.0, 0.0))

        def state_cols(f, v):
            return [c for (sv, _), c in zip(states[f], self.z[f]) if sv == v]

        for group in one_hot:
            # Exactly one member holds 1, and the members' values sum to exactly 1.
            ones = [c for f in group for c in state_cols(f, 1.0)]
            rows.append((ones, [1.0] * len(ones), 1.0, 1.0))
            terms = [(c, v) for f in group for (v, _), c in zip(states[f], self.z[f])
                     if not math.isnan(v) and v != 0.0]
            rows.append(([c for c, _ in terms], [v for _, v in terms], 1.0, 1.0))
            nan = [c for f in group for (v, _), c in zip(states[f], self.z[f]) if math.isnan(v)]
            if nan:
                rows.append((nan, [1.0] * len(nan), 0.0, 0.0))  # a missing member fails
        for a, va, b, vb in implications:
            cond, cons = state_cols(a, va), state_cols(b, vb)
            rows.append((cond + cons, [1.0] * len(cond) + [-1.0] * len(cons), -np.inf, 0.0))

        lp = highspy.HighsLp()
        lp.num_col_ = len(cols_cost)
        lp.num_row_ = len(rows)
        lp.col_cost_ = np.array(cols_cost)
        lp.col_lower_ = np.zeros(len(cols_cost))
        lp.col_upper_ = np.array(cols_ub)
        lp.row_lower_ = np.array([r[2] for r in rows], dtype=float)
        lp.row_upper_ = np.array([r[3] for r in rows], dtype=float)
        starts = np.cumsum([0] + [len(r[0]) for r in rows])
        lp.a_matrix_.format_ = highspy.MatrixFormat.kRowwise
        lp.a_matrix_.start_ = starts.astype(np.int32)
        lp.a_matrix_.index_ = np.array([i for r in rows for i in r[0]], dtype=np.int32)
        lp.a_matrix_.value_ = np.array([v for r in rows for v in r[1]], dtype=float)
        lp.integrality_ = [highspy.HighsVarType.kInteger if i else highspy.HighsVarType.kContinuous
                           for i in cols_int]
        self.lp = lp
        self.highs = highspy

    def solve(self, time_limit=600.0, threads=1, rel_gap=1e-9):
        """(optimum or inf, row or None, status text, seconds, log); `log` lists
        (seconds, primal bound, dual bound) whenever the incumbent improves or HiGHS logs."""
        import time

        h = self.highs.Highs()
        h.silent()
        for k, v in dict(time_limit=float(time_limit), mip_rel_gap=rel_gap, mip_abs_gap=1e-9,
                         primal_feasibility_tolerance=1e-9, mip_feasibility_tolerance=1e-9,
                         threads=threads, random_seed=0).items():
            h.setOptionValue(k, v)
        h.passModel(self.lp)
        log = []

        def record(e):
            d = e.data_out
            log.append((d.running_time, d.mip_primal_bound, d.mip_dual_bound))

        h.cbMipImprovingSolution.subscribe(record)
        h.cbMipLogging.subscribe(record)
        t = time.perf_counter()
        h.run()
        seconds = time.perf_counter() - t
        status = h.modelStatusToString(h.getModelStatus())
        if status == "Infeasible":
            return math.inf, None, status, seconds, log
        info = h.getInfo()
        if info.primal_solution_status == 0:
            return math.inf, None, status, seconds, log
        x = np.array(h.getSolution().col_value)
        row = np.empty(len(self.states))
        for f, st in enumerate(self.states):
            k = int(np.argmax(x[self.z[f]]))
            row[f] = st[k][0]
        return float(info.objective_function_value), row, status, seconds, log
