"""scikit-learn Pipelines of column preprocessing ending in a tree model, converted to a
flat ensemble over the raw columns the pipeline reads.

The preprocessing may only hold steps that transform each column on its own: encoders
(one-hot, ordinal), the monotone scalers, NaN imputers, column selection. The final
model's splits on encoded columns are then mapped back, using the fitted preprocessing's
own `transform` as the oracle of what reaches the model:

- A raw column read by an encoder is categorical: its labels are the encoder's categories
  and its codes their positions. Every label is transformed once, and a split becomes the
  categorical split that sends each label where its encoded value goes.
- Any other raw column is numeric and reaches the model through a non-decreasing map
  (scalers, an imputer's identity on present values). The values a split sends left are
  therefore all doubles up to some largest one; a bisection over the doubles, calling
  `transform` at each step, finds it, so the raw threshold routes every double exactly
  as the pipeline does (its float64 arithmetic and the model's float32 casts included).
- A missing raw value goes where its transformed value goes (an imputer's fill value, a
  missing-value category, a missing indicator), or where the model sends NaN.
"""
from __future__ import annotations

import warnings

import numpy as np

from .flat import FlatEnsemble, NotFitted
from .raw_splits import RawMapper

SUPPORTED_STEPS = ("ColumnTransformer, OneHotEncoder, OrdinalEncoder, SimpleImputer, "
                   "StandardScaler, MinMaxScaler, RobustScaler, MaxAbsScaler, 'passthrough' "
                   "and 'drop'")
_ENCODERS = ("OneHotEncoder", "OrdinalEncoder")
_SCALERS = ("StandardScaler", "MinMaxScaler", "RobustScaler", "MaxAbsScaler")
_PROBE_NUMBERS = np.array([-1e6, -3.0, -1.0, -0.5, 0.0, 0.5, 1.0, 3.0, 1e6])
_CHUNK_VALUES = 1 << 21  # encoded values per transform call (16 MiB once dense)


def is_pipeline(model) -> bool:
    return type(model).__name__ == "Pipeline" and type(model).__module__.startswith("sklearn")


def split_pipeline(pipeline) -> tuple[list, object]:
    """The preprocessing steps [(name, step), ...] and the final model, nested pipelines
    flattened and 'passthrough' steps left out."""
    steps = []
    for name, step in pipeline.steps:
        if is_pipeline(step):
            inner, last = split_pipeline(step)
            steps += inner + [(name, last)]
        elif step is not None and not (isinstance(step, str) and step == "passthrough"):
            steps.append((name, step))
    if not steps:
        raise ValueError("the pipeline has no model")
    return steps[:-1], steps[-1][1]


def final_estimator(model):
    """The model at the end of a pipeline (the model itself when it is none)."""
    return split_pipeline(model)[1] if is_pipeline(model) else model


def from_pipeline(pipeline) -> FlatEnsemble:
    """Convert a fitted Pipeline of supported preprocessing steps and a tree model."""
    from . import convert

    steps, model = checked_steps(pipeline)
    encoded = convert(model)
    to_raw = raw_mapper(steps, model, encoded)
    return encoded if to_raw is None else to_raw(encoded)


def checked_steps(pipeline) -> tuple[list, object]:
    """`split_pipeline`, refusing unsupported or unfitted steps."""
    steps, model = split_pipeline(pipeline)
    for name, step in steps:
        _check_step(name, step)
    return steps, model


def raw_mapper(steps, model, encoded: FlatEnsemble):
    """A function that rewrites a flat ensemble over the encoded columns (`encoded`, or
    one with the same splits) over the raw columns; None without preprocessing."""
    if not steps:
        return None
    prep = Preprocessing(steps, model, encoded)
    return lambda flat: RawMapper(prep, flat).build()


# --------------------------------------------------------------------------- checks


def _check_step(name: str, step) -> None:
    """Refuses unsupported or unfitted steps, naming them."""
    kind = type(step).__name__
    if _is_identity(step):
        return
    if isinstance(step, str):
        if step in ("passthrough", "drop"):
            return
        raise ValueError(f"pipeline step {name!r} is {step!r}; supported steps: {SUPPORTED_STEPS}")
    if is_pipeline(step):
        for inner, sub in step.steps:
            if sub is not None:
                _check_step(f"{name}/{inner}", sub)
        return
    if kind == "ColumnTransformer":
        if not hasattr(step, "transformers_"):
            raise NotFitted(f"pipeline step {name!r} (ColumnTransformer) is not fitted yet: "
                            "fit the pipeline before explaining it")
        for inner, sub, _ in step.transformers_:
            if type(sub).__name__ == "ColumnTransformer":
                raise ValueError(f"pipeline step {name}/{inner!r} nests a ColumnTransformer; "
                                 f"supported steps: {SUPPORTED_STEPS}")
            _check_step(f"{name}/{inner}", sub)
        return
    if kind not in _ENCODERS + _SCALERS + ("SimpleImputer",) or not type(
            step).__module__.startswith("sklearn"):
        raise ValueError(f"pipeline step {name!r} ({kind}) is not supported; supported steps: "
                         f"{SUPPORTED_STEPS}")
    from sklearn.exceptions import NotFittedError
    from sklearn.utils.validation import check_is_fitted

    try:
        check_is_fitted(step)
    except NotFittedError as err:
        raise NotFitted(f"pipeline step {name!r} ({kind}) is not fitted yet: fit the pipeline "
                        "before explaining it") from err
    if kind == "SimpleImputer" and not _is_missing(step.missing_values):
        raise ValueError(f"pipeline step {name!r}: SimpleImputer(missing_values="
                         f"{step.missing_values!r}) replaces a value that is not missing; only "
                         "missing_values=np.nan is supported")


def _is_identity(step) -> bool:
    """'passthrough', or the identity FunctionTransformer a fitted ColumnTransformer puts
    in its place."""
    if isinstance(step, str):
        return step == "passthrough"
    return (type(step).__name__ == "FunctionTransformer"
            and type(step).__module__.startswith("sklearn") and step.func is None)


def _is_missing(value) -> bool:
    if value is None:
        return True
    try:
        return bool(np.isnan(value))
    except (TypeError, ValueError):
        return False


# --------------------------------------------------------------------------- raw columns


class Preprocessing:
    """The fitted preprocessing as a function of raw rows: which raw columns are
    categorical (and their labels), which raw column each encoded column comes from, and
    the encoded values of probe rows."""

    def __init__(self, steps, model, encoded: FlatEnsemble):
        self.steps = steps
        first = steps[0][1]
        self.n_raw = int(first.n_features_in_)
        names = getattr(first, "feature_names_in_", None)
        self.names = None if names is None else list(names)
        self.labels: dict[int, list] = {}
        sources = list(range(self.n_raw))
        for name, step in steps:
            sources = self._trace(name, step, sources)
        if len(sources) != encoded.n_features:
            raise ValueError(f"the preprocessing gives {len(sources)} columns, the model "
                             f"takes {encoded.n_features}")
        # Raw columns passed unchanged to a feature the model itself treats as categorical.
        self.passed_categorical = {}
        for k, r in enumerate(sources):
            if r is not None and encoded.cardinality[k] > 0 and r not in self.labels:
                known = encoded.categories.get(k)
                self.passed_categorical[k] = r
                self.labels[r] = (list(known) if known is not None
                                  else list(range(int(encoded.cardinality[k]))))
        self.coded = set(self.labels) - set(self.passed_categorical.values())
        self.base = self.transform(self.rows({}, 1))[0]
        sparse = hasattr(self.apply(self.rows({}, 1)), "toarray")
        if sparse and type(model).__module__.startswith("xgboost"):
            raise ValueError("the preprocessing returns a sparse matrix, whose zeros XGBoost "
                             "reads as missing values; set sparse_output=False on the encoders "
                             "(and sparse_threshold=0 on the ColumnTransformer)")
        self.origin, self.nan_values = self._layout(encoded.n_features)

    # -- which raw column holds which labels ---------------------------------------------

    def _trace(self, name: str, step, sources: list) -> list:
        """Sources after `step`: per output column, the raw column whose values (present
        ones unchanged) it holds, or None. Records the labels of encoded raw columns."""
        kind = type(step).__name__
        if _is_identity(step):
            return list(sources)
        if isinstance(step, str):
            return [] if step == "drop" else list(sources)
        if is_pipeline(step):
            for inner, sub in step.steps:
                if sub is not None and not (isinstance(sub, str) and sub == "passthrough"):
                    sources = self._trace(f"{name}/{inner}", sub, sources)
            return sources
        if kind == "ColumnTransformer":
            return self._trace_columns(name, step, sources)
        n_out = len(step.get_feature_names_out())
        if kind in _ENCODERS:
            for i, cats in enumerate(step.categories_):
                self._record_labels(name, kind, sources[i], cats)
            return [None] * n_out
        if kind == "SimpleImputer":
            kept = [s for s, keep in zip(sources, _imputer_keeps(step)) if keep]
            out = kept + [None] * (n_out - len(kept))
            if len(out) != n_out:
                raise ValueError(f"pipeline step {name!r}: unexpected SimpleImputer layout")
            return out
        return [None] * n_out  # scalers change the values

    def _trace_columns(self, name: str, ct, sources: list) -> list:
        out = [None] * sum(s.stop - s.start for s in ct.output_indices_.values())
        for inner, sub, _ in ct.transformers_:
            given = [sources[i] for i in _input_indices(ct, inner)]
            got = self._trace(f"{name}/{inner}", sub, given)
            where = ct.output_indices_[inner]
            if where.stop - where.start != len(got):
                raise ValueError(f"pipeline step {name}/{inner!r}: unexpected output layout")
            out[where] = got
        return out

    def _record_labels(self, name, kind, source, categories) -> None:
        if source is None:
            raise ValueError(f"pipeline step {name!r} ({kind}) encodes a column that an "
                             "earlier step has scaled or encoded; encoders must read raw "
                             "columns (an imputer before them is fine)")
        labels = [c for c in np.asarray(categories, dtype=object).tolist() if not _is_missing(c)]
        if source in self.labels and self.labels[source] != labels:
            raise ValueError(f"raw column {self.column_name(source)!r} is encoded twice with "
                             "different categories")
        self.labels[source] = labels

    def column_name(self, r: int) -> str:
        return self.names[r] if self.names is not None else f"x{r}"

    # -- probe rows ---------------------------------------------------------------------

    def rows(self, values: dict, m: int):
        """`m` raw rows: column r takes `values[r]` (an array) where given; other columns
        their first label or 0.0."""
        import pandas as pd

        columns = []
        for r in range(self.n_raw):
            if r in values:
                col = values[r] if r not in self.labels else np.asarray(values[r], dtype=object)
            elif r in self.labels:
                col = np.full(m, self.labels[r][0], dtype=object)
            else:
                col = np.zeros(m)
            if r in self.passed_categorical.values():
                col = pd.Categorical(col, categories=self.labels[r])
            columns.append(col)
        if self.names is None:
            out = np.empty((m, self.n_raw), dtype=object)
            for r, col in enumerate(columns):
                out[:, r] = np.asarray(col, dtype=object)
            return out
        return pd.DataFrame(dict(zip(self.names, columns)))

    def apply(self, X):
        """The preprocessing's own output for raw rows X."""
        # Probes far out overflow a scaler to inf, which routes as any large value would.
        with warnings.catch_warnings(), np.errstate(all="ignore"):
            warnings.simplefilter("ignore")
            for _, step in self.steps:
                X = step.transform(X)
        return X

    def transform(self, X) -> np.ndarray:
        """Encoded rows as the model receives them, densified (numbers as float64, labels
        passed through as objects)."""
        X = self.apply(X)
        if hasattr(X, "toarray"):
            X = X.toarray()
        X = X.to_numpy() if hasattr(X, "to_numpy") else np.asarray(X)
        if X.dtype != object:
            X = X.astype(np.float64)
        return X

    def values_at(self, r_per_row: np.ndarray, x: np.ndarray, k_per_row: np.ndarray) -> np.ndarray:
        """Encoded column k_per_row[i] of a row whose raw column r_per_row[i] is x[i]."""
        out = np.empty(len(x), dtype=np.float64)
        step = max(256, _CHUNK_VALUES // max(1, len(self.base)))
        for start in range(0, len(x), step):
            part = slice(start, start + step)
            r, v, k = r_per_row[part], x[part], k_per_row[part]
            values = {}
            for col in np.unique(r):
                full = np.zeros(len(v))
                full[r == col] = v[r == col]
                values[int(col)] = full
            encoded = self.transform(self.rows(values, len(v)))
            out[part] = encoded[np.arange(len(v)), k].astype(np.float64)
        return out

    def label_values(self, r: int) -> np.ndarray:
        """Encoded rows of the labels of the raw categorical column r, in code order."""
        return self._label_rows[r]

    def _layout(self, n_encoded: int):
        """The raw column each encoded column depends on (-1: none), and per raw column
        the encoded row of a missing value (None where the pipeline refuses it)."""
        origin = np.full(n_encoded, -1, dtype=np.int64)
        nan_values = {}
        self._label_rows = {}
        for r in range(self.n_raw):
            probes = (np.asarray(self.labels[r], dtype=object) if r in self.labels
                      else _PROBE_NUMBERS)
            encoded = self.transform(self.rows({r: probes}, len(probes)))
            if r in self.labels:
                self._label_rows[r] = encoded
            changed = _differs(encoded, self.base)
            try:
                nan_row = self.transform(self.rows({r: np.array([np.nan])}, 1))
                nan_values[r] = nan_row[0]
                changed |= _differs(nan_row, self.base)
            except (ValueError, TypeError):
                nan_values[r] = None
            for k in np.flatnonzero(changed):
                if origin[k] >= 0:
                    raise ValueError(f"encoded column {k} depends on the raw columns "
                                     f"{self.column_name(int(origin[k]))!r} and "
                                     f"{self.column_name(r)!r}; only per-column steps are "
                                     "supported")
                origin[k] = r
        return origin, nan_values


def _imputer_keeps(imputer) -> list:
    """Which input columns a fitted SimpleImputer keeps (all-missing ones are dropped
    unless it keeps empty features or fills a constant)."""
    stats = np.asarray(imputer.statistics_, dtype=object)
    if imputer.strategy == "constant" or getattr(imputer, "keep_empty_features", False):
        return [True] * len(stats)
    return [not _is_missing(s) for s in stats]


def _input_indices(ct, name: str) -> list:
    """Input columns of a fitted ColumnTransformer's branch (recorded since
    scikit-learn 1.2)."""
    return list(ct._transformer_to_input_indices[name])


def _differs(rows: np.ndarray, base: np.ndarray) -> np.ndarray:
    """Encoded columns in which any row differs from `base` (NaN equal to NaN)."""
    if rows.dtype != object:
        both_nan = np.isnan(rows) & np.isnan(base.astype(np.float64))
        return ((rows != base) & ~both_nan).any(axis=0)
    out = np.zeros(rows.shape[1], dtype=bool)
    for k in range(rows.shape[1]):
        b = base[k]
        out[k] = any(not (v == b or (_is_missing(v) and _is_missing(b))) for v in rows[:, k])
    return out
