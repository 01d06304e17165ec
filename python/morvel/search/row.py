"""One row's search: the score windows (`goal`), the native solvers, the genetic fallback,
readable values, and the checks every returned row passes (the core's score, rules and
plausibility, then the library's own prediction)."""
from __future__ import annotations

import math
import time
from dataclasses import dataclass, field

import numpy as np

import _morvel_core as core

from ..problem import targets as tg
from . import change_sets as _changes
from . import goal as _goal
from . import polish as _polish
from .readable import Interval, readable_value

# Margin growth when the library rejects a row the core accepted, and how often to retry.
_MARGIN_GROWTH = 16.0
_ATTEMPTS = 4


@dataclass
class Options:
    """The per-call solver options of `explain` (validated by the explainer)."""

    method: str = "exact"
    search: str = "refine"
    node_budget: int = 2_000_000
    time_budget_s: float = 10.0
    gap: float = 0.0
    population: int = 80
    max_generations: int = 200
    stall_generations: int = 30
    readable: bool = True
    fallback: bool = True
    improve: bool = True
    max_changes: int | None = None
    diversity: str = "no_superset"  # how alternatives differ (change_sets.DIVERSITY)
    earlier: tuple = ()  # change sets of earlier alternatives (set by the search, not users)


@dataclass
class Outcome:
    """What the search of one row ended with (rows are float64 codes)."""

    status: str
    row: np.ndarray | None = None
    distance: float | None = None
    proof: str = "none"
    optimal: bool = False
    lower_bound: float = math.nan
    goal: _goal.Goal | None = None  # the windows searched at the last attempt
    stats: dict = field(default_factory=dict)
    message: str = ""
    prediction: object = None  # the library's value for `row` (`targets.library_values`)

    @property
    def gap(self) -> float:
        """(distance - lower bound) / distance: 0 when optimal, NaN without a bound."""
        if self.distance is None:
            return math.nan
        if self.optimal or self.distance == 0:
            return 0.0
        if math.isnan(self.lower_bound):
            return math.nan
        return max(0.0, (self.distance - self.lower_bound) / self.distance)


def genetic_available() -> bool:
    return hasattr(core, "solve_genetic_raw")


def distance(ex, x: np.ndarray, row: np.ndarray) -> float:
    """The distance model's cost of `row` for factual `x`, summed in feature order."""
    total = 0.0
    to, frm = ex.missing_charges
    for j in np.flatnonzero((x != row) & ~(np.isnan(x) & np.isnan(row))).tolist():
        a, b = x[j], row[j]
        if math.isnan(a):
            d = frm[j]
        elif math.isnan(b):
            d = to[j]
        else:
            d = 1.0 if ex.schema.categorical[j] else abs(b - a)
        total += ex.weights[j] * d / ex.sigma[j] + ex.lam
    return float(total)


def screen(ex, X: np.ndarray, target: tg.Target) -> tuple[np.ndarray, np.ndarray]:
    """Per factual row: whether it passes the rules as it is, and whether it is likely to
    meet the target already (the core's scores lie inside every window, widened by the
    margins). Only the library decides whether a row meets the target; this says which
    rows are worth asking about before a search, and which can be asked about together
    with the search's answer, in the same call."""
    X = np.ascontiguousarray(X)
    rules_ok = np.array([ex.rules.constraints(x).check(x[None, :], x)[0] for x in X],
                        dtype=bool)
    try:
        widened = _goal.goal(ex, target, -ex.margin)
    except ValueError:  # no score reaches the target: the library has the last word
        return rules_ok, rules_ok.copy()
    return rules_ok, rules_ok & widened.inside(X)


def verdicts(ex, target: tg.Target, rows: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """For each row of codes: the explained model's own prediction in the target's terms
    (`targets.library_values`), and whether every model's library says the row meets the
    target (one call per model for all the rows)."""
    values = tg.library_values(target, ex.adapter, ex.schema.library_input(rows))
    return values, _goal.library_accepts(ex, target, rows, values)


def unchanged(x: np.ndarray, prediction=None) -> Outcome:
    return Outcome("already_valid", x.copy(), 0.0, "optimal", True, 0.0,
                   prediction=prediction)


def solve_row(ex, x: np.ndarray, target: tg.Target, opts: Options, seed: int | None,
              prefound: tuple | None = None, margin: float | None = None,
              known_invalid: bool = False) -> Outcome:
    """Search one factual row (codes) for the target, retrying with a wider margin while
    the library rejects what the core accepts. `prefound`, when given, holds what the
    batch genetic search already found for the first window and `genetic_rows` finished:
    (row or None, stats).

    A row that already meets the target (by the library) and the rules comes back
    unchanged. Unless the core's score says it is likely to, the library is asked about
    it together with the search's answer, in one call."""
    started = time.perf_counter()
    factual_pending = False
    if not known_invalid:
        rules_ok, likely = screen(ex, x[None, :], target)
        if likely[0]:
            values, met = verdicts(ex, target, x[None, :])
            if met[0]:
                return unchanged(x, values[0])
        factual_pending = bool(rules_ok[0] and not likely[0])
    margin = ex.margin if margin is None else margin
    for attempt in range(_ATTEMPTS):
        out = candidate(ex, x, target, opts, seed, margin, prefound if attempt == 0 else None)
        out.stats["attempts"] = attempt + 1
        if out.row is None:
            break
        rows = np.stack([out.row, x]) if factual_pending else out.row[None, :]
        values, met = verdicts(ex, target, rows)
        if factual_pending:
            if met[1]:
                return unchanged(x, values[1])
            factual_pending = False
        if met[0]:
            out.prediction = values[0]
            accept(ex, x, out)
            break
        margin = max(margin * _MARGIN_GROWTH, 4.0 * _discrepancy(ex, out.row))
    else:
        out = Outcome("not_found", proof="none", lower_bound=out.lower_bound,
                      goal=out.goal, stats=out.stats,
                      message=f"{_models(ex)}'s own prediction rejected every row found "
                              f"(raw-score margin up to {margin:.3g})")
    if factual_pending:  # nothing was found to ask about with it
        values, met = verdicts(ex, target, x[None, :])
        if met[0]:
            return unchanged(x, values[0])
    out.stats["time_s"] = time.perf_counter() - started
    return out


def retry_margin(ex, out: Outcome) -> float:
    """The margin to retry with after the library rejected `out.row`."""
    return max(out.stats["margin"] * _MARGIN_GROWTH, 4.0 * _discrepancy(ex, out.row))


def candidate(ex, x: np.ndarray, target: tg.Target, opts: Options, seed, margin: float,
              prefound: tuple | None = None, stop=None) -> Outcome:
    """The solver's row for the windows at `margin`, made readable, checked by the core
    (score, rules, plausibility) but not yet by the library. The improvement of a genetic
    row gets a work allowance of its own (see `genetic_rows`). `stop`, a StopToken, ends
    the native searches (and the improvement) with KeyboardInterrupt once it is set."""
    cons = ex.rules.constraints(x)
    goal = _goal.goal(ex, target, margin)
    out = _prefound(*prefound) if prefound is not None else _search(ex, x, cons, goal,
                                                                      opts, seed, stop)
    return finish(ex, x, cons, goal, margin, opts, out, prefound is not None, stop)


def finish(ex, x, cons, goal, margin: float, opts: Options, out: Outcome,
           prefound: bool = False, stop=None) -> Outcome:
    """A solver's outcome made a candidate: a genetic row improved (unless the batch did
    that already), then readable values; the change-set rules of `opts` stay kept."""
    out.goal = goal
    if not goal.exact:
        _sufficient_only(out)
    out.stats["margin"] = margin
    if out.row is None:
        return out
    if not prefound and "genetic" in (out.stats.get("solver"), out.stats.get("fallback")):
        (row, stats), = genetic_rows(ex, x[None, :], [out.row], [cons], goal, opts.improve,
                                     opts.time_budget_s, stop, opts)
        out.stats.update(stats)
        if row is None:
            return Outcome("not_found", lower_bound=out.lower_bound, goal=goal,
                           stats=out.stats, message=_OFF_POLICY)
        out.row = row
    solver_distance = distance(ex, x, out.row)
    out.stats["solver_distance"] = solver_distance
    if opts.readable:  # every step of it keeps the row valid
        row = _readable(ex, x, cons, out.row, goal, solver_distance)
        if _keeps(opts, x, row):
            out.row = row
    if not _keeps(opts, x, out.row):
        return Outcome("not_found", lower_bound=out.lower_bound, goal=goal,
                       stats=out.stats, message=_RULES_LOST)
    return out


def _keeps(opts: Options, x, row) -> bool:
    return not _changes.active(opts) or bool(_changes.allowed(opts, x, row)[0])


def accept(ex, x: np.ndarray, out: Outcome) -> None:
    """Fill in the distance and the optimality of a row the library accepted."""
    out.distance = distance(ex, x, out.row)
    out.optimal = out.proof == "optimal" and out.goal.exact and out.distance <= (
        out.stats["solver_distance"] * (1.0 + ex.readable_rtol) + 1e-12)


_SUFFICIENT = ("a softmax model's probability is searched through a sufficient condition "
               "on its class margins: the row is valid, but a cheaper one may exist")


def _sufficient_only(out: Outcome) -> None:
    """A search of windows that imply the target without being implied by it proves
    nothing about the target itself: neither a lower bound nor that no row exists."""
    out.lower_bound = math.nan
    if out.proof == "optimal":
        out.proof = "optimal_sufficient"
    if out.status == "infeasible":
        out.status, out.proof, out.optimal = "not_found", "none", False
        out.message = ("no row meets the sufficient condition on the class margins through "
                       "which a softmax model's probability is searched; a row that meets "
                       "the target itself may still exist")
        return
    out.message = _SUFFICIENT if not out.message else f"{out.message}; {_SUFFICIENT}"


def _models(ex) -> str:
    return ex.adapter.name if len(ex.adapters) == 1 else "a model"


def genetic_rows(ex, X: np.ndarray, rows: list, constraints: list, goal,
                 improve: bool = True, budget_s: float = math.inf,
                 stop=None, opts: Options | None = None) -> list[tuple]:
    """(row or None, stats) for each row the genetic search found for `X[i]` (None where it
    found none): moved onto the value policies, then improved locally (see `_polish`)
    unless `improve` is false, each row with the work that `budget_s` allows it and, as a
    safety net, `budget_s` seconds of the clock per row. None where no on-policy values
    keep the row valid. The improvement keeps the change-set rules of `opts`."""
    stats = [{} for _ in rows]
    ready = []
    for i, row in enumerate(rows):
        if row is not None:
            stats[i]["genetic_distance"] = distance(ex, X[i], row)
            row = _on_policy_values(ex, X[i], constraints[i], row, goal)
            stats[i]["off_policy"] = row is None
        ready.append(row)
    if not improve:
        return list(zip(ready, stats))
    deadline = time.monotonic() + budget_s * len(rows)
    keeps = None
    if opts is not None and _changes.active(opts):
        def keeps(rows, x):
            return _changes.allowed(opts, x, rows)
    improved = _polish.improve(ex, X, ready, constraints, goal, budget_s, deadline, stop,
                               keeps)
    for st, (row, steps) in zip(stats, improved):
        if row is not None:
            st["improvement_steps"] = steps
    return [(row, st) for (row, _), st in zip(improved, stats)]


_RULES_LOST = ("whole-number or grid values for the genetic search's row broke the "
               "change-set rules; raise its budgets or try method='exact'")
_OFF_POLICY = ("the genetic search's row has no valid whole-number or grid values nearby; "
               "raise its budgets or try method='exact'")


def _prefound(row, stats: dict) -> Outcome:
    """The outcome of a row that the batch genetic search found (and `genetic_rows`
    finished), or None."""
    stats = {"solver": "genetic", "batch": True, **stats}
    if row is None:
        return Outcome("not_found", stats=stats,
                       message=_OFF_POLICY if stats.get("off_policy") else
                       "the genetic search found no valid row; raise its budgets or try "
                       "method='exact'")
    return Outcome("found", np.array(row, dtype=np.float64), proof="heuristic", stats=stats)


def _search(ex, x, cons, goal, opts: Options, seed, stop=None) -> Outcome:
    if opts.method == "genetic":
        return _genetic(ex, x, cons, goal, opts, seed, lower_bound=math.nan, stop=stop)
    return _exact(ex, x, cons, goal, opts, seed, stop)


def exact_call(ex, x, cons, goal, opts: Options, stop=None, **extra):
    """The native exact search's answer (a tuple; with `alternatives=k` in `extra`, a list
    of tuples)."""
    lo_t, hi_t = goal.bounds
    return core.solve_exact_raw(
        goal.ensemble, cons, x, lo_t, hi_t, ex.sigma, ex.weights, ex.lam, *ex.rules.policies,
        if_ensemble=ex.plausibility_ensemble, min_total_path=ex.min_total_path,
        node_budget=opts.node_budget, gap=opts.gap, time_budget_s=opts.time_budget_s,
        search=opts.search, windows=goal.further, stop=stop, **_changes.core_arguments(opts),
        **extra)


def _exact(ex, x, cons, goal, opts: Options, seed, stop=None) -> Outcome:
    return exact_outcome(ex, x, cons, goal, opts, seed,
                         exact_call(ex, x, cons, goal, opts, stop), stop)


def exact_outcome(ex, x, cons, goal, opts: Options, seed, answer: tuple,
                  stop=None) -> Outcome:
    """The outcome of one exact search's answer; one that ran out of budget without a row
    falls back to the genetic search (`opts.fallback`)."""
    row, dist, proof, st, snapped, _ = answer
    stats = {"solver": "exact", "search": st[9], "nodes": st[0], "completed": st[5],
             "pruned_score": st[1], "pruned_cost": st[2], "presolve_removed": st[7]}
    lower = float(st[3])
    if row is not None:
        return Outcome("found", row, proof=proof, lower_bound=lower, stats=stats)
    if st[5]:  # the search ran to its end: nothing exists
        return Outcome("infeasible", proof="infeasible", optimal=True, lower_bound=math.inf,
                       stats=stats, message="no row satisfies the rules and the target")
    if opts.fallback and genetic_available():
        out = _genetic(ex, x, cons, goal, opts, seed, lower_bound=lower, stop=stop)
        out.stats = {**stats, "fallback": "genetic", **out.stats, "solver": "exact"}
        if out.row is not None:
            return out
    return Outcome("not_found", lower_bound=lower, stats=stats,
                   message=f"the exact search's budget ended ({stats['nodes']} nodes) "
                           "before it found a row; raise node_budget or time_budget_s")


def _genetic(ex, x, cons, goal, opts: Options, seed, lower_bound: float,
             stop=None) -> Outcome:
    if not genetic_available():
        raise RuntimeError("this build of morvel has no genetic solver")
    lo_t, hi_t = goal.bounds
    row, generations = core.solve_genetic_raw(
        goal.ensemble, cons, x, lo_t, hi_t, ex.sigma, ex.weights, ex.lam,
        background=ex.background, if_ensemble=ex.plausibility_ensemble,
        min_total_path=ex.min_total_path, seed=seed, population=opts.population,
        max_generations=opts.max_generations, stall_generations=opts.stall_generations,
        time_budget_s=opts.time_budget_s, windows=goal.further, stop=stop,
        **_changes.core_arguments(opts))
    stats = {"solver": "genetic", "generations": int(generations)}
    if row is None:
        return Outcome("not_found", lower_bound=lower_bound, stats=stats,
                       message="the genetic search found no valid row; raise its budgets "
                               "or try method='exact'")
    return Outcome("found", row, proof="heuristic", lower_bound=lower_bound, stats=stats)


# -- checks ----------------------------------------------------------------------------

def _core_valid(ex, cons, x, rows: np.ndarray, goal) -> np.ndarray:
    rows = np.ascontiguousarray(rows, dtype=np.float64)
    ok = goal.inside(rows) & cons.check(rows, x)
    if ex.plausibility_ensemble is not None:
        ok &= ex.plausibility_ensemble.raw_score_batch(rows) >= ex.min_total_path
    return ok


def _discrepancy(ex, row: np.ndarray) -> float:
    """How far the library's raw score is from the core's on `row` (0 for a multi-class
    model, whose margins then grow by the factor alone)."""
    if ex.adapter.multiclass:
        return 0.0
    lib = ex.adapter.raw(ex.schema.library_input(row[None, :]))[0]
    ours = ex.ensemble.raw_score_batch(np.ascontiguousarray(row[None, :]))[0]
    d = abs(lib - ours)
    return d if math.isfinite(d) else 0.0


# -- value policies for genetic rows -----------------------------------------------------

def _on_policy_values(ex, x, cons, row, goal) -> np.ndarray | None:
    """The genetic search knows no value policies (the exact search snaps to them): move
    each changed whole-number or grid feature to the nearer of its two neighbouring
    policy values that keeps the row valid, the one closer to the factual value first.
    None when some feature has no such value."""
    code, step, anchor = ex.rules.policies
    out = row.copy()
    for j in range(len(x)):
        v = out[j]
        if code[j] not in (1, 2) or math.isnan(v) or v == x[j]:
            continue
        base, unit = (0.0, 1.0) if code[j] == 1 else (anchor[j], step[j])
        k = (v - base) / unit
        if abs(k - round(k)) <= 1e-9:  # on the lattice up to the rounding of k * unit
            continue
        options = [math.floor(k) * unit + base, math.ceil(k) * unit + base]
        if not math.isnan(x[j]):
            options.sort(key=lambda c: abs(c - x[j]))
        trials = np.repeat(out[None, :], 2, axis=0)
        trials[:, j] = options
        ok = np.flatnonzero(_core_valid(ex, cons, x, trials, goal))
        if ok.size == 0:
            return None
        out = trials[ok[0]]
    return out


# -- readable values ---------------------------------------------------------------------

def _readable(ex, x, cons, row, goal, solver_distance: float) -> np.ndarray:
    """The solver's row with each changed continuous or whole-number feature moved to the
    simplest value of its cell, and snap-to-data features moved to data values; every
    step is kept only while the row stays valid."""
    code = ex.rules.policy_code
    movable = (row != x) & ~np.isnan(row) & ~np.isnan(x) & ~ex.schema.categorical & (code != 2)
    changed = [j for j in np.flatnonzero(movable).tolist() if j not in ex.one_hot_members]
    if not changed and not ex.rules.snap:
        return row
    lo, hi, _ = ex.rules.bounds(x)
    allowance = ex.readable_rtol * max(solver_distance, 1e-12) / max(len(changed), 1)
    moves = []
    for j in changed:
        slack = allowance * ex.sigma[j] / ex.weights[j] if ex.weights[j] > 0 else math.inf
        value = readable_value(ex.splits.cell(j, float(row[j])), Interval(lo[j], hi[j]),
                               row[j], x[j], slack, integer=code[j] == 1)
        if value != row[j]:
            moves.append((j, value))
    out = _take_valid_steps(ex, x, cons, row, moves, goal)
    for j, values in ex.rules.snap.items():
        out = _snap(ex, x, cons, out, j, values, goal)
    return out


def _take_valid_steps(ex, x, cons, row, moves: list, goal) -> np.ndarray:
    """`row` with the moves (feature, value) made one after the other, each kept only when
    the row stays valid. The rows after each further move are checked in one call; a
    rejected move is skipped and the check goes on from the last valid row."""
    out = row
    while moves:
        trials = np.repeat(out[None, :], len(moves), axis=0)
        for k, (j, value) in enumerate(moves):
            trials[k:, j] = value
        ok = _core_valid(ex, cons, x, trials, goal)
        bad = np.flatnonzero(~ok)
        first_bad = int(bad[0]) if bad.size else len(moves)
        if first_bad > 0:
            out = trials[first_bad - 1]
        moves = moves[first_bad + 1:]
    return out.copy() if out is row else out


def _snap(ex, x, cons, row, j, values: np.ndarray, goal) -> np.ndarray:
    """Move feature j to the data value nearest to it that keeps the row valid."""
    if math.isnan(row[j]) or np.any(values == row[j]):
        return row
    order = np.argsort(np.abs(values - row[j]), kind="stable")[:32]
    trials = np.repeat(row[None, :], len(order), axis=0)
    trials[:, j] = values[order]
    ok = np.flatnonzero(_core_valid(ex, cons, x, trials, goal))
    return trials[ok[0]] if ok.size else row
