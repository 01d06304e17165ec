"""Multi-class models and counterfactuals that several models must accept, checked by the
libraries themselves: every returned row is predicted as the target by each model's own
`predict`/`predict_proba`, keeps the rules, and costs what the cheapest row of a brute
force over every cell costs, the cells' rows judged by the libraries' predictions alone;
every box of the row's region is predicted as the target too."""
import json
import math
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import morvel

pytest.importorskip("sklearn")
from sklearn import ensemble  # noqa: E402
from sklearn.compose import ColumnTransformer  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import OneHotEncoder, StandardScaler  # noqa: E402

# Every check here also runs with the Lagrangian bound on from the root box.
pytestmark = pytest.mark.usefixtures("lagrange_gate")

LABELS = np.array(["low", "mid", "high"])
FREE = ["x0", "x1"]  # the columns a counterfactual may change; the others are frozen


def three_classes(seed, n=500):
    rng = np.random.default_rng(seed)
    X = pd.DataFrame(np.round(rng.normal(size=(n, 3)), 3), columns=["x0", "x1", "x2"])
    X["group"] = rng.choice(["a", "b", "c"], n)
    score = X.x0 + 0.8 * X.x1 - 0.5 * X.x2 + 0.4 * (X.group == "b") + rng.normal(0, 0.4, n)
    return X, LABELS[np.digitize(score, np.quantile(score, [0.35, 0.7]))]


def codes(y):
    return pd.Categorical(y, categories=LABELS).codes


def _xgb(**kw):
    xgb = pytest.importorskip("xgboost")
    return xgb.XGBClassifier(n_estimators=8, max_depth=3, n_jobs=1, **kw)


def _lgb(**kw):
    lgb = pytest.importorskip("lightgbm")
    return lgb.LGBMClassifier(n_estimators=8, num_leaves=6, verbose=-1, n_jobs=1, **kw)


def _onehot(model):
    return make_pipeline(ColumnTransformer([("cat", OneHotEncoder(), ["group"]),
                                            ("num", StandardScaler(), ["x0", "x1", "x2"])]),
                         model)


NUMERIC = ["x0", "x1", "x2"]
# name: (model factory, the columns it reads, whether its labels are the class names)
KINDS = {
    "forest": lambda: ensemble.RandomForestClassifier(n_estimators=12, max_depth=4,
                                                      random_state=0),
    "extra trees": lambda: ensemble.ExtraTreesClassifier(n_estimators=12, max_depth=4,
                                                         random_state=0),
    "gradient boosting": lambda: ensemble.GradientBoostingClassifier(n_estimators=8,
                                                                     max_depth=2,
                                                                     random_state=0),
    "histogram boosting": lambda: ensemble.HistGradientBoostingClassifier(max_iter=8,
                                                                          max_depth=3),
    "xgboost": lambda: _xgb(),
    "lightgbm": lambda: _lgb(),
    "lightgbm one-vs-rest": lambda: _lgb(objective="multiclassova"),
    "pipeline -> forest": lambda: _onehot(ensemble.RandomForestClassifier(
        n_estimators=10, max_depth=4, random_state=1)),
    "pipeline -> lightgbm": lambda: _onehot(_lgb()),
}


def fitted(kind, X, y):
    model = KINDS[kind]()
    if kind == "xgboost":  # it takes class indices
        return model.fit(X[NUMERIC], codes(y)), NUMERIC
    if kind.startswith("pipeline"):
        return model.fit(X, y), list(X.columns)
    return model.fit(X[NUMERIC], y), NUMERIC


def labels_of(model):
    return list(model.classes_)


def accepted(models, target, rows):
    """Whether every (model, columns) pair's library predicts the target for `rows`."""
    ok = np.ones(len(rows), dtype=bool)
    for model, cols in models:
        frame = rows[cols]
        if target.kind == "class":
            ok &= np.asarray(model.predict(frame)).ravel() == target.label
        else:
            k = labels_of(model).index(target.label)
            p = model.predict_proba(frame)[:, k]
            ok &= (p >= target.lo) & (p <= target.hi)
    return ok


def cell_values(ex, j, x):
    """x and, around every threshold of feature j in every model, the doubles on both
    sides: the cheapest row of each cell takes one of them."""
    values = {x}
    for flat in ex.flats:
        for t in flat.threshold[flat.feature == j]:
            if math.isfinite(t):
                values |= {t, np.nextafter(t, -np.inf), np.nextafter(t, np.inf)}
    return np.array(sorted(values))


def repeated(row: pd.Series, n: int) -> pd.DataFrame:
    return pd.DataFrame({c: np.full(n, v, dtype=object if isinstance(v, str) else float)
                         for c, v in row.items()})


def brute_force(ex, models, target, factual: pd.Series) -> float:
    """The cheapest change of the free columns that every library accepts."""
    j0, j1 = (ex.feature_names.index(c) for c in FREE)
    a, b = (cell_values(ex, j, factual[c]) for j, c in zip((j0, j1), FREE))
    grid = repeated(factual, len(a) * len(b))
    grid["x0"], grid["x1"] = np.repeat(a, len(b)), np.tile(b, len(a))
    ok = accepted(models, target, grid)
    cost = (np.abs(grid.x0 - factual.x0) / ex.sigma[j0] * (grid.x0 != factual.x0)
            + np.abs(grid.x1 - factual.x1) / ex.sigma[j1] * (grid.x1 != factual.x1))
    return float(cost[ok].min()) if ok.any() else math.inf


def check(ex, models, target, X, rows):
    """The results of `rows` of `X` (the explained model's columns) against the libraries
    and the brute force."""
    exact = not (target.kind == "proba" and any(
        "softmax" == getattr(ex.adapters[i].scores, "link", "") for i in range(len(models))))
    for i in rows:
        factual = X.iloc[i]
        cf = ex.explain(factual, target)
        best = brute_force(ex, models, target, factual)
        if cf.status == "already_valid":
            assert best == 0.0
            continue
        if math.isinf(best) and exact:
            assert cf.status == "infeasible"
            continue
        assert cf.status == "found", (i, cf)
        row = cf.counterfactual.to_frame().T.astype(X.dtypes)
        assert accepted(models, target, row).all()
        assert (row.drop(columns=FREE).iloc[0] == factual.drop(FREE)).all()
        assert cf.distance >= best * (1 - 1e-12)
        if exact:
            assert cf.optimal and cf.distance <= best * (1 + ex.readable_rtol) + 1e-12
        else:  # a sufficient condition: valid, never claimed optimal
            assert not cf.optimal and math.isnan(cf.lower_bound)
        table = cf.region().table.set_index("feature")
        rng = np.random.default_rng(i)
        box = repeated(row.iloc[0], 64)
        for c in FREE:
            lo, hi = np.clip(table.loc[c, ["low", "high"]].astype(float), -10, 10)
            box[c] = np.concatenate([[lo, hi], rng.uniform(lo, hi, 62)])
        assert accepted(models, target, box).all()


@pytest.mark.parametrize("kind", list(KINDS))
def test_class_and_probability_targets_by_the_libraries_and_a_brute_force(kind):
    X, y = three_classes(0)
    model, cols = fitted(kind, X, y)
    ex = morvel.Explainer(model, X[cols], constraints=morvel.Rules().freeze(
        *[c for c in cols if c not in FREE]))
    labels = labels_of(model)
    predicted = np.asarray(model.predict(X[cols]))
    for k, label in enumerate(labels):
        # Rows predicted as the class before and after this one: both sides of the tie rule.
        rows = np.flatnonzero(predicted != label)[:2]
        check(ex, [(model, cols)], morvel.desired_class(label), X[cols], rows)
    check(ex, [(model, cols)], morvel.probability(of=labels[1]) >= 0.6, X[cols],
          np.flatnonzero(predicted != labels[1])[:2])


def test_joint_counterfactuals_hold_for_every_model_and_cost_what_a_brute_force_finds():
    X, y = three_classes(1)
    rng = np.random.default_rng(2)
    models = []
    for kind in ("histogram boosting", "forest", "lightgbm"):
        pick = rng.integers(0, len(X), len(X))  # a bootstrap sample each
        models.append(fitted(kind, X.iloc[pick], y[pick]))
    binary = ensemble.GradientBoostingClassifier(n_estimators=10, max_depth=2).fit(
        X[NUMERIC], np.where(y == "high", "high", "other"))
    models.append((binary, NUMERIC))
    free = morvel.Rules().freeze("x2")
    main = models[0][0]
    ex = morvel.Explainer(main, X[NUMERIC], constraints=free,
                          also_valid_for=[m for m, _ in models[1:]])
    assert "also valid for 3 models" in repr(ex)
    alone = morvel.Explainer(main, X[NUMERIC], constraints=free)
    rows = np.flatnonzero(main.predict(X[NUMERIC]) != "high")[:4]
    check(ex, models, morvel.desired_class("high"), X[NUMERIC], rows)
    for i in rows:  # the joint row never costs less than the explained model's own
        joint, single = (e.explain(X.iloc[i][NUMERIC], desired_class="high") for e in (ex, alone))
        assert joint.distance >= single.distance - 1e-12


@pytest.mark.parametrize("kinds", [("xgboost",), ("forest", "lightgbm one-vs-rest")])
def test_explain_many_alternatives_and_change_caps_on_multi_class_models(kinds, monkeypatch):
    """Batches of class and class-probability targets, alone and jointly: every row is
    the target by each library, at most two features change, the alternatives of a row
    are cheapest first and none changes all that an earlier one changes; a batch asks
    each library once."""
    X, y = three_classes(5)
    models = [fitted(kind, X, y) for kind in kinds]
    main = models[0][0]
    label = "high" if "high" in labels_of(main) else 2  # XGBoost's classes are the codes
    ex = morvel.Explainer(main, X[NUMERIC], also_valid_for=[m for m, _ in models[1:]])
    rows = X[NUMERIC].iloc[np.flatnonzero(main.predict(X[NUMERIC]) != label)[:6]]
    long = ex.explain_many(rows, desired_class=label, alternatives=3, max_changes=2)
    assert long.groupby("row").found.all().all() and set(long.row) == set(rows.index)
    moved = long[NUMERIC].to_numpy() != rows.loc[long.row].to_numpy()
    assert accepted(models, morvel.desired_class(label), long[NUMERIC]).all()
    assert (moved.sum(axis=1) <= 2).all() and moved.any(axis=1).all()
    for r in rows.index:
        mine = np.flatnonzero(long.row == r)
        sets = [frozenset(np.flatnonzero(moved[k])) for k in mine]
        assert all(not a <= b for i, b in enumerate(sets) for a in sets[:i])
        d = long.distance.to_numpy()[mine]
        assert (d[1:] >= d[:-1] * (1 - 2e-3) - 1e-12).all()

    calls = []
    for model, _ in models:
        monkeypatch.setattr(model, "predict", lambda X, f=model.predict: calls.append(1) or f(X))
    for forest in (a.forest for a in ex.adapters if a.forest is not None):  # asked by trees
        monkeypatch.setattr(forest, "values", lambda X, f=forest.values: calls.append(1) or f(X))
    plain = ex.explain_many(rows, desired_class=label, max_changes=2)
    assert len(calls) == len(models) and plain.found.all()
    np.testing.assert_allclose(plain.distance, long.distance[long["rank"] == 1], rtol=2e-3)
    p = ex.explain_many(rows, morvel.probability(of=label) >= 0.6)
    found = p[p.found]
    assert len(found) >= len(rows) - 1
    assert accepted(models, morvel.probability(of=label) >= 0.6, found[NUMERIC]).all()
    # Exact for forests and one-vs-rest models; a softmax model's is a sufficient condition.
    assert set(found.optimal) == {kinds[0] == "forest"}


def test_unknown_labels_and_mismatched_models_are_refused_before_any_search(monkeypatch):
    X, y = three_classes(3)
    model, _ = fitted("forest", X, y)
    ex = morvel.Explainer(model, X[NUMERIC])
    other_columns = ensemble.RandomForestClassifier(n_estimators=3).fit(X[["x0", "x1"]], y)
    categories = _lgb().fit(X[NUMERIC].assign(x2=pd.Categorical(X.x2 > 0)), y)
    regressor = ensemble.RandomForestRegressor(n_estimators=3).fit(X[NUMERIC], X.x0)

    import morvel.search.row as search

    class Guard:
        def __getattr__(self, name):
            raise AssertionError(f"native {name} reached")

    monkeypatch.setattr(search, "core", Guard())
    cases = [
        (lambda: ex.explain(X.iloc[0][NUMERIC], desired_class="top"), "desired_class='top'"),
        (lambda: ex.explain(X.iloc[0][NUMERIC], morvel.probability(of="top") >= 0.5),
         "of='top'"),
        (lambda: ex.explain(X.iloc[0][NUMERIC], "proba>=0.5"), "name the class"),
        (lambda: ex.explain(X.iloc[0][NUMERIC], "raw>=0"), "3 classes"),
        (lambda: ex.explain_many(X[NUMERIC].iloc[:2], "proba(top)>=0.5"), "of='top'"),
        (lambda: ex.explain_many(X[NUMERIC].iloc[:2], desired_class="top", alternatives=2,
                                 max_changes=1), "desired_class='top'"),
        (lambda: morvel.Explainer(model, X[NUMERIC], also_valid_for=[other_columns]),
         r"also_valid_for\[0\]"),
        (lambda: morvel.Explainer(model, X[NUMERIC].assign(x2=pd.Categorical(X.x2 > 0)),
                                  also_valid_for=[categories]), "also_valid_for.*'x2'"),
        (lambda: morvel.Explainer(model, X[NUMERIC], also_valid_for=[regressor]).explain(
            X.iloc[0][NUMERIC], desired_class="high"), r"also_valid_for\[0\].*regressor"),
        (lambda: morvel.Explainer(model, X[NUMERIC], also_valid_for=[
            _xgb().fit(X[NUMERIC], codes(y))]).explain(
            X.iloc[0][NUMERIC], desired_class="high"), r"also_valid_for\[0\].*'high'"),
    ]
    for call, match in cases:
        with pytest.raises(ValueError, match=match):
            call()
    with pytest.raises(TypeError, match="also_valid_for"):
        morvel.Explainer(model, X[NUMERIC], also_valid_for=model)


def test_cli_reads_class_and_class_probability_targets(tmp_path):
    lgb = pytest.importorskip("lightgbm")
    X, y = three_classes(4)
    booster = _lgb().fit(X[NUMERIC], codes(y)).booster_
    booster.save_model(str(tmp_path / "model.txt"))
    X[NUMERIC].to_csv(tmp_path / "rows.csv", index=False)
    rows = np.flatnonzero(booster.predict(X[NUMERIC])[:, 2] < 0.3)[:3]
    library = lgb.Booster(model_file=str(tmp_path / "model.txt"))
    for target in ("proba(2) >= 0.5", "class=2"):
        out = subprocess.run(
            [sys.executable, "-m", "morvel", "explain", "--model", "model.txt", "--data",
             "rows.csv", "--rows", ",".join(map(str, rows)), "--target", target,
             "--out", "out.json"], cwd=tmp_path, capture_output=True, text=True)
        assert out.returncode == 0, out.stderr
        records = json.loads((tmp_path / "out.json").read_text())
        found = pd.DataFrame([r["counterfactual"] for r in records if r["found"]])
        assert len(found) == len(rows)
        p = library.predict(found[NUMERIC])
        said = [r["prediction"] for r in records]
        if target == "class=2":
            assert (p.argmax(axis=1) == 2).all() and said == [2] * len(rows)
        else:
            assert (p[:, 2] >= 0.5).all()
            np.testing.assert_allclose(p[:, 2], said)
