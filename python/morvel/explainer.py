"""`Explainer`: a fitted model, its training data and the user's rules, ready to explain
rows by counterfactuals."""
from __future__ import annotations

from dataclasses import fields

import numpy as np
import pandas as pd

from .lazy import Deferred
from .models.adapter import ModelAdapter
from .problem import distance
from .problem import prepare as _setup
from .problem import targets as tg
from .problem import validation as check
from .problem.compiled_rules import CompiledRules
from .problem.data_columns import DataColumns
from .problem.rules import Rules
from .problem.schema import Schema
from .results import Alternatives, Counterfactual
from .search import alternatives as _alternatives
from .search import batch as _batch
from .search import region as _region
from .search import row as _search
from .search.readable import SplitTable

_OPTION_NAMES = {f.name for f in fields(_search.Options)} - {"method", "diversity", "earlier"}


class Explainer:
    """Counterfactual explanations for one fitted tree-ensemble model.

    Args:
        model: a fitted scikit-learn tree model (forests, gradient boosting, histogram
            gradient boosting, decision trees), an XGBoost `Booster`/`XGBClassifier`/
            `XGBRegressor`, a LightGBM `Booster`/`LGBMClassifier`/`LGBMRegressor`, a
            `CatBoostClassifier`/`CatBoostRegressor` (numeric and one-hot categorical
            features), or a scikit-learn `Pipeline` of column preprocessing (encoders,
            scalers, imputers in a `ColumnTransformer`) ending in one of them, which is
            explained over its raw columns; regressors, binary classifiers and (but for
            CatBoost) multi-class classifiers.
        data: training rows (DataFrame or 2-D array) from which the distance scales, the
            plausibility model and the genetic search's background are taken. They are
            read a column at a time, never copied whole, and not kept (the explainer
            keeps a sample of at most 1,000 rows for the genetic search).
        features: column names when `data` is an array (default: the model's own names,
            else x0, x1, ...).
        constraints: a `Rules` object (freeze, ranges, monotone, linear, ...).
        plausibility: None, "isolation_forest" (fit one on `data`) or a fitted
            `IsolationForest`; counterfactuals must then have a total path length at least
            the `plausibility_quantile` quantile of the training rows' path lengths.
        scale: per-feature scales of the distance: "mad" (default: median absolute
            deviation, then standard deviation, then 1), "std", a number, a
            {column: scale} dict or one value per feature.
        weights: per-feature weights (default 1), as a number, dict or sequence.
        lam: a fixed charge for every changed feature (sparsity), default 0.
        readable_rtol: how much more (relative to the optimal distance) readable values
            may cost in total; 0 keeps the solver's exact values.
        random_state: seed of the genetic search and the plausibility forest.
        n_jobs: threads for `explain_many` with the exact method (default: all CPUs).
        also_valid_for: further fitted models (same kinds as `model`) over the same
            columns and categories, e.g. retrained or challenger models: a counterfactual
            must then meet the target by every one of them (each checked by its own
            library), and the exact method proves it the cheapest such row.

    A multi-class model's target is a class (`desired_class="setosa"`) or a class's
    probability (`probability(of="setosa") >= 0.7`). A forest's class probability is an
    average of leaf values, searched exactly; a softmax model's (boosting) is not a sum of
    trees, and its probability targets are searched through a sufficient condition on
    the class margins, so those results are valid but not proved optimal.

    Whole-number columns of `data` take whole numbers in counterfactuals unless the rules
    say `continuous(...)` and come back in their integer dtype; categorical columns keep
    their labels in and out.

    >>> from sklearn.datasets import load_breast_cancer
    >>> from sklearn.ensemble import GradientBoostingClassifier
    >>> X, y = load_breast_cancer(return_X_y=True, as_frame=True)
    >>> model = GradientBoostingClassifier(n_estimators=20, random_state=0).fit(X, y)
    >>> explainer = Explainer(model, X, constraints=Rules().freeze("mean radius"))
    >>> cf = explainer.explain(X.iloc[0], desired_class=1)    # doctest: +SKIP
    """

    def __init__(self, model, data, *, features=None, constraints: Rules | None = None,
                 plausibility=None, plausibility_quantile: float = 0.05, scale="mad",
                 weights=None, lam: float = 0.0, readable_rtol: float = 1e-3,
                 random_state: int | None = None, n_jobs: int | None = None,
                 also_valid_for=()):
        if constraints is not None and not isinstance(constraints, Rules):
            raise TypeError("constraints must be a morvel.Rules object")
        self.model = model
        self.constraints = constraints
        self.plausibility = plausibility
        self.plausibility_quantile = check.fraction(plausibility_quantile, "plausibility_quantile")
        self.scale, self.weights_given = scale, weights
        self.lam = check.non_negative(lam, "lam")
        self.readable_rtol = check.non_negative(readable_rtol, "readable_rtol")
        self.random_state = check.seed(random_state)
        self.n_jobs = check.n_jobs(n_jobs)

        self.also_valid_for = also_valid_for
        self.adapter = ModelAdapter(model, data)
        self.schema = Schema(self.adapter, data, features)
        # The data is read a column or a few rows at a time, never copied whole.
        columns = DataColumns(self.schema, data)
        facts = columns.survey()
        if facts.n_rows == 0:
            raise ValueError("data has no rows")
        # Every model a counterfactual must satisfy, the explained one first.
        self.adapters, self.schemas = _setup.joint_models(self, also_valid_for, data, features)
        self.missing_ok = np.logical_and.reduce([  # per column
            _setup.probe_missing(columns, facts, a, s)
            for a, s in zip(self.adapters, self.schemas)])
        self.supports_missing = bool(self.missing_ok.any())
        self.integer_valued = facts.whole
        self.sigma = distance.scales(self.schema, columns, scale)
        self.weights = distance.weights(self.schema, weights)
        self.rules = CompiledRules(constraints, self.schema, columns, self.sigma,
                                   self.integer_valued)
        refused = [self.schema.names[f] for f, _, _ in self.rules.allow_missing
                   if not self.missing_ok[f]]
        if refused:
            raise ValueError(f"allow_missing: {self.adapter.name} cannot take missing values "
                             f"in {', '.join(map(repr, refused))}")
        self.plausibility_flat, self.min_total_path = _setup.plausibility(
            self, plausibility, columns, facts)
        self.background = _setup.background(columns, self.random_state)
        self.model_margins = [_setup.margins(a) for a in self.adapters]
        self.margin, self.proba_eps = self.model_margins[0]
        self._derive()
        self._build_native()

    # -- derived tables (kept out of pickles where native) ------------------------------

    def _derive(self):
        rules = self.rules
        self.one_hot_members = {f for g in rules.one_hot for f in g}
        self.implication_members = {f for a, _, b, _ in rules.implications for f in (a, b)}
        n = len(self.schema.names)
        to, frm = np.zeros(n), np.zeros(n)
        for f, t, fr in rules.allow_missing:
            to[f], frm[f] = t, fr
        self.missing_charges = (to, frm)
        cuts: dict[int, list[float]] = {}
        for a, va, _, _ in rules.implications:
            cuts.setdefault(a, []).append(va)
        self.splits = SplitTable(self.flats, cuts)

    @property
    def flats(self) -> list:
        """Every split a counterfactual's cells depend on: the models', the plausibility
        forest's."""
        return [a.flat for a in self.adapters] + ([self.plausibility_flat]
                                                  if self.plausibility_flat else [])

    def _build_native(self):
        self.ensemble = self.adapter.flat.to_core()
        self.plausibility_ensemble = (self.plausibility_flat.to_core()
                                      if self.plausibility_flat is not None else None)
        self.window_ensembles = {}  # the targets' windows, built on first use (search.goal)

    def __getstate__(self):
        state = self.__dict__.copy()
        for native in ("ensemble", "plausibility_ensemble", "window_ensembles"):
            state.pop(native, None)
        return state

    def __setstate__(self, state):
        self.__dict__.update(state)
        self._build_native()

    def __repr__(self) -> str:
        n_rules = len(self.constraints) if self.constraints is not None else 0
        plaus = "" if self.plausibility_flat is None else ", plausibility on"
        others = len(self.adapters) - 1
        joint = f", also valid for {others} model{'s' * (others != 1)}" if others else ""
        return (f"Explainer({self.adapter.name}, {len(self.schema.names)} features, "
                f"{n_rules} rules{plaus}{joint})")

    @property
    def feature_names(self) -> list[str]:
        return list(self.schema.names)

    # -- explaining ---------------------------------------------------------------------

    def explain(self, row, target=None, *, method: str = "exact", seed: int | None = None,
                desired_class=None, alternatives: int | None = None,
                diversity: str = "no_superset", **options) -> Counterfactual | Alternatives:
        """The cheapest change of `row` that makes the model meet `target`.

        Args:
            row: a Series, a one-row DataFrame, a dict or a 1-D array of feature values.
            target: a class label, a `Target` (`desired_class(1)`, `proba_range(0.7, 1)`,
                `probability >= 0.7`, `probability(of="setosa") >= 0.7`,
                `raw_range(lo, hi)`) or a text ("proba>=0.7", "proba(setosa)>=0.7").
            desired_class: shorthand for `target=desired_class(label)`.
            method: "exact" (branch-and-bound: proves optimality or reports a lower bound;
                when its budget ends without a row, the genetic search's row is returned
                with the exact lower bound) or "genetic".
            seed: seed of the genetic search (default: from the explainer's random_state).
            alternatives: ask for up to this many counterfactuals, cheapest first (an
                `Alternatives` list): each next one is the cheapest valid row whose set of
                changed features differs from every earlier one's by `diversity`.
            diversity: "no_superset" (default: the changed set contains no earlier one's,
                so each alternative leaves some earlier move out) or "new_feature" (it
                changes a feature no earlier one changed).
            **options: max_changes (at most this many features change; a move to or
                from a missing value and a new category count as one change each); search="refine"|"classic", node_budget, time_budget_s, gap
                (exact); population, max_generations, stall_generations, time_budget_s
                (genetic); readable=True|False; fallback=True|False (the exact
                method's fall back to the genetic search); improve=True|False (a local
                search from the genetic search's row to cheaper valid rows nearby; on by
                default). time_budget_s bounds each search from its start; the local
                search does at most the work that time_budget_s allows at a fixed nominal
                rate, so its row is the same alone, in any batch and on any machine
                (its clock, time_budget_s per row, is only a safety net for machines far
                slower than that rate, and only it or a genetic search ended by its
                budget can make results differ between runs).

        Returns a `Counterfactual` (with `alternatives`, an `Alternatives` list of them);
        a row that already meets the target comes back unchanged with distance 0, and "no
        counterfactual exists" is a result (status "infeasible"), not an exception.
        """
        target = self._target(target, desired_class)
        opts = self._options(method, options, diversity)
        count = None if alternatives is None else check.positive_count(alternatives,
                                                                         "alternatives")
        x = self.schema.one_row(row, "row")
        if len(x) != 1:
            raise ValueError(f"explain takes one row, got {len(x)}; use explain_many")
        self._require_present(x)
        seed = _batch.row_seeds(self.random_state, [0])[0] if seed is None else check.seed(seed)
        if count is not None:
            outcomes, end, message = _alternatives.solve(self, x[0], target, opts, seed, count)
            return Alternatives([self._result(row, x[0], target, opts, o, True)
                                 for o in outcomes], end, message)
        outcome = _search.solve_row(self, x[0], target, opts, seed)
        return self._result(row, x[0], target, opts, outcome)

    def explain_many(self, rows, target=None, *, method: str = "exact",
                     n_jobs: int | None = None, progress: bool | None = None,
                     desired_class=None, client=None, chunk_rows: int | None = None,
                     alternatives: int | None = None, diversity: str = "no_superset",
                     **options) -> pd.DataFrame:
        """One counterfactual per row of `rows` (a DataFrame, 2-D array or Dask
        DataFrame), as a DataFrame in input order: found, status, optimal, distance,
        lower_bound, gap, n_changes, then the counterfactual's feature values (the factual
        values where none was found).

        The genetic method runs the rows as one parallel batch; the exact method runs
        rows on `n_jobs` threads. `progress=True` shows a tqdm progress bar (default: in
        notebooks when tqdm is installed). Options as for `explain`; the genetic seeds
        depend on the random_state and each row's position only.

        With `client` (a `dask.distributed.Client`), the explainer is sent to every
        worker once and chunks of `chunk_rows` rows (default: about four chunks per
        worker) are explained on the workers, `n_jobs` threads each; the results equal
        the single-process results row for row. A Dask DataFrame is explained partition
        by partition where its partitions live (on the current client, else here).

        With `alternatives=k` (and `diversity`, as for `explain`), a long frame: one line
        per alternative, with the row's index label ("row") and its "rank" (1 = cheapest)
        first; a row without a counterfactual has one line (rank 1, found False); over
        Dask too, equal to the single-process frame.
        """
        target = self._target(target, desired_class)
        opts = self._options(method, options, diversity)
        n_jobs = None if n_jobs is None else check.n_jobs(n_jobs)
        if chunk_rows is not None and check.count(chunk_rows, "chunk_rows") == 0:
            raise ValueError("chunk_rows must be positive")
        from .frontends import dask as distributed_batch

        count = None if alternatives is None else check.positive_count(alternatives,
                                                                         "alternatives")
        if client is not None or distributed_batch.is_dask_collection(rows):
            return distributed_batch.explain_many(self, rows, target, opts, client=client,
                                                  n_jobs=n_jobs, progress=progress,
                                                  chunk_rows=chunk_rows, alternatives=count)
        if count is not None:
            frame, X = self.schema.rows(rows, "rows")
            self._require_present(X)
            return self._alternatives_frame(frame.index, X, target, opts, count,
                                            self.n_jobs if n_jobs is None else n_jobs, progress)
        frame, X = self.schema.rows(rows, "rows")
        self._require_present(X)
        outcomes = _batch.solve_rows(self, X, target, opts,
                                     self.n_jobs if n_jobs is None else n_jobs, progress)
        return _batch.as_frame(self, frame.index, X, outcomes)

    # -- helpers ------------------------------------------------------------------------

    def _target(self, target, desired_class) -> tg.Target:
        if desired_class is not None:
            if target is not None:
                raise ValueError("give either target or desired_class, not both")
            target = tg.desired_class(desired_class)
        out = tg.as_target(target, self.adapter)
        for i, adapter in enumerate(self.adapters[1:]):
            try:
                tg.for_model(out, adapter)
            except ValueError as err:
                raise ValueError(f"also_valid_for[{i}]: {err}") from None
        return out

    def _alternatives_frame(self, index, X, target, opts, count, n_jobs, progress):
        seeds = _batch.row_seeds(self.random_state, range(len(X)))
        bar = _batch._progress_bar(len(X), progress)
        try:
            return _alternatives.frame_many(self, index, X, target, opts, count, seeds,
                                            n_jobs, bar)
        finally:
            bar.close()

    def _options(self, method: str, options: dict,
                 diversity: str = "no_superset") -> _search.Options:
        if method not in ("exact", "genetic"):
            raise ValueError(f"method must be 'exact' or 'genetic', got {method!r}")
        unknown = set(options) - _OPTION_NAMES
        if unknown:
            raise TypeError(f"unknown option(s) {', '.join(sorted(unknown))}; known: "
                            f"{', '.join(sorted(_OPTION_NAMES))}")
        opts = _search.Options(method=method, diversity=diversity, **options)
        check.options(opts)
        if method == "genetic" and not _search.genetic_available():
            raise ValueError("method='genetic' needs the genetic solver, which this build "
                             "lacks")
        unsupported = self.rules.exact_unsupported()
        if method == "exact" and unsupported:
            raise ValueError(f"{unsupported}: a linear rule over several columns (other than "
                             "a <= b) needs method='genetic'")
        return opts

    def _require_present(self, X: np.ndarray):
        cols = np.flatnonzero(np.isnan(X).any(axis=0) & ~self.missing_ok)
        if cols.size:
            names = ", ".join(repr(self.schema.names[j]) for j in cols)
            raise ValueError(f"column(s) {names} hold missing values (NaN), which "
                             f"{self.adapter.name} cannot take")

    def _result(self, template, x, target, opts, out: _search.Outcome,
                alternative: bool = False) -> Counterfactual:
        cf_values = out.row
        # The frame of changes and the row in the input's type are made when first read.
        kept = None if cf_values is None else cf_values.copy()
        changes = Deferred(_changes, self.schema, x, kept)
        prediction = None
        if cf_values is not None:
            prediction = _prediction(self, target, cf_values, out.prediction)
        region = None
        if cf_values is not None and _region.region_available():
            # Under change-set rules the region keeps the unchanged features fixed.
            fixed = opts.max_changes
            if fixed is None and alternative:
                fixed = int(np.sum((x != cf_values) & ~(np.isnan(x) & np.isnan(cf_values))))
            region = _region.RegionMaker(self, x, out.goal, target, fixed)
        return Counterfactual(
            status=out.status, target=target, method=opts.method,
            factual=template, counterfactual=(None if cf_values is None
                                              else Deferred(self.schema.like, template, kept)),
            changes=changes, distance=out.distance, optimal=out.optimal, proof=out.proof,
            lower_bound=out.lower_bound, gap=out.gap, prediction=prediction, stats=out.stats,
            message=out.message, values=cf_values, _region=region,
            scales=dict(zip(self.schema.names, self.sigma.tolist())))


def _changes(schema: Schema, x: np.ndarray, row) -> pd.DataFrame:
    rows = []
    if row is not None:
        for j, name in enumerate(schema.names):
            if not (x[j] == row[j] or (np.isnan(x[j]) and np.isnan(row[j]))):
                rows.append((name, schema.display(j, x[j]), schema.display(j, row[j])))
    return pd.DataFrame(rows, columns=["feature", "from", "to"])


def _prediction(ex: Explainer, target: tg.Target, values: np.ndarray, known=None):
    """What the library predicts for the row `values` (`known`: its `library_values`
    entry, when the acceptance check computed it already)."""
    if known is None:
        known = tg.library_values(target, ex.adapter, ex.schema.library_input(values[None, :]))[0]
    if target.kind == "class":
        return ex.adapter.classes[int(known)]
    return float(known)
