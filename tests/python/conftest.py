import os

# scikit-learn's histogram predictors run OpenMP teams that spin-wait; on a loaded machine
# each one-row predict then takes tens of milliseconds. Before any library loads OpenMP.
os.environ.setdefault("OMP_NUM_THREADS", "1")

import signal
import threading
import time

import numpy as np
import pytest


def flat_arrays(feature, threshold, is_lt, missing_left, left, right, value, roots):
    """Typed node arrays for RustEnsemble from plain lists."""
    return dict(
        feature=np.asarray(feature, dtype=np.int32),
        threshold=np.asarray(threshold, dtype=np.float64),
        is_lt=np.asarray(is_lt, dtype=np.uint8),
        missing_left=np.asarray(missing_left, dtype=np.uint8),
        left=np.asarray(left, dtype=np.uint32),
        right=np.asarray(right, dtype=np.uint32),
        value=np.asarray(value, dtype=np.float64),
        tree_roots=np.asarray(roots, dtype=np.uint32),
    )


@pytest.fixture
def stump_arrays():
    """x0 < 0.5 -> -1 else +1 (NaN goes left), over two features."""
    return flat_arrays([0, -1, -1], [0.5, 0, 0], [1, 0, 0], [1, 0, 0], [1, 0, 0], [2, 0, 0],
                       [0, -1.0, 1.0], [0])


def make_constraints(n_features, **rules):
    """RustConstraints with empty rule arrays unless given (plain lists are typed here)."""
    import _morvel_core as core

    kinds = dict(freeze=np.uint32, range_idx=np.uint32, range_lo=np.float64,
                 range_hi=np.float64, equals_idx=np.uint32, equals_val=np.float64,
                 mono_idx=np.uint32, mono_dir=np.int8, lin_offsets=np.uint32,
                 lin_indices=np.uint32, lin_coefs=np.float64, lin_op=np.uint8,
                 lin_rhs=np.float64, lin_policy=np.uint8, imp_cond_idx=np.uint32,
                 imp_cond_val=np.float64, imp_cons_idx=np.uint32, imp_cons_val=np.float64,
                 oh_offsets=np.uint32, oh_indices=np.uint32, am_idx=np.uint32,
                 am_to=np.float64, am_from=np.float64, ac_idx=np.uint32, ac_offsets=np.uint32,
                 ac_words=np.uint64)
    args = {k: np.zeros(0, dtype=t) for k, t in kinds.items() if not k.startswith("ac_")}
    args["lin_offsets"] = np.zeros(1, dtype=np.uint32)
    for k, v in rules.items():
        args[k] = None if v is None else np.asarray(v, dtype=kinds[k])
    return core.RustConstraints(n_features, **args)


def random_forest_arrays(rng, n_features, n_trees, max_depth, grid=None, p_leaf=0.25):
    """Random trees as flat arrays; thresholds from a small grid so they collide."""
    grid = np.linspace(-1, 1, 9) if grid is None else grid
    feature, threshold, is_lt, missing_left, left, right, value, roots = ([] for _ in range(8))

    def grow(depth):
        i = len(feature)
        for arr, v in ((feature, -1), (threshold, 0.0), (is_lt, 0), (missing_left, 0),
                       (left, 0), (right, 0), (value, 0.0)):
            arr.append(v)
        if depth == max_depth or (depth > 0 and rng.random() < p_leaf):
            value[i] = float(np.round(rng.normal(), 3))
            return i
        feature[i] = int(rng.integers(n_features))
        threshold[i] = float(rng.choice(grid))
        is_lt[i] = int(rng.integers(2))
        missing_left[i] = int(rng.integers(2))
        left[i] = grow(depth + 1)
        right[i] = grow(depth + 1)
        return i

    for _ in range(n_trees):
        roots.append(grow(0))
    return flat_arrays(feature, threshold, is_lt, missing_left, left, right, value, roots)


def sigint_latency(delay, call):
    """Sends SIGINT to this process `delay` seconds into `call()`, which must end in
    KeyboardInterrupt; returns the seconds from the signal to that exception."""
    sent = []

    def send():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(delay, send)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
    finally:
        timer.cancel()
    return time.monotonic() - sent[0]


class Ticker:
    """A Python thread that counts 10 ms ticks while the `with` block runs: a native call
    that holds the interpreter lock leaves it at a tick or two."""

    def __init__(self):
        self.count = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run)

    def _run(self):
        while not self._stop.is_set():
            self.count += 1
            time.sleep(0.01)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        return False


@pytest.fixture(scope="session")
def cancer():
    """The first 12 columns of scikit-learn's breast-cancer data and a small boosted model:
    (X, y, model)."""
    pytest.importorskip("sklearn")
    from sklearn.datasets import load_breast_cancer
    from sklearn.ensemble import GradientBoostingClassifier

    X, y = load_breast_cancer(return_X_y=True, as_frame=True)
    X = X.iloc[:, :12]
    model = GradientBoostingClassifier(n_estimators=25, max_depth=3, random_state=0).fit(X, y)
    return X, y, model



@pytest.fixture(params=["priced-late", "priced-from-root"])
def lagrange_gate(request):
    """Runs a test twice: with the refine search's Lagrangian bound from its usual start
    (up to 16,384 boxes in), and forced on from the root box, so that every exactness
    check against brute force and the MILP covers that bound as well."""
    import _morvel_core as core

    if request.param == "priced-late":
        yield
        return
    previous = core._set_lagrange_start(0)
    try:
        yield
    finally:
        core._set_lagrange_start(previous)
