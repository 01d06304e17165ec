// solve_exact_raw: the exact solver's Python entry point.
#include <cmath>
#include <limits>

#include "change_args.hpp"
#include "checks.hpp"
#include "convert.hpp"
#include "entries.hpp"
#include "exact/lagrange.hpp"
#include "exact/search.hpp"
#include "guarded.hpp"
#include "ir.hpp"

namespace morvel::py {
namespace {

PyRef stats_tuple(const exact::ExactResult& r) {
  return checked(Py_BuildValue(
      "(KKKddOOKOsKK)", static_cast<unsigned long long>(r.nodes_expanded),
      static_cast<unsigned long long>(r.nodes_pruned_score),
      static_cast<unsigned long long>(r.nodes_pruned_cost), r.lower_bound, r.gap,
      r.completed ? Py_True : Py_False, r.warm_start_used ? Py_True : Py_False,
      static_cast<unsigned long long>(r.presolve_removed),
      r.presolve_certified ? Py_True : Py_False,
      r.mode == exact::SearchMode::Refine ? "refine" : "classic",
      static_cast<unsigned long long>(r.coarse_accepts),
      static_cast<unsigned long long>(r.refinements)));
}

PyRef trace_tuple(const exact::Trace& trace) {
  const auto& samples = trace.samples();
  std::vector<std::uint64_t> nodes;
  std::vector<double> incumbent, lower;
  for (const auto& s : samples) {
    nodes.push_back(s.nodes);
    incumbent.push_back(s.has_incumbent ? s.incumbent : std::numeric_limits<double>::quiet_NaN());
    lower.push_back(s.lower);
  }
  PyRef a = to_numpy(nodes), b = to_numpy(incumbent), c = to_numpy(lower);
  return checked(PyTuple_Pack(3, a.get(), b.get(), c.get()));
}

PyRef result_tuple(const exact::ExactResult& r) {
  PyRef row = r.row ? to_numpy(*r.row) : PyRef::borrow(Py_None);
  PyRef distance = r.row ? checked(PyFloat_FromDouble(r.cost)) : PyRef::borrow(Py_None);
  PyRef proof = checked(PyUnicode_FromString(exact::proof_name(r.proof)));
  PyRef stats = stats_tuple(r);
  PyRef snapped = to_numpy(r.snapped);
  PyRef trace = trace_tuple(r.trace);
  return checked(PyTuple_Pack(6, row.get(), distance.get(), proof.get(), stats.get(),
                              snapped.get(), trace.get()));
}

PyRef solve_exact_raw(PyObject* args, PyObject* kwargs) {
  const Args a("solve_exact_raw", args, kwargs,
               {"ensemble", "constraints", "x", "lo_t", "hi_t", "sigma", "weights", "lam",
                "policy_code", "policy_step", "policy_anchor", "if_ensemble", "min_total_path",
                "node_budget", "gap", "time_budget_s", "incumbent_cost", "incumbent_row",
                "search", "stop", "max_changes", "exclude_offsets", "exclude_features",
                "diversity", "alternatives", "windows"},
               11, 19);
  exact::ExactProblem p;
  p.ensemble = &to_ensemble(a[0], "ensemble");
  p.constraints = &to_constraints(a[1], "constraints");
  const std::vector<double> x = to_vector<double>(a[2], "x");
  p.lo_t = to_double(a[3], "lo_t");
  p.hi_t = to_double(a[4], "hi_t");
  const std::vector<double> sigma = to_vector<double>(a[5], "sigma");
  const std::vector<double> weights = to_vector<double>(a[6], "weights");
  p.lam = to_double(a[7], "lam");
  const auto code = to_vector<std::uint8_t>(a[8], "policy_code");
  const auto step = to_vector<double>(a[9], "policy_step");
  const auto anchor = to_vector<double>(a[10], "policy_anchor");
  const Ensemble* if_ensemble = to_optional_ensemble(a[11], "if_ensemble");
  const std::optional<double> min_total_path = to_optional_double(a[12], "min_total_path");
  p.node_budget = a[13] ? to_count(a[13], "node_budget") : 2000000;
  p.gap = a[14] ? to_double(a[14], "gap") : 0.0;
  p.time_budget_s = a[15] ? to_double(a[15], "time_budget_s") : 10.0;
  p.incumbent_cost = to_optional_double(a[16], "incumbent_cost");
  p.incumbent_row = to_optional_vector<double>(a[17], "incumbent_row");
  const std::string search = a[18] ? to_str(a[18], "search") : "classic";
  const std::atomic<bool>* stop = to_optional_stop(a[19], "stop");
  const std::optional<std::uint64_t> alternatives = to_optional_count(a[24], "alternatives");
  const auto windows = to_windows(a[25], "windows");

  if (search != "classic" && search != "refine") {
    throw CallerError("unknown search mode " + quoted(search));
  }
  const auto policies = exact::marshal_value_policies(code, step, anchor);
  exact::require_policy_count(x.size(), policies.size());

  // Shapes the search would otherwise read out of bounds.
  const std::size_t n = p.ensemble->n_features();
  require_width(n, x.size());
  if (p.constraints->n_features != n) {
    throw ValidationError("constraints have " + std::to_string(p.constraints->n_features) +
                          " features, the ensemble has " + std::to_string(n));
  }
  if (sigma.size() < n || weights.size() < n) {
    throw ValidationError("sigma and weights need " + std::to_string(n) + " entries, got " +
                          std::to_string(std::min(sigma.size(), weights.size())));
  }
  if (p.incumbent_row && p.incumbent_row->size() != n) {
    throw ValidationError("incumbent_row has " + std::to_string(p.incumbent_row->size()) +
                          " values, expected " + std::to_string(n));
  }
  // A malformed distance model, window or budget would come back as a false proof.
  require_distance_model(sigma, weights, p.lam, n);
  require_window(p.lo_t, p.hi_t);
  require_not_nan(min_total_path, "min_total_path");
  require_gap(p.gap);
  require_time_budget(p.time_budget_s);
  require_incumbent_cost(p.incumbent_cost);
  if (p.incumbent_row) require_no_infinity(*p.incumbent_row, "incumbent_row");
  // The plausibility test needs both the model and its threshold.
  if (if_ensemble != nullptr && min_total_path) {
    require_same_feature_space(*p.ensemble, if_ensemble);
    p.if_ensemble = if_ensemble;
    p.min_total_path = *min_total_path;
  }
  require_factual_in_model(x, *p.ensemble, p.if_ensemble);
  const ChangeRules rules = read_change_rules(a[20], a[21], a[22], a[23], n);
  if (alternatives && *alternatives == 0) throw ValidationError("alternatives must be at least 1");
  if (p.incumbent_row && !rules.allows(x, p.incumbent_row->data())) {
    throw ValidationError("incumbent_row breaks the change-set rules");
  }
  p.change_rules = &rules;
  std::vector<ScoreWindow> further;
  if (windows) {
    require_windows(*p.ensemble, *windows);
    further = score_windows(*windows);
  }
  p.windows = further;
  p.x = x;
  p.sigma = sigma;
  p.weights = weights;
  p.policies = policies;
  p.mode = search == "refine" ? exact::SearchMode::Refine : exact::SearchMode::Classic;

  ReleasedLock released(stop);
  if (alternatives) {
    auto outcome = released.run(
        [&] { return exact::solve_exact_alternatives(p, *alternatives, released.probe_fn()); });
    if (outcome.is_interrupted()) released.raise_pending();
    const auto& results = outcome.result();
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(results.size())));
    for (std::size_t i = 0; i < results.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), result_tuple(results[i]).release());
    }
    return list;
  }
  auto outcome = released.run([&] { return exact::solve_exact(p, released.probe_fn()); });
  if (outcome.is_interrupted()) released.raise_pending();
  return result_tuple(outcome.result());
}

}  // namespace

PyObject* py_solve_exact_raw(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return solve_exact_raw(args, kwargs); });
}

PyObject* py_set_lagrange_start(PyObject*, PyObject* boxes) {
  return guarded([&] {
    const std::uint64_t n = to_count(boxes, "boxes");
    return PyRef::steal(PyLong_FromUnsignedLongLong(exact::set_lagrange_start(n)));
  });
}

}  // namespace morvel::py
