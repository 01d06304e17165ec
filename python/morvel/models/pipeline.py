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

from .flat import FlatEnsemble, NotFitted, code_bitmap

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

    steps, model = split_pipeline(pipeline)
    for name, step in steps:
        _check_step(name, step)
    encoded = convert(model)
    if not steps:
        return encoded
    prep = _Preprocessing(steps, model, encoded)
    return _RawMapper(prep, encoded).build()


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


class _Preprocessing:
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


# --------------------------------------------------------------------------- mapping back


class _RawMapper:
    """The encoded model's nodes rewritten over the raw columns."""

    def __init__(self, prep: _Preprocessing, flat: FlatEnsemble):
        self.prep, self.flat = prep, flat
        self.feature = flat.feature.copy()
        self.threshold = flat.threshold.copy()
        self.is_lt = flat.is_lt.copy()
        self.missing_left = flat.missing_left.copy()
        self.defined = flat.missing_defined.copy()
        self.codes: dict[int, np.ndarray] = {}  # node -> label codes sent left

    def build(self) -> FlatEnsemble:
        flat, prep = self.flat, self.prep
        internal = flat.feature >= 0
        numeric = []
        for k in range(flat.n_features):
            nodes = np.flatnonzero(internal & (flat.feature == k))
            if not len(nodes):
                continue
            r = int(prep.origin[k])
            if k in prep.passed_categorical:
                self._keep_categorical(nodes, prep.passed_categorical[k])
            elif r < 0:
                self._constant(nodes, prep.base[k])
            elif r in prep.coded:
                self._categorical(nodes, k, r)
            else:
                if (flat.node_set[nodes] >= 0).any():
                    raise ValueError(f"the model splits encoded column {k} by categories, but "
                                     f"it holds the transformed values of the numeric column "
                                     f"{prep.column_name(r)!r}")
                numeric.append((nodes, k, r))
        if numeric:
            self._numeric(numeric)
        return self._assemble()

    def _keep_categorical(self, nodes, r) -> None:
        """A raw column the model reads as its own categories: splits stay as they are."""
        self.feature[nodes] = r
        for i in nodes:
            if self.flat.node_set[i] >= 0:
                self.codes[int(i)] = _set_members(self.flat, int(i))

    def _constant(self, nodes, value) -> None:
        """A column no raw value changes: each split always goes one way."""
        left = np.array([self.flat.goes_left(i, [value])[0] for i in nodes])
        self.feature[nodes] = 0
        self.threshold[nodes] = np.where(left, np.inf, -np.inf)
        self.is_lt[nodes] = np.where(left, 0, 1)
        self.missing_left[nodes] = left
        self.defined[nodes] = 1

    def _categorical(self, nodes, k: int, r: int) -> None:
        encoded = self.prep.label_values(r)[:, k].astype(np.float64)
        for i in nodes:
            self.codes[int(i)] = np.flatnonzero(self.flat.goes_left(i, encoded))
        self.feature[nodes] = r
        self.threshold[nodes] = 0.0
        self.is_lt[nodes] = 0
        self._missing(nodes, k, r)

    def _numeric(self, groups) -> None:
        """Raw thresholds of all numeric splits at once (one bisection over the distinct
        (column, threshold, comparison) triples)."""
        nodes = np.concatenate([g[0] for g in groups])
        ks = np.concatenate([np.full(len(g[0]), g[1]) for g in groups])
        rs = np.concatenate([np.full(len(g[0]), g[2]) for g in groups])
        keys = np.column_stack([ks, self.flat.threshold[nodes].view(np.int64),
                                self.flat.is_lt[nodes]])
        unique, inverse = np.unique(keys, axis=0, return_inverse=True)
        first = np.zeros(len(unique), dtype=np.int64)
        first[inverse.ravel()] = np.arange(len(nodes))
        t, lt = _raw_thresholds(self.prep, rs[first], ks[first], self.flat.threshold[nodes[first]],
                                self.flat.is_lt[nodes[first]] == 1)
        self.feature[nodes] = rs
        self.threshold[nodes] = t[inverse.ravel()]
        self.is_lt[nodes] = lt[inverse.ravel()]
        for sub, k, r in groups:
            self._missing(sub, k, r)

    def _missing(self, nodes, k: int, r: int) -> None:
        """Where a missing raw value goes: where its transformed value goes."""
        row = self.prep.nan_values[r]
        if row is None:  # the pipeline refuses a missing value here
            self.missing_left[nodes] = 0
            self.defined[nodes] = 0
            return
        value = float(row[k])
        if np.isnan(value):  # the model itself routes the missing value
            return
        self.missing_left[nodes] = [self.flat.goes_left(i, [value])[0] for i in nodes]
        self.defined[nodes] = 1

    def _assemble(self) -> FlatEnsemble:
        flat, prep = self.flat, self.prep
        node_set = np.full(flat.n_nodes, -1, dtype=np.int32)
        offsets, words = [0], []
        for i, codes in sorted(self.codes.items()):
            bitmap = code_bitmap(codes)
            node_set[i] = len(offsets) - 1
            words.append(bitmap)
            offsets.append(offsets[-1] + len(bitmap))
        cardinality = np.zeros(prep.n_raw, dtype=np.uint32)
        categories = {}
        for r, labels in prep.labels.items():
            cardinality[r] = len(labels)
            categories[r] = {label: code for code, label in enumerate(labels)}
        for k, r in prep.passed_categorical.items():
            if k not in flat.categories:  # the model reads whole-number codes
                del categories[r]
        return FlatEnsemble(
            feature=self.feature, threshold=self.threshold, is_lt=self.is_lt,
            missing_left=self.missing_left, left=flat.left, right=flat.right, value=flat.value,
            tree_roots=flat.tree_roots, base_score=flat.base_score, link=flat.link,
            n_features=prep.n_raw, node_set=node_set,
            set_offsets=np.asarray(offsets, dtype=np.uint32),
            set_words=(np.concatenate(words) if words else np.zeros(0, dtype=np.uint64)),
            cardinality=cardinality, leaf_id=flat.leaf_id, missing_defined=self.defined,
            categories=categories)


def _set_members(flat: FlatEnsemble, i: int) -> np.ndarray:
    s = flat.node_set[i]
    words = flat.set_words[flat.set_offsets[s]:flat.set_offsets[s + 1]]
    bits = np.unpackbits(words.view(np.uint8), bitorder="little")
    return np.flatnonzero(bits)


# --------------------------------------------------------------------------- bisection

_SIGN = np.int64(-0x8000000000000000)
_MAGNITUDE = np.int64(0x7FFFFFFFFFFFFFFF)
_MAX = np.finfo(np.float64).max


def _to_key(x: np.ndarray) -> np.ndarray:
    """Doubles to int64 keys in the same order (-0.0 just below +0.0)."""
    bits = np.asarray(x, dtype=np.float64).view(np.int64)
    return np.where(bits < 0, -(bits & _MAGNITUDE) - 1, bits)


def _from_key(key: np.ndarray) -> np.ndarray:
    bits = np.where(key < 0, (-(key + 1)) | _SIGN, key)
    return bits.astype(np.int64).view(np.float64)


def _raw_thresholds(prep: _Preprocessing, r, k, t, lt):
    """Per split (raw column r, encoded column k, encoded threshold t, strict lt): the
    raw threshold and comparison that pass exactly the doubles x whose encoded value
    passes `e < t` (lt) or `e <= t`. The encoded value is non-decreasing in x, so the
    passing doubles are all those up to the largest one, which bisection finds.

    Each call of the preprocessing costs far more than its rows, so the bisection starts
    from a narrow bracket around the affine estimate of the answer (the scalers are
    affine) and falls back to all doubles where that bracket does not hold it."""
    def passes(idx, keys):
        e = prep.values_at(r[idx], _from_key(keys), k[idx])
        return np.where(lt[idx], e < t[idx], e <= t[idx])

    n = len(t)
    every = np.arange(n)
    lo, hi = _estimated_brackets(prep, r, k, t)
    both = passes(np.concatenate([every, every]), np.concatenate([lo, hi]))
    held = both[:n] & ~both[n:]
    lo[~held] = _to_key(np.array([-_MAX]))[0]
    hi[~held] = _to_key(np.array([_MAX]))[0]
    all_pass = np.zeros(n, dtype=bool)
    none_pass = np.zeros(n, dtype=bool)
    wide = np.flatnonzero(~held)
    if len(wide):
        ends = passes(np.concatenate([wide, wide]), np.concatenate([lo[wide], hi[wide]]))
        none_pass[wide] = ~ends[:len(wide)]
        all_pass[wide] = ends[len(wide):]
    active = ~(all_pass | none_pass)
    while True:
        idx = np.flatnonzero(active & (hi - 1 > lo))
        if not len(idx):
            break
        mid = (lo[idx] >> 1) + (hi[idx] >> 1) + (lo[idx] & hi[idx] & 1)
        ok = passes(idx, mid)
        lo[idx] = np.where(ok, mid, lo[idx])
        hi[idx] = np.where(ok, hi[idx], mid)
    threshold = np.where(all_pass, np.inf, np.where(none_pass, -np.inf, _from_key(lo)))
    return threshold, np.where(none_pass, 1, 0).astype(np.uint8)


def _estimated_brackets(prep: _Preprocessing, r, k, t):
    """Keys of a narrow bracket around x = (t - b) / a, the affine map e = a x + b read
    from the encoded values at x = 0 and x = 1 (a collapsed bracket where there is none)."""
    n = len(t)
    g = prep.values_at(np.concatenate([r, r]), np.repeat([0.0, 1.0], n), np.concatenate([k, k]))
    b, a = g[:n], g[n:] - g[:n]
    with np.errstate(all="ignore"):
        x0 = (t - b) / a
        width = 1e-12 * (np.abs(x0) + (np.abs(t) + np.abs(b)) / a) + 1e-300
    usable = (a > 0) & np.isfinite(x0) & np.isfinite(width)
    x0 = np.where(usable, x0, 0.0)
    width = np.where(usable, width, 0.0)
    return _to_key(x0 - width), _to_key(x0 + width)
