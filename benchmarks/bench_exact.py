"""Time to proven optimality: the exact search against a HiGHS MILP of the same problem.

Instances: XGBoost regressors of 50 to 500 trees on synthetic data; for each, factual rows
whose prediction must rise by half a standard deviation of the model's predictions. Both
solvers optimise over the same cells with the same distance model, so their optima agree
(checked). Reports per instance and the medians; run with `python benchmarks/bench_exact.py`.
"""
import argparse
import math
import os
import statistics
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))
from conftest import make_constraints  # noqa: E402
from milp_oracle import solve_milp  # noqa: E402

import morvel  # noqa: E402

# Search modes of the exact solver compared side by side.
MODES = ["classic", "refine"]


def instances(tree_counts, rows_per_model, kind, seed=0):
    """kind "flip": a binary classifier and rejected rows (raw score below 0) that must be
    accepted (score >= 0), the usual recourse question. kind "raise": a regressor and rows
    whose prediction must rise by half a standard deviation, which moves many features."""
    import xgboost as xgb

    rng = np.random.default_rng(seed)
    n_features = 8
    X = rng.uniform(-1, 1, size=(3000, n_features))
    y = (10 * np.sin(np.pi * X[:, 0] * X[:, 1]) + 20 * (X[:, 2] - 0.5) ** 2 + 10 * X[:, 3]
         + 5 * X[:, 4] + rng.normal(size=len(X)))
    params = {"max_depth": 4, "eta": 0.1, "seed": seed, "nthread": 1}
    if kind == "flip":
        params["objective"] = "binary:logistic"
        y = (y > np.median(y)).astype(float)
    for trees in tree_counts:
        booster = xgb.train(params, xgb.DMatrix(X, label=y), num_boost_round=trees)
        flat = morvel.convert(booster)
        ensemble = flat.to_core()
        scores = ensemble.raw_score_batch(X)
        arrays = dict(feature=flat.feature, threshold=flat.threshold, is_lt=flat.is_lt,
                      left=flat.left, right=flat.right, value=flat.value,
                      tree_roots=flat.tree_roots)
        if kind == "flip":
            candidates = np.flatnonzero(scores < 0)
            targets = [(0.0, math.inf)] * len(X)
        else:
            candidates = np.arange(len(X))
            targets = [(float(s + 0.5 * np.std(scores)), math.inf) for s in scores]
        for r in rng.choice(candidates, rows_per_model, replace=False):
            yield dict(trees=trees, flat=flat, arrays=arrays, ensemble=ensemble, x=X[r].copy(),
                       lo_t=targets[r][0], hi_t=targets[r][1],
                       sigma=np.std(X, axis=0), weights=np.ones(n_features), lam=0.0)


def run_exact(inst, mode):
    n = len(inst["x"])
    t = time.perf_counter()
    out = morvel.core.solve_exact_raw(
        inst["ensemble"], make_constraints(n), inst["x"], inst["lo_t"], inst["hi_t"],
        inst["sigma"], inst["weights"], inst["lam"], np.zeros(n, np.uint8), np.zeros(n),
        np.zeros(n), node_budget=10**9, time_budget_s=600.0, search=mode)
    elapsed = time.perf_counter() - t
    return elapsed, out[1], out[2], out[3][0]


def run_milp(inst, time_limit):
    t = time.perf_counter()
    best, _ = solve_milp(inst["arrays"], inst["flat"].base_score, len(inst["x"]), inst["x"],
                         inst["lo_t"], inst["hi_t"], inst["sigma"], inst["weights"],
                         inst["lam"], time_limit=time_limit)
    return time.perf_counter() - t, best


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--trees", type=int, nargs="+", default=[50, 100, 200, 500])
    parser.add_argument("--rows", type=int, default=3, help="factual rows per model")
    parser.add_argument("--milp-time-limit", type=float, default=300.0)
    parser.add_argument("--kind", choices=["flip", "raise"], default="flip")
    parser.add_argument("--modes", nargs="+", choices=MODES, default=MODES,
                        help="search modes to run (classic takes minutes on some rows)")
    parser.add_argument("--no-milp", action="store_true",
                        help="skip the MILP (comparing two builds of the exact search)")
    args = parser.parse_args()
    modes = args.modes

    header = f"{'trees':>5} {'MILP s':>8}" + "".join(
        f" {m + ' s':>10} {m + ' nodes':>12} {'nodes/s':>10}" for m in modes) + "  speedup"
    print(header)
    ratios = {m: [] for m in modes}
    times = {m: [] for m in modes}
    milp_times = []
    for inst in instances(args.trees, args.rows, args.kind):
        if args.no_milp:
            milp_s, milp_best = math.nan, None
        else:
            milp_s, milp_best = run_milp(inst, args.milp_time_limit)
        milp_times.append(milp_s)
        line = f"{inst['trees']:>5} {milp_s:>8.3f}"
        for m in modes:
            s, dist, proof, nodes = run_exact(inst, m)
            assert proof == "optimal", proof
            if milp_best is not None and math.isinf(milp_best):
                assert dist is None
            elif milp_best is not None:
                assert abs(dist - milp_best) <= 1e-6 * max(1.0, milp_best), (dist, milp_best)
            ratios[m].append(milp_s / s)
            times[m].append(s)
            line += f" {s:>10.4f} {nodes:>12d} {nodes / max(s, 1e-9):>10.0f}"
        if not args.no_milp:
            line += "  " + " ".join(f"{milp_s / times[m][-1]:.0f}x" for m in modes)
        print(line, flush=True)
    if args.no_milp:
        for m in modes:
            print(f"{m}: median time {statistics.median(times[m]):.4f} s")
        return
    print(f"median MILP time {statistics.median(milp_times):.3f} s")
    for m in modes:
        print(f"{m}: median time {statistics.median(times[m]):.4f} s, median speedup over "
              f"MILP {statistics.median(ratios[m]):.0f}x")


if __name__ == "__main__":
    main()
