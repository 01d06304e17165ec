"""Bad input is refused with a message naming the column or argument before any native
solver runs; category labels go in and come out as labels."""
import math

import numpy as np
import pandas as pd
import pytest

import morvel

pytest.importorskip("sklearn")
from sklearn.ensemble import (GradientBoostingClassifier, HistGradientBoostingClassifier,  # noqa: E402
                              RandomForestClassifier, RandomForestRegressor)


@pytest.fixture
def no_solver(monkeypatch):
    """Fails the test if a native solver is reached."""
    class Guard:
        def __getattr__(self, name):
            raise AssertionError(f"native {name} reached")
    import morvel.search.row as search
    monkeypatch.setattr(search, "core", Guard())


@pytest.fixture(scope="module")
def numeric():
    rng = np.random.default_rng(5)
    X = pd.DataFrame(rng.normal(size=(300, 3)), columns=["age", "income", "debt"])
    y = (X.income - X.debt > 0).astype(int)
    return X, GradientBoostingClassifier(n_estimators=10, random_state=0).fit(X, y)


def test_bad_rows_and_targets_are_refused_before_the_solver(numeric, no_solver):
    X, model = numeric
    ex = morvel.Explainer(model, X)
    row = X.iloc[0].copy()
    cases = [
        (dict(row=row.rename({"age": "agee"}), target=1), ValueError, "'agee'"),
        (dict(row=row.drop("debt"), target=1), ValueError, "'debt'"),
        (dict(row=row.replace({row.income: np.nan}), target=1), ValueError,
         "'income'.*missing.*GradientBoostingClassifier"),
        (dict(row=row.replace({row.debt: np.inf}), target=1), ValueError, "'debt'.*infinite"),
        (dict(row={"age": 1, "income": "lots", "debt": 0}, target=1), ValueError,
         "'income'.*'lots'"),
        (dict(row=X.to_numpy()[0, :2], target=1), ValueError, "2 columns.*3 features"),
        (dict(row=row, target=7), ValueError, "desired_class=7.*classes: 0, 1"),
        (dict(row=row, target="proba>=1.5"), ValueError, r"\[0, 1\]"),
        (dict(row=row, target="proba>=nan"), ValueError, "NaN"),
        (dict(row=row, target="proba>=1"), ValueError, "cannot be reached"),
        (dict(row=row, target=(0.5, 1)), TypeError, "proba_range"),
        (dict(row=row, target="odds>3"), ValueError, "cannot read the target"),
        (dict(row=row, target=1, node_budget=-1), ValueError, "node_budget"),
        (dict(row=row, target=1, time_budget_s=math.nan), ValueError, "time_budget_s"),
        (dict(row=row, target=1, gap=-0.1), ValueError, "gap"),
        (dict(row=row, target=1, budget=5), TypeError, "unknown option.*budget"),
        (dict(row=row, target=1, method="milp"), ValueError, "method"),
        (dict(row=row, target=1, search="fast"), ValueError, "search"),
    ]
    for kwargs, error, match in cases:
        with pytest.raises(error, match=match):
            ex.explain(**kwargs)
    with pytest.raises(ValueError, match="NaN"):
        morvel.proba_range(math.nan, 1.0)
    with pytest.raises(ValueError, match="empty"):
        morvel.raw_range(2.0, 1.0)
    with pytest.raises(ValueError, match="lo is inf"):
        morvel.raw_score >= math.inf


def test_bad_models_and_data_are_refused(numeric):
    X, model = numeric
    cases = [
        (lambda: morvel.Explainer(RandomForestClassifier(), X), ValueError, "not fitted"),
        (lambda: morvel.Explainer(model, X.iloc[:, :2]), ValueError, "'debt'"),
        (lambda: morvel.Explainer(model, X.to_numpy()[:, :2]), ValueError, "3 features"),
        (lambda: morvel.Explainer(model, X.rename(columns={"age": "years"})), ValueError,
         "'years'"),
        (lambda: morvel.Explainer(model, X, scale={"income": 0}), ValueError, "scale"),
        (lambda: morvel.Explainer(model, X, weights=[1, -1, 1]), ValueError, "weights"),
        (lambda: morvel.Explainer(model, X, lam=math.nan), ValueError, "lam"),
        (lambda: morvel.Explainer(model, X, plausibility="lof"), ValueError, "plausibility"),
        (lambda: morvel.Explainer(model, X, constraints={"freeze": ["age"]}), TypeError,
         "Rules"),
        (lambda: morvel.Explainer(model, X, constraints=morvel.Rules().allow_missing("age")),
         ValueError, "cannot take missing"),
    ]
    for make, error, match in cases:
        with pytest.raises(error, match=match):
            make()
    regressor = RandomForestRegressor(n_estimators=3, random_state=0).fit(X, X.income)
    with pytest.raises(ValueError, match="regressor"):
        morvel.Explainer(regressor, X).explain(X.iloc[0], "proba>=0.5")


def category_frame(seed, n=400):
    rng = np.random.default_rng(seed)
    X = pd.DataFrame({
        "income": np.round(rng.normal(50, 15, n), 1),
        "job": pd.Categorical(rng.choice(["clerk", "nurse", "retired", "student"], n)),
        "years": rng.integers(0, 30, n).astype(float),
    })
    y = ((X.job.isin(["nurse", "clerk"]) & (X.income > 45)) | (X.years > 25)).astype(int)
    return X, y


@pytest.mark.parametrize("library", ["sklearn", "lightgbm", "xgboost"])
def test_category_labels_round_trip(library):
    X, y = category_frame(8)
    if library == "sklearn":
        model = HistGradientBoostingClassifier(max_iter=15, random_state=0).fit(X, y)
    elif library == "lightgbm":
        lgb = pytest.importorskip("lightgbm")
        model = lgb.LGBMClassifier(n_estimators=15, num_leaves=8, verbose=-1, n_jobs=1,
                                   min_child_samples=5).fit(X, y)
    else:
        xgb = pytest.importorskip("xgboost")
        model = xgb.XGBClassifier(n_estimators=15, max_depth=3, enable_categorical=True,
                                  tree_method="hist", n_jobs=1).fit(X, y)
    rules = morvel.Rules().allowed_categories("job", ["clerk", "nurse", "student"])
    ex = morvel.Explainer(model, X, constraints=rules)
    rows = X[(model.predict(X) == 0) & (X.job == "student")].iloc[:6]
    out = ex.explain_many(rows, desired_class=1)
    assert out.found.all()
    assert isinstance(out.job.dtype, pd.CategoricalDtype)
    assert set(out.job) <= {"clerk", "nurse", "student"}
    assert (model.predict(out[ex.feature_names]) == 1).all()
    cf = ex.explain(rows.iloc[0], desired_class=1)
    assert cf.counterfactual.job in ("clerk", "nurse", "student")
    if cf.counterfactual.job != "student":
        change = cf.changes.set_index("feature").loc["job"]
        assert change["from"] == "student" and change.to == cf.counterfactual.job
    with pytest.raises(ValueError, match="'job'.*'pilot'.*not seen in training"):
        ex.explain(rows.iloc[0].replace({"student": "pilot"}), desired_class=1)
    with pytest.raises(ValueError, match="'pilot'"):
        morvel.Explainer(model, X, constraints=morvel.Rules().allowed_categories(
            "job", ["pilot"]))


@pytest.mark.parametrize("library", ["sklearn", "lightgbm", "xgboost", "catboost"])
def test_every_label_round_trips_also_those_no_split_names(library):
    """Two-label and many-label columns that barely matter to the model (most labels in
    no split, four categories in no training row): every label goes in and comes out as
    itself, and whole-number columns keep their integer dtype."""
    rng = np.random.default_rng(12)
    n = 500
    cities = [f"city {k}" for k in range(14)]
    X = pd.DataFrame({
        "gender": pd.Categorical(rng.choice(["Female", "Male"], n)),
        "city": pd.Categorical(rng.choice(cities[:10], n), categories=cities),
        "income": np.round(rng.normal(50, 15, n), 1),
        "children": rng.integers(0, 4, n),
    })
    y = (X.income + 5 * X.children + rng.normal(0, 3, n) > 62).astype(int)
    if library == "sklearn":
        model = HistGradientBoostingClassifier(max_iter=15, random_state=0).fit(X, y)
        labels = cities[:10]  # the model knows only the categories it saw
    elif library == "lightgbm":
        lgb = pytest.importorskip("lightgbm")
        model = lgb.LGBMClassifier(n_estimators=15, num_leaves=8, verbose=-1, n_jobs=1).fit(X, y)
        labels = cities
    elif library == "xgboost":
        xgb = pytest.importorskip("xgboost")
        model = xgb.XGBClassifier(n_estimators=15, max_depth=3, enable_categorical=True,
                                  tree_method="hist", n_jobs=1).fit(X, y)
        labels = cities
    else:
        cb = pytest.importorskip("catboost")
        model = cb.CatBoostClassifier(iterations=15, depth=3, one_hot_max_size=16, verbose=0,
                                      thread_count=1, allow_writing_files=False,
                                      cat_features=["gender", "city"]).fit(X, y)
        labels = cities
    ex = morvel.Explainer(model, X, constraints=morvel.Rules().freeze("gender", "city"))
    rows = X[model.predict(X) == 0].iloc[:len(labels)].copy()
    rows["city"] = pd.Categorical(labels[:len(rows)], categories=cities)
    rows["gender"] = pd.Categorical(np.resize(["Male", "Female"], len(rows)),
                                    categories=X.gender.cat.categories)
    out = ex.explain_many(rows, desired_class=1)
    assert out.found.all()
    assert (model.predict(out[ex.feature_names]) == 1).all()
    for col in ("gender", "city"):
        assert out[col].dtype == X[col].dtype
        assert (out[col] == rows[col]).all()
    assert out.children.dtype == X.children.dtype
    cf = ex.explain(rows.iloc[-1], desired_class=1)
    assert cf.counterfactual.city == rows.city.iloc[-1]
    assert isinstance(cf.counterfactual.children, (int, np.integer))


def test_missing_values_snapping_and_label_rules():
    X, y = category_frame(9, 600)
    rng = np.random.default_rng(1)
    X.loc[rng.random(len(X)) < 0.1, "income"] = np.nan
    model = HistGradientBoostingClassifier(max_iter=15, random_state=0).fit(X, y)
    rules = (morvel.Rules().allow_missing("income", cost_to=5.0, cost_from=5.0)
             .snap_to_data("years").implies("job", "student", "years", 0)
             .allowed_categories("job", ["clerk", "nurse", "student"]))
    ex = morvel.Explainer(model, X, constraints=rules)
    assert ex.supports_missing
    rows = X[(model.predict(X) == 0) & X.income.isna()].iloc[:4]
    rows = pd.concat([rows, X[(model.predict(X) == 0) & X.income.notna()].iloc[:4]])
    out = ex.explain_many(rows, desired_class=1)
    assert out.found.all() and (model.predict(out[ex.feature_names]) == 1).all()
    seen_years = set(X.years)
    for idx, res in out.iterrows():
        assert res.years in seen_years
        assert res.job != "student" or res.years == 0
        assert res.job in ("clerk", "nurse", "student")
    # Filling in a missing income costs its charge: 5 income units over the income scale.
    filled = out[rows.income.isna().to_numpy() & out.income.notna().to_numpy()]
    for idx, res in filled.iterrows():
        assert res.distance >= 5.0 / ex.sigma[0] - 1e-9
    pinned = morvel.Explainer(model, X, constraints=morvel.Rules().equals("job", "nurse"))
    cf = pinned.explain(rows.iloc[-1], desired_class=1)
    assert cf.found and cf.counterfactual.job == "nurse"
