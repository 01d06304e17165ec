"""`morvel explain`: load the model, the CSV and the rules, explain the selected rows, and
print or write the results as they come, in order. Every bad input becomes an InputError
naming its file, line, column or option, before any row is explained."""
from __future__ import annotations

import os
import sys

import numpy as np
import pandas as pd

from ...explainer import Explainer
from ...models import NotFitted
from ...models.adapter import ModelAdapter
from ...problem import targets as tg
from ...problem.data_columns import DataColumns
from ...problem.rules import Rules
from ...search import batch
from ...search.alternatives import long_frame, solve_many
from . import report as rp
from .csv_layout import CsvLayout, scan
from .errors import InputError, UsageError
from .inputs import bad_row, chunk_rows, column_names, model_columns, read_data, select_rows
from .model_files import feature_names, load_model
from .rules_file import load_rules

_PROGRESS_ROWS = 20  # batches at least this long show a progress bar on a terminal
# Rows explained per call: bounds the memory of results in flight, and is the progress
# bar's step.
_EXPLAIN_ROWS = 1024


def run_explain(args) -> int:
    if args.diversity and not args.alternatives:
        raise UsageError("--diversity applies only with --alternatives")
    if args.out:
        _refuse_out_over_input(args)
        rp.check_out_path(args.out)
    if args.time_budget is not None and not args.time_budget > 0:
        raise InputError(f"--time-budget must be a positive number of seconds, got "
                         f"{args.time_budget}")
    target = _target(args.target)
    model = load_model(args.model, trust_pickle=args.trust_pickle)
    layout = scan(args.data)
    features, ignored = model_columns(column_names(layout), feature_names(model), args.data)
    if ignored:
        print(f"morvel: note: ignoring column(s) {', '.join(map(repr, ignored))} of "
              f"{args.data}, which the model does not use", file=sys.stderr)
    positions = select_rows(args.rows, layout.n_rows, args.data)
    rules, n_flag_rules = _rules(args, features)
    step = chunk_rows(layout)
    data = read_data(layout, features, step)
    ex = _explainer(args, model, layout, data, rules, n_flag_rules)
    rows = DataColumns(ex.schema, data)  # valid: the explainer read every value
    try:
        target = ex._target(target, None)
        opts = ex._options(args.method, {"time_budget_s": args.time_budget,
                                         "max_changes": args.max_changes},
                           args.diversity or "no_superset")
    except ValueError as err:
        raise InputError(f"--target {args.target!r}: {err}" if "method" not in str(err)
                         else f"--method {args.method}: {err}") from None
    step = min(step, _EXPLAIN_ROWS)
    _require_present(ex, rows, positions, layout, step)
    heading = (f"{len(positions)} row{'s' if len(positions) != 1 else ''} of {args.data}; "
               f"target {target.describe()}; method {args.method}; {len(rules)} rules"
               f"{_limits(args, opts)}\n\n")
    tally = _emit(args, heading, _explained(ex, rows, target, opts, positions,
                                            step, args.alternatives), len(positions))
    many = bool(args.alternatives)
    if args.out:
        print(f"wrote {tally.rows} rows to {args.out}: {tally.summary(many)}")
    else:
        print(tally.summary(many))
    return 0


def _emit(args, heading: str, reports, n_rows: int) -> rp.Tally:
    """Writes the reports as they come: a table after `heading` on stdout, or --out."""
    bar = _progress_bar(args, n_rows)
    write = (lambda text: bar.write(text, end="")) if bar else sys.stdout.write
    tally = rp.Tally()
    try:
        if not args.out:
            write(heading)
        with rp.ResultsFile(args.out) if args.out else rp.Table(write) as out:
            for report in reports:
                out.add(report)
                tally.add(report)
                if bar:
                    bar.update(report.n_rows)
    finally:
        if bar:
            bar.close()
    return tally


def _limits(args, opts) -> str:
    """The heading's note of --max-changes and --alternatives."""
    text = (f"; at most {opts.max_changes} change{'s' if opts.max_changes != 1 else ''}"
            if opts.max_changes else "")
    if args.alternatives:
        text += f"; up to {args.alternatives} alternatives ({opts.diversity})"
    return text


def _explained(ex: Explainer, rows: DataColumns, target, opts, positions: np.ndarray,
               step: int, alternatives: int | None):
    """Reports of the rows at `positions` of the data, `step` rows at a time; each row is
    seeded by its place in the whole selection, as one call would seed it."""
    for start in range(0, len(positions), step):
        chunk = positions[start:start + step]
        X = rows.rows(chunk)
        places = range(start, start + len(chunk))
        if alternatives:
            seeds = batch.row_seeds(ex.random_state, places)
            results = solve_many(ex, X, target, opts, alternatives, seeds, ex.n_jobs,
                                 batch._NoBar())
            long = long_frame(ex, pd.RangeIndex(len(chunk)), X, results)
            at = long.pop("row").to_numpy()
            ranks = long.pop("rank").to_numpy()
            report = rp.build(ex, target, chunk[at], X[at], long, ranks)
            report.note_short_rows(at, [(end, message) for _, end, message in results])
            yield report
            continue
        outcomes = batch.solve_rows(ex, X, target, opts, ex.n_jobs, False, positions=places)
        index = pd.RangeIndex(start, start + len(chunk))
        yield rp.build(ex, target, chunk, X, batch.as_frame(ex, index, X, outcomes))


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


def _explainer(args, model, layout: CsvLayout, data: pd.DataFrame, rules: Rules,
               n_flag_rules: int) -> Explainer:
    """The explainer; if it fails, the error names the model, a line of the data, a rule
    of the file or the data as a whole."""
    try:
        return Explainer(model, data, constraints=rules if len(rules) else None,
                         random_state=args.seed)
    except (NotFitted, TypeError) as err:
        raise InputError(f"{args.model}: {err}") from None
    except ValueError as err:
        message = str(err)
    try:
        adapter = ModelAdapter(model, data)
    except ValueError:
        raise InputError(f"{args.model}: {message}") from None
    bad = bad_row(adapter, data, chunk_rows(layout))
    if bad is not None:
        raise InputError(f"{args.data}: line {layout.line(bad[0])}: {bad[1]}")
    if args.constraints and any(r.text in message for r in list(rules)[n_flag_rules:]):
        raise InputError(f"{args.constraints}: {message}")
    raise InputError(f"{args.data}: {message}")


def _require_present(ex: Explainer, rows: DataColumns, positions: np.ndarray,
                     layout: CsvLayout, step: int):
    """Rows to explain hold no missing value where the model takes none; the first that
    does names its line."""
    refused = ~ex.missing_ok
    if not refused.any():
        return
    for start in range(0, len(positions), step):
        X = rows.rows(positions[start:start + step])
        bad = np.flatnonzero(np.isnan(X[:, refused]).any(axis=1))
        if bad.size:
            try:
                ex._require_present(X[bad[:1]])
            except ValueError as err:
                line = layout.line(int(positions[start + bad[0]]))
                raise InputError(f"{layout.path}: line {line}: {err}") from None


def _progress_bar(args, n_rows: int):
    """A tqdm bar on stderr, or None."""
    if args.progress is not None:
        wanted = args.progress
    else:
        wanted = sys.stderr.isatty() and n_rows >= _PROGRESS_ROWS
    if not wanted:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        if args.progress:
            print("morvel: note: no progress bar without tqdm (pip install tqdm)",
                  file=sys.stderr)
        return None
    return tqdm(total=n_rows, unit="row", desc="explaining", file=sys.stderr)
