"""The exact search's presolve against a direct reading of its rule: a state is dropped when,
with that state alone assigned and every other feature free, the per-tree leaf ranges
summed from the base score in tree order miss the window (or, with a plausibility model,
its greatest sum misses the threshold). Windows are also set exactly on such sums, where
one rounding step decides."""
import math

import numpy as np
import pytest

import _morvel_core as core
from conftest import make_constraints, random_forest_arrays
from test_refine import mixed_forest


def reachable_range(arrays, node, f, v):
    """(min, max) of the leaves below `node` reachable with feature f = v, others free."""
    feature = arrays["feature"]
    if feature[node] < 0:
        return arrays["value"][node], arrays["value"][node]
    left, right = int(arrays["left"][node]), int(arrays["right"][node])
    if feature[node] != f:
        a, b = reachable_range(arrays, left, f, v), reachable_range(arrays, right, f, v)
        return min(a[0], b[0]), max(a[1], b[1])
    return reachable_range(arrays, left if goes_left(arrays, node, v) else right, f, v)


def goes_left(arrays, node, v):
    if math.isnan(v):
        return bool(arrays["missing_left"][node])
    node_set = arrays.get("node_set")
    if node_set is not None and node_set[node] >= 0:
        s = node_set[node]
        words = arrays["set_words"][arrays["set_offsets"][s]:arrays["set_offsets"][s + 1]]
        if not (math.isfinite(v) and v >= 0 and v == int(v)):
            return False
        c = int(v)
        return c < 64 * len(words) and bool((int(words[c // 64]) >> (c % 64)) & 1)
    t = arrays["threshold"][node]
    return v < t if arrays["is_lt"][node] else v <= t


def interval(arrays, base, f, v):
    lo = hi = base
    for root in arrays["tree_roots"]:
        a, b = reachable_range(arrays, int(root), f, v)
        lo, hi = lo + a, hi + b
    return lo, hi


def expected_removed(arrays, base, domains, searched, lo_t, hi_t, plaus=None, factual=None):
    """Dropped states, or 0 when the factual row is accepted (the search answers at once)."""
    if factual is not None and factual:
        return 0
    removed = 0
    for f in searched:
        for v in domains[f]:
            lo, hi = interval(arrays, base, f, v)
            keep = not (hi < lo_t) and not (lo > hi_t)
            if plaus is not None:
                p_arrays, p_base, mtp = plaus
                keep = keep and not (interval(p_arrays, p_base, f, v)[1] < mtp)
            removed += not keep
    return removed


def domains_of(ensemble, constraints, x, if_ensemble=None):
    n = len(x)
    offsets, value, *_ = core.debug_domains_raw(
        ensemble, constraints, x, np.ones(n), np.ones(n), 0.0, np.zeros(n, np.uint8),
        np.zeros(n), np.zeros(n), if_ensemble=if_ensemble)
    return [value[offsets[f]:offsets[f + 1]] for f in range(n)]


def removed_by_solver(ensemble, constraints, x, lo_t, hi_t, **kw):
    n = len(x)
    out = core.solve_exact_raw(ensemble, constraints, x, lo_t, hi_t, np.ones(n), np.ones(n),
                               0.0, np.zeros(n, np.uint8), np.zeros(n), np.zeros(n),
                               node_budget=0, **kw)
    return out[3][7]


def split_features(arrays):
    return sorted({int(f) for f in arrays["feature"] if f >= 0})


@pytest.mark.parametrize("seed", range(12))
def test_presolve_drops_what_the_rule_drops(seed):
    rng = np.random.default_rng(seed)
    n_num = 3
    cards = [4] if seed % 3 == 0 else []
    n = n_num + len(cards)
    arrays = mixed_forest(rng, n_num, cards, 8, 3)
    ensemble = core.RustEnsemble(**arrays, base_score=0.25, link="identity", n_features=n)
    x = np.concatenate([np.round(rng.uniform(-1, 1, n_num), 2), [1.0] * len(cards)])
    if seed % 4 == 1:
        x[0] = np.nan
    rules = dict(am_idx=[0], am_to=[0.5], am_from=[0.5]) if seed % 4 == 1 else {}
    constraints = make_constraints(n, **rules)
    domains = domains_of(ensemble, constraints, x)
    searched = sorted(set(split_features(arrays)) | ({0} if rules else set()))
    # Every state's greatest sum; windows between them, and exactly on them.
    tops = sorted({interval(arrays, 0.25, f, v)[1] for f in searched for v in domains[f]})
    assert len(tops) > 2
    lows = [tops[len(tops) // 2], tops[1], np.nextafter(tops[1], math.inf)]
    score = ensemble.raw_score_batch(x[None, :])[0]
    for lo_t in lows:
        expected = expected_removed(arrays, 0.25, domains, searched, lo_t, math.inf,
                                    factual=score >= lo_t)
        assert removed_by_solver(ensemble, constraints, x, lo_t, math.inf) == expected
    # Upper window ends and a plausibility threshold.
    bottoms = sorted({interval(arrays, 0.25, f, v)[0] for f in searched for v in domains[f]})
    hi_t = bottoms[-2]
    expected = expected_removed(arrays, 0.25, domains, searched, -math.inf, hi_t,
                                factual=score <= hi_t)
    assert removed_by_solver(ensemble, constraints, x, -math.inf, hi_t) == expected

    p_arrays = random_forest_arrays(rng, n_num, 5, 3)
    if_ensemble = core.RustEnsemble(**p_arrays, base_score=0.0, link="identity", n_features=n)
    p_domains = domains_of(ensemble, constraints, x, if_ensemble)
    p_searched = sorted(set(searched) | set(split_features(p_arrays)))
    paths = sorted({interval(p_arrays, 0.0, f, v)[1] for f in p_searched for v in p_domains[f]})
    mtp = paths[len(paths) // 3]
    plausible = if_ensemble.raw_score_batch(x[None, :])[0] >= mtp
    expected = expected_removed(arrays, 0.25, p_domains, p_searched, -math.inf, math.inf,
                                (p_arrays, 0.0, mtp), factual=plausible)
    got = removed_by_solver(ensemble, constraints, x, -math.inf, math.inf,
                            if_ensemble=if_ensemble, min_total_path=mtp)
    assert got == expected
