"""The flat form of a converted tree ensemble, and its assembly tree by tree.

All trees share one node array. A node is a leaf when `feature` is negative; otherwise it
sends a value `v` of its feature left when `v < threshold` (is_lt) or `v <= threshold`,
a NaN to the `missing_left` side, and, at a categorical split (`node_set >= 0`), a whole
number `v >= 0` left exactly when `v` is a member of its set (any other value goes right).
"""
from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np

import _morvel_core


class NotFitted(ValueError, AttributeError):
    """The model has not been fitted. A ValueError; also an AttributeError, which is what
    scikit-learn's own not-fitted error derives from, so either kind of handler catches it."""


@dataclass(frozen=True, eq=False)
class FlatEnsemble:
    """Parallel node arrays of a tree ensemble, ready for `RustEnsemble`."""

    feature: np.ndarray       # int32 per node; negative for a leaf
    threshold: np.ndarray     # float64 per node
    is_lt: np.ndarray         # uint8 per node; 1: v < threshold, 0: v <= threshold
    missing_left: np.ndarray  # uint8 per node; 1: NaN goes left
    left: np.ndarray          # uint32 per node (0 on leaves)
    right: np.ndarray         # uint32 per node (0 on leaves)
    value: np.ndarray         # float64 per node; the leaf value (0 on internal nodes)
    tree_roots: np.ndarray    # uint32 per tree
    base_score: float
    link: str                 # "identity" or "sigmoid"; recorded, never applied
    n_features: int
    node_set: np.ndarray      # int32 per node; categorical set index, -1 elsewhere
    set_offsets: np.ndarray   # uint32, one more than the number of sets
    set_words: np.ndarray     # uint64 membership bitmaps, 64 codes a word
    cardinality: np.ndarray   # uint32 per feature; category count, 0 for numeric
    leaf_id: np.ndarray       # int64 per node; the source library's id of a leaf, -1 elsewhere
    missing_defined: np.ndarray  # uint8 per node; 1 where the source library routes NaN
                                 # (to the missing_left side), 0 where it rejects NaN
    # Per categorical feature that the model itself labels: {label: code}, the code being
    # the whole number the flat splits route on (e.g. pandas `category` columns).
    categories: dict = field(default_factory=dict)

    @property
    def n_nodes(self) -> int:
        return len(self.feature)

    @property
    def n_trees(self) -> int:
        return len(self.tree_roots)

    def goes_left(self, node: int, values) -> np.ndarray:
        """Whether `node` sends each value left, as the core routes it: set membership of
        whole non-negative values at a categorical split, the comparison at a numeric
        one, the missing side for NaN."""
        v = np.asarray(values, dtype=np.float64)
        s = int(self.node_set[node])
        with np.errstate(invalid="ignore"):
            if s < 0:
                t = self.threshold[node]
                left = v < t if self.is_lt[node] else v <= t
            else:
                words = self.set_words[self.set_offsets[s]:self.set_offsets[s + 1]]
                member = (np.isfinite(v) & (v >= 0) & (v == np.floor(v))
                          & (v < 64 * len(words)))
                code = np.where(member, v, 0).astype(np.int64)
                bits = (words[code[member] // 64] >> (code[member] % 64).astype(np.uint64)) & 1
                left = np.zeros(len(v), dtype=bool)
                left[member] = bits == 1
        return np.where(np.isnan(v), bool(self.missing_left[node]), left)

    def to_core(self) -> _morvel_core.RustEnsemble:
        """Build the validated native ensemble from these arrays."""
        cat_idx = np.flatnonzero(self.cardinality).astype(np.uint32)
        return _morvel_core.RustEnsemble(
            self.feature, self.threshold, self.is_lt, self.missing_left, self.left,
            self.right, self.value, self.tree_roots, float(self.base_score), self.link,
            int(self.n_features), node_set=self.node_set, set_offsets=self.set_offsets,
            set_words=self.set_words, cat_idx=cat_idx,
            cat_card=self.cardinality[cat_idx].astype(np.uint32))


def code_bitmap(codes) -> np.ndarray:
    """uint64 words with bit `c mod 64` of word `c div 64` set for every code `c`."""
    codes = np.asarray(codes, dtype=np.int64)
    if codes.size and codes.min() < 0:
        raise ValueError("category codes must be non-negative")
    n_words = int(codes.max()) // 64 + 1 if codes.size else 0
    words = np.zeros(n_words, dtype=np.uint64)
    np.bitwise_or.at(words, codes // 64, np.left_shift(np.uint64(1), (codes % 64).astype(np.uint64)))
    return words


class FlatBuilder:
    """Appends trees given with tree-local child indices; `build` joins them."""

    def __init__(self, n_features: int):
        self.n_features = int(n_features)
        self._parts: list[dict[str, np.ndarray]] = []
        self._roots: list[int] = []
        self._n_nodes = 0
        self._words: list[np.ndarray] = []
        self._offsets = [0]

    def add_set(self, codes) -> int:
        """Registers a categorical membership set; returns its index."""
        words = code_bitmap(codes)
        self._words.append(words)
        self._offsets.append(self._offsets[-1] + len(words))
        return len(self._offsets) - 2

    def add_tree(self, feature, threshold, is_lt, missing_left, left, right, value, leaf_id,
                 node_set=None, root: int = 0) -> None:
        feature = np.asarray(feature, dtype=np.int32)
        n = len(feature)
        internal = feature >= 0
        offset = self._n_nodes
        part = dict(
            feature=np.where(internal, feature, -1).astype(np.int32),
            threshold=np.where(internal, np.asarray(threshold, dtype=np.float64), 0.0),
            is_lt=np.where(internal, np.asarray(is_lt, dtype=np.uint8), 0).astype(np.uint8),
            missing_left=np.where(internal, np.asarray(missing_left, dtype=np.uint8),
                                  0).astype(np.uint8),
            left=np.where(internal, np.asarray(left, dtype=np.int64) + offset, 0).astype(np.uint32),
            right=np.where(internal, np.asarray(right, dtype=np.int64) + offset,
                           0).astype(np.uint32),
            value=np.where(internal, 0.0, np.asarray(value, dtype=np.float64)),
            leaf_id=np.where(internal, -1, np.asarray(leaf_id, dtype=np.int64)),
            node_set=(np.full(n, -1, dtype=np.int32) if node_set is None
                      else np.asarray(node_set, dtype=np.int32)),
        )
        self._parts.append(part)
        self._roots.append(offset + root)
        self._n_nodes += n

    def build(self, base_score: float, link: str, cardinality=None,
              categories=None, nan_routed: bool = True) -> FlatEnsemble:
        """Joins the trees. `nan_routed`: the source model accepts NaN and sends it to
        each node's missing side (otherwise every node's missing direction is undefined)."""
        def joined(name, dtype):
            if not self._parts:
                return np.zeros(0, dtype=dtype)
            return np.ascontiguousarray(np.concatenate([p[name] for p in self._parts]), dtype=dtype)

        card = np.zeros(self.n_features, dtype=np.uint32)
        for f, count in (cardinality or {}).items():
            card[f] = count
        words = np.concatenate(self._words) if self._words else np.zeros(0, dtype=np.uint64)
        return FlatEnsemble(
            feature=joined("feature", np.int32), threshold=joined("threshold", np.float64),
            is_lt=joined("is_lt", np.uint8), missing_left=joined("missing_left", np.uint8),
            left=joined("left", np.uint32), right=joined("right", np.uint32),
            value=joined("value", np.float64),
            tree_roots=np.asarray(self._roots, dtype=np.uint32), base_score=float(base_score),
            link=link, n_features=self.n_features, node_set=joined("node_set", np.int32),
            set_offsets=np.asarray(self._offsets, dtype=np.uint32),
            set_words=np.ascontiguousarray(words, dtype=np.uint64), cardinality=card,
            leaf_id=joined("leaf_id", np.int64),
            missing_defined=np.full(self._n_nodes, int(nan_routed), dtype=np.uint8),
            categories=dict(categories or {}))


class NodeList:
    """One tree grown node by node (for sources given as nested structures)."""

    def __init__(self):
        self.cols = {k: [] for k in ("feature", "threshold", "is_lt", "missing_left", "left",
                                     "right", "value", "leaf_id", "node_set")}

    def leaf(self, value: float, leaf_id: int) -> int:
        return self._push(-1, 0.0, 0, 0, -1, value, leaf_id)

    def split(self, feature: int, threshold: float, is_lt: bool, missing_left: bool,
              node_set: int = -1) -> int:
        """A split whose children are filled in later by `link`."""
        return self._push(feature, threshold, is_lt, missing_left, node_set, 0.0, -1)

    def link(self, node: int, left: int | None = None, right: int | None = None) -> None:
        """Sets the given children of split `node`."""
        if left is not None:
            self.cols["left"][node] = left
        if right is not None:
            self.cols["right"][node] = right

    def add_to(self, builder: FlatBuilder, root: int = 0) -> None:
        builder.add_tree(**self.cols, root=root)

    def _push(self, feature, threshold, is_lt, missing_left, node_set, value, leaf_id) -> int:
        c = self.cols
        for key, v in (("feature", feature), ("threshold", threshold), ("is_lt", int(is_lt)),
                       ("missing_left", int(missing_left)), ("left", 0), ("right", 0),
                       ("value", value), ("leaf_id", leaf_id), ("node_set", node_set)):
            c[key].append(v)
        return len(c["feature"]) - 1
