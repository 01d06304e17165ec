"""Certified recourse regions on models trained by scikit-learn, XGBoost and LightGBM.

Every returned box is checked by the library's own predict on its corners, its ends and
thousands of points inside (and the plausibility model's own score_samples), by a NumPy
evaluation of the linear constraints and against the instance bounds. Normal-mode boxes
are checked to be a fixed point with brackets, cells and blocks recomputed here from the
model arrays; in maximal mode every witness must really fail and every side reported
maximal must have a failing point one cell further, found here by brute force over the
cells with the library's predict.
"""
import itertools
import math

import numpy as np
import pytest

import morvel
from conftest import make_constraints
from morvel import core
from region_oracle import (Model, box_points, category_blocks, cell_values, feature_cells,
                           flat_blocks, grown_sets, linear_arrays, linear_ok, one_step)

sklearn = pytest.importorskip("sklearn")
xgb = pytest.importorskip("xgboost")
lgb = pytest.importorskip("lightgbm")
from sklearn.ensemble import (HistGradientBoostingRegressor, IsolationForest,  # noqa: E402
                              RandomForestRegressor)

N_NUM = 4      # numeric features 0..3
CAT = 4        # categorical feature (codes 0..5) where the model has one
CARD = 6
KINDS = ["rf", "hgb", "xgb", "lgbm"]


def data(seed, n=1200):
    rng = np.random.default_rng(seed)
    X = np.round(rng.uniform(-2, 2, size=(n, N_NUM + 1)), 2)
    X[:, CAT] = rng.integers(0, CARD, n)
    y = (X[:, 0] - X[:, 1] ** 2 + np.sin(2 * X[:, 2]) + 0.5 * X[:, 3]
         + np.where(np.isin(X[:, CAT], [1, 4]), 1.0, 0.0) + 0.2 * rng.normal(size=n))
    X[rng.random(n) < 0.05, 3] = np.nan
    return X, y


class Trained:
    """A small model, its flat form and the library's own raw-score predict."""

    def __init__(self, kind, seed):
        X, y = data(seed)
        self.kind, self.X = kind, X
        self.categorical = kind in ("hgb", "lgbm")
        if kind == "rf":
            m = RandomForestRegressor(n_estimators=10, max_depth=3, random_state=seed).fit(X, y)
            self.predict = m.predict
            self.tol = 1e-9
        elif kind == "hgb":
            m = HistGradientBoostingRegressor(max_iter=12, max_leaf_nodes=6, learning_rate=0.3,
                                              categorical_features=[CAT], random_state=seed)
            m.fit(X, y)
            self.predict = m.predict
            self.tol = 0.0
        elif kind == "xgb":
            m = xgb.train({"max_depth": 3, "eta": 0.3, "seed": seed, "nthread": 1},
                          xgb.DMatrix(X, label=y), num_boost_round=12)
            self.predict = lambda rows: m.predict(xgb.DMatrix(rows), output_margin=True)
            self.tol = 1e-5  # XGBoost sums its margin in float32
        else:
            ds = lgb.Dataset(X, label=y, categorical_feature=[CAT], free_raw_data=False)
            m = lgb.train({"num_leaves": 6, "learning_rate": 0.3, "verbose": -1, "seed": seed,
                           "min_data_per_group": 5, "cat_smooth": 1, "num_threads": 1},
                          ds, num_boost_round=12)
            self.predict = lambda rows: m.predict(rows, raw_score=True)
            self.tol = 0.0
        self.flat = morvel.convert(m)
        self.ensemble = self.flat.to_core()


class Isolation:
    def __init__(self, X, seed):
        rows = np.nan_to_num(X, nan=0.0)
        self.model = IsolationForest(n_estimators=8, max_samples=32, random_state=seed).fit(rows)
        self.flat = morvel.convert(self.model)
        self.ensemble = self.flat.to_core()
        n = self.model.max_samples_
        self.c = 2.0 * (np.log(n - 1.0) + np.euler_gamma) - 2.0 * (n - 1.0) / n

    def total_path(self, rows):
        return -np.log2(-self.model.score_samples(rows)) * self.c * len(self.model.estimators_)


class Problem:
    """A counterfactual row with its window, bounds, open features, blocks, one linear
    constraint and optionally a plausibility model."""

    def __init__(self, kind, seed):
        rng = np.random.default_rng(1000 + seed)
        self.t = t = Trained(kind, seed)
        X = t.X
        self.x = X[rng.integers(len(X))].copy()
        if seed % 2 == 1:
            self.x[3] = np.nan  # stays missing: feature 3 is not open then
        self.open = [f for f in rng.permutation(N_NUM) if not np.isnan(self.x[f])][:3]
        s = float(t.ensemble.raw_score_batch(self.x[None])[0])
        spread = float(np.nanstd(t.ensemble.raw_score_batch(X)))
        self.lo_t, self.hi_t = [(s - 0.3 * spread, s + 0.3 * spread), (s - 0.2 * spread, math.inf),
                                (-math.inf, s + 0.5 * spread)][seed % 3]
        self.lo_b = np.nanmin(X, axis=0) - 0.5
        self.hi_b = np.nanmax(X, axis=0) + 0.5
        a, b = self.open[:2]
        self.lin = [([a, b], [1.0, 0.5], 0, float(self.x[a] + 0.5 * self.x[b] + 1.0), 0)]
        self.constraints = make_constraints(N_NUM + 1, **linear_arrays(self.lin))
        self.iso = Isolation(X, seed) if seed % 3 != 1 else None
        self.min_path = None
        if self.iso is not None:
            self.min_path = float(self.iso.ensemble.raw_score_batch(self.x[None])[0]) - 2.0
        self._regions = {}
        self.blocks = {}
        if t.categorical:
            flats = [t.flat] + ([self.iso.flat] if self.iso else [])
            self.blocks = {CAT: category_blocks(flats, CAT, CARD)}

    def grow(self, maximal=False, budget=20000, **kw):
        cat = flat_blocks(self.blocks) if self.blocks else (None,) * 4
        iso = dict(if_ensemble=self.iso.ensemble, if_missing_defined=self.iso.flat.missing_defined,
                   min_total_path=self.min_path) if self.iso else {}
        return core.compute_region_raw(
            self.t.ensemble, self.t.flat.missing_defined, self.constraints, self.x, self.lo_t,
            self.hi_t, self.lo_b, self.hi_b, np.array(self.open, np.uint32), **iso,
            cat_open=cat[0], cat_feat_offsets=cat[1], cat_block_offsets=cat[2],
            cat_members=cat[3], maximal=maximal, budget=budget, **kw)

    def region(self, maximal):
        """The region with default settings, grown once per problem and mode."""
        if maximal not in self._regions:
            self._regions[maximal] = self.grow(maximal=maximal)
        return self._regions[maximal]

    def cells(self):
        return feature_cells([self.t.flat] + ([self.iso.flat] if self.iso else []))

    def failing(self, rows):
        """Rows that break certification by the libraries' own scores or the constraints."""
        p = self.t.predict(rows)
        tol = self.t.tol * (1.0 + np.abs(p))
        bad = (p < self.lo_t - tol) | (p > self.hi_t + tol) | ~linear_ok(rows, self.lin)
        if self.iso is not None:
            bad |= self.iso.total_path(rows) < self.min_path * (1 - 1e-12)
        return bad

    def surely_failing(self, rows):
        """Rows that fail even allowing for the library's rounding."""
        p = self.t.predict(rows)
        tol = self.t.tol * (1.0 + np.abs(p))
        bad = (p < self.lo_t + tol) | (p > self.hi_t - tol) | ~linear_ok(rows, self.lin)
        if self.iso is not None:
            bad |= self.iso.total_path(rows) < self.min_path * (1 + 1e-12)
        return bad


PROBLEMS = [(kind, seed) for kind in KINDS for seed in range(4)]


@pytest.fixture(scope="module")
def problems():
    cache = {}

    def get(kind, seed):
        if (kind, seed) not in cache:
            cache[kind, seed] = Problem(kind, seed)
        return cache[kind, seed]
    return get


def check_certified(p, r, rng):
    lo, hi = r["lo"], r["hi"]
    sets = grown_sets(r, list(p.blocks))
    for f in range(len(p.x)):
        if f in p.open:
            assert p.lo_b[f] <= lo[f] <= p.x[f] <= hi[f] <= p.hi_b[f]
        else:
            np.testing.assert_array_equal([lo[f], hi[f]], [p.x[f], p.x[f]])
    for f, codes in sets.items():
        assert int(p.x[f]) in codes and codes == sorted(codes)
    rows = box_points(lo, hi, sets, rng)
    bad = p.failing(rows)
    assert not bad.any(), rows[bad][:3]
    return sets


@pytest.mark.parametrize("kind,seed", PROBLEMS)
def test_boxes_are_certified_by_the_libraries(problems, kind, seed):
    p = problems(kind, seed)
    rng = np.random.default_rng(seed)
    check_certified(p, p.region(maximal=False), rng)
    check_certified(p, p.region(maximal=True), rng)


@pytest.mark.parametrize("kind,seed", PROBLEMS)
def test_normal_mode_stops_at_a_fixed_point(problems, kind, seed):
    p = problems(kind, seed)
    r = p.region(maximal=False)
    lo, hi = list(r["lo"]), list(r["hi"])
    missing = [math.isnan(v) for v in p.x]
    cats = [[] for _ in p.x]
    for f, codes in grown_sets(r, list(p.blocks)).items():
        cats[f] = [int(c) for c in codes]
    model = Model(p.t.flat)
    iso = Model(p.iso.flat) if p.iso else None

    def passes(lo, hi, cats):
        s = model.score_range(lo, hi, missing, cats)
        if s is None or not (s[0] >= p.lo_t and s[1] <= p.hi_t):
            return False
        if iso is not None:
            q = iso.score_range(lo, hi, missing, cats)
            if q is None or q[0] < p.min_path:
                return False
        for idx, coefs, _, rhs, _ in p.lin:
            top = sum(max(c * lo[j], c * hi[j]) for j, c in zip(idx, coefs))
            if top > rhs + 1e-9:
                return False
        return True

    assert passes(lo, hi, cats)
    cells = p.cells()
    steps = 0
    for f in p.open:
        for upper in (False, True):
            end = one_step(cells[f], upper, (hi if upper else lo)[f], p.lo_b[f], p.hi_b[f])
            if end is None:
                continue
            steps += 1
            lo2, hi2 = list(lo), list(hi)
            (hi2 if upper else lo2)[f] = end
            assert not passes(lo2, hi2, cats), (f, upper, end)
    for f, blocks in p.blocks.items():
        for block in blocks:
            if set(block) <= set(cats[f]):
                continue
            cats2 = list(cats)
            cats2[f] = sorted(set(cats[f]) | set(block))
            assert not passes(lo, hi, cats2), (f, block)
    assert steps > 0


def extension_rows(p, lo, hi, sets, cells, f=None, upper=None, end=None, block=None):
    """Every cell extreme of every open feature and every admitted code inside the box
    one step beyond (`f` moved to `end`, restricted to the new part; or feature f's codes
    replaced by a block's new members)."""
    per = []
    for j in range(len(p.x)):
        if j in sets:
            per.append(sorted(block) if j == f and block is not None else sets[j])
        elif j == f and block is None:
            new_lo, new_hi = (hi[j], end) if upper else (end, lo[j])
            per.append([v for v in cell_values(cells[j], new_lo, new_hi)
                        if (v > hi[j] if upper else v < lo[j])] or [end])
        else:
            per.append(cell_values(cells[j], lo[j], hi[j]))
    count = math.prod(len(v) for v in per)
    assert count <= 400000, count  # keep the brute force exhaustive
    return np.array(list(itertools.product(*per)), dtype=np.float64)


@pytest.mark.parametrize("budget", [2, 20000])
@pytest.mark.parametrize("kind,seed", PROBLEMS)
def test_maximal_sides_and_witnesses_are_real(problems, kind, seed, budget):
    # A budget of 2 nodes leaves many sides undecided, which must not be reported maximal.
    p = problems(kind, seed)
    r = p.region(maximal=True) if budget == 20000 else p.grow(maximal=True, budget=budget)
    n = len(p.x)
    lo, hi = r["lo"], r["hi"]
    sets = grown_sets(r, list(p.blocks))
    w = len(r["witness_features"])
    assert r["witness_points"].shape == (w * n,)
    points = r["witness_points"].reshape(w, n)
    if w:
        assert p.surely_failing(points).all(), points
    cells = p.cells()
    for f in p.open:
        for upper, flags in ((False, r["maximal_lo"]), (True, r["maximal_hi"])):
            if not flags[f]:
                continue
            end = one_step(cells[f], upper, (hi if upper else lo)[f], p.lo_b[f], p.hi_b[f])
            if end is None:
                continue  # nothing admissible lies beyond this end
            rows = extension_rows(p, lo, hi, sets, cells, f, upper, end)
            assert p.surely_failing(rows).any(), (f, upper)
    for i, (f, blocks) in enumerate(p.blocks.items()):
        if not r["maximal_cat"][i]:
            continue
        for block in blocks:
            new = sorted(set(block) - set(sets[f]))
            if new:
                rows = extension_rows(p, lo, hi, sets, cells, f, block=new)
                assert p.surely_failing(rows).any(), (f, block)
    assert (r["used_lo"] <= budget).all() and (r["used_hi"] <= budget).all()
    for f in range(n):
        if f not in p.open:
            assert r["used_lo"][f] == r["used_hi"][f] == 0
            assert r["maximal_lo"][f] == r["maximal_hi"][f] == 0


def test_maximal_checks_meet_both_outcomes(problems):
    """The problems above give the maximal-mode checks real work: witnesses and sides."""
    witnesses = sides = 0
    for kind, seed in PROBLEMS:
        r = problems(kind, seed).region(maximal=True)
        witnesses += len(r["witness_features"])
        sides += int(r["maximal_lo"].sum() + r["maximal_hi"].sum())
    assert witnesses >= 10 and sides >= 20, (witnesses, sides)


# ------------------------------------------------------------------- the returned dictionary


def stump_problem(**kw):
    """x0 < 0.5 -> -1 else +1 over two features; the counterfactual scores +1."""
    from conftest import flat_arrays
    arrays = flat_arrays([0, -1, -1], [0.5, 0, 0], [1, 0, 0], [1, 0, 0], [1, 0, 0], [2, 0, 0],
                         [0, -1.0, 1.0], [0])
    e = core.RustEnsemble(**arrays, base_score=0.0, link="identity", n_features=2)
    args = dict(ensemble=e, missing_defined=np.ones(3, np.uint8),
                constraints=make_constraints(2), x_cf=np.array([1.0, 0.0]), lo_t=0.0,
                hi_t=math.inf, lo_b=np.array([-3.0, -3.0]), hi_b=np.array([3.0, 3.0]),
                open_set=np.array([0, 1], np.uint32))
    args.update(kw)
    return args


KEYS = [("lo", np.float64), ("hi", np.float64), ("grown_offsets", np.uint32),
        ("grown_members", np.uint32), ("maximal_lo", np.uint8), ("maximal_hi", np.uint8),
        ("maximal_cat", np.uint8), ("used_lo", np.uint64), ("used_hi", np.uint64),
        ("used_cat", np.uint64), ("witness_features", np.uint32), ("witness_sides", np.uint8),
        ("witness_points", np.float64)]


def test_dictionary_keys_types_and_modes():
    r = core.compute_region_raw(**stump_problem(), budget=77)
    assert [(k, v.dtype) for k, v in r.items()] == KEYS
    np.testing.assert_array_equal(r["lo"], [0.5, -3.0])
    np.testing.assert_array_equal(r["hi"], [3.0, 3.0])
    np.testing.assert_array_equal(r["grown_offsets"], [0])
    for key in ("grown_members", "maximal_cat", "used_cat", "witness_features",
                "witness_sides", "witness_points"):
        assert r[key].size == 0, key
    assert not r["maximal_lo"].any() and not r["used_lo"].any() and not r["used_hi"].any()
    m = core.compute_region_raw(**stump_problem(), maximal=True)
    np.testing.assert_array_equal(m["maximal_lo"], [1, 1])
    np.testing.assert_array_equal(m["maximal_hi"], [1, 1])
    np.testing.assert_array_equal(m["witness_features"], [0])
    np.testing.assert_array_equal(m["witness_sides"], [0])
    assert m["witness_points"].shape == (2,) and m["witness_points"][0] < 0.5
    assert m["used_lo"][0] >= 1
    # Positional arguments in signature order give the same region.
    args = stump_problem()
    same = core.compute_region_raw(*args.values(), None, None, None, None, None, None, None,
                                   True, 100000)
    for key, _ in KEYS:
        np.testing.assert_array_equal(same[key], m[key])


def test_categorical_region_with_witness_rows_of_full_width():
    # Feature 1 is categorical: codes {0, 2} go left (-1), the others right (+1).
    e = core.RustEnsemble(
        feature=np.array([1, -1, -1], np.int32), threshold=np.zeros(3),
        is_lt=np.zeros(3, np.uint8), missing_left=np.zeros(3, np.uint8),
        left=np.array([1, 0, 0], np.uint32), right=np.array([2, 0, 0], np.uint32),
        value=np.array([0.0, -1.0, 1.0]), tree_roots=np.array([0], np.uint32), base_score=0.0,
        link="identity", n_features=3, node_set=np.array([0, -1, -1], np.int32),
        set_offsets=np.array([0, 1], np.uint32), set_words=np.array([0b101], np.uint64),
        cat_idx=np.array([1], np.uint32), cat_card=np.array([5], np.uint32))
    cat = flat_blocks({1: [[0, 2], [1, 3, 4]]})
    args = dict(ensemble=e, missing_defined=np.ones(3, np.uint8),
                constraints=make_constraints(3), x_cf=np.array([0.0, 3.0, 0.0]), lo_t=0.0,
                hi_t=9.0, lo_b=np.full(3, -1.0), hi_b=np.full(3, 1.0),
                open_set=np.array([0], np.uint32), cat_open=cat[0], cat_feat_offsets=cat[1],
                cat_block_offsets=cat[2], cat_members=cat[3])
    for maximal in (False, True):
        r = core.compute_region_raw(**args, maximal=maximal)
        np.testing.assert_array_equal(r["grown_offsets"], [0, 3])
        np.testing.assert_array_equal(r["grown_members"], [1, 3, 4])
        np.testing.assert_array_equal(r["maximal_cat"], [int(maximal)])
        np.testing.assert_array_equal(r["lo"], [-1.0, 3.0, 0.0])
    np.testing.assert_array_equal(r["witness_sides"], [2])
    np.testing.assert_array_equal(r["witness_points"], [0.0, 0.0, 0.0])
    assert e.raw_score_batch(r["witness_points"][None])[0] < 0.0


def test_plausibility_takes_part_only_as_a_pair():
    p = Problem("rf", 0)
    assert p.iso is not None
    base = dict(ensemble=p.t.ensemble, missing_defined=p.t.flat.missing_defined,
                constraints=p.constraints, x_cf=p.x, lo_t=p.lo_t, hi_t=p.hi_t, lo_b=p.lo_b,
                hi_b=p.hi_b, open_set=np.array(p.open, np.uint32), min_total_path=p.min_path)
    neither = core.compute_region_raw(**base)
    for extra in (dict(if_ensemble=p.iso.ensemble),
                  dict(if_missing_defined=p.iso.flat.missing_defined)):
        half = core.compute_region_raw(**base, **extra)
        for key, _ in KEYS:
            np.testing.assert_array_equal(half[key], neither[key])


def test_missing_routes_come_from_the_converters(problems):
    from sklearn.ensemble import GradientBoostingRegressor
    X, y = data(3)
    rows = np.nan_to_num(X)
    gb = morvel.convert(GradientBoostingRegressor(n_estimators=5, max_depth=2).fit(rows, y))
    assert not gb.missing_defined.any()
    for kind in KINDS:
        flat = problems(kind, 0).t.flat
        assert flat.missing_defined.dtype == np.uint8 and flat.missing_defined.all(), kind
    # A missing value the model cannot route leaves nothing to certify in normal mode.
    e = gb.to_core()
    nan_f = int(gb.feature[gb.tree_roots[0]])
    x = rows[0].copy()
    x[nan_f] = np.nan
    open_set = np.array([j for j in range(N_NUM) if j != nan_f], np.uint32)
    args = (make_constraints(N_NUM + 1), x, -math.inf, math.inf, np.full(5, -9.0),
            np.full(5, 9.0), open_set)
    r = core.compute_region_raw(e, gb.missing_defined, *args)
    np.testing.assert_array_equal(r["lo"][open_set], x[open_set])
    np.testing.assert_array_equal(r["hi"][open_set], x[open_set])
    r = core.compute_region_raw(e, np.ones(gb.n_nodes, np.uint8), *args)
    np.testing.assert_array_equal(r["lo"][open_set], -9.0)


@pytest.mark.parametrize("threshold, is_lt", [(math.inf, 1), (math.inf, 0), (-math.inf, 0),
                                              (-math.inf, 1)])
def test_infinite_thresholds_leave_no_empty_end_piece(threshold, is_lt):
    # A split at +-inf leaves an empty cell at that end of the line; maximal mode over an
    # unbounded box must not start a piece there.
    from conftest import flat_arrays
    arrays = flat_arrays([0, -1, -1, 0, -1, -1], [0.5, 0, 0, threshold, 0, 0],
                         [1, 0, 0, is_lt, 0, 0], [1, 0, 0, 1, 0, 0], [1, 0, 0, 4, 0, 0],
                         [2, 0, 0, 5, 0, 0], [0, -1.0, 1.0, 0, 0.25, 0.5], [0, 3])
    e = core.RustEnsemble(**arrays, base_score=0.0, link="identity", n_features=2)
    args = stump_problem(ensemble=e, missing_defined=np.ones(6, np.uint8),
                         lo_b=np.array([-math.inf, -math.inf]),
                         hi_b=np.array([math.inf, math.inf]))
    r = core.compute_region_raw(**args, maximal=True)
    assert r["lo"][0] == 0.5 and r["hi"][0] == math.inf
    assert r["maximal_lo"][0] == 1 and r["witness_points"][0] < 0.5
