"""Pickling the native classes: every protocol and deepcopy give objects that score,
check, repair and solve bit-identically; damaged states raise the constructors' errors."""
import copy
import gc
import pickle
import subprocess
import sys
import textwrap
import tracemalloc

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from morvel import core

from conftest import make_constraints, random_forest_arrays

PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)


def copies(obj):
    for protocol in PROTOCOLS:
        yield pickle.loads(pickle.dumps(obj, protocol=protocol))
    yield copy.deepcopy(obj)
    yield copy.copy(obj)


def same_bits(a, b) -> bool:
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and np.array_equal(a.view(np.uint64), b.view(np.uint64))


def categorical_ensemble():
    """Feature 1 is categorical (5 codes): x1 in {1, 3} goes left, then a numeric split."""
    u32 = np.uint32
    return core.RustEnsemble(
        feature=np.array([1, 0, -1, -1, -1], np.int32),
        threshold=np.array([0.0, 0.25, 0, 0, 0]), is_lt=np.array([0, 1, 0, 0, 0], np.uint8),
        missing_left=np.array([1, 0, 0, 0, 0], np.uint8), left=np.array([1, 2, 0, 0, 0], u32),
        right=np.array([4, 3, 0, 0, 0], u32), value=np.array([0, 0, -1.5, 0.5, 2.0]),
        tree_roots=np.array([0], u32), base_score=0.125, link="identity", n_features=3,
        node_set=np.array([0, -1, -1, -1, -1], np.int32), set_offsets=np.array([0, 1], u32),
        set_words=np.array([0b1010], np.uint64), cat_idx=np.array([1], u32),
        cat_card=np.array([5], u32))


@pytest.fixture(scope="module")
def forest():
    rng = np.random.default_rng(11)
    arrays = random_forest_arrays(rng, n_features=5, n_trees=30, max_depth=4)
    return arrays, core.RustEnsemble(**arrays, base_score=-0.3, link="sigmoid", n_features=5)


def test_ensembles_score_bit_identically(forest):
    arrays, ensemble = forest
    rng = np.random.default_rng(0)
    X = rng.uniform(-1.2, 1.2, size=(500, 5))
    X[rng.random(X.shape) < 0.1] = np.nan
    cat = categorical_ensemble()
    Xc = np.column_stack([rng.uniform(0, 0.5, 200), rng.integers(-1, 7, 200).astype(float),
                          rng.normal(size=200)])
    for original, rows in ((ensemble, X), (cat, Xc)):
        want = original.raw_score_batch(rows)
        for again in copies(original):
            assert type(again) is core.RustEnsemble
            assert same_bits(again.raw_score_batch(rows), want)
    # The state is the constructor's arrays as given (a fixed point under pickling).
    state = ensemble.__reduce__()[1]
    for k, name in enumerate(["feature", "threshold", "is_lt", "missing_left", "left", "right",
                              "value", "tree_roots"]):
        assert state[k].dtype == arrays[name].dtype and np.array_equal(state[k], arrays[name])
    assert state[8:11] == (-0.3, "sigmoid", 5)
    cat_state = pickle.loads(pickle.dumps(cat)).__reduce__()[1]
    assert cat_state[14].tolist() == [1] and cat_state[15].tolist() == [5]


def test_ensembles_and_constraints_solve_bit_identically(forest):
    _, ensemble = forest
    cons = make_constraints(5, freeze=[0], range_idx=[1, 2], range_lo=[-0.5, -1.0],
                            range_hi=[0.9, 1.0], mono_idx=[3], mono_dir=[1],
                            lin_offsets=[0, 2], lin_indices=[1, 2], lin_coefs=[1.0, -1.0],
                            lin_op=[0], lin_rhs=[0.0], lin_policy=[0])
    x = np.array([0.1, -0.4, 0.3, -0.2, 0.5])
    n = 5
    args = (x, 0.4, np.inf, np.full(n, 0.5), np.ones(n), 0.01, np.zeros(n, np.uint8),
            np.zeros(n), np.zeros(n))

    def solve(e, c):
        row, dist, proof, stats, snapped, _ = core.solve_exact_raw(e, c, *args, search="classic")
        return row, dist, proof, stats[0], stats[5]

    want = solve(ensemble, cons)
    assert want[0] is not None and want[4]  # found and proved
    for e2, c2 in zip(copies(ensemble), copies(cons)):
        got = solve(e2, c2)
        assert same_bits(got[0], want[0]) and same_bits(got[1], want[1])
        assert got[2:] == want[2:]

    if not hasattr(core, "solve_genetic_raw"):
        return
    background = np.random.default_rng(1).uniform(-1, 1, size=(50, n))

    def genetic(e, c):
        return core.solve_genetic_raw(e, c, *args[:6], background=background, seed=42,
                                      population=30, max_generations=30, time_budget_s=60.0)

    row, generations = genetic(ensemble, cons)
    assert row is not None
    for e2, c2 in zip(copies(ensemble), copies(cons)):
        again, gens = genetic(e2, c2)
        assert same_bits(again, row) and gens == generations


def test_pickling_leaks_nothing(forest):
    _, ensemble = forest
    cons = make_constraints(5, freeze=[0], range_idx=[1], range_lo=[0.0], range_hi=[1.0],
                            oh_offsets=[0, 2], oh_indices=[3, 4], ac_idx=[2], ac_offsets=[0, 1],
                            ac_words=[5])

    def cycle():
        for obj in (ensemble, cons):
            pickle.loads(pickle.dumps(obj))
            obj.__reduce__()

    for _ in range(20):
        cycle()
    gc.collect()  # earlier tests' garbage would leave with this test's
    refs = sys.getrefcount(core.RustEnsemble), sys.getrefcount(core.RustConstraints)
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(1000):
            cycle()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    # One leaked state per cycle would be over 10 MB (the forest's arrays are ~10 kB).
    assert grown < 200_000
    assert (sys.getrefcount(core.RustEnsemble), sys.getrefcount(core.RustConstraints)) == refs


def random_constraint_kwargs(rng, n):
    k = lambda hi: int(rng.integers(0, hi))  # noqa: E731
    f = lambda m: rng.integers(0, n, m)       # noqa: E731
    v = lambda m: np.where(rng.random(m) < 0.1, np.nan, rng.normal(size=m))  # noqa: E731
    n_lin, n_oh, n_ac = k(3), k(3), k(3)
    lin_sizes, oh_sizes = rng.integers(0, 3, n_lin), rng.integers(0, 3, n_oh)
    ac_sizes = rng.integers(0, 3, n_ac)
    r, e, m, i, a = k(4), k(3), k(3), k(3), k(3)
    return dict(
        freeze=f(k(3)), range_idx=f(r), range_lo=v(r) - 1, range_hi=v(r) + 1, equals_idx=f(e),
        equals_val=v(e), mono_idx=f(m), mono_dir=rng.choice([-1, 1], m),
        lin_offsets=np.concatenate([[0], np.cumsum(lin_sizes)]),
        lin_indices=f(int(lin_sizes.sum())), lin_coefs=v(int(lin_sizes.sum())),
        lin_op=rng.integers(0, 3, n_lin), lin_rhs=v(n_lin), lin_policy=rng.integers(0, 2, n_lin),
        imp_cond_idx=f(i), imp_cond_val=v(i), imp_cons_idx=f(i), imp_cons_val=v(i),
        oh_offsets=np.concatenate([[0], np.cumsum(oh_sizes)]), oh_indices=f(int(oh_sizes.sum())),
        am_idx=f(a), am_to=rng.random(a), am_from=rng.random(a),
        ac_idx=f(n_ac) if n_ac else None,
        ac_offsets=np.concatenate([[0], np.cumsum(ac_sizes)]) if n_ac else None,
        ac_words=rng.integers(0, 2**63, int(ac_sizes.sum()), dtype=np.uint64) if n_ac else None)


def test_constraints_check_and_repair_identically():
    rng = np.random.default_rng(5)
    for _ in range(40):
        n = int(rng.integers(1, 7))
        cons = make_constraints(n, **random_constraint_kwargs(rng, n))
        x = rng.normal(size=n)
        rows = np.where(rng.random((64, n)) < 0.1, np.nan, rng.normal(size=(64, n)))
        rows[:, :n // 2] = np.round(rows[:, :n // 2])
        state = cons.__reduce__()[1]
        for again in copies(cons):
            assert np.array_equal(again.check(rows, x), cons.check(rows, x))
            assert same_bits(again.repair(rows, x), cons.repair(rows, x))
            for a, b in zip(again.__reduce__()[1], state):
                assert (a is None and b is None) or (a == b if np.isscalar(a)
                                                     else same_bits(a, b) or
                                                     np.array_equal(a, b))


class _Damaged:
    """Pickles as `cls(*state)`: what a damaged or hostile pickle stream asks for."""

    def __init__(self, cls, state):
        self.cls, self.state = cls, state

    def __reduce__(self):
        return self.cls, tuple(self.state)


def _cast(values, dtype):
    with np.errstate(invalid="ignore", over="ignore"):
        return np.asarray(values, dtype=np.float64).astype(dtype, casting="unsafe")


def _mutations(state):
    """Strategies replacing one argument of a valid state by a damaged value."""
    def damaged(arg):
        if isinstance(arg, np.ndarray):
            kinds = [st.integers(-2**31, 2**31 - 1), st.floats(allow_nan=True)]
            values = st.lists(st.one_of(*kinds), max_size=12)
            return st.one_of(
                values.map(lambda v: _cast(v, arg.dtype)),
                st.just(arg[:-1]), st.just(arg[::-1].copy()), st.just(arg.astype(np.float32)),
                st.just(np.concatenate([arg, arg])), st.just(arg[::2]), st.just([1, 2]),
                st.just(np.concatenate([arg[:3], [np.iinfo(arg.dtype).max]]).astype(arg.dtype)
                        if arg.dtype.kind in "ui" else arg))
        if isinstance(arg, str):
            return st.sampled_from(["Sigmoid", "", "logit", "identity\x00", 3])
        if isinstance(arg, float):
            return st.one_of(st.floats(allow_nan=True), st.just("1.0"))
        return st.one_of(st.integers(-5, 2**70), st.just(None), st.just(2.5))

    return st.integers(0, len(state) - 1).flatmap(
        lambda i: damaged(state[i]).map(lambda v: (i, v)))


ENSEMBLE_STATE = categorical_ensemble().__reduce__()[1]
CONSTRAINT_STATE = make_constraints(
    4, freeze=[0], range_idx=[1], range_lo=[0.0], range_hi=[2.0], lin_offsets=[0, 2],
    lin_indices=[1, 2], lin_coefs=[1.0, -1.0], lin_op=[0], lin_rhs=[0.0], lin_policy=[1],
    oh_offsets=[0, 2], oh_indices=[2, 3], imp_cond_idx=[0], imp_cond_val=[1.0],
    imp_cons_idx=[3], imp_cons_val=[0.0], ac_idx=[1], ac_offsets=[0, 1],
    ac_words=[6]).__reduce__()[1]


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.sampled_from(["ensemble", "constraints"]).flatmap(
    lambda which: _mutations(ENSEMBLE_STATE if which == "ensemble" else CONSTRAINT_STATE).map(
        lambda change: (which, change))))
def test_damaged_states_raise_the_constructors_errors(case):
    which, (i, value) = case
    cls, state = ((core.RustEnsemble, ENSEMBLE_STATE) if which == "ensemble"
                  else (core.RustConstraints, CONSTRAINT_STATE))
    state = list(state)
    state[i] = value
    blob = pickle.dumps(_Damaged(cls, state))
    try:
        obj = pickle.loads(blob)
    except (ValueError, TypeError, OverflowError):
        return
    # Accepted: then it was a valid state, and the object works.
    n = state[10] if which == "ensemble" else state[0]
    if n > 64:  # a huge width: too wide to score here; a narrower row is refused
        with pytest.raises(ValueError, match="expected .* features"):
            (obj.raw_score_batch if which == "ensemble" else
             lambda r: obj.check(r, r[0]))(np.zeros((1, 3)))
        return
    rows = np.random.default_rng(0).integers(-1, 6, size=(8, n)).astype(float)
    if which == "ensemble":
        scores = obj.raw_score_batch(rows)
        leaves, base = np.asarray(state[6], dtype=float), state[8]
        if not np.isfinite(leaves).all():
            assert scores.shape == (8,)  # an infinite leaf's score is the model's own
        elif not np.isfinite(base):
            # An infinite or NaN base score is added to every score as it stands.
            assert np.array_equal(scores, np.full(8, base), equal_nan=True)
        else:
            assert np.isfinite(scores).all()
    else:
        assert obj.check(rows, rows[0]).shape == (8,)
        assert obj.repair(rows, rows[0]).shape == rows.shape


WIDE_PICKLE = textwrap.dedent("""
    import pickle, resource, sys
    import numpy as np
    import _morvel_core as core
    blob = bytes.fromhex(sys.argv[1])
    limit = 1 << 30
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
    try:
        model = pickle.loads(blob)
    except ValueError as err:
        print("refused", err)
    else:
        state = model.__reduce__()[1]
        try:
            model.raw_score_batch(np.zeros((1, 3)))
        except ValueError as err:
            print("loaded", state[10], state[14].tolist(), state[15].tolist(), err)
""")


@pytest.mark.parametrize("cat_idx", [[1], [2 ** 30 - 1]])
def test_a_declared_width_costs_no_memory_per_feature(cat_idx):
    # A pickle of under a kilobyte declaring 2**30 features unpickled into 8 GB of
    # per-feature tables. Under a 1 GB address-space limit it must load (or be refused),
    # never fail to allocate.
    state = list(ENSEMBLE_STATE)
    state[10] = 2 ** 30
    state[14], state[15] = np.array(cat_idx, np.uint32), np.array([5], np.uint32)
    blob = pickle.dumps(_Damaged(core.RustEnsemble, state))
    assert len(blob) < 2000
    done = subprocess.run([sys.executable, "-c", WIDE_PICKLE, blob.hex()], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.split("\n")[0] == (
        f"loaded {2 ** 30} {cat_idx} [5] expected {2 ** 30} features, got 3")
