"""Feature names and kinds, and the translation between user rows (frames, series,
arrays, category labels) and the float64 rows of codes that the core reads.

Every value is validated here, once, with a message that names the column: nothing that
reaches the native layer can make it fail.
"""
from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import pandas as pd

from ..models.adapter import ModelAdapter


# Codes of a categorical column given as numbers widen the model's category count up to
# here; larger ones are refused as unknown (the searches enumerate every code).
_MAX_DATA_CODE = 1 << 16


@dataclass(frozen=True)
class CategoryMap:
    """Labels of one categorical feature and the whole-number codes the model routes on."""

    labels: tuple          # in code order
    codes: tuple           # codes[k] is the code of labels[k]
    numeric: bool          # the labels are the codes themselves (a numeric column)

    @classmethod
    def from_mapping(cls, mapping: dict) -> CategoryMap:
        pairs = sorted(mapping.items(), key=lambda kv: kv[1])
        return cls(tuple(k for k, _ in pairs), tuple(int(v) for _, v in pairs), False)

    def code_of(self) -> dict:
        return dict(zip(self.labels, self.codes))

    def label_of(self) -> dict:
        return dict(zip(self.codes, self.labels))


class Schema:
    """Names, categorical maps and integer-valued columns of a model's features."""

    def __init__(self, adapter: ModelAdapter, data, features=None):
        n = adapter.n_features
        self.adapter = adapter
        self.frame_input = isinstance(data, pd.DataFrame)
        self.names = _resolve_names(adapter, data, features)
        if len(self.names) != n:
            raise ValueError(f"{adapter.name} takes {n} features, but data has "
                             f"{len(self.names)} columns")
        frame = self._as_frame(data, "data")
        self.dtypes = {c: frame[c].dtype for c in self.names} if self.frame_input else None
        self.categories = _category_maps(adapter, frame, self.names)
        adapter.widen_categories(_category_counts(self.categories))
        self.categorical = np.zeros(n, dtype=bool)
        self.categorical[list(self.categories)] = True
        # Shortcuts where every value is a number: rows read without a frame, and frames
        # built in one block where `decode` would give float64 columns anyway.
        self._plain_numbers = not self.categories
        self._labelled = any(not m.numeric for m in self.categories.values())
        self._all_float = not self._labelled and (self.dtypes is None or all(
            d == np.float64 for d in self.dtypes.values()))
        self._library_columns = (None if adapter.feature_names is None
                                 else pd.Index(adapter.feature_names))
        self._names_index = pd.Index(self.names)

    # -- frames in ---------------------------------------------------------------------

    def _as_frame(self, X, what: str) -> pd.DataFrame:
        """A frame whose columns are exactly the features, in model order."""
        if isinstance(X, pd.DataFrame):
            cols = [str(c) for c in X.columns]
            unknown = [c for c in cols if c not in self.names]
            if unknown:
                raise ValueError(f"{what} has unknown column(s) {_quote(unknown)}; the "
                                 f"model's features are {_quote(self.names)}")
            missing = [c for c in self.names if c not in cols]
            if missing:
                raise ValueError(f"{what} lacks the feature column(s) {_quote(missing)}")
            if len(set(cols)) != len(cols):
                raise ValueError(f"{what} has duplicated column names")
            X = X.set_axis(cols, axis=1)
            return X[self.names]
        arr = np.asarray(X, dtype=object) if not isinstance(X, np.ndarray) else X
        if arr.ndim == 1:
            arr = arr[None, :]
        if arr.ndim != 2:
            raise ValueError(f"{what} must be a DataFrame or a 2-D array, got {arr.ndim} "
                             "dimensions")
        if arr.shape[1] != len(self.names):
            raise ValueError(f"{what} has {arr.shape[1]} columns, the model takes "
                             f"{len(self.names)} features")
        return pd.DataFrame(arr, columns=self.names, copy=False)  # read, never written

    def rows(self, X, what: str = "rows") -> tuple[pd.DataFrame, np.ndarray]:
        """The rows of `X` (frame, array, series, dict or sequence) as a frame in model
        order (which may share the caller's array: read it, never write to it) and as the
        validated float64 matrix of codes."""
        frame = self.frame(X, what)
        return frame, self.encode(frame, what)

    def frame(self, X, what: str = "rows") -> pd.DataFrame:
        """The rows of `X` as a frame of the features in model order (no values read; it
        may share the caller's array, so it is only ever read)."""
        return self._as_frame(_two_dimensional(X, self.names), what)

    def one_row(self, X, what: str = "row") -> np.ndarray:
        """The codes of one row as a (1, features) matrix; like `rows`, but a Series or a
        1-D array of plain numbers is read without building a frame."""
        fast = self._plain_row(X) if self._plain_numbers else None
        return fast if fast is not None else self.rows(X, what)[1]

    def _plain_row(self, X) -> np.ndarray | None:
        """A numeric Series naming exactly the features, or a numeric 1-D array of one
        value per feature, as codes; None for anything else (which `rows` reads, or
        refuses with its messages)."""
        if isinstance(X, pd.Series):
            if not isinstance(X.dtype, np.dtype) or X.dtype.kind not in "fiub":
                return None
            in_order = self._features_index(X.index)
            if in_order is None:
                return None
            values = X.to_numpy() if in_order else X[self.names].to_numpy()
        elif isinstance(X, np.ndarray):
            if X.ndim != 1 or X.dtype.kind not in "fiub" or len(X) != len(self.names):
                return None
            values = X
        else:
            return None
        values = np.array(values, dtype=np.float64)  # a contiguous copy of its own
        if np.isinf(values).any():
            return None
        return values[None, :]

    # The last index `_features_index` accepted, and whether it is in model order: the
    # rows of one frame share their index (`is_` sees through the views an Index is
    # shared by, and an Index is immutable).
    _last_index: tuple | None = None

    def _features_index(self, index: pd.Index) -> bool | None:
        """For an index naming exactly the features, whether it is in model order; None
        for any other index."""
        last = self._last_index
        if last is not None and last[0].is_(index):
            return last[1]
        if (len(index) != len(self.names) or not index.is_unique
                or not all(isinstance(c, str) for c in index)
                or set(index) != set(self.names)):
            return None
        in_order = list(index) == self.names
        self._last_index = (index, in_order)
        return in_order

    def encode(self, frame: pd.DataFrame, what: str = "rows") -> np.ndarray:
        out = np.empty((len(frame), len(self.names)), dtype=np.float64)
        for j in range(len(self.names)):
            out[:, j] = self.encode_column(frame.iloc[:, j], j)
        if np.isinf(out).any():
            j = int(np.flatnonzero(np.isinf(out).any(axis=0))[0])
            raise ValueError(f"column {self.names[j]!r} holds an infinite value")
        return out

    def encode_column(self, col: pd.Series, j: int) -> np.ndarray:
        """Feature j's codes of the values in `col`, infinite values left in (`encode`
        refuses them once every column is read). May be a view of `col`'s values."""
        if j in self.categories:
            return _encode_categories(col, self.categories[j], self.names[j],
                                      int(self.adapter.flat.cardinality[j]))
        return _encode_numbers(col, self.names[j])

    # -- rows out ----------------------------------------------------------------------

    def decode(self, matrix: np.ndarray, index=None) -> pd.DataFrame:
        """A frame of labels and values for a matrix of codes (dtypes as in the data)."""
        columns = {}
        for j, name in enumerate(self.names):
            col = matrix[:, j]
            if j in self.categories and not self.categories[j].numeric:
                label_of = self.categories[j].label_of()
                values = [np.nan if np.isnan(v) else label_of[int(v)] for v in col]
                dtype = self.dtypes.get(name) if self.dtypes else None
                columns[name] = _labels_in_data_dtype(values, dtype, self.categories[j],
                                                      self.adapter.reads_plain_labels)
            else:
                columns[name] = _in_data_dtype(col, self.dtypes.get(name) if self.dtypes
                                               else None)
        return pd.DataFrame(columns, index=index)

    def library_input(self, matrix: np.ndarray):
        """Rows as the library expects them: a frame when the model knows column names (but
        for scikit-learn's trees, which read an array in the fitted column order as they
        read such a frame of numbers), an object array when it reads labels without names,
        else an array of codes."""
        if not self._labelled and (self.adapter.feature_names is None
                                   or self.adapter.reads_arrays):
            return np.ascontiguousarray(matrix)
        if self._all_float:  # the frame `decode` builds, in one block
            return pd.DataFrame(matrix, columns=self._library_columns)
        frame = self.decode(matrix)
        if self.adapter.feature_names is None:  # fitted on an array of labels and numbers
            return frame.to_numpy(dtype=object)
        frame.columns = self.adapter.feature_names
        return frame

    def like(self, template, values: np.ndarray):
        """One row of codes in the type of `template` (Series, one-row frame or array)."""
        if isinstance(template, pd.DataFrame):
            return self.decode(values[None, :], index=template.index)
        if isinstance(template, pd.Series):
            if self._all_float:  # what `decode` gives, built directly
                return pd.Series(values.copy(), index=self._names_index, name=template.name)
            row = self.decode(values[None, :]).iloc[0]
            row.name = template.name
            return row
        if isinstance(template, dict):
            return dict(self.decode(values[None, :]).iloc[0])
        if any(not m.numeric for m in self.categories.values()):  # labels, not their codes
            return self.decode(values[None, :]).to_numpy(dtype=object)[0]
        return values.copy()

    def display(self, j: int, value: float):
        """A value as a person reads it: the label of a category code, NaN as missing."""
        if np.isnan(value):
            return np.nan
        if j in self.categories and not self.categories[j].numeric:
            return self.categories[j].label_of()[int(value)]
        return value


def _labels_in_data_dtype(values: list, dtype, cmap: CategoryMap, plain: bool):
    """Labels as a `category` column (of the data's categories, or the model's labels
    when the data gave none), or, for a model that reads plain labels, in the data's own
    dtype (text, whole numbers) when its column held plain values."""
    if isinstance(dtype, pd.CategoricalDtype):
        return pd.Categorical(values, categories=dtype.categories)
    if dtype is None or not plain:
        return pd.Categorical(values, categories=list(cmap.labels))
    out = pd.Series(values, dtype=object)
    try:
        cast = out.astype(dtype)
    except (TypeError, ValueError):
        return out.array
    return cast.array if (cast.astype(object) == out).all() else out.array


def _in_data_dtype(values: np.ndarray, dtype):
    """Values of a numeric column in the data's dtype where that holds them exactly:
    whole numbers stay integers (or booleans), values of a `category` column categories;
    anything else (a fraction, a missing value in a plain integer column) stays float64."""
    if dtype is None or dtype == np.float64:
        return values
    if isinstance(dtype, pd.CategoricalDtype):
        known = dtype.categories
        present = values[~np.isnan(values)]
        if pd.api.types.is_numeric_dtype(known.dtype) and np.isin(
                present, known.to_numpy(dtype=np.float64)).all():
            return pd.Categorical(values, dtype=dtype)
        return values
    if not (pd.api.types.is_integer_dtype(dtype) or pd.api.types.is_bool_dtype(dtype)):
        return values
    try:
        cast = pd.Series(values).astype(dtype)
    except (TypeError, ValueError, OverflowError):
        return values
    same = cast.astype("float64").to_numpy(dtype=np.float64, na_value=np.nan)
    return cast.array if np.array_equal(same, values, equal_nan=True) else values


def _quote(names) -> str:
    return ", ".join(repr(n) for n in names)


def _two_dimensional(X, names):
    if isinstance(X, pd.Series):
        return X.to_frame().T
    if isinstance(X, dict):
        return pd.DataFrame([X])
    return X


def _resolve_names(adapter: ModelAdapter, data, features) -> list[str]:
    if features is not None:
        names = [str(f) for f in features]
        if isinstance(data, pd.DataFrame) and set(names) != {str(c) for c in data.columns}:
            raise ValueError("features must name the columns of data")
    elif isinstance(data, pd.DataFrame):
        names = [str(c) for c in data.columns]
        known = adapter.feature_names
        if known is not None:
            missing = [c for c in known if c not in names]
            unknown = [c for c in names if c not in known]
            if missing or unknown:
                raise ValueError(
                    f"data's columns do not match the features {adapter.name} was fitted "
                    f"with: " + "; ".join(
                        part for part in (missing and f"missing {_quote(missing)}",
                                          unknown and f"unknown {_quote(unknown)}") if part))
            names = list(known)  # the model's column order
    elif adapter.feature_names is not None:
        names = list(adapter.feature_names)
    else:
        names = [f"x{j}" for j in range(np.shape(data)[1] if np.ndim(data) == 2 else 0)]
    if len(set(names)) != len(names):
        raise ValueError("feature names must be unique")
    known = adapter.feature_names
    if known is not None and len(names) == len(known) and names != list(known):
        raise ValueError(f"data's columns {_quote(names)} do not match the features "
                         f"{adapter.name} was fitted with: {_quote(known)}")
    return names


def _category_maps(adapter: ModelAdapter, frame: pd.DataFrame, names) -> dict:
    """CategoryMap per categorical feature: the model's own labels first, then the data's
    pandas categories (codes in category order), then a model category feature's codes.

    A model that records no labels tells only the codes its splits name; every category
    of the data's column (or every code in it) is one the model takes as well."""
    flat = adapter.flat
    read = set(flat.feature[flat.feature >= 0].tolist())
    maps = {}
    for j, name in enumerate(names):
        dtype = frame[name].dtype
        card = int(flat.cardinality[j])
        if j in flat.categories:
            maps[j] = CategoryMap.from_mapping(flat.categories[j])
        elif card == 0 and j not in read and _is_text(frame[name]):  # the model ignores it
            labels = (list(dtype.categories) if isinstance(dtype, pd.CategoricalDtype)
                      else sorted(frame[name].dropna().unique().tolist(), key=str))
            maps[j] = CategoryMap(tuple(labels), tuple(range(len(labels))), False)
        elif isinstance(dtype, pd.CategoricalDtype):
            if card == 0:
                continue  # a numeric feature stored as categories: read the values
            maps[j] = CategoryMap(tuple(dtype.categories), tuple(range(len(dtype.categories))),
                                  False)
        elif card > 0:
            codes = [c for c in map(_whole_code, frame[name].dropna())
                     if c is not None and c < _MAX_DATA_CODE]
            card = max([card] + [c + 1 for c in codes])
            maps[j] = CategoryMap(tuple(range(card)), tuple(range(card)), True)
    return maps


def _is_text(col: pd.Series) -> bool:
    """Whether a column holds labels rather than numbers."""
    if isinstance(col.dtype, pd.CategoricalDtype):
        values = pd.Series(col.cat.categories)
    elif pd.api.types.is_numeric_dtype(col.dtype) or pd.api.types.is_bool_dtype(col.dtype):
        return False  # read without copying the column
    else:
        values = col.dropna()
    if pd.api.types.is_numeric_dtype(values.dtype) or pd.api.types.is_bool_dtype(values.dtype):
        return False
    return bool(pd.to_numeric(values, errors="coerce").isna().any())


def _category_counts(maps: dict) -> dict:
    return {j: max(cmap.codes) + 1 if cmap.codes else 0 for j, cmap in maps.items()}


def _encode_numbers(col: pd.Series, name: str) -> np.ndarray:
    if isinstance(col.dtype, pd.CategoricalDtype):
        col = col.astype(object)
    if pd.api.types.is_bool_dtype(col.dtype):
        return col.to_numpy(dtype=np.float64)
    if pd.api.types.is_numeric_dtype(col.dtype):
        return col.to_numpy(dtype=np.float64, na_value=np.nan)
    out = pd.to_numeric(col, errors="coerce").to_numpy(dtype=np.float64, na_value=np.nan)
    bad = np.isnan(out) & ~col.isna().to_numpy()
    if bad.any():
        raise ValueError(f"column {name!r} holds the non-numeric value "
                         f"{col.to_numpy()[np.flatnonzero(bad)[0]]!r}")
    return out


def _encode_categories(col: pd.Series, cmap: CategoryMap, name: str, card: int) -> np.ndarray:
    values = col.astype(object).to_numpy() if isinstance(col.dtype, pd.CategoricalDtype) \
        else col.to_numpy()
    out = np.empty(len(values), dtype=np.float64)
    code_of = cmap.code_of()
    for i, v in enumerate(values):
        if v is None or (isinstance(v, (float, np.floating)) and np.isnan(v)):
            out[i] = np.nan
            continue
        if cmap.numeric:
            code = _whole_code(v)
            if code is None or code >= card:
                raise ValueError(f"column {name!r}: {v!r} is not a category code the model "
                                 f"knows (codes 0 to {card - 1})")
            out[i] = code
            continue
        try:
            out[i] = code_of[v]
            if card and out[i] >= card:
                raise KeyError(v)
        except (KeyError, TypeError):
            known = _quote(cmap.labels[:8]) + (", ..." if len(cmap.labels) > 8 else "")
            raise ValueError(f"column {name!r}: label {v!r} was not seen in training "
                             f"(known: {known})") from None
    return out


def _whole_code(v):
    try:
        f = float(v)
    except (TypeError, ValueError):
        return None
    if not np.isfinite(f) or f < 0 or f != np.floor(f):
        return None
    return int(f)
