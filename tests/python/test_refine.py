"""The refine search mode: the same optima as the classic search (and brute force) whenever
both prove them, only accepted rows, and the classic mode's statistics, budgets and trace."""
import math
import os
import signal
import threading
import time

import numpy as np
import pytest

import _morvel_core as core
from conftest import make_constraints, random_forest_arrays
from exact_oracle import brute_force
from test_exact import long_search_problem, random_problem, solve

# Every check here also runs with the Lagrangian bound on from the root box.
pytestmark = pytest.mark.usefixtures("lagrange_gate")

GRID = np.linspace(-1, 1, 13)


def mixed_forest(rng, n_num, cards, n_trees, depth):
    """Random trees over n_num numeric features followed by categorical ones of the given
    cardinalities; a split on a categorical feature sends a random proper subset left."""
    n = n_num + len(cards)
    arrays = random_forest_arrays(rng, n, n_trees, depth, grid=GRID)
    if not cards:
        return arrays
    node_set = np.full(len(arrays["feature"]), -1, np.int32)
    offsets, words = [0], []
    for i, f in enumerate(arrays["feature"]):
        if f >= n_num:
            node_set[i] = len(offsets) - 1
            words.append(int(rng.integers(1, 2 ** cards[f - n_num] - 1)))
            offsets.append(len(words))
    arrays.update(node_set=node_set, set_offsets=np.array(offsets, np.uint32),
                  set_words=np.array(words, np.uint64),
                  cat_idx=np.arange(n_num, n, dtype=np.uint32),
                  cat_card=np.array(cards, np.uint32))
    return arrays


def random_rules(rng, n_num, cards, x):
    """A random mix of every rule kind the exact search handles."""
    n = n_num + len(cards)
    num = lambda: int(rng.integers(n_num))  # noqa: E731
    rules, kinds = {}, rng.choice(["freeze", "range", "mono", "equals", "one_hot", "imp",
                                   "pair", "missing", "allowed"], size=3, replace=False)
    if "freeze" in kinds:
        rules["freeze"] = [int(rng.integers(n))]
    if "range" in kinds:
        lo, hi = sorted(np.round(rng.uniform(-1.5, 1.5, 2), 2))
        rules.update(range_idx=[num()], range_lo=[lo], range_hi=[hi])
    if "mono" in kinds:
        rules.update(mono_idx=[num()], mono_dir=[int(rng.choice([-1, 1]))])
    if "equals" in kinds:
        rules.update(equals_idx=[num()], equals_val=[float(rng.choice(GRID))])
    if "one_hot" in kinds and n_num >= 2:
        group = rng.choice(n_num, 2, replace=False)
        rules.update(oh_offsets=[0, 2], oh_indices=[int(g) for g in group])
        # Members that sum to exactly 1 without holding a 1 pass the row check, but the
        # search's propagation rejects them: both modes must agree on that.
        if rng.random() < 0.5:
            x[group] = rng.choice([(0.25, 0.75), (0.0, 1.0), (0.5, 0.5)])
    if "imp" in kinds:
        a, b = rng.choice(n, 2, replace=False)
        value = lambda f: (float(rng.choice(GRID)) if f < n_num  # noqa: E731
                           else float(rng.integers(cards[f - n_num])))
        rules.update(imp_cond_idx=[int(a)], imp_cond_val=[value(a)], imp_cons_idx=[int(b)],
                     imp_cons_val=[value(b)])
    if "pair" in kinds and n_num >= 2:
        a, b = rng.choice(n_num, 2, replace=False)
        rules.update(lin_offsets=[0, 2], lin_indices=[int(a), int(b)], lin_coefs=[1.0, -1.0],
                     lin_op=[0], lin_rhs=[0.0], lin_policy=[0])
    if "missing" in kinds:
        rules.update(am_idx=[num()], am_to=[float(rng.uniform(0.2, 2))],
                     am_from=[float(rng.uniform(0.2, 2))])
    if "allowed" in kinds and cards:
        f = int(rng.integers(len(cards)))
        rules.update(ac_idx=[n_num + f], ac_offsets=[0, 1],
                     ac_words=[int(rng.integers(1, 2 ** cards[f]))])
    return make_constraints(n, **rules), rules


def distance(x, row, sigma, weights, lam, n_num, rules):
    """The distance model, written out for numeric and categorical features."""
    to_from = {f: (t, s) for f, t, s in zip(rules.get("am_idx", []), rules.get("am_to", []),
                                            rules.get("am_from", []))}
    total = 0.0
    for f, (a, v) in enumerate(zip(x, row)):
        t, s = to_from.get(f, (0.0, 0.0))
        if math.isnan(a) and math.isnan(v):
            continue
        if math.isnan(a) or math.isnan(v):
            total += weights[f] * (s if math.isnan(a) else t) / sigma[f] + lam
        elif a != v:
            total += weights[f] * (abs(v - a) if f < n_num else 1.0) / sigma[f] + lam
    return total


def mixed_problem(seed):
    rng = np.random.default_rng(seed)
    n_num = int(rng.integers(2, 5))
    cards = [int(c) for c in rng.integers(3, 6, size=int(rng.integers(0, 3)))]
    n = n_num + len(cards)
    arrays = mixed_forest(rng, n_num, cards, int(rng.integers(3, 9)), int(rng.integers(2, 5)))
    ensemble = core.RustEnsemble(**arrays, base_score=0.0, link="identity", n_features=n)
    x = np.concatenate([np.round(rng.uniform(-1.2, 1.2, n_num), 2),
                        [float(rng.integers(c)) for c in cards]])
    if rng.random() < 0.2:
        x[int(rng.integers(n_num))] = np.nan
    score = ensemble.raw_score_batch(x[None, :])[0]
    shift = float(rng.choice([0.3, 0.8]))
    lo_t, hi_t = (score + shift, math.inf) if rng.random() < 0.5 else (-math.inf, score - shift)
    plaus = {}
    if rng.random() < 0.4:
        if_arrays = random_forest_arrays(rng, n_num, 4, 3, grid=GRID)
        if_ensemble = core.RustEnsemble(**if_arrays, base_score=0.0, link="identity",
                                        n_features=n)
        probe = np.column_stack([rng.uniform(-1.5, 1.5, (200, n_num)),
                                 np.zeros((200, len(cards)))])
        plaus = dict(if_ensemble=if_ensemble, min_total_path=float(
            np.quantile(if_ensemble.raw_score_batch(probe), rng.uniform(0.2, 0.7))))
    constraints, rules = random_rules(rng, n_num, cards, x)
    sigma = rng.uniform(0.5, 2.0, n)
    weights = rng.uniform(0.5, 2.0, n)
    lam = float(rng.choice([0.0, 0.1]))
    return dict(ensemble=ensemble, constraints=constraints, rules=rules, x=x, lo_t=lo_t,
                hi_t=hi_t, sigma=sigma, weights=weights, lam=lam, plaus=plaus, n_num=n_num)


def solve_problem(p, mode, **kw):
    return solve(p["ensemble"], p["constraints"], p["x"], p["lo_t"], p["hi_t"], p["sigma"],
                 p["weights"], p["lam"], search=mode, **p["plaus"], **kw)


def assert_accepted(p, out):
    row, dist = out[0], out[1]
    if row is None:
        assert dist is None
        return
    score = p["ensemble"].raw_score_batch(row[None, :])[0]
    assert p["lo_t"] <= score <= p["hi_t"]
    assert p["constraints"].check(row[None, :], p["x"])[0]
    if p["plaus"]:
        plaus = p["plaus"]["if_ensemble"].raw_score_batch(row[None, :])[0]
        assert plaus >= p["plaus"]["min_total_path"]
    expected = distance(p["x"], row, p["sigma"], p["weights"], p["lam"], p["n_num"], p["rules"])
    assert dist == pytest.approx(expected, rel=1e-12, abs=1e-12)


@pytest.mark.parametrize("chunk", range(8))
def test_refine_matches_classic_with_constraints_categories_and_plausibility(chunk):
    compared = 0
    for seed in range(chunk * 30, chunk * 30 + 30):
        p = mixed_problem(seed)
        classic = solve_problem(p, "classic")
        refine = solve_problem(p, "refine")
        assert refine[3][9] == "refine" and classic[3][9] == "classic"
        assert_accepted(p, classic)
        assert_accepted(p, refine)
        if classic[2] == refine[2] == "optimal":
            assert (classic[1] is None) == (refine[1] is None), seed
            if refine[1] is not None:
                assert refine[1] == pytest.approx(classic[1], rel=1e-12, abs=1e-15), seed
                assert refine[3][3] == pytest.approx(refine[1], rel=1e-12, abs=1e-15)
                compared += 1
            else:
                assert refine[3][3] == math.inf
    # Enough problems have a proven row for the comparison to mean something.
    assert compared >= 10


@pytest.mark.parametrize("seed", range(40))
def test_refine_matches_brute_force_on_boxes(seed):
    arrays, ensemble, x, lo_t, hi_t, sigma, weights, lam = random_problem(2000 + seed, 4, 6, 4)
    n = len(x)
    rng = np.random.default_rng(seed)
    f, (lo, hi) = int(rng.integers(n)), sorted(np.round(rng.uniform(-1.5, 1.5, 2), 2))
    constraints = make_constraints(n, range_idx=[f], range_lo=[lo], range_hi=[hi])
    box_lo, box_hi = [-math.inf] * n, [math.inf] * n
    box_lo[f], box_hi[f] = lo, hi
    row, dist, proof, stats, _, _ = solve(ensemble, constraints, x, lo_t, hi_t, sigma, weights,
                                          lam, search="refine")
    best, _ = brute_force(arrays, n, ensemble, constraints, x, lo_t, hi_t, sigma, weights, lam,
                          box_lo, box_hi)
    assert proof == "optimal" and stats[5] is True and stats[9] == "refine"
    if math.isinf(best):
        assert row is None
    else:
        assert dist == pytest.approx(best, rel=1e-12, abs=1e-12)


def many_cells_problem(seed=7, n=6, trees=40):
    """Many thresholds per feature: the shape the coarse search is made for."""
    rng = np.random.default_rng(seed)
    arrays = random_forest_arrays(rng, n, trees, 4, grid=np.linspace(-1, 1, 81), p_leaf=0.0)
    ensemble = core.RustEnsemble(**arrays, base_score=0.0, link="identity", n_features=n)
    x = np.round(rng.uniform(-0.5, 0.5, n), 3)
    score = ensemble.raw_score_batch(x[None, :])[0]
    return ensemble, make_constraints(n), x, score + 2.0


def test_coarse_boxes_are_accepted_and_split():
    # A narrow window: the greedy start overshoots it, and a box whose cheapest row lands
    # inside is accepted whole.
    ensemble, c, x, lo_t = many_cells_problem(0)
    classic = solve(ensemble, c, x, lo_t, lo_t + 0.05)
    refine = solve(ensemble, c, x, lo_t, lo_t + 0.05, search="refine")
    assert classic[2] == refine[2] == "optimal"
    assert refine[1] == pytest.approx(classic[1], rel=1e-12)
    stats = refine[3]
    assert stats[10] >= 1 and stats[11] >= 1  # coarse_accepts, refinements
    assert classic[3][10] == classic[3][11] == 0
    assert stats[0] < classic[3][0]


def test_immediate_answer_and_presolve_certificate_name_the_mode():
    _, ensemble, x, _, _, _, _, _ = random_problem(3)
    score = ensemble.raw_score_batch(x[None, :])[0]
    out = solve(ensemble, make_constraints(3), x, score - 1, score + 1, search="refine")
    assert out[2] == "optimal"
    assert out[3] == (0, 0, 0, 0.0, 0.0, True, False, 0, False, "refine", 0, 0)
    out = solve(ensemble, make_constraints(3), x, 1e6, math.inf, search="refine")
    assert out[0] is None and out[2] == "optimal"
    assert out[3][8] is True and out[3][3] == math.inf and out[3][9] == "refine"


def test_budgets_give_heuristic_answers_with_sound_bounds():
    ensemble, c, x, lo_t = many_cells_problem(11, 8, 60)
    full = solve(ensemble, c, x, lo_t, math.inf, search="refine")
    assert full[2] == "optimal"
    optimum = math.inf if full[1] is None else full[1]
    none = solve(ensemble, c, x, lo_t, math.inf, search="refine", node_budget=0)
    assert none[0] is None and none[2] == "heuristic" and none[3][0] == 0
    assert none[3][5] is False
    for budget in (1, 7, 50, 400, full[3][0] // 2):
        part = solve(ensemble, c, x, lo_t, math.inf, search="refine", node_budget=budget)
        assert part[3][0] <= budget
        assert part[2] in ("heuristic", "optimal")
        if part[2] == "heuristic":
            assert part[3][5] is False
            assert part[3][3] <= optimum + 1e-12
        if part[0] is not None:
            assert ensemble.raw_score_batch(part[0][None, :])[0] >= lo_t
            assert part[1] >= optimum - 1e-12


def test_gap_and_warm_start():
    ensemble, c, x, lo_t = many_cells_problem(5, 6, 50)
    exact = solve(ensemble, c, x, lo_t, math.inf, search="refine")
    assert exact[2] == "optimal" and exact[0] is not None
    loose = solve(ensemble, c, x, lo_t, math.inf, search="refine", gap=0.5)
    assert loose[2] in ("optimal", "optimal_within_gap") and loose[3][4] == 0.5
    assert exact[1] - 1e-12 <= loose[1] <= exact[1] * 1.5 + 1e-12
    assert loose[3][0] <= exact[3][0]
    warm = solve(ensemble, c, x, lo_t, math.inf, search="refine",
                 incumbent_cost=exact[1] * 2, incumbent_row=exact[0])
    assert warm[2] == "optimal" and warm[3][6] is True
    assert warm[1] == pytest.approx(exact[1], rel=1e-12)


def test_trace_samples_like_the_classic_search():
    ensemble, c, x, lo_t = many_cells_problem(3, 6, 50)
    row, dist, proof, stats, _, (nodes, incumbent, lower) = solve(
        ensemble, c, x, lo_t, math.inf, search="refine")
    assert proof == "optimal" and nodes.dtype == np.uint64
    assert len(nodes) <= 257 and np.all(np.diff(nodes.astype(np.int64)) > 0)
    assert nodes[-1] == stats[0]
    if len(nodes) < 256:  # not thinned: every power of two up to the node count is there
        powers = [1 << k for k in range(64) if (1 << k) <= stats[0]]
        assert set(powers) <= set(nodes.tolist())
    seen = incumbent[~np.isnan(incumbent)]
    assert np.all(np.diff(seen) <= 0) and seen[-1] == dist
    assert np.all(lower[~np.isnan(incumbent)] <= seen + 1e-12)
    assert lower[-1] == stats[3]


def test_time_budget_and_ctrl_c_stop_a_long_refine_search():
    ensemble, c, x, lo_t = long_search_problem()
    started = time.monotonic()
    # A budget that outlasts the prices' fit (about half a second here when it is forced
    # at the root), so that boxes are expanded after it.
    out = solve(ensemble, c, x, lo_t, math.inf, node_budget=10**12, time_budget_s=2.0,
                search="refine")
    assert time.monotonic() - started < 7
    assert out[2] == "heuristic" and out[3][5] is False and out[3][0] > 0
    timer = threading.Timer(0.5, lambda: os.kill(os.getpid(), signal.SIGINT))
    timer.start()
    started = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            solve(ensemble, c, x, lo_t, math.inf, node_budget=10**12, time_budget_s=60.0,
                  search="refine")
    finally:
        timer.cancel()
    assert time.monotonic() - started < 30


def constrained_problem(seed):
    """A random model with box rules, a one-hot group, an implication, allowed-missing and
    allowed-category entries (the rules the MILP below states too)."""
    rng = np.random.default_rng(seed)
    n_num, cards = 4, [int(rng.integers(3, 6))]
    n = n_num + 1
    arrays = mixed_forest(rng, n_num, cards, int(rng.integers(6, 14)), int(rng.integers(2, 5)))
    ensemble = core.RustEnsemble(**arrays, base_score=0.0, link="identity", n_features=n)
    x = np.concatenate([np.round(rng.uniform(-1.2, 1.2, n_num), 2), [float(rng.integers(cards[0]))]])
    x[2], x[3] = (1.0, 0.0) if rng.random() < 0.5 else (0.0, 1.0)
    cond = float(rng.choice(GRID))
    rules = dict(range_idx=[0], range_lo=[-1.0], range_hi=[1.0], mono_idx=[1],
                 mono_dir=[int(rng.choice([-1, 1]))], oh_offsets=[0, 2], oh_indices=[2, 3],
                 imp_cond_idx=[0], imp_cond_val=[cond], imp_cons_idx=[4],
                 imp_cons_val=[float(rng.integers(cards[0]))],
                 am_idx=[1], am_to=[0.5], am_from=[0.5],
                 ac_idx=[4], ac_offsets=[0, 1], ac_words=[int(rng.integers(1, 2 ** cards[0]))])
    if x[0] == cond:
        x[0] = 0.05
    score = ensemble.raw_score_batch(x[None, :])[0]
    lo_t, hi_t = (score + 0.6, math.inf) if rng.random() < 0.6 else (score - 2.0, score - 0.4)
    sigma, weights = rng.uniform(0.5, 2.0, n), rng.uniform(0.5, 2.0, n)
    lam = float(rng.choice([0.0, 0.1]))
    return arrays, ensemble, make_constraints(n, **rules), rules, x, lo_t, hi_t, sigma, weights, lam


@pytest.mark.parametrize("seed", range(16))
def test_refine_matches_a_milp_of_the_same_rules(seed):
    from milp_oracle import StateMilp

    arrays, ensemble, constraints, rules, x, lo_t, hi_t, sigma, weights, lam = \
        constrained_problem(seed)
    n = len(x)
    row, dist, proof, stats, _, _ = solve(ensemble, constraints, x, lo_t, hi_t, sigma, weights,
                                          lam, search="refine")
    assert proof == "optimal"
    offsets, value, cost, *_ = core.debug_domains_raw(
        ensemble, constraints, x, sigma, weights, lam, np.zeros(n, np.uint8), np.zeros(n),
        np.zeros(n))
    states = [list(zip(value[offsets[f]:offsets[f + 1]], cost[offsets[f]:offsets[f + 1]]))
              for f in range(n)]
    implications = list(zip(rules["imp_cond_idx"], rules["imp_cond_val"],
                            rules["imp_cons_idx"], rules["imp_cons_val"]))
    milp = StateMilp(arrays, 0.0, states, lo_t, hi_t, one_hot=[[2, 3]],
                     implications=implications, leaf_integral=False)
    best, milp_row, status, _, _ = milp.solve(time_limit=60.0)
    if math.isinf(best):
        assert row is None and status == "Infeasible"
    else:
        assert dist == pytest.approx(best, rel=1e-6, abs=1e-9)  # HiGHS tolerances
        assert constraints.check(row[None, :], x)[0]
        assert lo_t <= ensemble.raw_score_batch(row[None, :])[0] <= hi_t


@pytest.mark.parametrize("seed", range(2))
def test_refine_matches_a_milp_on_fully_grown_trees(seed):
    """Trees grown to purity split each feature dozens of times, so a tree's prices on a
    feature span many cells: the same optimum as the MILP from the rows farthest from it."""
    from sklearn.ensemble import RandomForestClassifier

    from milp_oracle import StateMilp
    from morvel.models import convert

    rng = np.random.default_rng(seed)
    X = rng.normal(size=(600, 3))
    y = X[:, 0] + X[:, 1] ** 2 - 0.5 * X[:, 2] + 0.6 * rng.normal(size=600) > 0.8
    model = RandomForestClassifier(n_estimators=4, random_state=seed).fit(X, y)
    most_cells = max(len(np.unique(t.tree_.threshold[t.tree_.feature == f])) + 1
                     for t in model.estimators_ for f in range(3))
    assert most_cells > 16
    flat = convert(model)
    ensemble, n = flat.to_core(), X.shape[1]
    arrays = dict(feature=flat.feature, threshold=flat.threshold, is_lt=flat.is_lt,
                  missing_left=flat.missing_left, left=flat.left, right=flat.right,
                  value=flat.value, tree_roots=flat.tree_roots)
    sigma, weights = X.std(axis=0), np.ones(n)
    lo_t = 0.5 + 1e-9
    for i in np.argsort(ensemble.raw_score_batch(X), kind="stable")[:2]:  # the farthest rows
        x = np.ascontiguousarray(X[i])
        row, dist, proof, *_ = solve(ensemble, make_constraints(n), x, lo_t, math.inf, sigma,
                                     weights, 0.0, search="refine")
        offsets, value, cost, *_ = core.debug_domains_raw(
            ensemble, make_constraints(n), x, sigma, weights, 0.0, np.zeros(n, np.uint8),
            np.zeros(n), np.zeros(n))
        states = [list(zip(value[offsets[f]:offsets[f + 1]], cost[offsets[f]:offsets[f + 1]]))
                  for f in range(n)]
        best, *_ = StateMilp(arrays, flat.base_score, states, lo_t, math.inf).solve(60.0)
        assert proof == "optimal"
        assert dist == pytest.approx(best, rel=1e-6, abs=1e-9)
        assert ensemble.raw_score_batch(row[None, :])[0] >= lo_t
