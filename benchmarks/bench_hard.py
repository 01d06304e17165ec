"""Hard instances for the exact search: dense features, fully grown forests, 500-1,000 trees.

Families (each row: a rejected row of a binary classifier must be accepted):

- dense30 xgb: `make_classification` with 30 informative features, XGBoost 300 x depth 4;
- dense45 lgbm: 45 features (40 informative), LightGBM 300 x 15 leaves;
- digits 3v8 xgb, digits 4v9 lgbm: two digit pairs of `load_digits` (64 features, sparse
  thresholds), XGBoost 300 x depth 4 and LightGBM 300 x 15 leaves;
- forest digits 1v7, forest dense30: `RandomForestClassifier()` at its defaults (100 fully
  grown trees) on the digit pair 1 vs 7 and on a 30-feature `make_classification` set;
- lgbm500 / lgbm1000 dense55 and xgb500 / xgb1000 dense60: LightGBM (15 leaves) and
  XGBoost (depth 4) with 500 and 1,000 trees on 55 and 60 features.

Rows are drawn at random among the rows the model rejects (seeded by `--seed`; the figures
in benchmarks/README.md were taken with a seed not used while the search was written).
Distance: sigma = the features' standard deviations, weights 1, lam 0, no rules. Our search
(refine) runs with a 10 s budget, 60 s on the forests; the HiGHS MILP of the same problem
(`StateMilp` in tests/python/milp_oracle.py, over the states the search sees) runs
single-threaded beside it with `--milp-limit` (default: the same budget). Every returned row
is checked with the library's own `predict`, optima are checked to agree, and our bound
never to pass a proved optimum. The table gives, per family, the rows proved, the medians,
the rows the MILP proved and we did not, every unproved row's gap, and how far our row at
the limit lies above the MILP's.

    python benchmarks/bench_hard.py                       # every family, 10 rows each
    python benchmarks/bench_hard.py --quick               # 3 rows, no MILP
    python benchmarks/bench_hard.py --families forest-dense30 --rows 4 --anytime
    python benchmarks/bench_hard.py --parallel            # the MILP on a second core
"""
import argparse
import math
import os
import statistics
import sys
import time
from concurrent.futures import ProcessPoolExecutor

os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))
from conftest import make_constraints  # noqa: E402
from milp_oracle import StateMilp  # noqa: E402

import _morvel_core as core  # noqa: E402
from morvel.models import convert  # noqa: E402

ANYTIME = (0.1, 1.0, 10.0)


def dense(n_features, n_informative, seed):
    from sklearn.datasets import make_classification

    X, y = make_classification(n_samples=2000, n_features=n_features,
                               n_informative=n_informative, n_redundant=0,
                               random_state=seed)
    return X, y


def digits(a, b):
    from sklearn.datasets import load_digits

    X, y = load_digits(return_X_y=True)
    keep = (y == a) | (y == b)
    return X[keep].astype(np.float64), (y[keep] == b).astype(int)


def xgb(trees, seed):
    import xgboost

    return xgboost.XGBClassifier(n_estimators=trees, max_depth=4, n_jobs=1, random_state=seed)


def lgbm(trees, seed):
    import lightgbm

    return lightgbm.LGBMClassifier(n_estimators=trees, num_leaves=15, verbose=-1, n_jobs=1,
                                   random_state=seed)


def forest(seed):
    from sklearn.ensemble import RandomForestClassifier

    return RandomForestClassifier(random_state=seed, n_jobs=1)


# name: (data, model, budget s); seeds of data and model follow --seed.
FAMILIES = {
    "dense30-xgb": (lambda s: dense(30, 30, s), lambda s: xgb(300, s), 10.0),
    "dense45-lgbm": (lambda s: dense(45, 40, s), lambda s: lgbm(300, s), 10.0),
    "digits3v8-xgb": (lambda s: digits(3, 8), lambda s: xgb(300, s), 10.0),
    "digits4v9-lgbm": (lambda s: digits(4, 9), lambda s: lgbm(300, s), 10.0),
    "forest-digits1v7": (lambda s: digits(1, 7), forest, 60.0),
    "forest-dense30": (lambda s: dense(30, 24, s), forest, 60.0),
    "lgbm500-dense55": (lambda s: dense(55, 45, s), lambda s: lgbm(500, s), 10.0),
    "lgbm1000-dense55": (lambda s: dense(55, 45, s), lambda s: lgbm(1000, s), 10.0),
    "xgb500-dense60": (lambda s: dense(60, 50, s), lambda s: xgb(500, s), 10.0),
    "xgb1000-dense60": (lambda s: dense(60, 50, s), lambda s: xgb(1000, s), 10.0),
}


def instance(name, seed):
    data, model, budget = FAMILIES[name]
    X, y = data(seed)
    X = np.ascontiguousarray(X, dtype=np.float64)
    m = model(seed).fit(X, y)
    flat = convert(m)
    ensemble = flat.to_core()
    # A forest's raw score is the probability of class 1; a booster's is its margin.
    # A forest's predict averages the trees' probabilities in its own order and picks class 0
    # on a tie at one half: the window starts a little above it.
    lo_t = 0.5 + 1e-9 if name.startswith("forest") else 0.0
    return dict(name=name, X=X, model=m, flat=flat, ensemble=ensemble, lo_t=lo_t,
                budget=budget, sigma=np.maximum(X.std(axis=0), 1e-3))


def rows_of(inst, count, seed):
    scores = inst["ensemble"].raw_score_batch(inst["X"])
    pool = np.flatnonzero(scores < inst["lo_t"])
    rng = np.random.default_rng(seed + 1000)
    return rng.choice(pool, size=min(count, len(pool)), replace=False)


def policy(n):
    return np.zeros(n, np.uint8), np.zeros(n), np.zeros(n)


def solve_ours(inst, x, budget):
    n = len(x)
    t = time.perf_counter()
    row, dist, proof, stats, _, trace = core.solve_exact_raw(
        inst["ensemble"], make_constraints(n), x, inst["lo_t"], math.inf, inst["sigma"],
        np.ones(n), 0.0, *policy(n), node_budget=10**12, time_budget_s=budget,
        search="refine")
    return dict(s=time.perf_counter() - t, row=row, dist=dist, proof=proof,
                boxes=int(stats[0]), lower=float(stats[3]))


def milp_input(inst, x):
    """What the MILP needs, in plain arrays (so another process can solve it)."""
    n = len(x)
    offsets, value, cost, _, _, _ = core.debug_domains_raw(
        inst["ensemble"], make_constraints(n), x, inst["sigma"], np.ones(n), 0.0, *policy(n))
    states = [list(zip(value[offsets[f]:offsets[f + 1]], cost[offsets[f]:offsets[f + 1]]))
              for f in range(n)]
    f = inst["flat"]
    arrays = dict(feature=f.feature, threshold=f.threshold, is_lt=f.is_lt,
                  missing_left=f.missing_left, left=f.left, right=f.right, value=f.value,
                  tree_roots=f.tree_roots, node_set=f.node_set, set_offsets=f.set_offsets,
                  set_words=f.set_words)
    return arrays, f.base_score, states, inst["lo_t"]


def solve_milp(arrays, base, states, lo_t, limit):
    milp = StateMilp(arrays, base, states, lo_t, math.inf, leaf_integral=False)
    best, row, status, seconds, log = milp.solve(time_limit=limit)
    return dict(s=seconds, best=best, row=row, status=status, log=log)


def accepted(inst, row):
    return row is not None and int(inst["model"].predict(row[None])[0]) == 1


def milp_at(log, t):
    """The MILP's incumbent and dual bound at t seconds (inf and 0 before it reports)."""
    inc = min([p for when, p, _ in log if when <= t], default=math.inf)
    low = max([0.0] + [d for when, _, d in log if when <= t and math.isfinite(d)])
    return inc, low


def run_row(inst, r, milp_limit, anytime, pool):
    x = np.ascontiguousarray(inst["X"][r])
    pending = None
    if milp_limit > 0 and pool is not None:
        pending = pool.submit(solve_milp, *milp_input(inst, x), milp_limit)
    ours = solve_ours(inst, x, inst["budget"])
    assert ours["row"] is None or accepted(inst, ours["row"]), "our row rejected by predict"
    out = dict(family=inst["name"], row=int(r), ours=ours)
    if milp_limit > 0:
        milp = pending.result() if pending else solve_milp(*milp_input(inst, x), milp_limit)
        assert milp["row"] is None or accepted(inst, milp["row"]), "MILP row rejected"
        out["milp"] = milp
        if ours["proof"] == "optimal" and ours["dist"] is not None:
            if milp["status"] == "Optimal":
                assert math.isclose(ours["dist"], milp["best"], rel_tol=1e-6, abs_tol=1e-9), \
                    (ours["dist"], milp["best"])
            elif math.isfinite(milp["best"]):
                assert milp["best"] >= ours["dist"] - 1e-6 * max(1.0, ours["dist"])
        if milp["status"] == "Optimal" and math.isfinite(milp["best"]):
            # Every bound we report must stay below a proved optimum.
            assert ours["lower"] <= milp["best"] + 1e-6 * max(1.0, milp["best"])
    if anytime:
        out["curve"] = [(t, solve_ours(inst, x, t)) for t in ANYTIME if t < inst["budget"]]
    return out


def gap_text(o):
    d, low = o["dist"], o["lower"]
    if o["proof"] == "optimal":
        return "0"
    if d is None:
        return "no row"
    return f"{100 * (d - low) / d:.1f}%"


def excess(o):
    """How far our row is above the best row either side found, in percent."""
    ours, milp = o["ours"]["dist"], o.get("milp", {}).get("best", math.inf)
    if ours is None:
        return math.inf if math.isfinite(milp) else 0.0
    return 100 * (ours - min(ours, milp)) / max(min(ours, milp), 1e-12)


def print_row(o):
    ours, milp = o["ours"], o.get("milp")
    milp_text = "" if milp is None else (
        f" | MILP {milp['s']:6.2f} s {milp['status'][:12]:<12} {milp['best']:.5g}"
        f" (ours +{excess(o):.2f}%)")
    dist = "-" if ours["dist"] is None else f"{ours['dist']:.5g}"
    print(f"{o['family']:<18} {o['row']:>5}: ours {ours['s']:7.3f} s {ours['proof']:<9} "
          f"{ours['boxes']:>9,} boxes {dist:>9} lower {ours['lower']:.5g} gap {gap_text(ours)}"
          f"{milp_text}", flush=True)
    for t, c in o.get("curve", []):
        inc = "-" if c["dist"] is None else f"{c['dist']:.5g}"
        line = f"    at {t:>4} s: ours {inc} / {c['lower']:.5g}"
        if milp is not None:
            mi, ml = milp_at(milp["log"], t)
            line += f"; MILP {mi:.5g} / {ml:.5g}"
        print(line)


def summarise(results):
    print()
    print("| family | rows | proved | median ours s | median MILP s (stopped) | median MILP/ours "
          "| MILP proved, ours not | gaps of unproved rows | ours over MILP's row, worst |")
    print("|---|---:|---:|---:|---:|---:|---:|---|---:|")
    for name in dict.fromkeys(o["family"] for o in results):
        part = [o for o in results if o["family"] == name]
        budget = FAMILIES[name][2]
        proved = [o for o in part if o["ours"]["proof"] == "optimal"
                  and o["ours"]["s"] <= budget * 1.05]
        ours_med = statistics.median(o["ours"]["s"] for o in part)
        timed = [o for o in part if "milp" in o]
        milp_text = ratio_text = lost = worst = "-"
        if timed:
            stopped = sum(o["milp"]["status"] != "Optimal" for o in timed)
            milp_text = f"{statistics.median(o['milp']['s'] for o in timed):.2f} ({stopped})"
            ratio = statistics.median(o["milp"]["s"] / o["ours"]["s"] for o in timed)
            ratio_text = f"{ratio:,.1f}x"
            lost = str(sum(o["milp"]["status"] == "Optimal"
                           and o["ours"]["proof"] != "optimal" for o in timed))
            worst = f"{max(excess(o) for o in timed):.2f}%"
        gaps = ", ".join(gap_text(o["ours"]) for o in part if o["ours"]["proof"] != "optimal")
        print(f"| {name} | {len(part)} | {len(proved)} | {ours_med:.3f} | {milp_text} | "
              f"{ratio_text} | {lost} | {gaps or '-'} | {worst} |")
    n = len(results)
    proved = sum(o["ours"]["proof"] == "optimal" for o in results)
    print(f"\nproved {proved} of {n} rows ({100 * proved / max(n, 1):.0f}%)")


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--families", nargs="+", choices=list(FAMILIES), default=list(FAMILIES))
    ap.add_argument("--rows", type=int, default=10)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--milp-limit", type=float, default=None,
                    help="seconds per MILP (default: the family's budget; 0: no MILP)")
    ap.add_argument("--budget", type=float, default=None, help="override every budget")
    ap.add_argument("--anytime", action="store_true",
                    help="incumbent and bound at 0.1, 1 and 10 s (runs stopped there)")
    ap.add_argument("--quick", action="store_true", help="3 rows per family, no MILP")
    ap.add_argument("--parallel", action="store_true",
                    help="solve each row's MILP in a second process while ours runs (both "
                         "single-threaded, so each has a core of a two-core machine)")
    args = ap.parse_args()
    pool = ProcessPoolExecutor(1) if args.parallel else None
    rows = 3 if args.quick else args.rows
    results = []
    try:
        for name in args.families:
            inst = instance(name, args.seed)
            if args.budget is not None:
                inst["budget"] = args.budget
            limit = 0.0 if args.quick else (args.milp_limit if args.milp_limit is not None
                                            else inst["budget"])
            for r in rows_of(inst, rows, args.seed):
                o = run_row(inst, r, limit, args.anytime, pool)
                print_row(o)
                results.append(o)
    finally:
        if pool is not None:
            pool.shutdown()  # before interpreter exit, which otherwise trips over its pipe
    summarise(results)


if __name__ == "__main__":
    main()
