"""The exact search on a fully grown random forest: how many rows it proves in a budget.

scikit-learn's `RandomForestClassifier` with default settings (100 fully grown trees,
random_state=0) on the breast-cancer data (30 features, no rules); the first 10 rows it
rejects (raw score below 0.5; "row" is the index in the data) must be brought to at
least 0.5; sigma = the features' standard deviations, weights 1, lam 0; refine search,
5 s budget per row.

    python benchmarks/bench_forest.py [--rows 10] [--budget 5]
"""
import argparse
import math
import os
import sys
import time

import numpy as np
from sklearn.datasets import load_breast_cancer
from sklearn.ensemble import RandomForestClassifier

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))
from conftest import make_constraints  # noqa: E402

import morvel  # noqa: E402


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rows", type=int, default=10)
    ap.add_argument("--budget", type=float, default=5.0)
    args = ap.parse_args()
    X, y = load_breast_cancer(return_X_y=True)
    model = RandomForestClassifier(random_state=0).fit(X, y)
    flat = morvel.convert(model)
    ensemble = flat.to_core()
    n = X.shape[1]
    scores = ensemble.raw_score_batch(X)
    rows = np.flatnonzero(scores < 0.5)[: args.rows]
    constraints = make_constraints(n)
    sigma, weights = np.std(X, axis=0), np.ones(n)
    policy = (np.zeros(n, np.uint8), np.zeros(n), np.zeros(n))
    proved, times = 0, []
    print(f"{'row':>4} {'proof':>10} {'time s':>7} {'cost':>9} {'bound':>9} {'gap %':>6} "
          f"{'boxes':>9}")
    for r in rows:
        t = time.perf_counter()
        row, cost, proof, st, _, _ = morvel.core.solve_exact_raw(
            ensemble, constraints, X[r].copy(), 0.5, math.inf, sigma, weights, 0.0, *policy,
            node_budget=10**12, time_budget_s=args.budget, search="refine")
        dt = time.perf_counter() - t
        bound = float(st[3])
        if row is None:
            cost = math.inf
        gap = 100.0 * (cost - bound) / cost if row is not None else math.nan
        proved += proof == "optimal"
        times.append(dt)
        print(f"{r:>4} {proof:>10} {dt:7.2f} {cost:9.4f} {bound:9.4f} {gap:6.1f} {st[0]:>9}")
    print(f"proved {proved}/{len(rows)}, total {sum(times):.1f} s")


if __name__ == "__main__":
    main()
