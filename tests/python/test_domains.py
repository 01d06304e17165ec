"""debug_domains_raw: the exact solver's candidate states, checked against a Python
recomputation of the cells and blocks from the raw split arrays."""
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import _morvel_core as core
from conftest import flat_arrays, make_constraints

INF = math.inf


def stump_ensemble(splits, n_features, cat_splits=(), cardinality=None):
    """One stump per split: numeric (feature, threshold, is_lt), categorical (feature, codes)."""
    arrays = ([] for _ in range(8))
    feature, threshold, is_lt, missing_left, left, right, value, roots = arrays
    node_set, offsets, words = [], [0], []
    for k, split in enumerate(list(splits) + list(cat_splits)):
        i = len(feature)
        roots.append(i)
        categorical = k >= len(splits)
        f, t, lt = (split[0], 0.0, 0) if categorical else split
        feature += [f, -1, -1]
        threshold += [t, 0.0, 0.0]
        is_lt += [int(lt), 0, 0]
        missing_left += [1, 0, 0]
        left += [i + 1, 0, 0]
        right += [i + 2, 0, 0]
        value += [0.0, -1.0, 1.0]
        if categorical:
            node_set += [len(offsets) - 1, -1, -1]
            words.append(sum(1 << c for c in split[1]))
            offsets.append(len(words))
        else:
            node_set += [-1, -1, -1]
    kw = {}
    if cardinality is not None:
        kw = dict(node_set=np.array(node_set, np.int32), set_offsets=np.array(offsets, np.uint32),
                  set_words=np.array(words, np.uint64),
                  cat_idx=np.arange(n_features, dtype=np.uint32),
                  cat_card=np.array(cardinality, np.uint32))
    return core.RustEnsemble(**flat_arrays(feature, threshold, is_lt, missing_left, left, right,
                                           value, roots),
                             base_score=0.0, link="identity", n_features=n_features, **kw)


def domains(ensemble, constraints, x, sigma=None, weights=None, lam=0.0, codes=None,
            steps=None, anchors=None, if_ensemble=None):
    n = len(x)
    ones = np.ones(n)
    return core.debug_domains_raw(
        ensemble, constraints, np.asarray(x, float), ones if sigma is None else sigma,
        ones if weights is None else weights, lam,
        np.zeros(n, np.uint8) if codes is None else np.asarray(codes, np.uint8),
        np.zeros(n) if steps is None else np.asarray(steps, float),
        np.zeros(n) if anchors is None else np.asarray(anchors, float), if_ensemble)


def per_feature(result):
    offsets, *columns = result
    return [list(zip(*(c[offsets[f]:offsets[f + 1]] for c in columns)))
            for f in range(len(offsets) - 1)]


def test_zero_features_give_empty_arrays():
    out = domains(stump_ensemble([], 0), make_constraints(0), [])
    assert [a.dtype for a in out] == [np.uint32, np.float64, np.float64, np.uint32, np.uint8,
                                      np.uint8]
    assert out[0].tolist() == [0] and all(len(a) == 0 for a in out[1:])


def test_implication_condition_becomes_its_own_cell():
    ensemble = stump_ensemble([(0, 5.0, True)], 2)
    cons = make_constraints(2, imp_cond_idx=[0], imp_cond_val=[3.0], imp_cons_idx=[1],
                            imp_cons_val=[1.0])
    states = per_feature(domains(ensemble, cons, [0.0, 0.0], lam=0.5))
    assert [(v, c, k) for v, c, k, _, _ in states[0]] == [
        (0.0, 0.0, 0), (3.0, 3.5, 1), (3.0000002384185791, 3.5000002384185791, 2),
        (5.0, 5.5, 3)]
    # The consequent value is demanded of feature 1.
    assert [v for v, *_ in states[1]] == [0.0, 1.0]


def test_plausibility_ensemble_refines_cells():
    model = stump_ensemble([(0, 1.0, True)], 1)
    plaus = stump_ensemble([(0, 2.0, False)], 1)
    alone = per_feature(domains(model, make_constraints(1), [0.0]))[0]
    joint = per_feature(domains(model, make_constraints(1), [0.0], if_ensemble=plaus))[0]
    assert [v for v, *_ in alone] == [0.0, 1.0]
    assert [v for v, *_ in joint] == [0.0, 1.0, 2.0000002384185791]


@pytest.mark.parametrize("codes, steps, anchors, message", [
    ([0, 0], [0.0], [0.0, 0.0], "value policy code/step/anchor arrays must have equal length"),
    ([0, 5], [0.0, 0.0], [0.0, 0.0], "unknown value policy code 5"),
    ([1], [0.0], [0.0], "expected 2 value-policy entries, got 1"),
])
def test_malformed_policies_are_runtime_errors(codes, steps, anchors, message):
    # x is also too long for the model: the policy check comes first.
    with pytest.raises(RuntimeError, match=f"^{message}$"):
        domains(stump_ensemble([], 1), make_constraints(1), [0.0, 0.0], codes=codes,
                steps=steps, anchors=anchors)


@pytest.mark.parametrize("n_model, n_cons, sigma, weights, message", [
    (3, 2, 2, 2, "expected 3 features, got 2"),
    (2, 3, 2, 2, "constraints have 3 features, expected 2"),
    (2, 2, 1, 2, "sigma has 1 entries, expected at least 2"),
    (2, 2, 2, 1, "weights has 1 entries, expected at least 2"),
])
def test_short_inputs_are_value_errors(n_model, n_cons, sigma, weights, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        domains(stump_ensemble([], n_model), make_constraints(n_cons), [0.0, 0.0],
                sigma=np.ones(sigma), weights=np.ones(weights))


def test_plausibility_ensemble_of_other_width_is_a_value_error():
    # Once the internal error "all ensembles must share the same feature space".
    with pytest.raises(ValueError, match="^if_ensemble has 2 features, the ensemble has 1$"):
        domains(stump_ensemble([], 1), make_constraints(1), [0.0],
                if_ensemble=stump_ensemble([], 2))


# ---- Property test: states against cells and blocks recomputed from the split arrays ----

GRID = [-1.0, -0.0, 0.0, 0.5, 1.0, math.nextafter(1.0, INF), 1.5, 2.0]
VALUES = GRID + [0.25, 1.75, 3.0, math.nan]
N_NUM = 3  # numeric features 0..2; feature 3 is categorical with 4 codes
CARD = 4


def python_cells(splits, conditions):
    """Cells of one feature as (lo, hi, lo_open, hi_open), walking the distinct thresholds;
    an implication condition cuts like a threshold used with both < and <=."""
    flags = {}
    for t, lt in splits:
        flags.setdefault(t + 0.0, set()).add("lt" if lt else "le")
    for c in conditions:
        if not math.isnan(c):
            flags.setdefault(c + 0.0, set()).update({"lt", "le"})
    cells, lower, lower_open = [], -INF, True
    for t in sorted(flags):
        if flags[t] == {"lt", "le"}:
            cells += [(lower, t, lower_open, True), (t, t, False, False)]
            lower_open = True
        elif flags[t] == {"le"}:
            cells.append((lower, t, lower_open, False))
            lower_open = True
        else:
            cells.append((lower, t, lower_open, True))
            lower_open = False
        lower = t
    return cells + [(lower, INF, lower_open, True)]


def inside(cell, v):
    lo, hi, lo_open, hi_open = cell
    return (v > lo or (v == lo and not lo_open)) and (v < hi or (v == hi and not hi_open))


def holds_a_double(cell, lo, hi):
    """Whether the cell cut to [lo, hi] contains any double."""
    a, b, a_open, b_open = cell
    if a < lo:
        a, a_open = lo, False
    if hi < b:
        b, b_open = hi, False
    first = math.nextafter(a, INF) if a_open else a
    return first < b or (first == b and not b_open)


def python_blocks(cat_splits):
    sig = {k: tuple(k in codes for _, codes in cat_splits) for k in range(CARD)}
    heads = list(dict.fromkeys(sig.values()))
    return {k: heads.index(sig[k]) for k in range(CARD)}, len(heads)


@st.composite
def problems(draw):
    num_split = st.tuples(st.integers(0, N_NUM - 1), st.sampled_from(GRID), st.booleans())
    cat_split = st.tuples(st.just(N_NUM), st.frozensets(st.integers(0, CARD - 1)))
    splits = draw(st.lists(num_split, max_size=6))
    cat_splits = draw(st.lists(cat_split, max_size=3))
    if_splits = draw(st.none() | st.lists(num_split, min_size=1, max_size=3))
    x = draw(st.lists(st.sampled_from(VALUES), min_size=N_NUM, max_size=N_NUM))
    x.append(draw(st.sampled_from([0.0, 1.0, 2.0, 3.0, math.nan])))
    feature = st.integers(0, N_NUM)
    rules = dict(
        ranges=draw(st.lists(st.tuples(st.integers(0, N_NUM - 1), st.sampled_from(GRID),
                                       st.sampled_from(GRID + [INF])), max_size=2)),
        imps=draw(st.lists(st.tuples(st.integers(0, N_NUM - 1), st.sampled_from(VALUES),
                                     st.integers(0, N_NUM - 1), st.sampled_from(VALUES)),
                           max_size=2)),
        missing=draw(st.frozensets(feature)),
        frozen=draw(st.frozensets(feature, max_size=1)),
        one_hot=draw(st.sampled_from([[], [0, 1]])),
        allowed=draw(st.none() | st.integers(0, 2**CARD - 1)),
    )
    codes = draw(st.lists(st.integers(0, 2), min_size=N_NUM + 1, max_size=N_NUM + 1))
    steps = draw(st.lists(st.sampled_from([0.5, 1.0]), min_size=N_NUM + 1, max_size=N_NUM + 1))
    lam = draw(st.sampled_from([0.0, 0.125]))
    return splits, cat_splits, if_splits, x, rules, codes, steps, lam


def build(splits, cat_splits, if_splits, x, rules, codes, steps, lam):
    n = N_NUM + 1
    card = [0] * N_NUM + [CARD]
    model = stump_ensemble(splits, n, cat_splits, card)
    plaus = None if if_splits is None else stump_ensemble(if_splits, n)
    ranges, imps = rules["ranges"], rules["imps"]
    cons = make_constraints(
        n, freeze=sorted(rules["frozen"]),
        range_idx=[r[0] for r in ranges], range_lo=[r[1] for r in ranges],
        range_hi=[r[2] for r in ranges],
        imp_cond_idx=[i[0] for i in imps], imp_cond_val=[i[1] for i in imps],
        imp_cons_idx=[i[2] for i in imps], imp_cons_val=[i[3] for i in imps],
        oh_offsets=[0, len(rules["one_hot"])] if rules["one_hot"] else [],
        oh_indices=rules["one_hot"],
        am_idx=sorted(rules["missing"]), am_to=[2.0] * len(rules["missing"]),
        am_from=[3.0] * len(rules["missing"]),
        ac_idx=None if rules["allowed"] is None else [N_NUM],
        ac_offsets=None if rules["allowed"] is None else [0, 1],
        ac_words=None if rules["allowed"] is None else [rules["allowed"]])
    sigma, weights = np.linspace(0.5, 2.0, n), np.linspace(2.0, 0.5, n)
    out = domains(model, cons, x, sigma, weights, lam, codes, steps, [0.25] * n, plaus)
    return per_feature(out), sigma, weights


@settings(max_examples=200, deadline=None)
@given(problems())
def test_states_lie_in_their_cells_and_come_sorted(problem):
    splits, cat_splits, if_splits, x, rules, codes, steps, lam = problem
    states, sigma, weights = build(*problem)
    block_of, n_blocks = python_blocks(cat_splits)
    for f, domain in enumerate(states):
        categorical = f == N_NUM
        if categorical:
            n_cells = n_blocks
        else:
            feature_splits = [(t, lt) for g, t, lt in splits + (if_splits or []) if g == f]
            cells = python_cells(feature_splits, [c for g, c, _, _ in rules["imps"] if g == f])
            n_cells = len(cells)
            lo = max([-INF] + [r[1] for r in rules["ranges"] if r[0] == f])
            hi = min([INF] + [r[2] for r in rules["ranges"] if r[0] == f])
        m = x[f]

        def cost(v):
            if math.isnan(m):
                return 0.0 if math.isnan(v) else weights[f] * 3.0 / sigma[f] + lam
            if math.isnan(v):
                return weights[f] * 2.0 / sigma[f] + lam
            d = 1.0 if categorical else abs(v - m)
            return 0.0 if v == m else weights[f] * d / sigma[f] + lam

        keys = []
        for value, c, cell, is_nan, snapped in domain:
            if is_nan:
                assert math.isnan(value) and cell == n_cells
            elif categorical:
                assert cell == block_of[int(value)]
            else:
                assert inside(cells[cell], value), (f, value, cells[cell])
                if f not in rules["frozen"]:
                    assert lo <= value <= hi
            if f not in rules["frozen"]:
                assert c == cost(value)
            if snapped:
                assert codes[f] in (1, 2) and not is_nan
                grid_pos = value if codes[f] == 1 else (value - 0.25) / steps[f]
                assert grid_pos == round(grid_pos)
            keys.append((c, cell, 0.0 if is_nan else value))
        assert keys == sorted(keys)
        present = [v for v, _, _, is_nan, _ in domain if not is_nan]
        assert len(present) == len(set(present)), "a value appears twice"

        # Completeness: a continuous feature offers every cell that meets its box.
        plain = (not categorical and codes[f] == 0 and f not in rules["frozen"]
                 and f not in rules["one_hot"] and lo < hi
                 and (not math.isnan(m) or f in rules["missing"]))
        if plain:
            offered = {cell for _, _, cell, is_nan, _ in domain if not is_nan}
            assert offered == {k for k, cell in enumerate(cells) if holds_a_double(cell, lo, hi)}
