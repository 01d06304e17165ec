"""What the `morvel` command refuses to read or overwrite, checked in a real subprocess:
skops files naming callables, --out over an input, malformed CSV rows; and the chunked
reading of large CSV files, which must give the unchunked results."""
import json
import os
import signal
import subprocess
import sys
import zipfile
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from morvel.frontends.cli.model_files import load_model

sio = pytest.importorskip("skops.io")
ensemble = pytest.importorskip("sklearn.ensemble")
tree = pytest.importorskip("sklearn.tree")


def run(*args, cwd=None, env=None, **popen):
    return subprocess.run([sys.executable, "-m", "morvel", *map(str, args)], cwd=cwd,
                          capture_output=True, text=True, timeout=120,
                          env=None if env is None else {**os.environ, **env})


@pytest.fixture(scope="module")
def table():
    rng = np.random.default_rng(7)
    X = pd.DataFrame(rng.normal(size=(120, 3)).round(3), columns=["a", "b", "c"])
    X["n"] = rng.integers(0, 5, size=len(X))
    y = (X.a + 0.5 * X.b - 0.2 * X.n > 0).astype(int)
    return X, y


# -- skops files ---------------------------------------------------------------------------

SUPPORTED = {
    "tree": lambda: tree.DecisionTreeClassifier(max_depth=3),
    "extra tree": lambda: tree.ExtraTreeRegressor(max_depth=3),
    "forest": lambda: ensemble.RandomForestClassifier(n_estimators=3, max_depth=3,
                                                      random_state=np.random.RandomState(0)),
    "extra trees": lambda: ensemble.ExtraTreesRegressor(n_estimators=3, max_depth=3),
    "gradient boosting": lambda: ensemble.GradientBoostingClassifier(n_estimators=3,
                                                                     subsample=0.8),
    "gradient boosting huber": lambda: ensemble.GradientBoostingRegressor(
        n_estimators=3, loss="huber"),
    "hist gradient boosting": lambda: ensemble.HistGradientBoostingClassifier(
        max_iter=3, categorical_features=["n"], early_stopping=True, validation_fraction=0.3),
    "hist gradient boosting poisson": lambda: ensemble.HistGradientBoostingRegressor(
        max_iter=3, loss="poisson"),
}


@pytest.mark.parametrize("kind", list(SUPPORTED))
def test_skops_files_of_supported_models_load_untrusted(tmp_path, table, kind):
    X, y = table
    model = SUPPORTED[kind]()
    target = np.where(y == 1, "yes", "no") if "classifier" in type(model).__name__.lower() \
        else X.a.abs() + y
    model.fit(X, target)
    sio.dump(model, tmp_path / "m.skops")
    loaded = load_model(str(tmp_path / "m.skops"))
    assert type(loaded) is type(model)
    np.testing.assert_array_equal(loaded.predict(X), model.predict(X))


def _with_constructor_call(path: Path, module: str, name: str) -> None:
    """Rewrites the skops file's one tuple holding a string into a call `module.name(*tuple)`
    that skops makes while loading, if it trusts that name."""
    with zipfile.ZipFile(path) as z:
        files = {n: z.read(n) for n in z.namelist()}
    schema = json.loads(files["schema.json"])

    def tuples(node):
        if isinstance(node, dict):
            if node.get("__loader__") == "TupleNode" and "open(" in json.dumps(node):
                yield node
            for v in node.values():
                yield from tuples(v)
        elif isinstance(node, list):
            for v in node:
                yield from tuples(v)

    node = next(tuples(schema))
    call = {"__class__": name, "__module__": module,
            "__loader__": "ConstructorFromReduceNode", "content": dict(node)}
    node.clear()
    node.update(call)
    files["schema.json"] = json.dumps(schema).encode()
    with zipfile.ZipFile(path, "w") as z:
        for n, data in files.items():
            z.writestr(n, data)


def test_skops_file_calling_a_library_function_is_refused(tmp_path, table):
    X, y = table
    marker = tmp_path / "ran"
    model = ensemble.GradientBoostingClassifier(n_estimators=3).fit(X, y)
    model.note_ = (f"open({str(marker)!r}, 'w').write('code from the model file ran')",)
    sio.dump(model, tmp_path / "evil.skops")
    _with_constructor_call(tmp_path / "evil.skops", "sklearn.utils._testing",
                           "assert_run_python_script_without_output")
    X.to_csv(tmp_path / "rows.csv", index=False)
    args = ["explain", "--model", "evil.skops", "--data", "rows.csv", "--rows", "0",
            "--target", "class=1"]
    out = run(*args, cwd=tmp_path)
    assert out.returncode == 1, out.stderr
    assert "sklearn.utils._testing.assert_run_python_script_without_output" in out.stderr
    assert "--trust-pickle" in out.stderr and "sklearn.tree" not in out.stderr
    assert not marker.exists()
    # The crafted file does run its code once trusted: the refusal above is what stopped it.
    trusted = run(*args, "--trust-pickle", cwd=tmp_path)
    assert trusted.returncode == 0, trusted.stderr
    assert marker.exists()


# -- usage errors and Ctrl-C -------------------------------------------------------------

@pytest.fixture(scope="module")
def example(tmp_path_factory):
    from morvel.frontends.cli.demo import example_dir

    d = tmp_path_factory.mktemp("example")
    for f in ("credit_model.txt", "credit.csv", "credit_rules.toml"):
        (d / f).write_bytes((example_dir() / f).read_bytes())
    return d


def test_out_over_an_input_and_a_negative_seed_are_usage_errors(example):
    d = example
    os.symlink(d / "credit.csv", d / "link.csv")
    os.link(d / "credit_rules.toml", d / "hard.toml")
    (d / "rules.json").write_text('{"freeze": ["age"]}')
    os.link(d / "rules.json", d / "rules-copy.json")
    before = {p.name: p.read_bytes() for p in d.iterdir()}
    base = ["explain", "--model", "credit_model.txt", "--data", "credit.csv", "--rows", "1",
            "--target", "proba>=0.5", "--constraints", "credit_rules.toml"]
    cases = {"./credit.csv": "--data", "link.csv": "--data", str(d / "sub" / ".." / "credit.csv"):
             "--data", "hard.toml": "--constraints", "./credit_model.txt": "--model"}
    (d / "sub").mkdir()
    for out, flag in cases.items():
        done = run(*base, "--out", out, cwd=d)
        assert done.returncode == 2 and "usage error" in done.stderr, (out, done.stderr)
        assert f"is the {flag} file" in done.stderr, (out, done.stderr)
    done = run(*base[:-1], "rules.json", "--out", "rules-copy.json", cwd=d)
    assert done.returncode == 2 and "is the --constraints file" in done.stderr
    done = run(*base, "--seed", "-1", cwd=d)
    assert done.returncode == 2 and "usage error" in done.stderr and "seed" in done.stderr
    assert {p.name: p.read_bytes() for p in d.iterdir() if p.is_file()} == before


def test_ctrl_c_exits_130_and_leaves_no_output(example):
    d = example
    assert "130" in run("explain", "--help").stdout
    lines = _lines(d / "credit.csv")
    (d / "long.csv").write_text("\n".join(lines[:1] + lines[1:] * 50) + "\n")  # minutes
    command = [sys.executable, "-m", "morvel", "explain", "--model", "credit_model.txt",
               "--data", "long.csv", "--all", "--target", "proba>=0.97", "--time-budget",
               "2", "--progress", "--out", "interrupted.json"]
    with subprocess.Popen(command, cwd=d, stderr=subprocess.PIPE, text=True) as proc:
        seen = ""
        while "explaining" not in seen and proc.poll() is None:
            seen += proc.stderr.read(1)
        proc.send_signal(signal.SIGINT)
        rest = proc.stderr.read()
        assert proc.wait(timeout=60) == 130, seen + rest
    assert "morvel: interrupted" in rest
    assert not [p for p in os.listdir(d) if "interrupted" in p]


# -- CSV files read and explained in chunks ------------------------------------------------

def explain_in_process(capsys, monkeypatch, args, chunk_rows=None):
    """(exit code, stdout, stderr) of `morvel explain args`, with chunks of `chunk_rows`
    rows (None: the default, one chunk for these files)."""
    from morvel.frontends.cli import main
    from morvel.frontends.cli.inputs import CHUNK_ROWS_VARIABLE

    if chunk_rows is None:
        monkeypatch.delenv(CHUNK_ROWS_VARIABLE, raising=False)
    else:
        monkeypatch.setenv(CHUNK_ROWS_VARIABLE, str(chunk_rows))
    code = main(["explain", *map(str, args)])
    out = capsys.readouterr()
    return code, out.out, out.err


@pytest.fixture(scope="module")
def numeric(tmp_path_factory, table):
    """An XGBoost model on whole-number and decimal columns with missing values, and a
    CSV with a column it does not use."""
    xgboost = pytest.importorskip("xgboost")
    X, y = table
    d = tmp_path_factory.mktemp("numeric")
    X = X.copy()
    X.loc[X.index % 9 == 4, "c"] = np.nan
    xgboost.XGBClassifier(n_estimators=6, max_depth=3, n_jobs=1).fit(X, y).save_model(
        d / "model.json")
    X.assign(note=np.arange(len(X)) % 3).to_csv(d / "rows.csv", index=False)
    return d


def test_chunked_runs_equal_one_chunk(capsys, monkeypatch, example, numeric):
    """Byte for byte, with rows in the order asked for (repeats and ranges included)."""
    lightgbm = pytest.importorskip("lightgbm")
    cases = [
        (example, ["--model", "credit_model.txt", "--data", "credit.csv", "--all",
                   "--target", "proba>=0.5", "--constraints", "credit_rules.toml",
                   "--time-budget", "5"], "json", list(range(400))),
        (example, ["--model", "credit_model.txt", "--data", "credit.csv", "--rows",
                   "5,3,1-4,60,3,119", "--target", "class=1", "--method", "genetic"], "csv",
         [5, 3, 1, 2, 3, 4, 60, 3, 119]),
        (numeric, ["--model", "model.json", "--data", "rows.csv", "--rows", "119,0-40,7",
                   "--target", "proba>=0.7"], "csv", [119, *range(41), 7]),
        (numeric, ["--model", "model.json", "--data", "rows.csv", "--all", "--target",
                   "raw<=-0.5", "--freeze", "n"], None, None),
    ]
    for d, args, fmt, rows in cases:
        monkeypatch.chdir(d)
        outputs = []
        for chunk_rows in (None, 3):
            out = ["--out", f"chunked.{fmt}"] if fmt else []
            code, stdout, stderr = explain_in_process(capsys, monkeypatch, args + out,
                                                      chunk_rows)
            assert code == 0, stderr
            outputs.append((d / out[1]).read_text() if fmt else stdout)
        assert outputs[1] == outputs[0], args
        if fmt == "json":
            records = json.loads(outputs[0])
            assert [r["row"] for r in records] == rows
            cf = pd.DataFrame([r["counterfactual"] for r in records if r["found"]])
            booster = lightgbm.Booster(model_file=str(d / "credit_model.txt"))
            proba = booster.predict(cf.astype({"housing": pd.CategoricalDtype(
                ["mortgage", "own", "rent"])}))
            assert len(cf) > 300 and (proba >= 0.5).all()
        elif fmt == "csv":
            assert pd.read_csv(d / "chunked.csv").row.tolist() == rows


def _lines(path: Path) -> list[str]:
    return path.read_text().splitlines()


def _field(line: str, k: int, value: str) -> str:
    fields = line.split(",")
    fields[k] = value
    return ",".join(fields)


def test_bad_lines_are_found_in_any_chunk(capsys, monkeypatch, example):
    """Faults put on known lines, behind blank lines, CRLF line ends and a quoted field
    that spans two lines (which shift file lines against row numbers)."""
    d = example
    monkeypatch.chdir(d)
    lines = _lines(d / "credit.csv")
    noted = [lines[0] + ",note"] + [s + ",x" for s in lines[1:]]
    noted[29] = noted[29][:-1] + '"two\nlines"'  # line 30 now spans two lines
    cases = {
        "short row": (lines[:300] + [lines[300].rsplit(",", 1)[0]] + lines[301:], "\n",
                      "line 301: expected 7 fields, saw 6"),
        "short row, CRLF": (lines[:250] + [lines[250] + ",1"] + lines[251:], "\r\n",
                            "line 251: expected 7 fields, saw 8"),
        "short row after quotes": (
            noted[:200] + [noted[200].rsplit(",", 2)[0]] + noted[201:], "\n",
            "line 202: expected 8 fields, saw 6"),
        "word after blank lines": (
            lines[:10] + ["", "  "] + lines[10:280] + [_field(lines[280], 1, "lots")]
            + lines[281:], "\n", "line 283: column 'income' holds the non-numeric value 'lots'"),
        "label after a two-line field": (
            noted[:370] + [_field(noted[370], 6, "castle")] + noted[371:], "\n",
            "line 372: column 'housing': label 'castle'"),
        "column twice": ([lines[0].replace("income", "age")] + lines[1:], "\n",
                         "column 'age' appears twice in the header"),
    }
    for case, (content, newline, expected) in cases.items():
        (d / "bad.csv").write_bytes(newline.join(content).encode() + newline.encode())
        for chunk_rows in (None, 7):
            code, stdout, stderr = explain_in_process(
                capsys, monkeypatch, ["--model", "credit_model.txt", "--data", "bad.csv",
                                      "--rows", "0", "--target", "proba>=0.5"], chunk_rows)
            assert code == 1 and f"bad.csv: {expected}" in stderr, (case, chunk_rows, stderr)
            assert stdout == ""
