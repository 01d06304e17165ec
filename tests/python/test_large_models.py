"""The exact search on models large enough that nodes are slow and preparation is long.

Ctrl-C and the time budget must end a solve within a fraction of a second whatever phase it
is in, and preparation must cost memory in proportion to the model, not to its width.
"""
import math
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import _morvel_core as core
from conftest import make_constraints


def complete_trees(rng, n_trees, depth, n_features, thresholds=None):
    """`n_trees` complete binary trees of `depth`, in one breadth-first node array each;
    thresholds from a grid of 0.01 unless given (one per node)."""
    per_tree = 2 ** (depth + 1) - 1
    n_internal = 2 ** depth - 1
    local = np.arange(per_tree)
    n = n_trees * per_tree
    offset = np.repeat(np.arange(n_trees) * per_tree, per_tree)
    internal = np.tile(local < n_internal, n_trees)
    feature = np.where(internal, rng.integers(0, n_features, n), -1).astype(np.int32)
    left = np.where(internal, offset + 2 * np.tile(local, n_trees) + 1, 0).astype(np.uint32)
    right = np.where(internal, left + 1, 0).astype(np.uint32)
    return core.RustEnsemble(
        feature, np.round(rng.uniform(-1, 1, n), 2) if thresholds is None else thresholds,
        np.ones(n, np.uint8),
        rng.integers(0, 2, n).astype(np.uint8), left, right,
        np.where(internal, 0.0, rng.normal(0, 0.1, n)), (np.arange(n_trees) * per_tree)
        .astype(np.uint32), 0.0, "identity", n_features)


@pytest.fixture(scope="module")
def deep_model():
    """300 trees of depth 8 on 20 features: a few thousand nodes a second at most."""
    return complete_trees(np.random.default_rng(1), 300, 8, 20)


@pytest.fixture(scope="module")
def many_stumps():
    """200,000 stumps: preparing the search alone takes a few tenths of a second."""
    return complete_trees(np.random.default_rng(2), 200_000, 1, 20)


def solve(ensemble, search, **kw):
    n = 20
    x = np.zeros(n)
    top = ensemble.raw_score_batch(np.random.default_rng(0).uniform(-1, 1, (500, n))).max()
    return core.solve_exact_raw(
        ensemble, make_constraints(n), x, top + 0.5, math.inf, np.ones(n), np.ones(n), 0.0,
        np.zeros(n, np.uint8), np.zeros(n), np.zeros(n), search=search, **kw)


@pytest.mark.parametrize("search", ["classic", "refine"])
@pytest.mark.parametrize("model", ["deep_model", "many_stumps"])
def test_ctrl_c_ends_the_solve_promptly(request, model, search):
    ensemble = request.getfixturevalue(model)
    fired = []

    def send():
        fired.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(0.4, send)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            solve(ensemble, search, node_budget=10**12, time_budget_s=600.0)
        latency = time.monotonic() - fired[0]
    finally:
        timer.cancel()
    # Well under a second on an idle machine; the margin is for loaded CI hosts.
    assert latency < 3.0


@pytest.mark.parametrize("search", ["classic", "refine"])
def test_time_budget_bounds_preparation(many_stumps, search):
    started = time.monotonic()
    row, distance, proof, stats, _, trace = solve(many_stumps, search, time_budget_s=0.02)
    assert time.monotonic() - started < 5.0
    assert row is None and distance is None and proof == "heuristic"
    nodes, lower_bound, completed = stats[0], stats[3], stats[5]
    assert (nodes, completed) == (0, False)
    assert lower_bound == 0.0  # nothing proven, and costs are never negative
    assert len(trace[0]) >= 1


def test_stopped_preparation_keeps_the_warm_start(many_stumps):
    n = 20
    warm = np.full(n, 0.5)
    row, distance, proof, stats, _, _ = solve(many_stumps, "refine", time_budget_s=0.0,
                                              incumbent_row=warm)
    assert proof == "heuristic" and stats[6] is True  # warm_start_used
    np.testing.assert_array_equal(row, warm)
    assert distance == pytest.approx(0.5 * n)


@pytest.mark.parametrize("budget", [0.0, 0.1, 0.4])
def test_time_budget_bounds_the_genetic_search_from_its_start(budget):
    # 200,000 stumps on distinct thresholds: 200,000 candidate values, so the first
    # population alone took 55 to 103 s to build and score whatever the budget.
    rng = np.random.default_rng(4)
    ensemble = complete_trees(rng, 200_000, 1, 20, thresholds=rng.uniform(-1, 1, 600_000))
    n = 20
    x = np.zeros(n)
    lo_t = ensemble.raw_score_batch(x[None, :])[0] + 0.2
    started = time.monotonic()
    row, generations = core.solve_genetic_raw(ensemble, make_constraints(n), x, lo_t,
                                              math.inf, np.ones(n), np.ones(n), 0.0, seed=3,
                                              time_budget_s=budget)
    assert time.monotonic() - started < budget + 5.0
    # Sound either way: a row the model scores in the window, or none (and then no
    # generation was completed or none found one).
    if row is not None:
        assert generations >= 1
        assert ensemble.raw_score_batch(row[None, :])[0] >= lo_t


def test_preparing_a_wide_model_costs_memory_in_proportion_to_its_nodes():
    # 40,000 stumps over 2^16 features: per-node feature sets over all features took a
    # gigabyte before the search could start.
    script = textwrap.dedent("""
        import resource, sys, numpy as np, _morvel_core as core
        sys.path.insert(0, %r)
        from conftest import make_constraints
        from test_large_models import complete_trees
        n = 1 << 16
        e = complete_trees(np.random.default_rng(3), 40_000, 1, n)
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        r = core.solve_exact_raw(e, make_constraints(n), np.zeros(n), 1e9, np.inf, np.ones(n),
                                 np.ones(n), 0.0, np.zeros(n, np.uint8), np.zeros(n),
                                 np.zeros(n), search="refine", time_budget_s=1.0)
        print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
    """ % os.path.dirname(os.path.abspath(__file__)))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         timeout=120, check=True).stdout.split()
    assert int(out[-1]) < 300_000  # kilobytes
