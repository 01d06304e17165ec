"""The two exact search modes side by side on wide models with many cells per feature.

Instances: XGBoost and LightGBM models of 300 depth-4 trees on 20 features (8 of them
informative), trained on 3000 synthetic rows, so each feature has up to a few hundred
thresholds. For each model, factual rows of two kinds: "flip" (a binary classifier's
rejected rows, raw score below 0, must reach 0) and "raise" (a regressor's prediction must
rise by half a standard deviation of its predictions). Both modes get the same node and
time budgets; the table shows time, nodes and the proof of each, and the distances are
checked to agree whenever both modes prove optimality.

    python benchmarks/bench_refine.py                  # about 5-10 minutes on 2 cores
    python benchmarks/bench_refine.py --rows 1 --time-budget 2   # smoke run
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

import morvel  # noqa: E402

MODES = ["classic", "refine"]


def make_data(n_features, seed):
    rng = np.random.default_rng(seed)
    X = rng.uniform(-1, 1, size=(3000, n_features))
    y = (10 * np.sin(np.pi * X[:, 0] * X[:, 1]) + 20 * (X[:, 2] - 0.5) ** 2 + 10 * X[:, 3]
         + 5 * X[:, 4] + 3 * X[:, 5] * X[:, 6] + 2 * np.abs(X[:, 7])
         + rng.normal(size=len(X)))
    return X, y


def train(library, X, y, binary, trees, seed):
    if library == "xgboost":
        import xgboost as xgb

        params = {"max_depth": 4, "eta": 0.1, "seed": seed, "nthread": 1}
        if binary:
            params["objective"] = "binary:logistic"
        return xgb.train(params, xgb.DMatrix(X, label=y), num_boost_round=trees)
    import lightgbm as lgb

    params = {"objective": "binary" if binary else "regression", "num_leaves": 15,
              "max_depth": 4, "learning_rate": 0.1, "verbose": -1, "num_threads": 1,
              "seed": seed}
    return lgb.train(params, lgb.Dataset(X, y), num_boost_round=trees)


def instances(libraries, kinds, trees, n_features, rows, seed=0):
    X, y = make_data(n_features, seed)
    rng = np.random.default_rng(seed + 1)
    for library in libraries:
        for kind in kinds:
            binary = kind == "flip"
            label = (y > np.median(y)).astype(float) if binary else y
            ensemble = morvel.convert(train(library, X, label, binary, trees, seed)).to_core()
            scores = ensemble.raw_score_batch(X)
            candidates = np.flatnonzero(scores < 0) if binary else np.arange(len(X))
            for r in rng.choice(candidates, rows, replace=False):
                lo_t = 0.0 if binary else float(scores[r] + 0.5 * np.std(scores))
                yield dict(model=f"{library}/{kind}", ensemble=ensemble, x=X[r].copy(),
                           lo_t=lo_t, sigma=np.std(X, axis=0))


def run(inst, mode, time_budget):
    n = len(inst["x"])
    t = time.perf_counter()
    out = morvel.core.solve_exact_raw(
        inst["ensemble"], make_constraints(n), inst["x"], inst["lo_t"], math.inf, inst["sigma"],
        np.ones(n), 0.0, np.zeros(n, np.uint8), np.zeros(n), np.zeros(n),
        node_budget=10**10, time_budget_s=time_budget, search=mode)
    return time.perf_counter() - t, out[1], out[2], out[3][0]


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--libraries", nargs="+", default=["xgboost", "lightgbm"])
    parser.add_argument("--kinds", nargs="+", default=["flip", "raise"])
    parser.add_argument("--trees", type=int, default=300)
    parser.add_argument("--features", type=int, default=20)
    parser.add_argument("--rows", type=int, default=3, help="factual rows per model")
    parser.add_argument("--time-budget", type=float, default=10.0)
    args = parser.parse_args()

    print(f"{'model':>16}" + "".join(f" {m + ' s':>10} {m + ' nodes':>14} {'proof':>9}"
                                      for m in MODES))
    solved = {m: 0 for m in MODES}
    both = {m: [] for m in MODES}
    count = 0
    for inst in instances(args.libraries, args.kinds, args.trees, args.features, args.rows):
        count += 1
        line, results = f"{inst['model']:>16}", {}
        for m in MODES:
            s, dist, proof, nodes = run(inst, m, args.time_budget)
            results[m] = (s, dist, proof, nodes)
            solved[m] += proof == "optimal"
            line += f" {s:>10.3f} {nodes:>14d} {proof:>9.9}"
        if all(results[m][2] == "optimal" for m in MODES):
            dists = [results[m][1] for m in MODES]
            assert all((d is None) == (dists[0] is None) for d in dists)
            if dists[0] is not None:
                assert all(abs(d - dists[0]) <= 1e-12 * max(1.0, dists[0]) for d in dists)
            for m in MODES:
                both[m].append(results[m])
        print(line, flush=True)
    for m in MODES:
        print(f"{m}: proved {solved[m]} of {count} within {args.time_budget:g} s", end="")
        if both[m]:
            print(f"; on the {len(both[m])} both proved: median "
                  f"{statistics.median(r[0] for r in both[m]):.4f} s, "
                  f"{statistics.median(r[3] for r in both[m]):.0f} nodes", end="")
        print()


if __name__ == "__main__":
    main()
