// The slab search. Each node forms its piece (every free feature narrowed to its current
// range of cells or blocks), walks every tree over it, and either decides the piece or
// splits the range of the feature whose splits the piece straddles most often.
#include "regions/region_slab.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

#include "errors.hpp"
#include "ir.hpp"
#include "regions/brackets.hpp"
#include "regions/cell_ends.hpp"
#include "watch.hpp"

namespace morvel::regions {
namespace {

constexpr std::uint64_t kProbeEvery = 4096;  // nodes between interrupt probes

using Kind = SlabOutcome::Kind;

// Inclusive range of cells (numeric) or blocks (categorical) of one free feature.
struct Range {
  std::size_t first = 0;
  std::size_t last = 0;
  bool present = false;
};

// Sums of the trees' brackets over one piece, in tree order from the base score.
struct ScoreSpan {
  double low;
  double high;
};

class SlabSearch {
 public:
  SlabSearch(const SlabProblem& p, std::uint64_t budget, Watch& watch);
  SlabOutcome run();
  std::uint64_t spent() const { return spent_; }

 private:
  // A node's verdict; Split names the feature and the anchor cell or block.
  enum class Verdict : std::uint8_t { Certified, Witness, Undecided, Interrupted, Split };
  struct Frame {
    std::uint32_t feature;
    std::size_t first, last, mid;
    bool lower_first;
    bool second_half;  // the first half came back certified
  };

  Verdict evaluate(std::uint32_t& split_feature, std::size_t& anchor);
  void form_piece();
  std::optional<ScoreSpan> sum_brackets(const BracketModel& m);
  bool witness_fails();
  std::size_t anchor_of(std::uint32_t g, bool categorical) const;
  void enter_half(const Frame& frame, bool lower);

  const SlabProblem& p_;
  const Growth& g_;
  std::uint64_t budget_;
  std::uint64_t spent_ = 0;
  Watch& watch_;
  std::vector<Range> ranges_;           // per feature
  std::vector<BlockList> block_lists_;  // per feature; free categorical features only
  std::vector<double> piece_lo_, piece_hi_;
  std::vector<std::vector<std::uint32_t>> piece_cats_;
  BoxView piece_;
  std::vector<std::uint64_t> counter_;
  BracketWalker walker_;
  std::vector<double> point_;
  std::vector<Frame> frames_;
};

SlabSearch::SlabSearch(const SlabProblem& p, std::uint64_t budget, Watch& watch)
    : p_(p), g_(*p.growth), budget_(budget), watch_(watch) {
  const std::size_t n = p.lo.size();
  ranges_.resize(n);
  block_lists_.resize(n);
  for (std::uint32_t f : p.free_numeric) {
    const CellList& cells = checked_at(*g_.cells, f);
    Range& r = ranges_[f];
    r.first = std::isinf(p.lo[f]) ? 0 : cell_index(cells, p.lo[f]);
    r.last = std::isinf(p.hi[f]) ? cells.size() - 1 : cell_index(cells, p.hi[f]);
    // An infinite threshold leaves an empty cell at that end of the line ([inf, inf) after a
    // `<` split at +inf, say); an infinite slab end must not start a piece there.
    while (r.first < r.last && is_empty(clip_to(cells[r.first], p.lo[f], p.hi[f]))) ++r.first;
    while (r.last > r.first && is_empty(clip_to(cells[r.last], p.lo[f], p.hi[f]))) --r.last;
    r.present = true;
  }
  for (std::uint32_t f : p.free_categorical) {
    ensure(!ranges_[f].present, "a free feature is either numeric or categorical");
    const std::vector<std::uint32_t>& set = p.cats[f];  // ascending
    BlockList& list = block_lists_[f];
    std::vector<std::uint8_t> covered(set.size(), 0);
    for (const Block& block : checked_at(*g_.blocks, f)) {
      Block kept;
      for (std::uint32_t c : block) {
        const auto it = std::lower_bound(set.begin(), set.end(), c);
        if (it == set.end() || *it != c || covered[static_cast<std::size_t>(it - set.begin())]) {
          continue;
        }
        covered[static_cast<std::size_t>(it - set.begin())] = 1;
        kept.push_back(c);
      }
      if (!kept.empty()) list.push_back(std::move(kept));
    }
    // Codes of the set that no block lists (the counterfactual's own code, when the blocks
    // leave it out) form one more block, so that the pieces always cover the whole set.
    Block rest;
    for (std::size_t k = 0; k < set.size(); ++k) {
      if (!covered[k]) rest.push_back(set[k]);
    }
    if (!rest.empty()) list.push_back(std::move(rest));
    ranges_[f] = Range{0, list.size() - 1, true};
  }
  piece_lo_ = p.lo;
  piece_hi_ = p.hi;
  piece_cats_ = p.cats;
  piece_ = BoxView{piece_lo_, piece_hi_, g_.missing, piece_cats_};
  counter_.assign(n, 0);
  point_.assign(n, 0.0);
}

void SlabSearch::form_piece() {
  for (std::uint32_t f : p_.free_numeric) {
    const Range& r = ranges_[f];
    ensure(r.present, "free feature has a range");
    const CellList& cells = (*g_.cells)[f];
    const Cell bottom = clip_to(cells[r.first], p_.lo[f], p_.hi[f]);
    const Cell top = clip_to(cells[r.last], p_.lo[f], p_.hi[f]);
    ensure(!is_empty(bottom) && !is_empty(top),
           "the box's own endpoints are achievable values inside their cells");
    piece_lo_[f] = achievable_bottom(bottom);
    piece_hi_[f] = achievable_top(top);
  }
  for (std::uint32_t f : p_.free_categorical) {
    const Range& r = ranges_[f];
    ensure(r.present, "free categorical has a range");
    std::vector<std::uint32_t>& set = piece_cats_[f];
    set.clear();
    for (std::size_t b = r.first; b <= r.last; ++b) {
      set.insert(set.end(), block_lists_[f][b].begin(), block_lists_[f][b].end());
    }
    std::sort(set.begin(), set.end());
  }
}

std::optional<ScoreSpan> SlabSearch::sum_brackets(const BracketModel& m) {
  const Ensemble& e = m.ensemble();
  ScoreSpan s{e.base_score(), e.base_score()};
  for (std::uint32_t root : e.tree_roots()) {
    const MaybeBracket b = walker_.walk(m, root, piece_, counter_);
    if (!b) return std::nullopt;
    s.low = s.low + b->low;
    s.high = s.high + b->high;
  }
  return s;
}

// The piece's point nearest to x_cf, scored exactly; true when it breaks certification.
bool SlabSearch::witness_fails() {
  for (std::size_t f = 0; f < point_.size(); ++f) {
    const std::vector<std::uint32_t>& set = piece_cats_[f];
    if (g_.missing[f]) {
      point_[f] = g_.x_cf[f];
    } else if (!set.empty()) {
      const std::uint32_t own = code_of(g_.x_cf[f]);
      point_[f] = std::binary_search(set.begin(), set.end(), own) ? own : set.front();
    } else {
      point_[f] = std::clamp(g_.x_cf[f], piece_lo_[f], piece_hi_[f]);
    }
  }
  const double score = g_.model->ensemble().raw_score(point_.data());
  if (score < g_.lo_t || score > g_.hi_t) return true;
  return g_.if_model != nullptr &&
         g_.if_model->ensemble().raw_score(point_.data()) < g_.min_total_path;
}

std::size_t SlabSearch::anchor_of(std::uint32_t f, bool categorical) const {
  const Range& r = ranges_[f];
  if (!categorical) {
    return position((*g_.cells)[f], std::clamp(g_.x_cf[f], piece_lo_[f], piece_hi_[f]));
  }
  const std::uint32_t own = code_of(g_.x_cf[f]);
  for (std::size_t b = r.first; b <= r.last; ++b) {
    const Block& block = block_lists_[f][b];
    if (std::find(block.begin(), block.end(), own) != block.end()) return b;
  }
  return r.first;
}

SlabSearch::Verdict SlabSearch::evaluate(std::uint32_t& split_feature, std::size_t& anchor) {
  if (spent_ >= budget_) return Verdict::Undecided;
  ++spent_;
  if (spent_ % kProbeEvery == 0 && watch_.probe_now()) return Verdict::Interrupted;
  if (watch_.tick()) return Verdict::Interrupted;

  form_piece();
  std::fill(counter_.begin(), counter_.end(), 0);
  const auto score = sum_brackets(*g_.model);
  if (!score) return Verdict::Undecided;
  std::optional<ScoreSpan> path;
  if (g_.if_model != nullptr) {
    path = sum_brackets(*g_.if_model);
    if (!path) return Verdict::Undecided;
  }
  if (score->low >= g_.lo_t && score->high <= g_.hi_t &&
      (!path || path->low >= g_.min_total_path)) {
    return Verdict::Certified;
  }
  if (score->high < g_.lo_t || score->low > g_.hi_t || (path && path->high < g_.min_total_path)) {
    return witness_fails() ? Verdict::Witness : Verdict::Undecided;
  }

  // Split the range whose feature the piece straddles most often; a feature no split
  // separates inside the piece is never chosen, and ties keep the earlier candidate.
  std::uint64_t best = 0;
  bool categorical = false;
  bool found = false;
  for (std::uint32_t f : p_.free_numeric) {
    if (ranges_[f].first < ranges_[f].last && counter_[f] > best) {
      best = counter_[f];
      split_feature = f;
      found = true;
    }
  }
  for (std::uint32_t f : p_.free_categorical) {
    if (ranges_[f].first < ranges_[f].last && counter_[f] > best) {
      best = counter_[f];
      split_feature = f;
      categorical = true;
      found = true;
    }
  }
  if (!found) return Verdict::Undecided;
  anchor = anchor_of(split_feature, categorical);
  return Verdict::Split;
}

void SlabSearch::enter_half(const Frame& frame, bool lower) {
  Range& r = ranges_[frame.feature];
  r.first = lower ? frame.first : frame.mid + 1;
  r.last = lower ? frame.mid : frame.last;
}

// Depth first with an explicit stack of split frames: the half holding x_cf's cell or
// block first, the other half only when the first is certified.
SlabOutcome SlabSearch::run() {
  frames_.clear();
  for (;;) {
    std::uint32_t feature = 0;
    std::size_t anchor = 0;
    const Verdict v = evaluate(feature, anchor);
    if (v == Verdict::Split) {
      const Range& r = ranges_[feature];
      const std::size_t mid = (r.first + r.last) / 2;
      frames_.push_back(Frame{feature, r.first, r.last, mid, anchor <= mid, false});
      enter_half(frames_.back(), frames_.back().lower_first);
      continue;
    }
    Kind out = v == Verdict::Certified   ? Kind::Certified
               : v == Verdict::Witness   ? Kind::Witness
               : v == Verdict::Undecided ? Kind::Undecided
                                         : Kind::Interrupted;
    for (;;) {
      if (frames_.empty()) {
        SlabOutcome outcome{out, {}};
        if (out == Kind::Witness) outcome.point = point_;
        return outcome;
      }
      Frame& top = frames_.back();
      if (out == Kind::Certified && !top.second_half) {
        top.second_half = true;
        enter_half(top, !top.lower_first);
        break;
      }
      ranges_[top.feature].first = top.first;
      ranges_[top.feature].last = top.last;
      frames_.pop_back();
    }
  }
}

}  // namespace

SlabProblem Growth::slab_problem(std::span<const double> lo, std::span<const double> hi,
                                 std::span<const std::vector<std::uint32_t>> cats, SlabKind kind,
                                 std::size_t f, std::span<const std::uint32_t> new_members) const {
  SlabProblem p;
  p.lo.assign(lo.begin(), lo.end());
  p.hi.assign(hi.begin(), hi.end());
  p.cats.assign(cats.begin(), cats.end());
  if (kind == SlabKind::CategoryBlock) {
    checked_at(p.cats, f).assign(new_members.begin(), new_members.end());
    std::sort(p.cats[f].begin(), p.cats[f].end());
  }
  for (std::size_t g = 0; g < p.lo.size(); ++g) {
    if (!missing[g] && p.hi[g] > p.lo[g]) p.free_numeric.push_back(static_cast<std::uint32_t>(g));
    const bool tested = kind == SlabKind::CategoryBlock && g == f;
    if (p.cats[g].size() > 1 && !tested)
      p.free_categorical.push_back(static_cast<std::uint32_t>(g));
  }
  p.growth = this;
  return p;
}

SlabResult search_slab(const SlabProblem& problem, std::uint64_t budget, Watch& watch) {
  if (budget == 0) return SlabResult{SlabOutcome{Kind::Undecided, {}}, 0};
  SlabSearch search(problem, budget, watch);
  SlabOutcome outcome = search.run();
  return SlabResult{std::move(outcome), search.spent()};
}

std::size_t position(std::span<const Cell> cells, double x) {
  if (std::isinf(x)) return 0;
  return cell_index(cells, x);
}

}  // namespace morvel::regions
