"""The rule builder: random rule sets hold on every returned row (by an evaluator
written here from the rules' meaning, and by the core's own check); errors name the
column and the rule."""
import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import morvel
from morvel import core

pytest.importorskip("sklearn")
from sklearn.ensemble import RandomForestClassifier  # noqa: E402

NUMERIC = ["a", "b", "n"]
ONE_HOT = ["oh_x", "oh_y", "oh_z"]


@pytest.fixture(scope="module")
def problem():
    rng = np.random.default_rng(11)
    size = 500
    X = pd.DataFrame({"a": np.round(rng.normal(size=size), 2), "b": rng.uniform(0, 10, size),
                      "n": rng.integers(0, 6, size).astype(float)})
    group = rng.integers(0, 3, size)
    for k, col in enumerate(ONE_HOT):
        X[col] = (group == k).astype(float)
    y = ((X.a + 0.3 * X.b - 0.5 * X.n + X.oh_y) > 1.5).astype(int)
    model = RandomForestClassifier(n_estimators=12, max_depth=4, random_state=0).fit(X, y)
    rows = X[model.predict(X) == 0].iloc[:3]
    return X, model, rows


# Rules as plain tuples; `build` turns them into a Rules object, `holds` reads them.
def rule_sets(X):
    col = st.sampled_from(NUMERIC)
    q = st.floats(0.0, 1.0)

    def rng_rule(c, p, r):
        lo, hi = sorted((float(X[c].quantile(p)), float(X[c].quantile(r))))
        return ("range", c, lo - 1.0, hi + 1.0)

    single = st.one_of(
        st.tuples(st.just("freeze"), col),
        st.builds(rng_rule, col, q, q),
        st.tuples(st.just("rel"), col, st.sampled_from([(0.5, 1.5), (0.8, 1.3), (1.0, 2.0)])),
        st.tuples(st.just("mono"), col, st.sampled_from([1, -1])),
        st.tuples(st.just("order"), st.permutations(["a", "b"]).map(tuple)),
        st.tuples(st.just("cap"), col, st.floats(-1.0, 6.0).map(lambda v: round(v, 2))),
        st.tuples(st.just("implies"), st.sampled_from(ONE_HOT), st.sampled_from([0.0, 1.0, 2.0])),
        st.tuples(st.just("grid"), st.just("b"), st.sampled_from([0.25, 0.5, 1.0])),
    )
    # One value policy per column (a second one is refused).
    rules = st.lists(single, max_size=4, unique_by=lambda r: "grid" if r[0] == "grid" else r)
    return st.tuples(rules, st.booleans())


def build(rules, one_hot):
    out = morvel.Rules()
    for r in rules:
        kind = r[0]
        if kind == "freeze":
            out.freeze(r[1])
        elif kind == "range":
            out.range(r[1], r[2], r[3])
        elif kind == "rel":
            out.range(r[1], rel=r[2])
        elif kind == "mono":
            (out.increase_only if r[2] > 0 else out.decrease_only)(r[1])
        elif kind == "order":
            out.linear({r[1][0]: 1, r[1][1]: -1}, "<=", 0)
        elif kind == "cap":
            out.linear({r[1]: 1}, "<=", r[2])
        elif kind == "implies":
            out.implies(r[1], 1, "n", r[2])
        elif kind == "grid":
            out.grid(r[1], r[2])
    if one_hot:
        out.one_hot(*ONE_HOT)
    return out


def holds(rules, one_hot, x: pd.Series, cf: pd.Series) -> bool:
    """The rules' meaning, evaluated on the rows by name."""
    ok = True
    for r in rules:
        kind = r[0]
        if kind == "freeze":
            ok &= cf[r[1]] == x[r[1]]
        elif kind == "range":
            ok &= r[2] <= cf[r[1]] <= r[3]
        elif kind == "rel":
            ends = sorted((r[2][0] * x[r[1]], r[2][1] * x[r[1]]))
            ok &= ends[0] <= cf[r[1]] <= ends[1]
        elif kind == "mono":
            ok &= (cf[r[1]] >= x[r[1]]) if r[2] > 0 else (cf[r[1]] <= x[r[1]])
        elif kind == "order":
            ok &= cf[r[1][0]] <= cf[r[1][1]] + 1e-9
        elif kind == "cap":
            ok &= cf[r[1]] <= r[2] + 1e-9
        elif kind == "implies":
            ok &= cf[r[1]] != 1 or cf["n"] == r[2]
        elif kind == "grid":
            k = cf[r[1]] / r[2]
            ok &= cf[r[1]] == x[r[1]] or abs(k - round(k)) < 1e-9
    if one_hot:
        ok &= sorted(cf[ONE_HOT]) == [0.0, 0.0, 1.0]
    ok &= cf["n"] == round(cf["n"])  # a whole-number column stays whole
    return bool(ok)


def ranges_disjoint(rules) -> bool:
    """Whether the fixed ranges of some column have no value in common."""
    for c in NUMERIC:
        ends = [(r[2], r[3]) for r in rules if r[0] == "range" and r[1] == c]
        if ends and max(lo for lo, _ in ends) > min(hi for _, hi in ends):
            return True
    return False


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.data_too_large])
@given(data=st.data())
def test_random_rule_sets_hold_on_every_returned_row(problem, data):
    X, model, rows = problem
    rules, one_hot = data.draw(rule_sets(X))
    try:
        ex = morvel.Explainer(model, X, constraints=build(rules, one_hot), random_state=0)
    except ValueError as err:
        # Ranges of one column that leave no value in common are refused up front.
        assert "contradicts" in str(err) and ranges_disjoint(rules), (rules, err)
        return
    out = ex.explain_many(rows, desired_class=1, time_budget_s=2.0, n_jobs=1)
    if hasattr(core, "solve_genetic_raw"):
        genetic = ex.explain_many(rows, desired_class=1, method="genetic", time_budget_s=2.0,
                                  max_generations=40)
        out = pd.concat([out, genetic])
    for idx, res in out.iterrows():
        x = rows.loc[idx]
        if res.status == "infeasible":
            continue
        if not res.found:
            assert res.status == "not_found"
            continue
        cf = res[ex.feature_names].astype(float)
        assert holds(rules, one_hot, x, cf), (rules, one_hot, dict(x), dict(cf))
        xv, cv = x.to_numpy(float), cf.to_numpy(float)
        assert ex.rules.constraints(xv).check(cv[None, :], xv)[0]
        assert model.predict(cf.to_frame().T)[0] == 1


def test_every_rule_kind_is_checked_by_the_core(problem):
    """Rows the core's check rejects for each kind of rule, and the returned rows it
    accepts."""
    X, model, rows = problem
    rules = (morvel.Rules().freeze("oh_z").range("b", 0, 9).range("a", rel=(0.5, 3.0))
             .increase_only("a").linear({"a": 1, "b": -1}, "<=", 0)
             .implies("oh_x", 1, "n", 0).one_hot(*ONE_HOT).integer("b"))
    ex = morvel.Explainer(model, X, constraints=rules)
    for _, x in rows.iterrows():
        xv = x.to_numpy(float)
        cons = ex.rules.constraints(xv)
        cf = ex.explain(x, desired_class=1)
        if cf.found:
            assert cons.check(cf.values[None, :], xv)[0]
            assert cf.values[1] in (xv[1], round(cf.values[1]))
        broken = []
        for col, value in (("oh_z", 1 - xv[5]), ("b", 9.5), ("a", xv[0] - 0.5)):
            row = xv.copy()
            row[list(X.columns).index(col)] = value
            broken.append(row)
        row = xv.copy()
        row[3:6] = [1.0, 1.0, 0.0]
        broken.append(row)
        assert not cons.check(np.array(broken), xv).any()


@pytest.mark.parametrize("make, words", [
    (lambda r: r.freeze("nope"), ["freeze('nope')", "unknown column 'nope'"]),
    (lambda r: r.range("a", 0, 1).range("a", 2, 3), ["range('a', 0, 1)", "range('a', 2, 3)",
                                                     "'a'"]),
    (lambda r: r.range("b", 0, 5).equals("b", 7), ["equals('b', 7)", "range('b', 0, 5)"]),
    (lambda r: r.one_hot("a", "oh_x"), ["one_hot('a', 'oh_x')", "'a'", "0 and 1"]),
    (lambda r: r.allowed_categories("b", ["x"]), ["allowed_categories", "'b'", "categorical"]),
    (lambda r: r.linear({"a": 1, "zz": 2}, "<=", 1), ["linear(", "'zz'"]),
    (lambda r: r.implies("oh_x", 1, "oh_x", 0), ["implies('oh_x', 1, 'oh_x', 0)"]),
    (lambda r: r.one_hot("oh_x", "oh_y").one_hot("oh_y", "oh_z"), ["'oh_y'", "another"]),
    (lambda r: r.equals("n", "three"), ["equals('n', 'three')", "not a number"]),
    (lambda r: r.grid("b", 0.5).integer("b"), ["integer('b')", "grid('b', 0.5"]),
])
def test_invalid_rules_name_the_column_and_the_rule(problem, make, words):
    X, model, _ = problem
    with pytest.raises(ValueError) as err:
        morvel.Explainer(model, X, constraints=make(morvel.Rules()))
    for w in words:
        assert w in str(err.value)


def test_builder_arguments_are_checked_at_once():
    for call, word in ((lambda: morvel.Rules().range("a", 5, 1), "lo 5 is above hi 1"),
                       (lambda: morvel.Rules().range("a"), "give lo, hi or rel"),
                       (lambda: morvel.Rules().grid("a", 0), "step must be positive"),
                       (lambda: morvel.Rules().linear({"a": 1}, "<", 0), "op must be"),
                       (lambda: morvel.Rules().linear({"a": math.nan}, "<=", 0), "coefficient"),
                       (lambda: morvel.Rules().one_hot("a"), "at least two"),
                       (lambda: morvel.Rules().allow_missing("a", -1), "negative")):
        with pytest.raises(ValueError, match=word):
            call()
    with pytest.raises(TypeError, match="strings"):
        morvel.Rules().freeze(3)


def test_multi_column_linear_rules_need_the_genetic_method(problem):
    X, model, rows = problem
    ex = morvel.Explainer(model, X, constraints=morvel.Rules().linear({"a": 1, "b": 2}, "<=",
                                                                      4))
    with pytest.raises(ValueError, match=r"linear\(\{'a': 1, 'b': 2\}.*method='genetic'"):
        ex.explain(rows.iloc[0], desired_class=1)
    # a >= b written either way is the order pair both methods take.
    for rule in (morvel.Rules().linear({"a": 2, "b": -2}, ">=", 0),
                 morvel.Rules().linear({"b": 1, "a": -1}, "<=", 0)):
        cf = morvel.Explainer(model, X, constraints=rule).explain(rows.iloc[0], desired_class=1)
        assert cf.found and cf.counterfactual.a >= cf.counterfactual.b - 1e-9


def test_one_hot_groups_found_from_dummy_columns():
    rng = np.random.default_rng(2)
    raw = pd.DataFrame({"income": rng.normal(size=300),
                        "home": rng.choice(["own", "rent", "other_kind"], 300),
                        "car_type": rng.choice(["suv", "van"], 300)})
    X = pd.get_dummies(raw, dtype=float)
    y = ((raw.home == "own") & (raw.income > 0)).astype(int)
    model = RandomForestClassifier(n_estimators=8, max_depth=4, random_state=0).fit(X, y)
    ex = morvel.Explainer(model, X, constraints=morvel.Rules().detect_one_hot())
    groups = sorted(sorted(ex.schema.names[f] for f in g) for g in ex.rules.one_hot)
    assert groups == [["car_type_suv", "car_type_van"],
                      ["home_other_kind", "home_own", "home_rent"]]
    # The scale of a one-hot column falls back from a MAD of 0 to its spread.
    assert (ex.sigma > 0).all() and np.isfinite(ex.sigma).all()
    out = ex.explain_many(X[model.predict(X) == 0].iloc[:5], desired_class=1)
    homes = out[["home_other_kind", "home_own", "home_rent"]].to_numpy()
    assert out.found.all() and (homes.sum(axis=1) == 1).all()
