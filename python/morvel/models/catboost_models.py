"""CatBoost models to flat ensembles.

The raw score is `predict(prediction_type="RawFormulaVal")`: the bias plus the scale times
the sum of the trees' leaf values. CatBoost grows oblivious trees: level d of a tree tests
one condition, and the leaf index has bit d set when it holds. A numeric condition holds
when `float32(v) > border` (a float32 border), so its failing side is a float32 comparison
that `float32_threshold` turns into a double one; a missing value makes it hold under the
"AsTrue" treatment (nan_mode "Max") and fail under any other (also where training saw no
missing value, or forbade them). A one-hot condition holds when the hash of the categorical
value equals the split's. Each tree becomes a full binary tree whose left branches are the
failed numeric conditions; at one-hot levels the flat set holds the matching categories,
so the children swap and every other value goes right.

The model keeps only the hashes of categories, not their labels: the labels come from the
training data (`labels_from_data`), and CatBoost itself maps them to hashes (its JSON
export with a pool of those labels). Features the model turns into target statistics
(CTRs) have no exact routing by label and are refused.
"""
from __future__ import annotations

import dataclasses
import json
import os
import tempfile

import numpy as np

from .flat import FlatBuilder, FlatEnsemble, NotFitted
from .float32 import float32_threshold

_SIGMOID_LOSSES = {"Logloss", "CrossEntropy"}
_IDENTITY_LOSSES = {"RMSE", "MAE", "Quantile", "Expectile", "MAPE", "Huber", "Lq", "LogCosh"}


def from_catboost(model, labels=None) -> FlatEnsemble:
    """Convert a fitted binary `CatBoostClassifier` or a `CatBoostRegressor`.

    `labels` maps the index of each categorical feature that the model one-hot encodes to
    its labels in code order ({feature: [label, ...]}); a label's code is its position.
    """
    if not model.is_fitted():
        raise NotFitted(f"{type(model).__name__} is not fitted yet: call fit() before "
                        "converting it")
    loss = str(model.get_all_params().get("loss_function", "")).split(":")[0]
    if loss not in _SIGMOID_LOSSES | _IDENTITY_LOSSES:
        raise ValueError(f"CatBoost loss {loss!r} is not supported: binary classification "
                         f"({', '.join(sorted(_SIGMOID_LOSSES))}) or regression whose "
                         f"prediction is the raw score ({', '.join(sorted(_IDENTITY_LOSSES))})")
    labels = {int(f): list(v) for f, v in (labels or {}).items()}
    dump = _json_dump(model, labels)
    info = dump["features_info"]
    _refuse_target_statistics(info)
    n_features = len(model.feature_names_)
    numeric = [_numeric_feature(f) for f in info.get("float_features", [])]
    categorical = [int(f["flat_feature_index"]) for f in info.get("categorical_features", [])]
    # Splits print hashes as signed 32-bit numbers, the table as unsigned ones.
    hashes = {int(h["hash"]) & 0xFFFFFFFF: h["value"] for h in info.get("cat_features_hash", [])}
    codes = {f: {str(label): k for k, label in enumerate(labels.get(f, []))} for f in categorical}
    scale, bias = dump.get("scale_and_bias", [1.0, [0.0]])
    builder = FlatBuilder(n_features)
    for tree in dump["oblivious_trees"]:
        levels = [_level(s, numeric, categorical, hashes, codes, builder)
                  for s in tree["splits"]]
        leaf_values = float(scale) * np.asarray(tree["leaf_values"], dtype=np.float64)
        if len(leaf_values) != 1 << len(levels):
            raise ValueError("only single-output models are supported")
        _add_tree(builder, levels, leaf_values)
    flat = builder.build(float(np.ravel(bias)[0]), "sigmoid" if loss in _SIGMOID_LOSSES
                         else "identity", {f: len(labels.get(f, [])) for f in categorical},
                         {f: {label: k for k, label in enumerate(labels[f])}
                          for f in categorical if f in labels})
    # CatBoost refuses a missing categorical value.
    defined = flat.missing_defined.copy()
    defined[flat.node_set >= 0] = 0
    return dataclasses.replace(flat, missing_defined=defined)


def labels_from_data(model, data) -> dict:
    """{feature: labels} of the model's categorical features as the training data holds
    them: a `category` column's categories, else its distinct values in sorted order."""
    import pandas as pd

    out = {}
    names = list(model.feature_names_)
    for f in model.get_cat_feature_indices():
        if isinstance(data, pd.DataFrame):
            col = data[names[f]] if names[f] in data.columns else data.iloc[:, f]
        else:
            col = pd.Series(np.asarray(data, dtype=object)[:, f])
        if isinstance(col.dtype, pd.CategoricalDtype):
            out[int(f)] = list(col.cat.categories)
        else:
            out[int(f)] = sorted(col.dropna().unique().tolist(), key=lambda v: (str(type(v)), v))
    return out


def _json_dump(model, labels: dict) -> dict:
    """The model as CatBoost exports it to JSON, with the hashes of `labels` when given."""
    pool = None
    if labels:
        import pandas as pd
        from catboost import Pool

        n = max(len(v) for v in labels.values())
        columns = {}
        for f, name in enumerate(model.feature_names_):
            if f in labels:
                given = labels[f] or ["?"]
                columns[name] = [given[k % len(given)] for k in range(n)]
            else:
                columns[name] = np.zeros(n)
        pool = Pool(pd.DataFrame(columns), cat_features=list(model.get_cat_feature_indices()))
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "model.json")
        model.save_model(path, format="json", pool=pool)
        with open(path, encoding="utf-8") as handle:
            return json.load(handle)


def _refuse_target_statistics(info: dict) -> None:
    ctrs = info.get("ctrs") or []
    if not ctrs:
        return
    names = [f.get("feature_id") or f"#{f['flat_feature_index']}"
             for f in info.get("categorical_features", [])]
    used = sorted({names[e["cat_feature_index"]] for c in ctrs for e in c.get("elements", [])
                   if "cat_feature_index" in e})
    raise ValueError(f"CatBoost turns the categorical feature(s) {', '.join(map(repr, used))} "
                     "into target statistics (CTRs), which no label routes exactly; train with "
                     "one_hot_max_size at least their number of categories")


def _numeric_feature(info: dict) -> tuple[int, bool]:
    """(flat feature index, whether a missing value satisfies the feature's conditions)."""
    return int(info["flat_feature_index"]), info.get("nan_value_treatment") == "AsTrue"


def _level(split: dict, numeric, categorical, hashes, codes, builder) -> tuple:
    """One tree level as (feature, threshold, is_lt, missing_left, set index): the flat
    split whose left side is the failed condition (numeric) or the matching codes."""
    kind = split["split_type"]
    if kind == "FloatFeature":
        f, nan_holds = numeric[split["float_feature_index"]]
        t, lt = float32_threshold(float(np.float32(split["border"])))
        return f, float(t), int(lt), int(not nan_holds), -1
    if kind == "OneHotFeature":
        f = categorical[split["cat_feature_index"]]
        if not codes[f]:
            raise ValueError(f"categorical feature {f}: its labels are needed to read the "
                             "model's one-hot splits (the Explainer takes them from data)")
        # A category that no given label hashes to matches none of them.
        label = hashes.get(int(split["value"]) & 0xFFFFFFFF)
        matching = [k for text, k in codes[f].items() if text == label]
        return f, 0.0, 0, 0, builder.add_set(matching)
    raise ValueError(f"CatBoost split type {kind!r} is not supported")


def _add_tree(builder: FlatBuilder, levels: list, leaf_values: np.ndarray) -> None:
    """A full binary tree in heap order: node i at depth d tests level d, its children
    are 2i+1 (the failed condition, or the matching categories) and 2i+2."""
    depth = len(levels)
    n_internal = (1 << depth) - 1
    n = n_internal + (1 << depth)
    feature = np.full(n, -1)
    threshold = np.zeros(n)
    is_lt, missing_left = np.zeros(n, dtype=np.uint8), np.zeros(n, dtype=np.uint8)
    node_set = np.full(n, -1, dtype=np.int32)
    left, right = np.zeros(n, dtype=np.int64), np.zeros(n, dtype=np.int64)
    for i in range(n_internal):
        d = (i + 1).bit_length() - 1
        feature[i], threshold[i], is_lt[i], missing_left[i], node_set[i] = levels[d]
        # At a one-hot level the matching categories (condition holds) go left.
        holds_left = node_set[i] >= 0
        left[i], right[i] = (2 * i + 2, 2 * i + 1) if holds_left else (2 * i + 1, 2 * i + 2)
    # Leaf p (in heap order) took bit d of its path at depth d; CatBoost's leaf index
    # puts the depth-d bit at position d.
    path = np.arange(1 << depth)
    index = np.zeros(1 << depth, dtype=np.int64)
    for d in range(depth):
        index |= ((path >> (depth - 1 - d)) & 1) << d
    value = np.zeros(n)
    leaf_id = np.full(n, -1, dtype=np.int64)
    value[n_internal:] = leaf_values[index]
    leaf_id[n_internal:] = index
    builder.add_tree(feature, threshold, is_lt, missing_left, left, right, value, leaf_id,
                     node_set)
