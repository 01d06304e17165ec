"""Rules on the set of features a counterfactual changes: a cap (`max_changes`) and the
change sets of earlier alternatives. The native solvers keep them; the steps that move a
solver's row afterwards (value policies, improvement, readable values) check them here.

A feature changes when its value differs from the factual one; a missing value that
stays missing is no change, and a move to or from missing, like a new category, is one."""
from __future__ import annotations

import numpy as np

DIVERSITY = ("no_superset", "new_feature")


def changed(x: np.ndarray, rows: np.ndarray) -> np.ndarray:
    """Per row (and feature): whether the row changes the feature."""
    rows = np.asarray(rows, dtype=np.float64)
    return ~((rows == x) | (np.isnan(rows) & np.isnan(x)))


def change_set(x: np.ndarray, row: np.ndarray) -> tuple[int, ...]:
    return tuple(int(f) for f in np.flatnonzero(changed(x, row)))


def active(opts) -> bool:
    return opts.max_changes is not None or bool(opts.earlier)


def allowed(opts, x: np.ndarray, rows: np.ndarray) -> np.ndarray:
    """Which rows keep the rules of `opts` (max_changes, earlier sets, diversity)."""
    moved = np.atleast_2d(changed(x, rows))
    ok = np.ones(len(moved), dtype=bool)
    if opts.max_changes is not None:
        ok &= moved.sum(axis=1) <= opts.max_changes
    if opts.earlier and opts.diversity == "no_superset":
        for s in opts.earlier:
            ok &= ~moved[:, list(s)].all(axis=1)
    elif opts.earlier:
        seen = np.zeros(moved.shape[1], dtype=bool)
        for s in opts.earlier:
            seen[list(s)] = True
        ok &= (moved & ~seen).any(axis=1)
    return ok


def core_arguments(opts, sets: bool = True) -> dict:
    """The native solvers' arguments for the rules; none without rules (so a call without
    them is the call it always was). `sets=False` leaves the earlier sets out."""
    out = {}
    if opts.max_changes is not None:
        out["max_changes"] = int(opts.max_changes)
    if sets and opts.earlier:
        out["exclude_offsets"] = np.cumsum([0] + [len(s) for s in opts.earlier],
                                           dtype=np.int64).astype(np.uint32)
        out["exclude_features"] = np.array([f for s in opts.earlier for f in s], dtype=np.uint32)
        out["diversity"] = opts.diversity
    return out
