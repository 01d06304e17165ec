"""Four alternatives per row: morvel's `explain(..., alternatives=4)` against DiCE's
`total_CFs=4` (its "random" and "genetic" methods) on the same models, rows and rules.

Families (each model trained on 70 % of its data; rows: the first N rows of the other 30 %
that the model rejects; target: class 1):
  cancer  - scikit-learn GradientBoostingClassifier (60 trees, depth 3), breast-cancer data,
            "mean radius" and "mean texture" frozen;
  blobs   - RandomForestClassifier (40 trees, depth 6) on make_classification (10 features,
            6 informative), one data seed per run seed, feature x0 frozen;
  credit  - HistGradientBoostingClassifier (40 iterations) on a synthetic credit table
            (whole-number columns), "age" frozen.

Per tool and family: median seconds per row for 4 alternatives; how many came back; the
share the model's own `predict` accepts; rule violations (a frozen feature changed); the
mean cost of each rank under morvel's distance (L1 scaled by the median absolute
deviation, DiCE's default too); the mean number of distinct changed-feature sets among a
row's alternatives; for morvel the share proved optimal. Tools alternate per row.

    PYTHONPATH=build/dev:python /work/venv-dice/bin/python benchmarks/bench_diverse.py \\
        [--rows 8] [--seeds 0 1] [--families cancer blobs credit] [--no-genetic]
"""
import argparse
import statistics
import time
import warnings

import numpy as np
import pandas as pd
from sklearn.datasets import load_breast_cancer, make_classification
from sklearn.ensemble import (GradientBoostingClassifier, HistGradientBoostingClassifier,
                              RandomForestClassifier)

import morvel
from morvel.search import row as _row

K = 4


def family(name, seed):
    rng = np.random.default_rng(seed)
    if name == "cancer":
        X, y = load_breast_cancer(return_X_y=True, as_frame=True)
        model = GradientBoostingClassifier(n_estimators=60, max_depth=3, random_state=seed)
        frozen = ["mean radius", "mean texture"]
    elif name == "blobs":
        A, y = make_classification(n_samples=1500, n_features=10, n_informative=6,
                                   random_state=seed)
        X = pd.DataFrame(np.round(A, 3), columns=[f"x{j}" for j in range(10)])
        y = pd.Series(y)
        model = RandomForestClassifier(n_estimators=40, max_depth=6, random_state=seed)
        frozen = ["x0"]
    else:
        n = 2000
        X = pd.DataFrame({
            "age": rng.integers(20, 70, n), "income": rng.integers(15, 150, n) * 1000,
            "debt": rng.integers(0, 60, n) * 500, "lines": rng.integers(0, 12, n),
            "late": rng.integers(0, 6, n), "years": rng.integers(0, 30, n)}).astype(float)
        logit = (X.income / 20000 - X.debt / 6000 - 0.6 * X.late + 0.08 * X.years
                 - 0.15 * X.lines + rng.normal(0, 1, n) - 1)
        y = (logit > 0).astype(int)
        model = HistGradientBoostingClassifier(max_iter=40, random_state=seed)
        frozen = ["age"]
    order = rng.permutation(len(X))
    train, test = order[: int(0.7 * len(X))], order[int(0.7 * len(X)):]
    model.fit(X.iloc[train], y.iloc[train])
    return X.iloc[train], y.iloc[train], X.iloc[test], model, frozen


def run_morvel(ex, row):
    alts = ex.explain(row, desired_class=1, alternatives=K)
    rows = [cf.counterfactual for cf in alts if cf.found]
    return pd.DataFrame(rows) if rows else None, [cf.optimal for cf in alts if cf.found]


def dice_engine(X, y, model, method):
    import dice_ml

    frame = X.copy()
    frame["target"] = y.to_numpy()
    data = dice_ml.Data(dataframe=frame, continuous_features=list(X.columns),
                        outcome_name="target")
    return dice_ml.Dice(data, dice_ml.Model(model=model, backend="sklearn"), method=method)


def run_dice(engine, row, vary):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            res = engine.generate_counterfactuals(row.to_frame().T, total_CFs=K,
                                                  desired_class=1, features_to_vary=vary,
                                                  verbose=False)
        except Exception:  # DiCE raises when it finds nothing
            return None, []
    df = res.cf_examples_list[0].final_cfs_df
    if df is None or len(df) == 0:
        return None, []
    return df[row.index].astype(float), []


def measure(ex, X, model, frozen, row, cfs):
    """validity flags, violations, per-rank costs, distinct sets, returned count."""
    if cfs is None or len(cfs) == 0:
        return dict(n=0, valid=[], violations=0, costs=[], distinct=0)
    cfs = cfs[X.columns]
    valid = list(model.predict(cfs) == 1)
    _, x = ex.schema.rows(row.to_frame().T, "row")
    _, coded = ex.schema.rows(cfs, "rows")
    costs = [_row.distance(ex, x[0], r) for r in coded]
    sets = {frozenset(j for j in range(len(r)) if r[j] != x[0][j]) for r in coded}
    violations = int(sum((cfs[f].to_numpy() != row[f]).sum() for f in frozen))
    return dict(n=len(cfs), valid=valid, violations=violations, costs=costs, distinct=len(sets))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=8)
    parser.add_argument("--seeds", type=int, nargs="+", default=[0, 1])
    parser.add_argument("--families", nargs="+", default=["cancer", "blobs", "credit"])
    parser.add_argument("--no-genetic", action="store_true")
    args = parser.parse_args()
    tools = ["morvel", "dice-random"] + ([] if args.no_genetic else ["dice-genetic"])
    table = []
    for name in args.families:
        stats = {t: dict(times=[], n=[], valid=[], viol=0, costs=[[] for _ in range(K)],
                         distinct=[], optimal=[]) for t in tools}
        for seed in args.seeds:
            X, y, test, model, frozen = family(name, seed)
            rows = test[model.predict(test) == 0].iloc[:args.rows]
            ex = morvel.Explainer(model, X, constraints=morvel.Rules().freeze(*frozen))
            vary = [c for c in X.columns if c not in frozen]
            engines = {"dice-random": dice_engine(X, y, model, "random"),
                       "dice-genetic": dice_engine(X, y, model, "genetic")}
            for i, (_, row) in enumerate(rows.iterrows()):
                order = tools if i % 2 == 0 else tools[::-1]
                for tool in order:
                    start = time.perf_counter()
                    if tool == "morvel":
                        cfs, optimal = run_morvel(ex, row)
                    else:
                        cfs, optimal = run_dice(engines[tool], row, vary)
                    elapsed = time.perf_counter() - start
                    m = measure(ex, X, model, frozen, row, cfs)
                    s = stats[tool]
                    s["times"].append(elapsed)
                    s["n"].append(m["n"])
                    s["valid"] += m["valid"]
                    s["viol"] += m["violations"]
                    s["distinct"].append(m["distinct"])
                    s["optimal"] += optimal
                    for r, c in enumerate(sorted(m["costs"])[:K]):
                        s["costs"][r].append(c)
        base = statistics.median(stats["morvel"]["times"])
        for tool in tools:
            s = stats[tool]
            med = statistics.median(s["times"])
            table.append({
                "family": name, "tool": tool, "rows": len(s["times"]),
                "s/row": round(med, 4), "vs morvel": f"{med / base:.1f}x",
                "returned": round(float(np.mean(s["n"])), 2),
                "valid": f"{100 * np.mean(s['valid']) if s['valid'] else 0:.0f}%",
                "violations": s["viol"],
                **{f"cost {r + 1}": (round(float(np.mean(c)), 3) if c else None)
                   for r, c in enumerate(s["costs"])},
                "distinct sets": round(float(np.mean(s["distinct"])), 2),
                "proved": (f"{100 * np.mean(s['optimal']):.0f}%" if tool == "morvel"
                           and s["optimal"] else "-"),
            })
            print(table[-1], flush=True)
    cols = list(table[0])
    print("| " + " | ".join(cols) + " |")
    print("|" + "|".join("---" for _ in cols) + "|")
    for t in table:
        print("| " + " | ".join(str(t[c]) for c in cols) + " |")


if __name__ == "__main__":
    main()
