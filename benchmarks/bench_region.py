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

With `--baseline DIR` (a directory holding another build of `_morvel_core`, e.g. made by
`pip install --no-deps --target DIR .` at an older commit), every region is also grown by
that build, interleaved with the installed one on the same rows, and the two results must
agree bit for bit; the table then shows both builds' times.

    python benchmarks/bench_region.py [--quick] [--rows N] [--baseline DIR]
"""
import argparse
import glob
import importlib.util
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


def load_baseline(directory):
    """Another build's `_morvel_core`, loaded beside the installed one."""
    paths = glob.glob(os.path.join(directory, "_morvel_core*.so"))
    if not paths:
        raise SystemExit(f"no _morvel_core build in {directory}")
    spec = importlib.util.spec_from_file_location("_morvel_core", paths[0])
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def build_for(module, flat, n_features):
    """The model and an empty constraint set as objects of `module`."""
    cat_idx = np.flatnonzero(flat.cardinality).astype(np.uint32)
    ensemble = module.RustEnsemble(
        flat.feature, flat.threshold, flat.is_lt, flat.missing_left, flat.left, flat.right,
        flat.value, flat.tree_roots, float(flat.base_score), flat.link, int(flat.n_features),
        node_set=flat.node_set, set_offsets=flat.set_offsets, set_words=flat.set_words,
        cat_idx=cat_idx, cat_card=flat.cardinality[cat_idx].astype(np.uint32))
    kinds = dict(freeze=np.uint32, range_idx=np.uint32, range_lo=np.float64,
                 range_hi=np.float64, equals_idx=np.uint32, equals_val=np.float64,
                 mono_idx=np.uint32, mono_dir=np.int8, lin_offsets=np.uint32,
                 lin_indices=np.uint32, lin_coefs=np.float64, lin_op=np.uint8,
                 lin_rhs=np.float64, lin_policy=np.uint8, imp_cond_idx=np.uint32,
                 imp_cond_val=np.float64, imp_cons_idx=np.uint32, imp_cons_val=np.float64,
                 oh_offsets=np.uint32, oh_indices=np.uint32, am_idx=np.uint32,
                 am_to=np.float64, am_from=np.float64)
    rules = {k: np.zeros(1 if k == "lin_offsets" else 0, t) for k, t in kinds.items()}
    constraints = module.RustConstraints(n_features, **rules)
    return ensemble, constraints


def same_result(a, b):
    return list(a) == list(b) and all(
        a[k].dtype == b[k].dtype and a[k].shape == b[k].shape and
        a[k].tobytes() == b[k].tobytes() for k in a)


def timed(fn):
    start = time.perf_counter()
    out = fn()
    return time.perf_counter() - start, out


def geo_side(r, sigma):
    sides = (r["hi"] - r["lo"]) / sigma
    return float(np.exp(np.mean(np.log(np.maximum(sides, 1e-300)))))


def run_model(library, n_trees, n_features, rows, seed, baseline=None, budget=None):
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
    if baseline is not None:
        base_ensemble, base_constraints = build_for(baseline, flat, n_features)
    out = dict(normal=[], maximal=[], sample=[], side_n=[], side_m=[], ratio=[], decided=0,
               examined=0, decided_inner=0, examined_inner=0, base_normal=[], base_maximal=[])
    budget_arg = {} if budget is None else {"budget": budget}
    for r_idx in picked:
        x = X_new[r_idx].copy()

        def grow(maximal):
            return core.compute_region_raw(ensemble, flat.missing_defined, constraints, x, 0.0,
                                           math.inf, lo_b, hi_b, open_set, maximal=maximal,
                                           **budget_arg)

        def grow_base(maximal):
            return baseline.compute_region_raw(base_ensemble, flat.missing_defined,
                                               base_constraints, x, 0.0, math.inf, lo_b, hi_b,
                                               open_set, maximal=maximal, **budget_arg)
        t_n, normal = timed(lambda: grow(False))
        t_m, maximal = timed(lambda: grow(True))
        if baseline is not None:
            t_bn, base_normal = timed(lambda: grow_base(False))
            t_bm, base_maximal = timed(lambda: grow_base(True))
            assert same_result(normal, base_normal) and same_result(maximal, base_maximal), \
                "the two builds grow different regions"
            out["base_normal"].append(t_bn)
            out["base_maximal"].append(t_bm)
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
    parser.add_argument("--baseline", metavar="DIR",
                        help="directory holding another _morvel_core build to compare with")
    parser.add_argument("--budget", type=int, default=None,
                        help="slab nodes per side in maximal mode (default: the entry's)")
    parser.add_argument("--models", default=None,
                        help="comma-separated indexes into the model list (default: all)")
    args = parser.parse_args()
    baseline = load_baseline(args.baseline) if args.baseline else None
    configs = [("xgboost", 100, 10), ("xgboost", 300, 20), ("xgboost", 500, 30),
               ("lightgbm", 100, 10), ("lightgbm", 300, 20), ("lightgbm", 500, 30)]
    if args.quick:
        configs, args.rows = [("xgboost", 100, 10)], 3
    chosen = (range(len(configs)) if args.models is None
              else [int(k) for k in args.models.split(",")])
    base_head = " baseline normal ms | baseline maximal ms |" if baseline else ""
    print("| library | trees | features | normal ms | maximal ms |" + base_head +
          " predict 10k ms | side normal (sigma) | side maximal (sigma) | volume ratio |"
          " decided | decided, inner sides |")
    print("|---|---:|---:|---:|---:|" + ("---:|---:|" if baseline else "") +
          "---:|---:|---:|---:|---:|---:|")
    for seed, (library, trees, features) in enumerate(configs):
        if seed not in chosen:
            continue
        o = run_model(library, trees, features, args.rows, seed, baseline, args.budget)
        med = statistics.median
        base = (f" {1e3 * med(o['base_normal']):.1f} | {1e3 * med(o['base_maximal']):.1f} |"
                if baseline else "")
        print(f"| {library} | {trees} | {features} | {1e3 * med(o['normal']):.1f} | "
              f"{1e3 * med(o['maximal']):.1f} |{base} {1e3 * med(o['sample']):.1f} | "
              f"{med(o['side_n']):.3f} | {med(o['side_m']):.3f} | {med(o['ratio']):.3g} | "
              f"{o['decided']}/{o['examined']} ({100 * o['decided'] / o['examined']:.0f} %) | "
              f"{o['decided_inner']}/{o['examined_inner']} "
              f"({100 * o['decided_inner'] / max(1, o['examined_inner']):.0f} %) |",
              flush=True)


if __name__ == "__main__":
    main()
