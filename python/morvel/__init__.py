"""Counterfactual recourse for tree-ensemble models, on a native core."""

import _morvel_core as core

from .models import FlatEnsemble, convert, from_lightgbm, from_sklearn, from_xgboost

__all__ = ["core", "FlatEnsemble", "convert", "from_lightgbm", "from_sklearn", "from_xgboost"]
