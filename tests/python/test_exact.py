"""Exact counterfactual search: optimality against brute force, statistics, errors."""
import math

import numpy as np
import pytest

import _morvel_core as core
from conftest import Ticker, make_constraints, random_forest_arrays, sigint_latency
from exact_oracle import brute_force


def policies(n, code=0):
    return np.full(n, code, np.uint8), np.zeros(n), np.zeros(n)


def solve(ensemble, constraints, x, lo_t, hi_t, sigma=None, weights=None, lam=0.0, **kw):
    n = len(x)
    sigma = np.ones(n) if sigma is None else sigma
    weights = np.ones(n) if weights is None else weights
    return core.solve_exact_raw(ensemble, constraints, np.asarray(x, float), lo_t, hi_t,
                                sigma, weights, lam, *policies(n), **kw)


def random_problem(seed, n_features=3, n_trees=4, depth=3):
    rng = np.random.default_rng(seed)
    arrays = random_forest_arrays(rng, n_features, n_trees, depth)
    ensemble = core.RustEnsemble(**arrays, base_score=0.0, link="identity",
                                 n_features=n_features)
    x = np.round(rng.uniform(-1.2, 1.2, n_features), 2)
    score = ensemble.raw_score_batch(x[None, :])[0]
    # A window the factual row misses, on either side.
    lo_t, hi_t = (score + 0.3, math.inf) if rng.random() < 0.5 else (-math.inf, score - 0.3)
    sigma = rng.uniform(0.5, 2.0, n_features)
    weights = rng.uniform(0.5, 2.0, n_features)
    lam = float(rng.choice([0.0, 0.1]))
    return arrays, ensemble, x, lo_t, hi_t, sigma, weights, lam


@pytest.mark.parametrize("seed", range(60))
def test_optimum_matches_brute_force(seed):
    arrays, ensemble, x, lo_t, hi_t, sigma, weights, lam = random_problem(seed)
    n = len(x)
    constraints = make_constraints(n)
    row, dist, proof, stats, _, _ = solve(ensemble, constraints, x, lo_t, hi_t, sigma, weights,
                                          lam)
    best, _ = brute_force(arrays, n, ensemble, constraints, x, lo_t, hi_t, sigma, weights, lam)
    assert proof == "optimal" and stats[5] is True
    if math.isinf(best):
        assert row is None and dist is None and stats[3] == math.inf
    else:
        assert dist == pytest.approx(best, rel=1e-12, abs=1e-12)
        score = ensemble.raw_score_batch(row[None, :])[0]
        assert lo_t <= score <= hi_t
        assert stats[3] == pytest.approx(dist)


@pytest.mark.parametrize("seed", range(40))
def test_optimum_with_box_constraints_matches_brute_force(seed):
    arrays, ensemble, x, lo_t, hi_t, sigma, weights, lam = random_problem(1000 + seed)
    n = len(x)
    rng = np.random.default_rng(seed)
    frozen = [int(rng.integers(n))]
    ranged = int(rng.integers(n))
    lo_r, hi_r = sorted(np.round(rng.uniform(-1.5, 1.5, 2), 2))
    mono_f = int(rng.integers(n))
    mono_d = int(rng.choice([-1, 1]))
    constraints = make_constraints(n, freeze=frozen, range_idx=[ranged], range_lo=[lo_r],
                                   range_hi=[hi_r], mono_idx=[mono_f], mono_dir=[mono_d])
    box_lo, box_hi = [-math.inf] * n, [math.inf] * n
    for f in frozen:
        box_lo[f] = max(box_lo[f], x[f])
        box_hi[f] = min(box_hi[f], x[f])
    box_lo[ranged], box_hi[ranged] = max(box_lo[ranged], lo_r), min(box_hi[ranged], hi_r)
    if mono_d > 0:
        box_lo[mono_f] = max(box_lo[mono_f], x[mono_f])
    else:
        box_hi[mono_f] = min(box_hi[mono_f], x[mono_f])
    row, dist, proof, _, _, _ = solve(ensemble, constraints, x, lo_t, hi_t, sigma, weights, lam)
    best, _ = brute_force(arrays, n, ensemble, constraints, x, lo_t, hi_t, sigma, weights, lam,
                          box_lo, box_hi)
    assert proof == "optimal"
    if math.isinf(best):
        assert row is None
    else:
        assert dist == pytest.approx(best, rel=1e-12, abs=1e-12)
        assert constraints.check(row[None, :], x)[0]


def test_factual_row_that_qualifies_is_returned_at_once():
    _, ensemble, x, _, _, _, _, _ = random_problem(3)
    score = ensemble.raw_score_batch(x[None, :])[0]
    row, dist, proof, stats, snapped, trace = solve(ensemble, make_constraints(3), x,
                                                    score - 1, score + 1)
    np.testing.assert_array_equal(row, x)
    assert (dist, proof) == (0.0, "optimal")
    assert stats == (0, 0, 0, 0.0, 0.0, True, False, 0, False, "classic", 0, 0)
    assert snapped.dtype == np.uint64 and snapped.size == 0
    np.testing.assert_array_equal(trace[0], [0])
    np.testing.assert_array_equal(trace[1], [0.0])


def test_budgets_give_heuristic_answers_with_sound_bounds():
    arrays, ensemble, x, lo_t, hi_t, sigma, weights, lam = random_problem(11, 4, 12, 4)
    c = make_constraints(4)
    full = solve(ensemble, c, x, lo_t, hi_t, sigma, weights, lam)
    assert full[2] == "optimal"
    none = solve(ensemble, c, x, lo_t, hi_t, sigma, weights, lam, node_budget=0)
    assert none[0] is None and none[2] == "heuristic" and none[3][0] == 0
    assert none[3][5] is False and none[3][3] <= (full[1] if full[1] is not None else math.inf)
    for budget in (1, 5, 20):
        part = solve(ensemble, c, x, lo_t, hi_t, sigma, weights, lam, node_budget=budget)
        assert part[3][0] <= budget
        if part[2] == "heuristic" and full[1] is not None:
            assert part[3][3] <= full[1] + 1e-12


def test_gap_and_warm_start():
    arrays, ensemble, x, lo_t, hi_t, sigma, weights, lam = random_problem(5, 4, 10, 4)
    c = make_constraints(4)
    exact = solve(ensemble, c, x, lo_t, hi_t, sigma, weights, lam)
    assert exact[0] is not None
    loose = solve(ensemble, c, x, lo_t, hi_t, sigma, weights, lam, gap=0.5)
    assert loose[2] in ("optimal", "optimal_within_gap")
    assert loose[1] <= exact[1] * 1.5 + 1e-12
    assert loose[3][4] == 0.5
    warm = solve(ensemble, c, x, lo_t, hi_t, sigma, weights, lam,
                 incumbent_cost=exact[1] * 2, incumbent_row=exact[0])
    assert warm[3][6] is True and warm[1] == pytest.approx(exact[1])
    with pytest.raises(ValueError, match="incumbent_row"):
        solve(ensemble, c, x, lo_t, hi_t, incumbent_cost=1.0, incumbent_row=np.zeros(5))


def test_unsupported_linear_constraint_and_order_pairs():
    _, ensemble, x, lo_t, hi_t, _, _, _ = random_problem(8)
    msg = ('Linear constraint over multiple features is not supported by the exact backend '
           'yet; use backend="genetic".')
    bad = make_constraints(3, lin_offsets=[0, 2], lin_indices=[0, 1], lin_coefs=[2.0, -2.0],
                           lin_op=[0], lin_rhs=[0.0], lin_policy=[0])
    with pytest.raises(ValueError) as err:
        solve(ensemble, bad, x, lo_t, hi_t)
    assert str(err.value) == msg
    pair = make_constraints(3, lin_offsets=[0, 2], lin_indices=[0, 1], lin_coefs=[1.0, -1.0],
                            lin_op=[0], lin_rhs=[0.0], lin_policy=[0])
    row = solve(ensemble, pair, x, lo_t, hi_t)[0]
    if row is not None:
        assert row[0] <= row[1] + 1e-9


def test_caller_faults_are_runtime_errors():
    _, ensemble, x, lo_t, hi_t, _, _, _ = random_problem(2)
    c = make_constraints(3)
    args = (ensemble, c, x, lo_t, hi_t, np.ones(3), np.ones(3), 0.0)
    with pytest.raises(RuntimeError) as err:
        core.solve_exact_raw(*args, *policies(3), search="Classic")
    assert str(err.value) == 'unknown search mode "Classic"'
    with pytest.raises(RuntimeError, match="^unknown value policy code 7$"):
        core.solve_exact_raw(*args, np.array([0, 7, 0], np.uint8), np.zeros(3), np.zeros(3))
    with pytest.raises(RuntimeError, match="^value policy code/step/anchor arrays must have "
                                           "equal length$"):
        core.solve_exact_raw(*args, np.zeros(3, np.uint8), np.zeros(2), np.zeros(3))
    with pytest.raises(RuntimeError, match="^expected 3 value-policy entries, got 2$"):
        core.solve_exact_raw(*args, np.zeros(2, np.uint8), np.zeros(2), np.zeros(2))
    with pytest.raises(TypeError, match="not an instance of 'RustEnsemble'"):
        core.solve_exact_raw(c, c, *args[2:], *policies(3))
    with pytest.raises(ValueError, match="^expected 3 features, got 4$"):
        core.solve_exact_raw(ensemble, c, np.zeros(4), *args[3:], *policies(4))


def long_search_problem():
    rng = np.random.default_rng(123)
    n = 12
    arrays = random_forest_arrays(rng, n, 90, 6, grid=np.linspace(-1, 1, 41), p_leaf=0.0)
    ensemble = core.RustEnsemble(**arrays, base_score=0.0, link="identity", n_features=n)
    x = np.zeros(n)
    hi = ensemble.raw_score_batch(rng.uniform(-1, 1, (2000, n))).max()
    # A window just out of reach keeps the search busy for a long time.
    return ensemble, make_constraints(n), x, hi + 5.0


def test_ctrl_c_surfaces_as_keyboard_interrupt():
    ensemble, c, x, lo_t = long_search_problem()
    latency = sigint_latency(0.5, lambda: solve(ensemble, c, x, lo_t, math.inf,
                                                node_budget=10**12, time_budget_s=60.0))
    assert latency < 30


def test_other_threads_run_while_searching():
    ensemble, c, x, lo_t = long_search_problem()
    with Ticker() as ticker:
        solve(ensemble, c, x, lo_t, math.inf, time_budget_s=0.5, node_budget=10**12)
    assert ticker.count > 10


@pytest.mark.parametrize("seed", range(6))
def test_optimum_matches_milp_on_medium_ensembles(seed):
    from milp_oracle import solve_milp

    rng = np.random.default_rng(500 + seed)
    n = 6
    arrays = random_forest_arrays(rng, n, 60, 4, grid=np.linspace(-1, 1, 15))
    ensemble = core.RustEnsemble(**arrays, base_score=0.5, link="identity", n_features=n)
    x = np.round(rng.uniform(-1, 1, n), 2)
    score = ensemble.raw_score_batch(x[None, :])[0]
    lo_t, hi_t = score + 1.0, math.inf
    sigma, weights = rng.uniform(0.5, 2, n), rng.uniform(0.5, 2, n)
    row, dist, proof, _, _, _ = solve(ensemble, make_constraints(n), x, lo_t, hi_t, sigma,
                                      weights, 0.05)
    best, _ = solve_milp(arrays, 0.5, n, x, lo_t, hi_t, sigma, weights, 0.05)
    assert proof == "optimal"
    if math.isinf(best):
        assert row is None
    else:
        assert dist == pytest.approx(best, rel=1e-6, abs=1e-9)
        assert ensemble.raw_score_batch(row[None, :])[0] >= lo_t


@pytest.mark.parametrize("coef, op, rhs", [(1.0, 0, 0.5), (-2.0, 1, -1.0), (4.0, 0, 2.0)])
def test_single_feature_inequality_cuts_a_cell_without_losing_it(coef, op, rhs):
    # x0 <= 1 scores 0, else 1. From x0 = 5 the window (-inf, 0.5] needs x0 <= 1, and the
    # constraint allows only x0 <= 0.5: the optimum sits inside the cell (-inf, 1].
    from conftest import flat_arrays
    arrays = flat_arrays([0, -1, -1], [1.0, 0, 0], [0, 0, 0], [0, 0, 0], [1, 0, 0], [2, 0, 0],
                         [0, 0.0, 1.0], [0])
    ensemble = core.RustEnsemble(**arrays, base_score=0.0, link="identity", n_features=1)
    c = make_constraints(1, lin_offsets=[0, 1], lin_indices=[0], lin_coefs=[coef], lin_op=[op],
                         lin_rhs=[rhs], lin_policy=[0])
    row, dist, proof, _, _, _ = solve(ensemble, c, [5.0], -math.inf, 0.5)
    assert proof == "optimal"
    np.testing.assert_array_equal(row, [0.5])
    assert dist == 4.5


def grid_values(cells, x, per_cell=8):
    """Points of every cell: the one nearest to x, both ends (or just inside), and a grid."""
    out = []
    for cell in cells:
        lo = cell.nearest(-math.inf) if math.isfinite(cell.lo) else cell.hi - 4.0
        hi = cell.nearest(math.inf) if math.isfinite(cell.hi) else cell.lo + 4.0
        pts = [cell.nearest(x), cell.nearest(lo), cell.nearest(hi)]
        pts += [cell.nearest(v) for v in np.linspace(lo, hi, per_cell)]
        out += [p for p in pts if cell.contains(p)]
    return sorted(set(out))


@pytest.mark.parametrize("seed", range(25))
def test_order_pair_optimum_is_not_beaten_by_a_dense_grid(seed):
    from exact_oracle import cells_of, split_points

    arrays, ensemble, x, lo_t, hi_t, sigma, weights, lam = random_problem(2000 + seed)
    n = len(x)
    rng = np.random.default_rng(seed)
    a, b = rng.permutation(n)[:2]
    c = make_constraints(n, lin_offsets=[0, 2], lin_indices=[a, b], lin_coefs=[1.0, -1.0],
                         lin_op=[0], lin_rhs=[0.0], lin_policy=[0])
    row, dist, proof, _, _, _ = solve(ensemble, c, x, lo_t, hi_t, sigma, weights, lam)
    values = [grid_values(cells_of(pts), x[f]) for f, pts in enumerate(split_points([arrays], n))]
    rows = np.array(np.meshgrid(*values, indexing="ij")).reshape(n, -1).T
    ok = c.check(rows, x)
    scores = ensemble.raw_score_batch(rows)
    ok &= (scores >= lo_t) & (scores <= hi_t)
    good = rows[ok]
    costs = np.zeros(len(good))
    for f in range(n):  # summed in feature order, like the solver
        moved = good[:, f] != x[f]
        costs = costs + np.where(moved, weights[f] * np.abs(good[:, f] - x[f]) / sigma[f] + lam,
                                 0.0)
    grid_best = costs.min() if costs.size else math.inf
    if row is None:
        assert proof != "optimal" or math.isinf(grid_best)
    else:
        assert c.check(row[None, :], x)[0]
        assert lo_t <= ensemble.raw_score_batch(row[None, :])[0] <= hi_t
        assert row[a] <= row[b] + 1e-9
        if proof == "optimal":
            assert dist <= grid_best + 1e-9


def test_factual_values_the_model_cannot_place_are_value_errors():
    _, ensemble, x, lo_t, hi_t, _, _, _ = random_problem(4)
    bad = x.copy()
    bad[1] = math.inf
    with pytest.raises(ValueError, match=r"^x\[1\] is infinite$"):
        solve(ensemble, make_constraints(3), bad, lo_t, hi_t)
