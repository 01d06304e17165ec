"""The rows the command line reads: the model's columns of a CSV file, parsed in chunks
into a compact frame, the line of a row the model cannot read, and the rows to explain."""
from __future__ import annotations

import os
import re

import numpy as np
import pandas as pd

from ...models.adapter import ModelAdapter
from ...problem.schema import Schema
from .compact import CompactFrame
from .csv_layout import CsvLayout
from .errors import InputError, file_error, first_line

_CHUNK_BYTES = 1 << 22  # about this much of the file is parsed at a time
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


def model_columns(names: list[str], model_names: list[str] | None,
                  path: str) -> tuple[list[str], list[str]]:
    """The model's feature columns of the CSV, in model order, and the columns left out
    (all columns, in order, for a model that records no names)."""
    if model_names is None:
        return names, []
    missing = [c for c in model_names if c not in names]
    if missing:
        raise InputError(f"{path}: lacks the model's feature column(s) "
                         f"{', '.join(map(repr, missing))}")
    return list(model_names), [c for c in names if c not in model_names]


def read_data(layout: CsvLayout, columns: list[str], rows_per_chunk: int) -> pd.DataFrame:
    """The `columns` of every row, typed as pandas types the whole file, stored compactly
    (see `CompactFrame`)."""
    path = layout.path
    compact, position = CompactFrame(columns, layout.n_rows), 0
    chunks = _reading(path, lambda: pd.read_csv(path, usecols=columns, chunksize=rows_per_chunk,
                                                low_memory=False))
    with chunks:
        for chunk in _reading_chunks(path, chunks):
            if position + len(chunk) > layout.n_rows:
                break
            compact.put(position, chunk)
            position += len(chunk)
    if position != layout.n_rows:
        raise RuntimeError(f"{path}: pandas read {position} or more rows where "
                           f"{layout.n_rows} were counted")
    return compact.frame()


def bad_row(adapter: ModelAdapter, data: pd.DataFrame,
            rows_per_chunk: int) -> tuple[int, str] | None:
    """The first row of `data` the model cannot read, with what is wrong with it, or None
    (the data may be wrong as a whole)."""
    try:
        schema = Schema(adapter, data)
    except (ValueError, TypeError):
        return None

    def check(part):
        schema.rows(part, "data")

    for start in range(0, len(data), rows_per_chunk):
        part = data.iloc[start:start + rows_per_chunk]
        bad = locate_bad_row(part, check)
        if bad is not None:
            try:
                check(part.iloc[bad:bad + 1])
            except ValueError as err:
                return start + bad, str(err)
    return None


def _reading(path: str, call):
    try:
        return call()
    except pd.errors.EmptyDataError:
        raise InputError(f"{path}: the file is empty") from None
    except pd.errors.ParserError as err:
        raise InputError(f"{path}: cannot parse the CSV ({first_line(err)})") from None
    except (OSError, UnicodeDecodeError) as err:
        raise file_error(path, err, "CSV file") from None


def _reading_chunks(path: str, chunks):
    iterator = iter(chunks)
    while True:
        chunk = _reading(path, lambda: next(iterator, None))
        if chunk is None:
            return
        yield chunk


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
