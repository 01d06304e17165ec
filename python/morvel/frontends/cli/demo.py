"""`morvel demo`: the bundled credit example end to end, through the same code path as
`morvel explain` on its files."""
from __future__ import annotations

import os
import shlex
from pathlib import Path

from .errors import InputError

FILES = ("credit_model.npz", "credit.csv", "credit_rules.toml")
TARGET = "proba>=0.5"


def example_dir() -> Path:
    """Where the example's files are: installed with the package, else (in a source
    checkout) in examples/."""
    package = Path(__file__).resolve().parents[2]
    for candidate in (package / "demo", package.parent.parent / "examples"):
        if all((candidate / f).is_file() for f in FILES):
            return candidate
    raise InputError("the bundled example files are missing from this installation "
                     f"(looked for {', '.join(FILES)} in {package / 'demo'})")


def run_demo(debug: bool = False) -> int:
    import numpy as np
    import pandas as pd

    from .app import build_parser
    from .explain import run_explain
    from .model_files import load_model

    d = _short(example_dir())
    model = load_model(str(d / FILES[0]))
    frame = pd.read_csv(d / FILES[1])
    rejected = np.flatnonzero(model.predict_proba(frame)[:, 1] < 0.5)[:3]
    argv = ["explain", "--model", str(d / FILES[0]), "--data", str(d / FILES[1]),
            "--rows", ",".join(map(str, rejected)), "--target", TARGET,
            "--constraints", str(d / FILES[2])]
    print("The bundled credit example: a model of loan approval (40 boosted trees, saved in\n"
          "morvel's own format), 400 applicants, and rules for what an applicant can change.\n"
          f"The model rejects rows {', '.join(map(str, rejected))}; what is the cheapest change "
          "that gets each one\napproved? The same as running:\n")
    print("  morvel " + " ".join(shlex.quote(a) for a in argv) + "\n")
    args = build_parser().parse_args(argv + (["--debug"] if debug else []))
    return run_explain(args)


def _short(path: Path) -> Path:
    """The path relative to the working directory when that reads shorter."""
    try:
        rel = Path(os.path.relpath(path))
    except ValueError:  # another drive
        return path
    return rel if len(str(rel)) < len(str(path)) else path
