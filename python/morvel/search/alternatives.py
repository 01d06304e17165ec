"""Several counterfactuals for one row, cheapest first: each next one is the cheapest
valid row whose set of changed features differs from every earlier one's by the
diversity rule ("no_superset": it contains no earlier set, so it leaves some earlier
move out; "new_feature": it changes a feature no earlier one changed).

The exact method asks the native search for all of them in one call, which prepares the
problem once and proves each answer under the rule. As for a single row, every row is
made readable and checked by the library's own predict; a row the library rejects is
searched again, with the accepted ones as the earlier sets, under a wider margin."""
from __future__ import annotations

import time
from dataclasses import replace

import numpy as np
import pandas as pd

import _morvel_core as core

from ..problem import targets as tg
from . import batch as _batch
from . import change_sets as _changes
from . import goal as _goal
from . import row as _search


def solve(ex, x: np.ndarray, target: tg.Target, opts, seed, count: int, stop=None):
    """(outcomes, end, message): up to `count` outcomes, the first one as `explain` gives
    it without alternatives (also when it holds no row), the others found rows; `end` says
    why there are no more: "complete", "exhausted" (proved: no further row keeps the rule)
    or "stopped" (a search ended without a row or a proof; `message` says why). `stop`, a
    StopToken, ends the native searches with KeyboardInterrupt once it is set."""
    started = time.perf_counter()
    found: list[_search.Outcome] = []
    earlier = list(opts.earlier)
    margin, attempts, first = ex.margin, 0, True
    while len(found) < count:
        outs = _candidates(ex, x, target, replace(opts, earlier=tuple(earlier)), seed, margin,
                           count - len(found), stop)
        # Each library judges every row of the batch in one call, the first time with the
        # factual row, which comes back unchanged when it meets the target already.
        rows = np.array(([x] if first else []) + [out.row for out in outs
                                                  if out.row is not None])
        judged, accepted = _search.verdicts(ex, target, rows) if len(rows) else ([], [])
        if first:
            first = False
            if _factual_valid(ex, x, accepted[:1]):
                found.append(_search.unchanged(x, judged[0]))
                earlier.append(())
                continue
            judged, accepted = judged[1:], accepted[1:]
        for k, out in enumerate(outs):
            out.stats["attempts"] = attempts + 1
            out.stats["time_s"] = time.perf_counter() - started
            if out.row is None:
                return _ending(found, out)
            if not accepted[k]:
                attempts += 1
                margin = _search.retry_margin(ex, out)
                if attempts == _search._ATTEMPTS:
                    return _ending(found, _search.Outcome(
                        "not_found", proof="none", lower_bound=out.lower_bound,
                        goal=out.goal, stats=out.stats,
                        message=f"{_search._models(ex)}'s own prediction rejected every row "
                                f"found (raw-score margin up to {margin:.3g})"))
                break
            out.prediction = judged[k]
            _search.accept(ex, x, out)
            found.append(out)
            earlier.append(_changes.change_set(x, out.row))
            attempts = 0
    return found, "complete", ""


def _factual_valid(ex, x, accepted) -> bool:
    """Whether the factual row meets the target (by the libraries' verdict at hand) and the
    rules as it is."""
    return bool(accepted[0] and ex.rules.constraints(x).check(x[None, :], x)[0])


def _ending(found: list, out) -> tuple[list, str, str]:
    end = "exhausted" if out.status == "infeasible" else "stopped"
    if not found:
        return [out], end, out.message
    return found, end, out.message


def _candidates(ex, x, target, opts, seed, margin: float, count: int, stop) -> list:
    """Candidates for the next `count` ranks from one search at `margin`, in rank order,
    ending with the first one without a row."""
    cons = ex.rules.constraints(x)
    goal = _goal.goal(ex, target, margin)
    if opts.method != "exact":
        out = _search._genetic(ex, x, cons, goal, opts, seed, lower_bound=np.nan, stop=stop)
        return [_search.finish(ex, x, cons, goal, margin, opts, out, stop=stop)]
    answers = _search.exact_call(ex, x, cons, goal, opts, stop, alternatives=count)
    outs, earlier = [], list(opts.earlier)
    for answer in answers:
        rank_opts = replace(opts, earlier=tuple(earlier))
        out = _search.exact_outcome(ex, x, cons, goal, rank_opts, seed, answer, stop)
        native = None if out.row is None else _changes.change_set(x, out.row)
        out = _search.finish(ex, x, cons, goal, margin, rank_opts, out, stop=stop)
        outs.append(out)
        if out.row is None:
            break
        # The later answers excluded the native row's change set; if readable values
        # changed it, they are searched again.
        if _changes.change_set(x, out.row) != native:
            break
        earlier.append(native)
    return outs


def solve_many(ex, X: np.ndarray, target, opts, count: int, seeds: list, n_jobs: int, bar):
    """`solve` for every row of X on `n_jobs` threads, in row order."""
    stop = core.StopToken()

    def one(i):
        return solve(ex, X[i], target, opts, seeds[i], count, stop)

    return _batch.map_rows(one, len(X), n_jobs, bar, stop)


def frame_many(ex, index, X: np.ndarray, target, opts, count: int, seeds: list, n_jobs: int,
               bar) -> pd.DataFrame:
    """`solve_many` as a long frame: the row's label in `index` ("row") and the rank (1 =
    cheapest), then `batch.as_frame`'s columns, one line per alternative."""
    return long_frame(ex, index, X, solve_many(ex, X, target, opts, count, seeds, n_jobs, bar))


def long_frame(ex, index, X: np.ndarray, results: list) -> pd.DataFrame:
    """`solve_many`'s results as `frame_many` gives them."""
    at = [i for i, (outcomes, _, _) in enumerate(results) for _ in outcomes]
    ranks = [r for outcomes, _, _ in results for r in range(1, len(outcomes) + 1)]
    flat = [o for outcomes, _, _ in results for o in outcomes]
    long = _batch.as_frame(ex, pd.RangeIndex(len(flat)), X[at], flat)
    long.insert(0, "rank", np.array(ranks, dtype=np.int64))
    long.insert(0, "row", index[at] if len(at) else index[:0])
    return long
