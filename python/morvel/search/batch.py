"""Many rows at once: per-row seeds, the batch genetic search, the exact search on a
thread pool (the native solvers release the interpreter lock), progress bars, and the
result frame in input order."""
from __future__ import annotations

import functools
import sys
from concurrent.futures import ThreadPoolExecutor, as_completed

import numpy as np
import pandas as pd

import _morvel_core as core

from ..problem import targets as tg
from . import change_sets as _changes
from . import goal as _goal
from . import row as _search

_CHUNK = 256  # rows per batch call: the progress bar's step, and a point to stop at
META_COLUMNS = ["found", "status", "optimal", "distance", "lower_bound", "gap", "n_changes"]


def row_seeds(random_state: int | None, positions) -> list[int]:
    """A 64-bit seed per row position, fixed by the random_state and the position alone
    (so a row gets the same seed alone, in a batch, or in any partition of a batch)."""
    # A seed's entropy is the seed itself; None draws fresh entropy.
    base = np.random.SeedSequence().entropy if random_state is None else random_state
    return [_seed(base, int(p)) for p in positions]


@functools.lru_cache(maxsize=1024)  # explain() asks for the same one call after call
def _seed(base: int, position: int) -> int:
    words = np.random.SeedSequence(base, spawn_key=(position,)).generate_state(2, np.uint32)
    return int(words[0]) << 32 | int(words[1])


def solve_rows(ex, X: np.ndarray, target: tg.Target, opts: _search.Options, n_jobs: int,
               progress: bool | None, positions=None, seed_base=None) -> list[_search.Outcome]:
    """Outcomes in row order. The library is asked once for the whole batch, about the
    factual rows (which of them already meet the target) and the search's answers
    together. Rows whose core score says they are likely to meet the target already are
    searched only if the library then says they do not (a second call, for those rows);
    answers the library rejects are searched again on their own with a wider margin.

    `positions` are the rows' places in the whole batch and `seed_base` the batch's seed
    (default: the explainer's random_state), so that a partition of a batch gets the seeds
    the rows would get in the whole batch."""
    positions = range(len(X)) if positions is None else positions
    seeds = row_seeds(ex.random_state if seed_base is None else seed_base, positions)
    outcomes: list = [None] * len(X)
    if not len(X):
        return outcomes
    rules_ok, likely = _search.screen(ex, X, target)
    retries: list = []
    bar = _progress_bar(len(X), progress)
    try:
        todo = np.flatnonzero(~likely)
        found = _search_rows(ex, X, todo, target, opts, seeds, n_jobs, bar)
        turned_down = _settle(ex, X, target, outcomes, retries, todo, found,
                              np.flatnonzero(rules_ok))
        bar.update(int(np.sum(likely)) - len(turned_down))
        if turned_down:
            again = np.asarray(turned_down)
            found = _search_rows(ex, X, again, target, opts, seeds, n_jobs, bar)
            _settle(ex, X, target, outcomes, retries, again, found, again[:0])
    finally:
        bar.close()
    for i, first in retries:
        outcomes[i] = _search.solve_row(ex, X[i], target, opts, seeds[i],
                                        margin=_search.retry_margin(ex, first),
                                        known_invalid=True)
    return outcomes


def _search_rows(ex, X, idx, target, opts, seeds, n_jobs, bar) -> list[_search.Outcome]:
    """The search's answer for each row of `X[idx]`, checked by the core, not the library."""
    sub_seeds = [seeds[i] for i in idx]
    if opts.method == "genetic" and _batch_available() and not ex.rules.relative:
        return _genetic_batch(ex, X[idx], target, opts, sub_seeds, bar)
    return _threaded(ex, X[idx], target, opts, sub_seeds, n_jobs, bar)


def _settle(ex, X, target, outcomes: list, retries: list, searched, found,
            factual) -> list[int]:
    """Ask the library, in one call, about the factual rows `X[factual]` and the answers
    `found` for the rows `X[searched]`. A factual row it accepts comes back unchanged;
    an accepted answer is the row's outcome; a rejected one goes to `retries` as (row
    index, outcome). Returns the rows of `factual` it rejects that were not searched."""
    answered = [k for k, out in enumerate(found) if out.row is not None]
    rows = np.concatenate([X[factual]] + [found[k].row[None, :] for k in answered])
    values, met = (_search.verdicts(ex, target, rows) if len(rows)
                   else (np.zeros(0), np.zeros(0, dtype=bool)))
    for i, ok, value in zip(factual, met, values):
        if ok:
            outcomes[i] = _search.unchanged(X[i], value)
    verdicts = dict(zip(answered, zip(met[len(factual):], values[len(factual):])))
    for k, i in enumerate(searched):
        if outcomes[i] is not None:  # the factual row meets the target as it is
            continue
        out = outcomes[i] = found[k]
        if out.row is None:
            continue
        ok, value = verdicts[k]
        if ok:
            out.prediction = value
            _search.accept(ex, X[i], out)
        else:
            retries.append((i, out))
    unsearched = np.setdiff1d(factual, searched)
    return [int(i) for i in unsearched if outcomes[i] is None]


def _batch_available() -> bool:
    return hasattr(core, "solve_genetic_batch_raw")


def _threaded(ex, X, target, opts, seeds, n_jobs, bar) -> list[_search.Outcome]:
    # A Ctrl-C reaches only this thread; the token carries it to the searches running on
    # the others.
    stop = core.StopToken()

    def one(i):
        return _search.candidate(ex, X[i], target, opts, seeds[i], ex.margin, stop=stop)

    return map_rows(one, len(X), n_jobs, bar, stop)


def map_rows(one, n: int, n_jobs: int, bar, stop) -> list:
    """[one(i) for i in range(n)] on `n_jobs` threads (the native searches release the
    interpreter lock), advancing `bar` as rows finish; on a Ctrl-C or a failure `stop`
    (the StopToken the rows' searches watch) ends the running ones."""
    if n_jobs == 1 or n <= 1:
        out = []
        for i in range(n):
            out.append(one(i))
            bar.update(1)
        return out
    results: list = [None] * n
    pool = ThreadPoolExecutor(max_workers=n_jobs)
    futures = {pool.submit(one, i): i for i in range(n)}
    try:
        for future in as_completed(futures):
            results[futures[future]] = future.result()
            bar.update(1)
    except BaseException:
        # Ctrl-C or a failure: drop the rows not started and stop the running ones, which
        # end within about a second.
        stop.set()
        pool.shutdown(wait=True, cancel_futures=True)
        raise
    pool.shutdown(wait=True)
    return results


def _genetic_batch(ex, X, target, opts, seeds, bar) -> list[_search.Outcome]:
    """One batch genetic search per chunk of rows for the first margin, whose finds are
    improved together; each row's find is then made readable and checked on its own."""
    goal = _goal.goal(ex, target, ex.margin)
    outcomes = []
    for start in range(0, len(X), _CHUNK):
        rows = np.ascontiguousarray(X[start:start + _CHUNK])
        constraints = ex.rules.constraints(rows[0])  # the same for every row here
        x_cf, feasible, _ = core.solve_genetic_batch_raw(
            goal.ensemble, constraints, rows,
            np.arange(len(rows), dtype=np.uint64),
            np.asarray(seeds[start:start + len(rows)], dtype=np.uint64), *goal.bounds,
            ex.sigma, ex.weights, ex.lam, background=ex.background,
            if_ensemble=ex.plausibility_ensemble, min_total_path=ex.min_total_path,
            population=opts.population, max_generations=opts.max_generations,
            stall_generations=opts.stall_generations, time_budget_s=opts.time_budget_s,
            windows=goal.further, **_changes.core_arguments(opts, sets=False))
        found = [x_cf[k] if feasible[k] else None for k in range(len(rows))]
        # Each row's improvement gets the same allowance as it would alone.
        finished = _search.genetic_rows(ex, rows, found, [constraints] * len(rows), goal,
                                        opts.improve, opts.time_budget_s, opts=opts)
        for k in range(len(rows)):
            outcomes.append(_search.candidate(ex, rows[k], target, opts, seeds[start + k],
                                              ex.margin, prefound=finished[k]))
        bar.update(len(rows))
    return outcomes


def as_frame(ex, index, X: np.ndarray, outcomes) -> pd.DataFrame:
    """found, status, optimal, distance, lower_bound, gap, n_changes, then the
    counterfactual's features (the factual values where none was found)."""
    values = np.array([o.row if o.row is not None else X[i] for i, o in enumerate(outcomes)],
                      dtype=np.float64).reshape(len(X), X.shape[1])
    # Explicit dtypes: an empty batch (or a Dask partition's metadata) has the same columns.
    meta = pd.DataFrame({
        "found": np.array([o.row is not None for o in outcomes], dtype=bool),
        "status": pd.Series([o.status for o in outcomes], index=index, dtype=object),
        "optimal": np.array([bool(o.optimal) for o in outcomes], dtype=bool),
        "distance": np.array([np.nan if o.distance is None else o.distance for o in outcomes],
                             dtype=np.float64),
        "lower_bound": np.array([o.lower_bound for o in outcomes], dtype=np.float64),
        "gap": np.array([o.gap for o in outcomes], dtype=np.float64),
        "n_changes": np.array([int(np.sum(~_same(X[i], values[i])))
                               for i in range(len(outcomes))], dtype=np.int64),
    }, index=index)
    features = ex.schema.decode(values, index=index)
    features.columns = [f"{c} (counterfactual)" if c in META_COLUMNS else c
                        for c in features.columns]
    return pd.concat([meta, features], axis=1)


def _same(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    return (a == b) | (np.isnan(a) & np.isnan(b))


class _NoBar:
    def update(self, n):
        pass

    def close(self):
        pass


def _progress_bar(total: int, progress: bool | None):
    if progress is False or (progress is None and not _in_notebook()):
        return _NoBar()
    try:
        from tqdm.auto import tqdm
    except ImportError:
        if progress:
            raise ImportError("progress=True needs tqdm (pip install tqdm)") from None
        return _NoBar()
    return tqdm(total=total, unit="row", desc="explaining")


def _in_notebook() -> bool:
    ipython = sys.modules.get("IPython")  # a notebook has imported it already
    if ipython is None:
        return False
    shell = ipython.get_ipython()
    return shell is not None and type(shell).__name__ == "ZMQInteractiveShell"
