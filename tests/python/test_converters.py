"""Converted models score exactly as the libraries that trained them.

Every model is checked two ways on random rows (with NaNs and categories) and on rows
placed at, and one double or float32 step around, every split threshold:
- routing: tree by tree, the flat model reaches the leaf the library reports;
- raw score: `raw_score_batch` against the library's own raw prediction.
(CatBoost's oblivious trees are checked the same way where it is installed.)
"""
import importlib.util
import json

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import morvel
from morvel import core
from morvel.models import float32_threshold
from morvel.models.lightgbm_models import ZERO

sklearn = pytest.importorskip("sklearn")
xgb = pytest.importorskip("xgboost")
lgb = pytest.importorskip("lightgbm")
from sklearn import ensemble, tree  # noqa: E402

N_FEATURES = 5
CAT = 3  # the categorical column, where a model takes one
CAT_CODES = np.array([0, 1, 2, 5, 7, 9])


# --------------------------------------------------------------------------- data


def make_data(seed, n, nan=True, cat=False):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, N_FEATURES))
    X[:, 1] = np.round(X[:, 1], 1)            # repeated values: thresholds at midpoints
    X[:, 2] = rng.integers(-3, 4, size=n)     # small whole numbers
    if cat:
        X[:, CAT] = rng.choice(CAT_CODES, size=n)
    y = X[:, 0] + np.sin(3 * X[:, 1]) + 0.5 * X[:, 2] + np.isin(X[:, CAT], [1, 5, 9])
    if nan:
        for col in (0, 2, CAT):
            X[rng.random(n) < 0.1, col] = np.nan
    return X, y


def random_rows(seed, nan=True, cat=False, n=1200):
    """Random rows; on the categorical column also unseen and negative codes."""
    X, _ = make_data(seed, n, nan=nan, cat=cat)
    if cat:
        rng = np.random.default_rng(seed + 1)
        extra = rng.random(n) < 0.2
        X[extra, CAT] = rng.choice([3, 4, 8, 63, 64, 200, -1], size=extra.sum())
    return X


def neighbours(t):
    """t, its double neighbours, the float32 values around it, their midpoints, and the
    double neighbours of all of those."""
    with np.errstate(over="ignore", invalid="ignore"):
        f = np.float32(t)
        steps = [f]
        for direction in (np.inf, -np.inf):
            g = f
            for _ in range(2):
                g = np.nextafter(g, np.float32(direction))
                steps.append(g)
        steps = np.sort(np.asarray(steps, dtype=np.float64))
        mids = 0.5 * (steps[1:] + steps[:-1])
        base = np.concatenate([[t], steps, mids])
        out = np.concatenate([base, np.nextafter(base, np.inf), np.nextafter(base, -np.inf)])
    # Inputs past the float32 range become inf, which the libraries reject.
    return np.unique(out[np.abs(out) <= np.finfo(np.float32).max])


def visits(flat, X):
    """For every flat node, the rows of X the flat model routes through it."""
    seen = {}
    for root in flat.tree_roots:
        cur = np.full(len(X), root, dtype=np.int64)
        rows = np.arange(len(X))
        while len(rows):
            for r, node in zip(rows, cur):
                seen.setdefault(int(node), r)
            f = flat.feature[cur]
            inner = f >= 0
            rows, cur, f = rows[inner], cur[inner], f[inner]
            v = X[rows, f]
            t = flat.threshold[cur]
            left = np.where(flat.is_lt[cur] == 1, v < t, v <= t)
            for j in np.flatnonzero(flat.node_set[cur] >= 0):
                s = flat.node_set[cur[j]]
                words = flat.set_words[flat.set_offsets[s]:flat.set_offsets[s + 1]]
                c = int(v[j]) if np.isfinite(v[j]) and v[j] >= 0 and v[j] == int(v[j]) else -1
                left[j] = 0 <= c < 64 * len(words) and bool((int(words[c // 64]) >> (c % 64)) & 1)
            left = np.where(np.isnan(v), flat.missing_left[cur] == 1, left)
            cur = np.where(left, flat.left[cur], flat.right[cur])
    return seen


def threshold_rows(flat, splits, pool, extra=()):
    """Rows at and around every library split threshold.

    `splits` lists (feature, library threshold, flat node of the split). Each probe row is
    a pool row that reaches the split, with the split's feature set to a probe value.
    """
    reach = visits(flat, pool)
    return probe_rows([(f, t, reach.get(node, 0)) for f, t, node in splits], pool, extra)


def probe_rows(splits, pool, extra=()):
    """`splits` lists (feature, threshold, index of the pool row to vary)."""
    rows = []
    for f, t, r in splits:
        for v in np.concatenate([neighbours(t), extra]):
            row = pool[r].copy()
            row[f] = v
            rows.append(row)
    return np.asarray(rows)


# --------------------------------------------------------------------------- checks


def leaves(flat, k, X):
    """The library leaf ids the flat model reaches in tree k."""
    one = core.RustEnsemble(flat.feature, flat.threshold, flat.is_lt, flat.missing_left,
                            flat.left, flat.right, flat.leaf_id.astype(np.float64),
                            flat.tree_roots[k:k + 1], 0.0, "identity", flat.n_features,
                            node_set=flat.node_set, set_offsets=flat.set_offsets,
                            set_words=flat.set_words)
    return one.raw_score_batch(np.ascontiguousarray(X)).astype(np.int64)


def assert_routing(flat, X, library_leaves):
    """library_leaves: (n_rows, n_trees) leaf ids as the library numbers them."""
    assert library_leaves.shape == (len(X), flat.n_trees)
    for k in range(flat.n_trees):
        np.testing.assert_array_equal(leaves(flat, k, X), library_leaves[:, k],
                                      err_msg=f"tree {k}")


def score(flat, X):
    return flat.to_core().raw_score_batch(np.ascontiguousarray(X))


# Routing errors move a score by a whole leaf value; the tolerances only absorb the
# rounding of sums taken in another order (forest means: sum then divide).
RTOL = 1e-12


# --------------------------------------------------------------------------- float32 helper


def library_passes(v, t, strict):
    """The library's own test: float32 input against a double threshold."""
    return bool(np.float32(v) < np.float64(t)) if strict else bool(np.float32(v) <= np.float64(t))


def flat_passes(v, t2, is_lt):
    return bool(v < t2) if is_lt else bool(v <= t2)


@settings(max_examples=300, deadline=None)
@given(t=st.floats(width=64), data=st.data(), strict=st.booleans())
def test_float32_threshold_matches_numpy(t, data, strict):
    if strict:  # XGBoost's thresholds are float32 values
        with np.errstate(over="ignore"):
            t = float(np.float32(t))
    t2, is_lt = float32_threshold(t, strict)
    candidates = np.concatenate([neighbours(t), neighbours(float(t2)), [0.0, 2.0**128 - 2.0**103]])
    v = data.draw(st.one_of(st.sampled_from(list(candidates)), st.floats(allow_nan=False)))
    with np.errstate(over="ignore"):
        assert flat_passes(v, t2, is_lt) == library_passes(v, t, strict)


@pytest.mark.parametrize("t", [0.0, -0.0, 1e-45, -1e-45, 2.0**-150, 3.4028234663852886e38,
                               -3.4028234663852886e38, 1e39, np.inf, -np.inf, 0.1, 1.0])
@pytest.mark.parametrize("strict", [False, True])
def test_float32_threshold_edges(t, strict):
    t2, is_lt = float32_threshold(t, strict)
    probes = [2.0**128 - 2.0**103, -(2.0**128 - 2.0**103), np.inf, -np.inf]
    probes += list(neighbours(t)) if np.isfinite(t) else []
    probes += list(neighbours(float(t2))) if np.isfinite(t2) else []
    with np.errstate(over="ignore"):
        for v in probes + [float(np.nextafter(p, d)) for p in probes for d in (-np.inf, np.inf)]:
            assert flat_passes(v, t2, is_lt) == library_passes(v, t, strict), (t, v)


def test_float32_threshold_nan_passes_nothing():
    t2, is_lt = float32_threshold([np.nan, -np.inf], strict=True)
    assert np.all(t2 == -np.inf) and np.all(is_lt == 1)


# --------------------------------------------------------------------------- scikit-learn


def sk_splits(flat, trees, feature_maps):
    splits = []
    for k, (t, fmap) in enumerate(zip(trees, feature_maps)):
        root = int(flat.tree_roots[k])
        for i in np.flatnonzero(t.children_left >= 0):
            f = t.feature[i] if fmap is None else fmap[t.feature[i]]
            splits.append((int(f), float(t.threshold[i]), root + i))
    return splits


SKLEARN_MODELS = {
    "tree_regressor": lambda: tree.DecisionTreeRegressor(max_depth=5, random_state=0),
    "tree_classifier": lambda: tree.DecisionTreeClassifier(max_depth=5, random_state=0),
    "forest_regressor": lambda: ensemble.RandomForestRegressor(
        n_estimators=8, max_depth=4, random_state=0),
    "forest_classifier": lambda: ensemble.RandomForestClassifier(
        n_estimators=8, max_depth=4, random_state=0),
    "extra_trees_regressor": lambda: ensemble.ExtraTreesRegressor(
        n_estimators=6, max_depth=4, random_state=0),
    "boosting_regressor": lambda: ensemble.GradientBoostingRegressor(
        n_estimators=15, max_depth=3, learning_rate=0.3, random_state=0),
    "boosting_classifier": lambda: ensemble.GradientBoostingClassifier(
        n_estimators=15, max_depth=3, learning_rate=0.3, random_state=0),
}


@pytest.mark.parametrize("name", list(SKLEARN_MODELS))
def test_sklearn_trees(name):
    model = SKLEARN_MODELS[name]()
    nan = "boosting" not in name  # gradient boosting rejects NaN at prediction
    X, y = make_data(0, 500, nan=nan)
    classifier = "classifier" in name
    model.fit(X, y > np.median(y) if classifier else y)
    flat = morvel.convert(model)
    estimators = (model.estimators_[:, 0] if "boosting" in name
                  else getattr(model, "estimators_", [model]))
    trees = [e.tree_ for e in estimators]
    rows = np.vstack([random_rows(1, nan=nan),
                      threshold_rows(flat, sk_splits(flat, trees, [None] * len(trees)), X)])
    X32 = rows.astype(np.float32)
    assert_routing(flat, rows, np.column_stack([e.apply(X32) for e in estimators]))
    if name == "boosting_classifier":
        expected = model.decision_function(rows)
    elif classifier:
        expected = model.predict_proba(rows)[:, 1]
    else:
        expected = model.predict(rows)
    np.testing.assert_allclose(score(flat, rows), expected, rtol=RTOL, atol=0)
    assert flat.link == ("sigmoid" if name == "boosting_classifier" else "identity")


@pytest.mark.parametrize("max_features", [1.0, 0.6])
def test_isolation_forest_total_path(max_features):
    X, _ = make_data(2, 400)
    model = ensemble.IsolationForest(n_estimators=12, max_samples=64,
                                     max_features=max_features, random_state=0).fit(X)
    flat = morvel.convert(model)
    subsampled = max_features < 1.0
    fmaps = [f if subsampled else None for f in model.estimators_features_]
    trees = [e.tree_ for e in model.estimators_]
    rows = np.vstack([random_rows(3), threshold_rows(flat, sk_splits(flat, trees, fmaps), X)])
    X32 = rows.astype(np.float32)
    assert_routing(flat, rows, np.column_stack([
        e.apply(X32[:, f] if subsampled else X32)
        for e, f in zip(model.estimators_, model.estimators_features_)]))
    n = model.max_samples_
    c = 2.0 * (np.log(n - 1.0) + np.euler_gamma) - 2.0 * (n - 1.0) / n
    total = -np.log2(-model.score_samples(rows)) * c * len(model.estimators_)
    np.testing.assert_allclose(score(flat, rows), total, rtol=1e-12, atol=0)


@pytest.mark.parametrize("classifier", [False, True])
def test_hist_gradient_boosting(classifier):
    X, y = make_data(4, 800, cat=True)
    cls = (ensemble.HistGradientBoostingClassifier if classifier
           else ensemble.HistGradientBoostingRegressor)
    model = cls(max_iter=15, max_leaf_nodes=8, learning_rate=0.3, categorical_features=[CAT],
                random_state=0).fit(X, y > np.median(y) if classifier else y)
    flat = morvel.convert(model)
    assert flat.cardinality[CAT] == CAT_CODES.max() + 1
    assert (flat.node_set >= 0).any(), "the model should split on its categorical feature"
    splits = []
    for k, (p,) in enumerate(model._predictors):
        nodes = p.nodes
        root = int(flat.tree_roots[k])
        for i in np.flatnonzero(~nodes["is_leaf"].astype(bool) & ~nodes["is_categorical"]):
            f = int(flat.feature[root + i])
            splits.append((f, float(nodes["num_threshold"][i]), root + i))
    extra_codes = [2.5, -0.5, 255.0, 256.0, 1e9]  # none is a known category: missing side
    rows = np.vstack([random_rows(5, cat=True), threshold_rows(flat, splits, X)])
    rng = np.random.default_rng(6)
    odd = rows[rng.choice(len(rows), 200)]
    odd[:, CAT] = rng.choice(extra_codes, size=200)
    rows = np.vstack([rows, odd])
    expected = model.decision_function(rows) if classifier else model.predict(rows)
    # Same additions in the same order: the scores agree bitwise.
    np.testing.assert_array_equal(score(flat, rows), expected)


# --------------------------------------------------------------------------- XGBoost


def xgb_splits(flat, booster):
    splits = []
    trees = json.loads(booster.save_raw("json"))["learner"]["gradient_booster"]["model"]["trees"]
    for k, t in enumerate(trees):
        root = int(flat.tree_roots[k])
        for i, (lc, st_) in enumerate(zip(t["left_children"], t["split_type"])):
            if lc >= 0 and st_ == 0:
                splits.append((t["split_indices"][i], float(np.float32(t["split_conditions"][i])),
                               root + i))
    return splits


def xgb_float32_margin(flat, leaf_ids):
    """XGBoost's margin recomputed from its leaves: a float32 running sum in tree order."""
    total = np.full(len(leaf_ids), np.float32(flat.base_score), dtype=np.float32)
    for k, root in enumerate(flat.tree_roots):
        total = total + flat.value[root + leaf_ids[:, k]].astype(np.float32)
    return total


@pytest.mark.parametrize("kind", ["booster_categorical", "classifier"])
def test_xgboost(kind):
    cat = kind == "booster_categorical"
    X, y = make_data(7, 800, cat=cat)
    types = ["q"] * N_FEATURES
    if cat:
        types[CAT] = "c"
        dtrain = xgb.DMatrix(X, y, feature_types=types, enable_categorical=True)
        booster = xgb.train({"max_depth": 4, "eta": 0.3, "max_cat_to_onehot": 1,
                             "nthread": 1}, dtrain, 20)
        model = booster
    else:
        model = xgb.XGBClassifier(n_estimators=20, max_depth=4, learning_rate=0.3,
                                  base_score=0.3, n_jobs=1).fit(X, y > np.median(y))
        booster = model.get_booster()
    flat = morvel.convert(model)
    assert flat.link == ("identity" if cat else "sigmoid")
    if cat:
        assert (flat.node_set >= 0).any()
    rows = np.vstack([random_rows(8, cat=cat), threshold_rows(flat, xgb_splits(flat, booster), X)])
    dm = xgb.DMatrix(rows, feature_types=types, enable_categorical=cat)
    leaf_ids = booster.predict(dm, pred_leaf=True).astype(np.int64)
    margin = booster.predict(dm, output_margin=True)
    assert_routing(flat, rows, leaf_ids)
    np.testing.assert_array_equal(xgb_float32_margin(flat, leaf_ids), margin)
    # XGBoost rounds its running sum to float32 after every tree; each rounding errs by at
    # most half a float32 ulp of a partial sum bounded by the base plus the largest leaves.
    # (Trees are laid out one after another; internal nodes carry value 0.)
    ends = np.append(flat.tree_roots[1:], flat.n_nodes)
    bound = abs(flat.base_score) + sum(np.abs(flat.value[r:e]).max()
                                       for r, e in zip(flat.tree_roots, ends))
    np.testing.assert_allclose(score(flat, rows), margin, rtol=0,
                               atol=flat.n_trees * 2.0**-24 * bound)


# --------------------------------------------------------------------------- LightGBM


def lgb_splits(booster, pool):
    """(feature, threshold, pool row reaching the split) of every numeric split; a split
    may become several flat nodes, so LightGBM's own leaf assignment finds the rows."""
    reached = booster.predict(pool, pred_leaf=True)
    splits = []

    def walk(node, k):  # returns the leaf indices below node
        if "split_index" not in node:
            return {node.get("leaf_index", 0)}
        below = walk(node["left_child"], k) | walk(node["right_child"], k)
        if node["decision_type"] == "<=":
            rows = np.flatnonzero(np.isin(reached[:, k], list(below)))
            splits.append((node["split_feature"], float(node["threshold"]),
                           int(rows[0]) if len(rows) else 0))
        return below

    for k, info in enumerate(booster.dump_model()["tree_info"]):
        walk(info["tree_structure"], k)
    return splits


LGB_CASES = {
    "nan_missing": dict(objective="regression"),
    "zero_as_missing": dict(objective="regression", zero_as_missing=True),
    "no_missing_binary": dict(objective="binary"),
    "categorical_binary": dict(objective="binary", min_data_per_group=5, cat_smooth=1.0),
}


@pytest.mark.parametrize("case", list(LGB_CASES))
def test_lightgbm(case):
    cat = case.startswith("categorical")
    nan = case != "no_missing_binary"
    X, y = make_data(9, 1500, nan=nan, cat=cat)
    rng = np.random.default_rng(10)
    X[rng.random(len(X)) < 0.25, 4] = 0.0  # a zero-heavy column for the zero band
    params = dict(LGB_CASES[case], num_leaves=8, learning_rate=0.3, verbose=-1,
                  num_threads=1, seed=0)
    label = y > np.median(y) if params["objective"] == "binary" else y
    data = lgb.Dataset(X, label, categorical_feature=[CAT] if cat else "auto")
    booster = lgb.train(params, data, 15)
    flat = morvel.convert(booster)
    assert flat.link == ("sigmoid" if params["objective"] == "binary" else "identity")
    if case == "zero_as_missing":  # some splits need the interval chain
        assert flat.n_nodes > sum(2 * t["num_leaves"] - 1
                                  for t in booster.dump_model()["tree_info"])
    zero_band = [0.0, -0.0, 1e-40, -1e-40, ZERO, -ZERO, np.nextafter(ZERO, 1),
                 np.nextafter(-ZERO, -1)]
    # NaN rows also for the model trained without any: LightGBM reads them as 0.0.
    rows = np.vstack([random_rows(11, nan=True, cat=cat),
                      probe_rows(lgb_splits(booster, X), X, zero_band)])
    odd = rows[rng.choice(len(rows), 300)]
    odd[:, 4] = rng.choice(zero_band, size=300)
    rows = np.vstack([rows, odd])
    assert_routing(flat, rows, booster.predict(rows, pred_leaf=True))
    # Both sum the same doubles from 0.0 in tree order.
    np.testing.assert_array_equal(score(flat, rows), booster.predict(rows, raw_score=True))


def test_lightgbm_sklearn_wrapper_and_partition():
    X, y = make_data(12, 600, nan=True)
    model = lgb.LGBMClassifier(n_estimators=10, num_leaves=6, verbose=-1, n_jobs=1)
    model.fit(X, y > 0)
    rows = random_rows(13)
    np.testing.assert_array_equal(score(morvel.convert(model), rows),
                                  model.predict(rows, raw_score=True))
    from morvel.models.lightgbm_models import numeric_partition
    # Zero missing type, zeros to the right, threshold above the zero band: left, zero
    # band right, left again up to the threshold, right above it.
    segments, nan_left = numeric_partition(1.5, "Zero", False)
    assert [(u, c, s) for u, c, s in segments] == [
        (-ZERO, False, True), (ZERO, True, False), (1.5, True, True), (np.inf, True, False)]
    assert nan_left is False


# --------------------------------------------------------------------------- CatBoost


CB_CASES = {
    "classifier_one_hot_nan_min": dict(nan_mode="Min", one_hot_max_size=8, depth=4),
    "regressor_nan_max": dict(nan_mode="Max", depth=5),
    "classifier_scaled_no_missing": dict(depth=3),
}


@pytest.mark.parametrize("case", list(CB_CASES))
def test_catboost(case):
    cb = pytest.importorskip("catboost")
    cat = "one_hot" in case
    nan = "no_missing" not in case
    X, y = make_data(16, 800, nan=nan, cat=cat)
    names = [f"f{i}" for i in range(N_FEATURES)]
    cls = cb.CatBoostRegressor if case.startswith("regressor") else cb.CatBoostClassifier
    model = cls(iterations=12, learning_rate=0.3, thread_count=1, verbose=0, random_seed=0,
                allow_writing_files=False, cat_features=[CAT] if cat else None, **CB_CASES[case])

    def frame(rows):
        out = pd.DataFrame(rows, columns=names)
        if cat:  # CatBoost reads categories as whole numbers or text, never missing
            out[names[CAT]] = np.nan_to_num(rows[:, CAT], nan=CAT_CODES[0]).astype(int)
        return out

    model.fit(frame(X), y if cls is cb.CatBoostRegressor else y > np.median(y))
    if case == "classifier_scaled_no_missing":
        model.set_scale_and_bias(0.5, [0.25])
    flat = morvel.convert(model, labels={CAT: list(CAT_CODES)} if cat else None)
    pool = frame(X)
    borders = [(f, b, 0) for f, bs in model.get_borders().items() for b in bs]
    rows = np.vstack([random_rows(17, nan=nan), probe_rows(borders, X)])
    if nan:  # also where training saw no missing value
        rows[::7, 4] = np.nan
    if cat:
        rows[:, CAT] = np.random.default_rng(18).choice(CAT_CODES, len(rows))
        assert (flat.node_set >= 0).any(), "the model should split on its categorical column"
    pool = frame(rows)
    codes = rows.copy()
    if cat:
        codes[:, CAT] = pool[names[CAT]].map(flat.categories[CAT]).to_numpy(dtype=float)
    assert_routing(flat, codes, model.calc_leaf_indexes(cb.Pool(pool, cat_features=[CAT] if cat
                                                               else None)))
    np.testing.assert_allclose(score(flat, codes),
                               model.predict(pool, prediction_type="RawFormulaVal"),
                               rtol=RTOL, atol=1e-15)


# --------------------------------------------------------------------------- errors


def test_unsupported_models_are_rejected():
    X, y = make_data(14, 200, nan=False)
    multiclass = tree.DecisionTreeClassifier(max_depth=2).fit(X, np.digitize(y, [-1, 1]))
    with pytest.raises(ValueError, match="binary"):
        morvel.convert(multiclass)
    with pytest.raises(TypeError, match="unsupported model type"):
        morvel.convert(object())
    from sklearn.linear_model import LinearRegression
    with pytest.raises(TypeError, match="unsupported scikit-learn model"):
        morvel.from_sklearn(LinearRegression().fit(X, y))
    softmax = xgb.train({"objective": "multi:softprob", "num_class": 3, "nthread": 1},
                        xgb.DMatrix(X, np.digitize(y, [-1, 1])), 2)
    with pytest.raises(ValueError, match="single-output"):
        morvel.convert(softmax)
    linear = lgb.train({"linear_tree": True, "num_leaves": 4, "verbose": -1, "num_threads": 1},
                       lgb.Dataset(X, y), 2)
    with pytest.raises(ValueError, match="linear trees"):
        morvel.convert(linear)
    if importlib.util.find_spec("catboost"):
        import catboost as cb

        frame = pd.DataFrame({"x": X[:, 0], "kind": np.digitize(y, [-1, 0, 1])})
        ctr = cb.CatBoostClassifier(iterations=5, verbose=0, thread_count=1, one_hot_max_size=1,
                                    allow_writing_files=False, cat_features=["kind"]).fit(frame, y > 0)
        with pytest.raises(ValueError, match="'kind'.*target statistics.*one_hot_max_size"):
            morvel.convert(ctr, labels={1: [0, 1, 2, 3]})
        three = cb.CatBoostClassifier(iterations=2, verbose=0, thread_count=1,
                                      allow_writing_files=False).fit(
            X, np.digitize(y, [-1, 1]))
        with pytest.raises(ValueError, match="MultiClass"):
            morvel.convert(three)


# --------------------------------------------------------------------------- labelled categories


def labelled_frame(seed, n):
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({
        "age": rng.integers(18, 80, n).astype(float),
        "job": pd.Categorical(rng.choice(["retired", "student", "clerk", "nurse"], n)),
        "income": rng.normal(size=n),
    })
    frame.loc[rng.random(n) < 0.05, "job"] = np.nan
    y = (frame.job.isin(["student", "nurse"]) ^ (frame.income > 0.3)).astype(int)
    return frame, y


def encoded(frame, mapping):
    out = frame.copy()
    out["job"] = out["job"].astype(object).map(mapping).astype(float)
    return out.to_numpy()


@pytest.mark.parametrize("library", ["sklearn", "lightgbm"])
def test_pandas_category_columns_score_through_the_label_mapping(library):
    frame, y = labelled_frame(15, 600)
    if library == "sklearn":
        model = ensemble.HistGradientBoostingClassifier(max_iter=10, random_state=0).fit(frame, y)
        raw = model.decision_function
    else:
        model = lgb.LGBMClassifier(n_estimators=10, verbose=-1).fit(frame, y)
        raw = lambda X: model.predict(X, raw_score=True)  # noqa: E731
    flat = morvel.convert(model)
    mapping = flat.categories[1]
    assert set(mapping) == {"retired", "student", "clerk", "nurse"}
    assert sorted(mapping.values()) == [0, 1, 2, 3] and flat.cardinality[1] == 4
    assert (flat.node_set >= 0).any(), "the model should split on the category column"
    np.testing.assert_array_equal(score(flat, encoded(frame, mapping)), raw(frame))


def test_unfitted_models_raise_a_clear_value_error():
    for model in (ensemble.RandomForestClassifier(), ensemble.HistGradientBoostingRegressor(),
                  ensemble.GradientBoostingClassifier(), tree.DecisionTreeRegressor(),
                  ensemble.IsolationForest(), xgb.XGBClassifier(), lgb.LGBMRegressor()):
        with pytest.raises(ValueError, match=f"{type(model).__name__} is not fitted"):
            morvel.convert(model)
    if importlib.util.find_spec("catboost"):
        import catboost as cb

        for model in (cb.CatBoostClassifier(), cb.CatBoostRegressor()):
            with pytest.raises(ValueError, match=f"{type(model).__name__} is not fitted"):
                morvel.convert(model)
    # Handlers written for scikit-learn's own error (an AttributeError too) keep working.
    with pytest.raises(AttributeError):
        morvel.convert(ensemble.RandomForestRegressor())
