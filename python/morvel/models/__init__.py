"""Converters from trained tree models of scikit-learn, XGBoost and LightGBM."""
from __future__ import annotations

from .flat import FlatEnsemble, NotFitted
from .flat_model import FlatModel
from .float32 import float32_threshold
from .lightgbm_models import from_lightgbm
from .sklearn_models import from_sklearn
from .xgboost_models import from_xgboost

__all__ = ["FlatEnsemble", "FlatModel", "NotFitted", "convert", "float32_threshold",
           "from_lightgbm", "from_sklearn", "from_xgboost"]


def convert(model, **options) -> FlatEnsemble:
    """Convert a trained model of any supported library, chosen by the model's package.

    Raises `NotFitted` (a ValueError) for a model that has not been fitted, ValueError for
    a model the flat form cannot express (e.g. multi-class), TypeError for other types.

    >>> from sklearn.ensemble import RandomForestRegressor
    >>> model = RandomForestRegressor(n_estimators=3, random_state=0).fit([[0], [1]], [0, 1])
    >>> convert(model).n_trees
    3
    """
    package = type(model).__module__.split(".")[0]
    if package == "sklearn":
        return from_sklearn(model, **options)
    if package == "xgboost":
        return from_xgboost(model, **options)
    if package == "lightgbm":
        return from_lightgbm(model, **options)
    if isinstance(model, FlatModel):
        return model.flat
    raise TypeError(f"unsupported model type {type(model).__module__}.{type(model).__name__}")
