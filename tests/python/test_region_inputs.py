"""compute_region_raw's argument checks, its error categories, and Ctrl-C during a long
maximal-mode growth (a real SIGINT)."""
import math

import numpy as np
import pytest

import _morvel_core as core
from conftest import Ticker, flat_arrays, make_constraints, sigint_latency

u8, u32 = np.uint8, np.uint32


def stumps(n_features=3):
    """Tree 0: x0 < 0.5 -> -1 else +1; tree 1: x1 < 0.5 -> 0 else 2 (NaN goes left)."""
    arrays = flat_arrays([0, -1, -1, 1, -1, -1], [0.5, 0, 0, 0.5, 0, 0], [1, 0, 0, 1, 0, 0],
                         [1, 0, 0, 1, 0, 0], [1, 0, 0, 4, 0, 0], [2, 0, 0, 5, 0, 0],
                         [0, -1.0, 1.0, 0, 0.0, 2.0], [0, 3])
    return core.RustEnsemble(**arrays, base_score=0.0, link="identity", n_features=n_features)


def args(**kw):
    """A valid call: x = (1, 1, 0) scores 3, window [2, 4]."""
    e = kw.pop("ensemble", stumps())
    a = dict(ensemble=e, missing_defined=np.ones(6, u8), constraints=make_constraints(3),
             x_cf=np.array([1.0, 1.0, 0.0]), lo_t=2.0, hi_t=4.0, lo_b=np.full(3, -2.0),
             hi_b=np.full(3, 2.0), open_set=np.array([0, 1], u32))
    a.update(kw)
    return a


def test_valid_call_grows():
    r = core.compute_region_raw(**args())
    np.testing.assert_array_equal(r["lo"], [0.5, 0.5, 0.0])
    np.testing.assert_array_equal(r["hi"], [2.0, 2.0, 0.0])


@pytest.mark.parametrize("name,value,message", [
    ("missing_defined", np.ones(5, u8), "array missing_defined has length 5, expected 6"),
    ("x_cf", np.ones(4), "array x_cf has length 4, expected 3"),
    ("lo_b", np.zeros(2), "array lo_b has length 2, expected 3"),
    ("hi_b", np.zeros(4), "array hi_b has length 4, expected 3"),
    ("constraints", make_constraints(2), "constraints have 2 features, the ensemble has 3"),
    ("lo_t", math.nan, "lo_t must not be NaN, got nan"),
    ("hi_t", 2.5, r"x_cf scores 3, outside the target window \[2, 2.5\]"),
    ("x_cf", np.array([0.0, 1.0, 0.0]), r"x_cf scores 1, outside the target window \[2, 4\]"),
    ("lo_b", np.array([1.5, -2.0, -2.0]),
     r"x_cf\[0\] = 1 lies outside the instance bounds \[1.5, 2\]"),
    ("x_cf", np.array([1.0, np.nan, 0.0]), r"x_cf\[1\] is missing, but the feature is open"),
    ("x_cf", np.array([np.inf, 1.0, 0.0]), r"x_cf\[0\] is infinite, but the feature is open"),
    ("constraints", make_constraints(3, lin_offsets=[0, 2], lin_indices=[0, 1],
                                     lin_coefs=[1.0, 1.0], lin_op=[0], lin_rhs=[1.5],
                                     lin_policy=[0]),
     "x_cf breaks linear constraint 0"),
    # A NaN bound was read as no bound, and an index past the row was an internal error.
    ("lo_b", np.array([-2.0, np.nan, -2.0]), r"lo_b\[1\] is NaN"),
    ("hi_b", np.array([2.0, 2.0, np.nan]), r"hi_b\[2\] is NaN"),
    ("open_set", np.array([0, 3], u32), r"open_set\[1\] = 3 is out of range for 3 features"),
])
def test_bad_input_is_a_value_error_naming_it(name, value, message):
    with pytest.raises(ValueError, match="^" + message + "$"):
        core.compute_region_raw(**args(**{name: value}))


def test_plausibility_and_category_inputs():
    iso = stumps()
    with pytest.raises(ValueError, match="^array if_missing_defined has length 2, expected 6$"):
        core.compute_region_raw(**args(), if_ensemble=iso, if_missing_defined=np.ones(2, u8))
    with pytest.raises(ValueError, match="^if_ensemble has 4 features, the ensemble has 3$"):
        core.compute_region_raw(**args(), if_ensemble=stumps(4),
                                if_missing_defined=np.ones(6, u8))
    with pytest.raises(ValueError, match="^x_cf has total path length 3 in if_ensemble, "
                                         "below min_total_path 3.5$"):
        core.compute_region_raw(**args(), if_ensemble=iso, if_missing_defined=np.ones(6, u8),
                                min_total_path=3.5)
    with pytest.raises(ValueError, match="^min_total_path must not be NaN"):
        core.compute_region_raw(**args(), min_total_path=math.nan)
    blocks = dict(cat_open=np.array([2], u32), cat_feat_offsets=np.array([0, 1], u32),
                  cat_block_offsets=np.array([0, 2], u32), cat_members=np.array([0, 1], u32))
    core.compute_region_raw(**args(), **blocks)
    with pytest.raises(ValueError, match=r"^x_cf\[2\] = 0.5 is not a category code"):
        core.compute_region_raw(**args(x_cf=np.array([1.0, 1.0, 0.5])), **blocks)
    with pytest.raises(ValueError, match="^feature 1 is in both open_set and cat_open$"):
        core.compute_region_raw(**args(), **dict(blocks, cat_open=np.array([1], u32)))


@pytest.mark.parametrize("blocks,message", [
    (dict(cat_feat_offsets=np.array([0, 3], u32)),
     r"cat_feat_offsets\[1\] = 3 runs past cat_block_offsets \(length 2\)"),
    (dict(cat_block_offsets=np.array([0, 5], u32)),
     r"cat_block_offsets\[1\] = 5 runs past cat_members \(length 2\)"),
    (dict(cat_block_offsets=np.array([2, 1], u32)), "cat_block_offsets decreases at entry 1"),
    (dict(cat_feat_offsets=np.array([1, 0], u32)), "cat_feat_offsets decreases at entry 1"),
    (dict(cat_feat_offsets=np.array([0], u32)),
     "cat_feat_offsets has 1 entries, expected one more than the 1 of cat_open"),
    (dict(cat_feat_offsets=None),
     "cat_feat_offsets has 0 entries, expected one more than the 1 of cat_open"),
    (dict(cat_open=np.array([7], u32)), r"cat_open\[0\] = 7 is out of range for 3 features"),
])
def test_malformed_blocks_are_value_errors_naming_the_array(blocks, message):
    full = dict(cat_open=np.array([2], u32), cat_feat_offsets=np.array([0, 1], u32),
                cat_block_offsets=np.array([0, 2], u32), cat_members=np.array([0, 1], u32))
    full.update(blocks)
    with pytest.raises(ValueError, match="^" + message + "$"):
        core.compute_region_raw(**args(), **full)


def test_conversion_errors():
    with pytest.raises(TypeError, match="x_cf"):
        core.compute_region_raw(**args(x_cf=np.ones(3, np.float32)))
    with pytest.raises(TypeError, match="ensemble.*not an instance of 'RustEnsemble'"):
        core.compute_region_raw(**args(ensemble=make_constraints(3)))
    with pytest.raises(TypeError, match="maximal"):
        core.compute_region_raw(**args(), maximal=1)
    with pytest.raises(OverflowError, match="budget"):
        core.compute_region_raw(**args(), budget=-1)
    with pytest.raises(TypeError, match="missing required argument 'open_set'"):
        core.compute_region_raw(*list(args().values())[:8])
    with pytest.raises(TypeError, match="The given array is not contiguous"):
        core.compute_region_raw(**args(lo_b=np.full(6, -2.0)[::2]))


def indicator_model(n_cells, n_features, pad):
    """For every feature g and cell k a tree that scores 1 exactly on [k, k + 1) of g,
    after `pad` splits that every value of [0, n_cells) passes the same way.

    Every point of [0, n_cells)^n_features scores n_features, but the trees' brackets over
    a piece spanning several cells add up to more, so each extension in maximal mode
    needs a slab search over the product of the other features' cells: the growth runs
    for minutes, and each slab node walks every (deep) tree."""
    cols = {k: [] for k in ("feature", "threshold", "is_lt", "missing_left", "left", "right",
                            "value")}
    roots = []

    def node(f, t=0.0, v=0.0):
        for k, x in zip(cols, (f, t, 1, 0, 0, 0, v)):
            cols[k].append(x)
        return len(cols["feature"]) - 1

    for g in range(n_features):
        for k in range(n_cells):
            chain = [node(g, -1.0 - d) for d in range(pad)] + [node(g, float(k)),
                                                                node(g, k + 1.0)]
            roots.append(chain[0])
            for a, b in zip(chain, chain[1:]):
                cols["left"][a], cols["right"][a] = node(-1), b
            cols["left"][chain[-1]] = node(-1, v=1.0)
            cols["right"][chain[-1]] = node(-1)
    arrays = flat_arrays(cols["feature"], cols["threshold"], cols["is_lt"], cols["missing_left"],
                         cols["left"], cols["right"], cols["value"], roots)
    e = core.RustEnsemble(**arrays, base_score=0.0, link="identity", n_features=n_features)
    return e, len(cols["feature"])


def long_growth(budget=10**12):
    n_cells, n = 100, 3
    e, n_nodes = indicator_model(n_cells, n, pad=300)
    x = np.full(n, n_cells / 2 + 0.5)
    return lambda **kw: core.compute_region_raw(
        e, np.ones(n_nodes, u8), make_constraints(n), x, float(n), float(n), np.zeros(n),
        np.full(n, n_cells - 0.5), np.arange(n, dtype=u32), maximal=True, budget=budget, **kw)


def test_ctrl_c_stops_a_long_maximal_growth_within_a_second():
    latency = sigint_latency(1.0, long_growth())
    assert latency < 1.0, latency


def test_other_threads_run_while_growing():
    with Ticker() as ticker:
        sigint_latency(0.6, long_growth())
    assert ticker.count >= 10
