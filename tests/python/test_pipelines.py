"""Pipelines of column preprocessing and a tree model, explained over their raw columns.

Every supported shape is checked against the pipeline itself: the converted model scores
raw rows (random ones, every label, missing values, and values at and one or two doubles
around every mapped threshold) exactly as the pipeline does, and counterfactuals are
accepted by the pipeline's own predict and keep rules stated on raw columns and labels.
"""
import importlib.util

import numpy as np
import pandas as pd
import pytest

import morvel

pytest.importorskip("sklearn")
from sklearn import ensemble, tree  # noqa: E402
from sklearn.compose import ColumnTransformer  # noqa: E402
from sklearn.impute import SimpleImputer  # noqa: E402
from sklearn.pipeline import Pipeline, make_pipeline  # noqa: E402
from sklearn.preprocessing import (MaxAbsScaler, MinMaxScaler, OneHotEncoder,  # noqa: E402
                                   OrdinalEncoder, RobustScaler, StandardScaler)

JOBS = ["clerk", "nurse", "pilot", "retired", "student", "teacher", "welder"]


def credit_frame(seed, n=600, missing=False):
    rng = np.random.default_rng(seed)
    X = pd.DataFrame({
        "income": np.round(rng.lognormal(3.5, 0.6, n), 2),
        "debt": np.round(rng.normal(20, 8, n), 1),
        "job": rng.choice(JOBS, n, p=[0.3, 0.25, 0.02, 0.15, 0.15, 0.1, 0.03]),
        "city": rng.choice(["north", "south"], n),
        "children": rng.integers(0, 5, n),
    })
    score = (np.log(X.income) - X.debt / 25 + 0.6 * X.job.isin(["nurse", "teacher"])
             - 0.4 * (X.city == "south") - 0.1 * X.children + rng.normal(0, 0.3, n))
    y = (score > np.median(score)).astype(int)
    if missing:
        X.loc[rng.random(n) < 0.1, "income"] = np.nan
        X.loc[rng.random(n) < 0.1, "job"] = np.nan
    return X, y


def _xgb(**kw):
    xgb = pytest.importorskip("xgboost")
    return xgb.XGBClassifier(n_estimators=15, max_depth=3, n_jobs=1, **kw)


def _lgb(**kw):
    lgb = pytest.importorskip("lightgbm")
    return lgb.LGBMClassifier(n_estimators=15, num_leaves=8, verbose=-1, n_jobs=1,
                              min_child_samples=5, **kw)


NUM, CAT = ["income", "debt", "children"], ["job", "city"]
SHAPES = {
    "onehot+passthrough -> boosting": lambda: ((), Pipeline([
        ("pre", ColumnTransformer([("cat", OneHotEncoder(handle_unknown="ignore"), CAT)],
                                  remainder="passthrough")),
        ("model", ensemble.GradientBoostingClassifier(n_estimators=20, random_state=0))])),
    "onehot(drop first)+standard -> forest": lambda: ((), make_pipeline(
        ColumnTransformer([("cat", OneHotEncoder(drop="first", sparse_output=False), CAT),
                           ("num", StandardScaler(), NUM)]),
        ensemble.RandomForestClassifier(n_estimators=15, max_depth=5, random_state=0))),
    "onehot(infrequent)+minmax -> xgboost": lambda: ((), make_pipeline(
        ColumnTransformer([("cat", OneHotEncoder(min_frequency=40, sparse_output=False,
                                                 handle_unknown="infrequent_if_exist"), CAT),
                           ("num", MinMaxScaler(), NUM)]), _xgb())),
    "ordinal+robust -> categorical histogram boosting": lambda: ((), make_pipeline(
        ColumnTransformer([("cat", OrdinalEncoder(), CAT), ("num", RobustScaler(), NUM)]),
        ensemble.HistGradientBoostingClassifier(max_iter=15, categorical_features=[0, 1],
                                                random_state=0))),
    "imputers+maxabs+onehot(max_categories), text dropped -> lightgbm": lambda: (
        ("missing", "text"), make_pipeline(
        ColumnTransformer([
            ("num", make_pipeline(SimpleImputer(strategy="median", add_indicator=True),
                                  MaxAbsScaler()), ["income", "debt"]),
            ("cat", make_pipeline(SimpleImputer(strategy="most_frequent"),
                                  OneHotEncoder(max_categories=4, drop="if_binary",
                                                sparse_output=False)), CAT),
            ("drop", "drop", ["children"])]), _lgb())),
    "ordinal(unknown, missing)+plain steps -> tree": lambda: (("missing",), make_pipeline(
        ColumnTransformer([("cat", OrdinalEncoder(handle_unknown="use_encoded_value",
                                                  unknown_value=-1), CAT)],
                          remainder="passthrough"),
        SimpleImputer(strategy="mean"), StandardScaler(),
        tree.DecisionTreeClassifier(max_depth=6, random_state=0))),
    "array of labels: onehot+standard by position -> extra trees": lambda: (
        ("array",), make_pipeline(
        ColumnTransformer([("cat", OneHotEncoder(), [2, 3]),
                           ("num", StandardScaler(), [0, 1, 4])]),
        ensemble.ExtraTreesClassifier(n_estimators=15, max_depth=6, random_state=0))),
    "standard, category columns passed through -> lightgbm": lambda: (
        ("category",), make_pipeline(
        ColumnTransformer([("num", StandardScaler(), NUM)], remainder="passthrough",
                          verbose_feature_names_out=False).set_output(transform="pandas"),
        _lgb())),
}


def probe_rows(ex, X, rng):
    """Random data rows, each label of each categorical column, a missing value in each
    column that takes one, and values at and next to every numeric threshold."""
    schema, flat = ex.schema, ex.adapter.flat
    data = ex.schema.rows(X, "data")[1]
    codes = data[rng.choice(len(data), 200)]
    rows = [codes]
    for j in range(len(schema.names)):
        base = codes[rng.choice(len(codes), 8)]
        if schema.categorical[j]:
            for c in range(int(flat.cardinality[j])):
                rows.append(np.where(np.arange(base.shape[1]) == j, c, base))
        if ex.missing_ok[j]:
            rows.append(np.where(np.arange(base.shape[1]) == j, np.nan, base))
        cuts = flat.threshold[(flat.feature == j) & (flat.node_set < 0)
                              & np.isfinite(flat.threshold)]
        for t in np.unique(cuts):
            near = [t, np.nextafter(t, np.inf), np.nextafter(t, -np.inf)]
            near += [np.nextafter(near[1], np.inf), np.nextafter(near[2], -np.inf)]
            for v in near:
                row = base[0].copy()
                row[j] = v
                rows.append(row[None, :])
    return np.vstack(rows)


@pytest.mark.parametrize("shape", list(SHAPES))
def test_pipeline_shapes_route_and_explain_as_the_pipeline(shape):
    flags, pipeline = SHAPES[shape]()
    X, y = credit_frame(1, missing="missing" in flags)
    if "category" in flags:
        X = X.astype({"job": "category", "city": "category"})
    if "text" in flags:  # a column the pipeline drops
        X["name"] = [f"applicant {i}" for i in range(len(X))]
    array = "array" in flags
    as_input = (lambda frame: frame.to_numpy(dtype=object)) if array else (lambda frame: frame)
    pipeline.fit(as_input(X), y)
    rules = morvel.Rules().freeze("city").increase_only("income")
    ex = morvel.Explainer(pipeline, as_input(X), constraints=rules,
                          features=list(X.columns) if array else None)
    assert ex.feature_names == list(X.columns)
    text = {5} if "text" in flags else set()
    assert set(np.flatnonzero(ex.schema.categorical)) == {2, 3} | text

    # The converted model scores raw rows as the pipeline does.
    rows = probe_rows(ex, X, np.random.default_rng(2))
    ours = ex.ensemble.raw_score_batch(np.ascontiguousarray(rows))
    theirs = ex.adapter.raw(ex.schema.library_input(rows))
    xgboost = ex.adapter.library == "xgboost"
    np.testing.assert_allclose(ours, theirs, rtol=1e-5 if xgboost else 1e-12,
                               atol=1e-5 if xgboost else 1e-12)

    # Counterfactuals in raw columns and labels, accepted by the pipeline itself.
    factual = X[pipeline.predict(as_input(X)) == 0].iloc[:6]
    out = ex.explain_many(as_input(factual), desired_class=1, time_budget_s=5.0)
    assert out.found.all() and out.optimal.all()
    cfs = out[ex.feature_names].set_axis(factual.index)
    assert (pipeline.predict(as_input(cfs)) == 1).all()
    assert (cfs.city == factual.city).all()
    assert (cfs.income.fillna(np.inf) >= factual.income.fillna(-np.inf)).all()
    assert set(cfs.job.dropna()) <= set(JOBS)
    if "text" in flags:
        assert (cfs.name == factual.name).all()
    if not array:
        assert cfs.children.dtype == X.children.dtype
    cf = ex.explain(as_input(factual)[0] if array else factual.iloc[0], desired_class=1)
    assert set(cf.changes.feature) <= set(X.columns)
    if hasattr(morvel.core, "compute_region_raw"):
        box = region_sample(ex, cf, np.random.default_rng(3), 200)
        assert (pipeline.predict(as_input(box)) == 1).all()


def region_sample(ex, cf, rng, n):
    """n rows drawn from the counterfactual's certified region, in raw columns and labels
    (infinite sides cut at ten scales from the counterfactual)."""
    table = cf.region().to_frame().set_index("feature")
    assert list(table.index) == ex.feature_names
    columns = {}
    for j, name in enumerate(ex.feature_names):
        row = table.loc[name]
        if ex.schema.categorical[j]:
            labels = rng.choice(np.asarray(row.categories, dtype=object), n)
            dtype = (ex.schema.dtypes or {}).get(name)
            columns[name] = (pd.Categorical(labels, dtype=dtype)
                             if isinstance(dtype, pd.CategoricalDtype) else labels)
        elif np.isnan(cf.values[j]):
            columns[name] = np.full(n, np.nan)
        else:
            low = row.low if np.isfinite(row.low) else cf.values[j] - 10 * ex.sigma[j]
            high = row.high if np.isfinite(row.high) else cf.values[j] + 10 * ex.sigma[j]
            columns[name] = np.append(rng.uniform(low, high, n - 2), [low, high])
    return pd.DataFrame(columns)


def test_unsupported_unfitted_and_unknown_are_refused_before_native_code(monkeypatch):
    from sklearn.base import clone
    from sklearn.decomposition import PCA
    from sklearn.preprocessing import FunctionTransformer, KBinsDiscretizer

    X, y = credit_frame(3, n=300)
    boost = ensemble.GradientBoostingClassifier(n_estimators=5, random_state=0)
    numbers = X[NUM]

    def fitted(*steps, data=numbers):
        return make_pipeline(*steps, clone(boost)).fit(data, y)

    onehot = ColumnTransformer([("cat", OneHotEncoder(), CAT)], remainder="passthrough")
    cases = [
        (lambda: fitted(ColumnTransformer([("num", FunctionTransformer(np.tanh), NUM)])),
         r"'columntransformer/num' \(FunctionTransformer\) is not supported; supported "
         r"steps: ColumnTransformer, OneHotEncoder"),
        (lambda: fitted(PCA(2)), r"'pca' \(PCA\).*supported steps"),
        (lambda: fitted(KBinsDiscretizer(n_bins=3)), r"'kbinsdiscretizer'.*supported steps"),
        (lambda: fitted(SimpleImputer(missing_values=-1)), "missing_values=-1"),
        (lambda: fitted(StandardScaler(), OrdinalEncoder()), "encoders must read raw columns"),
        (lambda: Pipeline([("enc", clone(onehot)), ("model", fitted())]), r"'enc'.*not fitted"),
        (lambda: make_pipeline(onehot, ensemble.RandomForestClassifier()),
         "RandomForestClassifier is not fitted"),
    ]
    if importlib.util.find_spec("xgboost"):
        sparse = ColumnTransformer([("cat", OneHotEncoder(), CAT)], remainder="passthrough",
                                   sparse_threshold=1.0)
        cases.append((lambda: make_pipeline(sparse, _xgb()).fit(X, y), "sparse"))
    import morvel.models.flat as flat_module
    import morvel.search.row as search

    class Guard:
        def __getattr__(self, name):
            raise AssertionError(f"native {name} reached")

    ok = fitted(onehot, data=X)
    ex = morvel.Explainer(ok, X)
    monkeypatch.setattr(flat_module, "_morvel_core", Guard())
    monkeypatch.setattr(search, "core", Guard())
    for make, match in cases:
        with pytest.raises(ValueError, match=match):
            morvel.Explainer(make(), X)
    unknown = X.iloc[0].replace({X.job.iloc[0]: "astronaut"})
    with pytest.raises(ValueError, match="'job'.*'astronaut'.*not seen in training"):
        ex.explain(unknown, desired_class=1)
    with pytest.raises(ValueError, match="'job'.*'astronaut'"):
        morvel.Explainer(ok, pd.concat([X, unknown.to_frame().T]))
