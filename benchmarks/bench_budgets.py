"""Budgets and stops: how closely the genetic search keeps its time budget on models whose
first population is large, whether the API's genetic rows repeat once a short budget
binds, and how fast Ctrl-C ends `explain_many` with the exact method on threads.

    python benchmarks/bench_budgets.py [--section budget|repeat|ctrl-c]

budget: stumps on distinct thresholds over 20 features (one candidate value per stump),
  `solve_genetic_raw` from x = 0 towards a window its score cannot reach, seed 3.
repeat: a 300-iteration depth-6 `HistGradientBoostingClassifier` on 2,000 rows of
  `make_classification` (12 features, random_state 3); its first 200 rejected rows through
  `explain_many(method="genetic", time_budget_s=0.5)` twice, and 20 of them alone with the
  seeds the batch gives them.
ctrl-c: the `RandomForestClassifier(random_state=0)` of the breast-cancer data, six rows
  whose exact search runs for minutes, through `explain_many` (2 threads, no time limit)
  and `morvel explain --all --time-budget inf`; SIGINT one second after the searches
  start, time until the process has exited.
"""
import argparse
import math
import os
import pickle
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "python"))
from conftest import make_constraints  # noqa: E402
from test_large_models import complete_trees  # noqa: E402

import morvel  # noqa: E402
from morvel import core  # noqa: E402
from morvel.search import batch as _batch  # noqa: E402


def budget():
    print(f"{'stumps':>8} {'budget s':>8} {'wall s':>7} {'generations':>11}")
    for n_stumps in (50_000, 200_000):
        rng = np.random.default_rng(4)
        model = complete_trees(rng, n_stumps, 1, 20, thresholds=rng.uniform(-1, 1, 3 * n_stumps))
        x = np.zeros(20)
        for seconds in (0.1, 0.5, 2.0):
            started = time.monotonic()
            _, generations = core.solve_genetic_raw(
                model, make_constraints(20), x, 1e9, math.inf, np.ones(20), np.ones(20), 0.0,
                seed=3, time_budget_s=seconds)
            print(f"{n_stumps:>8} {seconds:>8} {time.monotonic() - started:>7.3f} "
                  f"{generations:>11}")


def repeat():
    from sklearn.datasets import make_classification
    from sklearn.ensemble import HistGradientBoostingClassifier
    X, y = make_classification(n_samples=2000, n_features=12, n_informative=8, random_state=3)
    model = HistGradientBoostingClassifier(max_iter=300, max_depth=6, early_stopping=False,
                                           random_state=0).fit(X, y)
    rows = X[model.predict(X) == 0][:200]
    ex = morvel.Explainer(model, X, random_state=7)
    options = dict(desired_class=1, method="genetic", time_budget_s=0.5)
    times, frames = [], []
    for _ in range(2):
        started = time.monotonic()
        frames.append(ex.explain_many(rows, **options))
        times.append(time.monotonic() - started)
    a, b = (f[["distance", *ex.feature_names]].to_numpy(float) for f in frames)
    differ = int((~((a == b) | (np.isnan(a) & np.isnan(b)))).any(axis=1).sum())
    seeds = _batch.row_seeds(7, range(len(rows)))
    alone = sum(ex.explain(rows[k], seed=seeds[k], **options).distance
                != frames[0].distance[k] for k in range(20))
    print(f"explain_many of {len(rows)} rows: {times[0]:.1f} s and {times[1]:.1f} s; rows that "
          f"differ between the calls: {differ}; of 20 rows alone, differing from the batch: "
          f"{alone}; mean distance {frames[0].distance.mean():.4f}")


def ctrl_c():
    from sklearn.datasets import load_breast_cancer
    from sklearn.ensemble import RandomForestClassifier
    from test_stop import API_SCRIPT, ROWS, interrupt_and_time_exit
    X, y = load_breast_cancer(return_X_y=True, as_frame=True)
    model = RandomForestClassifier(random_state=0).fit(X, y)
    d = Path(tempfile.mkdtemp())
    with open(d / "model.pkl", "wb") as f:
        pickle.dump(model, f)
    X[model.predict_proba(X)[:, 1] < 0.5].iloc[ROWS].to_csv(d / "rows.csv", index=False)
    cli = [sys.executable, "-m", "morvel", "explain", "--model", "model.pkl", "--trust-pickle",
           "--data", "rows.csv", "--all", "--target", "class=1", "--time-budget", "inf",
           "--progress"]
    for name, command, marker in (("explain_many", [sys.executable, "-c", API_SCRIPT],
                                   "searching"), ("morvel explain", cli, "explaining")):
        seconds, status = interrupt_and_time_exit(command, d, marker)
        print(f"{name}: exited {seconds:.2f} s after SIGINT, status {status}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--section", choices=["budget", "repeat", "ctrl-c"])
    args = ap.parse_args()
    for name, run in (("budget", budget), ("repeat", repeat), ("ctrl-c", ctrl_c)):
        if args.section in (None, name):
            print(f"== {name}")
            run()


if __name__ == "__main__":
    main()
