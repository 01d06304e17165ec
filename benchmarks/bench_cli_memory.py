"""Peak memory of `morvel explain` against the size of its CSV file.

Three families of generated files, each with a LightGBM model (30 trees, 15 leaves)
trained on 5,000 of its rows:
- "decimals": 16 columns of normal values with 4 decimals (about 8 bytes a value);
- "mixed": 7 columns like a credit file: small whole numbers, one-decimal amounts and a
  three-label category (about 4 bytes a value);
- "wide": 48 decimal columns, of which the model uses 8.
For each family, one large file (`--mb`, default 250 MB) is explained for one row
(`--rows 7`) and a smaller one (`--all-rows`, default 20,000 rows) for every row
(`--all --out results.csv`). Each run is a fresh `python -m morvel` subprocess whose peak
resident memory its parent, a small interpreter, reads with `getrusage`; the baseline is the same command on the file's first
100 rows (imports and the model). The table gives peak / file size, gross and above the
baseline.

    python benchmarks/bench_cli_memory.py [--mb 250] [--all-rows 20000] [--dir /tmp/x]
        [--pythonpath PATH]   # another build of the package, e.g. before a change
"""
import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

FAMILIES = ("decimals", "mixed", "wide")


def frame(family: str, n: int, rng) -> pd.DataFrame:
    if family == "decimals":
        return pd.DataFrame(rng.normal(size=(n, 16)).round(4),
                            columns=[f"f{j}" for j in range(16)])
    if family == "wide":
        return pd.DataFrame(rng.normal(size=(n, 48)).round(4),
                            columns=[f"w{j}" for j in range(48)])
    return pd.DataFrame({
        "age": rng.integers(21, 70, n), "income": (rng.gamma(9, 6, n)).round(1),
        "debt": (rng.gamma(2, 8, n)).round(1), "years": rng.integers(0, 30, n),
        "lines": rng.integers(0, 9, n), "late": rng.poisson(0.8, n),
        "housing": rng.choice(["own", "rent", "mortgage"], n)})


def label(family: str, X: pd.DataFrame) -> np.ndarray:
    if family == "mixed":
        score = X.income / 50 - X.debt / 20 - X.late * 0.5 + (X.housing == "own")
    else:
        score = X.iloc[:, 0] + X.iloc[:, 1] * X.iloc[:, 2] - X.iloc[:, 3]
    return (score > np.median(score)).astype(int).to_numpy()


def make(directory: Path, family: str, megabytes: float, all_rows: int):
    import lightgbm

    rng = np.random.default_rng(FAMILIES.index(family))
    model = directory / f"{family}.txt"
    sample = frame(family, 5000, rng)
    used = list(sample.columns[:8]) if family == "wide" else list(sample.columns)
    train = sample[used].astype({"housing": "category"}) if family == "mixed" else sample[used]
    lightgbm.LGBMClassifier(n_estimators=30, num_leaves=15, verbose=-1).fit(
        train, label(family, sample)).booster_.save_model(str(model))
    big, small, tiny = (directory / f"{family}-{k}.csv" for k in ("big", "all", "tiny"))
    block = 200_000
    with open(big, "w") as f:
        sample.to_csv(f, index=False)
        while f.tell() < megabytes * 2**20:
            f.write(frame(family, block, rng).to_csv(index=False, header=False))
    with open(big) as f:
        head = [next(f) for _ in range(all_rows + 1)]
    small.write_text("".join(head))
    tiny.write_text("".join(head[:101]))
    return model, big, small, tiny


# Runs the command from a small interpreter and prints the child's peak RSS: a child of
# this (large) process would count this process's pages too, which Linux carries over
# through fork and exec into the child's peak.
_MEASURE = """
import resource, subprocess, sys
done = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
if done.returncode:
    sys.exit(done.stderr.decode())
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
"""


def peak_mb(args: list, env: dict, cwd: Path) -> tuple[float, float]:
    """(peak RSS in MB, seconds) of one `python -m morvel explain` run."""
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-c", _MEASURE, sys.executable, "-m", "morvel",
                           "explain", *map(str, args)], env=env, cwd=cwd,
                          capture_output=True, text=True)
    if done.returncode:
        raise SystemExit(f"morvel failed: {done.stderr}")
    return int(done.stdout) / 1024, time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=float, default=250)
    parser.add_argument("--all-rows", type=int, default=20_000)
    parser.add_argument("--dir", default="/tmp/morvel-cli-memory")
    parser.add_argument("--pythonpath", help="PYTHONPATH for the runs (default: as is)")
    parser.add_argument("--families", nargs="+", default=list(FAMILIES))
    opts = parser.parse_args()
    directory = Path(opts.dir)
    directory.mkdir(parents=True, exist_ok=True)
    env = dict(os.environ, OMP_NUM_THREADS="1")
    if opts.pythonpath:
        env["PYTHONPATH"] = opts.pythonpath
    print(f"{'family':9} {'run':6} {'file MB':>8} {'peak MB':>8} {'base MB':>8} "
          f"{'peak/file':>9} {'(peak-base)/file':>16} {'s':>6}")
    for family in opts.families:
        model, big, small, tiny = make(directory, family, opts.mb, opts.all_rows)
        common = ["--model", model, "--target", "proba>=0.5", "--time-budget", "2"]
        base, _ = peak_mb(common + ["--data", tiny, "--rows", "7"], env, directory)
        for run, data, extra in (("rows", big, ["--rows", "7"]),
                                 ("all", small, ["--all", "--out", "results.csv"])):
            peak, seconds = peak_mb(common + ["--data", data] + extra, env, directory)
            size = data.stat().st_size / 2**20
            print(f"{family:9} {run:6} {size:8.1f} {peak:8.0f} {base:8.0f} "
                  f"{peak / size:9.2f} {(peak - base) / size:16.2f} {seconds:6.1f}",
                  flush=True)


if __name__ == "__main__":
    main()
