"""The training data as an Explainer reads it: a column, or a few rows, at a time.

An Explainer needs from its data only per-column facts (scales, whole numbers, the values
a rule snaps to, one-hot groups) and a few rows (the genetic search's background, the rows
it checks the converted model on). Reading the data a column at a time keeps no float64
copy of the whole data beside the caller's own: on a large data set that copy would be
the largest thing the process holds.
"""
from __future__ import annotations

import numpy as np

from .schema import Schema

_BLOCK = 1 << 14  # rows per block of the whole-number test (bounds its temporaries)


class DataColumns:
    """The rows of `data` in model order, as float64 codes made when asked for; reading
    creates no copy of `data`."""

    def __init__(self, schema: Schema, data, what: str = "data"):
        self.schema = schema
        self.what = what
        self._frame = schema.frame(data, what)
        self.n_rows = len(self._frame)

    def column(self, j: int) -> np.ndarray:
        """Feature j's codes (infinite values included: `survey` refuses them). The array
        may be a view of the data: callers do not write to it. A column of a row-major
        array is copied (one column's memory), since every pass over it strided would
        cost more than the copy."""
        return np.ascontiguousarray(self.schema.encode_column(self._frame.iloc[:, j], j))

    def block(self, cols: list[int]) -> np.ndarray:
        """The codes of a few features, one column each."""
        out = np.empty((self.n_rows, len(cols)), dtype=np.float64)
        for k, j in enumerate(cols):
            out[:, k] = self.column(j)
        return out

    def rows(self, positions) -> np.ndarray:
        """The codes of the rows at `positions`, validated as `Schema.rows` validates them."""
        return self.schema.encode(self._frame.iloc[np.asarray(positions, dtype=np.int64)],
                                  self.what)

    def survey(self) -> DataFacts:
        """Validates every value (with the messages of `Schema.rows`, in its order) and
        gathers the facts read from every row."""
        n = len(self.schema.names)
        incomplete = np.zeros(self.n_rows, dtype=bool)
        whole = np.zeros(n, dtype=bool)
        first_infinite = None
        for j in range(n):
            col = self.column(j)
            if first_infinite is None and np.isinf(col).any():
                first_infinite = j
            missing = np.isnan(col)
            incomplete |= missing
            whole[j] = not self.schema.categorical[j] and _whole_numbers(col, missing)
            del col, missing  # before the next column is made
        if first_infinite is not None:
            raise ValueError(f"column {self.schema.names[first_infinite]!r} holds an "
                             "infinite value")
        return DataFacts(np.logical_not(incomplete, out=incomplete), whole)


class DataFacts:
    """What every row of the data told: which rows hold no missing value (a mask) and
    which numeric columns hold only whole numbers."""

    def __init__(self, complete: np.ndarray, whole: np.ndarray):
        self.n_rows = len(complete)
        self.complete = complete
        self.whole = whole

    def first_complete(self, count: int) -> np.ndarray:
        """Positions of the first `count` rows without a missing value (fewer if the data
        holds fewer)."""
        found, wanted = [np.zeros(0, dtype=np.int64)], count
        for start in range(0, self.n_rows, _BLOCK):
            if wanted <= 0:
                break
            found.append(start + np.flatnonzero(self.complete[start:start + _BLOCK]))
            wanted -= len(found[-1])
        return np.concatenate(found)[:count]


def _whole_numbers(col: np.ndarray, missing: np.ndarray) -> bool:
    """Whether the column holds a present value and every present value is whole."""
    if missing.all():
        return False
    for start in range(0, len(col), _BLOCK):
        part = col[start:start + _BLOCK][~missing[start:start + _BLOCK]]
        if not np.all(part == np.floor(part)):
            return False
    return True
