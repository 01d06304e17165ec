"""Batch scoring speed: the native core against each library's own raw prediction.

One synthetic regression task; XGBoost, LightGBM and scikit-learn's histogram gradient
boosting each train a model of the same shape (trees, depth) on the same rows. Every
model is scored on the same matrix by its library and, once converted, by
`RustEnsemble.raw_score_batch`. The timed calls are interleaved round by round (the order
reversed every other round) and the medians reported; every library runs on as many
threads as there are CPUs, like the core's worker pool.

    python benchmarks/bench_score.py            # full run (about 2 minutes on 2 cores)
    python benchmarks/bench_score.py --quick    # small smoke run
"""
from __future__ import annotations

import argparse
import os
import platform
import statistics
import time

import numpy as np

import morvel


def make_data(n_rows: int, n_features: int, seed: int = 0):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n_rows, n_features))
    X[:, ::4] = np.round(X[:, ::4], 1)  # some coarse columns
    w = rng.normal(size=n_features)
    y = (X @ w + np.sin(2 * X[:, 0]) * X[:, 1] + (X[:, 2] > 0.5) * X[:, 3]
         + 0.1 * rng.normal(size=n_rows))
    X[rng.random(X.shape) < 0.02] = np.nan  # a few missing values everywhere
    return np.ascontiguousarray(X), y


def train(X, y, trees: int, depth: int, threads: int):
    import lightgbm as lgb
    import xgboost as xgb
    from sklearn.ensemble import HistGradientBoostingRegressor

    models, seconds = {}, {}
    t0 = time.perf_counter()
    models["xgboost"] = xgb.train(
        {"max_depth": depth, "eta": 0.1, "tree_method": "hist", "nthread": threads},
        xgb.DMatrix(X, y, nthread=threads), trees)
    seconds["xgboost"] = time.perf_counter() - t0
    t0 = time.perf_counter()
    models["lightgbm"] = lgb.train(
        {"objective": "regression", "max_depth": depth, "num_leaves": 2**depth - 1,
         "learning_rate": 0.1, "num_threads": threads, "verbose": -1},
        lgb.Dataset(X, y), trees)
    seconds["lightgbm"] = time.perf_counter() - t0
    t0 = time.perf_counter()
    models["sklearn"] = HistGradientBoostingRegressor(
        max_iter=trees, max_depth=depth, max_leaf_nodes=2**depth, learning_rate=0.1,
        early_stopping=False, random_state=0).fit(X, y)
    seconds["sklearn"] = time.perf_counter() - t0
    return models, seconds


def library_scorers(models, threads: int):
    xgb_model, lgb_model, sk_model = models["xgboost"], models["lightgbm"], models["sklearn"]
    xgb_model.set_param({"nthread": threads})
    return {
        "xgboost": lambda X: xgb_model.inplace_predict(X, predict_type="margin"),
        "lightgbm": lambda X: lgb_model.predict(X, raw_score=True, num_threads=threads),
        # scikit-learn's OpenMP prediction uses every CPU by default.
        "sklearn": lambda X: sk_model.predict(X),
    }


def time_once(fn, X) -> float:
    t0 = time.perf_counter()
    fn(X)
    return time.perf_counter() - t0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rows", type=int, default=200_000)
    parser.add_argument("--train-rows", type=int, default=20_000)
    parser.add_argument("--features", type=int, default=32)
    parser.add_argument("--trees", type=int, default=300)
    parser.add_argument("--depth", type=int, default=7)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--quick", action="store_true", help="20k rows, 50 trees, 3 rounds")
    args = parser.parse_args()
    if args.quick:
        args.rows, args.train_rows, args.trees, args.rounds = 20_000, 5_000, 50, 3

    threads = os.cpu_count() or 1
    X, y = make_data(args.rows, args.features)
    models, train_seconds = train(X[:args.train_rows], y[:args.train_rows], args.trees,
                                  args.depth, threads)
    libs = library_scorers(models, threads)
    cores = {name: morvel.convert(model).to_core() for name, model in models.items()}

    print(f"{args.rows} rows x {args.features} features, {args.trees} trees of depth "
          f"{args.depth}, {threads} threads, {args.rounds} rounds "
          f"({platform.processor() or platform.machine()})")
    for name in libs:
        ours, theirs = cores[name].raw_score_batch(X), libs[name](X)
        # XGBoost sums in float32; the others agree to rounding (routing is tested exactly).
        err = float(np.max(np.abs(ours - theirs)))
        print(f"  {name}: trained in {train_seconds[name]:.1f} s, "
              f"{len(morvel.convert(models[name]).feature)} flat nodes, "
              f"max |core - library| = {err:.2e}")

    calls = []
    for name in libs:
        calls.append((f"core ({name} model)", cores[name].raw_score_batch))
        calls.append((f"{name}", libs[name]))
    samples = {label: [] for label, _ in calls}
    for r in range(args.rounds):
        for label, fn in (calls if r % 2 == 0 else calls[::-1]):
            samples[label].append(time_once(fn, X))

    med = {label: statistics.median(s) for label, s in samples.items()}
    print()
    print(f"| {'model':<9} | {'scorer':<22} | {'median s':>9} | {'Mrows/s':>8} | "
          f"{'library / core':>14} |")
    print(f"|{'-' * 11}|{'-' * 24}|{'-' * 11}|{'-' * 10}|{'-' * 16}|")
    for name in libs:
        core_t = med[f"core ({name} model)"]
        for label in (f"core ({name} model)", name):
            t = med[label]
            ratio = f"{t / core_t:.2f}x" if label == name else ""
            print(f"| {name:<9} | {label:<22} | {t:9.3f} | {args.rows / t / 1e6:8.2f} | "
                  f"{ratio:>14} |")


if __name__ == "__main__":
    main()
