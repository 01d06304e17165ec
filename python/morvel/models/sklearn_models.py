"""scikit-learn tree models to flat ensembles.

Raw scores (what `raw_score_batch` of the converted model reproduces):
- DecisionTreeRegressor / ExtraTreeRegressor: `predict`.
- DecisionTreeClassifier / ExtraTreeClassifier (binary): `predict_proba[:, 1]`.
- RandomForest / ExtraTrees regressors: `predict`, the mean over trees (leaf values are
  divided by the number of trees); binary classifiers: `predict_proba[:, 1]`, the mean
  positive-class probability.
- GradientBoostingRegressor / Classifier (binary): `decision_function`, the initial raw
  prediction as base score plus `learning_rate * leaf value` per tree.
- HistGradientBoostingRegressor / Classifier (binary): `decision_function` (`predict`
  for the regressor), the baseline plus every tree's leaf value.
- IsolationForest: the total path length over the trees, i.e. per tree the depth of the
  reached leaf plus the average-path-length correction for the samples it holds, the sum
  from which `score_samples = -2 ** (-total / (n_trees * c(max_samples)))`.

The classic trees compare `float32(v) <= t`; their thresholds are turned into exact
double thresholds by `float32_threshold`. Histogram gradient boosting compares doubles.
"""
from __future__ import annotations

import numpy as np

from .flat import FlatBuilder, FlatEnsemble, NotFitted
from .float32 import float32_threshold


def from_sklearn(model) -> FlatEnsemble:
    """Convert a fitted scikit-learn tree model (see the module docstring for the list)."""
    from sklearn import ensemble, tree

    require_fitted(model)
    if isinstance(model, ensemble.IsolationForest):
        return _isolation_forest(model)
    if isinstance(model, (ensemble.HistGradientBoostingRegressor,
                          ensemble.HistGradientBoostingClassifier)):
        return _hist_gradient_boosting(model)
    if isinstance(model, (ensemble.GradientBoostingRegressor,
                          ensemble.GradientBoostingClassifier)):
        return _gradient_boosting(model)
    if isinstance(model, (ensemble.RandomForestRegressor, ensemble.ExtraTreesRegressor,
                          ensemble.RandomForestClassifier, ensemble.ExtraTreesClassifier)):
        return _forest(model, model.estimators_)
    if isinstance(model, (tree.DecisionTreeRegressor, tree.DecisionTreeClassifier)):
        return _forest(model, [model])
    raise TypeError(f"unsupported scikit-learn model {type(model).__name__}")


def require_fitted(model) -> None:
    """Raises `NotFitted` for a scikit-learn model that has not been fitted."""
    from sklearn.exceptions import NotFittedError
    from sklearn.utils.validation import check_is_fitted

    try:
        check_is_fitted(model)
    except NotFittedError as err:
        raise NotFitted(f"{type(model).__name__} is not fitted yet: call fit() before "
                        "converting it") from err


def _add_tree(builder: FlatBuilder, t, leaf_value, feature_map=None) -> None:
    """Appends one `sklearn.tree._tree.Tree`, keeping its node numbering."""
    internal = t.children_left >= 0
    feature = np.where(internal, t.feature, -1)
    if feature_map is not None:
        feature = np.where(internal, np.asarray(feature_map)[np.maximum(feature, 0)], -1)
    threshold, is_lt = float32_threshold(t.threshold)
    missing = getattr(t, "missing_go_to_left", np.zeros(t.node_count, dtype=np.uint8))
    builder.add_tree(feature, threshold, is_lt, missing, t.children_left, t.children_right,
                     leaf_value, np.arange(t.node_count))


def _positive_proba(t) -> np.ndarray:
    """Per-node positive-class probability, normalised as `predict_proba` does."""
    v = t.value[:, 0, :]
    if v.shape[1] != 2:
        raise ValueError("only binary classifiers are supported")
    total = v[:, 0] + v[:, 1]
    return v[:, 1] / np.where(total == 0.0, 1.0, total)


def _forest(model, trees) -> FlatEnsemble:
    from sklearn.base import is_classifier

    if getattr(model, "n_outputs_", 1) != 1:
        raise ValueError("multi-output models are not supported")
    builder = FlatBuilder(model.n_features_in_)
    n = len(trees)
    for est in trees:
        t = est.tree_
        leaf = _positive_proba(t) if is_classifier(model) else t.value[:, 0, 0]
        _add_tree(builder, t, leaf / n)
    return builder.build(0.0, "identity", nan_routed=_routes_nan(model))


def _routes_nan(model) -> bool:
    """Whether the fitted model accepts NaN at prediction; its trees then send NaN to each
    node's missing side (the side with more training samples when none were missing)."""
    if hasattr(model, "__sklearn_tags__"):
        return bool(model.__sklearn_tags__().input_tags.allow_nan)
    return bool(model._get_tags().get("allow_nan", False))


def _gradient_boosting(model) -> FlatEnsemble:
    if model.estimators_.shape[1] != 1:
        raise ValueError("only regression and binary classification are supported")
    link = "sigmoid" if getattr(model, "loss", "") == "log_loss" and hasattr(
        model, "classes_") else "identity"
    return gradient_boosting_column(model, 0, link)


def gradient_boosting_column(model, column: int, link: str) -> FlatEnsemble:
    """The trees of one output column (one class of a multi-class model) with that column's
    initial raw prediction as base score."""
    from sklearn.dummy import DummyClassifier, DummyRegressor

    init = model.init_
    if not (isinstance(init, str) and init == "zero") and not isinstance(
            init, (DummyClassifier, DummyRegressor)):
        raise ValueError("an init estimator whose prediction depends on the row cannot be "
                         "converted")
    # The dummy initial prediction is the same for every row.
    probe = np.zeros((1, model.n_features_in_), dtype=np.float32)
    base = float(model._raw_predict_init(probe)[0, column])
    builder = FlatBuilder(model.n_features_in_)
    lr = float(model.learning_rate)
    for est in model.estimators_[:, column]:
        _add_tree(builder, est.tree_, lr * est.tree_.value[:, 0, 0])
    return builder.build(base, link, nan_routed=_routes_nan(model))


def _path_length_correction(n_samples: np.ndarray) -> np.ndarray:
    """Average path length of an unsuccessful search among n samples (scikit-learn's c(n))."""
    n = np.asarray(n_samples, dtype=np.float64)
    out = np.zeros_like(n)
    out[n == 2] = 1.0
    big = n > 2
    out[big] = 2.0 * (np.log(n[big] - 1.0) + np.euler_gamma) - 2.0 * (n[big] - 1.0) / n[big]
    return out


def _node_depths(t) -> np.ndarray:
    """Depth of every node, the root at 1 (children always follow their parent)."""
    depth = np.zeros(t.node_count, dtype=np.float64)
    depth[0] = 1.0
    for i in range(t.node_count):
        if t.children_left[i] >= 0:
            depth[t.children_left[i]] = depth[t.children_right[i]] = depth[i] + 1.0
    return depth


def _isolation_forest(model) -> FlatEnsemble:
    builder = FlatBuilder(model.n_features_in_)
    # Trees see a feature subset only when fewer features than all were drawn.
    subsampled = model._max_features != model.n_features_in_
    for est, features in zip(model.estimators_, model.estimators_features_):
        t = est.tree_
        path = _node_depths(t) + _path_length_correction(t.n_node_samples) - 1.0
        _add_tree(builder, t, path, features if subsampled else None)
    return builder.build(0.0, "identity", nan_routed=_routes_nan(model))


def _hgb_columns(model):
    """Original column of every model column, and the known categories (in the model's
    rank order) of the categorical model columns.

    With categorical features the model reorders its columns (encoded categoricals first)
    and maps each category to its rank among the known ones.
    """
    n = model.n_features_in_
    pre = model._preprocessor
    if pre is None:
        return np.arange(n), {}
    order = np.full(n, -1, dtype=np.int64)
    known = {}
    for name, transformer, columns in pre.transformers_:
        if name == "remainder" or isinstance(transformer, str):
            continue
        cols = np.arange(n)[columns]
        out = pre.output_indices_[name]
        if out.stop - out.start != len(cols):
            raise ValueError("unexpected column layout of the categorical preprocessor")
        order[out.start:out.stop] = cols
        if name == "encoder":
            for k, cats in enumerate(transformer.categories_):
                known[out.start + k] = [c for c in cats if not _is_missing(c)]
    if (order < 0).any():
        raise ValueError("unexpected column layout of the categorical preprocessor")
    return order, known


def _is_missing(value) -> bool:
    return value is None or (isinstance(value, float) and np.isnan(value))


def _category_codes(known: list) -> tuple[np.ndarray, dict | None]:
    """The whole-number codes the flat model routes on for a model column's known
    categories (in rank order), and the label mapping when the categories are labels.

    Whole-number categories (a numeric column declared categorical) route on their own
    values. Any other labels (strings, pandas `category` columns) route on their rank, and
    the {label: rank} mapping is returned so that callers can translate labels.
    """
    try:
        values = np.asarray(known, dtype=np.float64)
    except (TypeError, ValueError):
        values = None
    if values is not None and ((values < 0) | (values != np.floor(values))
                               | (values >= 2**31)).any():
        values = None
    if values is not None:
        return values.astype(np.int64), None
    return np.arange(len(known), dtype=np.int64), {label: k for k, label in enumerate(known)}


def _bitset_members(words: np.ndarray, n_known: int) -> np.ndarray:
    """Known category ranks set in a bitset of 32-bit words."""
    ranks = np.arange(n_known)
    return ranks[(words[ranks // 32] >> (ranks % 32).astype(np.uint32)) & 1 == 1]


def _hist_gradient_boosting(model) -> FlatEnsemble:
    """Histogram gradient boosting: double comparisons, missing values and categories.

    A categorical node sends NaN, negative values and categories unseen in training to its
    missing side. The flat set therefore holds the categories of the other side, and the
    missing side becomes the flat right child, where every non-member value goes.
    """
    if model.n_trees_per_iteration_ != 1:
        raise ValueError("only regression and binary classification are supported")
    link = "sigmoid" if hasattr(model, "classes_") else "identity"
    return hist_gradient_boosting_column(model, 0, link)


def hist_gradient_boosting_column(model, column: int, link: str) -> FlatEnsemble:
    """The trees of one output column (one class of a multi-class model) with that column's
    baseline as base score."""
    order, known = _hgb_columns(model)
    codes, labels = {}, {}
    for col, cats in known.items():
        codes[col], mapping = _category_codes(cats)
        if mapping is not None:
            labels[int(order[col])] = mapping
    cardinality = {int(order[col]): int(c.max()) + 1 if c.size else 0
                   for col, c in codes.items()}
    builder = FlatBuilder(model.n_features_in_)
    for predictors in model._predictors:
        predictor = predictors[column]
        nodes = predictor.nodes
        n = len(nodes)
        internal = ~nodes["is_leaf"].astype(bool)
        left = nodes["left"].astype(np.int64)
        right = nodes["right"].astype(np.int64)
        missing_left = nodes["missing_go_to_left"].astype(np.uint8)
        node_set = np.full(n, -1, dtype=np.int32)
        for i in np.flatnonzero(internal & nodes["is_categorical"].astype(bool)):
            col = int(nodes["feature_idx"][i])
            goes_left = _bitset_members(predictor.raw_left_cat_bitsets[nodes["bitset_idx"][i]],
                                        len(codes[col]))
            if missing_left[i]:
                members = np.setdiff1d(np.arange(len(codes[col])), goes_left)
                left[i], right[i] = right[i], left[i]
            else:
                members = goes_left
            missing_left[i] = 0
            node_set[i] = builder.add_set(codes[col][members])
        feature = np.where(internal, order[nodes["feature_idx"]], -1)
        builder.add_tree(feature, nodes["num_threshold"], np.zeros(n, dtype=np.uint8),
                         missing_left, left, right, nodes["value"], np.arange(n), node_set)
    return builder.build(float(model._baseline_prediction.ravel()[column]), link, cardinality,
                         labels)
