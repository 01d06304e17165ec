"""Recourse that survives retraining: counterfactuals of one model against counterfactuals
that several models must accept, judged by five more models none of them saw.

For each data set, models of one family are trained, each on its own bootstrap sample of
the training rows (and its own seed): the models that explain, then five held-out models.
Rows rejected by model 0 (drawn at random from held-out rows) are explained with the exact
method (10 s budget per row) in each variant: by the first N models together (N = 1: model
0 alone; else `also_valid_for=` the next N - 1), for the class or for each model's
probability of it at least p. Each counterfactual is then scored by the five held-out
models with their own `predict`: the share of (row, model) pairs that still accept it, and
the share of rows that all five accept. A variant's cost is its distance over model 0's
own class counterfactual's (median and 90th percentile), and the tables say how many of
the rows were proved optimal. `--seed` draws other bootstrap samples, model seeds and rows.

Data sets and models (distance: the default MAD scales, no rules but where stated):
- breast cancer (569 rows, 30 features, bundled with scikit-learn): XGBoost, 100 trees of
  depth 3;
- credit (the example's generator, 3000 applicants, 7 columns with a categorical one;
  age and housing frozen): LightGBM, 100 trees of 16 leaves;
- synthetic (`make_classification`, 3000 rows, 12 features, 6 informative): scikit-learn
  random forest, 60 trees of depth 6;
- wine (3 classes, bundled with scikit-learn; a row's target is the class the library
  ranks second): HistGradientBoosting, 30 rounds per class.

    python benchmarks/bench_retrain.py                 # every data set, 25 rows each
    python benchmarks/bench_retrain.py --rows 5 --sets cancer
    python benchmarks/bench_retrain.py --variants 1:class 10:class 10:0.8 --seed 1

A variant is N:class or N:p (N models together; p the probability level), optionally
followed by :q, a plausibility quantile (an isolation forest fitted on the training rows).
"""
import argparse
import os
import statistics
import sys
import time

os.environ.setdefault("OMP_NUM_THREADS", "1")

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import morvel  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "examples"))

N_HELD_OUT = 5
VARIANTS = ("1:class", "5:class", "10:class", "1:0.8", "5:0.8", "10:0.8")


def cancer():
    from sklearn.datasets import load_breast_cancer

    X, y = load_breast_cancer(return_X_y=True, as_frame=True)
    return X, np.asarray(y), morvel.Rules()


def credit():
    from make_credit_example import applicants

    X, y = applicants(3000, seed=7)
    return X, np.asarray(y), morvel.Rules().freeze("age", "housing")


def synthetic():
    from sklearn.datasets import make_classification

    X, y = make_classification(3000, 12, n_informative=6, random_state=3)
    return pd.DataFrame(X, columns=[f"f{j}" for j in range(12)]), y, morvel.Rules()


def wine():
    from sklearn.datasets import load_wine

    X, y = load_wine(return_X_y=True, as_frame=True)
    return X, np.asarray(y), morvel.Rules()


def model(family, seed):
    if family == "xgboost":
        import xgboost

        return xgboost.XGBClassifier(n_estimators=100, max_depth=3, n_jobs=1,
                                     random_state=seed, enable_categorical=True)
    if family == "lightgbm":
        import lightgbm

        return lightgbm.LGBMClassifier(n_estimators=100, num_leaves=16, verbose=-1, n_jobs=1,
                                       random_state=seed)
    from sklearn.ensemble import HistGradientBoostingClassifier, RandomForestClassifier

    if family == "forest":
        return RandomForestClassifier(n_estimators=60, max_depth=6, n_jobs=1,
                                      random_state=seed)
    return HistGradientBoostingClassifier(max_iter=30, random_state=seed)


SETS = {"cancer": (cancer, "xgboost"), "credit": (credit, "lightgbm"),
        "synthetic": (synthetic, "forest"), "wine": (wine, "hist")}


def parse_variant(text):
    """(models together, probability level or None for the class, plausibility quantile
    or None) of "N:class", "N:p", "N:class:q" or "N:p:q"."""
    n, level, *quantile = text.split(":")
    return (int(n), None if level == "class" else float(level),
            float(quantile[0]) if quantile else None)


def run(name, n_rows, budget, variants, seed):
    load, family = SETS[name]
    X, y, rules = load()
    rng = np.random.default_rng(seed)
    held_out = rng.permutation(len(X))[: max(len(X) // 5, 60)]
    train = np.setdiff1d(np.arange(len(X)), held_out)
    n_joint = max(parse_variant(v)[0] for v in variants)
    # The held-out models' seeds do not depend on how many models explain.
    models, judges = [], []
    for i in list(range(n_joint)) + [-1 - k for k in range(N_HELD_OUT)]:
        pick = np.random.default_rng(1000 * seed + 500 + i).choice(train, len(train))
        fitted = model(family, 1000 * seed + 500 + i).fit(X.iloc[pick], y[pick])
        (models if i >= 0 else judges).append(fitted)
    explainers = {(n, q): morvel.Explainer(
        models[0], X.iloc[train], constraints=rules, random_state=0,
        also_valid_for=models[1:n], plausibility=None if q is None else "isolation_forest",
        plausibility_quantile=q or 0.05)
        for n, _, q in map(parse_variant, variants)}
    rows, targets = rejected_rows(models[0], X.iloc[held_out], n_rows, rng)
    out = {v: [] for v in variants}
    for i, label in zip(rows, targets):
        x = X.iloc[held_out[i]]
        for variant in variants:
            n, level, quantile = parse_variant(variant)
            target = (morvel.desired_class(label) if level is None else
                      morvel.probability(of=label) >= level)
            started = time.perf_counter()
            cf = explainers[n, quantile].explain(x, target, time_budget_s=budget)
            seconds = time.perf_counter() - started
            if cf.counterfactual is None:
                out[variant].append((None, cf.optimal, seconds, None))
                continue
            row = cf.counterfactual.to_frame().T.astype(X.dtypes)
            kept = [np.asarray(m.predict(row))[0] == label for m in judges]
            out[variant].append((cf.distance, cf.optimal, seconds, kept))
    return family, out


def rejected_rows(m, X, n, rng):
    """Rows model 0 rejects and their targets: class 1 for a binary model, else the
    class the model ranks second."""
    proba = m.predict_proba(X)
    order = np.argsort(-proba, axis=1)
    classes = np.asarray(m.classes_)
    if len(classes) == 2:
        eligible = np.flatnonzero(order[:, 0] == 0)
        targets = np.full(len(X), classes[1])
    else:
        eligible = np.arange(len(X))
        targets = classes[order[:, 1]]
    pick = rng.permutation(eligible)[:n]
    return pick, targets[pick]


def summary(name, family, out):
    lines = []
    base = out.get("1:class")
    single_d = {k: d for k, (d, *_r) in enumerate(base)} if base else {}
    for kind, rows in out.items():
        found = [r for r in rows if r[0] is not None]
        kept = [k for r in found for k in r[3]]
        all_kept = [all(r[3]) for r in found]
        proved = sum(1 for r in rows if r[1])
        times = [r[2] for r in rows]
        ratios = [r[0] / single_d[k] for k, r in enumerate(rows)
                  if r[0] is not None and single_d.get(k) not in (None, 0.0)]
        cost = ("" if kind == "1:class" or not ratios else
                f"{statistics.median(ratios):.2f}x / {np.quantile(ratios, 0.9):.2f}x")
        lines.append(f"| {name} | {family} | {_describe(kind)} | {len(found)}/{len(rows)} | "
                     f"{proved} | {100 * np.mean(kept):.1f}% | {100 * np.mean(all_kept):.1f}% "
                     f"| {cost} | {statistics.median(times):.3f} | {max(times):.2f} |")
    return lines


def _describe(variant):
    n, level, quantile = parse_variant(variant)
    out = "model 0" if n == 1 else f"{n} models"
    out += "" if level is None else f", P >= {level:g}"
    return out + ("" if quantile is None else f", plausible (q {quantile:g})")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=25)
    parser.add_argument("--budget", type=float, default=10.0)
    parser.add_argument("--sets", nargs="*", default=list(SETS), choices=list(SETS))
    parser.add_argument("--variants", nargs="*", default=list(VARIANTS))
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    print("| data | models | explained by | found | proved | held-out accept (pairs) | "
          "accepted by all 5 | cost / model 0's class row (median / p90) | median s | "
          "max s |")
    print("|---|---|---|---:|---:|---:|---:|---:|---:|---:|")
    for name in args.sets:
        family, out = run(name, args.rows, args.budget, args.variants, args.seed)
        for line in summary(name, family, out):
            print(line, flush=True)


if __name__ == "__main__":
    main()
