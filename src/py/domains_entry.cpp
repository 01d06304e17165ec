// debug_domains_raw: the exact solver's per-feature candidate states, flattened into
// parallel arrays. Runs with the interpreter lock held (domains are small and quick).
#include <limits>
#include <string>

#include "checks.hpp"
#include "constraints.hpp"
#include "convert.hpp"
#include "entries.hpp"
#include "exact/domains.hpp"
#include "guarded.hpp"
#include "ir.hpp"

namespace morvel::py {
namespace {

void require_covers(const char* name, std::size_t got, std::size_t n) {
  if (got < n) {
    throw ValidationError(std::string(name) + " has " + std::to_string(got) +
                          " entries, expected at least " + std::to_string(n));
  }
}

// (offsets, value, cost, cell_idx, is_nan, snapped), feature f at offsets[f] .. offsets[f + 1].
PyRef flatten(const exact::Domains& domains) {
  std::vector<std::uint32_t> offsets{0}, cell_idx;
  std::vector<double> value, cost;
  std::vector<std::uint8_t> is_nan, snapped;
  for (const exact::Domain& domain : domains) {
    for (const exact::State& s : domain) {
      ensure(s.cell_idx <= std::numeric_limits<std::uint32_t>::max(), "cell index exceeds u32");
      value.push_back(s.value);
      cost.push_back(s.cost);
      cell_idx.push_back(static_cast<std::uint32_t>(s.cell_idx));
      is_nan.push_back(s.is_nan ? 1 : 0);
      snapped.push_back(s.snapped ? 1 : 0);
    }
    ensure(value.size() <= std::numeric_limits<std::uint32_t>::max(), "state count exceeds u32");
    offsets.push_back(static_cast<std::uint32_t>(value.size()));
  }
  PyRef parts[] = {to_numpy(offsets), to_numpy(value),  to_numpy(cost),
                   to_numpy(cell_idx), to_numpy(is_nan), to_numpy(snapped)};
  PyRef tuple = checked(PyTuple_New(6));
  for (Py_ssize_t k = 0; k < 6; ++k) PyTuple_SET_ITEM(tuple.get(), k, parts[k].release());
  return tuple;
}

PyRef run(PyObject* args, PyObject* kwargs) {
  const Args a("debug_domains_raw", args, kwargs,
               {"ensemble", "constraints", "x", "sigma", "weights", "lam", "policy_code",
                "policy_step", "policy_anchor", "if_ensemble", "windows"},
               9, 10);
  const Ensemble& ensemble = to_ensemble(a[0], "ensemble");
  const Constraints& constraints = to_constraints(a[1], "constraints");
  const auto x = to_vector<double>(a[2], "x");
  const auto sigma = to_vector<double>(a[3], "sigma");
  const auto weights = to_vector<double>(a[4], "weights");
  const double lam = to_double(a[5], "lam");
  const auto code = to_vector<std::uint8_t>(a[6], "policy_code");
  const auto step = to_vector<double>(a[7], "policy_step");
  const auto anchor = to_vector<double>(a[8], "policy_anchor");
  const Ensemble* if_ensemble = to_optional_ensemble(a[9], "if_ensemble");
  const auto windows = to_windows(a[10], "windows");

  const auto policies = exact::marshal_value_policies(code, step, anchor);
  exact::require_policy_count(x.size(), policies.size());

  // Everything below reads x-many entries of each input.
  require_width(ensemble.n_features(), x.size());
  if (constraints.n_features != x.size()) {
    throw ValidationError("constraints have " + std::to_string(constraints.n_features) +
                          " features, expected " + std::to_string(x.size()));
  }
  require_covers("sigma", sigma.size(), x.size());
  require_covers("weights", weights.size(), x.size());
  require_distance_model(sigma, weights, lam, x.size());
  require_same_feature_space(ensemble, if_ensemble);
  require_factual_in_model(x, ensemble, if_ensemble);
  if (windows) require_windows(ensemble, *windows);

  // The domains are as fine as every ensemble a row is scored by.
  std::vector<const Ensemble*> ensembles{&ensemble};
  if (if_ensemble != nullptr) ensembles.push_back(if_ensemble);
  if (windows) {
    for (const WindowArg& w : *windows) ensembles.push_back(w.ensemble);
  }
  const FeatureCells cells = exact::constraint_cells(constraints, ensembles);
  const CategoryBlocks blocks = category_blocks_joint(ensembles);
  return flatten(
      exact::build_domains(cells, x, constraints, lam, sigma, weights, policies, blocks));
}

}  // namespace

PyObject* py_debug_domains_raw(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return run(args, kwargs); });
}

}  // namespace morvel::py
