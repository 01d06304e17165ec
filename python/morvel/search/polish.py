"""Local improvement of the genetic search's rows.

The genetic search returns a valid row that is often not the cheapest one near it: a
feature sits inside a cell where the cell's near end would route every tree alike, a
change is kept that is no longer needed, or four features move where three would do. The
improvement walks from that row to cheaper valid rows over the candidate values of the
exact search (per feature, the cheapest value of every cell under the value policies and
the row's bounds, and the factual value), in rounds:

1. single moves: every feature to each of its candidate values, scored in one batch; the
   cheapest valid row cheaper than the current one is taken, and the round repeats;
2. proposals: when no single move helps, the score change of each single move (known from
   that batch) is taken as additive over features, and a Pareto search over (cost, score
   change), feature by feature, lists the cheapest combinations of moves that reach the
   target window by that account. The same is done once from the factual row, whose
   single moves are scored in the first round. Proposals are scored for real and the
   cheapest valid one that is cheaper is taken;
3. looking again: when every proposal fails (trees that split on several of the moved
   features break the additive account, or a rule spans several columns), the cheapest
   few proposals become the bases of another round of single moves and proposals;
4. chains: when that fails too, each changed feature in turn goes back to its factual
   value and the score is rebuilt greedily, one exactly scored move at a time, so that
   moves which only pay off together are found one after the other.

Every step is verified (score inside the window, the rules including linear rules over
several columns, the plausibility threshold) and must lower the distance, so the result is
never costlier than the starting row. The rows of a batch advance together: each round
scores the candidates of many rows in one call.

Each row's improvement is bounded by an amount of work fixed by its inputs alone (at most
_ROUNDS rounds, and the tree walks that `budget_s` seconds allow at the nominal rate
_WALKS_PER_SECOND; see `improve`), so a row gets the same result alone, in any batch and
on any machine. The clock is only a safety net for machines far slower than that rate;
where it cuts the improvement short, the rows not yet finished keep the cheapest row they
had reached, which can then differ from run to run.
"""
from __future__ import annotations

import math
import time

import numpy as np

import _morvel_core as core

_PROPOSALS = 64           # proposals scored per base row and round
_FRONTIER = 64            # Pareto points kept per feature step
_LOOK_AGAIN = 2           # failed proposals that become bases of the next round
_DEPTH = 1                # rounds of looking again before the chains
_CHAIN = 4                # greedy moves after dropping a changed feature
_STEPS = 1000             # unchanged features the Pareto search goes through at most
_ROUNDS = 64              # rounds per row at most
_MOVES_VALUES = 1 << 21   # values in one base row's single moves, beyond which thinned
_BATCH_VALUES = 1 << 23   # values scored in one call (64 MB)
# Work a row's improvement may do per second of its budget, in tree walks (a row scored
# through one tree), and the walks a round is charged besides its scoring. Set several
# times below what a 2-core machine does, so that the work bound, not the clock, ends it.
_WALKS_PER_SECOND = 25_000_000
_ROUND_WALKS = 25_000


class CostModel:
    """The distance model, vectorised: per-feature costs and row totals summed in feature
    order (so they equal the distance the API reports, bit for bit)."""

    def __init__(self, ex):
        self.weights, self.sigma, self.lam = ex.weights, ex.sigma, ex.lam
        self.categorical = np.asarray(ex.schema.categorical, dtype=bool)
        self.to, self.frm = ex.missing_charges

    def of(self, features, x: np.ndarray, values: np.ndarray) -> np.ndarray:
        """Cost of giving feature `features[k]` the value `values[..., k]` when its factual
        value is `x[..., k]` (arrays broadcast); `features` None means all, in order."""
        f = slice(None) if features is None else features
        with np.errstate(invalid="ignore"):
            d = np.abs(values - x)
            if self.categorical[f].any():
                d = np.where(self.categorical[f], 1.0, d)
            x_nan, v_nan = np.isnan(x), np.isnan(values)
            missing = bool(x_nan.any() or v_nan.any())
            if missing:
                d = np.where(x_nan & ~v_nan, self.frm[f], d)
                d = np.where(~x_nan & v_nan, self.to[f], d)
            cost = self.weights[f] * d / self.sigma[f] + self.lam
            same = values == x
        return np.where(same | (x_nan & v_nan) if missing else same, 0.0, cost)

    def per_feature(self, x: np.ndarray, rows: np.ndarray) -> np.ndarray:
        return self.of(None, x, rows)

    def totals(self, x: np.ndarray, rows: np.ndarray) -> np.ndarray:
        costs = self.per_feature(x, np.atleast_2d(rows))
        return np.cumsum(costs, axis=1)[:, -1] if costs.shape[1] else np.zeros(len(costs))


def improve(ex, X: np.ndarray, rows: list, constraints: list, goal,
            budget_s: float = math.inf, deadline: float = math.inf, stop=None,
            keeps=None) -> list:
    """(improved row, steps taken) for each factual row `X[i]` and valid starting row
    `rows[i]` (a None row stays None, with 0 steps); `constraints[i]` is the native rule
    set of row i and `goal` the score windows every row must stay in (proposals follow
    the first window's score; every window is checked).

    Each row stops after _ROUNDS rounds or before the round that would take its work past
    `budget_s * _WALKS_PER_SECOND` tree walks (every row scored counts once per tree of
    the model and of the plausibility ensemble, every round _ROUND_WALKS more): a bound
    that depends on the inputs only. `deadline` (a `time.monotonic()` value) is a safety
    net: no round starts after it, and every row keeps the cheapest valid row reached so
    far, so the result depends on the clock only when the deadline cuts the work short. A
    Ctrl-C surfaces between two scoring calls; so does `stop` (a StopToken) once set, as
    a KeyboardInterrupt. `keeps(rows, x)`, when given, is a further test every row must
    pass (the change-set rules)."""
    model = CostModel(ex)
    walks_per_row = _trees(ex)
    allowance = budget_s * _WALKS_PER_SECOND
    searches = []
    for i, row in enumerate(rows):
        if row is not None and time.monotonic() <= deadline:
            searches.append(_RowSearch(ex, model, X[i], constraints[i], row, goal, keeps))
        elif row is not None:
            searches.append(_Unchanged(row))
    while True:
        active = [s for s in searches if not s.done and s.afford(walks_per_row, allowance)]
        if not active:
            return _results(rows, searches)
        for group in _groups(active):
            if stop is not None and stop.is_set():
                raise KeyboardInterrupt
            if time.monotonic() > deadline:
                return _results(rows, searches)
            batches = [s.candidates() for s in group]
            valid, scores = _evaluate(ex, group, batches, goal)
            for s, batch, ok, score in zip(group, batches, valid, scores):
                s.take(batch, ok, score)


def _trees(ex) -> int:
    """Trees a candidate row is scored through: every model's and the plausibility
    ensemble's."""
    return sum(flat.n_trees for flat in ex.flats)


def _results(rows: list, searches: list) -> list:
    found = iter(searches)
    return [(None, 0) if row is None else next(found).result() for row in rows]


class _Unchanged:
    """A row the deadline left no time to improve."""

    done = True

    def __init__(self, row):
        self.row = np.array(row, dtype=np.float64)

    def result(self) -> tuple[np.ndarray, int]:
        return self.row, 0


def _groups(searches: list):
    """Consecutive groups of searches whose candidates fit in one scoring call."""
    group, size = [], 0
    for s in searches:
        n = s.candidate_values()
        if group and size + n > _BATCH_VALUES:
            yield group
            group, size = [], 0
        group.append(s)
        size += n
    if group:
        yield group


def _evaluate(ex, searches, batches, goal):
    """Validity and first-window score of every candidate row, scored in one call for all
    rows."""
    stacked = np.ascontiguousarray(np.concatenate(batches))
    scores = goal.scores(stacked)
    ok = goal.inside(stacked, scores)
    inside = np.flatnonzero(ok)
    if ex.plausibility_ensemble is not None and inside.size:
        ok[inside] = ex.plausibility_ensemble.raw_score_batch(
            np.ascontiguousarray(stacked[inside])) >= ex.min_total_path
    bounds = np.cumsum([0] + [len(b) for b in batches])
    valid, score = [], []
    for s, batch, a, b in zip(searches, batches, bounds[:-1], bounds[1:]):
        inside = np.flatnonzero(ok[a:b])  # the rules only matter where the score does
        if inside.size:
            rows = np.ascontiguousarray(batch[inside])
            kept = s.constraints.check(rows, s.x)
            if s.keeps is not None:
                kept &= s.keeps(rows, s.x)
            ok[a + inside] = kept
        valid.append(ok[a:b])
        score.append(scores[a:b])
    return valid, score


class _RowSearch:
    """The improvement of one row: its factual values, rules and candidate values, the
    current row and its cost, and the round under way: single moves from a few base rows
    ("moves", or "chains" for the greedy rebuilds), or combinations of moves
    ("proposals")."""

    def __init__(self, ex, model: CostModel, x, constraints, row, goal, keeps=None):
        self.x, self.constraints, self.model, self.keeps = x, constraints, model, keeps
        self.lo, self.hi = goal.bounds
        self.goal = goal
        self.row = np.array(row, dtype=np.float64)
        self.cost = float(model.totals(x, self.row)[0])
        self.steps = self.rounds = self.depth = self.chain_steps = 0
        self.walks = 0  # work charged so far (see `afford`)
        self.done = self.cost == 0.0
        self.direction = 1.0  # +1: proposals raise the score; -1: they lower it
        if self.done:
            return
        self._domain(ex)
        # Round one also scores the single moves from the factual row, for proposals.
        self._factual = None
        self._from_bases([self.row, self.x])

    def _domain(self, ex):
        code, step, anchor = ex.rules.policies
        offsets, values, *_ = core.debug_domains_raw(
            self.goal.ensemble, self.constraints, self.x, ex.sigma, ex.weights, ex.lam, code,
            step, anchor, if_ensemble=ex.plausibility_ensemble, windows=self.goal.further)
        self.feats = np.repeat(np.arange(len(self.x), dtype=np.intp), np.diff(offsets))
        self.values = values
        self.state_costs = self.model.of(self.feats, self.x[self.feats], values)
        self.max_moves = max(256, _MOVES_VALUES // max(len(self.x), 1))

    # -- rounds --------------------------------------------------------------------------

    def candidate_rows(self) -> int:
        """How many rows `candidates` will return."""
        if self.phase == "proposals":
            return len(self._pending)
        return sum(len(m.feats) + 1 for m in self._probes)

    def candidate_values(self) -> int:
        return self.candidate_rows() * len(self.x)

    def afford(self, walks_per_row: int, allowance: float) -> bool:
        """Charge the next round's work, or end the search when it would exceed the
        allowance."""
        cost = self.candidate_rows() * walks_per_row + _ROUND_WALKS
        if self.walks + cost > allowance:
            self.done = True
            return False
        self.walks += cost
        return True

    def candidates(self) -> np.ndarray:
        """The rows to score in this round: for single moves, each base row followed by
        its moves."""
        self.rounds += 1
        if self.phase == "proposals":
            self._approx = self._pending_costs
            return self._pending
        self._approx = np.concatenate([m.totals() for m in self._probes])
        return np.concatenate([m.rows() for m in self._probes])

    def take(self, rows, valid, scores):
        """The validity and scores of this round's rows: accept a cheaper valid row, or
        choose the next round."""
        if self.phase == "proposals":
            self._take_proposals(rows, valid)
        else:
            at = 0
            for m in self._probes:
                m.base_score = scores[at]
                m.scores = scores[at + 1:at + 1 + len(m.feats)] - scores[at]
                at += 1 + len(m.feats)
            if self.rounds == 1:
                self._factual = self._probes.pop()
                self._set_direction(self._factual.base_score)
            if self.phase == "moves":
                self._take_moves(rows, valid)
            else:
                self._take_chains(rows, valid)
        if self.rounds >= _ROUNDS:
            self.done = True

    def _set_direction(self, x_score: float):
        below = self.lo > -math.inf and x_score < self.lo
        above = self.hi < math.inf and x_score > self.hi
        self.direction = -1.0 if above and not below else 1.0

    def _from_bases(self, bases, phase: str = "moves"):
        self.phase = phase
        self._probes = [self._single_moves(b) for b in bases]

    def _take_moves(self, rows, valid):
        if self._accept_cheapest(rows, valid):
            return
        probes = self._probes
        if self._factual is not None:  # its proposals once, at the first chance
            probes, self._factual = probes + [self._factual], None
        proposals = np.concatenate([_pareto(self, m) for m in probes])
        costs = self.model.totals(self.x, proposals)
        keep = costs < self._threshold()
        self._pending, self._pending_costs = proposals[keep], costs[keep]
        self.phase = "proposals"
        if len(self._pending) == 0:
            self._look_again()

    def _take_proposals(self, rows, valid):
        if not self._accept_cheapest(rows, valid):
            self._look_again()

    def _look_again(self):
        """The additive account was wrong near the cheapest proposals (a tree splits on
        several of the moved features, or a rule spans several columns): start the next
        round of single moves from there, or the chains when that has been done enough."""
        self.depth += 1
        if self.depth > _DEPTH or len(self._pending) == 0:
            self._start_chains()
            return
        order = np.argsort(self._pending_costs, kind="stable")[:_LOOK_AGAIN]
        self._from_bases([self._pending[k] for k in order])

    def _start_chains(self):
        changed = np.flatnonzero(self.model.per_feature(self.x, self.row) > 0)
        bases = []
        for j in changed:
            b = self.row.copy()
            b[j] = self.x[j]
            bases.append(b)
        self._chain(bases)

    def _chain(self, bases):
        if not bases or self.chain_steps >= _CHAIN:
            self.done = True
            return
        self.chain_steps += 1
        self._from_bases(bases, "chains")

    def _take_chains(self, rows, valid):
        """Each chain takes its move of best score gain per added cost."""
        if self._accept_cheapest(rows, valid):
            return
        bases = []
        for m in self._probes:
            totals = m.totals()[1:]
            added = totals - m.base_total
            gain = self.direction * m.scores
            ok = np.flatnonzero((gain > 0) & (totals < self._threshold()))
            if ok.size:
                ratio = np.where(added[ok] > 0, gain[ok] / np.maximum(added[ok], 1e-300),
                                 np.inf)
                k = ok[int(np.argmax(ratio))]
                base = m.base.copy()
                base[m.feats[k]] = m.values[k]
                bases.append(base)
        self._chain(bases)

    def _accept_cheapest(self, rows, valid) -> bool:
        """Move to the cheapest valid row of `rows` if it lowers the distance. The exact
        distance (summed in feature order) is computed only for the rows whose estimate
        (`self._approx`, off by a few roundings at most) says they may be cheaper."""
        slack = 1e-9 * max(1.0, self.cost)
        idx = np.flatnonzero(valid & (self._approx < self._threshold() + slack))
        if idx.size == 0:
            return False
        costs = self.model.totals(self.x, rows[idx])
        best = int(np.argmin(costs))
        if not costs[best] < self._threshold():
            return False
        self.row, self.cost = rows[idx[best]].copy(), float(costs[best])
        self.steps += 1
        self.depth = self.chain_steps = 0
        self.done = self.cost == 0.0
        self._from_bases([self.row])
        return True

    def _threshold(self) -> float:
        """Rows must cost less than this to count as an improvement."""
        return self.cost - 1e-12 * max(1.0, self.cost)

    def result(self) -> tuple[np.ndarray, int]:
        return self.row, self.steps

    def _single_moves(self, base: np.ndarray) -> _Moves:
        """The moves of one feature of `base` to one of its candidate values, for every
        value that differs from the base's and costs less than the current row."""
        feats, values, costs = self.feats, self.values, self.state_costs
        base_costs = self.model.per_feature(self.x, base)
        current = base[feats]
        differs = ~((values == current) | (np.isnan(values) & np.isnan(current)))
        keep = np.flatnonzero(differs & (costs < self._threshold()))
        if len(keep) > self.max_moves:
            keep = _thin(keep, feats, costs, base_costs, self.max_moves)
        return _Moves(base, base_costs, feats[keep], values[keep], costs[keep])


class _Moves:
    """Single moves from one base row: per move its feature, value and per-feature cost;
    once scored, the base's score and each move's score change."""

    def __init__(self, base, base_costs, feats, values, costs):
        self.base, self.base_costs = base, base_costs
        self.base_total = float(np.cumsum(base_costs)[-1]) if len(base_costs) else 0.0
        self.feats, self.values, self.costs = feats, values, costs
        self.base_score = math.nan
        self.scores = None

    def totals(self) -> np.ndarray:
        """Distances of the base row and of each moved row (the moves' by difference, so
        up to a few roundings)."""
        moved = self.base_total - self.base_costs[self.feats] + self.costs
        return np.concatenate([[self.base_total], moved])

    def rows(self) -> np.ndarray:
        """The base row, then one row per move (built when needed: they are large)."""
        out = np.repeat(self.base[None, :], len(self.feats) + 1, axis=0)
        out[np.arange(1, len(out)), self.feats] = self.values
        return out


def _thin(keep, feats, costs, base_costs, limit: int) -> np.ndarray:
    """About `limit` of the moves `keep`: per feature, evenly spaced values in the order of
    cost (the cheapest among them), plus the one just below the feature's current cost."""
    groups = np.split(keep, np.flatnonzero(np.diff(feats[keep])) + 1)
    quota = max(8, limit // max(len(groups), 1))
    out = []
    for g in groups:
        if len(g) <= quota:
            out.append(g)
            continue
        pick = set(np.linspace(0, len(g) - 1, quota).astype(np.intp).tolist())
        below = np.flatnonzero(costs[g] < base_costs[feats[g[0]]])
        if below.size:
            pick.add(int(below[-1]))
        out.append(g[sorted(pick)])
    return np.concatenate(out)


def _pareto(search: _RowSearch, moves: _Moves) -> np.ndarray:
    """Rows that combine single moves from their base, cheapest first, whose summed score
    changes reach the window: a Pareto frontier of (cost, score change) built feature by
    feature, thinned to _FRONTIER points per step."""
    base, sign = moves.base, search.direction
    if len(moves.feats) == 0:
        return np.zeros((0, len(base)))
    need = (search.lo - moves.base_score) if sign > 0 else (moves.base_score - search.hi)
    budget = search._threshold()
    steps = _strongest([step for step in _options(moves, sign) if len(step[2]) > 1],
                       moves.base_costs)
    fixed = float(np.sum(np.delete(moves.base_costs, [j for j, _, _, _ in steps])))
    floors = [float(c.min()) for _, _, c, _ in steps]
    rest = np.concatenate([np.cumsum(floors[::-1])[::-1][1:], [0.0]])  # later steps' least
    cost, gain = np.array([fixed]), np.zeros(1)
    trail = []
    for (_, _, option_cost, option_gain), after in zip(steps, rest):
        c = (cost[:, None] + option_cost[None, :]).ravel()
        v = (gain[:, None] + option_gain[None, :]).ravel()
        idx = np.flatnonzero(c + after < budget)
        if idx.size == 0:
            return np.zeros((0, len(base)))
        idx = idx[_front(c[idx], v[idx])]
        if len(idx) > _FRONTIER:
            idx = idx[np.unique(np.linspace(0, len(idx) - 1, _FRONTIER).astype(np.intp))]
        trail.append((idx // len(option_cost), idx % len(option_cost)))
        cost, gain = c[idx], v[idx]
    chosen = np.flatnonzero(gain >= need)[:_PROPOSALS]
    out = np.repeat(base[None, :], len(chosen), axis=0)
    point = chosen
    for (parent, option), (j, values, _, _) in zip(reversed(trail), reversed(steps)):
        out[:, j] = values[option[point]]
        point = parent[point]
    return out


def _strongest(steps: list, base_costs: np.ndarray) -> list:
    """The features the Pareto search goes through: every changed feature (it can give
    cost back), and the _STEPS others whose best option buys the most score per cost."""
    if len(steps) <= _STEPS:
        return steps
    def rate(step):
        _, _, costs, gains = step
        return float(np.max(gains[1:] / np.maximum(costs[1:] - costs[0], 1e-300)))
    free = sorted((k for k, st in enumerate(steps) if base_costs[st[0]] == 0),
                  key=lambda k: -rate(steps[k]))
    keep = set(free[:_STEPS]) | {k for k, st in enumerate(steps) if base_costs[st[0]] > 0}
    return [st for k, st in enumerate(steps) if k in keep]


def _options(moves: _Moves, sign: float) -> list[tuple]:
    """Per moved feature: (feature, values, costs, score gains) of keeping the base value
    (first) and of the moves that no cheaper option of the feature matches in gain."""
    feats = np.unique(moves.feats)
    f = np.concatenate([feats, moves.feats])
    values = np.concatenate([moves.base[feats], moves.values])
    costs = np.concatenate([moves.base_costs[feats], moves.costs])
    gains = np.concatenate([np.zeros(len(feats)), sign * moves.scores])
    is_base = np.arange(len(f)) < len(feats)
    order = np.lexsort((~is_base, costs, f))  # by feature, then cost; the base first at ties
    # One running maximum over all features: offsetting each feature's gains past every
    # earlier feature's keeps the comparison within the feature.
    spread = 2.0 * float(np.max(np.abs(gains))) + 1.0
    shifted = gains[order] + np.searchsorted(feats, f[order]) * spread
    better = np.ones(len(order), dtype=bool)
    better[1:] = shifted[1:] > np.maximum.accumulate(shifted)[:-1]
    keep = order[better | is_base[order]]
    out = []
    for g in np.split(keep, np.flatnonzero(np.diff(f[keep])) + 1):
        first = np.concatenate([g[is_base[g]], g[~is_base[g]]])
        out.append((int(f[g[0]]), values[first], costs[first], gains[first]))
    return out


def _front(costs: np.ndarray, gains: np.ndarray) -> np.ndarray:
    """Indices of the points that no cheaper (or equally cheap, earlier) point matches in
    gain, in order of cost."""
    order = np.argsort(costs, kind="stable")
    g = gains[order]
    better = np.ones(len(g), dtype=bool)
    better[1:] = g[1:] > np.maximum.accumulate(g)[:-1]
    return order[better]
