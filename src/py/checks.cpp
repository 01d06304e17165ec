#include "checks.hpp"

#include <cmath>
#include <sstream>
#include <string>

#include "errors.hpp"
#include "ir.hpp"

namespace morvel::py {
namespace {

std::string number(double v) {
  std::ostringstream out;
  out.precision(17);
  out << v;
  return out.str();
}

[[noreturn]] void reject(const std::string& what, double got) {
  throw ValidationError(what + ", got " + number(got));
}

}  // namespace

void require_distance_model(std::span<const double> sigma, std::span<const double> weights,
                            double lam, std::size_t n) {
  for (std::size_t j = 0; j < n; ++j) {
    if (!(std::isfinite(sigma[j]) && sigma[j] > 0.0)) {
      reject("sigma[" + std::to_string(j) + "] must be a positive finite scale", sigma[j]);
    }
    if (!(std::isfinite(weights[j]) && weights[j] >= 0.0)) {
      reject("weights[" + std::to_string(j) + "] must be a finite non-negative weight",
             weights[j]);
    }
  }
  if (!(std::isfinite(lam) && lam >= 0.0)) {
    reject("lam must be a finite non-negative charge", lam);
  }
}

void require_window(double lo_t, double hi_t) {
  if (std::isnan(lo_t)) reject("lo_t must not be NaN", lo_t);
  if (std::isnan(hi_t)) reject("hi_t must not be NaN", hi_t);
}

void require_not_nan(std::optional<double> value, const char* name) {
  if (value && std::isnan(*value)) reject(std::string(name) + " must not be NaN", *value);
}

void require_time_budget(double seconds, const char* name) {
  if (!(seconds >= 0.0)) {
    reject(std::string(name) + " must be a non-negative number of seconds", seconds);
  }
}

void require_gap(double gap) {
  if (!(gap >= 0.0)) reject("gap must be a non-negative relative gap", gap);
}

void require_no_infinity(std::span<const double> row, const char* name) {
  for (std::size_t j = 0; j < row.size(); ++j) {
    if (std::isinf(row[j])) {
      throw ValidationError(std::string(name) + "[" + std::to_string(j) + "] is infinite");
    }
  }
}

void require_incumbent_cost(std::optional<double> cost) {
  if (cost && !(*cost >= 0.0)) reject("incumbent_cost must be a non-negative cost", *cost);
}

void require_same_feature_space(const Ensemble& model, const Ensemble* plausibility) {
  if (plausibility == nullptr) return;
  const std::size_t n = model.n_features();
  if (plausibility->n_features() != n) {
    throw ValidationError("if_ensemble has " + std::to_string(plausibility->n_features()) +
                          " features, the ensemble has " + std::to_string(n));
  }
  for (const CategoricalFeature& c : model.categorical_features()) {
    const std::uint32_t b = plausibility->cardinality(c.feature);
    if (b != 0 && b != c.cardinality) {
      throw ValidationError("if_ensemble declares " + std::to_string(b) +
                            " categories for feature " + std::to_string(c.feature) +
                            ", the ensemble " + std::to_string(c.cardinality));
    }
  }
}

// Cells never hold an infinite value and blocks only hold codes below the cardinality, so
// such a factual row cannot be placed; say so instead of failing deep in the search.
void require_factual_in_model(std::span<const double> x, const Ensemble& model,
                              const Ensemble* plausibility) {
  for (std::size_t f = 0; f < x.size(); ++f) {
    if (std::isinf(x[f])) {
      throw ValidationError("x[" + std::to_string(f) + "] is infinite");
    }
    std::uint32_t card = model.cardinality(f);
    if (card == 0 && plausibility != nullptr && f < plausibility->n_features()) {
      card = plausibility->cardinality(f);
    }
    if (card != 0 && x[f] >= static_cast<double>(card)) {
      throw ValidationError("x[" + std::to_string(f) + "] is not a category code of the model (" +
                            std::to_string(card) + " categories)");
    }
  }
}

}  // namespace morvel::py
