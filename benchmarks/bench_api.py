"""The package API against the raw native calls it wraps, and against DiCE.

Sections (`--section explain|many|genetic`; all three by default):
- explain: `Explainer.explain(row, desired_class=1)` against the raw core call it makes
  (`solve_exact_raw`, refine search, on the explainer's prepared ensemble, constraints,
  window, scales and value policies), row by row, the two timed one after the other in
  alternating order over `--rounds` rounds (per-row medians).
- many: `explain_many` on 1,000 rows against the raw core calls on the same rows, spread
  over the same number of threads (a thread pool calling `solve_exact_raw`; the native
  search releases the interpreter lock), interleaved rounds, medians.
- genetic: `explain(method="genetic")` against DiCE's genetic method on the same rows and
  rules, timed per call after each tool's one-time setup; costs over the optimum that
  the API's exact method proves (`readable=False`); every row checked by the model's own
  `predict` and by the rules.

Families: scikit-learn's bundled breast-cancer, diabetes (above the median) and digits
(3 against 8) data, the synthetic loan applicants of `examples/make_credit_example.py`
and `make_classification` data, each split in half (seeded shuffle): models of 100
trees (`HistGradientBoostingClassifier(max_iter=100)`, `GradientBoostingClassifier`)
train on one half and explain held-out rows they reject.

DiCE runs in a separate environment (see benchmarks/README.md):

    python -m venv --system-site-packages /work/venv-perf && /work/venv-perf/bin/pip install dice-ml
    /work/venv-perf/bin/python benchmarks/bench_api.py [--section NAME] [--rounds 3] [--quick]
"""
import argparse
import os
import statistics
import sys
import time
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pandas as pd
from sklearn.datasets import load_breast_cancer, load_diabetes, load_digits, make_classification
from sklearn.ensemble import GradientBoostingClassifier, HistGradientBoostingClassifier

import morvel
from morvel import core
from morvel.problem import targets as tg
from morvel.search import row as search_row

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "examples"))
from make_credit_example import applicants  # noqa: E402

TARGET = tg.desired_class(1)


# ---- families ------------------------------------------------------------------------


def data_sets(seed: int):
    """(name, X, y) for each data set, X a frame of numbers, y 0/1."""
    X, y = load_breast_cancer(return_X_y=True, as_frame=True)
    yield "cancer", X, y
    X, y = load_diabetes(return_X_y=True, as_frame=True)
    yield "diabetes", X, (y > y.median()).astype(int)
    X, y = load_digits(return_X_y=True, as_frame=True)
    pick = y.isin([3, 8])
    yield "digits", X[pick], (y[pick] == 8).astype(int)
    X, y = applicants(6000, seed=seed)
    yield "credit", X.drop(columns="housing"), pd.Series(y)
    X, y = make_classification(n_samples=6000, n_features=10, n_informative=3, n_redundant=2,
                               random_state=seed)
    yield "synth", pd.DataFrame(X, columns=[f"f{j}" for j in range(10)]), pd.Series(y)


def models(seed: int):
    yield "hgb", HistGradientBoostingClassifier(max_iter=100, random_state=seed)
    yield "gb", GradientBoostingClassifier(n_estimators=100, random_state=seed)


def split(X, y, seed: int):
    order = np.random.default_rng(seed).permutation(len(X))
    half = len(X) // 2
    train, held = order[:half], order[half:]
    return (X.iloc[train].reset_index(drop=True), y.iloc[train].reset_index(drop=True),
            X.iloc[held].reset_index(drop=True))


def family(name, X, y, model, seed, rules=None):
    """A fitted model, its explainer, and the held-out rows it rejects."""
    X_train, y_train, held = split(X, y, seed)
    model.fit(X_train, y_train)
    if rules is None:
        rules = morvel.Rules().freeze(str(X.columns[0]))
    explainer = morvel.Explainer(model, X_train, constraints=rules, random_state=seed)
    rejected = held[model.predict(held) == 0].reset_index(drop=True)
    return model, explainer, rejected, X_train, y_train


def interleaved(n_rows: int, rounds: int, sides) -> tuple[np.ndarray, np.ndarray]:
    """Wall-clock and process CPU seconds, (row, side, round), of calling each of the two
    `sides` on each row, the two one after the other in an order that alternates."""
    wall = np.zeros((n_rows, 2, rounds))
    cpu = np.zeros((n_rows, 2, rounds))
    for r in range(rounds):
        for i in range(n_rows):
            for side in ((0, 1) if (r + i) % 2 == 0 else (1, 0)):
                start, start_cpu = time.perf_counter(), time.process_time()
                sides[side](i)
                wall[i, side, r] = time.perf_counter() - start
                cpu[i, side, r] = time.process_time() - start_cpu
    return wall, cpu


class RawCore:
    """The raw exact call `explain` makes for a row, with everything prepared."""

    def __init__(self, explainer):
        self.ex = explainer
        self.window = tg.window(TARGET, explainer.adapter, explainer.margin,
                                explainer.proba_eps)

    def codes(self, rows):
        return self.ex.schema.rows(rows, "rows")[1]

    def __call__(self, x):
        ex = self.ex
        return core.solve_exact_raw(
            ex.ensemble, ex.rules.constraints(x), x, self.window[0], self.window[1], ex.sigma,
            ex.weights, ex.lam, *ex.rules.policies, search="refine")


# ---- explain: one row ----------------------------------------------------------------


def explain_section(args):
    print(f"\n## explain(): per row against the raw core call ({args.rounds} rounds, "
          "per-row medians; wall clock, then process CPU time)")
    print(f"{'data':9} {'model':5} {'rows':>4} {'core ms':>8} {'API ms':>8} {'extra ms':>9} "
          f"{'ratio med':>9} {'ratio p90':>9} {'sums':>6} {'cpu ratio med':>13}")
    ratios = {"hgb": ([], []), "gb": ([], [])}
    for name, X, y in data_sets(args.seed):
        for kind, model in models(args.seed):
            _, ex, rejected, _, _ = family(name, X, y, model, args.seed)
            rows = rejected.iloc[:args.explain_rows]
            raw = RawCore(ex)
            codes = raw.codes(rows)
            series = [rows.iloc[i] for i in range(len(rows))]  # the rows as a user holds them
            ex.explain(series[0], desired_class=1)  # warm-up
            wall, cpu = interleaved(len(rows), args.rounds, (
                lambda i: raw(codes[i]), lambda i: ex.explain(series[i], desired_class=1)))
            per_row = np.median(wall, axis=2)
            ratio = per_row[:, 1] / per_row[:, 0]
            # CPU times tick in coarse steps: a row is rated by its total over the rounds.
            cpu_ratio = cpu[:, 1].sum(axis=1) / np.maximum(cpu[:, 0].sum(axis=1), 1e-9)
            ratios[kind][0].extend(ratio.tolist())
            ratios[kind][1].extend(cpu_ratio.tolist())
            print(f"{name:9} {kind:5} {len(rows):4d} {np.median(per_row[:, 0]) * 1e3:8.2f} "
                  f"{np.median(per_row[:, 1]) * 1e3:8.2f} "
                  f"{np.median(per_row[:, 1] - per_row[:, 0]) * 1e3:9.2f} "
                  f"{np.median(ratio):9.2f} {np.quantile(ratio, 0.9):9.2f} "
                  f"{per_row[:, 1].sum() / per_row[:, 0].sum():6.2f} "
                  f"{np.median(cpu_ratio):13.2f}", flush=True)
    for kind, (values, cpu_values) in ratios.items():
        print(f"{kind}: median explain/core over {len(values)} rows {np.median(values):.2f}x "
              f"wall, {np.median(cpu_values):.2f}x CPU (target: at most 2x)")


# ---- explain_many: 1,000 rows --------------------------------------------------------


def many_section(args):
    n_jobs = os.cpu_count() or 1
    print(f"\n## explain_many on {args.many_rows} rows against the raw core calls on "
          f"{n_jobs} threads ({args.rounds} rounds, medians)")
    print(f"{'data':9} {'model':5} {'core rows/s':>11} {'API rows/s':>10} {'API/core':>8} "
          f"{'cpu':>8} {'found':>6} {'valid':>6}")
    shares = []
    for name, X, y in data_sets(args.seed):
        if name not in args.many_data:
            continue
        for kind, model in models(args.seed):
            model, ex, rejected, _, _ = family(name, X, y, model, args.seed)
            pick = np.random.default_rng(args.seed).choice(
                len(rejected), args.many_rows, replace=len(rejected) < args.many_rows)
            rows = rejected.iloc[np.sort(pick)].reset_index(drop=True)
            raw = RawCore(ex)
            codes = raw.codes(rows)
            times = {"core": [], "api": []}
            cpu = {"core": [], "api": []}
            for r in range(args.rounds):
                for side in (("core", "api") if r % 2 == 0 else ("api", "core")):
                    start, start_cpu = time.perf_counter(), time.process_time()
                    if side == "core":
                        with ThreadPoolExecutor(n_jobs) as pool:
                            list(pool.map(raw, codes))
                    else:
                        out = ex.explain_many(rows, desired_class=1, n_jobs=n_jobs)
                    times[side].append(time.perf_counter() - start)
                    cpu[side].append(time.process_time() - start_cpu)
            core_rate = len(rows) / statistics.median(times["core"])
            api_rate = len(rows) / statistics.median(times["api"])
            cpu_share = statistics.median(cpu["core"]) / statistics.median(cpu["api"])
            shares.append((api_rate / core_rate, cpu_share))
            found = out[out.found]
            valid = (model.predict(found[list(X.columns)]) == 1).mean() if len(found) else 0.0
            print(f"{name:9} {kind:5} {core_rate:11.1f} {api_rate:10.1f} "
                  f"{api_rate / core_rate:8.0%} {cpu_share:8.0%} {out.found.mean():6.0%} "
                  f"{valid:6.0%}", flush=True)
    wall_shares = [w for w, _ in shares]
    print(f"API/core rows per second: median {np.median(wall_shares):.0%}, lowest "
          f"{min(wall_shares):.0%} (wall); median {np.median([c for _, c in shares]):.0%} "
          "(CPU) (target: at least 70%)")


# ---- the genetic method against DiCE ---------------------------------------------------


def dice_explainer(X_train, y_train, model, vary, permitted):
    import dice_ml
    from raiutils.exceptions import UserConfigValidationException

    frame = X_train.copy()
    frame["target"] = y_train.to_numpy()
    data = dice_ml.Data(dataframe=frame, continuous_features=list(X_train.columns),
                        outcome_name="target")
    dice = dice_ml.Dice(data, dice_ml.Model(model=model, backend="sklearn"), method="genetic")

    def one(row):
        try:
            res = dice.generate_counterfactuals(row.to_frame().T, total_CFs=1, desired_class=1,
                                                features_to_vary=vary,
                                                permitted_range=permitted, verbose=False)
        except UserConfigValidationException:  # DiCE's way of saying it found none
            return None
        cfs = res.cf_examples_list[0].final_cfs_df
        if cfs is None or not len(cfs):
            return None
        return cfs[list(X_train.columns)].to_numpy(dtype=np.float64)[0]

    return one


def genetic_section(args):
    warnings.filterwarnings("ignore")
    os.environ["TQDM_DISABLE"] = "1"  # DiCE's progress bars
    print(f"\n## explain(method='genetic') against DiCE genetic ({args.rounds} rounds, "
          "per-row medians of seconds per counterfactual)")
    print(f"{'data':9} {'rows':>4} {'API s/cf':>9} {'DiCE s/cf':>9} {'speed-up':>8} "
          f"{'API cpu s':>9} {'DiCE cpu s':>9} {'cpu x':>8} {'API valid':>9} {'DiCE valid':>10} "
          f"{'API cost/opt':>12} {'DiCE cost/opt':>13}")
    all_api, all_dice, all_ratio, all_valid, all_cpu = [], [], [], [], []
    for name, X, y in data_sets(args.seed):
        if name not in args.genetic_data:
            continue
        X_train, y_train, _ = split(X, y, args.seed)
        frozen = [str(c) for c in X.columns[:3]]
        vary = [str(c) for c in X.columns[3:]]
        lo, hi = X_train.min(), X_train.max()
        rules = morvel.Rules().freeze(*frozen)
        for c in vary:
            rules.range(c, float(lo[c]), float(hi[c]))
        model = GradientBoostingClassifier(n_estimators=100, max_depth=3,
                                           random_state=args.seed)
        model, ex, rejected, X_train, y_train = family(name, X, y, model, args.seed, rules)
        rows = rejected.iloc[:args.genetic_rows]
        dice = dice_explainer(X_train, y_train, model, vary,
                              {c: [float(lo[c]), float(hi[c])] for c in vary})
        api_rows, dice_rows = [None] * len(rows), [None] * len(rows)

        series = [rows.iloc[i] for i in range(len(rows))]

        def api(i):
            api_rows[i] = ex.explain(series[i], desired_class=1, method="genetic",
                                     seed=i).values

        def dice_one(i):
            dice_rows[i] = dice(series[i])

        times, cpu = interleaved(len(rows), args.rounds, (api, dice_one))
        per_row = np.median(times, axis=2)
        api_s, dice_s = np.median(per_row[:, 0]), np.median(per_row[:, 1])
        per_row_cpu = np.median(cpu, axis=2)
        api_cpu, dice_cpu = np.median(per_row_cpu[:, 0]), np.median(per_row_cpu[:, 1])
        checks = [rate(ex, model, rows, found) for found in (api_rows, dice_rows)]
        all_api.append(api_s)
        all_dice.append(dice_s)
        all_ratio += checks[0][1]
        all_valid.append(checks[0][0] == len(rows))
        all_cpu.append(dice_cpu / api_cpu)
        print(f"{name:9} {len(rows):4d} {api_s:9.4f} {dice_s:9.4f} {dice_s / api_s:7.1f}x "
              f"{api_cpu:9.4f} {dice_cpu:9.4f} {dice_cpu / api_cpu:7.1f}x "
              f"{checks[0][0]:5d}/{len(rows):<3d} {checks[1][0]:6d}/{len(rows):<3d} "
              f"{np.median(checks[0][1]):12.4f} {np.median(checks[1][1]):13.3f}", flush=True)
    print(f"speed-up over DiCE genetic per data set: "
          f"{', '.join(f'{d / a:.1f}x' for a, d in zip(all_api, all_dice))} (wall), "
          f"{', '.join(f'{c:.1f}x' for c in all_cpu)} (CPU); API cost over "
          f"the optimum, median of all rows: {np.median(all_ratio):.4f}; every API row valid: "
          f"{all(all_valid)} (target: at least 10x, within 5%, every row valid)")


def rate(ex, model, rows, found):
    """(valid rows, cost/optimum of each valid row): valid by the model's own predict and
    by the rules; the optimum from the API's exact method with the solver's own values."""
    codes = ex.schema.rows(rows, "rows")[1]
    n_valid, ratios = 0, []
    for i, row in enumerate(found):
        if row is None or np.isnan(row).any():
            continue
        x = codes[i]
        accepted = model.predict(pd.DataFrame(row[None, :], columns=rows.columns))[0] == 1
        if not (accepted and ex.rules.constraints(x).check(row[None, :], x)[0]):
            continue
        n_valid += 1
        best = ex.explain(rows.iloc[i], desired_class=1, readable=False, time_budget_s=60.0,
                          node_budget=10**9)
        if best.optimal and best.distance > 0:
            ratios.append(search_row.distance(ex, x, row) / best.distance)
    return n_valid, ratios


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--section", choices=("explain", "many", "genetic"), action="append")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seed", type=int, default=11)
    parser.add_argument("--quick", action="store_true", help="few rows: a smoke run")
    args = parser.parse_args()
    args.explain_rows, args.many_rows, args.genetic_rows = (
        (3, 100, 3) if args.quick else (12, 1000, 20))
    args.many_data = ("cancer", "credit", "synth")
    args.genetic_data = ("cancer", "digits", "credit")
    if args.quick:
        args.rounds = 1
    print(f"seed {args.seed}, {os.cpu_count()} CPUs, load average "
          f"{', '.join(f'{v:.1f}' for v in os.getloadavg())}")
    sections = {"explain": explain_section, "many": many_section, "genetic": genetic_section}
    for name in args.section or sections:
        sections[name](args)
    print(f"load average at the end {', '.join(f'{v:.1f}' for v in os.getloadavg())}")


if __name__ == "__main__":
    main()
