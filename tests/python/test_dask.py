"""explain_many over a real dask.distributed LocalCluster (two worker processes) against
the single-process results, row for row."""
import numpy as np
import pandas as pd
import pytest

import morvel
from morvel import core

distributed = pytest.importorskip("distributed")
dd = pytest.importorskip("dask.dataframe")
pytest.importorskip("sklearn")
from sklearn.datasets import load_breast_cancer  # noqa: E402
from sklearn.ensemble import GradientBoostingClassifier  # noqa: E402

has_genetic = pytest.mark.skipif(not hasattr(core, "solve_genetic_raw"),
                                 reason="the genetic solver is not in this build")


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        # Not the default client: a test below runs without one, another makes it current.
        with distributed.Client(cluster, set_as_default=False) as c:
            yield c


@pytest.fixture(scope="module")
def cancer():
    X, y = load_breast_cancer(return_X_y=True, as_frame=True)
    X = X.iloc[:, :8]
    model = GradientBoostingClassifier(n_estimators=15, max_depth=3, random_state=0).fit(X, y)
    ex = morvel.Explainer(model, X, random_state=7, n_jobs=1,
                          constraints=morvel.Rules().freeze("mean radius"))
    # Rejected and accepted rows interleaved, with a non-default index.
    rows = pd.concat([X[model.predict(X) == 0].iloc[:14], X[model.predict(X) == 1].iloc[:4]])
    return ex, rows.sample(frac=1.0, random_state=1)


BUDGETS = dict(time_budget_s=30.0, node_budget=200_000)


@pytest.mark.parametrize("chunk_rows", [None, 4])
def test_frame_over_the_cluster_equals_one_process(client, cancer, chunk_rows):
    ex, rows = cancer
    local = ex.explain_many(rows, "proba>=0.6", **BUDGETS)
    remote = ex.explain_many(rows, "proba>=0.6", client=client, chunk_rows=chunk_rows,
                             **BUDGETS)
    pd.testing.assert_frame_equal(remote, local)
    assert local.found.all() and set(local.status) == {"found", "already_valid"}


def test_array_and_dask_frame_inputs(client, cancer):
    ex, rows = cancer
    local = ex.explain_many(rows, desired_class=1, **BUDGETS)
    from_array = ex.explain_many(rows.to_numpy(), desired_class=1, client=client, chunk_rows=5,
                                 **BUDGETS)
    pd.testing.assert_frame_equal(from_array, local.reset_index(drop=True))
    ddf = dd.from_pandas(rows, npartitions=3, sort=False)
    from_dask = ex.explain_many(ddf, desired_class=1, client=client, **BUDGETS)
    pd.testing.assert_frame_equal(from_dask, local)


def test_dask_frame_on_the_current_client_or_here(client, cancer):
    ex, rows = cancer
    ddf = dd.from_pandas(rows.iloc[:6], npartitions=2, sort=False)
    local = ex.explain_many(rows.iloc[:6], desired_class=1, **BUDGETS)
    with pytest.raises(ValueError):
        distributed.default_client()  # no client is current: the partitions run here
    pd.testing.assert_frame_equal(ex.explain_many(ddf, desired_class=1, **BUDGETS), local)
    before = client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.task_groups))
    with client.as_current():
        pd.testing.assert_frame_equal(ex.explain_many(ddf, desired_class=1, **BUDGETS), local)
    after = client.run_on_scheduler(lambda dask_scheduler: len(dask_scheduler.task_groups))
    assert after > before  # the current client did the work


def test_alternatives_over_the_cluster_equal_one_process(client, cancer):
    ex, rows = cancer
    kw = dict(alternatives=3, max_changes=2, **BUDGETS)
    local = ex.explain_many(rows, "proba>=0.6", **kw)
    assert (local["rank"] > 1).any()
    remote = ex.explain_many(rows, "proba>=0.6", client=client, chunk_rows=4, **kw)
    pd.testing.assert_frame_equal(remote, local)
    ddf = dd.from_pandas(rows, npartitions=3, sort=False)
    pd.testing.assert_frame_equal(ex.explain_many(ddf, "proba>=0.6", client=client, **kw),
                                  local)


@has_genetic
def test_genetic_seeds_follow_row_positions(client, cancer):
    ex, rows = cancer
    kw = dict(method="genetic", population=40, max_generations=40, time_budget_s=30.0)
    local = ex.explain_many(rows, "proba>=0.6", **kw)
    remote = ex.explain_many(rows, "proba>=0.6", client=client, chunk_rows=3, **kw)
    pd.testing.assert_frame_equal(remote, local)
    ddf = dd.from_pandas(rows, npartitions=4, sort=False)
    pd.testing.assert_frame_equal(ex.explain_many(ddf, "proba>=0.6", client=client, **kw),
                                  local)


def test_categories_keep_their_labels_through_the_cluster(client):
    lightgbm = pytest.importorskip("lightgbm")
    rng = np.random.default_rng(0)
    n = 300
    X = pd.DataFrame({"income": rng.normal(50, 15, n).round(1),
                      "housing": pd.Categorical(rng.choice(["rent", "own", "free"], n)),
                      "age": rng.integers(20, 70, n)})
    y = ((X.income > 50) & (X.housing != "free")).astype(int)
    model = lightgbm.LGBMClassifier(n_estimators=10, num_leaves=4, min_child_samples=5,
                                    verbose=-1).fit(X, y)
    ex = morvel.Explainer(model, X, random_state=0, n_jobs=1)
    rows = X[model.predict(X) == 0].iloc[:8]
    local = ex.explain_many(rows, desired_class=1, **BUDGETS)
    ddf = dd.from_pandas(rows, npartitions=2, sort=False)
    remote = ex.explain_many(ddf, desired_class=1, client=client, **BUDGETS)
    pd.testing.assert_frame_equal(remote, local)
    assert set(remote.housing.cat.categories) == {"rent", "own", "free"}


def test_bad_input_fails_before_or_as_on_one_process(client, cancer):
    ex, rows = cancer
    with pytest.raises(ValueError, match="unknown column"):
        ex.explain_many(dd.from_pandas(rows.assign(extra=1.0), npartitions=2), desired_class=1,
                        client=client)
    text = rows.astype(object)
    text.iloc[5, 2] = "n/a"
    with pytest.raises(ValueError, match="non-numeric value 'n/a'"):
        ex.explain_many(dd.from_pandas(text, npartitions=2, sort=False), desired_class=1,
                        client=client)
    with pytest.raises(ValueError, match="chunk_rows"):
        ex.explain_many(rows, desired_class=1, client=client, chunk_rows=0)
    empty = ex.explain_many(rows.iloc[:0], desired_class=1, client=client)
    assert len(empty) == 0 and list(empty.columns[:3]) == ["found", "status", "optimal"]
