"""Counterfactual recourse in a few lines, on scikit-learn's bundled breast-cancer data.

Trains a gradient-boosted classifier, builds an Explainer with a few actionability rules,
finds the provably cheapest change that turns one rejected row into an accepted one, shows
the certified region around it (how far each changed feature may move and still be
accepted), and explains a batch of 100 rejected rows.

    pip install ".[sklearn]" && python examples/recourse.py
"""
from sklearn.datasets import load_breast_cancer
from sklearn.ensemble import GradientBoostingClassifier

import morvel

X, y = load_breast_cancer(return_X_y=True, as_frame=True)
model = GradientBoostingClassifier(n_estimators=60, max_depth=3, random_state=0).fit(X, y)

rules = (morvel.Rules()
         .freeze("mean radius", "mean texture", "mean perimeter")
         .decrease_only("mean area")
         .range("worst area", rel=(0.5, 1.0)))
explainer = morvel.Explainer(model, X, constraints=rules)
print(explainer)

# One row: the model rejects it; what is the cheapest change that gets P(class 1) >= 0.7?
rejected = X[model.predict(X) == 0]
row = rejected.iloc[0]
cf = explainer.explain(row, morvel.probability >= 0.7)
print()
print(cf)
print(f"\nthe model now says P(class 1) = {cf.prediction:.3f}")

# Slack around it: every row in this box (the other features as in the counterfactual) is
# certified to reach the target too. Shown for the features the counterfactual changes.
region = cf.region().table
moved = region[region.factual != region.counterfactual]
print("\ncertified region of the changed features:")
print(moved[["feature", "factual", "counterfactual", "low", "high"]].to_string(index=False))

# A batch: one counterfactual per rejected row, in input order.
batch = explainer.explain_many(rejected.iloc[:100], desired_class=1, time_budget_s=2.0)
print(f"\n{len(batch)} rows: {batch.found.mean():.0%} found, "
      f"{batch.optimal.mean():.0%} proved optimal, "
      f"median distance {batch.distance.median():.3f}, "
      f"median {batch.n_changes.median():.0f} features changed")
print(batch[["status", "optimal", "distance", "n_changes"]].head())
