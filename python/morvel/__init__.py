"""Counterfactual recourse for tree-ensemble models, on a native core.

>>> import morvel
>>> explainer = morvel.Explainer(model, X_train,                      # doctest: +SKIP
...                              constraints=morvel.Rules().freeze("age"))
>>> cf = explainer.explain(X_test.iloc[0], morvel.probability >= 0.7)  # doctest: +SKIP
>>> cf.changes                                                          # doctest: +SKIP

`morvel.core` is the native layer (`RustEnsemble`, `RustConstraints`, the `*_raw` solvers)
for callers who prepare flat arrays themselves.
"""

import _morvel_core as core

from ._version import __version__
from .explainer import Explainer
from .models import (FlatEnsemble, FlatModel, NotFitted, convert, from_catboost, from_lightgbm,
                     from_sklearn, from_xgboost)
from .results import Counterfactual, Region
from .problem.rules import Rules
from .problem.targets import (Target, desired_class, parse_target, probability, proba_range,
                      raw_range, raw_score)

__all__ = [
    "__version__", "core", "Explainer", "Rules", "Counterfactual", "Region", "Target",
    "desired_class", "proba_range", "raw_range", "probability", "raw_score", "parse_target",
    "FlatEnsemble", "FlatModel", "NotFitted", "convert", "from_catboost", "from_lightgbm",
    "from_sklearn", "from_xgboost",
]
