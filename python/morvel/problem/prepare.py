"""What an Explainer derives once from the model and the data: whether the model takes
missing values, the plausibility forest and its threshold, the genetic search's background
rows, and the margins of the target windows."""
from __future__ import annotations

import math

import numpy as np

from ..models import FlatEnsemble, convert
from ..models.adapter import ModelAdapter
from .data_columns import DataColumns, DataFacts
from .schema import Schema

_BACKGROUND_ROWS = 1000
_AGREEMENT_ROWS = 64


def joint_models(ex, others, data, features) -> tuple[list, list]:
    """The adapters and schemas of the explained model and of every model in `others`
    (`also_valid_for`), which must read the same columns with the same categories."""
    if (isinstance(others, (str, bytes)) or hasattr(others, "predict")
            or not hasattr(others, "__iter__")):
        raise TypeError("also_valid_for must be a list of fitted models")
    adapters, schemas = [ex.adapter], [ex.schema]
    for i, model in enumerate(others):
        try:
            adapter = ModelAdapter(model, data)
            schema = Schema(adapter, data, features)
            _require_same_features(ex.schema, schema)
        except (ValueError, TypeError) as err:
            raise type(err)(f"also_valid_for[{i}]: {err}") from None
        adapters.append(adapter)
        schemas.append(schema)
    return adapters, schemas


def _require_same_features(first: Schema, other: Schema) -> None:
    if other.names != first.names:
        raise ValueError(f"{other.adapter.name} reads the columns {other.names}, the "
                         f"explained model {first.names}")
    for j, name in enumerate(first.names):
        a, b = first.categories.get(j), other.categories.get(j)
        same = (a is None) == (b is None) and (a is None or (
            a.codes == b.codes and list(map(str, a.labels)) == list(map(str, b.labels))))
        if not same or (first.adapter.flat.cardinality[j] !=
                        other.adapter.flat.cardinality[j]):
            raise ValueError(f"{other.adapter.name} reads column {name!r} with other "
                             f"categories than the explained model "
                             f"({_categories_text(b)} against {_categories_text(a)})")


def _categories_text(cmap) -> str:
    if cmap is None:
        return "a number"
    labels = ", ".join(map(repr, cmap.labels[:6])) + (", ..." if len(cmap.labels) > 6 else "")
    return f"categories {labels}"


def probe_missing(columns: DataColumns, facts: DataFacts, adapter: ModelAdapter,
                  schema: Schema) -> np.ndarray:
    """Per column, whether the library takes a missing value there; and check on a few
    data rows that the library and the converted model agree (a mismatch in how columns
    or categories are encoded would show here, not in a counterfactual).

    A plain model takes NaN in every numeric column or in none (and, but for CatBoost, in
    its categorical ones as well); a pipeline may impute some columns only, so it is asked
    column by column."""
    complete = columns.rows(facts.first_complete(_AGREEMENT_ROWS))
    if len(complete):
        _require_agreement(adapter, schema, complete)
    row = (complete[:1] if len(complete) else np.nan_to_num(columns.rows([0]))).copy()
    n = row.shape[1]
    if not adapter.is_pipeline:
        takes = np.full(n, _takes(adapter, schema, row, ~schema.categorical))
        if adapter.library == "catboost":  # it reads no missing category
            takes &= ~schema.categorical
        return takes
    return np.array([_takes(adapter, schema, row, np.arange(n) == j) for j in range(n)],
                    dtype=bool)


def _takes(adapter, schema, row: np.ndarray, columns: np.ndarray) -> bool:
    probe = row.copy()
    probe[:, columns] = np.nan
    try:
        adapter.raw(schema.library_input(probe))
    except Exception:  # noqa: BLE001 - each library refuses NaN with its own error type
        return False
    return True


def _require_agreement(adapter, schema, rows: np.ndarray) -> None:
    flats = adapter.scores.per_class if adapter.multiclass else [adapter.flat]
    ours = np.column_stack([f.to_core().raw_score_batch(np.ascontiguousarray(rows))
                            for f in flats])
    theirs = adapter.raw(schema.library_input(rows)).reshape(len(rows), -1)
    rtol = 1e-4 if adapter.library == "xgboost" else 1e-9
    bad = (np.abs(ours - theirs) > rtol * (1.0 + np.abs(theirs))).any(axis=1)
    if bad.any():
        i = int(np.flatnonzero(bad)[0])
        lib, own = (theirs[i], ours[i]) if adapter.multiclass else (theirs[i, 0], ours[i, 0])
        raise ValueError(f"{adapter.name}'s predictions on data differ from the converted "
                         f"model's (row {i}: {lib.tolist()!r} against {own.tolist()!r}); "
                         "is data encoded as in training "
                         "(same columns, same categories)?")


def plausibility(ex, spec, columns: DataColumns,
                 facts: DataFacts) -> tuple[FlatEnsemble | None, float | None]:
    """The isolation forest as a flat ensemble (its raw score is the total path length)
    and the path length a counterfactual must reach."""
    if spec is None:
        return None, None
    from sklearn.ensemble import IsolationForest

    complete = columns.rows(np.flatnonzero(facts.complete))
    if isinstance(spec, str):
        if spec != "isolation_forest":
            raise ValueError(f"plausibility must be None, 'isolation_forest' or a fitted "
                             f"IsolationForest, got {spec!r}")
        if len(complete) < 2:
            raise ValueError("plausibility='isolation_forest' needs at least two data rows "
                             "without missing values")
        state = None if ex.random_state is None else ex.random_state % 2**32
        spec = IsolationForest(random_state=state).fit(complete)
    elif not isinstance(spec, IsolationForest):
        raise TypeError(f"plausibility must be None, 'isolation_forest' or a fitted "
                        f"IsolationForest, got {type(spec).__name__}")
    flat = convert(spec)
    if flat.n_features != len(ex.schema.names):
        raise ValueError(f"the plausibility forest takes {flat.n_features} features, the "
                         f"model {len(ex.schema.names)}")
    rows = complete if len(complete) else columns.rows(np.arange(facts.n_rows))
    paths = flat.to_core().raw_score_batch(np.ascontiguousarray(rows))
    return flat, float(np.quantile(paths, ex.plausibility_quantile))


def background(columns: DataColumns, random_state: int | None) -> np.ndarray:
    """Up to a thousand data rows that the genetic search borrows values from."""
    n = columns.n_rows
    if n <= _BACKGROUND_ROWS:
        return columns.rows(np.arange(n))
    rng = np.random.default_rng(random_state)
    return columns.rows(np.sort(rng.choice(n, _BACKGROUND_ROWS, replace=False)))


def margins(adapter: ModelAdapter) -> tuple[float, float]:
    """(raw-score margin, probability rounding) kept inside every target window.

    The raw margin bounds the difference between the core's double sum in tree order and
    the library's sum (another order, or single precision for XGBoost): a few units of
    rounding per tree, relative to the largest score the trees can add up to."""
    return (raw_margin(adapter.flat, adapter.float32_inputs),
            2.0**-22 if adapter.float32_inputs else 2.0**-50)


def raw_margin(flat: FlatEnsemble, float32: bool) -> float:
    """The raw-score margin of one ensemble (`float32`: the library sums in single
    precision)."""
    magnitude = abs(flat.base_score) + _tree_magnitudes(flat)
    n = flat.n_trees
    if float32:
        return 2.0**-24 * (2.0 + math.sqrt(n)) * 2.0 * magnitude + 1e-12
    return 2.0**-52 * (2.0 + n) * 4.0 * magnitude + 1e-300


def _tree_magnitudes(flat: FlatEnsemble) -> float:
    """Sum over trees of the largest |leaf value| (trees occupy consecutive node blocks)."""
    if flat.n_trees == 0 or flat.n_nodes == 0:
        return 0.0
    leaf_abs = np.where(flat.feature < 0, np.abs(flat.value), 0.0)
    starts = np.unique(np.asarray(flat.tree_roots, dtype=np.int64))
    starts = np.concatenate([[0], starts[starts > 0]])
    return float(np.maximum.reduceat(leaf_abs, starts).sum())
