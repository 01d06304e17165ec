"""Checks of the user's scalar arguments, with messages that name the argument."""
from __future__ import annotations

import math
import os

import numpy as np


def _number(value, name: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a number, got {value!r}")
    return float(value)


def non_negative(value, name: str, allow_inf: bool = False) -> float:
    v = _number(value, name)
    if math.isnan(v) or v < 0 or (math.isinf(v) and not allow_inf):
        raise ValueError(f"{name} must be a non-negative {'number' if allow_inf else 'finite number'}"
                         f", got {value!r}")
    return v


def fraction(value, name: str) -> float:
    v = _number(value, name)
    if not 0.0 <= v <= 1.0:
        raise ValueError(f"{name} must lie in [0, 1], got {value!r}")
    return v


def count(value, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be a whole number, got {value!r}")
    if value < 0:
        raise ValueError(f"{name} must not be negative, got {value!r}")
    return int(value)


def positive_count(value, name: str) -> int:
    """A whole number of at least 1."""
    if count(value, name) < 1:
        raise ValueError(f"{name} must be at least 1, got {value!r}")
    return int(value)


def seed(value) -> int | None:
    """None, or a seed in [0, 2^64)."""
    if value is None:
        return None
    v = count(value, "random_state" if not isinstance(value, np.integer) else "seed")
    if v >= 2**64:
        raise ValueError(f"seeds must be below 2^64, got {value!r}")
    return v


def n_jobs(value) -> int:
    """A thread count: None or -1 for every CPU."""
    if value is None or value == -1:
        return max(os.cpu_count() or 1, 1)
    v = count(value, "n_jobs")
    if v == 0:
        raise ValueError("n_jobs must be positive, or -1 for every CPU")
    return v


def options(opts) -> None:
    """The solver options of one explain call."""
    if opts.search not in ("refine", "classic"):
        raise ValueError(f"search must be 'refine' or 'classic', got {opts.search!r}")
    count(opts.node_budget, "node_budget")
    non_negative(opts.time_budget_s, "time_budget_s", allow_inf=True)
    non_negative(opts.gap, "gap", allow_inf=True)
    for name in ("population", "max_generations", "stall_generations"):
        count(getattr(opts, name), name)
    if opts.max_changes is not None:
        positive_count(opts.max_changes, "max_changes")
    if opts.diversity not in ("no_superset", "new_feature"):
        raise ValueError(f"diversity must be 'no_superset' or 'new_feature', got "
                         f"{opts.diversity!r}")
    for name in ("readable", "fallback", "improve"):
        if not isinstance(getattr(opts, name), bool):
            raise TypeError(f"{name} must be True or False")
