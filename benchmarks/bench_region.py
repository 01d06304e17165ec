"""Certified regions: time per region in normal and maximal mode, and what maximal mode adds.

Models: XGBoost binary classifiers (depth 6) and LightGBM binary classifiers (31 leaves) of
100 to 500 trees on synthetic data with 10 to 30 features. Counterfactual rows: the held-out
rows that the model accepts (raw score >= 0, the window [0, +inf)) by the smallest margins,
as the exact search would return them. Every feature is open; the instance bounds are the
data's range. Per row, both modes are timed, and, as the reference a user would otherwise
run, the library's own predict on 10,000 points sampled in the box (which certifies
nothing). Reported per model: median times, median box size (geometric mean side in units
of each feature's standard deviation, and the volume ratio maximal / normal), and the share
of sides maximal mode decided (shown maximal) within the default budget.

    python benchmarks/bench_region.py [--quick]
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
from morvel import core  # noqa: E402


def synthetic(n_features, n_rows, seed):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n_rows, n_features))
    logit = (X[:, 0] - X[:, 1] ** 2 + np.sin(2 * X[:, 2]) + 0.5 * X[:, 3] * X[:, 4]
             + 0.3 * X[:, 5:].sum(axis=1))
    y = (logit + rng.normal(size=n_rows) > 0).astype(float)
    return X, y


def train(library, n_trees, X, y, seed):
    if library == "xgboost":
        import xgboost as xgb
        booster = xgb.train({"objective": "binary:logistic", "max_depth": 6, "eta": 0.1,
                             "seed": seed, "nthread": 1}, xgb.DMatrix(X, label=y), n_trees)
        return booster, lambda rows: booster.predict(xgb.DMatrix(rows), output_margin=True)
    import lightgbm as lgb
    booster = lgb.train({"objective": "binary", "num_leaves": 31, "learning_rate": 0.1,
                         "verbose": -1, "seed": seed, "num_threads": 1},
                        lgb.Dataset(X, label=y), n_trees)
    return booster, lambda rows: booster.predict(rows, raw_score=True)


def timed(fn):
    start = time.perf_counter()
    out = fn()
    return time.perf_counter() - start, out


def geo_side(r, sigma):
    sides = (r["hi"] - r["lo"]) / sigma
    return float(np.exp(np.mean(np.log(np.maximum(sides, 1e-300)))))


def run_model(library, n_trees, n_features, rows, seed):
    X, y = synthetic(n_features, 4000, seed)
    booster, predict = train(library, n_trees, X, y, seed)
    flat = morvel.convert(booster)
    ensemble = flat.to_core()
    # Held-out rows the model accepts by the smallest margins, like exact counterfactuals.
    X_new, _ = synthetic(n_features, 4000, seed + 100)
    scores = ensemble.raw_score_batch(X_new)
    accepted = np.flatnonzero(scores >= 0.0)
    picked = accepted[np.argsort(scores[accepted])[:rows]]
    rng = np.random.default_rng(seed)
    sigma = X.std(axis=0)
    lo_b = np.minimum(X.min(axis=0), X_new.min(axis=0))
    hi_b = np.maximum(X.max(axis=0), X_new.max(axis=0))
    constraints = make_constraints(n_features)
    open_set = np.arange(n_features, dtype=np.uint32)
    out = dict(normal=[], maximal=[], sample=[], side_n=[], side_m=[], ratio=[], decided=0,
               examined=0, decided_inner=0, examined_inner=0)
    for r_idx in picked:
        x = X_new[r_idx].copy()

        def grow(maximal):
            return core.compute_region_raw(ensemble, flat.missing_defined, constraints, x, 0.0,
                                           math.inf, lo_b, hi_b, open_set, maximal=maximal)
        t_n, normal = timed(lambda: grow(False))
        t_m, maximal = timed(lambda: grow(True))
        pts = rng.uniform(normal["lo"], normal["hi"], size=(10000, n_features))
        t_s, p = timed(lambda: predict(pts))
        assert (p >= -1e-5).all(), "a sampled point of a certified box scores outside"
        out["normal"].append(t_n)
        out["maximal"].append(t_m)
        out["sample"].append(t_s)
        out["side_n"].append(geo_side(normal, sigma))
        out["side_m"].append(geo_side(maximal, sigma))
        grown = (normal["hi"] - normal["lo"]) > 0
        out["ratio"].append(float(np.prod(((maximal["hi"] - maximal["lo"]) /
                                           np.where(grown, normal["hi"] - normal["lo"], 1.0))
                                          [grown])))
        for flags, ends, bounds in ((maximal["maximal_lo"], maximal["lo"], lo_b),
                                    (maximal["maximal_hi"], maximal["hi"], hi_b)):
            out["examined"] += len(flags)
            out["decided"] += int(flags.sum())
            inner = ends != bounds  # sides that did not stop at the instance bounds
            out["examined_inner"] += int(inner.sum())
            out["decided_inner"] += int(flags[inner].sum())
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="one small model, three rows")
    parser.add_argument("--rows", type=int, default=10)
    args = parser.parse_args()
    configs = [("xgboost", 100, 10), ("xgboost", 300, 20), ("xgboost", 500, 30),
               ("lightgbm", 100, 10), ("lightgbm", 300, 20), ("lightgbm", 500, 30)]
    if args.quick:
        configs, args.rows = [("xgboost", 100, 10)], 3
    print("| library | trees | features | normal ms | maximal ms | predict 10k ms | "
          "side normal (sigma) | side maximal (sigma) | volume ratio | decided | "
          "decided, inner sides |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for seed, (library, trees, features) in enumerate(configs):
        o = run_model(library, trees, features, args.rows, seed)
        med = statistics.median
        print(f"| {library} | {trees} | {features} | {1e3 * med(o['normal']):.1f} | "
              f"{1e3 * med(o['maximal']):.1f} | {1e3 * med(o['sample']):.1f} | "
              f"{med(o['side_n']):.3f} | {med(o['side_m']):.3f} | {med(o['ratio']):.3g} | "
              f"{o['decided']}/{o['examined']} ({100 * o['decided'] / o['examined']:.0f} %) | "
              f"{o['decided_inner']}/{o['examined_inner']} "
              f"({100 * o['decided_inner'] / max(1, o['examined_inner']):.0f} %) |",
              flush=True)


if __name__ == "__main__":
    main()
