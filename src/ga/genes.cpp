#include "ga/genes.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "errors.hpp"

namespace morvel::ga {
namespace {

constexpr double kMissingChance = 0.15;    // of a mutation, on features that may go missing
constexpr double kCandidateChance = 0.6;   // of a numeric mutation (including the above)
constexpr double kMinStepScale = 1e-9;

// Whether every allowed-category entry of feature j admits code v (true without entries).
bool code_allowed(const Constraints& c, std::size_t j, double v) {
  for (const AllowedCategories& ac : c.allowed_categories) {
    if (ac.feature != j) continue;
    if (!(v >= 0.0 && v == std::trunc(v) && v / 64.0 < static_cast<double>(ac.words.size()))) {
      return false;
    }
    const auto code = static_cast<std::uint64_t>(v);
    if (((ac.words[code / 64] >> (code % 64)) & 1u) == 0) return false;
  }
  return true;
}

// The first allowed code of every category block, then the factual code if allowed.
std::vector<double> category_candidates(const Constraints& c, const BlockList& blocks,
                                        std::size_t j, double factual) {
  std::vector<double> out;
  for (const Block& block : blocks) {
    for (std::uint32_t code : block) {
      if (code_allowed(c, j, code)) {
        out.push_back(code);
        break;
      }
    }
  }
  if (!std::isnan(factual) && code_allowed(c, j, factual) &&
      std::find(out.begin(), out.end(), factual) == out.end()) {
    out.push_back(factual);
  }
  return out;
}

// The point of every model cell nearest to the factual value (0 when missing).
std::vector<double> numeric_candidates(const CellList& cells, double factual) {
  const double target = std::isnan(factual) ? 0.0 : factual;
  std::vector<double> out;
  out.reserve(cells.size());
  for (const Cell& cell : cells) out.push_back(cell.nearest_to(target));
  return out;
}

}  // namespace

Genes make_genes(const Ensemble& ensemble, const Constraints& constraints,
                 std::span<const double> x, std::span<const double> sigma, Watch* watch) {
  return make_genes(ensemble, constraints, x, sigma, ensemble.feature_cells(),
                    ensemble.category_blocks(), watch);
}

Genes make_genes(const Ensemble& ensemble, const Constraints& constraints,
                 std::span<const double> x, std::span<const double> sigma,
                 const FeatureCells& cells, const CategoryBlocks& blocks, Watch* watch) {
  const std::size_t p = ensemble.n_features();
  ensure(x.size() == p && sigma.size() >= p && constraints.n_features == p &&
             cells.size() == p && blocks.size() == p,
         "genetic search inputs do not cover the model's features");
  Genes g;
  g.x = x;
  g.sigma = sigma;
  g.locked.assign(p, 0);
  g.may_go_missing.assign(p, 0);
  g.categorical.assign(p, 0);
  g.candidates.resize(p);

  const InstanceBounds bounds = constraints.instance_bounds(x);
  std::vector<std::uint8_t> has_missing_entry(p, 0);
  for (const AllowMissing& am : constraints.allow_missing) {
    has_missing_entry[constraints.feature_index(am.feature)] = 1;
  }
  for (std::size_t j = 0; j < p; ++j) {
    if (watch != nullptr) watch->check();
    g.categorical[j] = ensemble.is_categorical_feature(j) ? 1 : 0;
    g.locked[j] = bounds.fixed[j] != 0 || (std::isnan(x[j]) && has_missing_entry[j] == 0);
    if (g.locked[j]) continue;
    g.free.push_back(j);
    g.may_go_missing[j] = has_missing_entry[j];
    g.candidates[j] = g.categorical[j] ? category_candidates(constraints, blocks[j], j, x[j])
                                       : numeric_candidates(cells[j], x[j]);
  }
  return g;
}

double Genes::mutate_value(std::size_t j, double current, Rng& rng) const {
  const double o = rng.uniform();
  if (may_go_missing[j] && o < kMissingChance) return std::numeric_limits<double>::quiet_NaN();
  const std::vector<double>& cand = candidates[j];
  if (!cand.empty() && (categorical[j] || o < kCandidateChance)) {
    return cand[rng.index(cand.size())];
  }
  if (cand.empty() && categorical[j]) return current;
  const double from = std::isnan(current) ? 0.0 : current;
  return from + std::max(sigma[j], kMinStepScale) * rng.normal();
}

}  // namespace morvel::ga
