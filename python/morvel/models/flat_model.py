"""`FlatModel`: a converted model in morvel's own file format, read and scored without the
library that trained it.

The file is a NumPy `.npz` archive (read with `allow_pickle=False`, so loading it runs no
code): the flat node arrays, and as JSON the feature names, the category labels and
whether the model is a classifier. Its `predict` is a tree walk written in NumPy, apart
from the native core, so that the explainer's check of every result by "the model's own
prediction" still compares two independent computations.
"""
from __future__ import annotations

import json
import zipfile
from pathlib import Path

import numpy as np
import pandas as pd

from .flat import FlatEnsemble

_ARRAYS = ("feature", "threshold", "is_lt", "missing_left", "left", "right", "value",
           "tree_roots", "node_set", "set_offsets", "set_words", "cardinality", "leaf_id",
           "missing_defined")
_FORMAT = "morvel-flat-model"
_VERSION = 1


class FlatModel:
    """A fitted binary classifier (sigmoid link: `predict_proba`, `predict` gives 0 or 1)
    or regressor, as flat node arrays with the feature names and category labels it was
    trained with.

    >>> from sklearn.ensemble import GradientBoostingClassifier
    >>> model = GradientBoostingClassifier(n_estimators=5).fit([[0], [1], [2], [3]], [0, 0, 1, 1])
    >>> flat = FlatModel.from_model(model)
    >>> flat.predict([[0.5], [2.5]]).tolist()
    [0, 1]
    """

    def __init__(self, flat: FlatEnsemble, feature_names=None):
        if flat.link not in ("identity", "sigmoid"):
            raise ValueError(f"unknown link {flat.link!r}")
        self.flat = flat
        names = None if feature_names is None else [str(n) for n in feature_names]
        if names is not None and len(names) != flat.n_features:
            raise ValueError(f"{len(names)} feature names for {flat.n_features} features")
        self.feature_names = names
        self.classes_ = np.array([0, 1]) if flat.link == "sigmoid" else None
        if names is not None:
            self.feature_names_in_ = np.array(names, dtype=object)

    @classmethod
    def from_model(cls, model) -> FlatModel:
        """Convert a fitted model of any supported library (binary classifiers with a
        sigmoid link, and regressors)."""
        from . import convert
        from .adapter import ModelAdapter

        adapter = ModelAdapter(model)
        if adapter.output == "probability":
            raise ValueError(f"{adapter.name} scores probabilities, not margins; save a "
                             "boosted model instead")
        if adapter.is_classifier and tuple(adapter.classes) != (0, 1):
            raise ValueError(f"classes must be 0 and 1, got {adapter.classes}")
        return cls(convert(model), adapter.feature_names)

    # -- the file ------------------------------------------------------------------------

    def save(self, path) -> None:
        flat = self.flat
        meta = {"format": _FORMAT, "version": _VERSION, "link": flat.link,
                "base_score": flat.base_score, "n_features": flat.n_features,
                "feature_names": self.feature_names,
                "categories": {str(f): list(m.items()) for f, m in flat.categories.items()}}
        with open(path, "wb") as f:
            np.savez_compressed(f, meta=np.array(json.dumps(meta)),
                                **{name: getattr(flat, name) for name in _ARRAYS})

    @classmethod
    def load(cls, path) -> FlatModel:
        """Read a file written by `save`; ValueError for any other file."""
        with open(Path(path), "rb") as f:
            try:
                return cls._read(f)
            except (OSError, EOFError, zipfile.BadZipFile, KeyError, TypeError, ValueError,
                    AttributeError) as err:
                raise ValueError(f"not a morvel flat model file ({err})") from None

    @classmethod
    def _read(cls, f) -> FlatModel:
        with np.load(f, allow_pickle=False) as archive:
            meta = json.loads(str(archive["meta"]))
            arrays = {name: archive[name] for name in _ARRAYS}
        if meta.get("format") != _FORMAT or meta.get("version") != _VERSION:
            raise ValueError("unknown format or version")
        categories = {int(f): {label: int(code) for label, code in pairs}
                      for f, pairs in meta["categories"].items()}
        flat = FlatEnsemble(**arrays, base_score=float(meta["base_score"]), link=meta["link"],
                            n_features=int(meta["n_features"]), categories=categories)
        flat.to_core()  # the native checks of the arrays, before anything reads them
        return cls(flat, meta["feature_names"])

    # -- predictions -----------------------------------------------------------------------

    def raw_score(self, X) -> np.ndarray:
        """The margin of a classifier, the prediction of a regressor."""
        codes = self._codes(X)
        flat = self.flat
        rows = np.arange(len(codes))[:, None]
        node = np.broadcast_to(flat.tree_roots.astype(np.intp), (len(codes), flat.n_trees))
        node = node.copy()
        while True:
            feature = flat.feature[node]
            inner = feature >= 0
            if not inner.any():
                break
            v = codes[rows, np.where(inner, feature, 0)]
            if (np.isnan(v) & inner & (flat.missing_defined[node] == 0)).any():
                raise ValueError("the model cannot take missing values in these features")
            left = self._goes_left(node, v)
            node = np.where(inner, np.where(left, flat.left[node], flat.right[node]), node)
        total = np.full(len(codes), flat.base_score)
        for t in range(flat.n_trees):  # in tree order, as the trees were trained
            total = total + flat.value[node[:, t]]
        return total

    def predict_proba(self, X) -> np.ndarray:
        if self.classes_ is None:
            raise AttributeError("a regressor has no predict_proba")
        p = 1.0 / (1.0 + np.exp(-self.raw_score(X)))
        return np.column_stack([1.0 - p, p])

    def predict(self, X) -> np.ndarray:
        """Class 1 where the probability exceeds one half (classifiers), else the raw score."""
        raw = self.raw_score(X)
        return (raw > 0.0).astype(np.int64) if self.classes_ is not None else raw

    def _goes_left(self, node: np.ndarray, v: np.ndarray) -> np.ndarray:
        """Where each value `v` goes at internal node `node` (arrays of one shape)."""
        flat = self.flat
        t, s = flat.threshold[node], flat.node_set[node]
        with np.errstate(invalid="ignore"):
            left = np.where(flat.is_lt[node] == 1, v < t, v <= t) & (s < 0)
            code_like = (s >= 0) & np.isfinite(v) & (v >= 0) & (v == np.trunc(v))
        at = np.nonzero(code_like)
        if at[0].size:  # a whole code goes left when its bit is set; anything else right
            sets = s[at]
            code = np.minimum(v[at], 2.0**62).astype(np.int64)
            start = flat.set_offsets[sets].astype(np.int64)
            inside = code // 64 < flat.set_offsets[sets + 1].astype(np.int64) - start
            word = flat.set_words[np.where(inside, start + code // 64, 0)] if inside.any() \
                else np.zeros(len(code), np.uint64)
            left[at] = inside & ((word >> (code % 64).astype(np.uint64)) & np.uint64(1) == 1)
        return np.where(np.isnan(v), flat.missing_left[node] == 1, left)

    def _codes(self, X) -> np.ndarray:
        """Rows as float64 codes: a frame's columns by name (category labels by the
        model's own labels), or a 2-D array as it is."""
        if isinstance(X, pd.DataFrame):
            if self.feature_names is not None:
                missing = [c for c in self.feature_names if c not in X.columns]
                if missing:
                    raise ValueError(f"X lacks the feature column(s) {missing}")
                X = X[self.feature_names]
            out = np.empty(X.shape, dtype=np.float64)
            for j in range(X.shape[1]):
                col = X.iloc[:, j]
                labels = self.flat.categories.get(j)
                if labels is not None and not pd.api.types.is_numeric_dtype(col.dtype):
                    out[:, j] = [np.nan if pd.isna(v) else _code(labels, v, j) for v in col]
                else:
                    out[:, j] = pd.to_numeric(col).to_numpy(dtype=np.float64, na_value=np.nan)
            codes = out
        else:
            codes = np.asarray(X, dtype=np.float64)
        if codes.ndim != 2 or codes.shape[1] != self.flat.n_features:
            raise ValueError(f"X must have {self.flat.n_features} columns, got shape "
                             f"{codes.shape}")
        return codes


def _code(labels: dict, value, j: int) -> float:
    try:
        return float(labels[value])
    except KeyError:
        raise ValueError(f"feature {j}: unknown category {value!r}") from None
