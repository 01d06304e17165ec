// Region growth: the passes over the open features, the certification test, and the
// maximal mode's handling of rejected extensions.
#include "regions/growth.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <utility>

#include "change_rules.hpp"
#include "errors.hpp"
#include "exact/domains.hpp"
#include "ir.hpp"
#include "regions/brackets.hpp"
#include "regions/cell_ends.hpp"
#include "regions/region_slab.hpp"
#include "watch.hpp"

namespace morvel::regions {
namespace {

constexpr double kLinearTolerance = 1e-9;
constexpr std::uint64_t kProbeEvery = 64;  // attempts between interrupt probes

// Whether sum over c's terms of coefs * point holds c's operator (same tolerance).
bool point_holds(const LinearC& c, std::span<const double> point) {
  double sum = 0.0;
  for (std::size_t k = 0; k < c.indices.size(); ++k) sum = sum + c.coefs[k] * point[c.indices[k]];
  const bool below = sum <= c.rhs + kLinearTolerance;
  const bool above = sum >= c.rhs - kLinearTolerance;
  if (c.op == 0) return below;
  if (c.op == 1) return above;
  return below && above;
}

class RegionGrowth {
 public:
  RegionGrowth(const RegionInputs& in, Watch& watch);
  SearchOutcome<RegionResult> run();

 private:
  enum class Step : std::uint8_t { Grew, Stayed, Interrupted };

  bool passes_linear(std::size_t* first_failing) const;
  bool passes_score() const;
  void update_caches(std::size_t f);
  void move_end(std::size_t f, Side side, double value);
  void restore_caches();
  bool count_attempts(std::uint64_t n);  // true: stop

  Step numeric_side(std::size_t f, Side side);
  Step maximal_side(std::size_t f, Side side);
  Step maximal_rejected(std::size_t f, Side side, double old_end, const Edge& edge);
  Step category_feature(std::size_t i);
  Step maximal_block(std::size_t i, std::size_t b);
  void record(std::uint32_t feature, Side side, std::vector<double> point);
  std::vector<double> linear_witness(const LinearC& c) const;

  double& end(std::size_t f, Side side) { return side == Side::Upper ? hi_[f] : lo_[f]; }

  const RegionInputs& in_;
  Watch& watch_;
  std::size_t n_;
  FeatureCells cells_;
  CategoryBlocks blocks_;
  std::vector<std::uint8_t> missing_;
  std::vector<double> lo_, hi_;
  std::vector<std::vector<std::uint32_t>> cats_;  // kept ascending
  BoxView box_;
  Growth growth_;
  // The model, the plausibility ensemble (when tested) and the further windows' ensembles,
  // laid out for bracket walks; every window over them, and one cache per window.
  std::vector<BracketModel> layouts_;
  std::vector<BracketWindow> further_, windows_;
  std::vector<BracketCache> caches_;
  std::vector<BracketUndo> undos_;
  std::vector<std::uint8_t> done_lo_, done_hi_;
  std::vector<std::uint8_t> undecided_;             // per open categorical feature
  std::vector<std::vector<std::uint8_t>> settled_;  // per open categorical feature, block
  std::vector<std::uint32_t> new_members_, saved_set_;
  std::vector<double> slab_lo_, slab_hi_;
  RegionResult result_;
  std::uint64_t attempts_ = 0;
};

RegionGrowth::RegionGrowth(const RegionInputs& in, Watch& watch)
    : in_(in), watch_(watch), n_(in.x_cf.size()) {
  const Ensemble& e = *in.ensemble;
  ensure(e.n_features() == n_ && in.lo_b.size() == n_ && in.hi_b.size() == n_,
         "region inputs cover every feature");
  ensure(in.constraints->n_features == n_, "constraints cover every feature");
  for (const LinearC& c : in.constraints->linear) {
    for (std::uint32_t j : c.indices) in.constraints->feature_index(j);
  }
  std::vector<const Ensemble*> ensembles{&e};
  if (in.if_ensemble != nullptr) ensembles.push_back(in.if_ensemble);
  for (const RegionWindow& w : in.windows) {
    ensure(w.window.ensemble != nullptr && w.window.ensemble->n_features() == n_,
           "a window's ensemble covers every feature");
    ensembles.push_back(w.window.ensemble);
  }
  cells_ = exact::constraint_cells(*in.constraints, ensembles);

  missing_.resize(n_);
  for (std::size_t f = 0; f < n_; ++f) missing_[f] = std::isnan(in.x_cf[f]) ? 1 : 0;
  lo_.assign(in.x_cf.begin(), in.x_cf.end());
  hi_ = lo_;
  cats_.resize(n_);
  blocks_.resize(n_);
  for (std::uint32_t f : in.open_set) {
    ensure(f < n_, "open feature index out of range");
    ensure(!missing_[f], "an open feature is not missing");
  }
  for (const OpenCategorical& oc : in.cat_open) {
    const std::size_t f = oc.feature;
    ensure(f < n_, "open categorical feature index out of range");
    ensure(!missing_[f], "an open categorical feature is not missing");
    ensure(std::find(in.open_set.begin(), in.open_set.end(), oc.feature) == in.open_set.end(),
           "a feature grows either as an interval or as a category set");
    cats_[f].assign(1, code_of(in.x_cf[f]));
    blocks_[f] = oc.blocks;
  }
  box_ = BoxView{lo_, hi_, missing_, cats_};
  // Reserved up front: the windows and caches point into layouts_.
  layouts_.reserve(ensembles.size());
  layouts_.emplace_back(e, in.missing_defined);
  if (in.if_ensemble != nullptr) layouts_.emplace_back(*in.if_ensemble, in.if_missing_defined);
  for (const RegionWindow& w : in.windows) {
    layouts_.emplace_back(*w.window.ensemble, w.missing_defined);
    further_.push_back({&layouts_.back(), w.window.lo, w.window.hi});
  }
  growth_ = Growth{.model = &layouts_[0],
                   .if_model = in.if_ensemble != nullptr ? &layouts_[1] : nullptr,
                   .min_total_path = in.min_total_path,
                   .lo_t = in.lo_t,
                   .hi_t = in.hi_t,
                   .windows = further_,
                   .linear = in.constraints->linear,
                   .x_cf = in.x_cf,
                   .missing = missing_,
                   .cells = &cells_,
                   .blocks = &blocks_,
                   .budget = in.maximal ? in.budget : 0};
  windows_ = growth_.all_windows();
  caches_.reserve(windows_.size());
  for (const BracketWindow& w : windows_) caches_.emplace_back(*w.model, box_);
  undos_.resize(windows_.size());
  done_lo_.assign(n_, 0);
  done_hi_.assign(n_, 0);
  undecided_.assign(in.cat_open.size(), 0);
  settled_.resize(in.cat_open.size());
  for (std::size_t i = 0; i < in.cat_open.size(); ++i) {
    settled_[i].assign(in.cat_open[i].blocks.size(), 0);
  }
  result_.maximal_lo.assign(n_, 0);
  result_.maximal_hi.assign(n_, 0);
  result_.used_lo.assign(n_, 0);
  result_.used_hi.assign(n_, 0);
  result_.maximal_cat.assign(in.cat_open.size(), 0);
  result_.used_cat.assign(in.cat_open.size(), 0);
}

bool RegionGrowth::passes_linear(std::size_t* first_failing) const {
  const auto& linear = in_.constraints->linear;
  for (std::size_t k = 0; k < linear.size(); ++k) {
    if (!linear_holds(linear[k], in_.x_cf, lo_, hi_, cats_)) {
      if (first_failing != nullptr) *first_failing = k;
      return false;
    }
  }
  return true;
}

// Every window's score range over the box is defined and lies inside the window (for the
// plausibility threshold, whose window is open above, only the low end can fail).
bool RegionGrowth::passes_score() const {
  for (std::size_t k = 0; k < windows_.size(); ++k) {
    const MaybeBracket range = caches_[k].score_range();
    if (!range || !(range->low >= windows_[k].lo) || !(range->high <= windows_[k].hi)) {
      return false;
    }
  }
  return true;
}

void RegionGrowth::update_caches(std::size_t f) {
  for (std::size_t k = 0; k < caches_.size(); ++k) {
    undos_[k].clear();
    caches_[k].update(f, box_, undos_[k]);
  }
}

// Moves one end of numeric feature f and brings every cache up to date.
void RegionGrowth::move_end(std::size_t f, Side side, double value) {
  const double old_lo = lo_[f], old_hi = hi_[f];
  end(f, side) = value;
  for (std::size_t k = 0; k < caches_.size(); ++k) {
    undos_[k].clear();
    caches_[k].update_extent(f, old_lo, old_hi, box_, undos_[k]);
  }
}

void RegionGrowth::restore_caches() {
  for (std::size_t k = 0; k < caches_.size(); ++k) caches_[k].restore(undos_[k]);
}

bool RegionGrowth::count_attempts(std::uint64_t n) {
  attempts_ += n;
  if (attempts_ % kProbeEvery == 0 && watch_.probe_now()) return true;
  return watch_.tick();
}

void RegionGrowth::record(std::uint32_t feature, Side side, std::vector<double> point) {
  result_.witnesses.push_back(Witness{feature, side, std::move(point)});
}

RegionGrowth::Step RegionGrowth::numeric_side(std::size_t f, Side side) {
  if (in_.maximal) return maximal_side(f, side);
  double& x = end(f, side);
  const double old_end = x;
  const auto edge = next_edge(cells_[f], side, old_end, in_.lo_b[f], in_.hi_b[f]);
  if (!edge) return Step::Stayed;
  move_end(f, side, edge->value);
  if (passes_linear(nullptr) && passes_score()) return Step::Grew;
  restore_caches();
  x = old_end;
  return Step::Stayed;
}

RegionGrowth::Step RegionGrowth::maximal_side(std::size_t f, Side side) {
  std::uint8_t& done = side == Side::Upper ? done_hi_[f] : done_lo_[f];
  std::uint8_t& maximal = side == Side::Upper ? result_.maximal_hi[f] : result_.maximal_lo[f];
  if (done) return Step::Stayed;
  done = 1;
  double& x = end(f, side);
  const double old_end = x;
  const auto edge = next_edge(cells_[f], side, old_end, in_.lo_b[f], in_.hi_b[f]);
  if (!edge) {
    maximal = 1;  // nothing admissible lies beyond this end
    return Step::Stayed;
  }
  move_end(f, side, edge->value);
  std::size_t failing = 0;
  if (!passes_linear(&failing)) {
    std::vector<double> point = linear_witness(in_.constraints->linear[failing]);
    restore_caches();
    x = old_end;
    // A constraint that names one feature twice can defeat the corner choice; a point that
    // meets the constraint proves nothing and leaves the side undecided.
    if (!point_holds(in_.constraints->linear[failing], point)) {
      maximal = 1;
      record(static_cast<std::uint32_t>(f), side, std::move(point));
    }
    return Step::Stayed;
  }
  if (passes_score()) {
    done = 0;
    return Step::Grew;
  }
  const Step step = maximal_rejected(f, side, old_end, *edge);
  if (step == Step::Grew) done = 0;
  return step;
}

// The extension to `edge` failed the bracket test on score, plausibility or an undefined
// bracket; the caches and the end hold the extension.
RegionGrowth::Step RegionGrowth::maximal_rejected(std::size_t f, Side side, double old_end,
                                                  const Edge& edge) {
  const Cell& cell = cells_[f][edge.cell];
  // Trees cannot tell two values of one cell apart: every new point routes like a point
  // the box already held. (An infinite end lies outside every cell and is searched.)
  if (cell.contains(old_end) && cell.contains(edge.value)) return Step::Grew;
  const Cell slab_cell = clip_to(cell, in_.lo_b[f], in_.hi_b[f]);
  ensure(!is_empty(slab_cell), "the edge came from this very intersection");
  slab_lo_ = lo_;
  slab_hi_ = hi_;
  slab_lo_[f] = achievable_bottom(slab_cell);
  slab_hi_[f] = achievable_top(slab_cell);
  std::uint64_t& used = side == Side::Upper ? result_.used_hi[f] : result_.used_lo[f];
  const std::uint64_t remaining = in_.budget > used ? in_.budget - used : 0;
  SlabResult r = search_slab(
      growth_.slab_problem(slab_lo_, slab_hi_, cats_, SlabKind::Numeric, f, {}), remaining, watch_);
  used += r.nodes;
  switch (r.outcome.kind) {
    case SlabOutcome::Kind::Certified:
      return Step::Grew;
    case SlabOutcome::Kind::Interrupted:
      return Step::Interrupted;
    case SlabOutcome::Kind::Witness:
      (side == Side::Upper ? result_.maximal_hi[f] : result_.maximal_lo[f]) = 1;
      record(static_cast<std::uint32_t>(f), side, std::move(r.outcome.point));
      break;
    case SlabOutcome::Kind::Undecided:
      break;
  }
  restore_caches();
  end(f, side) = old_end;
  return Step::Stayed;
}

// x_cf with c's features at the box corner that pushes c's left side furthest past rhs.
std::vector<double> RegionGrowth::linear_witness(const LinearC& c) const {
  // An open categorical feature ranges over its smallest to its largest admitted code.
  auto low = [&](std::size_t j) { return cats_[j].empty() ? lo_[j] : cats_[j].front(); };
  auto high = [&](std::size_t j) { return cats_[j].empty() ? hi_[j] : cats_[j].back(); };
  double max = 0.0;
  for (std::size_t k = 0; k < c.indices.size(); ++k) {
    const std::size_t j = c.indices[k];
    max = max + std::max(c.coefs[k] * low(j), c.coefs[k] * high(j));
  }
  const bool maximise = c.op == 0 || (c.op != 1 && max > c.rhs + kLinearTolerance);
  std::vector<double> point(in_.x_cf.begin(), in_.x_cf.end());
  for (std::size_t k = 0; k < c.indices.size(); ++k) {
    const std::size_t j = c.indices[k];
    point[j] = (c.coefs[k] > 0.0) == maximise ? high(j) : low(j);
  }
  return point;
}

RegionGrowth::Step RegionGrowth::category_feature(std::size_t i) {
  const OpenCategorical& oc = in_.cat_open[i];
  const std::size_t f = oc.feature;
  std::vector<std::uint32_t>& set = cats_[f];
  bool grew = false;
  for (std::size_t b = 0; b < oc.blocks.size(); ++b) {
    new_members_.clear();
    for (std::uint32_t c : oc.blocks[b]) {
      if (!std::binary_search(set.begin(), set.end(), c)) new_members_.push_back(c);
    }
    if (new_members_.empty() || (in_.maximal && settled_[i][b])) continue;
    std::sort(new_members_.begin(), new_members_.end());
    new_members_.erase(std::unique(new_members_.begin(), new_members_.end()), new_members_.end());
    saved_set_ = set;
    set.insert(set.end(), new_members_.begin(), new_members_.end());
    std::inplace_merge(set.begin(), set.begin() + static_cast<std::ptrdiff_t>(saved_set_.size()),
                       set.end());
    update_caches(f);
    std::size_t failing = 0;
    const bool linear_ok = passes_linear(&failing);
    if (linear_ok && passes_score()) {
      grew = true;
    } else if (!in_.maximal) {
      std::swap(set, saved_set_);  // the set without the new members
      restore_caches();
    } else if (!linear_ok) {
      // The slab search knows nothing of linear constraints: settle the block by the
      // corner that breaks the first failing one, as for a numeric side.
      const LinearC& c = in_.constraints->linear[failing];
      std::vector<double> point = linear_witness(c);
      std::swap(set, saved_set_);
      restore_caches();
      if (point_holds(c, point)) {
        undecided_[i] = 1;
      } else {
        settled_[i][b] = 1;
        record(static_cast<std::uint32_t>(f), Side::Block, std::move(point));
      }
    } else {
      std::swap(set, saved_set_);
      const Step step = maximal_block(i, b);
      if (step == Step::Interrupted) return step;
      grew |= step == Step::Grew;
    }
    if (count_attempts(1)) return Step::Interrupted;
  }
  return grew ? Step::Grew : Step::Stayed;
}

// Block b of open categorical feature i failed the bracket test. The set is back to what
// it was before the attempt, new_members_ holds the block's new codes, and the caches
// still hold the brackets of the extended set (their undo lists restore them).
RegionGrowth::Step RegionGrowth::maximal_block(std::size_t i, std::size_t b) {
  const std::size_t f = in_.cat_open[i].feature;
  const std::uint64_t remaining =
      in_.budget > result_.used_cat[i] ? in_.budget - result_.used_cat[i] : 0;
  SlabResult r =
      search_slab(growth_.slab_problem(lo_, hi_, cats_, SlabKind::CategoryBlock, f, new_members_),
                  remaining, watch_);
  result_.used_cat[i] += r.nodes;
  switch (r.outcome.kind) {
    case SlabOutcome::Kind::Certified: {
      std::vector<std::uint32_t>& set = cats_[f];
      const auto old_size = static_cast<std::ptrdiff_t>(set.size());
      set.insert(set.end(), new_members_.begin(), new_members_.end());
      std::inplace_merge(set.begin(), set.begin() + old_size, set.end());
      return Step::Grew;
    }
    case SlabOutcome::Kind::Interrupted:
      return Step::Interrupted;
    case SlabOutcome::Kind::Witness:
      settled_[i][b] = 1;
      record(static_cast<std::uint32_t>(f), Side::Block, std::move(r.outcome.point));
      break;
    case SlabOutcome::Kind::Undecided:
      undecided_[i] = 1;
      break;
  }
  restore_caches();
  return Step::Stayed;
}

SearchOutcome<RegionResult> RegionGrowth::run() {
  using Outcome = SearchOutcome<RegionResult>;
  std::vector<std::uint32_t> active(in_.open_set.begin(), in_.open_set.end()), next;
  std::vector<std::size_t> cat_active(in_.cat_open.size()), cat_next;
  for (std::size_t i = 0; i < cat_active.size(); ++i) cat_active[i] = i;
  while (!active.empty() || !cat_active.empty()) {
    next.clear();
    for (std::uint32_t f : active) {
      const Step up = numeric_side(f, Side::Upper);
      if (up == Step::Interrupted) return Outcome::interrupted();
      const Step down = numeric_side(f, Side::Lower);
      if (down == Step::Interrupted) return Outcome::interrupted();
      if (up == Step::Grew || down == Step::Grew) next.push_back(f);
      if (count_attempts(2)) return Outcome::interrupted();
    }
    cat_next.clear();
    for (std::size_t i : cat_active) {
      const Step step = category_feature(i);
      if (step == Step::Interrupted) return Outcome::interrupted();
      if (step == Step::Grew) cat_next.push_back(i);
    }
    std::swap(active, next);
    std::swap(cat_active, cat_next);
  }

  result_.lo = lo_;
  result_.hi = hi_;
  for (std::size_t i = 0; i < in_.cat_open.size(); ++i) {
    const std::vector<std::uint32_t>& set = cats_[in_.cat_open[i].feature];
    result_.grown.push_back(set);
    if (!in_.maximal) continue;
    bool all_settled = !undecided_[i];
    const BlockList& blocks = in_.cat_open[i].blocks;
    for (std::size_t b = 0; b < blocks.size() && all_settled; ++b) {
      const bool inside = std::all_of(blocks[b].begin(), blocks[b].end(), [&](std::uint32_t c) {
        return std::binary_search(set.begin(), set.end(), c);
      });
      all_settled = inside || settled_[i][b];
    }
    result_.maximal_cat[i] = all_settled ? 1 : 0;
  }
  return Outcome::completed(std::move(result_));
}

}  // namespace

std::uint32_t code_of(double v) {
  if (!(v > 0.0)) return 0;  // also NaN
  if (v >= 4294967295.0) return 4294967295u;
  return static_cast<std::uint32_t>(v);
}

std::optional<Edge> next_edge(std::span<const Cell> cells, Side side, double x, double lo_b,
                              double hi_b) {
  if (std::isinf(x)) return std::nullopt;
  const std::size_t k = cell_index(cells, x);
  const Cell own = clip_to(cells[k], lo_b, hi_b);
  ensure(!is_empty(own), "value is within the instance bounds by construction");
  if (side == Side::Upper) {
    const double top = achievable_top(own);
    if (x < top) return Edge{top, k};
    if (k + 1 == cells.size()) return std::nullopt;
    const Cell next = clip_to(cells[k + 1], lo_b, hi_b);
    if (is_empty(next)) return std::nullopt;
    return Edge{achievable_top(next), k + 1};
  }
  const double bottom = achievable_bottom(own);
  if (x > bottom) return Edge{bottom, k};
  if (k == 0) return std::nullopt;
  const Cell prev = clip_to(cells[k - 1], lo_b, hi_b);
  if (is_empty(prev)) return std::nullopt;
  return Edge{achievable_bottom(prev), k - 1};
}

bool linear_holds(const LinearC& c, std::span<const double> x_cf, std::span<const double> lo,
                  std::span<const double> hi, std::span<const std::vector<std::uint32_t>> cats) {
  for (std::uint32_t j : c.indices) {
    if (std::isnan(x_cf[j])) return c.policy == 0;
  }
  double max = 0.0, min = 0.0;
  for (std::size_t k = 0; k < c.indices.size(); ++k) {
    const double a = c.coefs[k];
    // A zero coefficient adds nothing, also at an infinite end (where 0 * inf is NaN).
    if (a == 0.0) continue;
    const std::size_t j = c.indices[k];
    const bool coded = j < cats.size() && !cats[j].empty();
    const double l = coded ? cats[j].front() : lo[j];
    const double h = coded ? cats[j].back() : hi[j];
    max = max + std::max(a * l, a * h);
    min = min + std::min(a * l, a * h);
  }
  const bool below = max <= c.rhs + kLinearTolerance;
  const bool above = min >= c.rhs - kLinearTolerance;
  if (c.op == 0) return below;
  if (c.op == 1) return above;
  return below && above;
}

std::vector<BracketWindow> Growth::all_windows() const {
  std::vector<BracketWindow> out{{model, lo_t, hi_t}};
  if (if_model != nullptr) {
    out.push_back({if_model, min_total_path, std::numeric_limits<double>::infinity()});
  }
  out.insert(out.end(), windows.begin(), windows.end());
  return out;
}

SearchOutcome<RegionResult> recourse_region(const RegionInputs& in, Watch& watch) {
  RegionGrowth growth(in, watch);
  return growth.run();
}

std::vector<OpenCategorical> gather_category_blocks(std::span<const std::uint32_t> cat_open,
                                                    std::span<const std::uint32_t> feat_offsets,
                                                    std::span<const std::uint32_t> block_offsets,
                                                    std::span<const std::uint32_t> members) {
  auto entry = [](const char* array, std::size_t k, std::uint32_t v) {
    return std::string(array) + "[" + std::to_string(k) + "] = " + std::to_string(v);
  };
  auto past = [](const std::string& what, const char* array, std::size_t length) {
    return ValidationError(what + " runs past " + array + " (length " + std::to_string(length) +
                           ")");
  };
  if (!cat_open.empty() && feat_offsets.size() <= cat_open.size()) {
    throw ValidationError("cat_feat_offsets has " + std::to_string(feat_offsets.size()) +
                          " entries, expected one more than the " +
                          std::to_string(cat_open.size()) + " of cat_open");
  }
  std::vector<OpenCategorical> out;
  out.reserve(cat_open.size());
  for (std::size_t i = 0; i < cat_open.size(); ++i) {
    const std::uint32_t b0 = feat_offsets[i];
    const std::uint32_t b1 = feat_offsets[i + 1];
    if (b1 < b0) throw ValidationError("cat_feat_offsets decreases at entry " + std::to_string(i + 1));
    if (b0 != b1 && b1 >= block_offsets.size()) {
      throw past(entry("cat_feat_offsets", i + 1, b1), "cat_block_offsets", block_offsets.size());
    }
    OpenCategorical oc{cat_open[i], {}};
    for (std::uint32_t b = b0; b < b1; ++b) {
      const std::uint32_t m0 = block_offsets[b];
      const std::uint32_t m1 = block_offsets[b + 1];
      if (m1 < m0) throw ValidationError("cat_block_offsets decreases at entry " + std::to_string(b + 1));
      if (m1 > members.size()) {
        throw past(entry("cat_block_offsets", b + 1, m1), "cat_members", members.size());
      }
      oc.blocks.emplace_back(members.begin() + m0, members.begin() + m1);
    }
    out.push_back(std::move(oc));
  }
  return out;
}

}  // namespace morvel::regions

namespace morvel::regions {

void keep_changed_only(std::span<const double> x, std::span<const double> x_cf,
                       std::vector<std::uint32_t>& open_set,
                       std::vector<OpenCategorical>& cat_open) {
  auto kept = [&](std::uint32_t f) {
    return f < x.size() && f < x_cf.size() && !changes(x[f], x_cf[f]);
  };
  std::erase_if(open_set, kept);
  // A kept categorical feature stays listed (the result has a set for each), with no
  // blocks to grow by.
  for (OpenCategorical& c : cat_open) {
    if (kept(c.feature)) c.blocks.clear();
  }
}

}  // namespace morvel::regions
