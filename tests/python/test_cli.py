"""The `morvel` command in a real subprocess: results against the Python API and the
libraries' own predictions, every model format, bad input as one line with exit code 1,
usage errors with 2, and --out replaced atomically or not at all."""
import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import morvel
from morvel.frontends.cli.demo import example_dir
from morvel.frontends.cli.rules_file import load_rules

lightgbm = pytest.importorskip("lightgbm")

MORVEL = shutil.which("morvel", path=os.path.dirname(sys.executable)) or "morvel"
TARGET = "proba>=0.5"


def run(*args, cwd=None, module=False):
    command = [sys.executable, "-m", "morvel"] if module else [MORVEL]
    return subprocess.run(command + [str(a) for a in args], capture_output=True, text=True,
                          cwd=cwd, timeout=120)


@pytest.fixture(scope="module")
def example(tmp_path_factory):
    d = tmp_path_factory.mktemp("example")
    for f in ("credit_model.txt", "credit.csv", "credit_rules.toml"):
        shutil.copy(example_dir() / f, d / f)
    frame = pd.read_csv(d / "credit.csv")
    booster = lightgbm.Booster(model_file=str(d / "credit_model.txt"))
    return d, frame, booster


def lgbm_proba(booster, rows: pd.DataFrame) -> np.ndarray:
    return booster.predict(rows.astype({"housing": pd.CategoricalDtype(
        ["mortgage", "own", "rent"])}))


def test_results_equal_the_api_and_the_library_agrees(example):
    d, frame, booster = example
    rejected = np.flatnonzero(lgbm_proba(booster, frame) < 0.5)[:6]
    rows = ",".join(map(str, rejected))
    out = run("explain", "--model", "credit_model.txt", "--data", "credit.csv", "--rows", rows,
              "--target", TARGET, "--constraints", "credit_rules.toml", "--freeze", "debt",
              "--out", "results.json", cwd=d)
    assert out.returncode == 0, out.stderr
    records = json.loads((d / "results.json").read_text())
    assert [r["row"] for r in records] == list(rejected)

    ex = morvel.Explainer(booster, frame, random_state=0,
                          constraints=load_rules(str(d / "credit_rules.toml"),
                                                 morvel.Rules().freeze("debt")))
    api = ex.explain_many(frame.iloc[rejected], TARGET)
    assert [r["status"] for r in records] == list(api.status)
    assert [r["distance"] for r in records] == list(api.distance)
    found = [r for r in records if r["found"]]
    assert found, "the example should have counterfactuals"
    cf = pd.DataFrame([r["counterfactual"] for r in found])[list(frame.columns)]
    assert (lgbm_proba(booster, cf) >= 0.5).all()
    np.testing.assert_allclose(lgbm_proba(booster, cf), [r["prediction"] for r in found])
    for r, (_, row) in zip(found, cf.iterrows()):
        factual = frame.iloc[r["row"]]
        assert row.age == factual.age and row.housing == factual.housing
        assert row.debt == factual.debt and row.late_payments <= factual.late_payments
        assert {c["feature"] for c in r["changes"]} == {
            c for c in frame.columns if row[c] != factual[c]}
        for c in r["changes"]:  # the data's own values, integers as integers
            was = factual[c["feature"]]
            want = (was.item() if isinstance(was, np.generic) else was,
                    r["counterfactual"][c["feature"]])
            assert (c["from"], c["to"]) == want
            assert (type(c["from"]), type(c["to"])) == tuple(map(type, want))


def test_table_and_csv_output(example):
    d, frame, booster = example
    out = run("explain", "--model", "credit_model.txt", "--data", "credit.csv", "--rows",
              "0-3", "--target", "class=1", cwd=d)
    assert out.returncode == 0, out.stderr
    assert out.stdout.count("\nrow ") == 4 and "of 4 rows with a counterfactual" in out.stdout
    out = run("explain", "--model", "credit_model.txt", "--data", "credit.csv", "--rows", "2,0",
              "--target", "class=1", "--out", "r.csv", cwd=d)
    assert out.returncode == 0, out.stderr
    table = pd.read_csv(d / "r.csv")
    assert list(table.row) == [2, 0] and table.prediction.isin([0, 1]).all()
    assert table.age.dtype == np.int64 and list(table.columns[-7:]) == list(frame.columns)


@pytest.fixture(scope="module")
def saved_models(tmp_path_factory):
    """One small model per format, all trained on the same numeric frame."""
    xgboost = pytest.importorskip("xgboost")
    sio = pytest.importorskip("skops.io")
    joblib = pytest.importorskip("joblib")
    from sklearn.ensemble import GradientBoostingClassifier

    d = tmp_path_factory.mktemp("models")
    rng = np.random.default_rng(3)
    X = pd.DataFrame(rng.normal(size=(200, 4)).round(2), columns=["a", "b", "c", "d"])
    y = (X.a + 0.5 * X.b - X.c > 0).astype(int)
    X.to_csv(d / "rows.csv", index=False)
    xgb = xgboost.XGBClassifier(n_estimators=8, max_depth=3, n_jobs=1).fit(X, y)
    xgb.save_model(d / "model.json")
    xgb.save_model(d / "model.ubj")
    gbm = GradientBoostingClassifier(n_estimators=8, max_depth=2, random_state=0).fit(X, y)
    sio.dump(gbm, d / "model.skops")
    joblib.dump(gbm, d / "model.joblib")
    proba = {"json": xgb.predict_proba, "ubj": xgb.predict_proba,
             "skops": gbm.predict_proba, "joblib": gbm.predict_proba}
    try:
        import catboost
    except ImportError:
        return d, X, proba
    cat = catboost.CatBoostClassifier(iterations=8, depth=3, verbose=0, random_seed=0,
                                      allow_writing_files=False).fit(X, y)
    cat.save_model(str(d / "model.cbm"))
    proba["cbm"] = cat.predict_proba
    return d, X, proba


@pytest.mark.parametrize("fmt", ["json", "ubj", "skops", "joblib", "cbm"])
def test_every_model_format(saved_models, fmt):
    d, X, proba = saved_models
    if fmt not in proba:
        pytest.skip(f"no library to write .{fmt} files")
    rejected = np.flatnonzero(proba[fmt](X)[:, 1] < 0.5)[:3]
    args = ["explain", "--model", f"model.{fmt}", "--data", "rows.csv", "--rows",
            ",".join(map(str, rejected)), "--target", "proba>=0.6", "--out", f"out-{fmt}.json"]
    if fmt == "ubj" and hasattr(morvel.core, "solve_genetic_raw"):
        args += ["--method", "genetic"]
    if fmt == "joblib":
        refused = run(*args, cwd=d)
        assert refused.returncode == 1 and "--trust-pickle" in refused.stderr
        assert not (d / "out-joblib.json").exists()
        args.append("--trust-pickle")
    out = run(*args, cwd=d)
    assert out.returncode == 0, out.stderr
    records = json.loads((d / f"out-{fmt}.json").read_text())
    cf = pd.DataFrame([r["counterfactual"] for r in records if r["found"]])
    assert len(cf) == len(rejected)
    assert (proba[fmt](cf[list(X.columns)])[:, 1] >= 0.6).all()


def test_skops_file_with_foreign_types_is_refused(tmp_path):
    sio = pytest.importorskip("skops.io")
    sio.dump({"model": Path("x")}, tmp_path / "odd.skops")  # pathlib is not scikit-learn
    pd.DataFrame({"a": [1.0]}).to_csv(tmp_path / "rows.csv", index=False)
    out = run("explain", "--model", "odd.skops", "--data", "rows.csv", "--target", TARGET,
              cwd=tmp_path)
    assert out.returncode == 1 and "pathlib" in out.stderr and "--trust-pickle" in out.stderr


def _edit(d: Path, name: str, line: int, old: str, new: str) -> str:
    lines = (d / "credit.csv").read_text().splitlines()
    assert old in lines[line - 1]
    lines[line - 1] = lines[line - 1].replace(old, new, 1)
    (d / name).write_text("\n".join(lines) + "\n")
    return name


BAD_INPUT = {
    "missing model": (["--model", "nope.txt"], "nope.txt: no such file"),
    "cut-off model": (["--model", "cut.txt"], "cut.txt: not a complete LightGBM"),
    "garbage json model": (["--model", "garbage.json"], "garbage.json: not a readable XGBoost"),
    "pickle": (["--model", "model.pkl"], "model.pkl: a pickle-based model file"),
    "column missing": (["--data", "narrow.csv"], "narrow.csv: lacks the model's feature "
                                                  "column(s) 'housing'"),
    "not a number": (["--data", "word.csv"], "word.csv: line 7: column 'income' holds the "
                                             "non-numeric value 'lots'"),
    "unknown label": (["--data", "castle.csv"], "castle.csv: line 9: column 'housing': label "
                                                "'castle'"),
    "ragged row": (["--data", "ragged.csv"], "ragged.csv: line 5: expected 7 fields, saw 8"),
    "short row": (["--data", "short.csv"], "short.csv: line 12: expected 7 fields, saw 6"),
    "column twice": (["--data", "twice.csv"], "twice.csv: column 'debt' appears twice"),
    "unknown rule": (["--constraints", "unknown.toml"], "unknown.toml: line 3: unknown rule "
                                                        "'frobnicate'"),
    "toml syntax": (["--constraints", "syntax.toml"], "syntax.toml: line 2, column"),
    "unknown column in a rule": (["--constraints", "column.json"],
                                 "column.json: range('salary', 0): unknown column 'salary'"),
    "rows out of range": (["--rows", "1,400"], "--rows: row 400 is out of range"),
    "bad target": (["--target", "proba>=2"], "--target: probability targets lie in [0, 1]"),
}


@pytest.fixture(scope="module")
def bad_files(example):
    d, _, _ = example
    model = (d / "credit_model.txt").read_bytes()
    (d / "cut.txt").write_bytes(model[:len(model) // 2])
    (d / "garbage.json").write_text('{"learner": [1, 2')
    (d / "model.pkl").write_bytes(b"\x80\x04K\x01.")
    frame = pd.read_csv(d / "credit.csv")
    frame.drop(columns="housing").to_csv(d / "narrow.csv", index=False)
    lines = (d / "credit.csv").read_text().splitlines()
    first = lines[6].split(",")
    _edit(d, "word.csv", 7, "," + first[1] + ",", ",lots,")
    _edit(d, "castle.csv", 9, lines[8].split(",")[-1], "castle")
    _edit(d, "ragged.csv", 5, lines[4], lines[4] + ",1")
    _edit(d, "short.csv", 12, lines[11], lines[11].rsplit(",", 1)[0])
    _edit(d, "twice.csv", 1, "income", "debt")
    (d / "unknown.toml").write_text('freeze = ["age"]\n\nfrobnicate = 1\n')
    (d / "syntax.toml").write_text('freeze = ["age"]\nrange = {column = \n')
    (d / "column.json").write_text('{"range": [{"column": "salary", "lo": 0}]}')
    return d


@pytest.mark.parametrize("case", list(BAD_INPUT))
def test_bad_input_is_one_line_and_exit_code_1(bad_files, case):
    d = bad_files
    change, expected = BAD_INPUT[case]
    args = {"--model": "credit_model.txt", "--data": "credit.csv", "--target": TARGET,
            "--rows": "1,3"}
    args.update(dict(zip(change[::2], change[1::2])))
    (d / "out.json").write_text("previous results")
    out = run("explain", *[x for kv in args.items() for x in kv], "--out", "out.json", cwd=d)
    assert out.returncode == 1, out.stderr
    lines = out.stderr.strip().splitlines()
    assert lines[-1].startswith("morvel: error: ") and expected in lines[-1], out.stderr
    assert "Traceback" not in out.stderr and out.stdout == ""
    assert (d / "out.json").read_text() == "previous results"
    assert not [p for p in os.listdir(d) if p.endswith(".tmp")]


def test_alternatives_with_max_changes_are_valid_small_and_diverse(example):
    d, frame, booster = example
    proba = lgbm_proba(booster, frame)
    rows = list(np.flatnonzero(proba < 0.5)[:4]) + [int(np.argmax(proba))]
    common = ["explain", "--model", "credit_model.txt", "--data", "credit.csv", "--rows",
              ",".join(map(str, rows)), "--target", TARGET, "--out", "alts.json"]
    for bad in (["--alternatives", "0"], ["--alternatives", "two"], ["--max-changes", "-1"],
                ["--max-changes", "1.5"], ["--alternatives", "2", "--diversity", "any"],
                ["--diversity", "new_feature"]):
        out = run(*common, *bad, cwd=d)
        assert out.returncode == 2 and "usage error" in out.stderr, (bad, out.stderr)
        assert not (d / "alts.json").exists()
    out = run(*common, "--alternatives", "3", "--max-changes", "2", cwd=d)
    assert out.returncode == 0, out.stderr
    records = json.loads((d / "alts.json").read_text())
    assert sorted({r["row"] for r in records}) == sorted(rows)
    by_row = {row: [r for r in records if r["row"] == row] for row in rows}
    assert [r["rank"] for r in by_row[rows[-1]]] == [1]  # met the target already
    assert by_row[rows[-1]][0]["status"] == "already_valid"
    found = [r for r in records if r["found"]]
    assert sum(r["status"] == "found" for r in found) > len(rows)  # some row has several
    cf = pd.DataFrame([r["counterfactual"] for r in found])[list(frame.columns)]
    assert (lgbm_proba(booster, cf) >= 0.5).all()
    for row, alts in by_row.items():
        assert [r["rank"] for r in alts] == list(range(1, len(alts) + 1))
        factual = frame.iloc[row]
        earlier = []
        for r in alts:
            if not r["found"]:
                continue
            changed = {c for c in frame.columns if r["counterfactual"][c] != factual[c]}
            assert len(changed) <= 2 and not any(changed >= e for e in earlier), (row, r)
            earlier.append(changed)
    # One change each and no superset: at most one alternative per feature, so the table
    # says, under each changed row's last one, that no further one exists.
    out = run(*common[:-2], "--alternatives", "9", "--max-changes", "1", cwd=d)
    assert out.returncode == 0, out.stderr
    blocks = out.stdout.split("\n\n")[1:]
    changed = {b.split(",")[0] for b in blocks if ", alternative " in b}
    notes = [b for b in blocks if "(no further alternative keeps the rules (proved))" in b]
    assert changed and len(notes) == len(changed)
    assert all(re.search(r", alternative \d+: counterfactual found", b) for b in notes)


def test_usage_errors_exit_2_and_debug_shows_the_traceback(example):
    d, _, _ = example
    for args in (["explain", "--model", "m", "--data", "x.csv"],        # no --target
                 ["explain", "--model", "m", "--data", "x.csv", "--target", TARGET,
                  "--method", "magic"],
                 ["explain", "--rows", "1", "--all", "--model", "m", "--data", "x",
                  "--target", TARGET],
                 ["frobnicate"], []):
        out = run(*args, cwd=d)
        assert out.returncode == 2 and "usage" in out.stderr, (args, out.stderr)
    for debug_first in (False, True):
        args = ["explain", "--model", "nope.txt", "--data", "credit.csv", "--target", TARGET]
        args = ["--debug"] + args if debug_first else args + ["--debug"]
        out = run(*args, cwd=d)
        assert out.returncode == 1 and "Traceback" in out.stderr and "InputError" in out.stderr


def test_help_demo_progress_and_python_dash_m(example):
    d, _, _ = example
    helped = run("explain", "--help", module=True)
    assert helped.returncode == 0
    for option in ("--model", "--data", "--rows", "--all", "--target", "--freeze",
                   "--constraints", "--method", "--out", "--trust-pickle", "[[range]]"):
        assert option in helped.stdout
    demo = run("demo", cwd=d)
    assert demo.returncode == 0, demo.stderr
    assert "morvel explain --model" in demo.stdout and "proved optimal" in demo.stdout
    out = run("explain", "--model", "credit_model.txt", "--data", "credit.csv", "--all",
              "--target", "proba>=0.3", "--progress", "--out", "all.csv", cwd=d)
    assert out.returncode == 0, out.stderr
    assert "explaining" in out.stderr and "400/400" in out.stderr
    assert len(pd.read_csv(d / "all.csv")) == 400


def test_results_file_replaces_atomically_or_not_at_all(tmp_path):
    from morvel.frontends.cli.report import ResultsFile

    target = tmp_path / "out.csv"
    target.write_text("old")
    with pytest.raises(UnicodeEncodeError):
        with ResultsFile(str(target)) as out:
            out.write("new \ud800")  # fails while writing the temporary file
    assert target.read_text() == "old" and os.listdir(tmp_path) == ["out.csv"]
    with ResultsFile(str(target)) as out:
        out.write("new")
    assert target.read_text() == "new" and os.listdir(tmp_path) == ["out.csv"]
    assert target.stat().st_mode & 0o644 == 0o644
