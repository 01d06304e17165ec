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
   single moves are scored in the first batch. Proposals are scored for real and the
   cheapest valid one that is cheaper is taken;
3. repairs: when every proposal fails (trees that split on several moved features break
   the additive account, or a rule over several columns), single moves from the cheapest
   few proposals are tried.

Every step is verified (score inside the window, the rules including linear rules over
several columns, the plausibility threshold) and must lower the distance, so the result is
never costlier than the starting row, and it depends on nothing but the inputs. The rows
of a batch advance together: each round scores the candidates of every row in one call.
"""
from __future__ import annotations

import math

import numpy as np

import _morvel_core as core

_PROPOSALS = 64        # proposals scored per row and round
_FRONTIER = 256        # Pareto points kept per feature step
_REPAIRED = 4          # failed proposals looked at again from close by
_DEPTH = 2             # rounds of looking again before the row counts as finished
_CHAIN = 4             # greedy moves after dropping a changed feature
_MOVES_PER_ROW = 4096  # single moves per row and round, beyond which values are thinned
_ROUNDS = 64           # rounds per row at most (each one lowers the distance)


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
        w, sigma = self.weights[f], self.sigma[f]
        with np.errstate(invalid="ignore"):
            d = np.abs(values - x)
            if self.categorical[f].any():
                d = np.where(self.categorical[f], 1.0, d)
            x_nan, v_nan = np.isnan(x), np.isnan(values)
            missing = x_nan.any() or v_nan.any()
            if missing:
                d = np.where(x_nan & ~v_nan, self.frm[f], d)
                d = np.where(~x_nan & v_nan, self.to[f], d)
            cost = w * d / sigma + self.lam
            same = values == x
        return np.where((same | (x_nan & v_nan)) if missing else same, 0.0, cost)

    def per_feature(self, x: np.ndarray, rows: np.ndarray) -> np.ndarray:
        return self.of(None, x, rows)

    def totals(self, x: np.ndarray, rows: np.ndarray) -> np.ndarray:
        costs = self.per_feature(x, np.atleast_2d(rows))
        return np.cumsum(costs, axis=1)[:, -1] if costs.shape[1] else np.zeros(len(costs))


def improve(ex, X: np.ndarray, rows: list, constraints: list, window) -> list:
    """(improved row, steps taken) for each factual row `X[i]` and valid starting row
    `rows[i]` (a None row stays None); `constraints[i]` is the native rule set of row i
    and `window` the raw-score window every row must stay in."""
    model = CostModel(ex)
    searches = [_RowSearch(ex, model, X[i], constraints[i], row, window)
                for i, row in enumerate(rows) if row is not None]
    active = [s for s in searches if not s.done]
    while active:
        batches = [s.candidates() for s in active]
        valid, scores = _evaluate(ex, active, batches, window)
        for s, rows_k, ok, sc in zip(active, batches, valid, scores):
            s.take(rows_k, ok, sc)
        active = [s for s in active if not s.done]
    found = iter(searches)
    return [(None, 0) if row is None else next(found).result() for row in rows]


def _evaluate(ex, searches, batches, window):
    """Validity and raw score of every candidate row, scored in one call for all rows."""
    sizes = [len(b) for b in batches]
    stacked = np.ascontiguousarray(np.concatenate(batches) if batches else np.zeros((0, 0)))
    scores = ex.ensemble.raw_score_batch(stacked)
    ok = (scores >= window[0]) & (scores <= window[1])
    if ex.plausibility_ensemble is not None:
        ok &= ex.plausibility_ensemble.raw_score_batch(stacked) >= ex.min_total_path
    bounds = np.cumsum([0] + sizes)
    valid, score = [], []
    for s, batch, a, b in zip(searches, batches, bounds[:-1], bounds[1:]):
        if b > a:
            ok[a:b] &= s.constraints.check(batch, s.x)
        valid.append(ok[a:b])
        score.append(scores[a:b])
    return valid, score


class _RowSearch:
    """The improvement of one row: its factual values, rules, candidate values, the
    current row and its cost, and the round under way: "moves" (single moves from a few
    base rows) or "proposals" (combinations of moves), at a depth that counts the rounds
    since the row last improved."""

    def __init__(self, ex, model: CostModel, x, constraints, row, window):
        self.x, self.constraints, self.model = x, constraints, model
        self.lo, self.hi = window
        self.row = np.array(row, dtype=np.float64)
        self.cost = float(model.totals(x, self.row)[0])
        self.steps = self.rounds = self.depth = self.chain_steps = 0
        self.done = self.cost == 0.0
        self.direction = 1.0  # +1: proposals raise the score; -1: they lower it
        if self.done:
            return
        self._domain(ex)
        # Round one also scores the single moves from the factual row: combinations of
        # them are proposed once, next to those from the starting row.
        self._from_bases([self.row, self.x])

    def _domain(self, ex):
        code, step, anchor = ex.rules.policies
        offsets, values, *_ = core.debug_domains_raw(
            ex.ensemble, self.constraints, self.x, ex.sigma, ex.weights, ex.lam, code, step,
            anchor, if_ensemble=ex.plausibility_ensemble)
        feats = np.repeat(np.arange(len(self.x), dtype=np.intp), np.diff(offsets))
        self.feats, self.values = feats, values
        self.state_costs = self.model.of(feats, self.x[feats], values)

    # -- rounds --------------------------------------------------------------------------

    def candidates(self) -> np.ndarray:
        """The rows to score in this round."""
        self.rounds += 1
        if self.phase in ("moves", "chains"):
            return np.concatenate([r for m in self._probes for r in (m.base[None, :], m.rows)])
        return self._pending

    def take(self, rows, valid, scores):
        """Scores and validity of this round's rows: move on to the next round."""
        if self.phase == "moves":
            self._take_moves(rows, valid, scores)
        elif self.phase == "chains":
            self._take_chains(rows, valid, scores)
        else:
            self._take_proposals(rows, valid)
        if self.rounds >= _ROUNDS:
            self.done = True

    def _from_bases(self, bases):
        self.phase = "moves"
        self._probes = [self._single_moves(b) for b in bases]

    def _take_moves(self, rows, valid, scores):
        at = 0
        for m in self._probes:
            m.base_score = scores[at]
            m.scores = scores[at + 1:at + 1 + len(m.rows)] - scores[at]
            at += 1 + len(m.rows)
        if self.rounds == 1:
            self._set_direction(self._probes[1].base_score)
        if self._accept_cheapest(rows, valid):
            return
        proposals = np.concatenate([_pareto(self, m) for m in self._probes])
        costs = self.model.totals(self.x, proposals)
        keep = costs < self._threshold()
        self._pending, self._pending_costs = proposals[keep], costs[keep]
        self.phase = "proposals"
        self.done = len(self._pending) == 0

    def _take_chains(self, rows, valid, scores):
        if self._accept_cheapest(rows, valid):
            return
        at, bases = 0, []
        for m in self._probes:
            n = len(m.rows)
            gain = self.direction * (scores[at + 1:at + 1 + n] - scores[at])
            totals = self.model.totals(self.x, m.rows)
            added = totals - self.model.totals(self.x, m.base)[0]
            ok = (gain > 0) & (totals < self._threshold())
            at += 1 + n
            if ok.any():
                ratio = np.where(added > 0, gain / np.maximum(added, 1e-300), np.inf)
                k = np.flatnonzero(ok)[int(np.argmax(ratio[ok]))]
                bases.append(m.rows[k])
        self._chain_bases = bases
        if not bases:
            self.done = True
        else:
            self._start_chains()

    def _set_direction(self, x_score: float):
        below = self.lo > -math.inf and x_score < self.lo
        above = self.hi < math.inf and x_score > self.hi
        self.direction = -1.0 if above and not below else 1.0

    def _take_proposals(self, rows, valid):
        if self._accept_cheapest(rows, valid):
            return
        # The additive account was wrong near the cheapest proposals (a tree splits on
        # several of the moved features, or a rule spans several columns): look again
        # from there.
        self.depth += 1
        if self.depth > _DEPTH:
            self._start_chains()
            return
        order = np.argsort(self._pending_costs, kind="stable")[:_REPAIRED]
        self._from_bases([rows[k] for k in order])

    def _start_chains(self):
        """Last resort: drop one changed feature back to its factual value and rebuild
        the score greedily, one exactly scored move at a time (moves that only pay off
        together show up one step after the other)."""
        changed = np.flatnonzero(self.model.per_feature(self.x, self.row) > 0)
        if self.chain_steps >= _CHAIN or len(changed) < 1:
            self.done = True
            return
        if self.chain_steps == 0:
            bases = []
            for j in changed:
                b = self.row.copy()
                b[j] = self.x[j]
                bases.append(b)
            self._chain_bases = bases
        self.chain_steps += 1
        self.phase = "chains"
        self._probes = [self._single_moves(b) for b in self._chain_bases]

    def _accept_cheapest(self, rows, valid) -> bool:
        """Move to the cheapest valid row of `rows` if it lowers the distance."""
        if not valid.any():
            return False
        idx = np.flatnonzero(valid)
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
        return self.cost - 1e-12 * max(1.0, self.cost)

    def result(self) -> tuple[np.ndarray, int]:
        return self.row, self.steps

    # -- neighbourhoods ------------------------------------------------------------------

    def _single_moves(self, base: np.ndarray) -> _Moves:
        """`base` with one feature moved to one of its candidate values, for every value
        that differs from the base's and costs less than the current row."""
        feats, values, costs = self.feats, self.values, self.state_costs
        base_costs = self.model.per_feature(self.x, base)
        current = base[feats]
        differs = ~((values == current) | (np.isnan(values) & np.isnan(current)))
        keep = np.flatnonzero(differs & (costs < self._threshold()))
        if len(keep) > _MOVES_PER_ROW:
            keep = _thin(keep, feats, costs, base_costs)
        rows = np.repeat(base[None, :], len(keep), axis=0)
        rows[np.arange(len(keep)), feats[keep]] = values[keep]
        return _Moves(base, base_costs, rows, feats[keep], values[keep], costs[keep])


class _Moves:
    """Single moves from one base row: the moved rows, and per move its feature, value and
    per-feature cost; once scored, the base's score and each move's score change."""

    def __init__(self, base, base_costs, rows, feats, values, costs):
        self.base, self.base_costs = base, base_costs
        self.rows, self.feats, self.values, self.costs = rows, feats, values, costs
        self.base_score = math.nan
        self.scores = None


def _thin(keep, feats, costs, base_costs):
    """At most about _MOVES_PER_ROW moves: per feature, evenly spaced values in the order
    of cost, keeping the cheapest and the one just below the feature's current cost."""
    groups = np.split(keep, np.flatnonzero(np.diff(feats[keep])) + 1)
    quota = max(8, _MOVES_PER_ROW // max(len(groups), 1))
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
    base, base_costs, sign = moves.base, moves.base_costs, search.direction
    if len(moves.feats) == 0:
        return np.zeros((0, len(base)))
    need = (search.lo - moves.base_score) if sign > 0 else (moves.base_score - search.hi)
    budget = search._threshold()
    steps = [step for step in _options(moves, base, base_costs, sign) if len(step[2]) > 1]
    fixed = float(np.sum(np.delete(base_costs, [j for j, _, _, _ in steps])))
    floors = [float(c.min()) for _, _, c, _ in steps]
    rest = np.concatenate([np.cumsum(floors[::-1])[::-1][1:], [0.0]])
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


def _options(moves: _Moves, base: np.ndarray, base_costs: np.ndarray,
             sign: float) -> list[tuple]:
    """Per moved feature: (feature, values, costs, score gains) of keeping the base value
    (first) and of the moves that no cheaper option of the feature matches in gain."""
    feats = np.unique(moves.feats)
    f = np.concatenate([feats, moves.feats])
    values = np.concatenate([base[feats], moves.values])
    costs = np.concatenate([base_costs[feats], moves.costs])
    gains = np.concatenate([np.zeros(len(feats)), sign * moves.scores])
    is_base = np.arange(len(f)) < len(feats)
    order = np.lexsort((~is_base, costs, f))  # by feature, then cost; the base first at ties
    # One running maximum over all features: offsetting each feature's gains past every
    # earlier feature's keeps the comparison within the feature.
    spread = 2.0 * float(np.max(np.abs(gains))) + 1.0
    rank = np.searchsorted(feats, f[order])
    shifted = gains[order] + rank * spread
    better = np.ones(len(order), dtype=bool)
    better[1:] = shifted[1:] > np.maximum.accumulate(shifted)[:-1]
    keep = order[better | is_base[order]]
    bounds = np.flatnonzero(np.diff(f[keep])) + 1
    out = []
    for g in np.split(keep, bounds):
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
