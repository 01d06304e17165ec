"""The module's Python face: members, classes, argument conversion and error categories."""
import threading

import numpy as np
import pytest

import _morvel_core as core

MEMBER_ORDER = ["RustEnsemble", "RustConstraints", "StopToken", "solve_genetic_raw",
                "solve_genetic_batch_raw", "solve_exact_raw", "debug_domains_raw",
                "compute_region_raw"]


def make(arrays, **kw):
    args = dict(arrays, base_score=0.25, link="identity", n_features=2)
    args.update(kw)
    return core.RustEnsemble(**args)


def test_members_in_table_order():
    assert core.__all__[:2] == ["RustEnsemble", "RustConstraints"]
    assert core.__all__ == [m for m in MEMBER_ORDER if m in core.__all__]
    assert all(hasattr(core, m) for m in core.__all__)


def test_internal_error_is_a_direct_base_exception():
    assert core.InternalError.__bases__ == (BaseException,)
    assert not issubclass(core.InternalError, Exception)


def test_signatures_and_docstrings():
    assert core.RustEnsemble.__text_signature__.startswith("(feature, threshold, is_lt,")
    assert core.RustEnsemble.__text_signature__.endswith("cat_idx=None, cat_card=None)")
    assert core.RustEnsemble.raw_score_batch.__doc__ == (
        "Raw scores for a C-contiguous (n_rows, n_features) float64 matrix.")
    assert core.RustEnsemble.raw_score_batch.__text_signature__ == "($self, x)"


def test_positional_and_keyword_construction_agree(stump_arrays):
    order = ["feature", "threshold", "is_lt", "missing_left", "left", "right", "value",
             "tree_roots"]
    positional = core.RustEnsemble(*[stump_arrays[k] for k in order], 0.25, "identity", 2)
    keyword = make(stump_arrays)
    x = np.array([[0.0, 1.0], [1.0, 0.0], [np.nan, 0.0]])
    np.testing.assert_array_equal(positional.raw_score_batch(x), keyword.raw_score_batch(x=x))
    np.testing.assert_array_equal(keyword.raw_score_batch(x), [-0.75, 1.25, -0.75])


@pytest.mark.parametrize("call, fragment", [
    (lambda a: core.RustEnsemble(**a, base_score=0.0, link="identity"), "n_features"),
    (lambda a: make(a, bogus=1), "bogus"),
    (lambda a: core.RustEnsemble(a["feature"], **a, base_score=0.0, link="identity",
                                 n_features=2), "feature"),
])
def test_argument_parser_rejects_missing_unknown_and_duplicate(stump_arrays, call, fragment):
    with pytest.raises(TypeError, match=fragment):
        call(stump_arrays)


@pytest.mark.parametrize("name, bad", [
    ("threshold", lambda a: a.astype(np.float32)),
    ("feature", lambda a: a.astype(np.int64)),
    ("is_lt", lambda a: a.astype(bool)),
    ("left", lambda a: a.reshape(1, -1)),
    ("value", lambda a: list(a)),
])
def test_wrong_dtype_rank_or_type_names_the_argument(stump_arrays, name, bad):
    stump_arrays[name] = bad(stump_arrays[name])
    with pytest.raises(TypeError, match=f"'{name}'"):
        make(stump_arrays)


def test_non_contiguous_arrays_are_rejected(stump_arrays):
    stump_arrays["threshold"] = np.zeros(6)[::2]
    with pytest.raises(TypeError, match="The given array is not contiguous or is misaligned."):
        make(stump_arrays)
    e = make(dict(stump_arrays, threshold=np.array([0.5, 0, 0])))
    with pytest.raises(TypeError, match="The given array is not contiguous or is misaligned."):
        e.raw_score_batch(np.zeros((4, 4))[:, ::2])


def test_scalar_conversion(stump_arrays):
    with pytest.raises(TypeError, match="n_features"):
        make(stump_arrays, n_features=2.0)
    with pytest.raises(OverflowError, match="n_features"):
        make(stump_arrays, n_features=-1)
    with pytest.raises(TypeError, match="base_score"):
        make(stump_arrays, base_score="x")
    with pytest.raises(TypeError, match="link"):
        make(stump_arrays, link=b"identity")
    assert make(stump_arrays, base_score=1).raw_score_batch(np.ones((1, 2)))[0] == 2.0


def test_fortran_ordered_matrix_is_read_by_rows(stump_arrays):
    e = make(stump_arrays)
    rng = np.random.default_rng(0)
    x = rng.uniform(0, 1, size=(50, 2))
    x[::7, 0] = np.nan
    np.testing.assert_array_equal(e.raw_score_batch(np.asfortranarray(x)), e.raw_score_batch(x))


def test_classes_are_immutable_and_attribute_free(stump_arrays):
    e = make(stump_arrays)
    with pytest.raises(AttributeError):
        e.anything = 1
    with pytest.raises(TypeError):
        core.RustEnsemble.raw_score_batch = None


def test_concurrent_scoring_from_threads(stump_arrays):
    e = make(stump_arrays)
    x = np.random.default_rng(1).uniform(0, 1, size=(20000, 2))
    expected = e.raw_score_batch(x)
    results = []
    threads = [threading.Thread(target=lambda: results.append(e.raw_score_batch(x)))
               for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(results) == 4
    for r in results:
        np.testing.assert_array_equal(r, expected)
