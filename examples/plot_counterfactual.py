"""Draws the counterfactual picture shown in the README (examples/counterfactual.png): one
rejected applicant of the credit example, what would get the loan approved.

    pip install ".[lightgbm,plot]" && python examples/plot_counterfactual.py
"""
from pathlib import Path

import lightgbm
import matplotlib

matplotlib.use("Agg")
import pandas as pd  # noqa: E402

import morvel  # noqa: E402

HERE = Path(__file__).resolve().parent

frame = pd.read_csv(HERE / "credit.csv").astype(
    {"housing": pd.CategoricalDtype(["mortgage", "own", "rent"])})
model = lightgbm.Booster(model_file=str(HERE / "credit_model.txt"))
rules = morvel.Rules().freeze("age").increase_only("years_employed").decrease_only(
    "late_payments").range("income", rel=(1.0, 1.3))
explainer = morvel.Explainer(model, frame, constraints=rules)

applicant = frame[model.predict(frame) < 0.5].iloc[15]
cf = explainer.explain(applicant, "proba>=0.7")
print(cf)
ax = cf.plot()
ax.figure.set_size_inches(7, 2.8)
ax.figure.savefig(HERE / "counterfactual.png", dpi=90)
