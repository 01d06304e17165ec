"""Double-precision split thresholds equivalent to a library's float32 comparison.

scikit-learn casts every input to float32 before it compares it with a double threshold
(`float32(v) <= t`), and XGBoost compares float32 inputs with float32 thresholds
(`float32(v) < t`). The core compares the raw double `v`. For each split this module
derives a double threshold `t2` and a flag `is_lt` such that, for every non-NaN double
`v`, `v < t2` (is_lt) or `v <= t2` (not is_lt) holds exactly when the library's test does.

Derivation: let T be the largest float32 that passes the library's test (T <= t, or
T < t when strict) and U the next float32 above it. Rounding to float32 is monotone, so
float32(v) passes exactly when float32(v) <= T, that is when v lies below the rounding
boundary between T and U: their midpoint m, which a double holds exactly. A double equal
to m rounds to whichever of T and U has an even significand, so the boundary is closed
(`v <= m`) when m rounds down to T and open (`v < m`) otherwise. Past the float32 range
the same holds with U = inf (m = 2^128 - 2^103) and T = -inf (m = -(2^128 - 2^103)).
"""
from __future__ import annotations

import numpy as np

# Doubles at or beyond this magnitude round to an infinite float32 (the tie goes to the
# infinity, whose "significand" counts as even).
_F32_OVERFLOW = 2.0**128 - 2.0**103


def float32_threshold(threshold, strict: bool = False):
    """Return (threshold2, is_lt) arrays replacing a float32 comparison with a double one.

    `threshold` (scalar or array of doubles) is the library's threshold; the library tests
    `float32(v) <= threshold`, or `float32(v) < threshold` when `strict`. NaN thresholds
    (and strict `-inf`) pass no value: they become `v < -inf`.
    """
    t = np.asarray(threshold, dtype=np.float64)
    with np.errstate(over="ignore", invalid="ignore"):
        f = t.astype(np.float32)
        f64 = f.astype(np.float64)
        too_high = f64 >= t if strict else f64 > t
        lo = np.where(too_high, np.nextafter(f, np.float32(-np.inf)), f)
        hi = np.nextafter(lo, np.float32(np.inf))
        lo64 = lo.astype(np.float64)
        hi64 = hi.astype(np.float64)
        mid = 0.5 * (lo64 + hi64)  # exact: both are float32 values one step apart
        mid = np.where(np.isposinf(hi64), _F32_OVERFLOW, mid)
        mid = np.where(np.isneginf(lo64), -_F32_OVERFLOW, mid)
        closed = mid.astype(np.float32) == lo  # the midpoint itself rounds down to lo
    valid = lo64 < t if strict else lo64 <= t
    out = np.where(valid, mid, -np.inf)
    is_lt = np.where(valid, ~closed, True)
    # Every non-NaN value passes `float32(v) <= inf`.
    out = np.where(valid & np.isposinf(lo64), np.inf, out)
    is_lt = np.where(valid & np.isposinf(lo64), False, is_lt)
    return out, is_lt.astype(np.uint8)
