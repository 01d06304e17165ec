"""Rows per second of `explain_many` on one thread, on the local worker pool (threads),
and on a dask.distributed LocalCluster of 2 worker processes; and what each way ships.

Model: scikit-learn's GradientBoostingClassifier (60 trees, depth 3) on the bundled
breast-cancer data; rows: the rejected rows, repeated to N; target: class 1; three
features frozen; exact method (refine search), and the genetic method where the build has
it. Each mode runs the same batch `--rounds` times (median); the cluster is started once,
before timing, and its start-up and the explainer's scatter are reported apart. Every
mode's result frame must equal the single-thread one, row for row.

    python benchmarks/bench_scale.py [--rows 120] [--rounds 2] [--workers 2]
"""
import argparse
import os
import pickle
import statistics
import time

import numpy as np
import pandas as pd
from sklearn.datasets import load_breast_cancer
from sklearn.ensemble import GradientBoostingClassifier

import morvel
from morvel import core

FROZEN = ["mean radius", "mean texture", "mean perimeter"]


def task(n_rows: int):
    X, y = load_breast_cancer(return_X_y=True, as_frame=True)
    model = GradientBoostingClassifier(n_estimators=60, max_depth=3, random_state=0).fit(X, y)
    rejected = X[model.predict(X) == 0]
    rows = pd.concat([rejected] * (n_rows // len(rejected) + 1)).iloc[:n_rows]
    rows = rows.reset_index(drop=True)
    explainer = morvel.Explainer(model, X, random_state=0,
                                 constraints=morvel.Rules().freeze(*FROZEN))
    return explainer, rows


def _spin(n: int) -> int:
    total = 0
    for i in range(n):
        total += i * i % 7
    return total


def machine_parallelism(workers: int) -> float:
    """How much faster `workers` processes finish 2*workers CPU-bound jobs than one
    process: the speed-up this machine offers right now (other load takes its share)."""
    from concurrent.futures import ProcessPoolExecutor

    jobs = [3_000_000] * (2 * workers)
    times = []
    for n in (1, workers):
        with ProcessPoolExecutor(n) as pool:
            list(pool.map(_spin, [1000] * n))  # start the processes first
            start = time.perf_counter()
            list(pool.map(_spin, jobs))
            times.append(time.perf_counter() - start)
    return times[0] / times[1]


def timed(fn, rounds: int):
    times, out = [], None
    for _ in range(rounds):
        start = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=120)
    parser.add_argument("--rounds", type=int, default=2)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--genetic-factor", type=int, default=20,
                        help="the genetic method explains the rows repeated this often")
    args = parser.parse_args()

    from distributed import Client, LocalCluster

    explainer, rows = task(args.rows)
    # The genetic batch is some hundred times faster per row: a longer batch for it, so
    # that the per-chunk overheads are measured against real work.
    methods = [("exact", rows, {"time_budget_s": 10.0})]
    if hasattr(core, "solve_genetic_raw"):
        many = pd.concat([rows] * args.genetic_factor, ignore_index=True)
        methods.append(("genetic", many, {"population": 60, "max_generations": 60}))
    cpus = os.cpu_count()
    blob = len(pickle.dumps(explainer, protocol=pickle.HIGHEST_PROTOCOL))
    print(f"{len(rows)} rows x {rows.shape[1]} features; {cpus} CPUs; explainer pickled: "
          f"{blob / 1e6:.2f} MB")
    print(f"machine reference: {args.workers} processes run CPU-bound jobs "
          f"{machine_parallelism(args.workers):.2f}x faster than 1 (before the runs)")

    started = time.perf_counter()
    cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                           dashboard_address=None)
    client = Client(cluster, set_as_default=False)
    startup = time.perf_counter() - started
    warm = time.perf_counter()
    explainer.explain_many(rows.iloc[:2], desired_class=1, client=client)  # workers import
    first_call = time.perf_counter() - warm
    print(f"LocalCluster start {startup:.1f} s; first call (imports, scatter) {first_call:.1f} s")

    print("\n| method  | rows | mode                          | median s | rows/s | vs n_jobs=1 |")
    print("|---------|-----:|-------------------------------|---------:|-------:|------------:|")
    try:
        for method, rows, options in methods:
            kw = dict(desired_class=1, method=method, **options)
            base, ref = timed(lambda: explainer.explain_many(rows, n_jobs=1, **kw), args.rounds)
            pool, out_pool = timed(lambda: explainer.explain_many(rows, n_jobs=-1, **kw),
                                   args.rounds)
            dist, out_dist = timed(lambda: explainer.explain_many(rows, client=client,
                                                                  n_jobs=1, **kw),
                                   args.rounds)
            pd.testing.assert_frame_equal(out_pool, ref)
            pd.testing.assert_frame_equal(out_dist, ref)
            for name, t in (("1 process, n_jobs=1", base),
                            (f"1 process, n_jobs=-1 ({cpus})", pool),
                            (f"LocalCluster, {args.workers} processes", dist)):
                print(f"| {method:7s} | {len(rows):4d} | {name:29s} | {t:8.2f} | "
                      f"{len(rows) / t:6.1f} | {base / t:10.2f}x |")
    finally:
        client.close()
        cluster.close()
    print(f"machine reference after the runs: {machine_parallelism(args.workers):.2f}x")
    chunk = methods[0][1].iloc[:max(1, len(methods[0][1]) // (4 * args.workers))]
    result = explainer.explain_many(chunk, desired_class=1)
    print(f"\nper chunk of {len(chunk)} rows: {chunk.to_numpy().nbytes / 1e3:.1f} kB of rows "
          f"out, {result.memory_usage(deep=True).sum() / 1e3:.1f} kB of results back")


if __name__ == "__main__":
    np.seterr(all="ignore")
    main()
