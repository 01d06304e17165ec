"""Recourse that survives retraining: counterfactuals of one model against counterfactuals
that five models must accept, judged by five more models none of them saw.

For each data set, ten models of one family are trained, each on its own bootstrap sample
of the training rows (and its own seed). Rows rejected by model 0 (drawn at random, fixed
seed, from held-out rows) are explained twice with the exact method (10 s budget per row):
by model 0 alone, and by models 0-4 together (`also_valid_for=`). Each counterfactual is
then scored by the held-out models 5-9 with their own `predict`: the share of (row, model)
pairs that still accept it, and the share of rows that all five accept. The joint row's
extra cost is its distance over the single row's (median and 90th percentile), and the
tables say how many of the rows were proved optimal.

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

N_MODELS, N_JOINT = 10, 5
SURE = 0.7
KINDS = ("single", "joint", "single, P >= p", "joint, P >= p")


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


def run(name, n_rows, budget):
    load, family = SETS[name]
    X, y, rules = load()
    rng = np.random.default_rng(0)
    held_out = rng.permutation(len(X))[: max(len(X) // 5, 60)]
    train = np.setdiff1d(np.arange(len(X)), held_out)
    models = []
    for i in range(N_MODELS):
        pick = np.random.default_rng(100 + i).choice(train, len(train), replace=True)
        models.append(model(family, i).fit(X.iloc[pick], y[pick]))
    single = morvel.Explainer(models[0], X.iloc[train], constraints=rules, random_state=0)
    joint = morvel.Explainer(models[0], X.iloc[train], constraints=rules, random_state=0,
                             also_valid_for=models[1:N_JOINT])
    rows, targets = rejected_rows(models[0], X.iloc[held_out], n_rows, rng)
    out = {kind: [] for kind in KINDS}
    for i, label in zip(rows, targets):
        x = X.iloc[held_out[i]]
        for kind in KINDS:
            ex = joint if kind.startswith("joint") else single
            target = (morvel.probability(of=label) >= SURE if kind.endswith(">= p") else
                      morvel.desired_class(label))
            started = time.perf_counter()
            cf = ex.explain(x, target, time_budget_s=budget)
            seconds = time.perf_counter() - started
            if cf.counterfactual is None:
                out[kind].append((None, cf.optimal, seconds, None))
                continue
            row = cf.counterfactual.to_frame().T.astype(X.dtypes)
            kept = [np.asarray(m.predict(row))[0] == label for m in models[N_JOINT:]]
            out[kind].append((cf.distance, cf.optimal, seconds, kept))
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
    single_d = {k: d for k, (d, *_r) in enumerate(out["single"])}
    for kind in KINDS:
        rows = out[kind]
        found = [r for r in rows if r[0] is not None]
        kept = [k for r in found for k in r[3]]
        all_kept = [all(r[3]) for r in found]
        proved = sum(1 for r in rows if r[1])
        times = [r[2] for r in rows]
        ratios = [r[0] / single_d[k] for k, r in enumerate(rows)
                  if r[0] is not None and single_d.get(k) not in (None, 0.0)]
        cost = ("" if kind == "single" else
                f"{statistics.median(ratios):.2f}x / {np.quantile(ratios, 0.9):.2f}x")
        lines.append(f"| {name} | {family} | {kind} | {len(found)}/{len(rows)} | "
                     f"{proved} | {100 * np.mean(kept):.1f}% | {100 * np.mean(all_kept):.1f}% "
                     f"| {cost} | {statistics.median(times):.3f} | {max(times):.2f} |")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=25)
    parser.add_argument("--budget", type=float, default=10.0)
    parser.add_argument("--sets", nargs="*", default=list(SETS), choices=list(SETS))
    args = parser.parse_args()
    print("| data | models | explained by | found | proved | held-out accept (pairs) | "
          "accepted by all 5 | joint cost / single (median / p90) | median s | max s |")
    print("|---|---|---|---:|---:|---:|---:|---:|---:|---:|")
    for name in args.sets:
        family, out = run(name, args.rows, args.budget)
        for line in summary(name, family, out):
            print(line, flush=True)


if __name__ == "__main__":
    main()
