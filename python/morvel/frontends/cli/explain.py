"""`morvel explain`: load the model, the CSV and the rules, explain the selected rows, and
print or write the results. Every bad input becomes an InputError naming its file, line,
column or option."""
from __future__ import annotations

import os
import sys

import numpy as np

from ...explainer import Explainer
from ...models import NotFitted
from ...models.adapter import ModelAdapter, _feature_names
from ...problem import targets as tg
from ...problem.rules import Rules
from ...problem.schema import Schema
from . import report as rp
from .errors import InputError, UsageError
from .inputs import csv_line, locate_bad_row, model_columns, read_csv, select_rows
from .model_files import load_model
from .rules_file import load_rules

_PROGRESS_ROWS = 20  # batches at least this long show a progress bar on a terminal


def run_explain(args) -> int:
    if args.out:
        _refuse_out_over_input(args)
        rp.check_out_path(args.out)
    if args.time_budget is not None and not args.time_budget > 0:
        raise InputError(f"--time-budget must be a positive number of seconds, got "
                         f"{args.time_budget}")
    target = _target(args.target)
    model = load_model(args.model, trust_pickle=args.trust_pickle)
    frame = read_csv(args.data)
    library = type(model).__module__.split(".")[0]
    names = _feature_names(model, library) if library in ("sklearn", "xgboost",
                                                           "lightgbm") else None
    features, ignored = model_columns(frame, names, len(frame.columns), args.data)
    if ignored:
        print(f"morvel: note: ignoring column(s) {', '.join(map(repr, ignored))} of "
              f"{args.data}, which the model does not use", file=sys.stderr)
    positions = select_rows(args.rows, len(frame), args.data)
    rules, n_flag_rules = _rules(args, list(features.columns))
    ex = _explainer(args, model, features, rules, n_flag_rules)
    try:
        target = ex._target(target, None)
        ex._options(args.method, {"time_budget_s": args.time_budget})
    except ValueError as err:
        raise InputError(f"--target {args.target!r}: {err}" if "method" not in str(err)
                         else f"--method {args.method}: {err}") from None
    selected = features.iloc[positions]
    X = _codes_to_explain(ex, selected, positions, args.data)
    results = ex.explain_many(selected, target, method=args.method,
                              progress=_progress(args, len(positions)),
                              time_budget_s=args.time_budget)
    report = rp.build(ex, target, positions, X, results)
    if args.out:
        rp.write(report, args.out)
        print(f"wrote {len(results)} rows to {args.out}: {rp.summary(report)}")
    else:
        print(f"{len(positions)} row{'s' if len(positions) != 1 else ''} of {args.data}; "
              f"target {target.describe()}; method {args.method}; {len(rules)} rules\n")
        print(rp.render(report))
    return 0


def _refuse_out_over_input(args) -> None:
    """--out must not name an input: the results would replace it."""
    for flag in ("data", "model", "constraints"):
        path = getattr(args, flag)
        if path and _same_file(args.out, path):
            raise UsageError(f"--out {args.out} is the --{flag} file; write the results to "
                             "another file")


def _same_file(a: str, b: str) -> bool:
    """The same file by resolved path (links, `./` spellings) or, when both exist, by
    device and inode (hard links)."""
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _target(text: str) -> tg.Target:
    try:
        return tg.parse_target(text)
    except ValueError as err:
        raise InputError(f"--target: {err}") from None


def _rules(args, columns: list[str]) -> tuple[Rules, int]:
    """The --freeze columns, then the rules file; and how many rules came from flags."""
    rules = Rules()
    if args.freeze:
        cols = [c.strip() for c in args.freeze.split(",") if c.strip()]
        unknown = [c for c in cols if c not in columns]
        if unknown or not cols:
            raise InputError(f"--freeze: unknown column {unknown[0]!r} (columns: "
                             f"{', '.join(columns)})" if unknown else "--freeze: no column")
        rules.freeze(*cols)
    n_flag = len(rules)
    if args.constraints:
        load_rules(args.constraints, rules)
    return rules, n_flag


def _explainer(args, model, features, rules: Rules, n_flag_rules: int) -> Explainer:
    try:
        return Explainer(model, features, constraints=rules if len(rules) else None,
                         random_state=args.seed)
    except NotFitted as err:
        raise InputError(f"{args.model}: {err}") from None
    except TypeError as err:
        raise InputError(f"{args.model}: {err}") from None
    except ValueError as err:
        raise _construction_error(err, args, model, features, list(rules)[n_flag_rules:]) \
            from None


def _construction_error(err: ValueError, args, model, features, file_rules) -> InputError:
    """Which input a failed Explainer construction is about: a data row (found by
    bisection), a rule of the file, or the data as a whole."""
    message = str(err)
    try:
        schema = Schema(ModelAdapter(model), features)
    except ValueError:
        schema = None
    if schema is not None:
        bad = locate_bad_row(features, lambda part: schema.rows(part, "data"))
        if bad is not None:
            return InputError(f"{args.data}: line {csv_line(bad)}: {message}")
    if args.constraints and any(r.text in message for r in file_rules):
        return InputError(f"{args.constraints}: {message}")
    return InputError(f"{args.data}: {message}")


def _codes_to_explain(ex: Explainer, selected, positions, path: str) -> np.ndarray:
    """The selected rows as codes; a value the model cannot take names its line."""
    def check(part):
        _, X = ex.schema.rows(part, "rows")
        ex._require_present(X)
        return X

    try:
        return check(selected)
    except ValueError as err:
        bad = locate_bad_row(selected, check)
        where = f"line {csv_line(int(positions[bad]))}: " if bad is not None else ""
        raise InputError(f"{path}: {where}{err}") from None


def _progress(args, n_rows: int) -> bool:
    if args.progress is not None:
        wanted = args.progress
    else:
        wanted = sys.stderr.isatty() and n_rows >= _PROGRESS_ROWS
    if not wanted:
        return False
    try:
        import tqdm  # noqa: F401
    except ImportError:
        if args.progress:
            print("morvel: note: no progress bar without tqdm (pip install tqdm)",
                  file=sys.stderr)
        return False
    return True
