"""Further score windows beside the model's: every solver against brute force, a MILP over
several ensembles and the libraries' own predictions of multi-class models; regions
checked on every cell of the box."""
import itertools
import math
import re
from types import SimpleNamespace

import numpy as np
import pytest

import _morvel_core as core
from conftest import make_constraints, random_forest_arrays
from exact_oracle import brute_force
from region_oracle import box_points, cell_values, feature_cells

# Every check here also runs with the Lagrangian bound on from the root box.
pytestmark = pytest.mark.usefixtures("lagrange_gate")

INF = math.inf


def policies(n):
    return np.zeros(n, np.uint8), np.zeros(n), np.zeros(n)


def as_flat(arrays, n):
    """A flat-ensemble view of plain arrays for the region oracle's cells."""
    return SimpleNamespace(**arrays, n_features=n, node_set=None)


def random_windows(seed, n=3):
    """A model with a window its factual row misses and one to three further ensembles,
    each with a window taken from its scores on random rows (one-sided or two-sided), so
    that some problems have no row inside every window."""
    rng = np.random.default_rng(seed)
    arrays = [random_forest_arrays(rng, n, int(rng.integers(2, 5)), 3)
              for _ in range(1 + int(rng.integers(1, 4)))]
    ensembles = [core.RustEnsemble(**a, base_score=0.0, link="identity", n_features=n)
                 for a in arrays]
    x = np.round(rng.uniform(-1.2, 1.2, n), 2)
    s0 = ensembles[0].raw_score_batch(x[None])[0]
    windows = [(s0 + 0.3, INF) if rng.random() < 0.5 else (-INF, s0 - 0.3)]
    sample = rng.uniform(-1.5, 1.5, (300, n))
    for e in ensembles[1:]:
        q = np.quantile(e.raw_score_batch(sample), np.sort(rng.uniform(0.1, 0.9, 2)))
        windows.append(rng.choice([(q[0], INF), (-INF, q[1]), (q[0], q[1])]))
    sigma, weights = rng.uniform(0.5, 2.0, n), rng.uniform(0.5, 2.0, n)
    return arrays, ensembles, [tuple(map(float, w)) for w in windows], x, sigma, weights


def inside(ensembles, windows, rows):
    rows = np.atleast_2d(rows)
    ok = np.ones(len(rows), bool)
    for e, (lo, hi) in zip(ensembles, windows):
        s = e.raw_score_batch(np.ascontiguousarray(rows))
        ok &= (s >= lo) & (s <= hi)
    return ok


def cost(x, row, sigma, weights, lam):
    return sum(0.0 if v == xv else w * abs(v - xv) / s + lam
               for xv, v, s, w in zip(x, row, sigma, weights))


@pytest.mark.parametrize("seed", range(40))
def test_solvers_meet_every_window_and_the_exact_optimum_is_brute_force(seed):
    arrays, ensembles, windows, x, sigma, weights = random_windows(seed)
    n, lam = len(x), 0.05 * (seed % 2)
    cons = make_constraints(n)
    further = [(e, lo, hi) for e, (lo, hi) in zip(ensembles[1:], windows[1:])]
    best, _ = brute_force(arrays[0], n, ensembles[0], cons, x, *windows[0], sigma, weights, lam,
                          extra=arrays[1:], plausible=lambda r: inside(ensembles, windows, r))
    for search in ("classic", "refine"):
        row, dist, proof, stats, _, _ = core.solve_exact_raw(
            ensembles[0], cons, x, *windows[0], sigma, weights, lam, *policies(n),
            search=search, windows=further)
        assert proof == "optimal" and stats[5], search
        if math.isinf(best):
            assert row is None
        else:
            assert dist == pytest.approx(best, rel=1e-12, abs=1e-12)
            assert inside(ensembles, windows, row).all()

    # The genetic search only returns rows inside every window; the batch gives each task
    # the row a single search with its seed gives.
    rows = np.ascontiguousarray(np.stack([x, np.round(x[::-1], 2)]))
    seeds = np.array([seed, seed + 1], np.uint64)
    out, found, _ = core.solve_genetic_batch_raw(
        ensembles[0], cons, rows, np.arange(2, dtype=np.uint64), seeds, *windows[0], sigma,
        weights, lam, max_generations=30, windows=further)
    for k in range(2):
        single, _ = core.solve_genetic_raw(ensembles[0], cons, rows[k], *windows[0], sigma,
                                           weights, lam, seed=int(seeds[k]), max_generations=30,
                                           windows=further)
        assert (single is not None) == bool(found[k])
        if single is not None:
            assert np.array_equal(single, out[k], equal_nan=True)
            assert inside(ensembles, windows, single).all()
            if k == 0:
                assert cost(x, single, sigma, weights, lam) >= best - 1e-9


@pytest.mark.parametrize("seed", range(12))
def test_regions_stay_inside_every_window(seed):
    arrays, ensembles, windows, x, sigma, weights = random_windows(100 + seed)
    n = len(x)
    cons = make_constraints(n)
    further = [(e, lo, hi) for e, (lo, hi) in zip(ensembles[1:], windows[1:])]
    row = core.solve_exact_raw(ensembles[0], cons, x, *windows[0], sigma, weights, 0.0,
                               *policies(n), search="refine", windows=further)[0]
    if row is None:
        pytest.skip("no row inside every window")
    # Trees cannot tell apart two values of one cell (over every window's splits), so the
    # extremes of every cell inside the box stand for all of its points.
    cells = feature_cells([as_flat(a, n) for a in arrays])
    for maximal in (False, True):
        reg = core.compute_region_raw(
            ensembles[0], np.ones(len(arrays[0]["feature"]), np.uint8), cons, row,
            *windows[0], np.full(n, -INF), np.full(n, INF), np.arange(n, dtype=np.uint32),
            maximal=maximal, budget=500, windows=further)
        values = [cell_values(cells[f], reg["lo"][f], reg["hi"][f]) for f in range(n)]
        points = np.array(list(itertools.product(*values)))
        assert inside(ensembles, windows, points).all()
        # Witnesses are real: each lies outside some window.
        assert not inside(ensembles, windows, reg["witness_points"].reshape(-1, n)).any()


# -- multi-class models and several models: the libraries' own predictions, a MILP -------


def flat_arrays(flat):
    return dict(feature=flat.feature, threshold=flat.threshold, is_lt=flat.is_lt,
                missing_left=flat.missing_left, left=flat.left, right=flat.right,
                value=flat.value, tree_roots=flat.tree_roots, node_set=flat.node_set,
                set_offsets=flat.set_offsets, set_words=flat.set_words)


def multiclass_model(kind, X, y):
    from sklearn import ensemble

    if kind == "xgboost":
        import xgboost
        return xgboost.XGBClassifier(n_estimators=12, max_depth=3, random_state=0).fit(X, y)
    if kind.startswith("lightgbm"):
        import lightgbm
        model = lightgbm.LGBMClassifier(n_estimators=12, num_leaves=6, verbose=-1,
                                        min_child_samples=5, random_state=0)
        if kind == "lightgbm-categorical":  # feature 0 as six category codes
            return model.fit(X, y, categorical_feature=[0])
        return model.fit(X, y)
    make = dict(hist=lambda: ensemble.HistGradientBoostingClassifier(max_iter=12, max_depth=3),
                gradient=lambda: ensemble.GradientBoostingClassifier(n_estimators=8, max_depth=2),
                forest=lambda: ensemble.RandomForestClassifier(n_estimators=12, max_depth=4),
                extra=lambda: ensemble.ExtraTreesClassifier(n_estimators=12, max_depth=4))[kind]
    return make().set_params(random_state=0).fit(X, y)


def solve_windows(windows, x, sigma, search="refine", **kw):
    """The exact search with the first window as the model's and the rest as further ones."""
    (e, lo, hi, _), further = windows[0], windows[1:]
    n = len(x)
    return core.solve_exact_raw(e, make_constraints(n), x, lo, hi, sigma, np.ones(n), 0.0,
                                *policies(n), search=search, windows=further, **kw)


def library_scores(kind, model, X):
    """Each class's raw score as the library computes it."""
    if kind == "xgboost":
        return model.predict(X, output_margin=True)
    if kind.startswith("lightgbm"):
        return model.predict(X, raw_score=True)
    if kind in ("forest", "extra"):
        return model.predict_proba(X)
    return model.decision_function(X)


@pytest.mark.parametrize("kind", ["xgboost", "lightgbm", "lightgbm-categorical", "hist",
                                  "gradient", "forest", "extra"])
def test_multiclass_counterfactuals_are_predicted_as_the_target(kind):
    from sklearn.datasets import load_wine

    from morvel.models.multiclass import class_scores, class_windows, core_windows

    X, y = load_wine(return_X_y=True)
    if kind == "lightgbm-categorical":
        X[:, 0] = np.digitize(X[:, 0], np.quantile(X[:, 0], [0.2, 0.4, 0.6, 0.8, 0.9]))
    model = multiclass_model(kind, X, y)
    scores = class_scores(model)
    # Per-class scores as the library's own (XGBoost adds them in float32).
    ours = np.stack([e.to_core().raw_score_batch(X) for e in scores.per_class], axis=1)
    np.testing.assert_allclose(ours, library_scores(kind, model, X), rtol=0,
                               atol=2e-5 if kind == "xgboost" else 1e-12)
    sigma = X.std(axis=0)
    n = X.shape[1]
    numeric = np.flatnonzero(scores.per_class[0].cardinality == 0).astype(np.uint32)
    rng = np.random.default_rng(0)
    for i in (0, 70, 140):
        x = np.ascontiguousarray(X[i])
        target = scores.classes[np.argsort(model.predict_proba(x[None]))[0, -2]]
        # XGBoost adds margins in float32; a small margin keeps rows it would call a tie.
        windows = core_windows(class_windows(scores, target,
                                             margin=1e-5 if kind == "xgboost" else 0.0))
        row, dist, proof = solve_windows(windows, x, sigma)[:3]
        assert proof == "optimal" and row is not None
        assert model.predict(row[None])[0] == target
        # With the change-set rules: alternatives of at most three changes, each predicted c.
        for alt in solve_windows(windows, x, sigma, alternatives=2, max_changes=3):
            if alt[0] is not None:
                assert model.predict(alt[0][None])[0] == target
                assert (alt[0] != x).sum() <= 3 and alt[1] >= dist - 1e-9
        ga = core.solve_genetic_raw(windows[0][0], make_constraints(n), x, *windows[0][1:3],
                                    sigma, np.ones(n), 0.0, seed=i, windows=windows[1:])[0]
        if ga is not None:
            assert model.predict(ga[None])[0] == target
            assert cost(x, ga, sigma, np.ones(n), 0.0) >= dist - 1e-9
        e0, lo0, hi0, md0 = windows[0]
        reg = core.compute_region_raw(e0, md0, make_constraints(n), row, lo0, hi0,
                                      np.full(n, -INF), np.full(n, INF), numeric,
                                      windows=windows[1:])
        lo, hi = np.maximum(reg["lo"], X.min(0) - 1), np.minimum(reg["hi"], X.max(0) + 1)
        assert (model.predict(box_points(lo, hi, {}, rng, 300)) == target).all()


@pytest.mark.parametrize("case", ["bootstrap", "multiclass"])
def test_exact_optimum_matches_a_milp_over_several_ensembles(case):
    import lightgbm
    import xgboost
    from sklearn.datasets import load_wine, make_classification

    from milp_oracle import StateMilp
    from morvel.models import convert
    from morvel.models.multiclass import class_scores, class_windows, core_windows

    rng = np.random.default_rng(3)
    if case == "bootstrap":
        # Recourse that three models trained on bootstrap samples all accept.
        X, y = make_classification(n_samples=400, n_features=6, random_state=3)
        models = []
        for k in range(3):
            pick = rng.integers(0, len(X), len(X))
            models.append(xgboost.XGBClassifier(n_estimators=15, max_depth=3,
                                                random_state=k).fit(X[pick], y[pick]))
        flats = [convert(m) for m in models]
        windows = [(f, 1e-5, INF) for f in flats]  # each margin above 0 (float32 sums)
        rows = [i for i in range(len(X)) if all(m.predict(X[i:i + 1])[0] == 0 for m in models)][:2]

        def accepted(row):
            return all(m.predict(row[None])[0] == 1 for m in models)
    else:
        X, y = load_wine(return_X_y=True)
        model = lightgbm.LGBMClassifier(n_estimators=8, num_leaves=5, verbose=-1).fit(X, y)
        scores = class_scores(model)
        rows = [5, 100]
        windows = None

        def accepted(row):
            return model.predict(row[None])[0] == target
    sigma, n = X.std(axis=0), X.shape[1]
    for i in rows:
        x = np.ascontiguousarray(X[i], dtype=np.float64)
        if case == "multiclass":
            target = scores.classes[(scores.index(model.predict(x[None])[0]) + 1) % 3]
            windows = class_windows(scores, target)
        cw = core_windows(windows)
        row, dist, proof = solve_windows(cw, x, sigma)[:3]
        assert proof == "optimal" and accepted(row)
        offsets, value, cost_, _, _, _ = core.debug_domains_raw(
            cw[0][0], make_constraints(n), x, sigma, np.ones(n), 0.0, *policies(n),
            windows=cw[1:])
        states = [list(zip(value[offsets[f]:offsets[f + 1]], cost_[offsets[f]:offsets[f + 1]]))
                  for f in range(n)]
        (f0, lo0, hi0), more = windows[0], windows[1:]
        milp = StateMilp(flat_arrays(f0), f0.base_score, states, lo0, hi0, leaf_integral=False,
                         windows=[(flat_arrays(f), f.base_score, lo, hi) for f, lo, hi in more])
        best, milp_row, status = milp.solve(time_limit=120)[:3]
        assert status == "Optimal" and accepted(milp_row)
        assert dist == pytest.approx(best, rel=1e-6, abs=1e-9)


# -- refused windows ---------------------------------------------------------------------


def test_bad_windows_are_value_errors_naming_the_window():
    rng = np.random.default_rng(0)
    n = 3
    arrays = random_forest_arrays(rng, n, 3, 2)
    model = core.RustEnsemble(**arrays, base_score=0.0, link="identity", n_features=n)
    m = len(arrays["feature"])
    wide = core.RustEnsemble(**random_forest_arrays(rng, 4, 2, 2), base_score=0.0,
                             link="identity", n_features=4)
    coded = core.RustEnsemble(**arrays, base_score=0.0, link="identity", n_features=n,
                              node_set=np.full(m, -1, np.int32), set_offsets=np.zeros(1, np.uint32),
                              set_words=np.zeros(0, np.uint64), cat_idx=np.array([2], np.uint32),
                              cat_card=np.array([4], np.uint32))
    good = (model, -INF, INF)
    cases = [([], "windows is empty"),
             ([good, (wide, 0.0, 1.0)], "windows[1]: the ensemble has 4 features, the model 3"),
             ([good, (coded, 0.0, 1.0)], "windows[1]: the ensemble declares 4 categories"),
             ([good, (model, math.nan, 1.0)], "windows[1]: lo must not be NaN"),
             ([good, (model, 0.0, math.nan)], "windows[1]: hi must not be NaN"),
             ([good, (model, 2.0, 1.0)], "windows[1]: lo 2 is above hi 1"),
             ([good, (model, 0.0, 1.0, np.ones(m + 1, np.uint8))],
              "windows[1]: missing_defined has")]
    x, ones, cons = np.zeros(n), np.ones(n), make_constraints(n)
    entries = {
        "exact": lambda w: core.solve_exact_raw(model, cons, x, -INF, INF, ones, ones, 0.0,
                                                *policies(n), windows=w),
        "domains": lambda w: core.debug_domains_raw(model, cons, x, ones, ones, 0.0,
                                                    *policies(n), windows=w),
        "genetic": lambda w: core.solve_genetic_raw(model, cons, x, -INF, INF, ones, ones, 0.0,
                                                    windows=w),
        "batch": lambda w: core.solve_genetic_batch_raw(
            model, cons, x[None], np.zeros(1, np.uint64), np.zeros(1, np.uint64), -INF, INF,
            ones, ones, 0.0, windows=w),
        "region": lambda w: core.compute_region_raw(
            model, np.ones(m, np.uint8), cons, x, -INF, INF, np.full(n, -INF), np.full(n, INF),
            np.arange(n, dtype=np.uint32), windows=w),
    }
    for name, call in entries.items():
        for windows, message in cases:
            with pytest.raises(ValueError, match=re.escape(message)):
                call(windows)
        for malformed in ((model, 0.0), [(model, 0.0, 1.0)][0], [[model, 0.0, 1.0]]):
            with pytest.raises(TypeError, match="windows"):
                call(malformed)
        call(None)  # None is no further window
