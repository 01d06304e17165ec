"""The exact search on wide models (300 and 1,000 trees, 20 and 40 features) against a
HiGHS MILP of the same problem, run side by side.

Models: random forests (sklearn, depth 6 and deep), sklearn gradient boosting, XGBoost and
LightGBM, trained on 1,000 synthetic rows whose features include a one-hot encoded
three-way category and a binary flag. Rows: "flip" (a classifier's rejected row must reach
the accepting side) and "raise" (a regressor's prediction must rise by half a standard
deviation of its predictions; some windows are two-sided). Constraints: "box" (every
continuous feature kept in the data's range [-1, 1], two features frozen, one allowed only
to rise) or "logic" (the box rules plus the one-hot group and an implication "flag = 1
implies category A").

The MILP (tests/python/milp_oracle.py, `StateMilp`) has one binary per candidate state of
every feature (the solver's own domains, so both optimise over exactly the same finite
problem), one binary per leaf, one row per split side linking them, and the same objective;
HiGHS runs single-threaded like the exact search. Both optima are checked to agree and both
rows are scored by the model.

For the exact search the table shows the time to proof, and the incumbent of runs stopped
by a 0.1 s and a 1 s budget (the search is deterministic, so those are its incumbents at
those moments), as the excess over the optimum in percent ("-" = no row yet). The MILP's
incumbents at 0.1 s and 1 s come from its improving-solution callback.

    python benchmarks/bench_wide.py              # all 16 instances; about an hour
    python benchmarks/bench_wide.py --quick      # 6 instances of 300 trees, short MILP limit
    python benchmarks/bench_wide.py --only 3 7 --trace   # incumbent and bound over time
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
from milp_oracle import StateMilp  # noqa: E402

import morvel  # noqa: E402

N_ROWS = 1000
# family, trees, depth (None = grown until leaves hold 5 rows), features, row kind, rules
GRID = [
    ("xgboost", 300, 4, 20, "flip", "box"),
    ("xgboost", 300, 6, 40, "raise", "logic"),
    ("lightgbm", 300, 4, 40, "raise", "box"),
    ("lightgbm", 300, 6, 20, "flip", "logic"),
    ("sklearn-gb", 300, 4, 40, "flip", "logic"),
    ("sklearn-gb", 300, 6, 20, "raise2", "box"),
    ("random-forest", 300, 6, 20, "flip", "box"),
    ("random-forest", 300, None, 40, "raise", "logic"),
    ("xgboost", 1000, 6, 20, "flip", "logic"),
    ("xgboost", 1000, 4, 40, "raise2", "box"),
    ("lightgbm", 1000, 6, 40, "flip", "box"),
    ("lightgbm", 1000, 4, 20, "raise", "logic"),
    ("sklearn-gb", 1000, 6, 40, "raise", "box"),
    ("sklearn-gb", 1000, 4, 20, "flip", "logic"),
    ("random-forest", 1000, None, 20, "flip", "logic"),
    ("random-forest", 1000, 6, 40, "raise", "box"),
]
QUICK = [0, 1, 3, 4, 6, 7]


def make_data(n_features, seed):
    """Continuous columns in [-1, 1], then a one-hot category (3 columns) and a flag."""
    rng = np.random.default_rng(seed)
    n_cont = n_features - 4
    Xc = rng.uniform(-1, 1, size=(N_ROWS, n_cont))
    cat = rng.integers(3, size=N_ROWS)
    flag = (rng.random(N_ROWS) < 0.4).astype(float)
    X = np.column_stack([Xc, np.eye(3)[cat], flag])
    y = (10 * np.sin(np.pi * Xc[:, 0] * Xc[:, 1]) + 20 * (Xc[:, 2] - 0.5) ** 2
         + 10 * Xc[:, 3] + 5 * Xc[:, 4] + 3 * Xc[:, 5] * Xc[:, 6] + 2 * np.abs(Xc[:, 7])
         + np.array([0.0, 3.0, -2.0])[cat] + 3 * flag * Xc[:, 8]
         + 2 * Xc[:, 9:n_cont].sum(axis=1) / max(1, n_cont - 9) ** 0.5
         + rng.normal(size=N_ROWS))
    return X, y


def train(family, trees, depth, X, y, binary, seed):
    if family == "xgboost":
        import xgboost as xgb

        params = {"max_depth": depth, "eta": 0.1, "seed": seed, "nthread": 2}
        if binary:
            params["objective"] = "binary:logistic"
        return xgb.train(params, xgb.DMatrix(X, label=y), num_boost_round=trees)
    if family == "lightgbm":
        import lightgbm as lgb

        params = {"objective": "binary" if binary else "regression",
                  "num_leaves": 2 ** depth - 1, "max_depth": depth, "learning_rate": 0.1,
                  "verbose": -1, "num_threads": 2, "seed": seed, "min_data_in_leaf": 5}
        return lgb.train(params, lgb.Dataset(X, y), num_boost_round=trees)
    if family == "sklearn-gb":
        from sklearn.ensemble import GradientBoostingClassifier, GradientBoostingRegressor

        cls = GradientBoostingClassifier if binary else GradientBoostingRegressor
        return cls(n_estimators=trees, max_depth=depth, learning_rate=0.1,
                   random_state=seed).fit(X, y)
    from sklearn.ensemble import RandomForestClassifier, RandomForestRegressor

    cls = RandomForestClassifier if binary else RandomForestRegressor
    return cls(n_estimators=trees, max_depth=depth, min_samples_leaf=5, max_features=0.5,
               random_state=seed, n_jobs=2).fit(X, y)


def rules_for(kind, n_features):
    n_cont = n_features - 4
    cont = list(range(n_cont))
    rules = dict(range_idx=cont, range_lo=[-1.0] * n_cont, range_hi=[1.0] * n_cont,
                 freeze=[n_cont - 1, n_cont - 2], mono_idx=[4], mono_dir=[1])
    one_hot, implications = [], []
    if kind == "logic":
        group = [n_cont, n_cont + 1, n_cont + 2]
        rules.update(oh_offsets=[0, 3], oh_indices=group, imp_cond_idx=[n_cont + 3],
                     imp_cond_val=[1.0], imp_cons_idx=[n_cont], imp_cons_val=[1.0])
        one_hot, implications = [group], [(n_cont + 3, 1.0, n_cont, 1.0)]
    return rules, one_hot, implications


def instances(indices, seed=0):
    for i in indices:
        family, trees, depth, n_features, kind, rule_kind = GRID[i]
        X, y = make_data(n_features, seed + i)
        binary = kind == "flip"
        label = (y > np.median(y)).astype(float) if binary else y
        flat = morvel.convert(train(family, trees, depth, X, label, binary, seed))
        ensemble = flat.to_core()
        scores = ensemble.raw_score_batch(X)
        rules, one_hot, implications = rules_for(rule_kind, n_features)
        constraints = make_constraints(n_features, **rules)
        ok = np.ones(len(X), bool)
        # Factual rows that satisfy the rules (the implication may not hold in the data).
        if rule_kind == "logic":
            n_cont = n_features - 4
            ok &= ~((X[:, n_cont + 3] == 1.0) & (X[:, n_cont] != 1.0))
        if binary:
            lo_t = 0.5 if family == "random-forest" else 0.0
            ok &= scores < lo_t
        rng = np.random.default_rng(seed + 100 + i)
        r = int(rng.choice(np.flatnonzero(ok)))
        spread = float(np.std(scores))
        if binary:
            hi_t = math.inf
        else:
            lo_t = float(scores[r] + 0.5 * spread)
            hi_t = float(scores[r] + 0.8 * spread) if kind == "raise2" else math.inf
        depth_text = "deep" if depth is None else f"d{depth}"
        yield dict(index=i, name=f"{family} {trees}x{depth_text} f{n_features} {kind} {rule_kind}",
                   trees=trees, flat=flat, ensemble=ensemble, constraints=constraints,
                   one_hot=one_hot, implications=implications, x=X[r].copy(), lo_t=lo_t,
                   hi_t=hi_t, sigma=np.std(X, axis=0), weights=np.ones(n_features),
                   lam=0.1 if i % 2 else 0.0)


def policy_args(n):
    return np.zeros(n, np.uint8), np.zeros(n), np.zeros(n)


def run_exact(inst, budget, mode="refine"):
    n = len(inst["x"])
    t = time.perf_counter()
    out = morvel.core.solve_exact_raw(
        inst["ensemble"], inst["constraints"], inst["x"], inst["lo_t"], inst["hi_t"],
        inst["sigma"], inst["weights"], inst["lam"], *policy_args(n), node_budget=10**12,
        time_budget_s=budget, search=mode)
    return time.perf_counter() - t, out


def build_milp(inst):
    n = len(inst["x"])
    offsets, value, cost, _, _, _ = morvel.core.debug_domains_raw(
        inst["ensemble"], inst["constraints"], inst["x"], inst["sigma"], inst["weights"],
        inst["lam"], *policy_args(n))
    states = [list(zip(value[offsets[f]:offsets[f + 1]], cost[offsets[f]:offsets[f + 1]]))
              for f in range(n)]
    flat = inst["flat"]
    arrays = dict(feature=flat.feature, threshold=flat.threshold, is_lt=flat.is_lt,
                  missing_left=flat.missing_left, left=flat.left, right=flat.right,
                  value=flat.value, tree_roots=flat.tree_roots, node_set=flat.node_set,
                  set_offsets=flat.set_offsets, set_words=flat.set_words)
    # Continuous leaf variables (integral whenever the states are) let HiGHS find rows and
    # proofs sooner than leaf binaries: 21 s against 31 s to proof on instance 0.
    return StateMilp(arrays, flat.base_score, states, inst["lo_t"], inst["hi_t"],
                     inst["one_hot"], inst["implications"], leaf_integral=False)


def incumbent_at(log, t):
    best = math.inf
    for when, primal, _ in log:
        if when <= t and primal < best:
            best = primal
    return best


def accepted(inst, row):
    score = inst["ensemble"].raw_score_batch(row[None, :])[0]
    ok = inst["constraints"].check(row[None, :], inst["x"])[0]
    return bool(ok and inst["lo_t"] <= score <= inst["hi_t"])


def excess(value, optimum):
    if value is None or math.isinf(value):
        return "-"
    if optimum == 0:
        return "0.0" if value == 0 else "inf"
    return f"{100 * (value - optimum) / optimum:.1f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="6 instances of 300 trees")
    parser.add_argument("--only", type=int, nargs="+", help="instance indices to run")
    parser.add_argument("--milp-time-limit", type=float, default=None)
    parser.add_argument("--mode", default="refine")
    parser.add_argument("--no-milp", action="store_true", help="skip the MILP (development)")
    parser.add_argument("--trace", action="store_true",
                        help="incumbent and lower bound over time for each instance")
    args = parser.parse_args()
    indices = args.only or (QUICK if args.quick else range(len(GRID)))
    milp_limit = args.milp_time_limit or (60.0 if args.quick else 600.0)

    print(f"{'#':>2} {'instance':<44} {'MILP s':>8} {'ours s':>8} {'proof':>9} "
          f"{'knodes':>8} {'x':>7} | {'ours .1s':>8} {'ours 1s':>8} {'MILP .1s':>8} "
          f"{'MILP 1s':>8}  optimum")
    rows = []
    for inst in instances(indices):
        budget = 10.0 if inst["trees"] <= 300 else 60.0
        if args.no_milp:
            milp_s, milp_best, milp_log, milp_status = math.nan, math.nan, [], "skipped"
        else:
            milp = build_milp(inst)
            milp_best, milp_row, milp_status, milp_s, milp_log = milp.solve(milp_limit)
            if milp_row is not None:
                assert accepted(inst, milp_row), "MILP row rejected by the model"
        s, out = run_exact(inst, budget, args.mode)
        dist, proof = out[1], out[2]
        if out[0] is not None:
            assert accepted(inst, out[0]), "exact row rejected"
        proved = proof == "optimal"
        optimum = dist if proved else (milp_best if milp_status == "Optimal" else None)
        if proved and milp_status == "Optimal":
            both_none = dist is None and math.isinf(milp_best)
            assert both_none or abs(dist - milp_best) <= 1e-6 * max(1.0, milp_best), \
                (dist, milp_best)
        elif proved and dist is not None and math.isfinite(milp_best):
            # A MILP stopped by its limit still holds a valid row: never cheaper than a proof.
            assert milp_best >= dist - 1e-6 * max(1.0, dist), (dist, milp_best)
        early = {}
        for t in (0.1, 1.0):
            _, o = run_exact(inst, t, args.mode)
            early[t] = o[1]
        opt_val = optimum if optimum is not None else math.nan
        # A MILP stopped by its limit gets its limit as a lower bound on its time.
        milp_text = f"{milp_s:>8.2f}" if milp_status in ("Optimal", "Infeasible", "skipped") \
            else f"{'>' + format(milp_limit, '.0f'):>8}"
        line = (f"{inst['index']:>2} {inst['name']:<44} {milp_text} "
                f"{s if proved else math.inf:>8.3f} {proof:>9.9} {out[3][0] / 1e3:>8.1f} "
                f"{(milp_s / s if proved else 0):>6.1f}x | "
                f"{excess(early[0.1], opt_val):>8} {excess(early[1.0], opt_val):>8} "
                f"{excess(incumbent_at(milp_log, 0.1), opt_val):>8} "
                f"{excess(incumbent_at(milp_log, 1.0), opt_val):>8}  "
                f"{opt_val:.6g} ({milp_status}; MILP best {milp_best:.6g})")
        print(line, flush=True)
        rows.append(dict(inst=inst, milp_s=milp_s, milp_status=milp_status, s=s, proved=proved,
                         early=early, optimum=optimum, lower=out[3][3]))
        if args.trace:
            print_trace(inst, milp_log, args.mode, opt_val)
    summarise(rows)


def print_trace(inst, milp_log, mode, optimum):
    print(f"   {'t (s)':>6} {'ours incumbent':>15} {'ours lower':>11} {'MILP incumbent':>15} "
          f"{'MILP lower':>11}")
    for t in (0.01, 0.03, 0.1, 0.3, 1.0, 3.0, 10.0):
        _, o = run_exact(inst, t, mode)
        # Costs are never negative, so 0 is a bound before HiGHS reports a finite one.
        milp_lower = max([0.0] + [d for when, _, d in milp_log if when <= t])
        inc = "-" if o[1] is None else f"{o[1]:.5g}"
        print(f"   {t:>6} {inc:>15} {o[3][3]:>11.5g} {incumbent_at(milp_log, t):>15.5g} "
              f"{milp_lower:>11.5g}")


def summarise(rows):
    for trees, limit in ((300, 10.0), (1000, 60.0)):
        part = [r for r in rows if r["inst"]["trees"] == trees]
        if not part:
            continue
        proved = [r for r in part if r["proved"] and r["s"] <= limit]
        line = f"{trees} trees: proved {len(proved)} of {len(part)} within {limit:g} s"
        if all(r["proved"] for r in part) and not any(math.isnan(r["milp_s"]) for r in part):
            ours = statistics.median(r["s"] for r in part)
            # MILP runs stopped by their limit count with the limit (their time is longer).
            milp = statistics.median(r["milp_s"] for r in part)
            stopped = sum(r["milp_status"] != "Optimal" for r in part)
            line += (f"; median time to proof {ours:.3f} s vs MILP {milp:.2f} s "
                     f"({milp / ours:.0f}x; {stopped} MILP run(s) stopped by the time limit)")
        print(line)
    have = [r for r in rows if r["optimum"] is not None and not math.isinf(r["optimum"] or 0)]
    first = sum(r["early"][0.1] is not None for r in have)
    close = sum(r["early"][1.0] is not None
                and r["early"][1.0] <= r["optimum"] * 1.05 + 1e-12 for r in have)
    print(f"anytime: a row within 0.1 s on {first} of {len(have)}; within 5% of the optimum "
          f"after 1 s on {close} of {len(have)}")


if __name__ == "__main__":
    main()
