"""Genetic search end to end: rows checked by the libraries' own predictions and by a
pure-Python evaluation of the constraints, costs never below the exact solver's proven
optimum, reproducibility, the batch form, validation, and Ctrl-C."""
import math
import subprocess
import sys

import numpy as np
import pytest

import _morvel_core as core
import morvel
from conftest import Ticker, make_constraints, random_forest_arrays, sigint_latency
from test_constraints import Rules, ref_check

sklearn = pytest.importorskip("sklearn")
xgb = pytest.importorskip("xgboost")
lgb = pytest.importorskip("lightgbm")
from sklearn.ensemble import GradientBoostingClassifier, IsolationForest  # noqa: E402

NAN = math.nan
INF = math.inf


def ga(ensemble, constraints, x, lo_t, hi_t, sigma, weights, lam=0.0, **kw):
    kw.setdefault("seed", 1)
    kw.setdefault("time_budget_s", INF)  # results must not depend on the clock
    return core.solve_genetic_raw(ensemble, constraints, np.asarray(x, float), lo_t, hi_t,
                                  sigma, weights, lam, **kw)


def batch(ensemble, constraints, rows, task_row, task_seed, lo_t, hi_t, sigma, weights, lam=0.0,
          **kw):
    kw.setdefault("time_budget_s", INF)
    return core.solve_genetic_batch_raw(ensemble, constraints, rows,
                                        np.asarray(task_row, np.uint64),
                                        np.asarray(task_seed, np.uint64), lo_t, hi_t, sigma,
                                        weights, lam, **kw)


def exact_optimum(ensemble, constraints, x, lo_t, hi_t, sigma, weights, lam=0.0, **kw):
    n = len(x)
    row, dist, proof, _, _, _ = core.solve_exact_raw(
        ensemble, constraints, np.asarray(x, float), lo_t, hi_t, sigma, weights, lam,
        np.zeros(n, np.uint8), np.zeros(n), np.zeros(n), search="refine", time_budget_s=60.0,
        node_budget=10**9, **kw)
    assert proof == "optimal"
    return INF if row is None else dist


def cost(x, row, sigma, weights, lam, categorical=(), missing=None):
    """The distance model, written out: summed over features in index order."""
    total = 0.0
    for j, (a, b) in enumerate(zip(x, row)):
        if math.isnan(a) and math.isnan(b):
            continue
        if math.isnan(a) or math.isnan(b):
            to, frm = (missing or {}).get(j, (0.0, 0.0))
            total += weights[j] * (frm if math.isnan(a) else to) / sigma[j] + lam
        elif a != b:
            d = 1.0 if j in categorical else abs(b - a)
            total += weights[j] * d / sigma[j] + lam
    return total


def float32_slack(x, row, sigma, weights):
    """One single-precision step per moved feature: the exact search approaches an open
    cell end by the nearest float32 inside, a random step may land closer."""
    slack = 0.0
    for j, (a, b) in enumerate(zip(x, row)):
        if a != b and not (math.isnan(a) or math.isnan(b)):
            slack += weights[j] * float(np.spacing(np.float32(max(abs(a), abs(b))))) / sigma[j]
    return slack


# ---- library models --------------------------------------------------------------------------


def one_hot_data(seed, n=400):
    """Two numeric columns, a three-level category one-hot encoded in columns 2-4, and a
    fifth numeric column."""
    rng = np.random.default_rng(seed)
    num = np.round(rng.normal(size=(n, 3)), 2)
    level = rng.integers(3, size=n)
    onehot = np.eye(3)[level]
    X = np.column_stack([num[:, 0], num[:, 1], onehot, num[:, 2]])
    y = (X[:, 0] + 0.8 * X[:, 1] - 1.2 * onehot[:, 0] + 0.7 * onehot[:, 2]
         + 0.5 * np.sin(3 * X[:, 5]))
    return X, y + 0.3 * rng.normal(size=n)


def train(kind, seed):
    X, y = one_hot_data(seed)
    if kind == "gbc":
        model = GradientBoostingClassifier(n_estimators=30, max_depth=3, random_state=seed)
        model.fit(X, y > np.median(y))
        return X, model, model.decision_function
    if kind == "xgb":
        booster = xgb.train({"max_depth": 3, "eta": 0.3, "seed": seed, "nthread": 1},
                            xgb.DMatrix(X, label=y), num_boost_round=30)
        return X, booster, lambda r: booster.predict(xgb.DMatrix(r), output_margin=True)
    booster = lgb.train({"num_leaves": 8, "verbose": -1, "seed": seed, "num_threads": 1},
                        lgb.Dataset(X, label=y), num_boost_round=30)
    return X, booster, lambda r: booster.predict(r, raw_score=True)


def window_for(predict, X, x, rng):
    own = float(predict(x[None, :])[0])
    shift = rng.uniform(0.05, 0.25) * float(np.ptp(predict(X)))
    return (own + shift, INF) if rng.random() < 0.5 else (-INF, own - shift)


def in_window(predict, row, lo_t, hi_t, tol=0.0):
    s = float(predict(row[None, :])[0])
    return lo_t - tol <= s <= hi_t + tol


# XGBoost and LightGBM score in single precision: a row on the window's edge by our double
# sum may sit a few float32 steps off by theirs.
TOL = {"gbc": 0.0, "xgb": 1e-5, "lgb": 1e-9}


@pytest.mark.parametrize("kind", ["gbc", "xgb", "lgb"])
@pytest.mark.parametrize("seed", range(4))
def test_rows_valid_by_library_and_reference_never_below_optimum(kind, seed):
    X, model, predict = train(kind, seed)
    ensemble = morvel.convert(model).to_core()
    rng = np.random.default_rng(seed)
    x = X[rng.integers(len(X))]
    lo_t, hi_t = window_for(predict, X, x, rng)
    sigma, weights = np.std(X, axis=0), rng.uniform(0.5, 2.0, 6)
    lam = 0.05 * seed
    rules = Rules(6, freeze=[5], ranges=[(0, -2.0, 2.0)], one_hot=[[2, 3, 4]],
                  linear=[([0, 1], [1.0, -1.0], 0, 0.0, 0)])  # x0 <= x1
    constraints = rules.build()
    row, generations = ga(ensemble, constraints, x, lo_t, hi_t, sigma, weights, lam, seed=seed)
    assert generations >= 1
    optimum = exact_optimum(ensemble, constraints, x, lo_t, hi_t, sigma, weights, lam)
    # A heuristic, but on models this small it finds a row whenever one exists (and the
    # search is a pure function of its seed, so this cannot flicker).
    assert (row is None) == math.isinf(optimum)
    if row is None:
        return
    assert in_window(predict, row, lo_t, hi_t, TOL[kind])
    assert ref_check(rules, row, x)
    assert row[5] == x[5]
    found = cost(x, row, sigma, weights, lam)
    assert found >= optimum - float32_slack(x, row, sigma, weights) - 1e-12


@pytest.mark.parametrize("seed", range(6))
def test_multi_feature_linear_constraints_and_one_hot_hold(seed):
    X, model, predict = train("gbc", seed)
    ensemble = morvel.convert(model).to_core()
    rng = np.random.default_rng(50 + seed)
    x = X[rng.integers(len(X))].copy()
    x[0], x[1] = 0.2, 0.3
    # Flip the classification, the usual recourse question.
    lo_t, hi_t = (0.0, INF) if predict(x[None, :])[0] < 0 else (-INF, 0.0)
    sigma, weights = np.std(X, axis=0), np.ones(6)
    # A budget over three features, a balance that must hold with equality on two, and
    # the one-hot group: only the genetic search accepts these.
    rules = Rules(6, one_hot=[[2, 3, 4]], mono=[(5, 1)],
                  linear=[([0, 1, 5], [1.0, 2.0, 0.5], 0, 3.0, 1),
                          ([0, 1], [1.0, 1.0], 2, 0.5, 0)])
    constraints = rules.build()
    found = 0
    for s in range(3):
        row, _ = ga(ensemble, constraints, x, lo_t, hi_t, sigma, weights, seed=s)
        if row is None:
            continue
        found += 1
        assert in_window(predict, row, lo_t, hi_t)
        assert ref_check(rules, row, x)
        assert row[5] >= x[5]
        assert sorted(row[2:5]) == [0.0, 0.0, 1.0]
    assert found > 0


def total_path(forest, rows):
    n = forest.max_samples_
    c = 2.0 * (np.log(n - 1.0) + np.euler_gamma) - 2.0 * (n - 1.0) / n
    return -np.log2(-forest.score_samples(rows)) * c * len(forest.estimators_)


def test_plausibility_forest_is_respected():
    X, model, predict = train("gbc", 3)
    forest = IsolationForest(n_estimators=10, max_samples=64, random_state=0).fit(X)
    ensemble, plausibility = morvel.convert(model).to_core(), morvel.convert(forest).to_core()
    threshold = float(np.quantile(total_path(forest, X), 0.4))
    rng = np.random.default_rng(3)
    sigma, weights = np.std(X, axis=0), np.ones(6)
    constraints = make_constraints(6)
    found = 0
    for r in rng.choice(len(X), 4, replace=False):
        x = X[r]
        lo_t, hi_t = window_for(predict, X, x, rng)
        row, _ = ga(ensemble, constraints, x, lo_t, hi_t, sigma, weights,
                    if_ensemble=plausibility, min_total_path=threshold)
        if row is None:
            continue
        found += 1
        assert total_path(forest, row[None, :])[0] >= threshold * (1 - 1e-12)
        assert in_window(predict, row, lo_t, hi_t)
        # Without the threshold the forest is ignored.
        plain = ga(ensemble, constraints, x, lo_t, hi_t, sigma, weights)
        ignored = ga(ensemble, constraints, x, lo_t, hi_t, sigma, weights,
                     if_ensemble=plausibility)
        np.testing.assert_array_equal(plain[0], ignored[0])
        assert plain[1] == ignored[1]
    assert found > 0


# ---- random flat models ---------------------------------------------------------------------


def random_problem(seed, n=4, trees=8):
    rng = np.random.default_rng(seed)
    arrays = random_forest_arrays(rng, n, trees, 3)
    ensemble = core.RustEnsemble(**arrays, base_score=0.0, link="identity", n_features=n)
    x = np.round(rng.uniform(-1.2, 1.2, n), 2)
    score = ensemble.raw_score_batch(x[None, :])[0]
    lo_t, hi_t = (score + 0.5, INF) if rng.random() < 0.5 else (-INF, score - 0.5)
    return ensemble, x, lo_t, hi_t, rng.uniform(0.5, 2.0, n), rng.uniform(0.5, 2.0, n)


def same(a, b):
    if a[0] is None or b[0] is None:
        return a[0] is None and b[0] is None and a[1] == b[1]
    return a[0].tobytes() == b[0].tobytes() and a[1] == b[1]


@pytest.mark.parametrize("seed", range(10))
def test_batch_equals_single_runs_and_seeds_reproduce(seed):
    ensemble, x, lo_t, hi_t, sigma, weights = random_problem(seed)
    c = make_constraints(4, range_idx=[1], range_lo=[-1.0], range_hi=[1.0])
    rows = np.stack([x, x + 0.3, x - 0.4])
    task_row, task_seed = [0, 1, 2, 0, 1, 0], [5, 5, 6, 5, 9, 8]
    bg = np.random.default_rng(seed).uniform(-1, 1, (15, 4))
    x_cf, feasible, gens = batch(ensemble, c, rows, task_row, task_seed, lo_t, hi_t, sigma,
                                 weights, 0.1, background=bg)
    assert x_cf.shape == (6, 4) and x_cf.dtype == np.float64
    assert feasible.dtype == np.bool_ and gens.dtype == np.uint64
    for k, (r, s) in enumerate(zip(task_row, task_seed)):
        # The batch runs each search on one thread, the single call spreads it over the pool.
        single = ga(ensemble, c, rows[r], lo_t, hi_t, sigma, weights, 0.1, seed=s, background=bg)
        assert single[1] == gens[k]
        assert feasible[k] == (single[0] is not None)
        want = rows[r] if single[0] is None else single[0]
        assert x_cf[k].tobytes() == want.tobytes()
    # The same row and seed twice: identical.
    assert x_cf[0].tobytes() == x_cf[3].tobytes() and gens[0] == gens[3]
    # A batch of one task spreads its search over the pool: still the same.
    one = batch(ensemble, c, rows, [2], [6], lo_t, hi_t, sigma, weights, 0.1, background=bg)
    assert one[0][0].tobytes() == x_cf[2].tobytes() and one[2][0] == gens[2]
    # Populations large enough that the single search hands every generation to the pool,
    # while the batch's two searches each run on one thread.
    big = dict(background=bg, population=300, max_generations=20)
    pooled = [ga(ensemble, c, rows[r], lo_t, hi_t, sigma, weights, 0.1, seed=5, **big)
              for r in (0, 1)]
    alone = batch(ensemble, c, rows, [0, 1], [5, 5], lo_t, hi_t, sigma, weights, 0.1, **big)
    for k in (0, 1):
        assert pooled[k][1] == alone[2][k]
        want = rows[k] if pooled[k][0] is None else pooled[k][0]
        assert alone[0][k].tobytes() == want.tobytes()


def test_without_a_seed_the_search_still_answers():
    ensemble, x, lo_t, hi_t, sigma, weights = random_problem(3, n=6, trees=30)
    c = make_constraints(6)
    seeded, _ = ga(ensemble, c, x, lo_t, hi_t, sigma, weights)
    for _ in range(2):
        row, _ = ga(ensemble, c, x, lo_t, hi_t, sigma, weights, seed=None)
        assert in_window(ensemble.raw_score_batch, row, lo_t, hi_t)
        assert cost(x, row, sigma, weights, 0.0) <= 1.5 * cost(x, seeded, sigma, weights, 0.0)


def test_stop_rules_and_edge_cases():
    ensemble, x, lo_t, hi_t, sigma, weights = random_problem(1)
    c = make_constraints(4)
    assert ga(ensemble, c, x, lo_t, hi_t, sigma, weights, max_generations=0) == (None, 0)
    assert ga(ensemble, c, x, lo_t, hi_t, sigma, weights, stall_generations=0)[1] == 1
    assert ga(ensemble, c, x, lo_t, hi_t, sigma, weights, time_budget_s=0.0)[1] == 1
    row, gens = ga(ensemble, c, x, lo_t, hi_t, sigma, weights, population=0)
    assert gens >= 1
    # A factual row that already qualifies is the answer, at distance 0.
    for stall, cap in [(3, 10), (30, 10)]:
        row, gens = ga(ensemble, c, x, -INF, INF, sigma, weights, stall_generations=stall,
                       max_generations=cap)
        assert row.tobytes() == x.tobytes() and gens == min(1 + stall, cap)
    # Everything frozen: x or nothing.
    frozen = make_constraints(4, freeze=[0, 1, 2, 3])
    assert ga(ensemble, frozen, x, lo_t, hi_t, sigma, weights)[0] is None
    assert ga(ensemble, frozen, x, -INF, INF, sigma, weights)[0].tobytes() == x.tobytes()
    # An empty window (lo_t > hi_t) has no answer.
    assert ga(ensemble, c, x, 1.0, 0.0, sigma, weights)[0] is None


def missing_value_ensemble():
    """Tree 1: feature 1 below 0.5 scores +1 (missing goes right, 0). Tree 2: feature 0
    below -5 scores +1, and a missing value goes left with it."""
    from conftest import flat_arrays
    arrays = flat_arrays([1, -1, -1, 0, -1, -1], [0.5, 0, 0, -5.0, 0, 0], [1, 0, 0, 1, 0, 0],
                         [0, 0, 0, 1, 0, 0], [1, 0, 0, 4, 0, 0], [2, 0, 0, 5, 0, 0],
                         [0, 1.0, 0.0, 0, 1.0, 0.0], [0, 3])
    return core.RustEnsemble(**arrays, base_score=0.0, link="identity", n_features=3)


def test_missing_values():
    ensemble = missing_value_ensemble()
    x = np.array([0.3, NAN, 2.0])
    sigma, weights, lam = np.array([1.0, 0.5, 1.0]), np.array([1.0, 2.0, 1.0]), 0.1
    # Without an allowed-missing entry feature 1 stays missing, so tree 1 cannot add +1.
    for s in range(3):
        row, _ = ga(ensemble, make_constraints(3), x, 1.5, INF, sigma, weights, lam, seed=s)
        assert row is None
    # With entries, feature 1 may take a value (at its "from" charge) and feature 0 may go
    # missing (at its "to" charge), which is cheaper here than moving it below -5.
    c = make_constraints(3, am_idx=[0, 1], am_to=[0.25, 0.5], am_from=[3.0, 0.75])
    optimum = exact_optimum(ensemble, c, x, 1.5, INF, sigma, weights, lam)
    assert optimum == pytest.approx(1.0 * 0.25 / 1.0 + lam + 2.0 * 0.75 / 0.5 + lam)
    for s in range(3):
        row, _ = ga(ensemble, c, x, 1.5, INF, sigma, weights, lam, seed=s)
        assert math.isnan(row[0]) and row[1] < 0.5 and row[2] == 2.0
        found = cost(x, row, sigma, weights, lam, missing={0: (0.25, 3.0), 1: (0.5, 0.75)})
        assert found == pytest.approx(optimum, rel=1e-12)


def categorical_ensemble():
    """Feature 0 numeric; feature 1 a category of 6 codes: {1, 4} score +2, others 0."""
    from conftest import flat_arrays
    arrays = flat_arrays([1, -1, -1, 0, -1, -1], [0, 0, 0, 0.5, 0, 0], [1, 0, 0, 1, 0, 0],
                         [0, 0, 0, 0, 0, 0], [1, 0, 0, 4, 0, 0], [2, 0, 0, 5, 0, 0],
                         [0, 2.0, 0.0, 0, -0.5, 0.5], [0, 3])
    sets = dict(node_set=np.array([0, -1, -1, -1, -1, -1], np.int32),
                set_offsets=np.array([0, 1], np.uint32),
                set_words=np.array([0b10010], np.uint64),
                cat_idx=np.array([1], np.uint32), cat_card=np.array([6], np.uint32))
    return core.RustEnsemble(**arrays, **sets, base_score=0.0, link="identity", n_features=2)


def test_categories_move_between_allowed_blocks():
    ensemble = categorical_ensemble()
    x = np.array([0.0, 2.0])
    sigma, weights = np.ones(2), np.array([1.0, 3.0])
    # Codes 1 and 4 lead to the window; only 4 (and 2, 3) are allowed.
    c = make_constraints(2, ac_idx=[1], ac_offsets=[0, 1], ac_words=[0b11100])
    row, _ = ga(ensemble, c, x, 1.0, INF, sigma, weights)
    np.testing.assert_array_equal(row, [0.0, 4.0])
    # A category change costs weight / sigma, whatever the codes' distance.
    assert cost(x, row, sigma, weights, 0.0, categorical={1}) == 3.0
    assert exact_optimum(ensemble, c, x, 1.0, INF, sigma, weights) == 3.0


# ---- validation -----------------------------------------------------------------------------


def small():
    ensemble, x, lo_t, hi_t, sigma, weights = random_problem(0, n=3)
    return ensemble, make_constraints(3), x, lo_t, hi_t, sigma, weights


@pytest.mark.parametrize("change, message", [
    (dict(x=np.zeros(2)), r"^expected 3 features, got 2$"),
    # An infinite factual value came back in the row instead of being refused.
    (dict(x=np.array([0.0, -INF, 0.0])), r"^x(_rows\[0, |\[)1\] is infinite$"),
    (dict(sigma=np.ones(2)), r"^sigma needs 3 entries, got 2$"),
    (dict(weights=np.ones(1)), r"^weights needs 3 entries, got 1$"),
    (dict(background=np.zeros((4, 2))), r"^background rows have 2 values, expected 3$"),
    (dict(constraints=None), r"^constraints have 4 features, the ensemble has 3$"),
    (dict(sigma=np.array([1.0, NAN, 1.0])), r"^sigma\[1\] must be a positive finite scale"),
    (dict(sigma=np.array([1.0, 1.0, 0.0])), r"^sigma\[2\] must be"),
    (dict(sigma=np.array([-1.0, 1.0, 1.0])), r"^sigma\[0\] must be"),
    (dict(weights=np.array([1.0, NAN, 1.0])), r"^weights\[1\] must be"),
    (dict(weights=np.array([1.0, 1.0, -2.0])), r"^weights\[2\] must be"),
    (dict(lam=NAN), r"^lam must be"),
    (dict(lam=-0.5), r"^lam must be"),
    (dict(lo_t=NAN), r"^lo_t must not be NaN"),
    (dict(hi_t=NAN), r"^hi_t must not be NaN"),
    (dict(min_total_path=NAN), r"^min_total_path must not be NaN"),
    (dict(time_budget_s=-1.0), r"^time_budget_s must be a non-negative"),
    (dict(time_budget_s=NAN), r"^time_budget_s must be a non-negative"),
])
@pytest.mark.parametrize("entry", ["single", "batch"])
def test_malformed_inputs_are_value_errors(change, message, entry):
    ensemble, c, x, lo_t, hi_t, sigma, weights = small()
    args = dict(ensemble=ensemble, constraints=c, lo_t=lo_t, hi_t=hi_t, sigma=sigma,
                weights=weights, lam=0.0)
    args.update({k: v for k, v in change.items() if k != "x"})
    if args["constraints"] is None:
        args["constraints"] = make_constraints(4)
    x = change.get("x", x)
    with pytest.raises(ValueError, match=message):
        if entry == "single":
            core.solve_genetic_raw(x=x, **args)
        else:
            core.solve_genetic_batch_raw(x_rows=x[None, :], task_row=np.zeros(1, np.uint64),
                                         task_seed=np.zeros(1, np.uint64), **args)


def test_batch_validation_order_and_shapes():
    ensemble, c, x, lo_t, hi_t, sigma, weights = small()
    rows = np.stack([x, x])

    def call(rows, task_row, task_seed, **kw):
        return batch(ensemble, c, rows, task_row, task_seed, lo_t, hi_t, sigma, weights, **kw)

    with pytest.raises(ValueError, match=r"^expected 3 features, got 4$"):
        call(np.zeros((2, 4)), [0, 1], [0])  # columns first
    with pytest.raises(ValueError, match=r"^expected 3 features, got 4$"):
        call(np.zeros((2, 4)), np.zeros(4, np.uint64)[::2], [0, 1])  # then layouts
    with pytest.raises(ValueError, match=r"^task_row and task_seed must have the same length$"):
        call(rows, [0, 1, 7], [0, 1])  # lengths before indices
    with pytest.raises(ValueError, match=r"^task_row index out of range$"):
        call(rows, [0, 2], [0, 1])
    for bad in (x, np.zeros((1, 2, 3))):
        with pytest.raises(ValueError, match=r"^x_rows must be a 2-D array, got [13]-D$"):
            call(bad, [0], [0])
    with pytest.raises(ValueError, match=r"^expected 3 features, got 2$"):
        call(np.zeros((2, 2)), [0], [0])
    with pytest.raises(TypeError, match="not contiguous"):
        call(np.zeros((4, 6))[:, ::2], [0], [0])
    # Zero tasks: no search, and outputs of the right shapes.
    x_cf, feasible, gens = call(rows, [], [])
    assert x_cf.shape == (0, 3) and x_cf.dtype == np.float64
    assert feasible.shape == (0,) and gens.shape == (0,)
    # A Fortran-ordered matrix is read by rows.
    f_rows = np.asfortranarray(np.stack([x, x + 0.5]))
    got = call(f_rows, [1], [3])
    want = call(np.ascontiguousarray(f_rows), [1], [3])
    assert got[0].tobytes() == want[0].tobytes()


def test_signatures_and_docstrings():
    import inspect
    single = inspect.signature(core.solve_genetic_raw)
    assert str(single) == (
        "(ensemble, constraints, x, lo_t, hi_t, sigma, weights, lam, background=None, "
        "if_ensemble=None, min_total_path=None, seed=None, population=80, "
        "max_generations=200, stall_generations=30, time_budget_s=10.0, *, stop=None, "
        "max_changes=None, exclude_offsets=None, exclude_features=None, "
        "diversity='no_superset', windows=None)")
    assert core.solve_genetic_raw.__doc__.startswith(
        "Full GA solve.\nReturns (x_cf | None, generations).")
    many = inspect.signature(core.solve_genetic_batch_raw)
    assert list(many.parameters)[:5] == ["ensemble", "constraints", "x_rows", "task_row",
                                         "task_seed"]
    assert "seed" not in many.parameters
    assert core.solve_genetic_batch_raw.__doc__.startswith(
        "Batch GA solve: one independent search per `(task_row, task_seed)` pair,")
    assert "`(x_cf (n_tasks, p) \u2014 factual copy where infeasible, feasible mask, " \
           "generations)`" in core.solve_genetic_batch_raw.__doc__
    ensemble, c, x, lo_t, hi_t, sigma, weights = small()
    with pytest.raises(OverflowError, match="seed"):
        core.solve_genetic_raw(ensemble, c, x, lo_t, hi_t, sigma, weights, 0.0, seed=-1)
    with pytest.raises(TypeError, match="population"):
        core.solve_genetic_raw(ensemble, c, x, lo_t, hi_t, sigma, weights, 0.0, population=8.0)
    with pytest.raises(TypeError, match="ensemble"):
        core.solve_genetic_raw(c, c, x, lo_t, hi_t, sigma, weights, 0.0)


# ---- interrupts ------------------------------------------------------------------------------


def endless_problem(n_tasks):
    """Searches that never qualify and never stall: only the budget or Ctrl-C ends them."""
    ensemble, x, _, _, sigma, weights = random_problem(7, n=6, trees=40)
    rows = np.random.default_rng(0).uniform(-1, 1, (n_tasks, 6))
    return ensemble, make_constraints(6), rows, sigma, weights


def test_ctrl_c_ends_a_batch_of_many_tasks():
    ensemble, c, rows, sigma, weights = endless_problem(300)
    n = len(rows)
    # Probed only between chunks, the first chunk alone would run for 256 x 2 s / 2 CPUs.
    latency = sigint_latency(0.5, lambda: batch(
        ensemble, c, rows, np.arange(n), np.arange(n), INF, INF, sigma, weights,
        max_generations=10**9, stall_generations=10**9, time_budget_s=2.0))
    assert latency < 10


def test_ctrl_c_ends_a_long_single_search():
    ensemble, c, rows, sigma, weights = endless_problem(1)
    # Unprobed, the search would return normally after its 30 s budget.
    latency = sigint_latency(0.5, lambda: ga(
        ensemble, c, rows[0], INF, INF, sigma, weights, max_generations=10**12,
        stall_generations=10**12, time_budget_s=30.0))
    assert latency < 10


def test_other_threads_run_during_a_batch():
    ensemble, c, rows, sigma, weights = endless_problem(4)
    with Ticker() as ticker:
        batch(ensemble, c, rows, np.arange(4), np.arange(4), INF, INF, sigma, weights,
              max_generations=10**9, stall_generations=10**9, time_budget_s=0.3)
    assert ticker.count > 10


EXIT_SCRIPT = """
import math, sys, threading, time
import numpy as np
import _morvel_core as core

entry, delay = sys.argv[1], float(sys.argv[2])
rng = np.random.default_rng(0)
nf, trees = 6, 40
feature = rng.integers(nf, size=trees).astype(np.int32)
u32 = lambda v: np.asarray(v, np.uint32)
# One stump per tree: node 3t splits, 3t+1 and 3t+2 are its leaves.
model = core.RustEnsemble(
    np.stack([feature, -np.ones(trees, np.int32), -np.ones(trees, np.int32)], 1).ravel(),
    np.repeat(rng.uniform(-1, 1, trees), 3), np.ones(3 * trees, np.uint8),
    np.zeros(3 * trees, np.uint8), u32(np.repeat(3 * np.arange(trees) + 1, 3)),
    u32(np.repeat(3 * np.arange(trees) + 2, 3)), rng.normal(size=3 * trees),
    u32(3 * np.arange(trees)), 0.0, "identity", nf)
e32, e64 = np.zeros(0, np.uint32), np.zeros(0)
rules = core.RustConstraints(nf, e32, e32, e64, e64, e32, e64, e32, np.zeros(0, np.int8),
                             np.zeros(1, np.uint32), e32, e64, np.zeros(0, np.uint8), e64,
                             np.zeros(0, np.uint8), e32, e64, e32, e64, e32, e32, e32, e64, e64)
rows = rng.uniform(-1, 1, (40, nf))
endless = dict(max_generations=10**9, stall_generations=10**9, time_budget_s=5.0)
started = threading.Event()

def search():
    started.set()
    if entry == "single":
        core.solve_genetic_raw(model, rules, rows[0], math.inf, math.inf, np.ones(nf),
                               np.ones(nf), 0.0, seed=1, **endless)
    else:
        core.solve_genetic_batch_raw(model, rules, rows, np.arange(40, dtype=np.uint64),
                                     np.arange(40, dtype=np.uint64), math.inf, math.inf,
                                     np.ones(nf), np.ones(nf), 0.0, **endless)

threading.Thread(target=search, daemon=True).start()
started.wait()
time.sleep(delay)
print("main thread done", flush=True)
"""


@pytest.mark.parametrize("delay", [0.0, 0.05, 0.15, 0.3])
@pytest.mark.parametrize("entry", ["single", "batch"])
def test_search_thread_at_interpreter_exit(entry, delay):
    # Both entries probe for Ctrl-C about every 100 ms, so a search on a daemon thread meets
    # the interpreter's shutdown on every run: the process must still exit cleanly.
    done = subprocess.run([sys.executable, "-c", EXIT_SCRIPT, entry, str(delay)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout == "main thread done\n"
