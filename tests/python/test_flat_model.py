"""Models saved in morvel's own format: scored as their libraries score them, explained
as the library models are, and read (by `morvel demo` too) with no optional library."""
import subprocess
import sys
import zipfile

import numpy as np
import pandas as pd
import pytest

import morvel
from morvel import FlatModel
from morvel.frontends.cli.demo import example_dir

lightgbm = pytest.importorskip("lightgbm")
xgboost = pytest.importorskip("xgboost")
from sklearn.ensemble import GradientBoostingClassifier, GradientBoostingRegressor  # noqa: E402


def data(seed: int, n: int = 600):
    rng = np.random.default_rng(seed)
    X = pd.DataFrame(rng.normal(size=(n, 4)).round(2), columns=["a", "b", "c", "d"])
    X["kind"] = pd.Categorical(rng.choice(["x", "y", "z"], n))
    y = ((X.a + X.b * (X.kind == "y") - X.c) > 0).astype(int)
    return X, y


def fitted(library: str, seed: int):
    """(model, its raw score, its predict, the frame to score, whether NaN is allowed)."""
    X, y = data(seed)
    numeric = X.drop(columns="kind")
    holes = numeric.mask(np.random.default_rng(seed + 1).random(numeric.shape) < 0.1)
    if library == "lightgbm":
        m = lightgbm.LGBMClassifier(n_estimators=15, num_leaves=6, min_child_samples=5,
                                    verbose=-1).fit(X, y)
        rows = X.assign(a=holes.a)
        return m, m.predict(rows, raw_score=True), m.predict(rows), rows
    if library == "xgboost":
        m = xgboost.XGBClassifier(n_estimators=15, max_depth=3).fit(holes, y)
        return m, m.predict(holes, output_margin=True), m.predict(holes), holes
    if library == "sklearn-classifier":
        m = GradientBoostingClassifier(n_estimators=15, random_state=seed).fit(numeric, y)
        return m, m.decision_function(numeric), m.predict(numeric), numeric
    m = GradientBoostingRegressor(n_estimators=15, random_state=seed).fit(numeric, numeric.d)
    return m, m.predict(numeric), m.predict(numeric), numeric


@pytest.mark.parametrize("library", ["lightgbm", "xgboost", "sklearn-classifier",
                                     "sklearn-regressor"])
def test_saved_models_score_and_explain_as_their_libraries(library, tmp_path):
    for seed in (0, 1):
        model, raw, predicted, rows = fitted(library, seed)
        FlatModel.from_model(model).save(tmp_path / "m.npz")
        saved = FlatModel.load(tmp_path / "m.npz")
        # XGBoost sums its trees in single precision.
        tol = 1e-5 if library == "xgboost" else 1e-12
        np.testing.assert_allclose(saved.raw_score(rows), raw, rtol=tol, atol=tol)
        agree = saved.predict(rows) == predicted
        assert agree.mean() > 0.99 if library == "xgboost" else agree.all()
    if library == "sklearn-regressor":
        target = dict(target=morvel.raw_score >= 0.5)
    else:
        target = dict(desired_class=1)
    complete = rows.dropna()
    pick = complete.iloc[:8]
    ours = morvel.Explainer(saved, complete, random_state=0).explain_many(pick, **target)
    theirs = morvel.Explainer(model, complete, random_state=0).explain_many(pick, **target)
    pd.testing.assert_frame_equal(ours, theirs)


def test_demo_runs_without_optional_libraries_and_bad_files_are_refused(tmp_path):
    blocked = ("import sys\n"
               "for name in ('lightgbm', 'xgboost', 'sklearn', 'matplotlib', 'dask'):\n"
               "    sys.modules[name] = None\n"
               "from morvel.frontends.cli import main\n"
               "sys.exit(main(sys.argv[1:]))\n")
    demo = subprocess.run([sys.executable, "-c", blocked, "demo"], capture_output=True,
                          text=True, timeout=120)
    assert demo.returncode == 0, demo.stderr
    assert demo.stdout.count("counterfactual found (proved optimal)") == 3
    # The same answers as the LightGBM model the file was made from.
    booster = lightgbm.Booster(model_file=str(example_dir() / "credit_model.txt"))
    frame = pd.read_csv(example_dir() / "credit.csv")
    saved = FlatModel.load(example_dir() / "credit_model.npz")
    np.testing.assert_allclose(saved.raw_score(frame), booster.predict(
        frame.astype({"housing": "category"}), raw_score=True), rtol=0, atol=1e-12)

    good = example_dir() / "credit_model.npz"
    cut = tmp_path / "cut.npz"
    cut.write_bytes(good.read_bytes()[:2000])
    other = tmp_path / "other.npz"
    np.savez(other, meta=np.array("{}"))
    bent = tmp_path / "bent.npz"
    with zipfile.ZipFile(good) as src, zipfile.ZipFile(bent, "w") as dst:
        for item in src.namelist():  # a child index past the node arrays
            data_ = src.read(item)
            if item == "right.npy":
                arr = np.load(src.open(item))
                arr[arr > 0] += 10**6
                with dst.open(item, "w") as f:
                    np.save(f, arr)
            else:
                dst.writestr(item, data_)
    for path in (cut, other, bent):
        with pytest.raises(ValueError, match="not a morvel flat model file"):
            FlatModel.load(path)
        out = subprocess.run([sys.executable, "-m", "morvel", "explain", "--model", str(path),
                              "--data", str(example_dir() / "credit.csv"), "--rows", "0",
                              "--target", "proba>=0.5"], capture_output=True, text=True,
                             timeout=120)
        assert out.returncode == 1 and out.stderr.count("\n") == 1
        assert "not a morvel flat model file" in out.stderr
