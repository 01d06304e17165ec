"""What the command line reads: a saved model (by its format, pickle-based files only when
trusted), a CSV of rows (errors located by line and column), and the rows to explain."""
from __future__ import annotations

import re
from pathlib import Path

import numpy as np
import pandas as pd

from .errors import InputError

# Types outside these packages in a skops file could run code of their own when built.
_SKOPS_SAFE_PREFIXES = ("sklearn.", "numpy.", "scipy.")
_PICKLE_SUFFIXES = (".joblib", ".pkl", ".pickle")


def load_model(path: str, trust_pickle: bool = False):
    """A fitted model from a morvel flat model (.npz), an XGBoost JSON/UBJSON file, a
    LightGBM text model, a skops file, or (with `trust_pickle`) a joblib/pickle file."""
    p = Path(path)
    try:
        with p.open("rb") as f:
            head = f.read(64)
    except FileNotFoundError:
        raise InputError(f"{path}: no such file") from None
    except IsADirectoryError:
        raise InputError(f"{path}: is a directory, not a model file") from None
    except OSError as err:
        raise InputError(f"{path}: {err.strerror or err}") from None
    suffix = p.suffix.lower()
    if suffix == ".npz":
        return _flat_model(path)
    if head.startswith(b"PK\x03\x04") or suffix == ".skops":
        return _skops(path, trust_pickle)
    if suffix in _PICKLE_SUFFIXES or head[:1] == b"\x80":
        return _pickled(path, trust_pickle)
    if suffix in (".json", ".ubj") or head.lstrip()[:1] == b"{":
        return _xgboost(path)
    if head.startswith(b"tree") or suffix == ".txt":
        return _lightgbm(path)
    raise InputError(f"{path}: unknown model format; expected an XGBoost .json/.ubj file, a "
                     "LightGBM text model, a skops file, or a joblib/pickle file")


def _library(name: str, extra: str, path: str):
    try:
        return __import__(name)
    except ImportError:
        raise InputError(f"{path}: reading this model needs {name} (pip install "
                         f"'morvel[{extra}]')") from None


def _flat_model(path: str):
    from ...models import FlatModel

    try:
        return FlatModel.load(path)
    except ValueError as err:
        raise InputError(f"{path}: {err}") from None


def _xgboost(path: str):
    xgboost = _library("xgboost", "xgboost", path)
    try:
        return xgboost.Booster(model_file=path)
    except xgboost.core.XGBoostError as err:
        raise InputError(f"{path}: not a readable XGBoost model ({_first_line(err)})") from None


def _lightgbm(path: str):
    lightgbm = _library("lightgbm", "lightgbm", path)
    _require_whole_lightgbm_text(path)
    try:
        return lightgbm.Booster(model_file=path)
    except lightgbm.basic.LightGBMError as err:
        raise InputError(f"{path}: not a readable LightGBM model ({_first_line(err)})") from None


def _require_whole_lightgbm_text(path: str) -> None:
    """LightGBM's own parser can abort the process on a cut-off or damaged text model, so
    the tree blocks are checked against the header's `tree_sizes` first."""
    with open(path, "rb") as f:
        data = f.read()
    bad = InputError(f"{path}: not a complete LightGBM text model (cut off or damaged: its "
                     "trees do not match the sizes its header gives)")
    if not (data.startswith(b"tree\n") or data.startswith(b"tree\r\n")):
        raise InputError(f"{path}: not a LightGBM text model (it must start with 'tree')")
    sizes = re.search(rb"^tree_sizes=([0-9 ]*)\r?$", data, re.M)
    start = data.find(b"\nTree=") + 1
    if sizes is None or start == 0:
        raise bad
    offset = start
    for size in map(int, sizes.group(1).split()):
        if data[offset:offset + 5] != b"Tree=":
            raise bad
        offset += size
    if not data[offset:offset + 12] == b"end of trees":
        raise bad


def _skops(path: str, trust_pickle: bool):
    _library("sklearn", "sklearn", path)
    try:
        import skops.io as sio
    except ImportError:
        raise InputError(f"{path}: reading a skops file needs skops (pip install skops)") \
            from None
    try:
        untrusted = sio.get_untrusted_types(file=path)
        foreign = [t for t in untrusted if not t.startswith(_SKOPS_SAFE_PREFIXES)]
        if foreign and not trust_pickle:
            raise InputError(f"{path}: holds types outside scikit-learn ({', '.join(foreign)})"
                             " that could run code when loaded; pass --trust-pickle if you "
                             "trust the file")
        return sio.load(path, trusted=untrusted)
    except InputError:
        raise
    except Exception as err:  # skops reports a bad archive in many ways
        raise InputError(f"{path}: not a readable skops file ({_first_line(err)})") from None


def _pickled(path: str, trust_pickle: bool):
    if not trust_pickle:
        raise InputError(f"{path}: a pickle-based model file (joblib/pickle) runs code when "
                         "loaded; pass --trust-pickle if you trust it, or save the model with "
                         "skops (scikit-learn) or the library's own format")
    try:
        import joblib

        return joblib.load(path)
    except ImportError:
        import pickle

        with open(path, "rb") as f:
            return pickle.load(f)
    except Exception as err:
        raise InputError(f"{path}: not a readable joblib/pickle file ({_first_line(err)})") \
            from None


def _first_line(err: BaseException) -> str:
    lines = [s.strip() for s in str(err).splitlines() if s.strip()]
    text = lines[0] if lines else type(err).__name__
    text = re.sub(r"^\[[0-9:]+\]\s*\S+:\s*", "", text)  # XGBoost's "[12:00:00] file.cc:42: "
    return text[:200]


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
        raise InputError(f"{path}: cannot parse the CSV ({_first_line(err)})") from None
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
