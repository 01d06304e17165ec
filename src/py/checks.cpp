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

void require_windows(const Ensemble& model, std::span<const WindowArg> windows) {
  if (windows.empty()) {
    throw ValidationError("windows is empty; pass None when there is no further window");
  }
  const std::size_t n = model.n_features();
  for (std::size_t k = 0; k < windows.size(); ++k) {
    const WindowArg& w = windows[k];
    const std::string at = "windows[" + std::to_string(k) + "]: ";
    if (w.ensemble->n_features() != n) {
      throw ValidationError(at + "the ensemble has " + std::to_string(w.ensemble->n_features()) +
                            " features, the model " + std::to_string(n));
    }
    // Every categorical feature of either has the same count in the other.
    for (const Ensemble* e : {&model, w.ensemble}) {
      for (const CategoricalFeature& c : e->categorical_features()) {
        const std::uint32_t a = model.cardinality(c.feature);
        const std::uint32_t b = w.ensemble->cardinality(c.feature);
        if (a != b) {
          throw ValidationError(at + "the ensemble declares " + std::to_string(b) +
                                " categories for feature " + std::to_string(c.feature) +
                                ", the model " + std::to_string(a));
        }
      }
    }
    if (std::isnan(w.lo)) reject(at + "lo must not be NaN", w.lo);
    if (std::isnan(w.hi)) reject(at + "hi must not be NaN", w.hi);
    if (w.lo > w.hi) {
      throw ValidationError(at + "lo " + number(w.lo) + " is above hi " + number(w.hi));
    }
    if (w.missing_defined && w.missing_defined->size() != w.ensemble->n_nodes()) {
      throw ValidationError(at + "missing_defined has " +
                            std::to_string(w.missing_defined->size()) +
                            " entries, the ensemble has " +
                            std::to_string(w.ensemble->n_nodes()) + " nodes");
    }
  }
}

std::vector<ScoreWindow> score_windows(std::span<const WindowArg> windows) {
  std::vector<ScoreWindow> out;
  out.reserve(windows.size());
  for (const WindowArg& w : windows) out.push_back({w.ensemble, w.lo, w.hi});
  return out;
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
