"""A tree model's splits on a pipeline's encoded columns, rewritten over the raw columns.

`RawMapper` takes the probe of the preprocessing (`pipeline.Preprocessing`: which raw
column each encoded column comes from, the encoded values of every label and of a
missing value, and the encoded value of any raw number) and turns every split into one on
the raw column it reads: a categorical split over label codes, or a numeric split whose
raw threshold bisection over the doubles finds.
"""
from __future__ import annotations

import numpy as np

from .flat import FlatEnsemble, code_bitmap


class RawMapper:
    """The encoded model's nodes rewritten over the raw columns."""

    def __init__(self, prep, flat: FlatEnsemble):
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


def _raw_thresholds(prep, r, k, t, lt):
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


def _estimated_brackets(prep, r, k, t):
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
