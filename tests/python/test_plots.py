"""Counterfactual.plot and Region.plot: saved as PNG, and what they draw is what the
result says (moves in units of each feature's scale, clipped infinite region sides)."""
import math
import sys

import numpy as np
import pandas as pd
import pytest

import morvel
from morvel import core
from morvel.results import Region

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

lightgbm = pytest.importorskip("lightgbm")


@pytest.fixture(scope="module")
def credit():
    from morvel.frontends.cli.demo import example_dir

    d = example_dir()
    frame = pd.read_csv(d / "credit.csv").astype(
        {"housing": pd.CategoricalDtype(["mortgage", "own", "rent"])})
    booster = lightgbm.Booster(model_file=str(d / "credit_model.txt"))
    ex = morvel.Explainer(booster, frame, constraints=morvel.Rules().freeze("age"))
    return ex, frame, booster


def saved(ax, path) -> int:
    ax.figure.savefig(path, dpi=80)
    plt.close(ax.figure)
    return path.stat().st_size


def test_counterfactual_plot_draws_each_change(credit, tmp_path):
    ex, frame, booster = credit
    rejected = frame[booster.predict(frame) < 0.5]
    cfs = [ex.explain(rejected.iloc[k], "proba>=0.8") for k in range(6)]
    cf = max(cfs, key=lambda c: len(c.changes))
    assert cf.found and len(cf.changes) >= 2
    ax = cf.plot()
    assert [t.get_text() for t in ax.get_yticklabels()] == list(cf.changes.feature)
    ends = sorted(line.get_xdata()[0] for line in ax.lines
                  if line.get_color() == "#d62728" and line.get_marker() == "o")
    want = sorted((float(b) - float(a)) / ex.sigma[ex.feature_names.index(f)]
                  if not isinstance(a, str) else 1.0 for f, a, b in cf.changes.itertuples(
                      index=False))
    np.testing.assert_allclose(ends, want, rtol=1e-12)
    labels = " ".join(t.get_text() for t in ax.texts)
    for f, a, b in cf.changes.itertuples(index=False):
        assert "\u2192" in labels and (str(b) in labels or f"{b:.4g}" in labels)
    assert saved(ax, tmp_path / "cf.png") > 5_000

    unchanged = ex.explain(frame[booster.predict(frame) > 0.9].iloc[0], "proba>=0.5")
    ax = unchanged.plot()
    assert "no change needed" in [t.get_text() for t in ax.texts]
    assert saved(ax, tmp_path / "none.png") > 1_000


def test_region_plot_clips_unbounded_sides_and_marks_maximal_ends(tmp_path):
    table = pd.DataFrame({
        "feature": ["income", "debt", "age", "housing"],
        "low": [40.0, -math.inf, 30.0, np.nan],
        "high": [math.inf, 12.0, 30.0, np.nan],
        "categories": [None, None, None, ["own", "mortgage"]],
        "counterfactual": [52.0, 10.0, 30.0, "own"],
        "maximal_low": [True, False, False, False],
        "maximal_high": [False, True, False, False],
        "factual": [45.0, 14.0, 30.0, "own"],
    })
    region = Region(table, pd.DataFrame(), {}, scales={"income": 4.0, "debt": 2.0, "age": 5.0})
    ax = region.plot(clip=3.0)
    ticks = [t.get_text() for t in ax.get_yticklabels()]
    assert ticks == ["income", "debt", "housing"]  # age: a point, unchanged, not shown
    spans = [line.get_xdata() for line in ax.lines if line.get_linewidth() == 6]
    assert [list(s) for s in spans] == [[-3.0, 3.0], [-3.0, 1.0]]  # (40-52)/4 clipped; (12-10)/2
    bars = [line.get_xdata()[0] for line in ax.lines if line.get_marker() == "|"]
    assert bars == [1.0]  # income's maximal low end lies off the axis; debt's high at +1
    factual = sorted(line.get_xdata()[0] for line in ax.lines if line.get_marker() == "x")
    assert factual == [-1.75, 2.0]
    assert "{own, mortgage}" in [t.get_text() for t in ax.texts]
    assert saved(ax, tmp_path / "region.png") > 5_000


@pytest.mark.skipif(not hasattr(core, "compute_region_raw"),
                    reason="the region solver is not in this build")
def test_region_plot_of_a_grown_region(credit, tmp_path):
    ex, frame, booster = credit
    cf = ex.explain(frame[booster.predict(frame) < 0.5].iloc[0], "proba>=0.6")
    region = cf.region()
    assert "factual" in region.table and region.scales
    ax = region.plot()
    assert len(ax.get_yticklabels()) >= 1
    assert saved(ax, tmp_path / "grown.png") > 5_000


def test_without_matplotlib_the_error_says_how_to_install(credit, monkeypatch):
    ex, frame, _ = credit
    cf = ex.explain(frame.iloc[0], "proba>=0.5")
    monkeypatch.setitem(sys.modules, "matplotlib.pyplot", None)
    with pytest.raises(ImportError, match=r"morvel\[plot\]"):
        cf.plot()
