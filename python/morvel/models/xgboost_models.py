"""XGBoost gbtree models to flat ensembles.

The raw score is XGBoost's output margin. XGBoost casts inputs to float32 and sends a
value left when `float32(v) < split_condition` (a float32), so every numeric threshold goes
through `float32_threshold(..., strict=True)`. A categorical split sends the categories in
its set to the right child and every other value (unlisted or invalid categories) to the
left; the flat form lists the same categories but swaps the children, because its
non-members go right. NaN follows `default_left` either way.

XGBoost accumulates the margin in float32 while the flat model sums the same float32 leaf
values in double, so the two agree to float32 rounding of the running sum, not bitwise.
"""
from __future__ import annotations

import json
import math

import numpy as np

from .flat import FlatBuilder, FlatEnsemble, NotFitted
from .float32 import float32_threshold

_LOGIT_BASE = {"binary:logistic", "reg:logistic"}
_LOG_BASE = {"count:poisson", "reg:gamma", "reg:tweedie"}
_IDENTITY_BASE = {"reg:squarederror", "reg:squaredlogerror", "reg:pseudohubererror",
                  "reg:absoluteerror", "reg:quantileerror", "binary:logitraw", "binary:hinge"}
_SIGMOID_LINK = {"binary:logistic", "reg:logistic", "binary:logitraw"}


def from_xgboost(model, cardinality=None) -> FlatEnsemble:
    """Convert an XGBoost `Booster`, `XGBRegressor` or binary `XGBClassifier`.

    A model trained on a frame with pandas `category` columns keeps their categories (in
    the frame's category order); a categorical feature's count is then the number of
    categories, and `FlatEnsemble.categories` gives the {label: code} mapping, the code
    being the category's position. Without that record (older models, arrays of codes) the
    count is one more than the largest code a split names, which callers widen with what
    the training data shows; `cardinality` optionally maps feature indices to counts.
    """
    booster, learner, trees, _ = load(model)
    params = learner["learner_model_param"]
    if int(params.get("num_class", "0")) > 1 or int(params.get("num_target", "1")) != 1:
        raise ValueError("only single-output models are supported")
    n_features = int(params["num_feature"])
    builder = FlatBuilder(n_features)
    card = np.zeros(n_features, dtype=np.int64)
    for t in trees:
        _add_tree(builder, t, card)
    counts, mapping = categories(booster, learner, card)
    counts.update(cardinality or {})
    objective = learner["objective"]["name"]
    base = _base_margin(objective, params["base_score"])
    link = "sigmoid" if objective in _SIGMOID_LINK else "identity"
    return builder.build(base, link, counts, mapping)


def load(model) -> tuple:
    """(Booster, its JSON `learner`, trees, each tree's output group) of a fitted Booster or
    wrapper; a wrapper's trees end at its best iteration, as its predictions do."""
    n_iterations = None
    if hasattr(model, "get_booster"):
        if not model.__sklearn_is_fitted__():
            raise NotFitted(f"{type(model).__name__} is not fitted yet: call fit() before "
                            "converting it")
        best = getattr(model, "best_iteration", None)
        if best is not None:  # the wrappers predict with the best iteration only
            n_iterations = int(best) + 1
        model = model.get_booster()
    learner = json.loads(model.save_raw("json"))["learner"]
    booster = learner["gradient_booster"]
    if booster["name"] != "gbtree":
        raise ValueError(f"unsupported booster {booster['name']!r}")
    forest = booster["model"]
    trees, groups = forest["trees"], forest["tree_info"]
    if n_iterations is not None:
        end = int(forest["iteration_indptr"][n_iterations])
        trees, groups = trees[:end], groups[:end]
    return model, learner, trees, groups


def categories(booster, learner, card: np.ndarray) -> tuple[dict, dict]:
    """({feature: category count}, {feature: {label: code}}) of the categorical features:
    those the model types as categorical or splits by categories (`card`: one more than
    the largest code a split names), with the labels the model recorded at training."""
    n_features = len(card)
    types = booster.feature_types or []
    categorical = {f for f, kind in enumerate(types) if kind == "c"} | set(np.flatnonzero(card))
    forest = learner["gradient_booster"]["model"]
    labels = _recorded_categories(forest.get("cats", {}), n_features)
    counts = {int(f): max(int(card[f]), len(labels.get(f, ())), 1) for f in categorical}
    mapping = {f: {label: k for k, label in enumerate(cats)} for f, cats in labels.items()}
    return counts, mapping


def _recorded_categories(cats: dict, n_features: int) -> dict:
    """{feature: [label, ...]} from the categories the model recorded at training, in
    code order: UTF-8 strings as bytes with offsets, or a list of numbers.

    A feature whose record does not decode (some versions cut multi-byte labels short)
    is left out; its labels then come from the training data.
    """
    out = {}
    for f, enc in enumerate(cats.get("enc", [])[:n_features]):
        if "offsets" in enc:
            offsets = enc["offsets"]
            raw = bytes(b & 0xFF for b in enc["values"])
            try:
                labels = [raw[a:b].decode("utf-8") for a, b in zip(offsets[:-1], offsets[1:])]
            except UnicodeDecodeError:
                continue
            if offsets and offsets[-1] != len(raw):
                continue
        else:
            labels = list(enc.get("values", []))
        if labels and len(set(labels)) == len(labels):
            out[f] = labels
    return out


def _base_margin(objective: str, stored: str) -> float:
    """The margin-space base score, as the float32 XGBoost adds to every prediction.

    XGBoost >= 2 stores `base_score` in the objective's output space (e.g. a probability
    for logistic objectives) and maps it to a margin in double before rounding to float32.
    """
    value = float(stored.strip("[]").split(",")[0])
    if objective in _LOGIT_BASE:
        margin = -math.log(1.0 / value - 1.0)
    elif objective in _LOG_BASE:
        margin = math.log(value)
    elif objective in _IDENTITY_BASE:
        margin = value
    else:
        raise ValueError(f"unsupported objective {objective!r}")
    return float(np.float32(margin))


def _add_tree(builder: FlatBuilder, t: dict, cardinality: np.ndarray) -> None:
    """Appends one tree of the JSON model; node ids stay XGBoost's ids."""
    left = np.asarray(t["left_children"], dtype=np.int64)
    right = np.asarray(t["right_children"], dtype=np.int64)
    feature = np.asarray(t["split_indices"], dtype=np.int64)
    # Leaf values and split conditions are float32 values printed to round-trip.
    cond = np.asarray(t["split_conditions"], dtype=np.float64).astype(np.float32)
    missing_left = np.asarray(t["default_left"], dtype=np.uint8)
    internal = left >= 0
    threshold, is_lt = float32_threshold(cond.astype(np.float64), strict=True)
    node_set = np.full(len(left), -1, dtype=np.int32)
    split_type = np.asarray(t.get("split_type", [0] * len(left)), dtype=np.int64)
    segments = dict(zip(t.get("categories_nodes", []),
                        zip(t.get("categories_segments", []), t.get("categories_sizes", []))))
    for node in np.flatnonzero(internal & (split_type == 1)):
        start, size = segments.get(int(node), (0, 0))
        codes = np.asarray(t["categories"][start:start + size], dtype=np.int64)
        if codes.size:
            f = feature[node]
            cardinality[f] = max(cardinality[f], int(codes.max()) + 1)
        node_set[node] = builder.add_set(codes)
        left[node], right[node] = right[node], left[node]
        missing_left[node] = 1 - missing_left[node]
    builder.add_tree(np.where(internal, feature, -1), threshold, is_lt, missing_left, left,
                     right, cond.astype(np.float64), np.arange(len(left)), node_set)
