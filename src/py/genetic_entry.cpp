// solve_genetic_raw and solve_genetic_batch_raw: the genetic search's Python entry points.
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "change_args.hpp"
#include "checks.hpp"
#include "constraints.hpp"
#include "convert.hpp"
#include "entries.hpp"
#include "ga/genetic.hpp"
#include "guarded.hpp"
#include "ir.hpp"
#include "watch.hpp"

namespace morvel::py {

const char kSolveGeneticRawDoc[] =
    "solve_genetic_raw(ensemble, constraints, x, lo_t, hi_t, sigma, weights, lam, "
    "background=None, if_ensemble=None, min_total_path=None, seed=None, population=80, "
    "max_generations=200, stall_generations=30, time_budget_s=10.0, *, stop=None, "
    "max_changes=None, exclude_offsets=None, exclude_features=None, "
    "diversity=\"no_superset\", windows=None)\n--\n\n"
    "Full GA solve.\n"
    "Returns (x_cf | None, generations).\n\n"
    "x_cf is the cheapest row found whose raw score lies in [lo_t, hi_t] and that satisfies "
    "the constraints (and, when both if_ensemble and min_total_path are given, whose "
    "if_ensemble score is at least min_total_path; and, for every (ensemble, lo, hi) of "
    "windows, whose score on that ensemble lies in [lo, hi]); None when no such row was seen. "
    "A row outside some window is ranked by the sum of its distances to all of them. "
    "generations is the number of populations evaluated. An infinite lo_t or hi_t leaves "
    "that side of the window open; lo_t > hi_t is an empty window.\n\n"
    "The same seed and inputs give the same result on any machine and with any number of "
    "threads; without a seed the search is seeded from the operating system's random "
    "source. time_budget_s counts from the start of the call and bounds all of it: the "
    "candidate values, the initial population and every generation (it is checked between "
    "blocks of rows and after every generation), except that the first generation may take "
    "0.01 s whatever the budget, so 0 evaluates one generation; a search whose budget ends "
    "before its first population has been scored returns (None, 0). inf "
    "sets no time limit (the search then ends by max_generations or stall_generations). "
    "Where the budget does not end the search, the result does not depend on it. A Ctrl-C "
    "ends the search within about a second and raises the error the signal check raises "
    "(ordinarily KeyboardInterrupt); so does setting `stop`, a StopToken, from any thread. "
    "max_changes, exclude_offsets/exclude_features and diversity are the change-set rules of "
    "solve_exact_raw; a valid row keeps them.";

const char kSolveGeneticBatchRawDoc[] =
    "solve_genetic_batch_raw(ensemble, constraints, x_rows, task_row, task_seed, lo_t, hi_t, "
    "sigma, weights, lam, background=None, if_ensemble=None, min_total_path=None, "
    "population=80, max_generations=200, stall_generations=30, time_budget_s=10.0, *, "
    "stop=None, max_changes=None, windows=None)\n--\n\n"
    "Batch GA solve: one independent search per `(task_row, task_seed)` pair, each as "
    "solve_genetic_raw from row x_rows[task_row[k]] with seed task_seed[k], run in parallel "
    "on the worker pool with the interpreter lock released.\n"
    "Returns `(x_cf (n_tasks, p) \u2014 factual copy where infeasible, feasible mask, "
    "generations)`.\n\n"
    "Results are in task order and do not depend on the number of threads. time_budget_s "
    "bounds each search on its own, from the start of its task, and windows (further "
    "(ensemble, lo, hi) windows every row must score in) act, as in solve_genetic_raw. A "
    "Ctrl-C while the lock is released (or setting `stop`, a StopToken) surfaces as the "
    "error that the signal check raises (ordinarily `KeyboardInterrupt`), propagated "
    "unchanged and never turned into `ValueError` or `RuntimeError`; no partial results are "
    "returned.";

namespace {

// The arguments both entries share, converted (everything but the factual rows and tasks).
struct SharedArgs {
  const Ensemble* ensemble = nullptr;
  const Constraints* constraints = nullptr;
  double lo_t = 0.0;
  double hi_t = 0.0;
  std::vector<double> sigma;
  std::vector<double> weights;
  double lam = 0.0;
  std::vector<double> background;  // row-major, n_bg rows
  std::size_t n_bg = 0;
  std::size_t bg_cols = 0;
  const Ensemble* if_ensemble = nullptr;
  std::optional<double> min_total_path;
  std::optional<std::vector<WindowArg>> windows;
  std::vector<ScoreWindow> further;  // the checked windows, as the core reads them
  ga::GaParams params;
  ChangeRules change_rules;
};

std::vector<double> copy_rows(const MatrixArg& m) {
  return std::vector<double>(m.data, m.data + m.rows * m.cols);
}

void read_background(SharedArgs& s, PyObject* obj) {
  if (obj == nullptr) return;
  const MatrixArg m = to_matrix(obj, "background");
  s.background = copy_rows(m);
  s.n_bg = m.rows;
  s.bg_cols = m.cols;
}

void read_params(ga::GaParams& params, PyObject* population, PyObject* max_generations,
                 PyObject* stall_generations, PyObject* time_budget_s) {
  if (population) params.population = to_count(population, "population");
  if (max_generations) params.max_generations = to_count(max_generations, "max_generations");
  if (stall_generations) {
    params.stall_generations = to_count(stall_generations, "stall_generations");
  }
  if (time_budget_s) params.time_budget_s = to_double(time_budget_s, "time_budget_s");
}

void require_entries(const std::vector<double>& v, const char* name, std::size_t n) {
  if (v.size() < n) {
    throw ValidationError(std::string(name) + " needs " + std::to_string(n) + " entries, got " +
                          std::to_string(v.size()));
  }
}

// Shapes the search would otherwise read out of bounds, then the values that would make
// its answer meaningless (a NaN scale, a NaN window end) or its end undefined.
void check_shared(SharedArgs& s) {
  const std::size_t n = s.ensemble->n_features();
  if (s.constraints->n_features != n) {
    throw ValidationError("constraints have " + std::to_string(s.constraints->n_features) +
                          " features, the ensemble has " + std::to_string(n));
  }
  require_entries(s.sigma, "sigma", n);
  require_entries(s.weights, "weights", n);
  if (s.n_bg > 0 && s.bg_cols != n) {
    throw ValidationError("background rows have " + std::to_string(s.bg_cols) +
                          " values, expected " + std::to_string(n));
  }
  if (s.if_ensemble != nullptr && s.min_total_path && s.if_ensemble->n_features() != n) {
    throw ValidationError("if_ensemble has " + std::to_string(s.if_ensemble->n_features()) +
                          " features, the ensemble has " + std::to_string(n));
  }
  require_distance_model(s.sigma, s.weights, s.lam, n);
  require_window(s.lo_t, s.hi_t);
  require_not_nan(s.min_total_path, "min_total_path");
  require_time_budget(s.params.time_budget_s);
  if (s.windows) {
    require_windows(*s.ensemble, *s.windows);
    s.further = score_windows(*s.windows);
  }
}

ga::GaProblem problem_of(const SharedArgs& s) {
  ga::GaProblem p;
  p.ensemble = s.ensemble;
  p.constraints = s.constraints;
  p.sigma = s.sigma;
  p.weights = s.weights;
  p.lam = s.lam;
  p.lo_t = s.lo_t;
  p.hi_t = s.hi_t;
  p.background = s.background;
  p.n_bg = s.bg_cols == s.ensemble->n_features() ? s.n_bg : 0;
  p.windows = s.further;
  // The plausibility test needs both the model and its threshold.
  if (s.if_ensemble != nullptr && s.min_total_path) {
    p.if_ensemble = s.if_ensemble;
    p.min_total_path = *s.min_total_path;
  }
  if (s.change_rules.any()) p.change_rules = &s.change_rules;
  return p;
}

PyRef solve_genetic_raw(PyObject* args, PyObject* kwargs) {
  const Args a("solve_genetic_raw", args, kwargs,
               {"ensemble", "constraints", "x", "lo_t", "hi_t", "sigma", "weights", "lam",
                "background", "if_ensemble", "min_total_path", "seed", "population",
                "max_generations", "stall_generations", "time_budget_s", "stop",
                "max_changes", "exclude_offsets", "exclude_features", "diversity", "windows"},
               8, 16);
  SharedArgs s;
  s.ensemble = &to_ensemble(a[0], "ensemble");
  s.constraints = &to_constraints(a[1], "constraints");
  const std::vector<double> x = to_vector<double>(a[2], "x");
  s.lo_t = to_double(a[3], "lo_t");
  s.hi_t = to_double(a[4], "hi_t");
  s.sigma = to_vector<double>(a[5], "sigma");
  s.weights = to_vector<double>(a[6], "weights");
  s.lam = to_double(a[7], "lam");
  read_background(s, a[8]);
  s.if_ensemble = to_optional_ensemble(a[9], "if_ensemble");
  s.min_total_path = to_optional_double(a[10], "min_total_path");
  const std::optional<std::uint64_t> seed = to_optional_count(a[11], "seed");
  read_params(s.params, a[12], a[13], a[14], a[15]);
  const std::atomic<bool>* stop = to_optional_stop(a[16], "stop");
  s.windows = to_windows(a[21], "windows");

  require_width(s.ensemble->n_features(), x.size());
  require_no_infinity(x, "x");
  s.change_rules = read_change_rules(a[17], a[18], a[19], a[20], x.size());
  check_shared(s);
  const ga::GaProblem problem = problem_of(s);

  ReleasedLock released(stop);
  Watch watch(released.probe_fn());
  auto outcome = ga::solve_genetic(problem, x, seed, s.params, &watch);
  if (outcome.is_interrupted()) released.raise_pending();
  released.reacquire();
  const ga::GaResult& r = outcome.result();
  PyRef row = r.best ? to_numpy(*r.best) : PyRef::borrow(Py_None);
  PyRef generations = checked(PyLong_FromSize_t(r.generations));
  return checked(PyTuple_Pack(2, row.get(), generations.get()));
}

// Any array that is not two-dimensional, or not `width` columns wide, is refused by
// value whatever its dtype and layout: it cannot be a matrix of factual rows. (The width
// is checked before any argument's layout.)
void require_matrix_shape(PyObject* obj, const char* name, std::size_t width) {
  if (obj != nullptr && PyArray_Check(obj)) {
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    const int ndim = PyArray_NDIM(arr);
    if (ndim != 2) {
      throw ValidationError(std::string(name) + " must be a 2-D array, got " +
                            std::to_string(ndim) + "-D");
    }
    require_width(width, static_cast<std::size_t>(PyArray_DIM(arr, 1)));
  }
}

// Every factual value must be finite or NaN (missing), as for the exact search.
void require_finite_rows(const MatrixArg& m, const char* name) {
  // Over the values, not the rows: a zero-width view may claim any number of rows.
  for (std::size_t i = 0; i < m.rows * m.cols; ++i) {
    if (std::isinf(m.data[i])) {
      throw ValidationError(std::string(name) + "[" + std::to_string(i / m.cols) + ", " +
                            std::to_string(i % m.cols) + "] is infinite");
    }
  }
}

PyRef new_matrix(const std::vector<double>& values, std::size_t rows, std::size_t cols) {
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
  PyRef arr = checked(PyArray_SimpleNew(2, dims, NPY_FLOAT64));
  if (!values.empty()) {
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(arr.get())), values.data(),
                values.size() * sizeof(double));
  }
  return arr;
}

PyRef solve_genetic_batch_raw(PyObject* args, PyObject* kwargs) {
  const Args a("solve_genetic_batch_raw", args, kwargs,
               {"ensemble", "constraints", "x_rows", "task_row", "task_seed", "lo_t", "hi_t",
                "sigma", "weights", "lam", "background", "if_ensemble", "min_total_path",
                "population", "max_generations", "stall_generations", "time_budget_s",
                "stop", "max_changes", "windows"},
               10, 17);
  SharedArgs s;
  s.ensemble = &to_ensemble(a[0], "ensemble");
  s.constraints = &to_constraints(a[1], "constraints");
  const std::size_t p = s.ensemble->n_features();
  require_matrix_shape(a[2], "x_rows", p);
  const MatrixArg rows = to_matrix(a[2], "x_rows");
  const auto task_row = to_vector<std::uint64_t>(a[3], "task_row");
  const auto task_seed = to_vector<std::uint64_t>(a[4], "task_seed");
  s.lo_t = to_double(a[5], "lo_t");
  s.hi_t = to_double(a[6], "hi_t");
  s.sigma = to_vector<double>(a[7], "sigma");
  s.weights = to_vector<double>(a[8], "weights");
  s.lam = to_double(a[9], "lam");
  read_background(s, a[10]);
  s.if_ensemble = to_optional_ensemble(a[11], "if_ensemble");
  s.min_total_path = to_optional_double(a[12], "min_total_path");
  read_params(s.params, a[13], a[14], a[15], a[16]);
  const std::atomic<bool>* stop = to_optional_stop(a[17], "stop");
  s.windows = to_windows(a[19], "windows");

  s.change_rules = read_change_rules(a[18], nullptr, nullptr, nullptr, p);
  if (task_row.size() != task_seed.size()) {
    throw ValidationError("task_row and task_seed must have the same length");
  }
  for (std::uint64_t r : task_row) {
    if (r >= rows.rows) throw ValidationError("task_row index out of range");
  }
  require_finite_rows(rows, "x_rows");
  check_shared(s);
  const ga::GaProblem problem = problem_of(s);
  const std::vector<double> x_rows = copy_rows(rows);
  std::vector<ga::GaTask> tasks(task_row.size());
  for (std::size_t k = 0; k < tasks.size(); ++k) tasks[k] = {task_row[k], task_seed[k]};

  ReleasedLock released(stop);
  Watch watch(released.probe_fn());
  auto outcome = ga::solve_genetic_batch(problem, x_rows, rows.rows, tasks, s.params, watch);
  if (outcome.is_interrupted()) released.raise_pending();
  released.reacquire();
  const ga::GaBatchResult& r = outcome.result();
  PyRef x_cf = new_matrix(r.x_cf, tasks.size(), p);
  PyRef feasible = to_numpy_bool(r.feasible);
  PyRef generations = to_numpy(r.generations);
  return checked(PyTuple_Pack(3, x_cf.get(), feasible.get(), generations.get()));
}

}  // namespace

PyObject* py_solve_genetic_raw(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return solve_genetic_raw(args, kwargs); });
}

PyObject* py_solve_genetic_batch_raw(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return solve_genetic_batch_raw(args, kwargs); });
}

}  // namespace morvel::py
