"""Rules on the set of changed features at the raw boundary: the cap (max_changes) and
alternatives (earlier change sets), against brute force, for every solver."""
import math

import numpy as np
import pytest

import _morvel_core as core
from conftest import make_constraints, random_forest_arrays
from exact_oracle import brute_force

# Every check here also runs with the Lagrangian bound on from the root box.
pytestmark = pytest.mark.usefixtures("lagrange_gate")


def changed(x, row):
    return frozenset(int(f) for f in np.flatnonzero(~((row == x) | (np.isnan(row) & np.isnan(x)))))


def keeps(sets, diversity, cap, change):
    """The rules, written out on Python sets: the oracle's filter."""
    if cap is not None and len(change) > cap:
        return False
    if not sets:
        return True
    if diversity == "no_superset":
        return not any(s <= change for s in sets)
    return bool(change - frozenset().union(*sets))


def csr(sets):
    offsets = np.cumsum([0] + [len(s) for s in sets]).astype(np.uint32)
    features = np.array([f for s in sets for f in sorted(s)], dtype=np.uint32)
    return dict(exclude_offsets=offsets, exclude_features=features)


def problem(seed):
    rng = np.random.default_rng(seed)
    n = 4
    arrays = random_forest_arrays(rng, n, 5, 3)
    ensemble = core.RustEnsemble(**arrays, base_score=0.0, link="identity", n_features=n)
    x = np.round(rng.uniform(-1.2, 1.2, n), 2)
    score = ensemble.raw_score_batch(x[None, :])[0]
    lo_t, hi_t = (score + 0.2, math.inf) if rng.random() < 0.5 else (-math.inf, score - 0.2)
    sigma, weights = rng.uniform(0.5, 2.0, n), rng.uniform(0.5, 2.0, n)
    lam = float(rng.choice([0.0, 0.2]))
    # Now and then a range the factual value lies outside of: that feature must change.
    rules, box_lo, box_hi = {}, [-math.inf] * n, [math.inf] * n
    if rng.random() < 0.3:
        f = int(rng.integers(n))
        lo_r = float(np.round(x[f] + 0.1, 2))
        rules = dict(range_idx=[f], range_lo=[lo_r], range_hi=[math.inf])
        box_lo[f] = lo_r
    constraints = make_constraints(n, **rules)
    return arrays, ensemble, constraints, x, lo_t, hi_t, sigma, weights, lam, box_lo, box_hi


@pytest.mark.parametrize("seed", range(36))
def test_cap_and_alternatives_are_the_brute_force_optima(seed):
    arrays, ensemble, cons, x, lo_t, hi_t, sigma, weights, lam, box_lo, box_hi = problem(seed)
    n = len(x)
    rng = np.random.default_rng(10_000 + seed)
    cap = [None, 1, 2][seed % 3]
    diversity = ["no_superset", "new_feature"][(seed // 3) % 2]
    ranked = brute_force(arrays, n, ensemble, cons, x, lo_t, hi_t, sigma, weights, lam, box_lo,
                         box_hi, ranked=True)
    policies = (np.zeros(n, np.uint8), np.zeros(n), np.zeros(n))
    for search in ("classic", "refine"):
        kw = dict(search=search, diversity=diversity, alternatives=4)
        if cap is not None:
            kw["max_changes"] = cap
        # Start from a given earlier set half of the time (the API's resumed searches).
        given = [frozenset(rng.choice(n, 2, replace=False).tolist())] if seed % 2 else []
        if given:
            kw.update(csr(given))
        out = core.solve_exact_raw(ensemble, cons, x, lo_t, hi_t, sigma, weights, lam,
                                   *policies, **kw)
        assert 1 <= len(out) <= 4
        sets = list(given)
        for i, (row, dist, proof, stats, _, _) in enumerate(out):
            best = next((c for c, r in ranked if keeps(sets, diversity, cap, changed(x, r))),
                        math.inf)
            assert proof == "optimal" and stats[5] is True
            if row is None:
                assert i == len(out) - 1 and math.isinf(best)
                break
            change = changed(x, row)
            score = ensemble.raw_score_batch(row[None, :])[0]
            assert lo_t <= score <= hi_t and cons.check(row[None, :], x)[0]
            assert keeps(sets, diversity, cap, change)
            assert dist == pytest.approx(best, rel=1e-12, abs=1e-12)
            sets.append(change)


def test_without_rules_one_alternative_is_the_plain_solve():
    arrays, ensemble, cons, x, lo_t, hi_t, sigma, weights, lam, _, _ = problem(3)
    policies = (np.zeros(len(x), np.uint8), np.zeros(len(x)), np.zeros(len(x)))
    for search in ("classic", "refine"):
        plain = core.solve_exact_raw(ensemble, cons, x, lo_t, hi_t, sigma, weights, lam,
                                     *policies, search=search)
        (one,) = core.solve_exact_raw(ensemble, cons, x, lo_t, hi_t, sigma, weights, lam,
                                      *policies, search=search, alternatives=1)
        np.testing.assert_array_equal(plain[0], one[0])
        assert plain[1:4] == one[1:4]


@pytest.mark.parametrize("seed", range(12))
def test_genetic_rows_keep_the_rules(seed):
    _, ensemble, cons, x, lo_t, hi_t, sigma, weights, lam, _, _ = problem(seed)
    n = len(x)
    rules = dict(max_changes=1 + seed % 2)
    sets = [frozenset({seed % n, (seed + 1) % n})] if seed % 3 else []
    if sets:
        rules.update(csr(sets))
    row, _ = core.solve_genetic_raw(ensemble, cons, x, lo_t, hi_t, sigma, weights, lam,
                                    seed=seed, population=40, max_generations=40, **rules)
    x_cf, feasible, _ = core.solve_genetic_batch_raw(
        ensemble, cons, x[None, :], np.zeros(3, np.uint64), np.arange(3, dtype=np.uint64),
        lo_t, hi_t, sigma, weights, lam, population=40, max_generations=40,
        max_changes=rules["max_changes"])
    found = [r for r, ok in zip(x_cf, feasible) if ok] + ([row] if row is not None else [])
    for r in found:
        score = ensemble.raw_score_batch(r[None, :])[0]
        assert lo_t <= score <= hi_t and cons.check(r[None, :], x)[0]
        assert len(changed(x, r)) <= rules["max_changes"]
    if row is not None:
        assert keeps(sets, "no_superset", rules["max_changes"], changed(x, row))


def test_region_holds_the_kept_features_fixed():
    arrays, ensemble, cons, x, lo_t, hi_t, sigma, weights, lam, _, _ = problem(5)
    n = len(x)
    policies = (np.zeros(n, np.uint8), np.zeros(n), np.zeros(n))
    row = core.solve_exact_raw(ensemble, cons, x, lo_t, hi_t, sigma, weights, lam, *policies,
                               max_changes=1)[0]
    assert row is not None and len(changed(x, row)) == 1
    missing_defined = np.ones(len(arrays["feature"]), np.uint8)
    args = (ensemble, missing_defined, cons, row, lo_t, hi_t, np.full(n, -np.inf),
            np.full(n, np.inf), np.arange(n, dtype=np.uint32))
    region = core.compute_region_raw(*args, x=x, max_changes=1)
    for f in range(n):
        if f not in changed(x, row):
            assert region["lo"][f] == region["hi"][f] == row[f]
    with pytest.raises(ValueError, match="needs x"):
        core.compute_region_raw(*args, max_changes=1)
    with pytest.raises(ValueError, match="more than max_changes 0"):
        core.compute_region_raw(*args, x=x, max_changes=0)


def test_bad_rule_arguments_and_impossible_caps():
    _, ensemble, _, x, lo_t, hi_t, sigma, weights, lam, _, _ = problem(7)
    n = len(x)
    policies = (np.zeros(n, np.uint8), np.zeros(n), np.zeros(n))
    frozen = make_constraints(n, freeze=list(range(n)))

    def solve(cons=frozen, **kw):
        return core.solve_exact_raw(ensemble, cons, x, lo_t, hi_t, sigma, weights, lam,
                                    *policies, **kw)

    with pytest.raises(ValueError, match="alternatives must be at least 1"):
        solve(alternatives=0)
    with pytest.raises(ValueError, match="exclude_offsets"):
        solve(exclude_offsets=np.array([0, 3], np.uint32), exclude_features=np.zeros(2, np.uint32))
    with pytest.raises(ValueError, match="given together"):
        solve(exclude_offsets=np.array([0], np.uint32))
    with pytest.raises(ValueError, match="exclude_features"):
        solve(**csr([{n}]))
    with pytest.raises(RuntimeError, match="unknown diversity"):
        solve(diversity="some")
    with pytest.raises(TypeError, match="max_changes"):
        solve(max_changes=1.5)
    for search in ("classic", "refine"):
        # Nothing may change: a proved "no row", with a cap or the factual as an earlier answer.
        for kw in (dict(max_changes=1), dict(**csr([set()]))):
            row, _, proof, stats, _, _ = solve(search=search, **kw)
            assert row is None and proof == "optimal" and stats[5] is True
        row, _, proof, stats, _, _ = solve(make_constraints(n), search=search, max_changes=0)
        assert row is None and proof == "optimal" and stats[5] is True
