"""The rows the command line reads: a CSV (errors located by line and column) and the rows
of it to explain."""
from __future__ import annotations

import re
from pathlib import Path

import numpy as np
import pandas as pd

from .errors import InputError, first_line

# -- the CSV -----------------------------------------------------------------------------

def read_csv(path: str) -> pd.DataFrame:
    try:
        frame = pd.read_csv(path)
    except FileNotFoundError:
        raise InputError(f"{path}: no such file") from None
    except pd.errors.EmptyDataError:
        raise InputError(f"{path}: the file is empty") from None
    except pd.errors.ParserError as err:
        m = re.search(r"Expected (\d+) fields in line (\d+), saw (\d+)", str(err))
        if m:
            raise InputError(f"{path}: line {m.group(2)}: expected {m.group(1)} fields, saw "
                             f"{m.group(3)}") from None
        raise InputError(f"{path}: cannot parse the CSV ({first_line(err)})") from None
    except UnicodeDecodeError:
        raise InputError(f"{path}: not UTF-8 text") from None
    except OSError as err:
        raise InputError(f"{path}: {err.strerror or err}") from None
    if len(frame) == 0:
        raise InputError(f"{path}: no data rows below the header")
    frame.columns = [str(c) for c in frame.columns]
    return frame


def model_columns(frame: pd.DataFrame, names: list[str] | None, n_features: int,
                  path: str) -> tuple[pd.DataFrame, list[str]]:
    """The model's feature columns of the CSV, in model order, and the columns left out."""
    cols = list(frame.columns)
    if len(set(cols)) != len(cols):
        dup = next(c for c in cols if cols.count(c) > 1)
        raise InputError(f"{path}: column {dup!r} appears twice in the header")
    if names is None:
        if len(cols) != n_features:
            raise InputError(f"{path}: has {len(cols)} columns, the model takes {n_features} "
                             "features (and records no feature names to pick them by)")
        return frame, []
    missing = [c for c in names if c not in cols]
    if missing:
        raise InputError(f"{path}: lacks the model's feature column(s) "
                         f"{', '.join(map(repr, missing))}")
    return frame[names], [c for c in cols if c not in names]


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


def csv_line(position: int) -> int:
    """The file line of data row `position` (the header is line 1)."""
    return position + 2


# -- which rows ----------------------------------------------------------------------------

def select_rows(spec: str | None, n_rows: int, path: str) -> np.ndarray:
    """Row positions from "3,17,20-25" (0-based data rows; the header is not a row), or
    every row when `spec` is None."""
    if spec is None:
        return np.arange(n_rows)
    out = []
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
        out.extend(range(lo, hi + 1))
    return np.asarray(out, dtype=np.int64)
