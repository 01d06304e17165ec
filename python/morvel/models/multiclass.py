"""Multi-class classifiers as per-class flat ensembles, and the score windows that say
"the model predicts class c".

A classifier with K classes predicts the class whose score is largest, the first one on a
tie (each library takes the `argmax` of its probabilities, and softmax and the forests'
averages keep the order of the scores). "Predicts c" is therefore K - 1 conditions at
once, one per other class k: score(c) - score(k) > 0 when k comes before c in the model's
class order, >= 0 when it comes after. Each difference is itself a sum of trees (c's trees
and k's trees with their leaves negated), so the conditions are windows on ensembles that
the core's solvers take beside the model's own (`windows=`).

Per-class scores (`class_scores`), checked against each library's own per-class output:
- XGBoost (`multi:softprob`, `multi:softmax`) and LightGBM (`multiclass`,
  `multiclassova`): the margins, `predict(output_margin=True)` and
  `predict(raw_score=True)`; trees are assigned to classes as the model records it;
- scikit-learn `GradientBoostingClassifier` and `HistGradientBoostingClassifier`:
  `decision_function`, one column per class;
- scikit-learn `RandomForestClassifier`, `ExtraTreesClassifier` and
  `DecisionTreeClassifier` (any number of classes): `predict_proba`, the mean of the
  trees' normalised leaf probabilities.

A scikit-learn Pipeline ending in one of them is scored over its raw columns (see
`pipeline`).

The difference of two classes of a forest is one forest over the same trees, each leaf
holding its probability difference unscaled (not divided by the number of trees): the
bounds then see both classes of a leaf together, and with pure leaves the sums are whole
numbers, so a tie between two classes is exactly 0, as the library sees it.
"""
from __future__ import annotations

import json
import math
from dataclasses import dataclass, replace

import numpy as np

from .flat import FlatBuilder, FlatEnsemble, NodeList, NotFitted

_SMALLEST_POSITIVE = math.ulp(0.0)  # the least double above 0: "> 0" as a closed window


@dataclass(frozen=True, eq=False)
class ClassScores:
    """The per-class scores of a fitted classifier.

    `classes[k]` is the label of column k of the library's outputs (the index its
    `argmax` returns). `per_class[k]` scores class k as the library does (margin or
    probability, `kind`). For a forest, whose classes share every tree, `leaf_classes`
    holds per node each class's leaf probability (not divided by the number of trees)
    over the trees of `per_class`."""

    classes: np.ndarray
    per_class: tuple[FlatEnsemble, ...]
    kind: str  # "margin" or "probability"
    leaf_classes: np.ndarray | None = None
    # How the library turns the scores into probabilities: "softmax" over the margins,
    # "sigmoid" of `scale` times each class's margin on its own (one-vs-rest), or
    # "average" (the scores are the probabilities).
    link: str = "softmax"
    scale: float = 1.0

    @property
    def n_classes(self) -> int:
        return len(self.classes)

    def feature_space(self) -> FlatEnsemble:
        """One ensemble holding every split of the model (its score means nothing): the
        features, categories and cells that all classes' ensembles share."""
        if self.leaf_classes is not None:
            return self.per_class[0]
        return join([(e, 1.0) for e in self.per_class])

    def widened(self, cardinality: np.ndarray) -> ClassScores:
        """The same scores over features of the given category counts."""
        card = np.asarray(cardinality, dtype=np.uint32)
        return replace(self, per_class=tuple(replace(e, cardinality=card.copy())
                                             for e in self.per_class))

    def mapped(self, rewrite) -> ClassScores:
        """The scores with every class's nodes passed through `rewrite` (a function of a
        flat ensemble that keeps its nodes in place, e.g. a pipeline's raw columns), the
        model's splits rewritten once."""
        if self.leaf_classes is not None:
            shape = rewrite(self.per_class[0])
            return replace(self, per_class=tuple(replace(shape, value=e.value)
                                                 for e in self.per_class))
        whole = rewrite(join([(e, 1.0) for e in self.per_class]))
        nodes = np.cumsum([0] + [e.n_nodes for e in self.per_class])
        trees = np.cumsum([0] + [e.n_trees for e in self.per_class])
        return replace(self, per_class=tuple(
            _node_range(whole, nodes[k], nodes[k + 1], trees[k], trees[k + 1],
                        self.per_class[k].base_score) for k in range(self.n_classes)))

    def index(self, label) -> int:
        """Column of a class label (by equality, also for NumPy scalars)."""
        for k, known in enumerate(self.classes):
            if known == label or (isinstance(known, np.generic) and known.item() == label):
                return k
        raise ValueError(f"{label!r} is not a class of the model (classes: "
                         f"{', '.join(repr(c) for c in self.classes)})")


def class_scores(model) -> ClassScores:
    """Per-class flat ensembles of a fitted multi-class classifier (see the module
    docstring for the supported models), also at the end of a scikit-learn Pipeline,
    whose model is then scored over the raw columns. Boosted models need at least three
    classes (a binary one has a single output; convert it with `convert`)."""
    from .pipeline import checked_steps, is_pipeline, raw_mapper

    if is_pipeline(model):
        steps, final = checked_steps(model)
        scores = class_scores(final)
        to_raw = raw_mapper(steps, final, scores.feature_space())
        return scores if to_raw is None else scores.mapped(to_raw)
    package = type(model).__module__.split(".")[0]
    if package == "sklearn":
        return _sklearn(model)
    if package == "xgboost":
        return _xgboost(model)
    if package == "lightgbm":
        return _lightgbm(model)
    raise TypeError(f"unsupported model type {type(model).__module__}.{type(model).__name__}")


def beats(scores: ClassScores, c: int, k: int) -> FlatEnsemble:
    """An ensemble whose score is positive exactly when class c scores above class k (zero
    on a tie): for boosting, score(c) - score(k) as c's trees, then k's trees with negated
    leaves, base score base(c) - base(k); for a forest, its trees with each leaf's
    probability of c minus that of k (n_trees times the difference of probabilities)."""
    if c == k:
        raise ValueError("a class does not beat itself")
    if scores.leaf_classes is not None:
        shape = scores.per_class[c]
        diff = scores.leaf_classes[:, c] - scores.leaf_classes[:, k]
        return replace(shape, value=np.where(shape.feature >= 0, 0.0, diff), base_score=0.0)
    return join([(scores.per_class[c], 1.0), (scores.per_class[k], -1.0)])


def class_windows(scores: ClassScores, target, *, margin: float = 0.0
                  ) -> list[tuple[FlatEnsemble, float, float]]:
    """The K - 1 windows (ensemble, lo, hi) inside all of which the model predicts
    `target` (a class label): for every other class k, in class order, `beats(c, k)` in
    [lo, +inf). With `margin` 0 this is the library's own rule: c must score strictly
    above a class that comes before it (lo = the least positive double) and at least as
    high as one that comes after it (lo = 0). A positive `margin` asks every difference to
    be at least `margin` instead, which keeps the answer when the library sums scores in
    another order or precision (XGBoost adds margins in float32)."""
    if not (isinstance(margin, (int, float, np.floating)) and math.isfinite(margin)
            and margin >= 0):
        raise ValueError(f"margin must be a finite non-negative number, got {margin!r}")
    c = scores.index(target)
    out = []
    for k in range(scores.n_classes):
        if k == c:
            continue
        lo = float(margin) if margin > 0 else (_SMALLEST_POSITIVE if k < c else 0.0)
        out.append((beats(scores, c, k), lo, math.inf))
    return out


def core_windows(windows) -> list[tuple]:
    """`(ensemble, lo, hi)` with flat ensembles as the core's `windows=` argument takes
    them: `(RustEnsemble, lo, hi, missing_defined)`."""
    return [(flat.to_core(), float(lo), float(hi),
             np.ascontiguousarray(flat.missing_defined, dtype=np.uint8))
            for flat, lo, hi in windows]


def join(parts) -> FlatEnsemble:
    """One ensemble of the trees of several (ensemble, sign) parts, in order, each leaf
    multiplied by its part's sign; the base score is the signed sum of the bases. The parts
    share one feature space (same width and category counts)."""
    parts = list(parts)
    first = parts[0][0]
    for e, _ in parts[1:]:
        if e.n_features != first.n_features or not np.array_equal(e.cardinality,
                                                                  first.cardinality):
            raise ValueError("ensembles of different feature spaces cannot be joined")
    node_offset = np.cumsum([0] + [e.n_nodes for e, _ in parts])
    set_offset = np.cumsum([0] + [len(e.set_offsets) - 1 for e, _ in parts])
    word_offset = np.cumsum([0] + [len(e.set_words) for e, _ in parts])

    def cat(name, dtype):
        return np.ascontiguousarray(np.concatenate([getattr(e, name) for e, _ in parts]),
                                    dtype=dtype)

    def shifted(name, offsets, internal_only):
        out = []
        for (e, _), off in zip(parts, offsets):
            v = getattr(e, name).astype(np.int64)
            keep = e.feature >= 0 if internal_only else v >= 0
            out.append(np.where(keep, v + off, v))
        return np.concatenate(out)

    base = 0.0
    for e, sign in parts:
        base += sign * e.base_score
    categories = {}
    for e, _ in parts:
        categories.update(e.categories)
    return FlatEnsemble(
        feature=cat("feature", np.int32), threshold=cat("threshold", np.float64),
        is_lt=cat("is_lt", np.uint8), missing_left=cat("missing_left", np.uint8),
        left=shifted("left", node_offset, True).astype(np.uint32),
        right=shifted("right", node_offset, True).astype(np.uint32),
        value=np.concatenate([np.where(e.feature >= 0, 0.0, sign * e.value) for e, sign in parts]),
        tree_roots=np.concatenate([e.tree_roots.astype(np.int64) + off
                                   for (e, _), off in zip(parts, node_offset)]).astype(np.uint32),
        base_score=float(base), link="identity", n_features=int(first.n_features),
        node_set=shifted("node_set", set_offset, False).astype(np.int32),
        set_offsets=np.concatenate([[0]] + [e.set_offsets[1:].astype(np.int64) + off
                                            for (e, _), off in zip(parts, word_offset)]
                                   ).astype(np.uint32),
        set_words=cat("set_words", np.uint64), cardinality=first.cardinality.copy(),
        leaf_id=cat("leaf_id", np.int64), missing_defined=cat("missing_defined", np.uint8),
        categories=categories)


def _node_range(flat: FlatEnsemble, start: int, stop: int, first_tree: int,
                last_tree: int, base_score: float) -> FlatEnsemble:
    """The trees `first_tree` to `last_tree - 1` of `flat`, which occupy the nodes
    `start` to `stop - 1` (as `join` lays its parts out), with `base_score`; the set
    table is kept whole."""
    nodes = slice(int(start), int(stop))
    internal = flat.feature[nodes] >= 0

    def moved(a):
        a = a[nodes].astype(np.int64)
        return np.where(internal, a - start, a).astype(np.uint32)

    return replace(
        flat, feature=flat.feature[nodes].copy(), threshold=flat.threshold[nodes].copy(),
        is_lt=flat.is_lt[nodes].copy(), missing_left=flat.missing_left[nodes].copy(),
        left=moved(flat.left), right=moved(flat.right), value=flat.value[nodes].copy(),
        tree_roots=(flat.tree_roots[first_tree:last_tree].astype(np.int64) - start
                    ).astype(np.uint32),
        base_score=float(base_score), node_set=flat.node_set[nodes].copy(),
        leaf_id=flat.leaf_id[nodes].copy(), missing_defined=flat.missing_defined[nodes].copy())


# -- scikit-learn ---------------------------------------------------------------------


def _sklearn(model) -> ClassScores:
    from sklearn import ensemble, tree

    from . import sklearn_models as sk

    sk.require_fitted(model)
    if isinstance(model, (ensemble.RandomForestClassifier, ensemble.ExtraTreesClassifier)):
        return _forest(model, model.estimators_)
    if isinstance(model, tree.DecisionTreeClassifier):  # a forest of one tree
        return _forest(model, [model])
    if isinstance(model, ensemble.HistGradientBoostingClassifier):
        k = _boosted_classes(model, model.n_trees_per_iteration_)
        per_class = tuple(sk.hist_gradient_boosting_column(model, j, "identity")
                          for j in range(k))
    elif isinstance(model, ensemble.GradientBoostingClassifier):
        k = _boosted_classes(model, model.estimators_.shape[1])
        per_class = tuple(sk.gradient_boosting_column(model, j, "identity") for j in range(k))
    else:
        raise TypeError(f"unsupported multi-class model {type(model).__name__}")
    return ClassScores(np.asarray(model.classes_), per_class, "margin")


def _boosted_classes(model, n_columns: int) -> int:
    if len(model.classes_) < 3 or n_columns != len(model.classes_):
        raise ValueError(f"{type(model).__name__} with {len(model.classes_)} classes has one "
                         "output, not one per class; convert it with convert()")
    return n_columns


def _forest(model, trees) -> ClassScores:
    from . import sklearn_models as sk

    if getattr(model, "n_outputs_", 1) != 1:
        raise ValueError("multi-output models are not supported")
    n, n_classes = len(trees), len(model.classes_)
    probability = [FlatBuilder(model.n_features_in_) for _ in range(n_classes)]
    leaves = []
    for est in trees:
        t = est.tree_
        v = t.value[:, 0, :]
        total = v.sum(axis=1)
        proba = v / np.where(total == 0.0, 1.0, total)[:, None]  # as predict_proba does
        leaves.append(proba)
        for k in range(n_classes):
            sk._add_tree(probability[k], t, proba[:, k] / n)
    nan = sk._routes_nan(model)
    return ClassScores(np.asarray(model.classes_),
                       tuple(b.build(0.0, "identity", nan_routed=nan) for b in probability),
                       "probability", np.concatenate(leaves), link="average")


# -- XGBoost --------------------------------------------------------------------------


def _xgboost(model) -> ClassScores:
    from . import xgboost_models as xm

    classes = getattr(model, "classes_", None) if hasattr(model, "get_booster") else None
    booster, learner, trees, tree_class = xm.load(model)
    params = learner["learner_model_param"]
    n_classes = int(params.get("num_class", "0"))
    objective = learner["objective"]["name"]
    if n_classes < 3 or objective not in ("multi:softprob", "multi:softmax"):
        raise ValueError("not a multi-class model (objective multi:softprob or multi:softmax "
                         "with at least three classes); convert it with convert()")
    n_features = int(params["num_feature"])
    builders = [FlatBuilder(n_features) for _ in range(n_classes)]
    card = np.zeros(n_features, dtype=np.int64)
    for t, k in zip(trees, tree_class):
        xm._add_tree(builders[int(k)], t, card)
    counts, labels = xm.categories(booster, learner, card)
    # Multi-class margins start from one base margin per class (a float32 each).
    base = [float(np.float32(float(v))) for v in params["base_score"].strip("[]").split(",")]
    if len(base) == 1:
        base = base * n_classes
    per_class = tuple(b.build(base[k], "identity", counts, labels)
                      for k, b in enumerate(builders))
    names = np.asarray(classes) if classes is not None else np.arange(n_classes)
    return ClassScores(names, per_class, "margin")


# -- LightGBM -------------------------------------------------------------------------


def _lightgbm(model) -> ClassScores:
    import lightgbm

    from . import lightgbm_models as lm

    classes = None
    if isinstance(model, lightgbm.LGBMModel):
        if not model.__sklearn_is_fitted__():
            raise NotFitted(f"{type(model).__name__} is not fitted yet: call fit() before "
                            "converting it")
        classes = getattr(model, "classes_", None)
        model = model.booster_
    dump = model.dump_model()
    n_classes = int(dump.get("num_class", 1))
    if n_classes < 3 or dump.get("num_tree_per_iteration", 1) != n_classes:
        raise ValueError("not a multi-class model (one tree per class and iteration, at "
                         "least three classes); convert it with convert()")
    if dump.get("average_output"):
        raise ValueError("averaged (random forest) models are not supported")
    n_features = int(dump["max_feature_idx"]) + 1
    builders = [FlatBuilder(n_features) for _ in range(n_classes)]
    for i, info in enumerate(dump["tree_info"]):
        nodes = NodeList()
        b = builders[i % n_classes]
        lm._emit(info["tree_structure"], nodes, b)
        nodes.add_to(b)
    counts, labels = lm.categories(model, dump)
    per_class = tuple(b.build(0.0, "identity", counts, labels) for b in builders)
    names = np.asarray(classes) if classes is not None else np.arange(n_classes)
    objective = str(dump.get("objective", "")).split()
    if objective and objective[0] == "multiclassova":  # each class's own sigmoid
        scale = next((float(w.split(":")[1]) for w in objective if w.startswith("sigmoid:")),
                     1.0)
        return ClassScores(names, per_class, "margin", link="sigmoid", scale=scale)
    return ClassScores(names, per_class, "margin")
