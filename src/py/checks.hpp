// Checks of the solver inputs that every entry point shares: the distance model, the
// target window and the budgets. Each failure is a ValueError naming the argument, raised
// before any search starts, so that a malformed input can never come back as a false proof.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "convert.hpp"
#include "windows.hpp"

namespace morvel {
class Ensemble;
}

namespace morvel::py {

// sigma[j] > 0 and finite, weights[j] >= 0 and finite for the first n entries (the caller
// has checked that both cover n); lam >= 0 and finite.
void require_distance_model(std::span<const double> sigma, std::span<const double> weights,
                            double lam, std::size_t n);

// lo_t and hi_t are not NaN (infinite ends mean an open side; lo_t > hi_t is an empty window).
void require_window(double lo_t, double hi_t);

// A threshold that is given must not be NaN.
void require_not_nan(std::optional<double> value, const char* name);

// Seconds: not NaN and not negative; +inf means no limit, 0 stops before any work.
void require_time_budget(double seconds, const char* name = "time_budget_s");

// A relative gap: not NaN and not negative (+inf accepts any row found).
void require_gap(double gap);

// Every value of a row that the searches start from must be finite or NaN (missing).
void require_no_infinity(std::span<const double> row, const char* name);

// A warm-start cost: not NaN and not negative (no row costs less than 0).
void require_incumbent_cost(std::optional<double> cost);

// The plausibility ensemble (when given) reads the same rows as the model: the same width
// and, where both declare a feature categorical, the same number of categories.
void require_same_feature_space(const Ensemble& model, const Ensemble* plausibility);

// Further windows, when given: at least one; each over an ensemble of the model's width and
// category counts (the same count for every feature, 0 for numeric ones), with lo and hi
// not NaN and lo <= hi, and missing_defined (when given) one flag per node. Failures are
// ValueErrors naming the window's position.
void require_windows(const Ensemble& model, std::span<const WindowArg> windows);

// The core's view of checked windows.
std::vector<ScoreWindow> score_windows(std::span<const WindowArg> windows);

// The factual row can be placed in the model's cells and blocks: no infinite value, and no
// value at or above a categorical feature's category count (of the model, or else of the
// plausibility ensemble). Expects x as wide as the model.
void require_factual_in_model(std::span<const double> x, const Ensemble& model,
                              const Ensemble* plausibility);

}  // namespace morvel::py
