"""The Explainer end to end: its results against the raw entries and the libraries' own
predictions, result types, batches, budgets and pickling."""
import copy
import math
import pickle

import numpy as np
import pandas as pd
import pytest

import morvel
from morvel import core

sklearn = pytest.importorskip("sklearn")
from sklearn.datasets import load_wine  # noqa: E402
from sklearn.ensemble import (GradientBoostingClassifier, HistGradientBoostingClassifier,  # noqa: E402
                              RandomForestClassifier, RandomForestRegressor)

has_genetic = pytest.mark.skipif(not hasattr(core, "solve_genetic_raw"),
                                 reason="the genetic solver is not in this build")


def rejected(model, X, n):
    return X[model.predict(X) == 0].iloc[:n]


def mad_scales(X):
    values = X.to_numpy(dtype=float)
    mad = np.median(np.abs(values - np.median(values, axis=0)), axis=0)
    std = values.std(axis=0)
    return np.where(mad > 0, mad, np.where(std > 0, std, 1.0))


def test_results_equal_the_raw_exact_entry(cancer):
    X, _, model = cancer
    rules = morvel.Rules().freeze("mean radius").increase_only("mean texture").range(
        "mean area", 300, 900)
    ex = morvel.Explainer(model, X, constraints=rules)
    names = list(X.columns)
    n = len(names)
    u32, f64 = np.uint32, np.float64
    constraints = core.RustConstraints(
        n, freeze=np.array([0], u32), range_idx=np.array([names.index("mean area")], u32),
        range_lo=np.array([300.0]), range_hi=np.array([900.0]), equals_idx=np.zeros(0, u32),
        equals_val=np.zeros(0), mono_idx=np.array([1], u32), mono_dir=np.array([1], np.int8),
        lin_offsets=np.zeros(1, u32), lin_indices=np.zeros(0, u32), lin_coefs=np.zeros(0),
        lin_op=np.zeros(0, np.uint8), lin_rhs=np.zeros(0), lin_policy=np.zeros(0, np.uint8),
        imp_cond_idx=np.zeros(0, u32), imp_cond_val=np.zeros(0), imp_cons_idx=np.zeros(0, u32),
        imp_cons_val=np.zeros(0), oh_offsets=np.zeros(0, u32), oh_indices=np.zeros(0, u32),
        am_idx=np.zeros(0, u32), am_to=np.zeros(0), am_from=np.zeros(0))
    ensemble = morvel.convert(model).to_core()
    policies = (np.zeros(n, np.uint8), np.zeros(n), np.zeros(n))
    for _, row in rejected(model, X, 5).iterrows():
        x = row.to_numpy(dtype=f64)
        raw = core.solve_exact_raw(ensemble, constraints, x, 0.0, math.inf, mad_scales(X),
                                   np.ones(n), 0.0, *policies, search="refine")
        cf = ex.explain(row, desired_class=1, readable=False)
        assert cf.optimal and raw[2] == "optimal"
        assert cf.distance == pytest.approx(raw[1], rel=1e-9)
        np.testing.assert_array_equal(cf.counterfactual.to_numpy(dtype=f64), raw[0])
        readable = ex.explain(row, desired_class=1)
        assert readable.optimal and readable.distance <= raw[1] * (1 + 1e-3) + 1e-12


@pytest.mark.parametrize("kind", ["forest", "gb", "hgb", "xgboost", "lightgbm"])
def test_class_and_probability_targets_hold_by_the_library(kind):
    X, y = load_wine(return_X_y=True, as_frame=True)
    y = (y == 0).astype(int)
    if kind == "forest":
        model = RandomForestClassifier(n_estimators=40, max_depth=4, random_state=0)
    elif kind == "gb":
        model = GradientBoostingClassifier(n_estimators=20, random_state=0)
    elif kind == "hgb":
        model = HistGradientBoostingClassifier(max_iter=20, random_state=0)
    elif kind == "xgboost":
        xgb = pytest.importorskip("xgboost")
        model = xgb.XGBClassifier(n_estimators=20, max_depth=3, n_jobs=1)
    else:
        lgb = pytest.importorskip("lightgbm")
        model = lgb.LGBMClassifier(n_estimators=20, num_leaves=8, verbose=-1, n_jobs=1)
    model.fit(X, y)
    ex = morvel.Explainer(model, X)
    rows = rejected(model, X, 10)
    for target, check in ((morvel.desired_class(1), lambda cf: model.predict(cf) == 1),
                          (morvel.probability >= 0.7,
                           lambda cf: model.predict_proba(cf)[:, 1] >= 0.7)):
        out = ex.explain_many(rows, target, time_budget_s=5.0)
        assert out.found.all() and out.optimal.all()
        assert check(out[ex.feature_names]).all()


def test_forest_class_boundary_is_strict():
    """A forest's probability of exactly one half is class 0: rows must clear it."""
    X, y = load_wine(return_X_y=True, as_frame=True)
    y = (y == 0).astype(int)
    model = RandomForestClassifier(n_estimators=10, max_depth=3, random_state=1).fit(X, y)
    ex = morvel.Explainer(model, X)
    out = ex.explain_many(rejected(model, X, 10), desired_class=1)
    proba = model.predict_proba(out[ex.feature_names])[:, 1]
    assert (proba > 0.5).all() and (model.predict(out[ex.feature_names]) == 1).all()


def test_result_types_follow_the_input(cancer):
    X, _, model = cancer
    ex = morvel.Explainer(model, X)
    row = rejected(model, X, 1)
    as_series = ex.explain(row.iloc[0], desired_class=1)
    assert isinstance(as_series.counterfactual, pd.Series)
    assert as_series.counterfactual.name == row.index[0]
    as_frame = ex.explain(row, desired_class=1)
    assert isinstance(as_frame.counterfactual, pd.DataFrame)
    assert list(as_frame.counterfactual.index) == list(row.index)
    as_array = ex.explain(row.to_numpy()[0], desired_class=1)
    assert isinstance(as_array.counterfactual, np.ndarray)
    as_dict = ex.explain(dict(row.iloc[0]), desired_class=1)
    assert set(as_dict.counterfactual) == set(X.columns)
    # A non-contiguous slice of an array is a fine row.
    sliced = ex.explain(X.to_numpy()[:, :][row.index[0]], desired_class=1)
    np.testing.assert_array_equal(sliced.values, as_array.values)
    assert as_series.distance == as_frame.distance == as_array.distance
    changed = as_series.changes
    assert list(changed.columns) == ["feature", "from", "to"] and len(changed) > 0
    for _, c in changed.iterrows():
        assert row.iloc[0][c.feature] == c["from"] and as_series.counterfactual[c.feature] == c.to
    assert "Counterfactual" in repr(as_series) and "<table" in as_series._repr_html_()


def test_results_read_late_copied_or_pickled_unread_are_those_read_at_once(cancer):
    """The row in the input's type and the frame of changes are made on first read: a
    result copied or pickled before, or whose `values` the caller then overwrote, reads
    the same, and the model accepts its row."""
    X, _, model = cancer
    ex = morvel.Explainer(model, X)
    row = rejected(model, X, 1)
    for given in (row.iloc[0], row, row.to_numpy()[0], dict(row.iloc[0])):
        read = ex.explain(given, desired_class=1)
        kept = (read.counterfactual, read.changes)
        unread = [ex.explain(given, desired_class=1) for _ in range(3)]
        assert all(cf.found and cf.summary()["n_changes"] == len(kept[1]) for cf in unread)
        unread[0].values[:] = np.nan
        unread[1] = pickle.loads(pickle.dumps(unread[1]))
        unread[2] = copy.deepcopy(unread[2])
        for cf in unread:
            pd.testing.assert_frame_equal(cf.changes, kept[1])
            late = cf.counterfactual
            assert type(late) is type(kept[0])
            if isinstance(late, pd.Series):
                pd.testing.assert_series_equal(late, kept[0])
            elif isinstance(late, pd.DataFrame):
                pd.testing.assert_frame_equal(late, kept[0])
            elif isinstance(late, dict):
                assert late == kept[0]
            else:
                np.testing.assert_array_equal(late, kept[0])
        assert model.predict(pd.DataFrame(read.values[None, :], columns=X.columns))[0] == 1


def test_rows_of_frames_in_any_column_order_read_alike(cancer):
    """Rows taken from frames whose columns come in other orders, one after the other,
    are read by name: each gives the result of its row in the model's order."""
    X, _, model = cancer
    ex = morvel.Explainer(model, X)
    rows = rejected(model, X, 2)
    orders = [list(X.columns), list(X.columns[::-1]),
              list(np.random.default_rng(0).permutation(X.columns))]
    expected = [ex.explain(rows.iloc[i], desired_class=1).values for i in range(len(rows))]
    for _ in range(2):
        for cols in orders:
            frame = rows[cols]
            for i in range(len(rows)):
                np.testing.assert_array_equal(
                    ex.explain(frame.iloc[i], desired_class=1).values, expected[i])


def test_already_valid_rows_come_back_unchanged_and_infeasible_is_a_result(cancer):
    X, _, model = cancer
    ex = morvel.Explainer(model, X)
    accepted = X[model.predict(X) == 1].iloc[0]
    cf = ex.explain(accepted, desired_class=1)
    assert cf.status == "already_valid" and cf.distance == 0 and cf.optimal
    pd.testing.assert_series_equal(cf.counterfactual, accepted)
    assert len(cf.changes) == 0
    frozen = morvel.Explainer(model, X, constraints=morvel.Rules().freeze(*X.columns))
    cf = frozen.explain(rejected(model, X, 1).iloc[0], desired_class=1)
    assert cf.status == "infeasible" and cf.counterfactual is None and cf.optimal
    assert cf.distance is None and cf.lower_bound == math.inf and "infeasible" in repr(cf)


def test_readable_values_are_simpler_and_whole_number_columns_stay_whole():
    rng = np.random.default_rng(0)
    n = 600
    X = pd.DataFrame({"income": rng.integers(10_000, 90_000, n).astype(float),
                      "ratio": rng.uniform(0, 1, n), "age": rng.integers(18, 70, n)})
    y = ((X.income > 45_000) & (X.ratio < 0.6)).astype(int)
    model = RandomForestClassifier(n_estimators=20, max_depth=5, random_state=0).fit(X, y)
    ex = morvel.Explainer(model, X)
    rows = rejected(model, X, 15)
    plain = ex.explain_many(rows, desired_class=1, readable=False)
    nice = ex.explain_many(rows, desired_class=1)
    assert nice.found.all() and (model.predict(nice[ex.feature_names]) == 1).all()
    for col in ("income", "age"):
        assert (nice[col] == np.round(nice[col])).all()
        assert (plain[col] == np.round(plain[col])).all()
    digits = lambda v: len(repr(float(v)).split("e")[0].replace(".", "").strip("0"))  # noqa
    assert all(digits(a) <= digits(b) for a, b in zip(nice.ratio, plain.ratio))
    assert (nice.distance <= plain.distance * (1 + 1e-3) + 1e-12).all()


def test_explain_many_keeps_order_and_matches_single_rows(cancer):
    X, _, model = cancer
    ex = morvel.Explainer(model, X)
    rows = pd.concat([rejected(model, X, 6), X[model.predict(X) == 1].iloc[:2]]).iloc[::-1]
    many = ex.explain_many(rows, "proba>=0.8", n_jobs=2)
    serial = ex.explain_many(rows, "proba>=0.8", n_jobs=1)
    assert list(many.index) == list(rows.index)
    pd.testing.assert_frame_equal(many, serial)
    for idx, row in rows.iterrows():
        one = ex.explain(row, "proba>=0.8")
        assert many.loc[idx, "distance"] == one.distance
        assert many.loc[idx, "status"] == one.status
        np.testing.assert_array_equal(many.loc[idx, ex.feature_names].to_numpy(float),
                                      one.values)
    assert (many.status == "already_valid").sum() == 2


def test_budget_end_without_a_row_is_reported(cancer):
    X, _, model = cancer
    ex = morvel.Explainer(model, X)
    row = X.iloc[int(np.argmin(model.decision_function(X)))]
    cf = ex.explain(row, desired_class=1, node_budget=0, fallback=False)
    assert cf.status == "not_found" and cf.counterfactual is None
    assert "budget" in cf.message and not cf.optimal
    if hasattr(core, "solve_genetic_raw"):
        cf = ex.explain(row, desired_class=1, node_budget=0)
        assert cf.status == "found" and not cf.optimal and cf.stats["fallback"] == "genetic"
        assert model.predict(cf.counterfactual.to_frame().T)[0] == 1


def test_regressor_windows_and_pickled_explainers():
    rng = np.random.default_rng(3)
    X = rng.normal(size=(400, 4))
    y = X[:, 0] * 3 + np.sin(X[:, 1])
    model = RandomForestRegressor(n_estimators=15, max_depth=4, random_state=0).fit(X, y)
    ex = morvel.Explainer(model, X, features=["a", "b", "c", "d"], lam=0.1)
    target = morvel.raw_range(2.0, 3.0)
    low = X[model.predict(X) < 0][:5]
    cfs = [ex.explain(x, target) for x in low]
    assert all(2.0 <= model.predict(cf.counterfactual[None, :])[0] <= 3.0 for cf in cfs)
    again = pickle.loads(pickle.dumps(ex))
    for x, cf in zip(low, cfs):
        twin = again.explain(x, "prediction in [2, 3]")
        assert twin.distance == cf.distance
        np.testing.assert_array_equal(twin.values, cf.values)
    assert pickle.loads(pickle.dumps(cfs[0])).distance == cfs[0].distance


@has_genetic
def test_genetic_method_rows_pass_the_library(cancer):
    X, _, model = cancer
    ex = morvel.Explainer(model, X, random_state=7)
    rows = rejected(model, X, 8)
    out = ex.explain_many(rows, desired_class=1, method="genetic")
    assert out.found.all() and not out.optimal.any()
    assert (model.predict(out[ex.feature_names]) == 1).all()
    # Seeds depend on the row's position and the random_state alone.
    again = ex.explain_many(rows, desired_class=1, method="genetic")
    pd.testing.assert_frame_equal(out, again)
    exact = ex.explain_many(rows, desired_class=1)
    assert (out.distance >= exact.distance * (1 - 1e-9)).all()


@pytest.mark.parametrize("given", ["isolation_forest", "fitted"])
def test_plausibility_forest_threshold_holds(cancer, given):
    from sklearn.ensemble import IsolationForest

    X, _, model = cancer
    size = 100 if given == "isolation_forest" else 10
    forest = IsolationForest(n_estimators=size, random_state=0).fit(X.to_numpy())
    ex = morvel.Explainer(model, X, plausibility=forest if given == "fitted" else given,
                          random_state=0, plausibility_quantile=0.1)
    near = np.argsort(-np.where(model.predict(X) == 0, model.decision_function(X), -np.inf))
    out = ex.explain_many(X.iloc[near[:4]], desired_class=1, time_budget_s=1.0)
    found = out[out.found]
    assert len(found) > 0
    # The same forest, scored by scikit-learn: no counterfactual is among the 10% most
    # anomalous training rows.
    train = forest.score_samples(X.to_numpy())
    for score in forest.score_samples(found[ex.feature_names].to_numpy(float)):
        assert np.mean(train < score) >= 0.1 - 1.0 / len(X)


def box_sample(ex, cf, table, n):
    """n random rows of the region's box and its two extreme corners (infinite ends cut at
    10 scales from the counterfactual), which must hold the counterfactual itself."""
    values = cf.counterfactual.to_numpy(float)
    low = np.where(np.isfinite(table.low), table.low, values - 10 * ex.sigma)
    high = np.where(np.isfinite(table.high), table.high, values + 10 * ex.sigma)
    assert (low <= values).all() and (values <= high).all()
    rng = np.random.default_rng(0)
    points = np.vstack([rng.uniform(low, high) for _ in range(n)] + [low, high])
    return pd.DataFrame(points, columns=table.index)


@pytest.mark.skipif(not hasattr(core, "compute_region_raw"),
                    reason="the region solver is not in this build")
def test_region_rows_meet_the_target(cancer):
    X, _, model = cancer
    ex = morvel.Explainer(model, X, constraints=morvel.Rules().freeze("mean radius"))
    cf = ex.explain(rejected(model, X, 1).iloc[0], desired_class=1)
    table = cf.region().to_frame().set_index("feature")
    assert table.loc["mean radius", "low"] == table.loc["mean radius", "high"] == \
        cf.counterfactual["mean radius"]
    assert (model.predict(box_sample(ex, cf, table, 200)) == 1).all()
    again = pickle.loads(pickle.dumps(cf)).region().to_frame().set_index("feature")
    pd.testing.assert_frame_equal(again, table)


@pytest.mark.skipif(not hasattr(core, "compute_region_raw"),
                    reason="the region solver is not in this build")
def test_maximal_region_contains_the_normal_one_and_its_witnesses_fail(cancer):
    X, _, model = cancer
    ex = morvel.Explainer(model, X, constraints=morvel.Rules().freeze("mean radius"))
    cf = ex.explain(rejected(model, X, 2).iloc[1], desired_class=1)
    normal = cf.region().to_frame().set_index("feature")
    grown = cf.region(maximal=True)
    table = grown.to_frame().set_index("feature")
    assert (table.low <= normal.low).all() and (table.high >= normal.high).all()
    assert table.maximal_low.any() or table.maximal_high.any()
    assert (model.predict(box_sample(ex, cf, table, 300)) == 1).all()
    # A witness lies just past a maximal side and scores below the solver's window, whose
    # lower end is the explainer's margin above the class boundary.
    assert len(grown.witnesses) > 0
    rows = grown.witnesses[list(X.columns)]
    assert (model.decision_function(rows) < 2 * ex.margin + 1e-9).all()
    assert set(grown.witnesses.feature) <= set(table.index[table.maximal_low | table.maximal_high])


@pytest.mark.parametrize("given", ["frame", "array"])
def test_the_data_is_read_in_place_and_not_kept(given):
    """Building an explainer holds at most a few columns of its data beside the caller's
    frame or array and keeps none of it (its pickle does not grow with the data); the
    scales and the values a rule snaps to still come from every row."""
    import tracemalloc

    rng = np.random.default_rng(0)

    def frame(n):
        X = pd.DataFrame(rng.normal(size=(n, 30)).round(3), columns=[f"x{j}" for j in range(30)])
        X["k"] = rng.integers(0, 5, n)
        X["one_a"] = rng.integers(0, 2, n)
        X["one_b"] = 1 - X["one_a"]
        X.loc[::97, "x3"] = np.nan
        return X

    small, big = frame(4_000), frame(84_000)
    model = HistGradientBoostingClassifier(max_iter=20, random_state=0).fit(small, small.x0 > 0)
    rules = morvel.Rules().snap_to_data("x5").detect_one_hot()
    peaks, sizes = [], []
    for X in (small, big):
        data = X if given == "frame" else X.to_numpy()
        tracemalloc.start()
        ex = morvel.Explainer(model, data, features=list(X.columns), constraints=rules,
                              random_state=0)
        peaks.append(tracemalloc.get_traced_memory()[1])
        tracemalloc.stop()
        sizes.append(len(pickle.dumps(ex)))
    added = 80_000 * big.shape[1] * 8  # the float64 codes of the rows added
    assert peaks[1] - peaks[0] < 0.25 * added
    assert abs(sizes[1] - sizes[0]) < 0.01 * added

    mad = (big - big.median()).abs().median()
    std = big.std(ddof=0)
    expected = np.where(mad > 0, mad, np.where(std > 0, std, 1.0))
    np.testing.assert_allclose(ex.sigma, expected, rtol=1e-12)
    assert list(ex.integer_valued) == [False] * 30 + [True] * 3
    assert ex.rules.one_hot == [[31, 32]]
    assert np.array_equal(ex.rules.snap[5], np.unique(big.x5))
