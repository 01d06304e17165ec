"""A tour of morvel on scikit-learn's bundled breast-cancer data.

Trains a gradient-boosted classifier, converts it to the native ensemble, scores rows,
checks and repairs candidate rows against a constraint set, finds the provably cheapest
change that turns a rejected row into an accepted one, prints the certified region of
accepted rows around it, and compares the two exact search modes on a row far from the
decision boundary.

    python examples/quickstart.py
"""
import numpy as np
from sklearn.datasets import load_breast_cancer
from sklearn.ensemble import GradientBoostingClassifier

import morvel
from morvel import core

data = load_breast_cancer()
X, y, names = data.data, data.target, data.feature_names
model = GradientBoostingClassifier(n_estimators=60, max_depth=3, random_state=0).fit(X, y)

# 1. Convert and score: raw scores are the model's own decision_function.
ensemble = morvel.convert(model).to_core()
scores = ensemble.raw_score_batch(X[:5])
print("raw scores      :", np.round(scores, 4))
print("decision_function:", np.round(model.decision_function(X[:5]), 4))

# 2. Constraints: features 0-2 (radius, texture, perimeter) are frozen, feature 3 (area)
#    may only decrease, and every feature must stay within the range seen in the data.
n = X.shape[1]
u32, f64 = np.uint32, np.float64
constraints = core.RustConstraints(
    n, freeze=np.array([0, 1, 2], u32),
    range_idx=np.arange(n, dtype=u32), range_lo=X.min(axis=0), range_hi=X.max(axis=0),
    equals_idx=np.zeros(0, u32), equals_val=np.zeros(0, f64),
    mono_idx=np.array([3], u32), mono_dir=np.array([-1], np.int8),
    lin_offsets=np.zeros(1, u32), lin_indices=np.zeros(0, u32), lin_coefs=np.zeros(0, f64),
    lin_op=np.zeros(0, np.uint8), lin_rhs=np.zeros(0, f64), lin_policy=np.zeros(0, np.uint8),
    imp_cond_idx=np.zeros(0, u32), imp_cond_val=np.zeros(0, f64),
    imp_cons_idx=np.zeros(0, u32), imp_cons_val=np.zeros(0, f64),
    oh_offsets=np.zeros(0, u32), oh_indices=np.zeros(0, u32),
    am_idx=np.zeros(0, u32), am_to=np.zeros(0, f64), am_from=np.zeros(0, f64))

# The rejected row nearest to the decision boundary.
decision = model.decision_function(X)
rejected = int(np.argmax(np.where(decision < 0, decision, -np.inf)))
x = X[rejected]
candidates = np.vstack([x, x * 1.1, x * 0.9])
print("\ncandidate rows pass the constraints:", constraints.check(candidates, x))
repaired = constraints.repair(candidates, x)
print("after repair                        :", constraints.check(repaired, x))

# 3. The cheapest accepted row: raw score at least 0 (probability >= 0.5), distances in
#    units of each feature's standard deviation.
sigma, weights = X.std(axis=0), np.ones(n)
policies = (np.zeros(n, np.uint8), np.zeros(n), np.zeros(n))
x_cf, distance, proof, stats, snapped, trace = core.solve_exact_raw(
    ensemble, constraints, x, 0.0, np.inf, sigma, weights, 0.0, *policies)
print(f"\nrow {rejected}: score {ensemble.raw_score_batch(x[None])[0]:.4f}, proof {proof}, "
      f"distance {distance:.4f}, {stats[0]} nodes")
for f in np.flatnonzero(x_cf != x):
    print(f"  {names[f]:>24}: {x[f]:10.4f} -> {x_cf[f]:10.4f}")
print(f"new score {ensemble.raw_score_batch(x_cf[None])[0]:.4f}, "
      f"library says {model.decision_function(x_cf[None])[0]:.4f}")

# 3b. The certified region around that counterfactual: a box in which every row is
#     accepted and meets the constraints, so the person keeps some slack on each feature.
#     Frozen features stay put; area may only decrease; the rest range over the data.
flat = morvel.convert(model)
open_set = np.arange(3, n, dtype=u32)
lo_b, hi_b = X.min(axis=0), X.max(axis=0)
hi_b[3] = x[3]
region = core.compute_region_raw(ensemble, flat.missing_defined, constraints, x_cf, 0.0, np.inf,
                                 lo_b, hi_b, open_set)
print(f"\n{'feature':>24} {'factual':>10} {'counterf.':>10} {'region low':>11} {'region high':>11}")
for f in range(n):
    mark = " *" if x_cf[f] != x[f] else ""
    print(f"{names[f]:>24} {x[f]:10.4f} {x_cf[f]:10.4f} {region['lo'][f]:11.4f} "
          f"{region['hi'][f]:11.4f}{mark}")

# 4. Far from the boundary many features must move; the coarse-to-fine mode proves the
#    optimum where the classic search runs out of its node budget.
far = X[int(np.argmin(decision))]
for mode in ("classic", "refine"):
    _, distance, proof, stats, _, _ = core.solve_exact_raw(
        ensemble, constraints, far, 0.0, np.inf, sigma, weights, 0.0, *policies, search=mode)
    print(f"{mode:>8}: proof {proof}, distance {distance:.4f}, {stats[0]} nodes")
