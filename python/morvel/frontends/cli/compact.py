"""A data frame assembled from the chunks of a CSV file, typed as pandas types the whole
file but stored compactly: whole numbers in the narrowest integer type that holds them
(rather than eight bytes a value), text as codes of its distinct values while it is read,
then as an object array whose rows share one string per distinct value (pandas' own text
arrays would make a Python string per row once the explainer reads them)."""
from __future__ import annotations

import numpy as np
import pandas as pd

_INTEGERS = (np.int8, np.int16, np.int32, np.int64)


class CompactFrame:
    """Columns of `n_rows` rows, filled a chunk at a time in row order."""

    def __init__(self, names: list[str], n_rows: int):
        self.names = names
        self._columns = [_Column(n_rows) for _ in names]

    def put(self, start: int, chunk: pd.DataFrame) -> None:
        for name, column in zip(self.names, self._columns):
            column.put(start, chunk[name])

    def frame(self) -> pd.DataFrame:
        return pd.DataFrame({name: column.values() for name, column in
                             zip(self.names, self._columns)}, copy=False)


class _Column:
    """One column, typed as pandas types the whole column: booleans; integers (floats
    once a value is missing or has decimals); or text, which numbers beside text become."""

    def __init__(self, n_rows: int):
        self.n_rows = n_rows
        self.kind: str | None = None  # "bool", "int", "float" or "text"
        self.data = np.empty(0)
        self.labels: dict = {}  # text: value -> code, in order of appearance

    def put(self, start: int, values: pd.Series) -> None:
        self._hold(_kind(values), values, start)
        end = start + len(values)
        if self.kind == "text":
            self.data[start:end] = self._codes(values)
        elif self.kind == "float":
            self.data[start:end] = values.to_numpy(dtype=np.float64, na_value=np.nan)
        else:
            self.data[start:end] = values.to_numpy()

    def values(self):
        if self.kind != "text":
            return self.data
        labels = np.array(list(self.labels) + [np.nan], dtype=object)
        # code -1 (missing) picks the NaN; an explicit dtype keeps pandas from making it
        # a string array
        return pd.Series(labels[self.data], dtype=object, copy=False)

    def _hold(self, kind: str, values: pd.Series, start: int) -> None:
        """Makes the column hold `values` besides its first `start` rows."""
        missing_only = kind == "float" and bool(values.isna().all())
        if self.kind is None:
            self.kind = kind
            self.data = np.empty(self.n_rows, dtype={"bool": bool, "int": np.int8,
                                                     "float": np.float64,
                                                     "text": np.int32}[kind])
        elif kind == self.kind or (self.kind == "text" and missing_only):
            pass
        elif {self.kind, kind} <= {"int", "float"} or (self.kind == "bool" and missing_only):
            self.kind, self.data = "float", self.data.astype(np.float64)
        elif self.kind != "text":  # what was read so far becomes its text
            read = pd.Series(self.data[:start])
            self.kind, self.data = "text", np.empty(self.n_rows, dtype=np.int32)
            self.data[:start] = self._codes(read)
        if self.kind == "int" and len(values):
            self._widen_integers(int(values.min()), int(values.max()))

    def _widen_integers(self, lo: int, hi: int) -> None:
        for dtype in _INTEGERS:
            info = np.iinfo(dtype)
            if info.min <= lo and hi <= info.max:
                if np.dtype(dtype).itemsize > self.data.dtype.itemsize:
                    self.data = self.data.astype(dtype)
                return
        self.kind, self.data = "float", self.data.astype(np.float64)  # beyond int64

    def _codes(self, values: pd.Series) -> np.ndarray:
        """Codes of the values' text (-1 where missing), new values numbered on."""
        missing = values.isna().to_numpy()
        codes, uniques = pd.factorize(values[~missing].astype(str))
        table = np.array([self.labels.setdefault(u, len(self.labels)) for u in uniques],
                         dtype=np.int32)
        out = np.full(len(values), -1, dtype=np.int32)
        out[~missing] = table[codes] if len(table) else codes
        return out


def _kind(values: pd.Series) -> str:
    kind = values.dtype.kind
    return {"b": "bool", "i": "int", "u": "int", "f": "float"}.get(kind, "text")
