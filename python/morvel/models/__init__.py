"""Converters from trained tree models of scikit-learn (also at the end of a Pipeline),
XGBoost, LightGBM and CatBoost."""
from __future__ import annotations

from .catboost_models import from_catboost
from .flat import FlatEnsemble, NotFitted
from .flat_model import FlatModel
from .float32 import float32_threshold
from .lightgbm_models import from_lightgbm
from .pipeline import from_pipeline, is_pipeline
from .sklearn_models import from_sklearn
from .xgboost_models import from_xgboost

__all__ = ["FlatEnsemble", "FlatModel", "NotFitted", "convert", "float32_threshold",
           "from_catboost", "from_lightgbm", "from_pipeline", "from_sklearn", "from_xgboost"]


def convert(model, **options) -> FlatEnsemble:
    """Convert a trained model of any supported library, chosen by the model's package.

    Raises `NotFitted` (a ValueError) for a model that has not been fitted, ValueError for
    a model the flat form cannot express (e.g. multi-class), TypeError for other types.
    Options go to the library's converter (e.g. `labels` for CatBoost's categories).

    >>> from sklearn.ensemble import RandomForestRegressor
    >>> model = RandomForestRegressor(n_estimators=3, random_state=0).fit([[0], [1]], [0, 1])
    >>> convert(model).n_trees
    3
    """
    if is_pipeline(model):
        return from_pipeline(model)
    package = type(model).__module__.split(".")[0]
    if package == "sklearn":
        return from_sklearn(model, **options)
    if package == "xgboost":
        return from_xgboost(model, **options)
    if package == "lightgbm":
        return from_lightgbm(model, **options)
    if package == "catboost":
        return from_catboost(model, **options)
    if isinstance(model, FlatModel):
        return model.flat
    raise TypeError(f"unsupported model type {type(model).__module__}.{type(model).__name__}")
