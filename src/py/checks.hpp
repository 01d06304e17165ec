// Checks of the solver inputs that every entry point shares: the distance model, the
// target window and the budgets. Each failure is a ValueError naming the argument, raised
// before any search starts, so that a malformed input can never come back as a false proof.
#pragma once

#include <cstddef>
#include <optional>
#include <span>

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

}  // namespace morvel::py
