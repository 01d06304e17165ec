"""What the command line prints (a table of changes per row) and writes with --out (CSV or
JSON, replaced atomically so that a failure leaves no partial file), chunk by chunk: the
text of a row does not depend on the chunk it came in."""
from __future__ import annotations

import json
import math
import os
import tempfile
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pandas as pd

from ...problem import targets as tg
from ...results import STATUS_TEXT
from ...search.batch import META_COLUMNS
from .errors import InputError

OUT_FORMATS = (".csv", ".json")


@dataclass
class Report:
    """The results of one `explain` run, line by line (a row, or one of its alternatives),
    with what the model says."""

    positions: np.ndarray      # data row numbers (0-based)
    frame: pd.DataFrame        # explain_many's result frame
    changes: list[list[tuple]]  # per line: (feature, from, to)
    before: list               # the model's prediction of the factual row
    after: list                # ... of the counterfactual (None where none was found)
    quantity: str              # what before/after are: "proba", "class" or "raw score"
    ranks: np.ndarray | None = None  # with alternatives: each line's rank, 1 = cheapest
    short: dict = field(default_factory=dict)  # line -> why its row has no further one

    def note_short_rows(self, rows: np.ndarray, ends: list) -> None:
        """Notes, on the last found line of each row (rows[line] is its row), why the row
        got fewer alternatives than asked; `ends` holds (end, message) per row."""
        for line in range(len(rows)):
            last = line + 1 == len(rows) or rows[line + 1] != rows[line]
            end, message = ends[rows[line]]
            if last and end != "complete" and self.frame["status"].iat[line] == "found":
                self.short[line] = (
                    "no further alternative keeps the rules (proved)" if end == "exhausted"
                    else "the search for a further alternative stopped"
                    + (f": {message}" if message else ""))

    @property
    def firsts(self) -> np.ndarray:
        """Which lines are a row's first (all without alternatives)."""
        return np.ones(len(self.frame), bool) if self.ranks is None else self.ranks == 1

    @property
    def n_rows(self) -> int:
        return int(self.firsts.sum())


def build(ex, target, positions: np.ndarray, X: np.ndarray, frame: pd.DataFrame,
          ranks: np.ndarray | None = None) -> Report:
    features = frame.iloc[:, len(META_COLUMNS):].copy()
    features.columns = ex.schema.names
    cf = ex.schema.encode(features)
    integer = _integer_columns(ex)
    changes = []
    for i in range(len(X)):
        same = (X[i] == cf[i]) | (np.isnan(X[i]) & np.isnan(cf[i]))
        changes.append([(ex.schema.names[j], _shown(ex, integer, j, X[i, j]),
                         _shown(ex, integer, j, cf[i, j])) for j in np.flatnonzero(~same)])
    before = _predict(ex, target, X)
    after = _predict(ex, target, cf)
    found = frame["found"].to_numpy()
    after = [a if ok else None for a, ok in zip(after, found)]
    quantity = {"proba": "proba", "class": "class"}.get(target.kind, "raw score")
    return Report(positions, _whole_numbers_as_ints(ex, frame), changes, before, after,
                  quantity, ranks)


def _integer_columns(ex) -> set[int]:
    """The columns the data gave as whole numbers."""
    dtypes = ex.schema.dtypes or {}
    return {j for j, name in enumerate(ex.schema.names)
            if name in dtypes and pd.api.types.is_integer_dtype(dtypes[name])}


def _shown(ex, integer: set[int], j: int, value: float):
    """A changed value as the table and JSON give it: a whole number of an integer column
    as an int."""
    shown = ex.schema.display(j, value)
    if j in integer and isinstance(shown, float) and math.isfinite(shown) \
            and shown == math.floor(shown):
        return int(shown)
    return shown


def _whole_numbers_as_ints(ex, frame: pd.DataFrame) -> pd.DataFrame:
    """Integer columns of the CSV come back as integers (the results hold float64); a
    value that is not whole (a rule allowed it) stays a float."""
    frame = frame.copy()
    offset = len(META_COLUMNS)
    for j in _integer_columns(ex):
        col = frame.iloc[:, offset + j]
        if not pd.api.types.is_float_dtype(col.dtype):
            continue
        whole = np.isfinite(col) & (col == np.floor(col))
        if whole.all():
            frame.isetitem(offset + j, col.astype(np.int64))
        elif whole.any():
            frame.isetitem(offset + j, pd.Series(
                [int(v) if w else v for v, w in zip(col, whole)], index=col.index, dtype=object))
    return frame


def _predict(ex, target, codes: np.ndarray) -> list:
    if len(codes) == 0:
        return []
    values = tg.library_values(target, ex.adapter, ex.schema.library_input(codes))
    if target.kind == "class":
        return [ex.adapter.classes[int(k)] for k in values]
    return [float(v) for v in values]


# -- for people ----------------------------------------------------------------------------

def render(report: Report) -> str:
    """The rows of `report`, one block each, separated by blank lines."""
    return "\n\n".join(_render_row(report, k, row)
                       for k, row in enumerate(report.frame.itertuples(index=False)))


def _render_row(report: Report, k: int, row) -> str:
    head = f"row {report.positions[k]}: "
    if report.ranks is not None and row.status == "found":
        head = f"row {report.positions[k]}, alternative {report.ranks[k]}: "
    before = _fmt_prediction(report.before[k])
    if row.status == "already_valid":
        return head + f"already meets the target ({report.quantity} {before})"
    if not row.found:
        return head + STATUS_TEXT[row.status]
    proof = "proved optimal" if row.optimal else (
        "heuristic" if math.isnan(row.gap) else f"within {row.gap:.1%} of optimal")
    head += (f"counterfactual found ({proof}), distance {row.distance:.4g}; "
             f"{report.quantity} {before} -> {_fmt_prediction(report.after[k])}")
    note = f"\n  ({report.short[k]})" if k in report.short else ""
    return head + "\n" + _table(report.changes[k]) + note


def _table(changes: list[tuple]) -> str:
    cells = [("feature", "from", "to")] + [(str(f), _fmt(a), _fmt(b)) for f, a, b in changes]
    widths = [max(len(r[c]) for r in cells) for c in range(3)]
    return "\n".join("  " + "  ".join(r[c].ljust(widths[c]) for c in range(3)).rstrip()
                     for r in cells)


@dataclass
class Tally:
    """Counts over the rows explained so far, for the closing summary."""

    rows: int = 0
    found: int = 0
    already: int = 0  # rows that met the target as they were
    optimal: int = 0  # changed rows proved optimal
    alternatives: int = 0  # counterfactuals that change a row, all ranks

    def summary(self, with_alternatives: bool = False) -> str:
        text = self._counts()
        if with_alternatives:
            text += (f"; {self.alternatives} alternative"
                     f"{'s' if self.alternatives != 1 else ''} in all")
        return text

    def add(self, report: Report) -> None:
        f = report.frame[report.firsts]
        self.rows += len(f)
        self.alternatives += int((report.frame["status"] == "found").sum())
        self.found += int(f["found"].sum())
        self.already += int((f["status"] == "already_valid").sum())
        self.optimal += int((f["optimal"] & (f["status"] == "found")).sum())

    def _counts(self) -> str:
        return (f"{self.found} of {self.rows} row{'s' if self.rows != 1 else ''} with a "
                f"counterfactual ({self.already} already met the target, {self.optimal} "
                f"changed row{'s' if self.optimal != 1 else ''} proved optimal)")


def _fmt_prediction(v) -> str:
    return f"{v:.4g}" if isinstance(v, float) else _fmt(v)


def _fmt(v) -> str:
    if v is None:
        return "-"
    if isinstance(v, (float, np.floating)):
        if math.isnan(v):
            return "missing"
        return f"{v:.6g}"
    return str(v)


# -- for machines --------------------------------------------------------------------------

def check_out_path(path: str) -> None:
    """Refuse an unwritable --out before any work is done."""
    p = Path(path)
    if p.suffix.lower() not in OUT_FORMATS:
        raise InputError(f"--out {path}: write results to a .csv or .json file")
    directory = p.parent if str(p.parent) else Path(".")
    if not directory.is_dir():
        raise InputError(f"--out {path}: the directory {str(directory)!r} does not exist")
    if p.is_dir():
        raise InputError(f"--out {path}: is a directory")
    if not os.access(directory, os.W_OK):
        raise InputError(f"--out {path}: the directory {str(directory)!r} is not writable")


class Table:
    """The table for people, printed as the rows come."""

    def __init__(self, write):
        self._write = write

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def add(self, report: Report) -> None:
        self._write(render(report) + "\n\n")


class ResultsFile:
    """The --out file (CSV or JSON by its suffix), written as the rows come into a
    temporary file beside it that replaces it when the `with` block ends without an
    error, so that readers see the old file or the whole new one, never a part.

    The temporary file is made by the first write, inside the `with` block, so that a
    Ctrl-C at any moment finds `__exit__` there to remove it."""

    def __init__(self, path: str):
        self.path = Path(path)
        self.json = path.lower().endswith(".json")
        self._tmp: str | None = None
        self._file = None
        self._rows = 0

    def __enter__(self):
        return self

    def __exit__(self, kind, error, trace):
        if kind is None:
            self._commit()
        else:
            self._discard()
        return False

    def write(self, text: str) -> None:
        if self._file is None:
            fd, self._tmp = tempfile.mkstemp(prefix=f".{self.path.name}.", suffix=".tmp",
                                             dir=str(self.path.parent))
            self._file = os.fdopen(fd, "w", encoding="utf-8", newline="")
        self._file.write(text)

    def add(self, report: Report) -> None:
        if self.json:
            records = json.dumps(_records(report), indent=1, allow_nan=False)
            self.write(("[\n" if self._rows == 0 else ",\n") + records[2:-2])
        else:
            self.write(_csv_frame(report).to_csv(index=False, header=self._rows == 0))
        self._rows += len(report.frame)

    def _commit(self) -> None:
        try:
            if self.json:
                self.write("\n]\n" if self._rows else "[]\n")
            else:
                self.write("")
            self._file.flush()
            os.fsync(self._file.fileno())
            self._file.close()
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(self._tmp, 0o666 & ~umask)  # mkstemp's 0600 is not what a plain write gives
            os.replace(self._tmp, self.path)
        except BaseException:
            self._discard()
            raise

    def _discard(self) -> None:
        if self._file is not None:
            self._file.close()
        if self._tmp is not None:
            _remove(self._tmp)


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def _csv_frame(report: Report) -> pd.DataFrame:
    f = report.frame.reset_index(drop=True)
    meta = f.iloc[:, :len(META_COLUMNS)]
    # Objects, so that a class label reads the same beside a missing prediction or not.
    extra = pd.DataFrame({"row": report.positions,
                          "rank": report.ranks if report.ranks is not None else 0,
                          "factual_prediction": pd.Series(report.before, dtype=object),
                          "prediction": pd.Series(report.after, dtype=object)})
    first = ["row"] if report.ranks is None else ["row", "rank"]
    return pd.concat([extra[first], meta, extra[["factual_prediction", "prediction"]],
                      f.iloc[:, len(META_COLUMNS):]], axis=1)


def _records(report: Report) -> list[dict]:
    f = report.frame.reset_index(drop=True)
    features = f.iloc[:, len(META_COLUMNS):]
    out = []
    for k in range(len(f)):
        record = {"row": int(report.positions[k])}
        if report.ranks is not None:
            record["rank"] = int(report.ranks[k])
        record.update({c: _plain(f.at[k, c]) for c in META_COLUMNS})
        record["factual_prediction"] = _plain(report.before[k])
        record["prediction"] = _plain(report.after[k])
        record["changes"] = [{"feature": a, "from": _plain(b), "to": _plain(c)}
                             for a, b, c in report.changes[k]]
        record["counterfactual"] = ({c: _plain(features.at[k, c]) for c in features.columns}
                                    if f.at[k, "found"] else None)
        out.append(record)
    return out


def _plain(v):
    """A JSON value: numpy scalars as Python ones, NaN and infinities as null."""
    if isinstance(v, np.generic):
        v = v.item()
    if isinstance(v, float) and not math.isfinite(v):
        return None
    return v
