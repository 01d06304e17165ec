"""How the API asks the model's library: how often, on how many threads, and that the
shortcuts (deferred checks of the factual row, plain-number rows, split cells by binary
search) give exactly what the general paths give."""
import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morvel
from morvel.search import row as search_row
from morvel.models.flat import FlatBuilder
from morvel.search.readable import SplitTable

sklearn = pytest.importorskip("sklearn")
from sklearn.datasets import load_breast_cancer  # noqa: E402
from sklearn.ensemble import (GradientBoostingClassifier,  # noqa: E402
                              HistGradientBoostingClassifier)


@pytest.fixture(scope="module")
def cancer():
    X, y = load_breast_cancer(return_X_y=True, as_frame=True)
    X = X.iloc[:, :10]
    model = GradientBoostingClassifier(n_estimators=20, max_depth=3, random_state=0).fit(X, y)
    return X, model


class Counting:
    """The model with its `predict` counted (the only library call a class target makes)."""

    def __init__(self, model, monkeypatch):
        self.calls = []
        original = model.predict

        def predict(X):
            self.calls.append(len(X))
            return original(X)

        monkeypatch.setattr(model, "predict", predict)


def test_one_library_call_per_row_and_per_batch_with_unchanged_results(cancer, monkeypatch):
    """A row that needs a search costs one predict (the factual row and the answer
    together), a batch one predict for all its rows; and asking about every factual row
    first, as a search-free check would, gives the same results row for row."""
    X, model = cancer
    ex = morvel.Explainer(model, X, constraints=morvel.Rules().freeze("mean radius"),
                          random_state=0)
    rows = pd.concat([X[model.predict(X) == 0].iloc[:12], X[model.predict(X) == 1].iloc[:4]])
    counting = Counting(model, monkeypatch)
    singles = []
    for i in range(len(rows)):
        counting.calls.clear()
        singles.append(ex.explain(rows.iloc[i], desired_class=1))
        assert len(counting.calls) == 1
    counting.calls.clear()
    batch = ex.explain_many(rows, desired_class=1)
    assert len(counting.calls) == 1 and counting.calls[0] >= len(rows)

    # Every factual row "likely valid": asked about before any search, as before.
    def everything_likely(ex_, X_, target):
        rules_ok, _ = screen(ex_, X_, target)
        return rules_ok, rules_ok.copy()

    screen = search_row.screen
    monkeypatch.setattr(search_row, "screen", everything_likely)
    pd.testing.assert_frame_equal(ex.explain_many(rows, desired_class=1), batch)
    for i, cf in enumerate(singles):
        again = ex.explain(rows.iloc[i], desired_class=1)
        assert (again.status, again.distance, again.prediction) == (
            cf.status, cf.distance, cf.prediction)
        np.testing.assert_array_equal(again.values, cf.values)
        assert cf.status == batch.status.iloc[i]
    assert {cf.status for cf in singles} == {"found", "already_valid"}


def test_library_threads_are_limited_to_what_the_rows_need_and_restored():
    threadpoolctl = pytest.importorskip("threadpoolctl")
    rng = np.random.default_rng(1)
    X = pd.DataFrame(rng.normal(size=(300, 4)), columns=list("abcd"))
    model = HistGradientBoostingClassifier(max_iter=10, random_state=0).fit(X, X.a > X.b)
    seen = []
    original = model.predict

    def predict(rows):
        seen.append({i["num_threads"] for i in _sklearn_openmp(threadpoolctl)})
        return original(rows)

    ex = morvel.Explainer(model, X)
    model.predict = predict
    with threadpoolctl.threadpool_limits(2, user_api="openmp"):
        ex.explain(X[original(X) == 0].iloc[0], desired_class=1)
        after = {i["num_threads"] for i in _sklearn_openmp(threadpoolctl)}
    assert seen and all(threads == {1} for threads in seen)
    assert after == {2}


def _sklearn_openmp(threadpoolctl):
    """The OpenMP runtimes scikit-learn's trees may run on: its own bundled copy where it
    ships one (other libraries loaded by earlier tests bring their own, which its predict
    never starts), else every OpenMP runtime of the process."""
    runtimes = [i for i in threadpoolctl.threadpool_info() if i["user_api"] == "openmp"]
    return [i for i in runtimes if "scikit_learn" in i["filepath"]] or runtimes


def test_plain_number_rows_read_as_the_general_path_reads_them(cancer):
    X, model = cancer
    ex = morvel.Explainer(model, X)
    schema = ex.schema
    row = X.iloc[3]
    inputs = [row, row[::-1], row.astype(np.float32), row.to_numpy(), X.to_numpy()[:, ::1][3],
              X.astype(int).iloc[3], (X > 10).iloc[3], row.to_numpy().astype(np.int64)]
    for given_row in inputs:
        fast = schema.one_row(given_row)
        assert fast.flags.c_contiguous and fast.dtype == np.float64
        np.testing.assert_array_equal(fast, schema.rows(given_row, "row")[1])
    values = ex.explain(row, desired_class=1).values
    pd.testing.assert_series_equal(schema.like(row, values),
                                   schema.decode(values[None, :]).iloc[0].rename(row.name))
    rows = ex.schema.rows(X.iloc[:50], "rows")[1]
    as_given = schema.library_input(rows)
    assert isinstance(as_given, np.ndarray)  # scikit-learn's trees read arrays, quietly
    np.testing.assert_array_equal(ex.adapter.raw(as_given),
                                  model.decision_function(schema.decode(rows)))
    # What the general path refuses is still refused, with its message.
    for bad, message in ((row.rename({"mean radius": "radius"}), "unknown column"),
                         (row.replace(row.iloc[2], math.inf), "infinite"),
                         (row.to_numpy()[:4], "columns")):
        with pytest.raises(ValueError, match=message):
            ex.explain(bad, desired_class=1)


@settings(max_examples=80, deadline=None)
@given(st.lists(st.tuples(st.sampled_from([-1.5, -0.25, 0.0, 0.25, 0.5, 2.0]), st.booleans()),
                max_size=12),
       st.lists(st.sampled_from([-0.25, 0.5, 1.0]), max_size=2),
       st.sampled_from([-2.0, -1.5, -0.25, 0.0, 0.1, 0.25, 0.5, 0.75, 2.0, 3.0]))
def test_split_cells_are_the_largest_intervals_routed_alike(splits, cuts, v):
    """Brute force: every split and cut treats the cell's points (its closed ends, points
    just inside its open ends) as it treats v, and the first point beyond each end
    otherwise."""
    builder = FlatBuilder(1)
    for t, strict in splits:  # one stump per split
        builder.add_tree([0, -1, -1], [t, 0, 0], [strict, 0, 0], [0, 0, 0], [1, 0, 0],
                         [2, 0, 0], [0.0, -1.0, 1.0], [-1, 0, 1])
    table = SplitTable([builder.build(0.0, "identity")], {0: cuts} if cuts else None)

    def route(w):
        sides = [(w < t) if strict else (w <= t) for t, strict in splits]
        return sides + [(w < c, w == c) for c in cuts]

    cell = table.cell(0, v)
    assert v in cell
    for end, is_open, outward in ((cell.lo, cell.lo_open, -math.inf),
                                  (cell.hi, cell.hi_open, math.inf)):
        if math.isinf(end):
            continue
        inside = end if not is_open else math.nextafter(end, -outward)
        beyond = math.nextafter(end, outward) if not is_open else end
        assert route(inside) == route(v)
        assert route(beyond) != route(v)


@pytest.mark.parametrize("kind", ["rf2", "et3", "rf_reg", "rf_missing"])
def test_forests_asked_tree_by_tree_give_the_forests_own_predictions(kind):
    """A forest's trees summed in its order give exactly its own predictions (on rows near
    and far from the data); a forest whose trees would not is asked itself."""
    from sklearn.ensemble import (ExtraTreesClassifier, RandomForestClassifier,
                                  RandomForestRegressor)

    from morvel.models.adapter import ModelAdapter

    rng = np.random.default_rng(3)
    X = rng.normal(size=(600, 6)).round(2)
    if kind == "rf_missing":
        X[rng.random(X.shape) < 0.1] = np.nan
    y = (np.nan_to_num(X[:, 0]) + np.nan_to_num(X[:, 1]) > 0).astype(int)
    model = {"rf2": RandomForestClassifier(30, random_state=0),
             "et3": ExtraTreesClassifier(30, max_depth=7, random_state=0),
             "rf_reg": RandomForestRegressor(30, max_depth=8, random_state=0),
             "rf_missing": RandomForestClassifier(30, random_state=0, n_jobs=2)}[kind]
    model.fit(X, y + (np.nan_to_num(X[:, 2]) > 1) if kind == "et3" else y)
    rows = np.vstack([X[:200], rng.normal(scale=3, size=(200, 6))])
    own = model.predict_proba(rows) if kind != "rf_reg" else model.predict(rows)
    adapter = ModelAdapter(model)
    for _ in range(2):  # the first call compares with the forest; the next goes by trees
        raw = adapter.raw(rows)
        assert np.array_equal(raw, own if adapter.multiclass or own.ndim == 1 else own[:, 1])
    assert adapter.forest.trusted
    if kind != "rf_reg":
        assert np.array_equal(adapter.proba(rows, model.classes_[-1]), own[:, -1])
        assert np.array_equal(np.asarray(adapter.classes)[adapter.predicted_index(rows)],
                              model.predict(rows))

    # Trees that disagree with their forest are not trusted: the forest answers.
    wrong = ModelAdapter(model)
    wrong.forest._from_trees = lambda X: np.zeros_like(own)
    for _ in range(2):
        assert np.array_equal(wrong.raw(rows), adapter.raw(rows))
    assert wrong.forest.trusted is False
