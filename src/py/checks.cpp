#include "checks.hpp"

#include <cmath>
#include <sstream>
#include <string>

#include "errors.hpp"

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

}  // namespace morvel::py
