"""Inputs that once gave silently wrong answers, internal errors, runaway memory or lost
exceptions: each is now refused with an error that names it, or handled as ordinary input."""
import math
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _morvel_core as core
from conftest import flat_arrays, make_constraints, random_forest_arrays


def stump(threshold=0.5, n_features=2, **kw):
    """x0 < threshold -> -1 else +1; NaN goes left."""
    arrays = flat_arrays([0, -1, -1], [threshold, 0, 0], [1, 0, 0], [1, 0, 0], [1, 0, 0],
                         [2, 0, 0], [0, -1.0, 1.0], [0])
    return core.RustEnsemble(**arrays, base_score=0.0, link="identity", n_features=n_features,
                             **kw)


def categorical_stump(cardinality=3):
    """Codes {0, 2} of feature 0 go left (-1), everything else right (+1)."""
    return stump(0.0, node_set=np.array([0, -1, -1], np.int32),
                 set_offsets=np.array([0, 1], np.uint32), set_words=np.array([0b101], np.uint64),
                 cat_idx=np.array([0], np.uint32), cat_card=np.array([cardinality], np.uint32))


def exact_args(ensemble, x, lo_t=0.0, hi_t=math.inf, n=None, **kw):
    """Arguments of solve_exact_raw for the row x: unit scales, continuous policies."""
    n = len(x) if n is None else n
    args = dict(ensemble=ensemble, constraints=make_constraints(n), x=np.asarray(x, float),
                lo_t=lo_t, hi_t=hi_t, sigma=np.ones(n), weights=np.ones(n), lam=0.0,
                policy_code=np.zeros(n, np.uint8), policy_step=np.zeros(n),
                policy_anchor=np.zeros(n))
    args.update(kw)
    return args


DOMAIN_KEYS = ("ensemble", "constraints", "x", "sigma", "weights", "lam", "policy_code",
               "policy_step", "policy_anchor", "if_ensemble")


def domain_args(args):
    return {k: v for k, v in args.items() if k in DOMAIN_KEYS}


# ---- scoring: a row's score never depends on the rest of its batch ------------------------

def reference_scores(arrays, base_score, rows):
    """The routing rule walked node by node in Python."""
    out = []
    for row in rows:
        score = base_score
        for root in arrays["tree_roots"]:
            node = int(root)
            while arrays["feature"][node] >= 0:
                v = row[arrays["feature"][node]]
                t = arrays["threshold"][node]
                if math.isnan(v):
                    left = bool(arrays["missing_left"][node])
                else:
                    left = v < t if arrays["is_lt"][node] else v <= t
                node = int(arrays["left"][node] if left else arrays["right"][node])
            score += arrays["value"][node]
        out.append(score)
    return np.array(out)


def test_nan_threshold_is_refused_on_numeric_splits_only():
    # `v < NaN` sends every present value right, but the batched walk once sent it left
    # whenever another row of the 64-row block held a NaN.
    with pytest.raises(ValueError, match="^node 0: threshold is NaN$"):
        stump(math.nan)
    # A categorical split never reads its threshold.
    arrays = flat_arrays([0, -1, -1], [math.nan, 0, 0], [1, 0, 0], [1, 0, 0], [1, 0, 0],
                         [2, 0, 0], [0, -1.0, 1.0], [0])
    e = core.RustEnsemble(**arrays, base_score=0.0, link="identity", n_features=1,
                          node_set=np.array([0, -1, -1], np.int32),
                          set_offsets=np.array([0, 1], np.uint32),
                          set_words=np.array([0b101], np.uint64))
    np.testing.assert_array_equal(e.raw_score_batch(np.array([[0.0], [1.0], [np.nan]])),
                                  [-1, 1, -1])


@pytest.mark.parametrize("seed", range(6))
def test_row_scores_do_not_depend_on_the_block(seed):
    rng = np.random.default_rng(seed)
    grid = np.array([-np.inf, -1.0, -0.5, 0.0, 0.5, 1.0, np.inf])
    arrays = random_forest_arrays(rng, 3, 12, 4, grid=grid)
    e = core.RustEnsemble(**arrays, base_score=0.25, link="identity", n_features=3)
    rows = rng.choice(np.r_[grid, -0.75, 0.25], size=(200, 3))
    clean = rows.copy()
    rows[rng.random(rows.shape) < 0.05] = np.nan
    expected = reference_scores(arrays, 0.25, rows)
    np.testing.assert_array_equal(e.raw_score_batch(rows), expected)
    # The same rows alone, and in blocks free of missing values.
    alone = np.array([e.raw_score_batch(r[None, :])[0] for r in rows])
    np.testing.assert_array_equal(alone, expected)
    np.testing.assert_array_equal(e.raw_score_batch(clean), reference_scores(arrays, 0.25, clean))


# ---- conversion: exceptions raised inside __float__ / __index__ -------------------------

class Raises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    def __index__(self):
        raise self.exc


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def call_with(name, value):
    """Calls an entry with one scalar argument replaced."""
    if name in ("base_score", "n_features"):
        arrays = flat_arrays([0, -1, -1], [0.5, 0, 0], [1, 0, 0], [1, 0, 0], [1, 0, 0],
                             [2, 0, 0], [0, -1.0, 1.0], [0])
        kw = dict(base_score=0.0, link="identity", n_features=2)
        kw[name] = value
        return core.RustEnsemble(**arrays, **kw)
    if name == "constraints_n_features":
        return make_constraints(value)
    return core.solve_exact_raw(**exact_args(stump(), [0.0, 0.0], **{name: value}))


@pytest.mark.parametrize("name", ["base_score", "lo_t", "lam", "gap", "n_features",
                                  "node_budget", "constraints_n_features"])
@pytest.mark.parametrize("exc", [KeyboardInterrupt("from __float__"), MemoryError("no room")])
def test_exceptions_raised_by_a_conversion_propagate_unchanged(name, exc):
    # Once replaced by a TypeError, so a Ctrl-C during argument conversion was lost.
    with pytest.raises(type(exc)) as err:
        call_with(name, Raises(exc))
    assert err.value is exc


@pytest.mark.parametrize("name, value, error, fragment", [
    ("lo_t", "0.5", TypeError, "argument 'lo_t': must be a real number, not str"),
    ("lam", 10 ** 400, OverflowError, "int too large"),
    ("node_budget", 2.0, TypeError, "argument 'node_budget': expected a non-negative int"),
    ("node_budget", -1, OverflowError, "argument 'node_budget'"),
    ("n_features", 2 ** 64, OverflowError, "argument 'n_features'"),
    ("constraints_n_features", None, TypeError, "argument 'n_features'"),
])
def test_unsuitable_scalars_are_conversion_errors(name, value, error, fragment):
    with pytest.raises(error, match=fragment):
        call_with(name, value)


@pytest.mark.parametrize("value", [np.int64(2), np.uint8(2), np.int32(2), Index(2), True])
def test_integer_like_scalars_are_counts(value):
    # NumPy integer scalars (and anything else with __index__) were refused as counts.
    call_with("n_features", value)
    make_constraints(value)
    result = call_with("node_budget", value)
    assert result[3][0] <= int(value)


# ---- the distance model, window, budgets and value policies of the exact entries ---------

BAD_EXACT_INPUTS = [
    (dict(sigma=np.array([np.nan, 1.0])), "sigma[0] must be a positive finite scale, got nan"),
    (dict(sigma=np.array([1.0, 0.0])), "sigma[1] must be a positive finite scale, got 0"),
    (dict(sigma=np.array([-1.0, 1.0])), "sigma[0] must be a positive finite scale, got -1"),
    (dict(sigma=np.array([np.inf, 1.0])), "sigma[0] must be a positive finite scale, got inf"),
    (dict(weights=np.array([1.0, np.nan])),
     "weights[1] must be a finite non-negative weight, got nan"),
    (dict(weights=np.array([-2.0, 1.0])),
     "weights[0] must be a finite non-negative weight, got -2"),
    (dict(lam=math.nan), "lam must be a finite non-negative charge, got nan"),
    (dict(lam=-0.5), "lam must be a finite non-negative charge, got -0.5"),
]
BAD_WINDOW_AND_BUDGETS = [
    (dict(lo_t=math.nan), "lo_t must not be NaN, got nan"),
    (dict(hi_t=math.nan), "hi_t must not be NaN, got nan"),
    (dict(gap=-2.0), "gap must be a non-negative relative gap, got -2"),
    (dict(gap=math.nan), "gap must be a non-negative relative gap, got nan"),
    (dict(time_budget_s=math.nan),
     "time_budget_s must be a non-negative number of seconds, got nan"),
    (dict(time_budget_s=-1.0), "time_budget_s must be a non-negative number of seconds, got -1"),
    (dict(incumbent_cost=math.nan, incumbent_row=np.array([0.7, 0.0])),
     "incumbent_cost must be a non-negative cost, got nan"),
    (dict(incumbent_cost=-1.0, incumbent_row=np.array([0.7, 0.0])),
     "incumbent_cost must be a non-negative cost, got -1"),
    (dict(incumbent_cost=1.0, incumbent_row=np.array([np.inf, 0.0])),
     "incumbent_row[0] is infinite"),
    (dict(if_ensemble=stump(), min_total_path=math.nan), "min_total_path must not be NaN, got nan"),
]


@pytest.mark.parametrize("search", ["classic", "refine"])
@pytest.mark.parametrize("edit, message", BAD_EXACT_INPUTS + BAD_WINDOW_AND_BUDGETS)
def test_malformed_exact_inputs_are_value_errors(search, edit, message):
    # Each once came back as a proof: "optimal" without a row although x0 = 0.5 scores 1,
    # a negative "optimal" distance, or a row claimed optimal within a negative gap.
    args = exact_args(stump(), [0.0, 0.0], lo_t=0.5, search=search)
    row, dist, proof, *_ = core.solve_exact_raw(**args)
    assert proof == "optimal" and row[0] == 0.5 and dist == 0.5
    with pytest.raises(ValueError) as err:
        core.solve_exact_raw(**dict(args, **edit))
    assert str(err.value) == message


@pytest.mark.parametrize("edit, message", BAD_EXACT_INPUTS)
def test_malformed_distance_models_are_value_errors_for_domains(edit, message):
    args = domain_args(exact_args(stump(), [0.0, 0.0]))
    with pytest.raises(ValueError) as err:
        core.debug_domains_raw(**dict(args, **edit))
    assert str(err.value) == message


@pytest.mark.parametrize("step, anchor, message", [
    (0.0, 0.0, "grid value policy 0: step must be positive and finite, got 0"),
    (-0.25, 0.0, "grid value policy 0: step must be positive and finite, got -0.25"),
    (math.nan, 0.0, "grid value policy 0: step must be positive and finite, got nan"),
    (math.inf, 0.0, "grid value policy 0: step must be positive and finite, got inf"),
    (0.25, math.nan, "grid value policy 0: anchor must be finite, got nan"),
    (0.25, -math.inf, "grid value policy 0: anchor must be finite, got -inf"),
])
def test_malformed_grid_policies_are_runtime_errors(step, anchor, message):
    # A step of 0 once left every cell without a grid point: a false "no counterfactual".
    base = exact_args(stump(), [0.0, 0.0], lo_t=0.5, policy_code=np.array([2, 0], np.uint8))
    good = dict(base, policy_step=np.array([0.25, 0.0]), policy_anchor=np.array([0.1, 0.0]))
    row, _, proof, *_ = core.solve_exact_raw(**good)
    assert proof == "optimal" and row[0] == 0.6
    bad = dict(base, policy_step=np.array([step, math.nan]),
               policy_anchor=np.array([anchor, math.nan]))  # ignored for continuous features
    for call in (lambda: core.solve_exact_raw(**bad),
                 lambda: core.debug_domains_raw(**domain_args(bad))):
        with pytest.raises(RuntimeError) as err:
            call()
        assert str(err.value) == message


def test_node_budget_stays_a_count():
    args = exact_args(stump(), [0.0, 0.0], lo_t=0.5)
    assert core.solve_exact_raw(**args, node_budget=0)[3][0] == 0
    with pytest.raises(TypeError, match="'node_budget'"):
        core.solve_exact_raw(**args, node_budget=1.5)


# ---- user input that surfaced as the internal-error exception ----------------------------

@pytest.mark.parametrize("x, message", [
    ([np.inf, 0.0], "x[0] is infinite"),
    ([0.0, -np.inf], "x[1] is infinite"),
    ([3.0, 0.0], "x[0] is not a category code of the model (3 categories)"),
    ([1e300, 0.0], "x[0] is not a category code of the model (3 categories)"),
])
def test_unplaceable_factual_rows_are_value_errors_in_both_entries(x, message):
    args = exact_args(categorical_stump(), x)
    for call in (core.solve_exact_raw, lambda **a: core.debug_domains_raw(**domain_args(a))):
        with pytest.raises(ValueError) as err:
            call(**args)
        assert str(err.value) == message


@pytest.mark.parametrize("plausibility, message", [
    (stump(n_features=3), "if_ensemble has 3 features, the ensemble has 2"),
    (categorical_stump(4), "if_ensemble declares 4 categories for feature 0, the ensemble 3"),
])
def test_plausibility_ensemble_must_read_the_same_rows(plausibility, message):
    args = exact_args(categorical_stump(), [0.0, 0.0], if_ensemble=plausibility)
    with pytest.raises(ValueError) as err:
        core.debug_domains_raw(**domain_args(args))
    assert str(err.value) == message
    with pytest.raises(ValueError) as err:
        core.solve_exact_raw(**args, min_total_path=0.0)
    assert str(err.value) == message
    core.solve_exact_raw(**args)  # without min_total_path the plausibility model is unused


# ---- memory out of proportion to the model ----------------------------------------------

def doubling_chain(depth):
    """depth splits, each sending both sides to the next one: 2^depth paths."""
    n = depth + 1
    nxt = list(range(1, n)) + [0]
    return flat_arrays([0] * depth + [-1], [0.5] * n, [1] * n, [0] * n, nxt, nxt,
                       [0.0] * depth + [1.0], [0])


def test_shared_subtrees_are_refused():
    # The scoring layout copied a shared subtree once per path: 24 nodes took 1.34 GB.
    with pytest.raises(ValueError, match=r"^node 16: reached from more than one parent$"):
        core.RustEnsemble(**doubling_chain(16), base_score=0.0, link="identity", n_features=1)
    arrays = flat_arrays([0, -1, -1], [0.5, 0, 0], [1, 0, 0], [1, 0, 0], [1, 0, 0], [2, 0, 0],
                         [0, -1.0, 1.0], [0, 0])
    with pytest.raises(ValueError, match=r"^node 0: reached from more than one parent$"):
        core.RustEnsemble(**arrays, base_score=0.0, link="identity", n_features=1)


def test_category_counts_above_two_to_the_24_are_refused():
    with pytest.raises(ValueError) as err:
        categorical_stump(2 ** 24 + 1)
    assert str(err.value) == ("feature 0: 16777217 categories exceed the supported maximum "
                              "of 16777216")


@pytest.mark.parametrize("n_features", [2 ** 30 + 1, 2 ** 31, 2 ** 64 - 1])
def test_models_wider_than_the_feature_field_are_refused(n_features):
    # A split on feature f of such a model read column f mod 2^30.
    with pytest.raises(ValueError) as err:
        stump(n_features=n_features)
    assert str(err.value) == (f"n_features {n_features} exceeds the supported maximum of "
                              "1073741824")


# ---- rows without columns ----------------------------------------------------------------

@pytest.mark.parametrize("rules, verdict", [
    (dict(), True),
    (dict(oh_offsets=[0, 0]), False),  # an empty one-hot group fails every row
])
def test_rows_of_width_zero(rules, verdict):
    c = make_constraints(0, **rules)
    rows = np.empty((1000, 0))
    assert c.check(rows, np.empty(0)).tolist() == [verdict] * 1000
    repaired = c.repair(rows, np.empty(0))
    assert repaired.shape == (1000, 0) and repaired.dtype == np.float64


def test_repair_of_a_trillion_empty_rows_returns_at_once():
    # It once walked every row, holding the interpreter lock.
    script = textwrap.dedent("""
        import sys
        import numpy as np
        sys.path.insert(0, sys.argv[1])
        from conftest import make_constraints
        out = make_constraints(0).repair(np.empty((10 ** 12, 0)), np.empty(0))
        print(out.shape)
    """)
    done = subprocess.run([sys.executable, "-c", script, str(__import__("pathlib").Path(
        __file__).parent)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "(1000000000000, 0)"
