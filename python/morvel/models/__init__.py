"""Converters from trained tree models of scikit-learn, XGBoost and LightGBM."""
from __future__ import annotations

from .flat import FlatEnsemble
from .float32 import float32_threshold
from .lightgbm_models import from_lightgbm
from .sklearn_models import from_sklearn
from .xgboost_models import from_xgboost

__all__ = ["FlatEnsemble", "convert", "float32_threshold", "from_lightgbm", "from_sklearn",
           "from_xgboost"]


def convert(model, **options) -> FlatEnsemble:
    """Convert a trained model of any supported library, chosen by the model's package."""
    package = type(model).__module__.split(".")[0]
    if package == "sklearn":
        return from_sklearn(model, **options)
    if package == "xgboost":
        return from_xgboost(model, **options)
    if package == "lightgbm":
        return from_lightgbm(model, **options)
    raise TypeError(f"unsupported model type {type(model).__module__}.{type(model).__name__}")
