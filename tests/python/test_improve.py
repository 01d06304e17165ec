"""The genetic method's improvement step: its rows are never costlier than the search's
own row, stay valid by the library's own predict and by rules evaluated here from their
meaning, repeat with the seed alone and in batches, and reach the optimum where one
changed feature suffices (brute force over the model's thresholds, by its own predict)."""
import math
import time

import numpy as np
import pandas as pd
import pytest

import morvel
from morvel import core
from morvel.search import batch as _batch
from morvel.search import goal as _goal
from morvel.search import polish as _polish
from morvel.problem import targets as tg

pytest.importorskip("sklearn")
from sklearn.ensemble import (GradientBoostingClassifier,  # noqa: E402
                              HistGradientBoostingClassifier)

pytestmark = pytest.mark.skipif(not hasattr(core, "solve_genetic_raw"),
                                reason="the genetic solver is not in this build")
ONE_HOT = ["oh_x", "oh_y", "oh_z"]


@pytest.fixture(scope="module")
def problem():
    rng = np.random.default_rng(5)
    size = 600
    X = pd.DataFrame({"a": rng.normal(size=size), "b": rng.uniform(0, 10, size),
                      "c": rng.normal(size=size), "d": rng.uniform(-1, 1, size)})
    group = rng.integers(0, 3, size)
    for k, col in enumerate(ONE_HOT):
        X[col] = (group == k).astype(float)
    y = ((X.a + 0.3 * X.b - X.c * X.d + X.oh_y) > 2.0).astype(int)
    model = GradientBoostingClassifier(n_estimators=40, max_depth=3, random_state=0).fit(X, y)
    rules = (morvel.Rules().freeze("d").range("b", 0, 12).increase_only("a")
             .linear({"a": 1, "b": 0.5, "c": -1}, "<=", 8).one_hot(*ONE_HOT))
    rows = X[(model.predict(X) == 0) & (X.a + 0.5 * X.b - X.c <= 8)].iloc[:8]
    return X, model, rules, rows


def goal(ex):
    return _goal.goal(ex, tg.desired_class(1), ex.margin)


def rules_hold(x: pd.Series, cf: pd.Series) -> bool:
    """The fixture's rules, read from their meaning."""
    return bool(cf.d == x.d and 0 <= cf.b <= 12 and cf.a >= x.a
                and cf.a + 0.5 * cf.b - cf.c <= 8 + 1e-9
                and sorted(cf[ONE_HOT]) == [0.0, 0.0, 1.0])


def l1(ex, x, row) -> float:
    """The distance model written out: scaled absolute changes, in feature order."""
    total = 0.0
    for j in range(len(x)):
        if row[j] != x[j]:
            total += ex.weights[j] * abs(row[j] - x[j]) / ex.sigma[j] + ex.lam
    return total


def float32_step_cost(ex, x, cf) -> float:
    """What one single-precision step of every changed value costs: the exact search
    places values at open cell ends one such step inside, where another row may sit
    closer by less than a step."""
    moved = (cf.values != x) & ~np.isnan(cf.values) & ~np.isnan(x)
    steps = np.spacing(np.abs(cf.values[moved]).astype(np.float32)).astype(np.float64)
    return float(np.sum(ex.weights[moved] * steps / ex.sigma[moved]))


def test_improved_rows_are_valid_and_never_costlier(problem):
    X, model, rules, rows = problem
    ex = morvel.Explainer(model, X, constraints=rules, readable_rtol=0.0, random_state=3)
    window = tg.window(tg.desired_class(1), ex.adapter, ex.margin, ex.proba_eps)
    gains = []
    for k, (idx, x) in enumerate(rows.iterrows()):
        xv = x.to_numpy(float)
        raw, _ = core.solve_genetic_raw(
            ex.ensemble, ex.rules.constraints(xv), xv, *window, ex.sigma, ex.weights, ex.lam,
            background=ex.background, seed=k)
        cf = ex.explain(x, desired_class=1, method="genetic", seed=k)
        plain = ex.explain(x, desired_class=1, method="genetic", seed=k, improve=False)
        assert cf.found and plain.found and raw is not None
        assert cf.stats["genetic_distance"] == pytest.approx(l1(ex, xv, raw), rel=1e-12)
        assert cf.distance == pytest.approx(l1(ex, xv, cf.values), rel=1e-12)
        assert cf.distance <= l1(ex, xv, raw) * (1 + 1e-12)
        assert cf.distance <= plain.distance * (1 + 1e-12)
        assert model.predict(cf.counterfactual.to_frame().T)[0] == 1
        assert rules_hold(x, cf.counterfactual)
        gains.append(plain.distance - cf.distance)
    assert max(gains) > 0  # the step does something on these rows


def test_deadline_ends_the_improvement(problem):
    """A passed deadline leaves every row as the search found it; a zero time budget
    through the API gives the unimproved row, still valid."""
    X, model, rules, rows = problem
    ex = morvel.Explainer(model, X, constraints=rules, readable_rtol=0.0, random_state=3)
    window = tg.window(tg.desired_class(1), ex.adapter, ex.margin, ex.proba_eps)
    xs = np.ascontiguousarray(rows.to_numpy(float))
    starts, cons = [], []
    for k, xv in enumerate(xs):
        cons.append(ex.rules.constraints(xv))
        starts.append(core.solve_genetic_raw(ex.ensemble, cons[-1], xv, *window, ex.sigma,
                                             ex.weights, ex.lam, seed=k)[0])
    starts[1] = None
    late = _polish.improve(ex, xs, starts, cons, goal(ex), deadline=time.monotonic() - 1.0)
    open_ended = _polish.improve(ex, xs, starts, cons, goal(ex))
    assert late[1] == (None, 0) and open_ended[1] == (None, 0)
    for start, (row, steps), (better, more) in zip(starts, late, open_ended):
        if start is not None:
            assert steps == 0
            np.testing.assert_array_equal(row, start)
    assert any(more > 0 for _, more in open_ended)
    x = rows.iloc[0]
    cf = ex.explain(x, desired_class=1, method="genetic", seed=0, time_budget_s=0.0)
    if cf.found:  # one generation may find nothing
        assert cf.stats["improvement_steps"] == 0
        assert cf.distance == pytest.approx(cf.stats["genetic_distance"], rel=1e-12)
        assert model.predict(cf.counterfactual.to_frame().T)[0] == 1


def test_same_seed_same_rows_alone_and_in_batches(problem):
    X, model, rules, rows = problem
    ex = morvel.Explainer(model, X, constraints=rules, random_state=11)
    batch = ex.explain_many(rows, desired_class=1, method="genetic")
    pd.testing.assert_frame_equal(batch, ex.explain_many(rows, desired_class=1,
                                                         method="genetic"))
    seeds = _batch.row_seeds(11, range(len(rows)))
    for k, (idx, x) in enumerate(rows.iterrows()):
        one = ex.explain(x, desired_class=1, method="genetic", seed=seeds[k])
        assert batch.loc[idx, "distance"] == one.distance
        np.testing.assert_array_equal(batch.loc[idx, ex.feature_names].to_numpy(float),
                                      one.values)
        assert rules_hold(x, batch.loc[idx, ex.feature_names].astype(float))
    assert (model.predict(batch[ex.feature_names]) == 1).all()


def test_exact_fallback_row_is_improved(problem):
    X, model, _, rows = problem
    ex = morvel.Explainer(model, X, readable_rtol=0.0)
    x = rows.iloc[0]
    cf = ex.explain(x, desired_class=1, node_budget=0, seed=1)
    plain = ex.explain(x, desired_class=1, node_budget=0, seed=1, improve=False)
    best = ex.explain(x, desired_class=1)
    assert cf.stats["fallback"] == "genetic" and "improvement_steps" in cf.stats
    assert best.optimal and best.distance * (1 - 1e-9) <= cf.distance
    assert cf.distance <= plain.distance * (1 + 1e-12)
    assert model.predict(cf.counterfactual.to_frame().T)[0] == 1


def single_move_optimum(model, x: np.ndarray, sigma: np.ndarray) -> float:
    """The cheapest valid change of one feature, by brute force: for every split
    threshold the nearest values on either side of it, judged by the model's own
    predict (a valid range of one feature ends at such a value)."""
    best = math.inf
    for j in range(len(x)):
        cuts = np.unique(np.concatenate([e.tree_.threshold[e.tree_.feature == j]
                                         for e in model.estimators_.ravel()]))
        # The trees send a float32 value left when it is at most the threshold.
        near = cuts.astype(np.float32)
        below = np.where(near > cuts, np.nextafter(near, np.float32(-np.inf)), near)
        above = np.where(near <= cuts, np.nextafter(near, np.float32(np.inf)), near)
        values = np.concatenate([below, above]).astype(np.float64)
        if values.size == 0:
            continue
        trial = np.repeat(x[None, :], len(values), axis=0)
        trial[:, j] = values
        ok = model.predict(trial) == 1
        if ok.any():
            best = min(best, float(np.min(np.abs(values[ok] - x[j]) / sigma[j])))
    return best


def test_single_feature_optimum_is_reached_from_far_rows():
    """Started from training rows the model accepts (valid, but far), the improvement
    reaches the optimum wherever one changed feature suffices."""
    rng = np.random.default_rng(8)
    X = rng.normal(size=(400, 4))
    y = (X[:, 0] + 0.5 * X[:, 1] - 0.8 * X[:, 2] + 0.3 * rng.normal(size=400) > 0.7).astype(int)
    model = GradientBoostingClassifier(n_estimators=15, max_depth=2, random_state=0).fit(X, y)
    ex = morvel.Explainer(model, X, readable_rtol=0.0, random_state=0)
    window = tg.window(tg.desired_class(1), ex.adapter, ex.margin, ex.proba_eps)
    accepted = X[model.predict(X) == 1]
    checked = 0
    for x in X[model.predict(X) == 0][:12]:
        exact = ex.explain(x, desired_class=1, readable=False)
        if int((exact.values != x).sum()) != 1:
            continue
        assert exact.distance == pytest.approx(single_move_optimum(model, x, ex.sigma),
                                               rel=1e-6)
        starts = accepted[np.argsort(np.abs(accepted - x).sum(axis=1))[[0, 5, 50]]]
        scores = ex.ensemble.raw_score_batch(starts)
        starts = [s for s, v in zip(starts, scores) if window[0] <= v <= window[1]]
        cons = ex.rules.constraints(x)
        for row, steps in _polish.improve(ex, np.repeat(x[None, :], len(starts), axis=0),
                                          starts, [cons] * len(starts), goal(ex)):
            assert steps > 0 and l1(ex, x, row) == pytest.approx(exact.distance, rel=1e-9)
            assert model.predict(row[None, :])[0] == 1
        checked += len(starts)
    assert checked >= 8


def test_categories_and_missing_values():
    rng = np.random.default_rng(9)
    n = 600
    X = pd.DataFrame({"income": np.round(rng.normal(50, 15, n), 1),
                      "job": pd.Categorical(rng.choice(["clerk", "nurse", "retired"], n)),
                      "years": rng.uniform(0, 30, n)})
    y = (((X.job == "nurse") & (X.income > 45)) | (X.years > 25)).astype(int)
    X.loc[rng.random(n) < 0.1, "income"] = np.nan
    model = HistGradientBoostingClassifier(max_iter=15, random_state=0).fit(X, y)
    rules = morvel.Rules().allow_missing("income", cost_to=5.0, cost_from=5.0)
    ex = morvel.Explainer(model, X, constraints=rules, readable_rtol=0.0, random_state=0)
    rows = pd.concat([X[(model.predict(X) == 0) & X.income.isna()].iloc[:3],
                      X[(model.predict(X) == 0) & X.income.notna()].iloc[:3]])
    for k, (_, x) in enumerate(rows.iterrows()):
        cf = ex.explain(x, desired_class=1, method="genetic", seed=k)
        plain = ex.explain(x, desired_class=1, method="genetic", seed=k, improve=False)
        assert cf.found and cf.distance <= plain.distance * (1 + 1e-12)
        assert model.predict(cf.counterfactual.to_frame().T.astype(X.dtypes))[0] == 1
        xv = ex.schema.rows(x, "row")[1][0]
        assert ex.rules.constraints(xv).check(cf.values[None, :], xv)[0]
        best = ex.explain(x, desired_class=1, readable=False)
        assert best.optimal and best.distance <= cf.distance + float32_step_cost(ex, xv, cf)


def test_a_binding_budget_changes_no_row_between_calls_or_alone_and_in_a_batch():
    # A model whose batch takes several times the budget to improve: when the rows of a
    # batch shared one clock, a different cut-off changed most rows.
    from sklearn.datasets import make_classification
    X, y = make_classification(n_samples=1500, n_features=12, n_informative=8, random_state=3)
    model = HistGradientBoostingClassifier(max_iter=200, max_depth=6, early_stopping=False,
                                           random_state=0).fit(X, y)
    rows = X[model.predict(X) == 0][:40]
    ex = morvel.Explainer(model, X, random_state=7)
    options = dict(desired_class=1, method="genetic", time_budget_s=0.3)
    batch = ex.explain_many(rows, **options)
    pd.testing.assert_frame_equal(batch, ex.explain_many(rows, **options))
    assert batch.found.all()
    seeds = _batch.row_seeds(7, range(len(rows)))
    for k in range(0, len(rows), 4):
        one = ex.explain(rows[k], seed=seeds[k], **options)
        assert batch.distance[k] == one.distance
        np.testing.assert_array_equal(batch.loc[k, ex.feature_names].to_numpy(float),
                                      one.values)
