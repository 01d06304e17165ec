"""The package API against DiCE on the same task: one counterfactual per rejected row.

Model: scikit-learn's GradientBoostingClassifier (60 trees, depth 3) on the bundled
breast-cancer data; rows: the first N rows the model rejects; target: class 1; three
features frozen. morvel: `Explainer.explain_many` (exact, refine search); DiCE: the
"random" method with `total_CFs=1` and the same features frozen. Both are timed in
alternating order over a few rounds (medians). Every counterfactual is checked by the
model's own `predict`, and its distance is measured the same way for both (the L1
distance with each feature scaled by its median absolute deviation, DiCE's default).

    python benchmarks/bench_api.py [--rows 50] [--rounds 3]
"""
import argparse
import statistics
import time
import warnings

import numpy as np
from sklearn.datasets import load_breast_cancer
from sklearn.ensemble import GradientBoostingClassifier

import morvel

FROZEN = ["mean radius", "mean texture", "mean perimeter"]


def mad_distance(X, rows, cfs):
    values = X.to_numpy(float)
    mad = np.median(np.abs(values - np.median(values, axis=0)), axis=0)
    mad = np.where(mad > 0, mad, 1.0)
    return np.abs(cfs.to_numpy(float) - rows.to_numpy(float)) / mad


def run_morvel(model, X, rows):
    explainer = morvel.Explainer(model, X, constraints=morvel.Rules().freeze(*FROZEN))
    out = explainer.explain_many(rows, desired_class=1, n_jobs=-1)
    return out[X.columns], out.found.to_numpy(), out.optimal.mean()


def run_dice(model, X, y, rows):
    import dice_ml

    frame = X.copy()
    frame["target"] = y
    data = dice_ml.Data(dataframe=frame, continuous_features=list(X.columns),
                        outcome_name="target")
    dice = dice_ml.Dice(data, dice_ml.Model(model=model, backend="sklearn"), method="random")
    vary = [c for c in X.columns if c not in FROZEN]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        res = dice.generate_counterfactuals(rows, total_CFs=1, desired_class=1,
                                            features_to_vary=vary, random_seed=0,
                                            verbose=False)
    cfs, found = [], []
    for (_, row), ex in zip(rows.iterrows(), res.cf_examples_list):
        df = ex.final_cfs_df
        ok = df is not None and len(df) > 0
        found.append(ok)
        cfs.append(df[X.columns].iloc[0] if ok else row)
    import pandas as pd

    return pd.DataFrame(cfs, index=rows.index), np.array(found), float("nan")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=50)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    X, y = load_breast_cancer(return_X_y=True, as_frame=True)
    model = GradientBoostingClassifier(n_estimators=60, max_depth=3, random_state=0).fit(X, y)
    rows = X[model.predict(X) == 0].iloc[:args.rows]
    runners = {"morvel": lambda: run_morvel(model, X, rows),
               "dice": lambda: run_dice(model, X, y, rows)}
    times = {name: [] for name in runners}
    results = {}
    for r in range(args.rounds):
        order = list(runners) if r % 2 == 0 else list(runners)[::-1]
        for name in order:
            start = time.perf_counter()
            results[name] = runners[name]()
            times[name].append(time.perf_counter() - start)
    print(f"{len(rows)} rejected rows, {args.rounds} rounds (median wall time)\n")
    print(f"{'tool':8} {'median s':>9} {'rows/s':>8} {'found':>6} {'valid':>6} "
          f"{'optimal':>8} {'mean dist':>10} {'mean changes':>13}")
    for name, (cfs, found, optimal) in results.items():
        valid = model.predict(cfs[found]) == 1 if found.any() else np.zeros(0, bool)
        dist = mad_distance(X, rows[found], cfs[found])
        t = statistics.median(times[name])
        print(f"{name:8} {t:9.2f} {len(rows) / t:8.1f} {found.mean():6.0%} "
              f"{valid.mean() if valid.size else 0:6.0%} "
              f"{'' if np.isnan(optimal) else f'{optimal:.0%}':>8} "
              f"{dist.sum(axis=1).mean():10.3f} {(dist > 0).sum(axis=1).mean():13.1f}")


if __name__ == "__main__":
    main()
