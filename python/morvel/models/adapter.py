"""The trained model as its own library sees it: kind, classes, feature names, and its
own predictions, which every result is checked against before it is returned."""
from __future__ import annotations

import contextlib
import dataclasses
import os
import threading
import warnings

import numpy as np
from threadpoolctl import ThreadpoolController

from . import FlatEnsemble, NotFitted, convert
from .forest_predict import forest_predictor
from .multiclass import ClassScores, class_scores
from .pipeline import final_estimator, is_pipeline


class ModelAdapter:
    """A fitted scikit-learn, XGBoost, LightGBM or CatBoost model, or a scikit-learn
    Pipeline ending in one, with its converted flat form (over the pipeline's raw columns).
    `data` (training rows) gives the labels of CatBoost's categorical features.

    `output` tells what the raw score of the flat form is:
    - "margin": a classifier's log-odds (sigmoid link); its probability is sigmoid(raw);
    - "probability": a classifier whose raw score is the positive-class probability itself
      (scikit-learn's trees and forests);
    - "value": a regressor's prediction.
    """

    def __init__(self, model, data=None):
        self.model = model  # what predicts: the whole pipeline, if it is one
        self.estimator = final_estimator(model)
        self.library = type(self.estimator).__module__.split(".")[0]
        if self.library == "sklearn":
            _require_sklearn_supported(self.estimator)
        self.classes = _classes(self.estimator, self.library)
        self.scores: ClassScores | None = None  # per-class scores of a multi-class model
        if self.classes is not None and len(self.classes) > 2:
            if self.library == "catboost":
                raise ValueError(f"{type(model).__name__} has {len(self.classes)} classes; "
                                 "multi-class models are supported for scikit-learn, XGBoost "
                                 "and LightGBM")
            self.scores = class_scores(model)
            self.flat: FlatEnsemble = self.scores.feature_space()
        else:
            self.flat = convert(model, **_options(self.library, model, data))
        if self.classes is None and self.flat.link == "sigmoid" and not _is_regressor(
                self.estimator):
            self.classes = (0, 1)  # a Booster trained with a binary objective
        if self.classes is None:
            self.output = "value"
        elif self.scores is not None:
            self.output = self.scores.kind
        else:
            self.output = "margin" if self.flat.link == "sigmoid" else "probability"
        self.n_features = int(self.flat.n_features)
        self.feature_names = _feature_names(model, self.library)
        self.is_pipeline = is_pipeline(model)
        # Encoders and CatBoost read labels as they are; the other libraries read labelled
        # columns as pandas categories.
        self.reads_plain_labels = self.is_pipeline or self.library == "catboost"
        self.float32_inputs = self.library == "xgboost"  # the library sums in float32
        estimator_type = type(self.estimator)
        # Whose predict runs on OpenMP threads (scikit-learn's other trees run on one).
        self.openmp = self.library in ("xgboost", "lightgbm") or (
            self.library == "sklearn" and estimator_type.__name__.startswith(
                "HistGradientBoosting"))
        # scikit-learn's trees read a frame of numbers as the array of its values, after
        # checking its columns one by one, which costs more than many a search: rows of
        # plain numbers go to them as arrays, in the fitted column order.
        self.reads_arrays = not self.is_pipeline and self.library == "sklearn" and \
            estimator_type.__module__.startswith(("sklearn.ensemble.", "sklearn.tree."))
        # A forest's trees asked directly, on arrays of numbers (forest_predict.py).
        self.forest = None if self.is_pipeline else forest_predictor(self.estimator)

    def widen_categories(self, counts: dict) -> None:
        """Raise categorical features' counts to at least `counts` ({feature: count}):
        categories the model's splits never name still belong to the feature."""
        card = self.flat.cardinality.copy()
        for f, count in counts.items():
            card[f] = max(int(card[f]), int(count))
        if (card != self.flat.cardinality).any():
            self.flat = dataclasses.replace(self.flat, cardinality=card)
            if self.scores is not None:
                self.scores = self.scores.widened(card)

    @property
    def multiclass(self) -> bool:
        return self.scores is not None

    @property
    def is_classifier(self) -> bool:
        return self.classes is not None

    @property
    def name(self) -> str:
        if self.is_pipeline:
            return f"Pipeline({type(self.estimator).__name__})"
        return type(self.model).__name__

    def class_index(self, label, what: str = "desired_class") -> int:
        """Position of a class label in the model's classes (by equality); `what` names
        the argument in the message for an unknown label."""
        for k, known in enumerate(self.classes):
            if known == label or (isinstance(known, np.generic) and known.item() == label):
                return k
        raise ValueError(f"{what}={label!r} is not a class of {self.name} "
                         f"(classes: {', '.join(repr(_plain(c)) for c in self.classes)})")

    # -- the library's own predictions ------------------------------------------------

    def raw(self, X) -> np.ndarray:
        """The library's raw score (margin, probability or prediction) for `X`; for a
        multi-class model one column per class (margins, or a forest's probabilities)."""
        with self._calling(X):
            return self._raw_columns(X)

    def proba(self, X, label=None) -> np.ndarray:
        """The library's probability of class `label` (default: the positive class of a
        binary model) for `X` (classifiers only)."""
        with self._calling(X):
            p = self._probabilities(X)
        if p.ndim == 1:  # a binary Booster's positive-class probability
            return p if label is None or self.class_index(label) == 1 else 1.0 - p
        return p[:, 1 if label is None else self.class_index(label)]

    def predicted_index(self, X) -> np.ndarray:
        """Index (into `classes`) of the class the library predicts for each row of `X`."""
        with self._calling(X):
            m = self.model
            if self._by_trees(X):
                return np.argmax(self.forest.values(X), axis=1)  # the forest's own rule
            if hasattr(m, "predict_proba") and hasattr(m, "classes_"):
                labels = np.asarray(m.predict(X)).ravel()
                return np.argmax(labels[:, None] == np.asarray(m.classes_)[None, :], axis=1)
            p = self._probabilities(X)
        if self.multiclass:  # a Booster: the first most probable class
            return np.argmax(p, axis=1)
        # Binary Boosters predict probabilities; their wrappers take class 1 above one half.
        return (p.ravel() > 0.5).astype(np.int64)

    def _by_trees(self, X) -> bool:
        """Whether a forest's rows `X` go to its trees directly (an array of numbers)."""
        return self.forest is not None and isinstance(X, np.ndarray) and X.ndim == 2 \
            and X.dtype.kind == "f"

    def _calling(self, X):
        """The context of one predict call on the rows `X` (not to be nested: the warnings
        filters take turns)."""
        stack = contextlib.ExitStack()
        if self.openmp:
            stack.enter_context(_threads_for(self.library, len(X)))
        if self.feature_names is not None and isinstance(X, np.ndarray):
            stack.enter_context(_unnamed_rows())
        if self.library == "sklearn" and _finite_numbers(X):
            # Its check of every value costs a few rows' worth of trees; these are checked.
            import sklearn

            stack.enter_context(sklearn.config_context(assume_finite=True))
        return stack

    def _raw_columns(self, X) -> np.ndarray:
        out = self._raw(X)
        return out.reshape(len(out), -1) if self.multiclass else out.ravel()

    def _raw(self, X) -> np.ndarray:
        m, lib = self.model, self.library
        if self._by_trees(X) and self.output in ("probability", "value"):
            p = self.forest.values(X)
            return p if self.multiclass or p.ndim == 1 else p[:, 1]
        if lib == "sklearn":
            if self.output == "probability":
                p = np.asarray(m.predict_proba(X), dtype=np.float64)
                return p if self.multiclass else p[:, 1]
            if self.output == "margin":
                return np.asarray(m.decision_function(X), dtype=np.float64)
            return np.asarray(m.predict(X), dtype=np.float64)
        if lib == "catboost":
            return np.asarray(m.predict(X, prediction_type="RawFormulaVal"), dtype=np.float64)
        if lib == "morvel":  # a FlatModel
            return m.raw_score(X)
        if lib == "xgboost":
            if hasattr(self.estimator, "get_booster"):
                return np.asarray(m.predict(X, output_margin=True), dtype=np.float64)
            return np.asarray(m.predict(_dmatrix(X), output_margin=True), np.float64)
        return np.asarray(m.predict(X, raw_score=True), dtype=np.float64)

    def _probabilities(self, X) -> np.ndarray:
        m, lib = self.model, self.library
        if self._by_trees(X):
            return self.forest.values(X)
        if hasattr(m, "predict_proba"):
            return np.asarray(m.predict_proba(X), dtype=np.float64)
        if self.multiclass and (lib == "xgboost" or self.scores.link != "softmax"):
            # The margins through the model's link (a multi:softmax Booster predicts
            # labels, not probabilities).
            return _through_link(self._raw_columns(X), self.scores)
        if lib == "xgboost":
            return np.asarray(m.predict(_dmatrix(X)), dtype=np.float64)
        return np.asarray(m.predict(X), dtype=np.float64)


# Rows per OpenMP thread of a library's predict. A library's default is a thread per CPU
# even for one row, where starting and joining the threads costs more than the trees (and
# more than the search whose row is being checked), and on a busy machine far more.
_ROWS_PER_THREAD = 20_000
_controllers: dict[str, ThreadpoolController] = {}


def _threads_for(library: str, n_rows: int):
    """A context in which the OpenMP runtimes that the model's library loaded use the
    threads that `n_rows` rows need: one per `_ROWS_PER_THREAD` rows, at most one per CPU."""
    controller = _controllers.get(library)
    if controller is None:  # the library is imported by now, its runtime loaded
        controller = _controllers[library] = ThreadpoolController()
    threads = max(1, min(os.cpu_count() or 1, n_rows // _ROWS_PER_THREAD))
    return controller.limit(limits=threads, user_api="openmp")


def _finite_numbers(X) -> bool:
    """Whether `X` is an array of numbers that are all finite (no NaN, no infinity)."""
    return isinstance(X, np.ndarray) and X.dtype.kind == "f" and bool(np.isfinite(X).all())


# The warnings filters are process-wide, so the calls that set them aside take turns.
_unnamed_lock = threading.Lock()


@contextlib.contextmanager
def _unnamed_rows():
    """A predict on an array of rows in the fitted column order: a model fitted on a frame
    warns that the array has no column names, which here is known and meant."""
    with _unnamed_lock, warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="X does not have valid feature names",
                                category=UserWarning)
        yield


def _through_link(margins: np.ndarray, scores: ClassScores) -> np.ndarray:
    if scores.link == "sigmoid":
        return 1.0 / (1.0 + np.exp(-scores.scale * margins))
    e = np.exp(margins - margins.max(axis=1, keepdims=True))
    return e / e.sum(axis=1, keepdims=True)


def _options(library: str, model, data) -> dict:
    """Converter options that only the training data can tell."""
    if library == "catboost" and data is not None and not is_pipeline(model):
        from .catboost_models import labels_from_data

        return {"labels": labels_from_data(model, data)} if model.is_fitted() else {}
    return {}


def _plain(value):
    return value.item() if isinstance(value, np.generic) else value


def _dmatrix(X):
    import xgboost

    return xgboost.DMatrix(X, enable_categorical=True)


def _require_sklearn_supported(model) -> None:
    from sklearn.ensemble import IsolationForest

    if isinstance(model, IsolationForest):
        raise TypeError("an IsolationForest scores plausibility, not a decision: pass it as "
                        "plausibility=... and explain the decision model")


def _is_regressor(model) -> bool:
    return type(model).__name__.endswith("Regressor")


def _classes(model, library: str):
    if library == "sklearn":
        from sklearn.base import is_classifier

        if not is_classifier(model):
            return None
    classes = getattr(model, "classes_", None)
    if classes is None and type(model).__name__ == "Booster":
        n = _booster_classes(model, library)
        return tuple(range(n)) if n >= 3 else None  # a multi-class Booster's class indices
    if classes is None:
        if library in ("xgboost", "lightgbm", "catboost") and type(model).__name__.endswith(
                "Classifier"):
            raise NotFitted(f"{type(model).__name__} is not fitted yet: call fit() before "
                            "explaining it")
        if library == "sklearn":
            raise NotFitted(f"{type(model).__name__} is not fitted yet: call fit() before "
                            "explaining it")
        return None
    return tuple(np.asarray(classes).tolist())


def _booster_classes(booster, library: str) -> int:
    """The number of classes of a multi-class Booster (else 0 or 1)."""
    if library == "xgboost":
        import json

        params = json.loads(booster.save_config())["learner"]["learner_model_param"]
        return int(params.get("num_class", "0"))
    return int(booster.num_model_per_iteration()) if library == "lightgbm" else 0


def _feature_names(model, library: str):
    """The column names the model was fitted with, or None when fitted on an array."""
    names = getattr(model, "feature_names_in_", None)
    if names is not None:
        return [str(n) for n in names]
    if is_pipeline(model):
        return None
    if library == "xgboost":
        booster = model.get_booster() if hasattr(model, "get_booster") else model
        return list(booster.feature_names) if booster.feature_names else None
    if library == "catboost":
        names = list(model.feature_names_ or [])
        return names if names and names != [str(i) for i in range(len(names))] else None
    if library == "lightgbm":
        booster = getattr(model, "booster_", model)
        names = booster.feature_name()
        # LightGBM names the columns of an array Column_0, Column_1, ...
        if names and names != [f"Column_{i}" for i in range(len(names))]:
            return list(names)
    return None
