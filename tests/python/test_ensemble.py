"""RustEnsemble validation and raw scores through the Python face."""
import numpy as np
import pytest

import _morvel_core as core
from conftest import flat_arrays


def build(arrays, n_features=2, link="identity", **kw):
    return core.RustEnsemble(**arrays, base_score=0.0, link=link, n_features=n_features, **kw)


@pytest.mark.parametrize("link", ["identity", "sigmoid"])
def test_known_links(stump_arrays, link):
    build(stump_arrays, link=link)


@pytest.mark.parametrize("link, text", [
    ("Sigmoid", 'unknown link "Sigmoid"'),
    ('a"b\\c\n', 'unknown link "a\\"b\\\\c\\n"'),
])
def test_unknown_link_quotes_and_escapes(stump_arrays, link, text):
    with pytest.raises(ValueError) as err:
        build(stump_arrays, link=link)
    assert str(err.value) == text


@pytest.mark.parametrize("edit, text", [
    (dict(right=[2, 0]), "array right has length 2, expected 3"),
    (dict(feature=[2, -1, -1]), "node 0: feature index out of range"),
    (dict(left=[3, 0, 0]), "node 0: child index out of range"),
    (dict(tree_roots=[3]), "tree root out of range"),
])
def test_validation_messages(stump_arrays, edit, text):
    for k, v in edit.items():
        stump_arrays[k] = np.asarray(v, dtype=stump_arrays[k].dtype)
    with pytest.raises(ValueError) as err:
        build(stump_arrays)
    assert str(err.value) == text


def test_empty_ensemble_with_a_root_is_rejected():
    arrays = flat_arrays([], [], [], [], [], [], [], [0])
    with pytest.raises(ValueError, match="^tree root out of range$"):
        build(arrays)


def test_leaf_children_are_not_checked(stump_arrays):
    stump_arrays["left"] = np.array([1, 4294967295, 0], dtype=np.uint32)
    build(stump_arrays)


def categorical_stump():
    # Codes {0, 2} go left (-1), everything else right (+1); NaN goes right.
    arrays = flat_arrays([0, -1, -1], [0, 0, 0], [0, 0, 0], [0, 0, 0], [1, 0, 0], [2, 0, 0],
                         [0, -1.0, 1.0], [0])
    return arrays, dict(node_set=np.array([0, -1, -1], np.int32),
                        set_offsets=np.array([0, 1], np.uint32),
                        set_words=np.array([0b101], np.uint64))


def test_categorical_routing():
    arrays, cat = categorical_stump()
    e = build(arrays, **cat, cat_idx=np.array([0], np.uint32), cat_card=np.array([3], np.uint32))
    x = np.array([[0, 0], [1, 0], [2, 0], [2.5, 0], [-1, 0], [np.inf, 0], [64, 0], [np.nan, 0]],
                 dtype=np.float64)
    np.testing.assert_array_equal(e.raw_score_batch(x), [-1, 1, -1, 1, 1, 1, 1, 1])


def test_categorical_data_needs_all_three_arrays():
    arrays, cat = categorical_stump()
    # Without set_words the node is numeric: x <= 0 goes left.
    e = build(arrays, node_set=cat["node_set"], set_offsets=cat["set_offsets"],
              set_words=None, cat_idx=np.array([9], np.uint32))
    np.testing.assert_array_equal(e.raw_score_batch(np.array([[0.0, 0], [2.0, 0]])), [-1, 1])


@pytest.mark.parametrize("edit, text", [
    (dict(node_set=np.array([0, -1], np.int32)), "node_set length differs from the node count"),
    (dict(set_offsets=np.array([1, 1], np.uint32)), "set_offsets must start at 0"),
    (dict(set_offsets=np.array([0, 2, 1], np.uint32)), "set_offsets must be non-decreasing"),
    (dict(set_offsets=np.array([0, 0], np.uint32)), "set_offsets must end at set_words length"),
    (dict(node_set=np.array([0, 0, -1], np.int32)), "node 1: a leaf cannot carry a split set"),
    (dict(node_set=np.array([1, -1, -1], np.int32)), "node 0: set index out of range"),
    (dict(cat_idx=np.array([0, 5], np.uint32), cat_card=np.array([3, 3], np.uint32)),
     "categorical index out of range"),
])
def test_categorical_validation_messages(edit, text):
    arrays, cat = categorical_stump()
    cat.update(edit)
    with pytest.raises(ValueError) as err:
        build(arrays, **cat)
    assert str(err.value) == text


def test_cat_pairs_stop_at_the_shorter_array():
    arrays, cat = categorical_stump()
    # Only feature 0's cardinality is set; the unpaired index 7 is never checked.
    build(arrays, **cat, cat_idx=np.array([0, 7], np.uint32), cat_card=np.array([3], np.uint32))


def test_score_shapes(stump_arrays):
    e = build(stump_arrays)
    assert e.raw_score_batch(np.zeros((0, 2))).shape == (0,)
    with pytest.raises(ValueError, match="^expected 2 features, got 3$"):
        e.raw_score_batch(np.zeros((3, 3)))
    out = e.raw_score_batch(np.zeros((3, 2)))
    assert out.dtype == np.float64 and out.flags.owndata


def test_no_trees_scores_base_score():
    e = core.RustEnsemble(**flat_arrays([], [], [], [], [], [], [], []), base_score=1.5,
                          link="identity", n_features=3)
    np.testing.assert_array_equal(e.raw_score_batch(np.ones((4, 3))), [1.5] * 4)
