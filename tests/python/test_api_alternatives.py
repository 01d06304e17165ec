"""Alternatives and the cap on changed features through the Explainer: every row checked
by the library's own predict and by the rules written out on Python sets."""
import numpy as np
import pandas as pd
import pytest

import morvel
from morvel import core
from morvel.results import Alternatives

sklearn = pytest.importorskip("sklearn")
from sklearn.ensemble import HistGradientBoostingClassifier  # noqa: E402


@pytest.fixture(scope="module")
def case(cancer):
    X, _, model = cancer
    ex = morvel.Explainer(model, X, constraints=morvel.Rules().freeze("mean radius"))
    return X, model, ex, X[model.predict(X) == 0].iloc[:5]


def keeps_rule(sets, diversity):
    for j, later in enumerate(sets):
        for earlier in sets[:j]:
            if diversity == "no_superset" and earlier <= later:
                return False
        if diversity == "new_feature" and j and not later - frozenset().union(*sets[:j]):
            return False
    return True


@pytest.mark.parametrize("diversity", ["no_superset", "new_feature"])
def test_alternatives_are_valid_cheapest_first_and_keep_the_rules(case, diversity):
    X, model, ex, rows = case
    for cap in (None, 3):
        opts = {} if cap is None else {"max_changes": cap}
        for label, row in rows.iterrows():
            alts = ex.explain(row, desired_class=1, alternatives=4, diversity=diversity, **opts)
            assert isinstance(alts, Alternatives) and 1 <= len(alts) <= 4
            assert len(alts) == 4 or alts.end in ("exhausted", "stopped")
            found = [cf for cf in alts if cf.found]
            assert len(found) == len(alts)
            cfs = pd.DataFrame([cf.counterfactual for cf in found])[X.columns]
            assert (model.predict(cfs) == 1).all()
            assert (cfs["mean radius"] == row["mean radius"]).all()
            sets = [frozenset(cf.changes.feature) for cf in found]
            assert len(set(sets)) == len(sets) and keeps_rule(sets, diversity)
            assert cap is None or max(len(s) for s in sets) <= cap
            distances = [cf.distance for cf in found]
            assert all(b >= a * (1 - 2e-3) - 1e-12 for a, b in zip(distances, distances[1:]))
            assert all(cf.optimal or np.isfinite(cf.gap) for cf in found)
            single = ex.explain(row, desired_class=1, **opts)
            np.testing.assert_array_equal(alts[0].values, single.values)
            assert (alts[0].status, alts[0].distance, alts[0].proof) == (
                single.status, single.distance, single.proof)
    # The long frame: per row the same alternatives, ranked.
    long = ex.explain_many(rows, desired_class=1, alternatives=3, diversity=diversity)
    assert list(long.columns[:3]) == ["row", "rank", "found"]
    for label, row in rows.iterrows():
        mine = long[long.row == label]
        alts = ex.explain(row, desired_class=1, alternatives=3, diversity=diversity)
        assert list(mine["rank"]) == list(range(1, len(alts) + 1))
        np.testing.assert_allclose(mine.distance, [cf.distance for cf in alts], rtol=1e-12)


def test_one_alternative_is_todays_result_and_html_lists_each(case):
    _, _, ex, rows = case
    row = rows.iloc[1]
    plain = ex.explain(row, desired_class=1)
    (one,) = ex.explain(row, desired_class=1, alternatives=1)
    np.testing.assert_array_equal(one.values, plain.values)
    assert (one.distance, one.proof, one.lower_bound) == (plain.distance, plain.proof,
                                                          plain.lower_bound)
    alts = ex.explain(row, desired_class=1, alternatives=2)
    assert alts._repr_html_().count("<table") == sum(len(cf.changes) > 0 for cf in alts)
    assert list(alts.to_frame()["rank"]) == list(range(1, len(alts) + 1))


def test_bad_counts_and_rules_that_leave_nothing_to_change(case):
    X, model, ex, rows = case
    row = rows.iloc[0]
    for bad, error in ((0, ValueError), (-2, ValueError), (1.5, TypeError), (True, TypeError),
                       ("2", TypeError)):
        with pytest.raises(error, match="alternatives"):
            ex.explain(row, desired_class=1, alternatives=bad)
        with pytest.raises(error, match="max_changes"):
            ex.explain(row, desired_class=1, max_changes=bad)
    with pytest.raises(ValueError, match="diversity"):
        ex.explain(row, desired_class=1, alternatives=2, diversity="different")
    frozen = morvel.Explainer(model, X, constraints=morvel.Rules().freeze(*X.columns))
    cf = frozen.explain(row, desired_class=1, max_changes=2)
    assert cf.status == "infeasible" and cf.optimal
    alts = frozen.explain(row, desired_class=1, alternatives=3, max_changes=1)
    assert len(alts) == 1 and alts[0].status == "infeasible" and alts.end == "exhausted"


@pytest.mark.skipif(not hasattr(core, "solve_genetic_batch_raw"),
                    reason="the genetic solver is not in this build")
def test_genetic_searches_and_regions_keep_the_cap():
    rng = np.random.default_rng(4)
    n = 500
    X = pd.DataFrame({
        "income": np.round(rng.normal(50, 15, n), 1),
        "job": pd.Categorical(rng.choice(["clerk", "nurse", "retired", "student"], n)),
        "years": rng.integers(0, 30, n).astype(float),
        "debt": np.round(rng.normal(10, 4, n), 1),
    })
    X.loc[rng.random(n) < 0.15, "income"] = np.nan
    y = ((X.job.isin(["nurse", "clerk"]) & (X.income.fillna(0) > 45)) | (X.years > 25)
         | (X.debt < 4)).astype(int)
    model = HistGradientBoostingClassifier(max_iter=15, random_state=0).fit(X, y)
    rules = morvel.Rules().allow_missing("income", cost_to=0.5, cost_from=0.5)
    ex = morvel.Explainer(model, X, constraints=rules, random_state=0)
    rows = X[model.predict(X) == 0].iloc[:8]
    for method in ("exact", "genetic"):
        out = ex.explain_many(rows, desired_class=1, method=method, max_changes=1)
        assert (out.n_changes <= 1).all()
        found = out[out.found]
        assert len(found) and (model.predict(found[ex.feature_names]) == 1).all()
    cf = ex.explain(rows.iloc[0], desired_class=1, max_changes=1, method="genetic")
    assert cf.found and len(cf.changes) <= 1
    region = ex.explain(rows.iloc[0], desired_class=1, max_changes=1).region()
    kept = region.table[~region.table.feature.isin(
        ex.explain(rows.iloc[0], desired_class=1, max_changes=1).changes.feature)]
    numeric = kept[kept.feature != "job"]
    assert (numeric.low.isna() | (numeric.low == numeric.high)).all()
