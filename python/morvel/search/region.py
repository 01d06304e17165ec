"""The certified region around a counterfactual: which features may grow, the category
blocks of the open categorical features, and the table a person reads."""
from __future__ import annotations

import numpy as np
import pandas as pd

import _morvel_core as core

from ..models import FlatEnsemble
from ..results import Region
from . import goal as _goal

_U32 = np.uint32


def region_available() -> bool:
    return hasattr(core, "compute_region_raw")


class RegionMaker:
    """Grows the region of one counterfactual on demand; a plain object (not a closure)
    so that results pickle."""

    def __init__(self, ex, x: np.ndarray, goal, target, max_changes: int | None = None):
        self.ex, self.x, self.goal, self.target = ex, x.copy(), goal, target
        self.max_changes = max_changes

    def __call__(self, values: np.ndarray, *, maximal: bool, budget: int) -> Region:
        goal = self.goal
        if goal is None:  # a row that met the target as it was: the target's own windows
            goal = _goal.goal(self.ex, self.target, self.ex.margin)
            if not goal.inside(values[None, :])[0]:
                raise ValueError("no region: the row meets the target by too thin a margin "
                                 "to certify any box around it")
        return grow(self.ex, self.x, goal, values, maximal=maximal, budget=budget,
                    max_changes=self.max_changes)


def grow(ex, x: np.ndarray, goal, x_cf: np.ndarray, *, maximal: bool, budget: int,
         max_changes: int | None = None) -> Region:
    """The certified box around `x_cf` inside every window of `goal`. With `max_changes`,
    the features x_cf keeps at their factual values stay fixed, so no row of the region
    changes more features than x_cf (or any feature it keeps)."""
    if not region_available():
        raise RuntimeError("this build of morvel cannot compute regions")
    if isinstance(budget, bool) or not isinstance(budget, (int, np.integer)) or budget < 0:
        raise ValueError(f"budget must be a non-negative whole number, got {budget!r}")
    lo_b, hi_b, fixed = ex.rules.bounds(x)
    frozen_like = fixed | (lo_b >= hi_b) | np.isnan(x_cf)
    held = ex.one_hot_members | ex.implication_members
    open_set = [j for j in range(len(x)) if not frozen_like[j] and j not in held
                and not ex.schema.categorical[j]]
    cat_open, blocks = [], []
    for j in range(len(x)):
        if ex.schema.categorical[j] and not frozen_like[j] and j not in held:
            groups = _blocks(ex, j)
            if len(groups) > 1:
                cat_open.append(j)
                blocks.append(groups)
    plaus = ex.plausibility_flat
    args = dict(if_ensemble=ex.plausibility_ensemble, min_total_path=ex.min_total_path,
                maximal=bool(maximal), budget=int(budget), windows=goal.further)
    if plaus is not None:
        args["if_missing_defined"] = _missing_defined(plaus)
    if max_changes is not None:
        args.update(x=np.ascontiguousarray(x, np.float64), max_changes=int(max_changes))
    if cat_open:
        args.update(_category_arrays(cat_open, blocks))
    cons = ex.rules.constraints(x)
    out = core.compute_region_raw(
        goal.ensemble, goal.missing[0], cons, np.ascontiguousarray(x_cf, np.float64),
        *goal.bounds, np.ascontiguousarray(lo_b), np.ascontiguousarray(hi_b),
        np.asarray(open_set, _U32), **args)
    return _as_region(ex, x, x_cf, out, cat_open)


def _missing_defined(flat: FlatEnsemble) -> np.ndarray:
    defined = getattr(flat, "missing_defined", None)
    if defined is None:
        raise RuntimeError("this build's converters do not record missing-value directions")
    return np.ascontiguousarray(defined, dtype=np.uint8)


def _blocks(ex, j: int) -> list[list[int]]:
    """Codes of feature j grouped by how every categorical or numeric split on j routes
    them (every model and the plausibility forest), ordered by smallest code; only
    allowed codes."""
    card = int(ex.adapter.flat.cardinality[j])
    allowed = set(ex.rules.allowed.get(j, range(card)))
    codes = np.arange(card, dtype=np.float64)
    signature = [np.zeros((card, 0), dtype=bool)]
    for flat in ex.flats:
        for node in np.flatnonzero(flat.feature == j):
            signature.append(flat.goes_left(node, codes)[:, None])
    sig = np.hstack(signature)
    groups: dict[bytes, list[int]] = {}
    for c in range(card):
        if c in allowed:
            groups.setdefault(sig[c].tobytes(), []).append(c)
    return list(groups.values())


def _category_arrays(cat_open: list[int], blocks: list[list[list[int]]]) -> dict:
    feat_offsets, block_offsets, members = [0], [0], []
    for groups in blocks:
        for g in groups:
            members += g
            block_offsets.append(len(members))
        feat_offsets.append(len(block_offsets) - 1)
    return dict(cat_open=np.asarray(cat_open, _U32),
                cat_feat_offsets=np.asarray(feat_offsets, _U32),
                cat_block_offsets=np.asarray(block_offsets, _U32),
                cat_members=np.asarray(members, _U32))


def _as_region(ex, x, x_cf, out: dict, cat_open: list[int]) -> Region:
    names, schema = ex.schema.names, ex.schema
    grown = {}
    offsets, members = out["grown_offsets"], out["grown_members"]
    for k, j in enumerate(cat_open):
        codes = members[offsets[k]:offsets[k + 1]]
        grown[j] = [schema.display(j, float(c)) for c in codes]
    rows = []
    for j, name in enumerate(names):
        categorical = schema.categorical[j]
        rows.append({
            "feature": name,
            "low": np.nan if categorical else out["lo"][j],
            "high": np.nan if categorical else out["hi"][j],
            "categories": grown.get(j, [schema.display(j, x_cf[j])] if categorical else None),
            "counterfactual": schema.display(j, x_cf[j]),
            "maximal_low": bool(out["maximal_lo"][j]),
            "maximal_high": bool(out["maximal_hi"][j]),
            "factual": schema.display(j, x[j]),
        })
    n = len(names)
    points = np.asarray(out["witness_points"]).reshape(-1, n) if n else np.zeros((0, 0))
    witnesses = pd.DataFrame({
        "feature": [names[f] for f in out["witness_features"]],
        "side": [("low", "high", "category")[s] for s in out["witness_sides"]],
    })
    if len(points):
        witnesses = pd.concat([witnesses, schema.decode(points)], axis=1)
    stats = {"used_low": int(np.sum(out["used_lo"])), "used_high": int(np.sum(out["used_hi"])),
             "used_categories": int(np.sum(out["used_cat"]))}
    return Region(pd.DataFrame(rows), witnesses, stats,
                  scales=dict(zip(names, ex.sigma.tolist())))
