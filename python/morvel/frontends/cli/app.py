"""The `morvel` command: argument parsing, the `explain` and `demo` commands, and the
translation of every failure into one line on stderr with an exit code (0 ok, 1 bad input,
2 usage, 130 interrupted), the traceback only with --debug."""
from __future__ import annotations

import argparse
import sys
import traceback

import _morvel_core

from ..._version import __version__
from .errors import InputError, UsageError

EXIT_CODES = """\
exit codes: 0 ok, 1 bad input (one line on stderr naming the file, line or column),
2 usage error, 130 interrupted (Ctrl-C). --debug shows the traceback of a failure.
"""

EPILOG = """\
examples:
  morvel explain --model model.json --data applicants.csv --rows 3,17 --target "proba>=0.5"
  morvel explain --model model.txt --data rows.csv --all --target "class=1" \\
      --freeze age,sex --constraints rules.toml --out results.json
  morvel demo

""" + EXIT_CODES

EXPLAIN_HELP = """\
Find, for each selected row of DATA, the cheapest change that makes MODEL meet TARGET.

MODEL is a saved XGBoost model (.json or .ubj), a LightGBM text model, a CatBoost
model (.cbm), or a scikit-learn model saved with skops (.skops) or, only with
--trust-pickle, with
joblib/pickle (unpickling runs code from the file); a skops file that names anything
but a supported tree model's own types also needs --trust-pickle. DATA is a CSV file
with a header; the columns the model was trained with are picked by name (others are
ignored), or, for a model without feature names, all columns in order. Every row must
have as many fields as the header. DATA also sets the distance scales (the median
absolute deviation of each column), so every row is read, also with --rows.

TARGET is a text such as "proba>=0.5", "proba in [0.3, 0.6]", "class=1", "raw>=0" or
"prediction in [100, 200]" (probabilities of the positive class; raw scores are a
regressor's prediction or a classifier's margin).

The rules file (TOML, or JSON with the same structure) calls morvel.Rules methods by
name, for example:

    freeze = ["age", "sex"]
    increase_only = ["education"]
    [[range]]
    column = "income"
    rel = [1.0, 1.3]
    [[linear]]
    coefs = {loan = 1, income = -1}
    op = "<="
    rhs = 0

Without --out a table of changes per row is printed; with --out the results are
written as CSV or JSON (one record per row: status, distance, proof, predictions, the
changes and the counterfactual row), replacing the file only once all rows are done.
With --alternatives K each row gets up to K counterfactuals, cheapest first, one block
or record each with its rank (1 = cheapest); a row without a counterfactual keeps one
(rank 1), as does, under the default --diversity, a row that already meets the target.
"""


class _Parser(argparse.ArgumentParser):
    """argparse with usage errors as one line and exit code 2."""

    def error(self, message):
        self.exit(2, f"{self.prog}: usage error: {message}\n"
                     f"(see '{self.prog} --help')\n")


def build_parser() -> argparse.ArgumentParser:
    # --debug before or after the command; a command's own default must not undo
    # `morvel --debug explain ...`, hence SUPPRESS there.
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                        help="show the full traceback of a failure")
    parser = _Parser(prog="morvel", description="Counterfactual explanations for "
                     "tree-ensemble models (scikit-learn, XGBoost, LightGBM).",
                     epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--debug", action="store_true",
                        help="show the full traceback of a failure")
    parser.add_argument("--version", action="version", version=f"morvel {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    commands.required = True

    explain = commands.add_parser(
        "explain", parents=[common], help="explain rows of a CSV file by counterfactuals",
        description=EXPLAIN_HELP, epilog=EXIT_CODES,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    explain.add_argument("--model", required=True, metavar="MODEL", help="the saved model")
    explain.add_argument("--data", required=True, metavar="DATA.csv", help="rows (CSV)")
    which = explain.add_mutually_exclusive_group()
    which.add_argument("--rows", metavar="3,17,20-25",
                       help="data rows to explain, numbered from 0 (the header is not a row)")
    which.add_argument("--all", action="store_true", help="explain every row (the default)")
    explain.add_argument("--target", required=True, metavar="TARGET",
                         help='what the model must say, e.g. "proba>=0.5", "class=1" or, '
                              'for a multi-class model, "proba(LABEL)>=0.7"')
    explain.add_argument("--freeze", metavar="age,sex", help="columns that must not change")
    explain.add_argument("--constraints", metavar="rules.toml|json",
                         help="a rules file (see above)")
    explain.add_argument("--method", choices=("exact", "genetic"), default="exact",
                         help="exact: provably cheapest (default); genetic: heuristic")
    explain.add_argument("--max-changes", type=_at_least_one, metavar="K",
                         help="change at most K features per row")
    explain.add_argument("--alternatives", type=_at_least_one, metavar="K",
                         help="up to K counterfactuals per row, cheapest first, each changing "
                              "a set of features that differs from every earlier one's by "
                              "--diversity")
    explain.add_argument("--diversity", choices=("no_superset", "new_feature"),
                         help="with --alternatives: no_superset (default: an alternative's "
                              "changed features never include all of an earlier one's) or "
                              "new_feature (it changes a feature no earlier one changed)")
    explain.add_argument("--out", metavar="results.csv|json",
                         help="write machine-readable results here instead of the table")
    explain.add_argument("--trust-pickle", action="store_true",
                         help="allow loading joblib/pickle model files (runs their code)")
    explain.add_argument("--seed", type=_seed, default=0,
                         help="seed of the genetic search (default 0)")
    explain.add_argument("--time-budget", type=float, default=10.0, metavar="SECONDS",
                         help="search time per row (default 10)")
    progress = explain.add_mutually_exclusive_group()
    progress.add_argument("--progress", dest="progress", action="store_true", default=None,
                          help="show a progress bar (default: on a terminal, for 20+ rows)")
    progress.add_argument("--no-progress", dest="progress", action="store_false")

    commands.add_parser("demo", parents=[common], help="run the bundled example end to end",
                        description="Explain a few rejected applicants of the bundled credit "
                        "example (a LightGBM model, a CSV and a rules file), printing the "
                        "command that does the same.")
    return parser


def _at_least_one(text: str) -> int:
    """A whole number of at least 1 (argparse type)."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _seed(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid seed {text!r}") from None
    if not 0 <= value < 2**64:
        raise argparse.ArgumentTypeError(f"the seed must lie in [0, 2^64), got {value}")
    return value


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        if args.command == "demo":
            from .demo import run_demo

            return run_demo(debug=args.debug)
        from .explain import run_explain

        return run_explain(args)
    except KeyboardInterrupt:
        print("morvel: interrupted", file=sys.stderr)
        return 130
    except UsageError as err:
        print(f"morvel {args.command}: usage error: {err}\n(see 'morvel {args.command} "
              "--help')", file=sys.stderr)
        return 2
    except (Exception, _morvel_core.InternalError) as err:
        if args.debug:
            traceback.print_exc()
        print(f"morvel: error: {one_line(err)}", file=sys.stderr)
        return 1


def one_line(err: BaseException) -> str:
    """The message of `err` on one line (bad input as it stands; anything else with its
    type, since it is a fault of ours or of a library)."""
    text = " ".join(str(err).split()) or type(err).__name__
    if isinstance(err, (InputError, ValueError, TypeError, OSError)):
        return text
    return f"{type(err).__name__}: {text} (rerun with --debug for the traceback)"
