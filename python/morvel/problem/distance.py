"""The distance model's per-feature scales and weights, with defaults from the data.

A change of feature j from a to b costs weight[j] * |b - a| / scale[j] + lam (a categorical
feature counts a change as 1 before scaling), summed over the features that change.
"""
from __future__ import annotations

import numpy as np

from .data_columns import DataColumns
from .schema import Schema


def mad(column: np.ndarray) -> float:
    """Median absolute deviation around the median, ignoring missing values."""
    values = column[~np.isnan(column)]  # a copy, worked on in place: one column's memory
    if values.size == 0:
        return 0.0
    centre = np.median(values, overwrite_input=True)
    np.abs(np.subtract(values, centre, out=values), out=values)
    return float(np.median(values, overwrite_input=True))


def default_scale(column: np.ndarray) -> float:
    """The MAD; the standard deviation where the MAD is 0 (e.g. one-hot or mostly-constant
    columns); 1 where both are 0 or undefined."""
    for value in (mad(column), _std(column)):
        if np.isfinite(value) and value > 0:
            return value
    return 1.0


def _std(column: np.ndarray) -> float:
    missing = np.isnan(column)
    values = column[~missing] if missing.any() else column
    return float(np.std(values)) if values.size > 1 else 0.0


def scales(schema: Schema, data: DataColumns, scale=None) -> np.ndarray:
    """One positive, finite scale per feature.

    `scale` may be None or "mad" (the default above), "std" (standard deviation, falling
    back to 1), a number for every feature, a {column: scale} dict overriding the default
    for some features, or a sequence with one scale per feature. Categorical features
    default to 1 (a change of category counts 1)."""
    n = len(schema.names)
    if isinstance(scale, str) and scale not in ("mad", "std"):
        raise ValueError(f"scale must be 'mad', 'std', a number, a dict or a sequence, got "
                         f"{scale!r}")
    numeric = np.flatnonzero(~schema.categorical)
    out = np.ones(n)  # a change of category counts 1
    if scale == "std":
        for j in numeric:
            value = _std(data.column(j))
            out[j] = value if np.isfinite(value) and value > 0 else 1.0
    else:
        for j in numeric:
            out[j] = default_scale(data.column(j))
    if scale is None or isinstance(scale, str):
        return out
    return _override(schema, out, scale, "scale", positive=True)


def weights(schema: Schema, weight=None) -> np.ndarray:
    """One non-negative, finite weight per feature (default 1); `weight` as for `scales`."""
    out = np.ones(len(schema.names))
    if weight is None:
        return out
    return _override(schema, out, weight, "weights", positive=False)


def _override(schema: Schema, out: np.ndarray, given, what: str, positive: bool) -> np.ndarray:
    names = schema.names
    if isinstance(given, dict):
        for col, v in given.items():
            if col not in names:
                raise ValueError(f"{what}: unknown column {col!r}")
            out[names.index(col)] = _valid(v, f"{what}[{col!r}]", positive)
        return out
    if np.ndim(given) == 0:
        return np.full(len(names), _valid(given, what, positive))
    values = np.asarray(given, dtype=np.float64)
    if values.shape != (len(names),):
        raise ValueError(f"{what} needs one value per feature ({len(names)}), got "
                         f"{values.shape[0] if values.ndim == 1 else values.shape}")
    for j, v in enumerate(values):
        _valid(v, f"{what}[{names[j]!r}]", positive)
    return values.copy()


def _valid(v, what: str, positive: bool) -> float:
    try:
        v = float(v)
    except (TypeError, ValueError):
        raise TypeError(f"{what} must be a number, got {v!r}") from None
    if not np.isfinite(v) or v < 0 or (positive and v == 0):
        raise ValueError(f"{what} must be {'positive' if positive else 'non-negative'} and "
                         f"finite, got {v!r}")
    return v
