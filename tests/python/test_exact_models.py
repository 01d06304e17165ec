"""Exact optima on models trained by scikit-learn and XGBoost, checked against brute force
over the cells, with every candidate row scored by the library's own prediction."""
import math

import numpy as np
import pytest

import morvel
from conftest import make_constraints
from exact_oracle import brute_force

sklearn = pytest.importorskip("sklearn")
xgb = pytest.importorskip("xgboost")
from sklearn.ensemble import (GradientBoostingClassifier, IsolationForest,  # noqa: E402
                              RandomForestRegressor)


def data(seed, n_features, n=300):
    rng = np.random.default_rng(seed)
    X = np.round(rng.normal(size=(n, n_features)), 2)
    y = X[:, 0] - X[:, 1] ** 2 + 0.5 * np.sin(3 * X[:, -1]) + 0.3 * rng.normal(size=n)
    return X, y


def train(kind, seed, n_features):
    X, y = data(seed, n_features)
    if kind == "gbc":
        model = GradientBoostingClassifier(n_estimators=6, max_depth=2, random_state=seed)
        model.fit(X, y > np.median(y))
        return X, model, model.decision_function
    if kind == "rf":
        model = RandomForestRegressor(n_estimators=4, max_depth=3, random_state=seed).fit(X, y)
        return X, model, model.predict
    booster = xgb.train({"max_depth": 2, "eta": 0.3, "seed": seed},
                        xgb.DMatrix(X, label=y), num_boost_round=6)
    return X, booster, lambda rows: booster.predict(xgb.DMatrix(rows), output_margin=True)


def arrays_of(flat):
    return dict(feature=flat.feature, threshold=flat.threshold, is_lt=flat.is_lt,
                node_set=flat.node_set)


def solve(ensemble, constraints, x, lo_t, hi_t, sigma, weights, lam, **kw):
    n = len(x)
    return morvel.core.solve_exact_raw(ensemble, constraints, x, lo_t, hi_t, sigma, weights,
                                       lam, np.zeros(n, np.uint8), np.zeros(n), np.zeros(n),
                                       **kw)


@pytest.mark.parametrize("kind", ["gbc", "rf", "xgb"])
@pytest.mark.parametrize("seed", range(8))
def test_library_models_match_brute_force(kind, seed):
    n_features = 2 + seed % 4
    X, model, predict = train(kind, seed, n_features)
    flat = morvel.convert(model)
    ensemble = flat.to_core()
    rng = np.random.default_rng(100 + seed)
    x = X[rng.integers(len(X))]
    own = predict(x[None, :])[0]
    spread = np.ptp(predict(X))
    shift = rng.uniform(0.1, 0.6) * spread
    lo_t, hi_t = (own + shift, math.inf) if rng.random() < 0.5 else (-math.inf, own - shift)
    sigma = np.std(X, axis=0)
    weights = rng.uniform(0.5, 2.0, n_features)
    lam = float(rng.choice([0.0, 0.05]))
    constraints = make_constraints(n_features)

    row, dist, proof, _, _, _ = solve(ensemble, constraints, x, lo_t, hi_t, sigma, weights, lam)
    best, _ = brute_force(arrays_of(flat), n_features, ensemble, constraints, x, lo_t, hi_t,
                          sigma, weights, lam, score=predict)
    assert proof == "optimal"
    if math.isinf(best):
        assert row is None
    else:
        assert dist == pytest.approx(best, rel=1e-12, abs=1e-12)
        assert lo_t <= predict(row[None, :])[0] <= hi_t


def total_path(forest, rows):
    n = forest.max_samples_
    c = 2.0 * (np.log(n - 1.0) + np.euler_gamma) - 2.0 * (n - 1.0) / n
    return -np.log2(-forest.score_samples(rows)) * c * len(forest.estimators_)


@pytest.mark.parametrize("seed", range(6))
def test_plausibility_forest_is_respected_and_optimal(seed):
    n_features = 3
    X, model, predict = train("gbc", seed, n_features)
    forest = IsolationForest(n_estimators=5, max_samples=32, random_state=seed).fit(X)
    flat, if_flat = morvel.convert(model), morvel.convert(forest)
    ensemble, plausibility = flat.to_core(), if_flat.to_core()
    threshold = float(np.quantile(total_path(forest, X), 0.3))
    x = X[seed]
    own = predict(x[None, :])[0]
    lo_t, hi_t = (own + 0.5, math.inf) if own < 0 else (-math.inf, own - 0.5)
    sigma, weights = np.std(X, axis=0), np.ones(n_features)
    constraints = make_constraints(n_features)
    row, dist, proof, _, _, _ = solve(ensemble, constraints, x, lo_t, hi_t, sigma, weights, 0.0,
                                      if_ensemble=plausibility, min_total_path=threshold)
    best, _ = brute_force(arrays_of(flat), n_features, ensemble, constraints, x, lo_t, hi_t,
                          sigma, weights, 0.0, score=predict, extra=[arrays_of(if_flat)],
                          plausible=lambda rows: total_path(forest, rows) >= threshold)
    assert proof == "optimal"
    if math.isinf(best):
        assert row is None
    else:
        assert dist == pytest.approx(best, rel=1e-12, abs=1e-12)
        assert total_path(forest, row[None, :])[0] >= threshold * (1 - 1e-12)
        assert lo_t <= predict(row[None, :])[0] <= hi_t
