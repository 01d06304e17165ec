"""The rows the command line reads: the model's columns of a CSV file, parsed in chunks
into one matrix of codes (every value checked, a bad one named by its line), the frame an
Explainer is made from, and the rows to explain.

Only the model's columns are kept, each in the narrowest type that holds it, so that
reading adds no more than one float64 matrix to what the Explainer keeps, and less for
whole numbers and labels.
"""
from __future__ import annotations

import os
import re

import numpy as np
import pandas as pd

from ...models.adapter import ModelAdapter
from ...problem.schema import CategoryMap, Schema
from .csv_layout import CsvLayout
from .errors import InputError, first_line

_CHUNK_BYTES = 1 << 24  # about this much of the file is parsed at a time
# Rows per chunk, for tests only: forces many small chunks on small files.
CHUNK_ROWS_VARIABLE = "MORVEL_CLI_CHUNK_ROWS"


def chunk_rows(layout: CsvLayout) -> int:
    """Rows parsed (and explained) at a time."""
    forced = os.environ.get(CHUNK_ROWS_VARIABLE)
    if forced:
        return max(1, int(forced))
    row_bytes = max(1, layout.size // max(1, layout.n_rows))
    return max(1, _CHUNK_BYTES // row_bytes)


def column_names(layout: CsvLayout) -> list[str]:
    """The header's names as pandas gives them (an empty name becomes "Unnamed: k")."""
    return [str(c) for c in _reading(layout.path, lambda: pd.read_csv(layout.path, nrows=0))
            .columns]


def model_columns(names: list[str], model_names: list[str] | None, n_features: int,
                  path: str) -> tuple[list[str], list[str]]:
    """The model's feature columns of the CSV, in model order, and the columns left out."""
    if model_names is None:
        if len(names) != n_features:
            raise InputError(f"{path}: has {len(names)} columns, the model takes {n_features} "
                             "features (and records no feature names to pick them by)")
        return names, []
    missing = [c for c in model_names if c not in names]
    if missing:
        raise InputError(f"{path}: lacks the model's feature column(s) "
                         f"{', '.join(map(repr, missing))}")
    return list(model_names), [c for c in names if c not in model_names]


def read_data(layout: CsvLayout, columns: list[str], adapter: ModelAdapter,
              rows_per_chunk: int) -> pd.DataFrame:
    """The `columns` of every row, checked as the model reads them, as a frame in model
    order: whole numbers in the narrowest integer type that holds them, other numbers as
    float64, category labels as categoricals of the model's labels."""
    path = layout.path
    frame, position = None, 0
    chunks = _reading(path, lambda: pd.read_csv(path, usecols=columns, chunksize=rows_per_chunk,
                                                low_memory=False))
    with chunks:
        for chunk in _reading_chunks(path, chunks):
            chunk = chunk[columns]
            if frame is None:
                try:
                    frame = _CompactFrame(Schema(adapter, chunk), layout.n_rows)
                except ValueError as err:
                    raise InputError(f"{path}: {err}") from None
            if position + len(chunk) > layout.n_rows:
                break
            frame.put(position, chunk, _codes(frame.schema, chunk, layout, position))
            position += len(chunk)
    if position != layout.n_rows:
        raise RuntimeError(f"{path}: pandas read {position} or more rows where "
                           f"{layout.n_rows} were counted")
    return frame.frame()


def _reading(path: str, call):
    try:
        return call()
    except FileNotFoundError:
        raise InputError(f"{path}: no such file") from None
    except pd.errors.EmptyDataError:
        raise InputError(f"{path}: the file is empty") from None
    except pd.errors.ParserError as err:
        raise InputError(f"{path}: cannot parse the CSV ({first_line(err)})") from None
    except UnicodeDecodeError:
        raise InputError(f"{path}: not UTF-8 text") from None
    except OSError as err:
        raise InputError(f"{path}: {err.strerror or err}") from None


def _reading_chunks(path: str, chunks):
    iterator = iter(chunks)
    while True:
        chunk = _reading(path, lambda: next(iterator, None))
        if chunk is None:
            return
        yield chunk


def _codes(schema: Schema, chunk: pd.DataFrame, layout: CsvLayout, position: int):
    """The chunk's codes; a value the model cannot read names its line."""
    def check(part):
        return schema.rows(part, "data")[1]

    try:
        return check(chunk)
    except ValueError as err:
        bad = locate_bad_row(chunk, check)
        where = f"line {layout.line(position + bad)}: " if bad is not None else ""
        raise InputError(f"{layout.path}: {where}{err}") from None


class _CompactFrame:
    """The frame being read, each column in the narrowest type that holds what pandas
    read in every chunk so far (widened when a chunk needs more): for a whole-number
    column the file's bytes, rather than eight per value."""

    def __init__(self, schema: Schema, n_rows: int):
        self.schema = schema
        self.n_rows = n_rows
        self.columns: list[np.ndarray | None] = [None] * len(schema.names)

    def put(self, start: int, chunk: pd.DataFrame, codes: np.ndarray) -> None:
        for j, name in enumerate(self.schema.names):
            cmap = self.schema.categories.get(j)
            if cmap is not None and not cmap.numeric:
                self._put_labels(j, start, codes[:, j], cmap)
            else:
                self._put_numbers(j, start, codes[:, j], chunk[name].dtype.kind)

    def _put_numbers(self, j: int, start: int, values: np.ndarray, kind: str) -> None:
        col = self.columns[j]
        if kind == "b" and (col is None or col.dtype == bool):
            wanted = np.dtype(bool)
        elif kind in "iu" and (col is None or col.dtype.kind == "i"):
            wanted = _narrowest_integers(values, np.int8 if col is None else col.dtype)
        else:  # numbers with decimals or missing values, or a mix of kinds
            wanted = np.dtype(np.float64)
        if col is None:
            col = np.empty(self.n_rows, dtype=wanted)
        elif col.dtype != wanted:
            col = col.astype(wanted)
        col[start:start + len(values)] = values
        self.columns[j] = col

    def _put_labels(self, j: int, start: int, values: np.ndarray, cmap: CategoryMap) -> None:
        """Labels as their rank among the model's labels (-1 for missing)."""
        if self.columns[j] is None:
            self.columns[j] = np.empty(self.n_rows, dtype=np.min_scalar_type(
                -len(cmap.labels)))
        rank = np.full(max(cmap.codes, default=-1) + 1, -1, dtype=np.int64)
        rank[list(cmap.codes)] = np.arange(len(cmap.codes))
        present = ~np.isnan(values)
        out = np.full(len(values), -1, dtype=np.int64)
        out[present] = rank[values[present].astype(np.int64)]
        self.columns[j][start:start + len(values)] = out

    def frame(self) -> pd.DataFrame:
        columns = {}
        for j, name in enumerate(self.schema.names):
            cmap = self.schema.categories.get(j)
            if cmap is not None and not cmap.numeric:
                columns[name] = pd.Categorical.from_codes(
                    self.columns[j], categories=pd.Index(list(cmap.labels), dtype=object))
            else:
                columns[name] = self.columns[j]
        return pd.DataFrame(columns, copy=False)


def _narrowest_integers(values: np.ndarray, at_least) -> np.dtype:
    lo, hi = (float(values.min()), float(values.max())) if values.size else (0.0, 0.0)
    for dtype in (np.int8, np.int16, np.int32, np.int64):
        info = np.iinfo(dtype)
        if np.dtype(dtype).itemsize >= np.dtype(at_least).itemsize and \
                info.min <= lo and hi < float(info.max) + 1:
            return np.dtype(dtype)
    return np.dtype(np.float64)


def locate_bad_row(frame: pd.DataFrame, check) -> int | None:
    """The first row position at which `check(frame.iloc[:k])` starts to raise ValueError
    (by bisection: a failing prefix contains the bad row), or None."""
    def fails(k: int) -> bool:
        try:
            check(frame.iloc[:k])
        except ValueError:
            return True
        return False

    if not fails(len(frame)):
        return None
    lo, hi = 0, len(frame)  # fails(hi); not fails(lo) (an empty prefix passes)
    while hi - lo > 1:
        mid = (lo + hi) // 2
        lo, hi = (lo, mid) if fails(mid) else (mid, hi)
    return hi - 1


# -- which rows ----------------------------------------------------------------------------

def select_rows(spec: str | None, n_rows: int, path: str) -> np.ndarray:
    """Row positions from "3,17,20-25" (0-based data rows; the header is not a row), or
    every row when `spec` is None."""
    if spec is None:
        return np.arange(n_rows)
    out = [np.zeros(0, dtype=np.int64)]
    for part in spec.split(","):
        part = part.strip()
        m = re.fullmatch(r"(\d+)(?:\s*-\s*(\d+))?", part)
        if not m:
            raise InputError(f"--rows: {part!r} is not a row number or a range such as 20-25")
        lo = int(m.group(1))
        hi = int(m.group(2)) if m.group(2) else lo
        if hi < lo:
            raise InputError(f"--rows: the range {part!r} runs backwards")
        if hi >= n_rows:
            raise InputError(f"--rows: row {hi} is out of range ({path} has {n_rows} data "
                             f"rows, numbered 0 to {n_rows - 1})")
        out.append(np.arange(lo, hi + 1, dtype=np.int64))
    return np.concatenate(out)
