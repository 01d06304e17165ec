"""Model files for the command line: morvel's own .npz format, XGBoost JSON/UBJSON,
LightGBM text, CatBoost's own binary format, skops (only the types a supported scikit-learn model needs) and, only when
trusted, joblib/pickle."""
from __future__ import annotations

import re
from functools import lru_cache
from pathlib import Path

from .errors import InputError, file_error, first_line

_PICKLE_SUFFIXES = (".joblib", ".pkl", ".pickle")
_CATBOOST_CLASSIFYING = ("Logloss", "CrossEntropy", "MultiClass", "MultiClassOneVsAll")
_LOSSES = ("HalfSquaredError", "AbsoluteError", "PinballLoss", "HuberLoss", "HalfPoissonLoss",
           "HalfGammaLoss", "HalfBinomialLoss", "ExponentialLoss")


def load_model(path: str, trust_pickle: bool = False):
    """A fitted model from a morvel flat model (.npz), an XGBoost JSON/UBJSON file, a
    LightGBM text model, a CatBoost .cbm file, a skops file, or (with `trust_pickle`) a
    joblib/pickle file."""
    p = Path(path)
    try:
        with p.open("rb") as f:
            head = f.read(64)
    except OSError as err:
        raise file_error(path, err, "model file") from None
    suffix = p.suffix.lower()
    if suffix == ".npz":
        return _flat_model(path)
    if head.startswith(b"CBM1") or suffix == ".cbm":
        return _catboost(path)
    if head.startswith(b"PK\x03\x04") or suffix == ".skops":
        return _skops(path, trust_pickle)
    if suffix in _PICKLE_SUFFIXES or head[:1] == b"\x80":
        return _pickled(path, trust_pickle)
    if suffix in (".json", ".ubj") or head.lstrip()[:1] == b"{":
        return _xgboost(path)
    if head.startswith(b"tree") or suffix == ".txt":
        return _lightgbm(path)
    raise InputError(f"{path}: unknown model format; expected an XGBoost .json/.ubj file, a "
                     "LightGBM text model, a CatBoost .cbm file, a skops file, or a "
                     "joblib/pickle file")


def feature_names(model) -> list[str] | None:
    """The column names the model was fitted with, or None."""
    from ...models.adapter import _feature_names
    from ...models.pipeline import final_estimator

    return _feature_names(model, type(final_estimator(model)).__module__.split(".")[0])


def _library(name: str, extra: str, path: str):
    try:
        return __import__(name)
    except ImportError:
        raise InputError(f"{path}: reading this model needs {name} (pip install "
                         f"'morvel[{extra}]')") from None


def _flat_model(path: str):
    from ...models import FlatModel

    try:
        return FlatModel.load(path)
    except ValueError as err:
        raise InputError(f"{path}: {err}") from None


def _xgboost(path: str):
    xgboost = _library("xgboost", "xgboost", path)
    try:
        return xgboost.Booster(model_file=path)
    except xgboost.core.XGBoostError as err:
        raise InputError(f"{path}: not a readable XGBoost model ({first_line(err)})") from None


def _catboost(path: str):
    """A classifier when the file's loss classifies (so predictions are class labels),
    else a regressor; the converter refuses the losses it does not support."""
    catboost = _library("catboost", "catboost", path)
    try:
        model = catboost.CatBoost().load_model(path, format="cbm")
        loss = str(model.get_all_params().get("loss_function", ""))
        kind = (catboost.CatBoostClassifier if loss in _CATBOOST_CLASSIFYING
                else catboost.CatBoostRegressor)
        return kind().load_model(path, format="cbm")
    except catboost.CatBoostError as err:
        raise InputError(f"{path}: not a readable CatBoost model ({first_line(err)})") from None


def _lightgbm(path: str):
    lightgbm = _library("lightgbm", "lightgbm", path)
    _require_whole_lightgbm_text(path)
    try:
        return lightgbm.Booster(model_file=path)
    except lightgbm.basic.LightGBMError as err:
        raise InputError(f"{path}: not a readable LightGBM model ({first_line(err)})") from None


def _require_whole_lightgbm_text(path: str) -> None:
    """LightGBM's own parser can abort the process on a cut-off or damaged text model, so
    the tree blocks are checked against the header's `tree_sizes` first."""
    with open(path, "rb") as f:
        data = f.read()
    bad = InputError(f"{path}: not a complete LightGBM text model (cut off or damaged: its "
                     "trees do not match the sizes its header gives)")
    if not (data.startswith(b"tree\n") or data.startswith(b"tree\r\n")):
        raise InputError(f"{path}: not a LightGBM text model (it must start with 'tree')")
    sizes = re.search(rb"^tree_sizes=([0-9 ]*)\r?$", data, re.M)
    start = data.find(b"\nTree=") + 1
    if sizes is None or start == 0:
        raise bad
    offset = start
    for size in map(int, sizes.group(1).split()):
        if data[offset:offset + 5] != b"Tree=":
            raise bad
        offset += size
    if not data[offset:offset + 12] == b"end of trees":
        raise bad


def _skops(path: str, trust_pickle: bool):
    _library("sklearn", "sklearn", path)
    try:
        import skops.io as sio
    except ImportError:
        raise InputError(f"{path}: reading a skops file needs skops (pip install skops)") \
            from None
    try:
        untrusted = sio.get_untrusted_types(file=path)
    except Exception as err:  # skops reports a bad archive in many ways
        raise InputError(f"{path}: not a readable skops file ({first_line(err)})") from None
    if not trust_pickle:
        foreign = sorted(set(untrusted) - skops_trusted_types())
        if foreign:
            raise InputError(f"{path}: names types that no supported scikit-learn model "
                             f"needs ({', '.join(foreign)}); loading them could run code "
                             "from the file; pass --trust-pickle if you trust it")
    try:
        return sio.load(path, trusted=untrusted)
    except Exception as err:
        raise InputError(f"{path}: not a readable skops file ({first_line(err)})") from None


def _pickled(path: str, trust_pickle: bool):
    if not trust_pickle:
        raise InputError(f"{path}: a pickle-based model file (joblib/pickle) runs code when "
                         "loaded; pass --trust-pickle if you trust it, or save the model with "
                         "skops (scikit-learn) or the library's own format")
    try:
        import joblib

        return joblib.load(path)
    except ImportError:
        import pickle

        with open(path, "rb") as f:
            return pickle.load(f)
    except Exception as err:
        raise InputError(f"{path}: not a readable joblib/pickle file ({first_line(err)})") \
            from None


# What the supported estimators hold besides themselves: tree objects, the losses, links
# and binning of gradient boosting, and the encoder that histogram gradient boosting puts
# in front of categorical columns. Named as skops names them; never a module prefix, as
# skops calls a trusted name with arguments from the file.
_SKLEARN_PARTS = (
    "sklearn.tree._tree.Tree",
    "sklearn.ensemble._hist_gradient_boosting.predictor.TreePredictor",
    "sklearn.ensemble._hist_gradient_boosting.binning._BinMapper",
    "sklearn.dummy.DummyClassifier", "sklearn.dummy.DummyRegressor",
    "sklearn.preprocessing._label.LabelEncoder",
    "sklearn.preprocessing._encoders.OrdinalEncoder",
    "sklearn.preprocessing._function_transformer.FunctionTransformer",
    "sklearn.compose._column_transformer.ColumnTransformer",
    "sklearn.utils.validation.check_array",
    *(f"sklearn._loss.loss.{name}" for name in _LOSSES),
    *(f"sklearn._loss._loss.Cy{name}" for name in _LOSSES),
    *(f"sklearn._loss.link.{name}" for name in (
        "IdentityLink", "LogLink", "LogitLink", "HalfLogitLink", "Interval")),
)


@lru_cache(maxsize=1)
def skops_trusted_types() -> frozenset[str]:
    """The exact type names a skops file of a supported scikit-learn model may hold."""
    import numpy as np
    from sklearn import ensemble, tree

    estimators = (tree.DecisionTreeClassifier, tree.DecisionTreeRegressor,
                  tree.ExtraTreeClassifier, tree.ExtraTreeRegressor,
                  ensemble.RandomForestClassifier, ensemble.RandomForestRegressor,
                  ensemble.ExtraTreesClassifier, ensemble.ExtraTreesRegressor,
                  ensemble.GradientBoostingClassifier, ensemble.GradientBoostingRegressor,
                  ensemble.HistGradientBoostingClassifier,
                  ensemble.HistGradientBoostingRegressor)
    numpy_types = (np.ndarray, np.dtype, np.bool_, np.int8, np.int16, np.int32, np.int64,
                   np.uint8, np.uint16, np.uint32, np.uint64, np.float16, np.float32,
                   np.float64, np.str_, np.object_, np.random.RandomState,
                   np.random.Generator, np.random.PCG64, np.random.MT19937)
    builtins = ("dict", "list", "tuple", "str", "int", "float", "bool", "slice")
    names = {f"{t.__module__}.{t.__qualname__}" for t in estimators + numpy_types}
    names |= {f"builtins.{name}" for name in builtins}
    names.add("functools.partial")
    return frozenset(names | set(_SKLEARN_PARTS))
