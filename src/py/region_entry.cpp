// compute_region_raw: grows a certified recourse region around a counterfactual and
// returns it as a dictionary of new NumPy arrays.
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "checks.hpp"
#include "constraints.hpp"
#include "convert.hpp"
#include "entries.hpp"
#include "guarded.hpp"
#include "ir.hpp"
#include "change_rules.hpp"
#include "regions/growth.hpp"
#include "watch.hpp"

namespace morvel::py {
namespace {

std::string number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

void require_length(const char* name, std::size_t got, std::size_t expected) {
  if (got != expected) {
    throw ValidationError("array " + std::string(name) + " has length " + std::to_string(got) +
                          ", expected " + std::to_string(expected));
  }
}

std::string at(std::size_t f) { return "x_cf[" + std::to_string(f) + "]"; }

// Feature indices that the caller lists must address a column of the row.
void require_features(const char* name, std::span<const std::uint32_t> features, std::size_t n) {
  for (std::size_t k = 0; k < features.size(); ++k) {
    if (features[k] >= n) {
      throw ValidationError(std::string(name) + "[" + std::to_string(k) + "] = " +
                            std::to_string(features[k]) + " is out of range for " +
                            std::to_string(n) + " features");
    }
  }
}

// A NaN bound would read as no bound at all.
void require_bounds(const char* name, std::span<const double> bounds) {
  for (std::size_t f = 0; f < bounds.size(); ++f) {
    if (std::isnan(bounds[f])) {
      throw ValidationError(std::string(name) + "[" + std::to_string(f) + "] is NaN");
    }
  }
}

// The growth assumes its starting point is a valid counterfactual that lies in a cell of
// every open feature; anything else would come back as a certificate for a box around an
// invalid row, so it is rejected here.
void require_valid_start(const regions::RegionInputs& in) {
  const auto& x = in.x_cf;
  for (std::uint32_t f : in.open_set) {
    const double v = x[f];
    if (std::isnan(v)) throw ValidationError(at(f) + " is missing, but the feature is open");
    if (std::isinf(v)) throw ValidationError(at(f) + " is infinite, but the feature is open");
    if (v < in.lo_b[f] || v > in.hi_b[f]) {
      throw ValidationError(at(f) + " = " + number(v) + " lies outside the instance bounds [" +
                            number(in.lo_b[f]) + ", " + number(in.hi_b[f]) + "]");
    }
  }
  for (const regions::OpenCategorical& oc : in.cat_open) {
    const std::size_t f = oc.feature;
    const double v = x[f];
    if (!(v >= 0.0 && v <= 4294967295.0 && v == std::trunc(v))) {
      throw ValidationError(at(f) + " = " + number(v) +
                            " is not a category code, but the feature is open");
    }
    for (std::uint32_t g : in.open_set) {
      if (g == f) {
        throw ValidationError("feature " + std::to_string(f) + " is in both open_set and cat_open");
      }
    }
  }
  const double score = in.ensemble->raw_score(x.data());
  if (!(score >= in.lo_t && score <= in.hi_t)) {
    throw ValidationError("x_cf scores " + number(score) + ", outside the target window [" +
                          number(in.lo_t) + ", " + number(in.hi_t) + "]");
  }
  for (std::size_t k = 0; k < in.windows.size(); ++k) {
    const ScoreWindow& w = in.windows[k].window;
    const double s = w.ensemble->raw_score(x.data());
    if (!w.contains(s)) {
      throw ValidationError("x_cf scores " + number(s) + " on windows[" + std::to_string(k) +
                            "], outside its window [" + number(w.lo) + ", " + number(w.hi) +
                            "]");
    }
  }
  if (in.if_ensemble != nullptr) {
    const double path = in.if_ensemble->raw_score(x.data());
    if (!(path >= in.min_total_path)) {
      throw ValidationError("x_cf has total path length " + number(path) +
                            " in if_ensemble, below min_total_path " + number(in.min_total_path));
    }
  }
  const auto& linear = in.constraints->linear;
  for (std::size_t k = 0; k < linear.size(); ++k) {
    for (std::uint32_t j : linear[k].indices) in.constraints->feature_index(j);
    if (!regions::linear_holds(linear[k], x, x, x)) {
      throw ValidationError("x_cf breaks linear constraint " + std::to_string(k));
    }
  }
}

template <class T>
void set_item(PyObject* dict, const char* key, const std::vector<T>& values) {
  PyRef arr = to_numpy(values);
  if (PyDict_SetItemString(dict, key, arr.get()) < 0) throw PyErrAlreadySet{};
}

PyRef result_dict(const regions::RegionResult& r, std::size_t n) {
  std::vector<std::uint32_t> offsets{0}, members;
  for (const auto& set : r.grown) {
    members.insert(members.end(), set.begin(), set.end());
    ensure(members.size() <= std::numeric_limits<std::uint32_t>::max(),
           "grown category sets fit 32-bit offsets");
    offsets.push_back(static_cast<std::uint32_t>(members.size()));
  }
  std::vector<std::uint32_t> w_features;
  std::vector<std::uint8_t> w_sides;
  std::vector<double> w_points;
  w_points.reserve(r.witnesses.size() * n);
  for (const regions::Witness& w : r.witnesses) {
    ensure(w.point.size() == n, "a witness has one value per feature");
    w_features.push_back(w.feature);
    w_sides.push_back(static_cast<std::uint8_t>(w.side));
    w_points.insert(w_points.end(), w.point.begin(), w.point.end());
  }
  PyRef dict = checked(PyDict_New());
  set_item(dict.get(), "lo", r.lo);
  set_item(dict.get(), "hi", r.hi);
  set_item(dict.get(), "grown_offsets", offsets);
  set_item(dict.get(), "grown_members", members);
  set_item(dict.get(), "maximal_lo", r.maximal_lo);
  set_item(dict.get(), "maximal_hi", r.maximal_hi);
  set_item(dict.get(), "maximal_cat", r.maximal_cat);
  set_item(dict.get(), "used_lo", r.used_lo);
  set_item(dict.get(), "used_hi", r.used_hi);
  set_item(dict.get(), "used_cat", r.used_cat);
  set_item(dict.get(), "witness_features", w_features);
  set_item(dict.get(), "witness_sides", w_sides);
  set_item(dict.get(), "witness_points", w_points);
  return dict;
}

PyRef compute_region_raw(PyObject* args, PyObject* kwargs) {
  const Args a(
      "compute_region_raw", args, kwargs,
      {"ensemble", "missing_defined", "constraints", "x_cf", "lo_t", "hi_t", "lo_b", "hi_b",
       "open_set", "if_ensemble", "if_missing_defined", "min_total_path", "cat_open",
       "cat_feat_offsets", "cat_block_offsets", "cat_members", "maximal", "budget", "stop",
       "x", "max_changes", "windows"},
      9, 18);
  regions::RegionInputs in;
  in.ensemble = &to_ensemble(a[0], "ensemble");
  const auto missing_defined = to_vector<std::uint8_t>(a[1], "missing_defined");
  in.constraints = &to_constraints(a[2], "constraints");
  const auto x_cf = to_vector<double>(a[3], "x_cf");
  in.lo_t = to_double(a[4], "lo_t");
  in.hi_t = to_double(a[5], "hi_t");
  const auto lo_b = to_vector<double>(a[6], "lo_b");
  const auto hi_b = to_vector<double>(a[7], "hi_b");
  const auto open_set = to_vector<std::uint32_t>(a[8], "open_set");
  const Ensemble* if_ensemble = to_optional_ensemble(a[9], "if_ensemble");
  const auto if_missing_defined = to_optional_vector<std::uint8_t>(a[10], "if_missing_defined");
  const auto min_total_path = to_optional_double(a[11], "min_total_path");
  const auto cat_open = to_optional_vector<std::uint32_t>(a[12], "cat_open");
  const auto cat_feat_offsets = to_optional_vector<std::uint32_t>(a[13], "cat_feat_offsets");
  const auto cat_block_offsets = to_optional_vector<std::uint32_t>(a[14], "cat_block_offsets");
  const auto cat_members = to_optional_vector<std::uint32_t>(a[15], "cat_members");
  in.maximal = to_bool(a[16], "maximal", false);
  in.budget = a[17] ? to_count(a[17], "budget") : 100000;
  const std::atomic<bool>* stop = to_optional_stop(a[18], "stop");
  const auto x = to_optional_vector<double>(a[19], "x");
  const auto max_changes = to_optional_count(a[20], "max_changes");
  const auto windows = to_windows(a[21], "windows");

  const Ensemble& e = *in.ensemble;
  const std::size_t n = e.n_features();
  require_length("missing_defined", missing_defined.size(), e.n_nodes());
  require_length("x_cf", x_cf.size(), n);
  require_length("lo_b", lo_b.size(), n);
  require_length("hi_b", hi_b.size(), n);
  require_bounds("lo_b", lo_b);
  require_bounds("hi_b", hi_b);
  require_features("open_set", open_set, n);
  if (cat_open) require_features("cat_open", *cat_open, n);
  if (in.constraints->n_features != n) {
    throw ValidationError("constraints have " + std::to_string(in.constraints->n_features) +
                          " features, the ensemble has " + std::to_string(n));
  }
  require_window(in.lo_t, in.hi_t);
  require_not_nan(min_total_path, "min_total_path");
  // The plausibility test takes part only when both the ensemble and its flags are given.
  std::vector<std::uint8_t> if_flags;
  if (if_ensemble != nullptr && if_missing_defined) {
    if (if_ensemble->n_features() != n) {
      throw ValidationError("if_ensemble has " + std::to_string(if_ensemble->n_features()) +
                            " features, the ensemble has " + std::to_string(n));
    }
    require_length("if_missing_defined", if_missing_defined->size(), if_ensemble->n_nodes());
    in.if_ensemble = if_ensemble;
    if_flags = *if_missing_defined;
  }
  in.min_total_path = min_total_path.value_or(0.0);
  // A window without flags routes NaN to every node's missing side, as the searches do.
  std::vector<std::vector<std::uint8_t>> window_flags;
  std::vector<regions::RegionWindow> further;
  if (windows) {
    require_windows(e, *windows);
    for (const WindowArg& w : *windows) {
      window_flags.push_back(w.missing_defined.value_or(
          std::vector<std::uint8_t>(w.ensemble->n_nodes(), 1)));
      for (std::uint8_t& f : window_flags.back()) f = f != 0;
    }
    for (std::size_t k = 0; k < windows->size(); ++k) {
      const WindowArg& w = (*windows)[k];
      further.push_back({ScoreWindow{w.ensemble, w.lo, w.hi}, window_flags[k]});
    }
  }
  in.windows = further;

  const std::vector<std::uint32_t> none;
  std::vector<regions::OpenCategorical> blocks =
      regions::gather_category_blocks(cat_open.value_or(none), cat_feat_offsets.value_or(none),
                                      cat_block_offsets.value_or(none), cat_members.value_or(none));
  std::vector<std::uint32_t> open = open_set;
  if (max_changes) {
    if (!x) throw ValidationError("max_changes needs x, the factual row");
    require_length("x", x->size(), n);
    const std::size_t changed = change_set(*x, x_cf.data()).size();
    if (changed > *max_changes) {
      throw ValidationError("x_cf changes " + std::to_string(changed) +
                            " features, more than max_changes " + std::to_string(*max_changes));
    }
    regions::keep_changed_only(*x, x_cf, open, blocks);
  }

  // Nonzero flags are true; the core reads them as 0/1.
  std::vector<std::uint8_t> flags(missing_defined.size());
  for (std::size_t i = 0; i < flags.size(); ++i) flags[i] = missing_defined[i] != 0;
  for (std::uint8_t& f : if_flags) f = f != 0;
  in.missing_defined = flags;
  in.if_missing_defined = if_flags;
  in.x_cf = x_cf;
  in.lo_b = lo_b;
  in.hi_b = hi_b;
  in.open_set = open;
  in.cat_open = blocks;
  require_valid_start(in);

  ReleasedLock released(stop);
  Watch watch(released.probe_fn());
  auto outcome = regions::recourse_region(in, watch);
  if (outcome.is_interrupted()) released.raise_pending();
  released.reacquire();
  return result_dict(outcome.result(), n);
}

}  // namespace

PyObject* py_compute_region_raw(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return compute_region_raw(args, kwargs); });
}

}  // namespace morvel::py
