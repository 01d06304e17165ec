"""LightGBM models to flat ensembles.

The raw score is `predict(raw_score=True)`: the sum of the trees' leaf values, in double.
LightGBM compares doubles (`v <= threshold`), but two of its rules are not a single
comparison:

- Every value with |v| <= 1e-35f (`ZERO`) reaches the trees as 0.0.
- `missing_type` "None" routes NaN like 0.0; "NaN" sends NaN to the default side;
  "Zero" sends NaN and the zero band [-ZERO, ZERO] to the default side.

So each numeric split is rewritten as the partition of the real line it really makes:
up to four intervals (below the band, the band, above it, each cut at the threshold),
adjacent intervals with the same child merged. Two intervals are one flat split; more
become a chain of splits, one per interval boundary, each interval sending rows to a
copy of its child's subtree (copies keep LightGBM's leaf indices). NaN leaves the chain
at the first interval whose child is the NaN side.

Categorical splits (`==`, threshold "1||3||5") send members left and everything else,
NaN included, right, as the flat form does; LightGBM truncates fractional inputs to a
category, so categorical inputs are expected to be whole-number codes.
"""
from __future__ import annotations

import numpy as np

from .flat import FlatBuilder, FlatEnsemble, NodeList, NotFitted

ZERO = float(np.float32(1e-35))  # LightGBM's kZeroThreshold, a float widened to double


def from_lightgbm(model) -> FlatEnsemble:
    """Convert a LightGBM `Booster`, `LGBMRegressor` or binary `LGBMClassifier`.

    A model trained on pandas `category` columns routes on the category's position in the
    training frame's categories; `FlatEnsemble.categories` gives that {label: code} mapping.
    """
    import lightgbm

    if isinstance(model, lightgbm.LGBMModel):
        if not model.__sklearn_is_fitted__():
            raise NotFitted(f"{type(model).__name__} is not fitted yet: call fit() before "
                            "converting it")
        model = model.booster_
    dump = model.dump_model()
    if dump.get("num_tree_per_iteration", 1) != 1 or dump.get("num_class", 1) != 1:
        raise ValueError("only single-output models are supported")
    if dump.get("average_output"):
        raise ValueError("averaged (random forest) models are not supported")
    n_features = int(dump["max_feature_idx"]) + 1
    builder = FlatBuilder(n_features)
    for info in dump["tree_info"]:
        nodes = NodeList()
        _emit(info["tree_structure"], nodes, builder)
        nodes.add_to(builder)
    objective = str(dump.get("objective", "")).split(" ")[0]
    link = "sigmoid" if objective in ("binary", "cross_entropy", "xentropy") else "identity"
    return builder.build(0.0, link, *categories(model, dump))


def categories(booster, dump: dict) -> tuple[dict, dict]:
    """({feature: category count}, {feature: {label: code}}) of the categorical features,
    counting the pandas categories that no training row had as well."""
    labels = _pandas_labels(booster, dump)
    counts = _cardinality(dump)
    for f, mapping in labels.items():
        counts[f] = max(counts.get(f, 0), len(mapping))
    return counts, labels


def _cardinality(dump: dict) -> dict:
    """Category counts of the categorical features, from the values seen in training."""
    out = {}
    names = dump.get("feature_names", [])
    infos = dump.get("feature_infos", {})
    categorical = set()
    _collect_categorical(dump["tree_info"], categorical)
    for f in categorical:
        values = infos.get(names[f], {}).get("values", []) if f < len(names) else []
        codes = [int(v) for v in values if int(v) >= 0]
        out[f] = max(codes) + 1 if codes else 1
    return out


def _pandas_labels(booster, dump: dict) -> dict:
    """{feature: {label: code}} for the columns that were pandas `category` columns.

    LightGBM keeps those columns' categories in frame order; their features are the ones
    whose feature info lists category values.
    """
    per_column = getattr(booster, "pandas_categorical", None) or []
    infos = dump.get("feature_infos", {})
    names = dump.get("feature_names", [])
    categorical = [f for f, name in enumerate(names) if infos.get(name, {}).get("values")]
    if len(categorical) != len(per_column):
        return {}
    return {f: {label: k for k, label in enumerate(cats)}
            for f, cats in zip(categorical, per_column)}


def _collect_categorical(tree_info: list, found: set) -> None:
    stack = [info["tree_structure"] for info in tree_info]
    while stack:
        node = stack.pop()
        if "split_index" in node:
            if node["decision_type"] == "==":
                found.add(int(node["split_feature"]))
            stack += [node["left_child"], node["right_child"]]


def _emit(node: dict, nodes: NodeList, builder: FlatBuilder) -> int:
    """Appends the subtree at `node`; returns the index of its first flat node."""
    if "split_index" not in node:
        if node.get("leaf_coeff"):
            raise ValueError("linear trees are not supported")
        return nodes.leaf(float(node["leaf_value"]), int(node.get("leaf_index", 0)))
    f = int(node["split_feature"])
    if node["decision_type"] == "==":
        codes = [int(c) for c in str(node["threshold"]).split("||")]
        i = nodes.split(f, 0.0, False, False, builder.add_set(codes))
        nodes.link(i, _emit(node["left_child"], nodes, builder),
                   _emit(node["right_child"], nodes, builder))
        return i
    if node["decision_type"] != "<=":
        raise ValueError(f"unsupported decision type {node['decision_type']!r}")
    segments, nan_left = numeric_partition(float(node["threshold"]), node["missing_type"],
                                           bool(node["default_left"]))
    return _emit_chain(segments, nan_left, f, node, nodes, builder)


def numeric_partition(t: float, missing_type: str, default_left: bool):
    """LightGBM's routing of one numeric split as intervals of the real line.

    Returns ([(upper, closed, goes_left), ...] in increasing order, the last one ending at
    +inf, adjacent equal sides merged), and whether NaN goes left.
    """
    zero_left = default_left if missing_type == "Zero" else 0.0 <= t
    nan_left = default_left if missing_type in ("Zero", "NaN") else 0.0 <= t
    pieces = [(t, True, True), (-ZERO, False, False)] if t < -ZERO else [(-ZERO, False, True)]
    pieces.append((ZERO, True, zero_left))
    pieces += [(t, True, True), (np.inf, True, False)] if t > ZERO else [(np.inf, True, False)]
    merged = []
    for piece in pieces:
        if merged and merged[-1][2] == piece[2]:
            merged[-1] = piece
        else:
            merged.append(piece)
    return merged, nan_left


def _emit_chain(segments, nan_left, f, node, nodes, builder) -> int:
    """One split per interval boundary: v below the boundary goes to that interval's child."""
    children = {True: node["left_child"], False: node["right_child"]}
    first = prev = None
    for upper, closed, side in segments[:-1]:
        i = nodes.split(f, upper, not closed, side == nan_left)
        if prev is None:
            first = i
        else:
            nodes.link(prev, right=i)
        nodes.link(i, left=_emit(children[side], nodes, builder))
        prev = i
    nodes.link(prev, right=_emit(children[segments[-1][2]], nodes, builder))
    return first
