"""Regenerates the credit example that the command line and `morvel demo` use:
`credit.csv` (synthetic loan applicants), `credit_model.txt` (a LightGBM model of whether an
application is approved, in LightGBM's own text format) and `credit_model.npz` (the same
model in morvel's own format, which needs no LightGBM to read); `credit_rules.toml` is
written by hand beside them.

    pip install ".[lightgbm]" && python examples/make_credit_example.py

The data are drawn from a fixed seed, and the model trains deterministically on one thread,
so running this again rewrites the same models and data.
"""
from pathlib import Path

import numpy as np
import pandas as pd

HERE = Path(__file__).resolve().parent
N_ROWS = 400


def applicants(n: int, seed: int = 2026) -> tuple[pd.DataFrame, np.ndarray]:
    rng = np.random.default_rng(seed)
    age = rng.integers(21, 70, n)
    years_employed = np.minimum(rng.poisson(6, n), age - 18)
    income = np.round(rng.lognormal(3.8, 0.35, n) + 1.2 * years_employed, 1)  # thousands
    debt = np.round(income * rng.uniform(0.0, 0.9, n), 1)
    credit_lines = rng.integers(0, 9, n)
    late_payments = rng.poisson(0.8, n)
    housing = rng.choice(["rent", "own", "mortgage"], n, p=[0.45, 0.2, 0.35])
    score = (0.04 * income - 0.06 * debt + 0.12 * years_employed - 0.7 * late_payments
             + 0.1 * np.minimum(credit_lines, 5) + 0.4 * (housing != "rent")
             + rng.normal(0, 0.6, n))
    frame = pd.DataFrame({
        "age": age, "income": income, "debt": debt, "years_employed": years_employed,
        "credit_lines": credit_lines, "late_payments": late_payments,
        "housing": pd.Categorical(housing, categories=["mortgage", "own", "rent"]),
    })
    return frame, (score > np.median(score)).astype(int)


def main() -> None:
    import lightgbm

    from morvel import FlatModel

    X, y = applicants(N_ROWS)
    model = lightgbm.LGBMClassifier(n_estimators=40, num_leaves=8, learning_rate=0.15,
                                    min_child_samples=10, n_jobs=1, deterministic=True,
                                    random_state=0, verbose=-1).fit(X, y)
    X.to_csv(HERE / "credit.csv", index=False)
    model.booster_.save_model(HERE / "credit_model.txt")
    # The same model in morvel's own format: `morvel demo` reads it without LightGBM.
    booster = lightgbm.Booster(model_file=str(HERE / "credit_model.txt"))
    FlatModel.from_model(booster).save(HERE / "credit_model.npz")
    print(f"wrote credit.csv ({len(X)} rows), credit_model.txt and credit_model.npz "
          f"({model.n_estimators} trees, training accuracy {model.score(X, y):.2f})")


if __name__ == "__main__":
    main()
