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
