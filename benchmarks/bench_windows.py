"""Several score windows at once: the exact search beside a MILP of the same problem.

Two families of instances, each row solved by the refine search (10 s budget) and by the
MILP (HiGHS, one thread, `--milp-limit` seconds), both single-threaded:

- multi-class: "the model predicts class c" as the K - 1 windows of
  `morvel.models.multiclass.class_windows` (c is the class the library ranks second for
  the row, i.e. the nearest other prediction). Data: digits (10 classes, 64 features) and
  wine (3 classes, 13 features), both bundled with scikit-learn; models: XGBoost
  (max_depth 4), LightGBM (15 leaves) and HistGradientBoosting (defaults) at 30 and 100
  rounds per class, and on digits two 10-class random forests (50 trees of depth 6, and
  100 trees of depth 8).
- bootstrap: five models of one data set, each trained on its own bootstrap sample, as
  five windows: a classifier's margin above 0 (breast cancer; a synthetic 20-feature task)
  or a regressor's prediction at least the 75th percentile of the data's predictions
  (diabetes), for rows that all five models reject; XGBoost (max_depth 4) and LightGBM
  (16 leaves, max_depth 4), 300 trees each.

Rows are drawn at random (fixed seeds) among the eligible rows of each data set. Distance:
sigma = the features' standard deviations (at least 1e-3), weights 1, lam 0, no rules,
continuous values. The MILP (`StateMilp` of tests/python/milp_oracle.py) has one binary per
candidate state of every feature (the states `debug_domains_raw` gives, shared by all
windows), one leaf variable per leaf of every window's ensemble and one row per split side;
each window bounds its ensemble's leaf sum. Every returned row is checked with the
libraries' own `predict`; both optima must agree when both are proved.

    python benchmarks/bench_windows.py                 # everything
    python benchmarks/bench_windows.py --part multiclass --rows 4
    python benchmarks/bench_windows.py --quick         # a few small instances
"""
import argparse
import math
import os
import statistics
import sys
import time

os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))
from conftest import make_constraints  # noqa: E402
from milp_oracle import StateMilp  # noqa: E402

import _morvel_core as core  # noqa: E402
from morvel.models import convert  # noqa: E402
from morvel.models.multiclass import class_scores, class_windows, core_windows  # noqa: E402

BUDGET = 10.0
SMALLEST_POSITIVE = math.ulp(0.0)


# -- instances --------------------------------------------------------------------------


def multiclass_model(kind, rounds, X, y, seed):
    from sklearn.ensemble import HistGradientBoostingClassifier, RandomForestClassifier

    if kind == "xgboost":
        import xgboost

        return xgboost.XGBClassifier(n_estimators=rounds, max_depth=4, n_jobs=1,
                                     random_state=seed).fit(X, y)
    if kind == "lightgbm":
        import lightgbm

        return lightgbm.LGBMClassifier(n_estimators=rounds, num_leaves=15, verbose=-1,
                                       n_jobs=1, random_state=seed).fit(X, y)
    if kind == "hist":
        return HistGradientBoostingClassifier(max_iter=rounds, random_state=seed).fit(X, y)
    trees, depth = rounds
    return RandomForestClassifier(n_estimators=trees, max_depth=depth, random_state=seed,
                                  n_jobs=1).fit(X, y)


def multiclass_instances(quick):
    from sklearn.datasets import load_digits, load_wine

    grid = [("xgboost", 30), ("xgboost", 100), ("lightgbm", 30), ("lightgbm", 100),
            ("hist", 30), ("hist", 100)]
    if quick:
        grid = [("xgboost", 30), ("lightgbm", 30), ("hist", 30)]
    for data, (X, y) in (("wine", load_wine(return_X_y=True)),
                         ("digits", load_digits(return_X_y=True))):
        X = np.ascontiguousarray(X, dtype=np.float64)
        forests = [("forest", (50, 6)), ("forest", (100, 8))] if data == "digits" else []
        for kind, size in grid + ([] if quick else forests):
            model = multiclass_model(kind, size, X, y, seed=0)
            scores = class_scores(model)
            label = (f"{kind} {size[0]}x d{size[1]}" if kind == "forest"
                     else f"{kind} {size} rounds")
            yield dict(family="multiclass", name=f"{data} {label}", X=X, model=model,
                       scores=scores, margin=1e-5 if kind == "xgboost" else 0.0,
                       seed=len(label) + (17 if data == "digits" else 3))


def bootstrap_models(kind, X, y, binary, seed):
    rng = np.random.default_rng(seed)
    models = []
    for k in range(5):
        pick = rng.integers(0, len(X), len(X))
        if kind == "xgboost":
            import xgboost

            cls = xgboost.XGBClassifier if binary else xgboost.XGBRegressor
            m = cls(n_estimators=300, max_depth=4, n_jobs=1, random_state=k)
        else:
            import lightgbm

            cls = lightgbm.LGBMClassifier if binary else lightgbm.LGBMRegressor
            m = cls(n_estimators=300, num_leaves=16, max_depth=4, verbose=-1, n_jobs=1,
                    random_state=k)
        models.append(m.fit(X[pick], y[pick]))
    return models


def bootstrap_instances(quick):
    from sklearn.datasets import load_breast_cancer, load_diabetes, make_classification

    sets = [("breast cancer", *load_breast_cancer(return_X_y=True), True),
            ("diabetes", *load_diabetes(return_X_y=True), False),
            ("synthetic f20", *make_classification(n_samples=2000, n_features=20,
                                                   n_informative=8, random_state=5), True)]
    kinds = ["xgboost", "lightgbm"]
    if quick:
        sets, kinds = sets[:1], kinds[:1]
    for data, X, y, binary in sets:
        X = np.ascontiguousarray(X, dtype=np.float64)
        for kind in kinds:
            models = bootstrap_models(kind, X, y, binary, seed=len(data))
            flats = [convert(m) for m in models]
            if binary:
                # Each margin above 0 (XGBoost adds margins in float32: a small margin).
                lo = 1e-5 if kind == "xgboost" else SMALLEST_POSITIVE
                windows = [(f, lo, math.inf) for f in flats]
            else:
                t = float(np.quantile(np.mean([m.predict(X) for m in models], axis=0), 0.75))
                windows = [(f, t, math.inf) for f in flats]
            yield dict(family="bootstrap", name=f"{data} {kind} 5x300", X=X, models=models,
                       binary=binary, windows=windows, seed=len(data) + len(kind))


# -- one row ------------------------------------------------------------------------------


def row_windows(inst, x):
    """The windows of a row and the check of a returned row by the libraries."""
    if inst["family"] == "multiclass":
        model, scores = inst["model"], inst["scores"]
        target = scores.classes[np.argsort(model.predict_proba(x[None]))[0, -2]]
        windows = class_windows(scores, target, margin=inst["margin"])
        return windows, lambda row: model.predict(row[None])[0] == target
    if inst["binary"]:
        return inst["windows"], lambda row: all(m.predict(row[None])[0] == 1
                                                for m in inst["models"])
    lo = inst["windows"][0][1]
    return inst["windows"], lambda row: all(m.predict(row[None])[0] >= lo - 1e-6
                                            for m in inst["models"])


def eligible_rows(inst):
    X = inst["X"]
    if inst["family"] == "multiclass":
        return np.arange(len(X))
    flats_scores = np.stack([f.to_core().raw_score_batch(X) for f, _, _ in inst["windows"]], 1)
    lo = np.array([lo for _, lo, _ in inst["windows"]])
    return np.flatnonzero((flats_scores < lo).all(axis=1))


def policy_args(n):
    return np.zeros(n, np.uint8), np.zeros(n), np.zeros(n)


def solve_ours(cw, x, sigma):
    n = len(x)
    (e, lo, hi, _), further = cw[0], cw[1:]
    t = time.perf_counter()
    out = core.solve_exact_raw(e, make_constraints(n), x, lo, hi, sigma, np.ones(n), 0.0,
                               *policy_args(n), node_budget=10**12, time_budget_s=BUDGET,
                               search="refine", windows=further or None)
    return time.perf_counter() - t, out


def arrays_of(flat):
    return dict(feature=flat.feature, threshold=flat.threshold, is_lt=flat.is_lt,
                missing_left=flat.missing_left, left=flat.left, right=flat.right,
                value=flat.value, tree_roots=flat.tree_roots, node_set=flat.node_set,
                set_offsets=flat.set_offsets, set_words=flat.set_words)


def solve_milp(windows, cw, x, sigma, limit):
    n = len(x)
    offsets, value, cost, _, _, _ = core.debug_domains_raw(
        cw[0][0], make_constraints(n), x, sigma, np.ones(n), 0.0, *policy_args(n),
        windows=cw[1:] or None)
    states = [list(zip(value[offsets[f]:offsets[f + 1]], cost[offsets[f]:offsets[f + 1]]))
              for f in range(n)]
    (f0, lo0, hi0), more = windows[0], windows[1:]
    milp = StateMilp(arrays_of(f0), f0.base_score, states, lo0, hi0, leaf_integral=False,
                     windows=[(arrays_of(f), f.base_score, lo, hi) for f, lo, hi in more])
    best, row, status, seconds, _ = milp.solve(time_limit=limit)
    return best, row, status, seconds


def run_row(inst, r, milp_limit):
    x = np.ascontiguousarray(inst["X"][r])
    sigma = np.maximum(inst["X"].std(axis=0), 1e-3)
    windows, accepted = row_windows(inst, x)
    cw = core_windows(windows)
    ours_s, (row, dist, proof, stats, _, _) = solve_ours(cw, x, sigma)
    out = dict(instance=inst["name"], row=int(r), ours_s=ours_s, proof=proof,
               boxes=int(stats[0]), dist=dist, lower=float(stats[3]),
               ours_ok=row is not None and bool(accepted(row)), windows=len(windows))
    if milp_limit > 0:
        best, milp_row, status, milp_s = solve_milp(windows, cw, x, sigma, milp_limit)
        out.update(milp_s=milp_s, milp_status=status, milp_best=best,
                   milp_ok=milp_row is not None and bool(accepted(milp_row)))
        if proof == "optimal" and status == "Optimal" and dist is not None:
            out["agree"] = math.isclose(dist, best, rel_tol=1e-6, abs_tol=1e-9)
    return out


# -- report -------------------------------------------------------------------------------


def fmt_ratio(o):
    if "milp_s" not in o:
        return "-"
    ratio = o["milp_s"] / o["ours_s"]
    return (">" if o["milp_status"] != "Optimal" else "") + f"{ratio:,.0f}x"


def report(results, milp_limit):
    print("\n| instance | windows | row | ours s | proof | boxes | distance | MILP s | MILP/ours | agree |")
    print("|---|---:|---:|---:|---|---:|---:|---:|---:|---|")
    for o in results:
        milp = "-" if "milp_s" not in o else (
            f"{o['milp_s']:.2f}" if o["milp_status"] == "Optimal" else f">{milp_limit:.0f}")
        dist = "-" if o["dist"] is None else f"{o['dist']:.4f}"
        print(f"| {o['instance']} | {o['windows']} | {o['row']} | {o['ours_s']:.4f} | "
              f"{o['proof']} | {o['boxes']:,} | {dist} | {milp} | {fmt_ratio(o)} | "
              f"{o.get('agree', '-')} |")
    for family in ("multiclass", "bootstrap"):
        rows = [o for o in results if family_of(o) == family]
        if not rows:
            continue
        proved = [o for o in rows if o["proof"] == "optimal" and o["ours_s"] <= BUDGET]
        print(f"\n{family}: {len(proved)}/{len(rows)} rows proved within {BUDGET:.0f} s "
              f"({100 * len(proved) / len(rows):.0f}%); median time "
              f"{statistics.median(o['ours_s'] for o in rows):.3f} s")
        timed = [o for o in rows if "milp_s" in o]
        if timed:
            # A MILP stopped by its limit counts with its limit: a lower bound on its time.
            ratios = [o["milp_s"] / o["ours_s"] for o in timed]
            censored = sum(o["milp_status"] != "Optimal" for o in timed)
            print(f"  median MILP/ours {statistics.median(ratios):,.1f}x over {len(timed)} "
                  f"rows ({censored} MILP runs stopped at {milp_limit:.0f} s count as "
                  f"{milp_limit:.0f} s); MILP median {statistics.median(o['milp_s'] for o in timed):.2f} s")
        bad = [o for o in rows if o["dist"] is not None and not o["ours_ok"]]
        disagree = [o for o in rows if o.get("agree") is False]
        print(f"  rows a library does not accept: {len(bad)}; optima that disagree: "
              f"{len(disagree)}")
        for name in dict.fromkeys(o["instance"] for o in rows):
            part = [o for o in rows if o["instance"] == name]
            ok = sum(o["proof"] == "optimal" for o in part)
            print(f"  {name}: {ok}/{len(part)} proved, median "
                  f"{statistics.median(o['ours_s'] for o in part):.3f} s, slowest "
                  f"{max(o['ours_s'] for o in part):.3f} s")


FAMILY = {}


def family_of(o):
    return FAMILY[o["instance"]]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--part", choices=["multiclass", "bootstrap", "all"], default="all")
    ap.add_argument("--rows", type=int, default=6, help="rows per instance")
    ap.add_argument("--milp-limit", type=float, default=60.0, help="0: no MILP")
    ap.add_argument("--milp-rows", type=int, default=None,
                    help="rows per instance that the MILP also solves (default: all)")
    ap.add_argument("--quick", action="store_true")
    args = ap.parse_args()
    gens = []
    if args.part in ("multiclass", "all"):
        gens.append(multiclass_instances(args.quick))
    if args.part in ("bootstrap", "all"):
        gens.append(bootstrap_instances(args.quick))
    results = []
    for gen in gens:
        for inst in gen:
            FAMILY[inst["name"]] = inst["family"]
            pool = eligible_rows(inst)
            rng = np.random.default_rng(inst["seed"])
            rows = rng.choice(pool, size=min(args.rows, len(pool)), replace=False)
            for k, r in enumerate(rows):
                limit = args.milp_limit if args.milp_rows is None or k < args.milp_rows else 0
                o = run_row(inst, r, limit)
                results.append(o)
                print(f"{o['instance']:<28} row {o['row']:>5}: ours {o['ours_s']:7.3f} s "
                      f"{o['proof']:<9} {o['boxes']:>9,} boxes; MILP "
                      f"{o.get('milp_s', math.nan):7.2f} s {o.get('milp_status', '-')}",
                      flush=True)
    report(results, args.milp_limit)


if __name__ == "__main__":
    main()
