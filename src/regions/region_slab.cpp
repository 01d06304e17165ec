// The slab search. Each node holds its piece (every free feature narrowed to its current
// range of cells or blocks) with every tree's bracket and split counts over it, and
// either decides the piece or splits the range of the feature whose splits the piece
// straddles most often. A split narrows one feature of the piece, so only the trees whose
// walks arrived at a split it moves are walked again (PieceBrackets), and backtracking
// restores them from records. The decision reads the brackets' sums as exactly as summing
// in tree order would: from running sums when their rounding bound settles it, else from
// the sums themselves.
#include "regions/region_slab.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <optional>

#include "errors.hpp"
#include "ir.hpp"
#include "regions/brackets.hpp"
#include "regions/cell_ends.hpp"
#include "regions/piece_brackets.hpp"
#include "watch.hpp"

namespace morvel::regions {
namespace {

constexpr std::uint64_t kProbeEvery = 4096;     // nodes between interrupt probes
constexpr std::uint32_t kMaxBitSetCode = 4096;  // category sets as bit sets below this code
#ifdef NDEBUG
constexpr bool kCheckIncremental = false;
#else
constexpr bool kCheckIncremental = true;  // every node against fresh walks: debug builds only
#endif

using Kind = SlabOutcome::Kind;

// Comparisons of a value known only to lie in [min, max] with t (NaN t: unknown).
enum class Truth : std::uint8_t { No, Yes, Unknown };
Truth at_least(double min, double max, double t) {  // value >= t
  return min >= t ? Truth::Yes : max < t ? Truth::No : Truth::Unknown;
}
Truth at_most(double min, double max, double t) {  // value <= t
  return max <= t ? Truth::Yes : min > t ? Truth::No : Truth::Unknown;
}
Truth below(double min, double max, double t) {  // value < t
  return max < t ? Truth::Yes : min >= t ? Truth::No : Truth::Unknown;
}
Truth above(double min, double max, double t) {  // value > t
  return min > t ? Truth::Yes : max <= t ? Truth::No : Truth::Unknown;
}
Truth all_of(Truth a, Truth b, Truth c) {
  if (a == Truth::No || b == Truth::No || c == Truth::No) return Truth::No;
  return a == Truth::Yes && b == Truth::Yes && c == Truth::Yes ? Truth::Yes : Truth::Unknown;
}
Truth any_of(Truth a, Truth b, Truth c) {
  if (a == Truth::Yes || b == Truth::Yes || c == Truth::Yes) return Truth::Yes;
  return a == Truth::No && b == Truth::No && c == Truth::No ? Truth::No : Truth::Unknown;
}

// Inclusive range of cells (numeric) or blocks (categorical) of one free feature.
struct Range {
  std::size_t first = 0;
  std::size_t last = 0;
  bool present = false;
};

class SlabSearch {
 public:
  SlabSearch(const SlabProblem& p, std::uint64_t budget, Watch& watch);
  SlabOutcome run();
  std::uint64_t spent() const { return spent_; }

 private:
  // A node's verdict; Split comes with the feature to split and its anchor cell or block.
  enum class Verdict : std::uint8_t { Certified, Witness, Undecided, Interrupted, Split };
  struct Frame {
    std::uint32_t feature;
    bool categorical;
    std::size_t first, last, mid;
    bool lower_first;
    bool second_half;  // the first half came back certified
    std::size_t marks;  // where the brackets' records before the split sit in marks_
  };

  struct Choice {
    std::uint32_t feature = 0;
    bool categorical = false;
    std::size_t anchor = 0;
  };

  // What the sums say of the piece.
  enum class Decision : std::uint8_t { Undefined, Certified, Failing, Split };

  Verdict evaluate(Choice& split);
  Decision decide_exactly(bool resync);
  std::optional<Decision> decide_by_bounds() const;
  void form_piece();
  void form_numeric(std::uint32_t f);
  void form_categorical(std::uint32_t f);
  void set_range(std::uint32_t f, bool categorical, std::size_t first, std::size_t last);
  bool witness_fails();
  std::size_t anchor_of(std::uint32_t g, bool categorical) const;
  void enter_half(const Frame& frame, bool lower);
  void leave(const Frame& frame);
  void check_against_fresh_walks();

  const SlabProblem& p_;
  const Growth& g_;
  std::uint64_t budget_;
  std::uint64_t spent_ = 0;
  Watch& watch_;
  std::vector<Range> ranges_;           // per feature
  std::vector<std::size_t> own_cell_;   // per free numeric feature: position of x_cf
  std::vector<BlockList> block_lists_;  // per feature; free categorical features only
  std::vector<double> piece_lo_, piece_hi_;
  std::vector<std::vector<std::uint32_t>> piece_cats_;
  std::vector<std::vector<std::uint64_t>> piece_bits_;  // free categorical features only
  BoxView piece_;
  std::vector<std::uint64_t> counter_;  // split counts of every window's ensemble
  std::vector<BracketWindow> windows_;  // the growth's, the model's first
  std::vector<PieceBrackets> brackets_;  // per window
  std::vector<std::size_t> marks_;       // per frame, one mark per window
  std::vector<double> point_;
  std::vector<Frame> frames_;
};

SlabSearch::SlabSearch(const SlabProblem& p, std::uint64_t budget, Watch& watch)
    : p_(p), g_(*p.growth), budget_(budget), watch_(watch), windows_(g_.all_windows()) {
  const std::size_t n = p.lo.size();
  ranges_.resize(n);
  block_lists_.resize(n);
  own_cell_.resize(n);
  for (std::uint32_t f : p.free_numeric) {
    const CellList& cells = checked_at(*g_.cells, f);
    own_cell_[f] = position(cells, g_.x_cf[f]);
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
  piece_bits_.resize(n);
  piece_ = BoxView{piece_lo_, piece_hi_, g_.missing, piece_cats_, piece_bits_};
  counter_.assign(n, 0);
  point_.assign(n, 0.0);
  form_piece();
  brackets_.reserve(windows_.size());
  for (const BracketWindow& w : windows_) {
    brackets_.emplace_back(*w.model);
    brackets_.back().walk_all(piece_, counter_);
  }
}

void SlabSearch::form_piece() {
  for (std::uint32_t f : p_.free_numeric) form_numeric(f);
  for (std::uint32_t f : p_.free_categorical) form_categorical(f);
}

// Numeric feature f of the piece from its range: the achievable extremes of its first
// and last cells within the slab.
void SlabSearch::form_numeric(std::uint32_t f) {
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

// Categorical feature f of the piece from its range: the union of its blocks, ascending.
void SlabSearch::form_categorical(std::uint32_t f) {
  const Range& r = ranges_[f];
  ensure(r.present, "free categorical has a range");
  std::vector<std::uint32_t>& set = piece_cats_[f];
  set.clear();
  for (std::size_t b = r.first; b <= r.last; ++b) {
    set.insert(set.end(), block_lists_[f][b].begin(), block_lists_[f][b].end());
  }
  std::sort(set.begin(), set.end());
  // As a bit set for the walks, unless the codes run too high for one to pay.
  std::vector<std::uint64_t>& bits = piece_bits_[f];
  bits.clear();
  if (set.back() < kMaxBitSetCode) {
    bits.resize(set.back() / 64 + 1, 0);
    for (std::uint32_t c : set) bits[c / 64] |= std::uint64_t{1} << (c % 64);
  }
}

// Narrows or widens feature f's range and brings the piece and the brackets up to date.
void SlabSearch::set_range(std::uint32_t f, bool categorical, std::size_t first, std::size_t last) {
  Range& r = ranges_[f];
  r.first = first;
  r.last = last;
  if (categorical) {
    form_categorical(f);
    for (PieceBrackets& b : brackets_) b.recoded(f, piece_, counter_);
    return;
  }
  const double old_lo = piece_lo_[f], old_hi = piece_hi_[f];
  form_numeric(f);
  for (PieceBrackets& b : brackets_) b.moved(f, old_lo, old_hi, piece_, counter_);
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
  for (const BracketWindow& w : windows_) {
    const double score = w.model->ensemble().raw_score(point_.data());
    if (score < w.lo || score > w.hi) return true;
  }
  return false;
}

std::size_t SlabSearch::anchor_of(std::uint32_t f, bool categorical) const {
  const Range& r = ranges_[f];
  if (!categorical) {
    // The cell of x_cf clamped to the piece: the piece's ends lie in its first and last
    // cells.
    const double x = g_.x_cf[f];
    return x < piece_lo_[f] ? r.first : x > piece_hi_[f] ? r.last : own_cell_[f];
  }
  const std::uint32_t own = code_of(g_.x_cf[f]);
  for (std::size_t b = r.first; b <= r.last; ++b) {
    const Block& block = block_lists_[f][b];
    if (std::find(block.begin(), block.end(), own) != block.end()) return b;
  }
  return r.first;
}

// The piece from the tree-order sums: certified when every point scores inside every
// window, failing when every point breaks one of them. `resync` restarts the running sums
// from these.
SlabSearch::Decision SlabSearch::decide_exactly(bool resync) {
  bool certified = true, failing = false;
  for (std::size_t k = 0; k < brackets_.size(); ++k) {
    const std::optional<Bracket> score =
        resync ? brackets_[k].sum_and_resync() : brackets_[k].sum();
    if (!score) return Decision::Undefined;
    const BracketWindow& w = windows_[k];
    certified = certified && score->low >= w.lo && score->high <= w.hi;
    failing = failing || score->high < w.lo || score->low > w.hi;
  }
  if (certified) return Decision::Certified;
  return failing ? Decision::Failing : Decision::Split;
}

// The same decision from intervals that hold the sums, when they settle it; most pieces
// lie far from the windows' ends, and the intervals cost nothing to keep.
std::optional<SlabSearch::Decision> SlabSearch::decide_by_bounds() const {
  Truth certified = Truth::Yes, failing = Truth::No;
  for (std::size_t k = 0; k < brackets_.size(); ++k) {
    const std::optional<SumBounds> score = brackets_[k].sum_bounds();
    if (!score) return std::nullopt;
    const BracketWindow& w = windows_[k];
    certified = all_of(certified, at_least(score->low_min, score->low_max, w.lo),
                       at_most(score->high_min, score->high_max, w.hi));
    failing = any_of(failing, below(score->high_min, score->high_max, w.lo),
                     above(score->low_min, score->low_max, w.hi));
  }
  if (certified == Truth::Yes) return Decision::Certified;
  if (certified == Truth::Unknown) return std::nullopt;
  if (failing == Truth::Unknown) return std::nullopt;
  return failing == Truth::Yes ? Decision::Failing : Decision::Split;
}

SlabSearch::Verdict SlabSearch::evaluate(Choice& split) {
  if (spent_ >= budget_) return Verdict::Undecided;
  ++spent_;
  if (spent_ % kProbeEvery == 0 && watch_.probe_now()) return Verdict::Interrupted;
  if (watch_.tick()) return Verdict::Interrupted;

  if (kCheckIncremental) check_against_fresh_walks();
  std::optional<Decision> decision = decide_by_bounds();
  if (kCheckIncremental && decision) {
    ensure(*decision == decide_exactly(false),
           "bounded sums decide as exact ones (should be impossible)");
  }
  if (!decision) decision = decide_exactly(true);
  switch (*decision) {
    case Decision::Undefined:
      return Verdict::Undecided;
    case Decision::Certified:
      return Verdict::Certified;
    case Decision::Failing:
      return witness_fails() ? Verdict::Witness : Verdict::Undecided;
    case Decision::Split:
      break;
  }

  // Split the range whose feature the piece straddles most often; a feature no split
  // separates inside the piece is never chosen, and ties keep the earlier candidate.
  std::uint64_t best = 0;
  bool found = false;
  for (std::uint32_t f : p_.free_numeric) {
    if (ranges_[f].first < ranges_[f].last && counter_[f] > best) {
      best = counter_[f];
      split = Choice{f, false, 0};
      found = true;
    }
  }
  for (std::uint32_t f : p_.free_categorical) {
    if (ranges_[f].first < ranges_[f].last && counter_[f] > best) {
      best = counter_[f];
      split = Choice{f, true, 0};
      found = true;
    }
  }
  if (!found) return Verdict::Undecided;
  split.anchor = anchor_of(split.feature, split.categorical);
  return Verdict::Split;
}

void SlabSearch::enter_half(const Frame& frame, bool lower) {
  set_range(frame.feature, frame.categorical, lower ? frame.first : frame.mid + 1,
            lower ? frame.mid : frame.last);
}

// Back to the piece before the frame's split.
void SlabSearch::leave(const Frame& frame) {
  for (std::size_t k = 0; k < brackets_.size(); ++k) {
    brackets_[k].restore(marks_[frame.marks + k], counter_);
  }
  Range& r = ranges_[frame.feature];
  r.first = frame.first;
  r.last = frame.last;
  if (frame.categorical) {
    form_categorical(frame.feature);
  } else {
    form_numeric(frame.feature);
  }
}

// Debug builds: the incremental brackets and split counts equal those of walking every
// tree over the piece afresh.
void SlabSearch::check_against_fresh_walks() {
  const auto same_bits = [](double a, double b) {
    return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
  };
  std::vector<std::uint64_t> counts(counter_.size(), 0);
  bool same = true, all_present = true;
  const auto compare = [&](const BracketModel& m, const PieceBrackets& kept) {
    PieceBrackets fresh(m);
    fresh.walk_all(piece_, counts);
    for (std::uint32_t t = 0; t < m.n_trees(); ++t) {
      const MaybeBracket a = fresh.bracket(t), b = kept.bracket(t);
      all_present = all_present && a.has_value();
      same = same && a.has_value() == b.has_value() &&
             (!a || (same_bits(a->low, b->low) && same_bits(a->high, b->high)));
    }
  };
  for (std::size_t k = 0; k < brackets_.size(); ++k) compare(*windows_[k].model, brackets_[k]);
  // A walk that meets an undefined missing route stops early, so the counts are compared
  // only when every bracket is defined.
  ensure(same && (!all_present || counts == counter_),
         "incremental brackets match fresh walks (should be impossible)");
}

// Depth first with an explicit stack of split frames: the half holding x_cf's cell or
// block first, the other half only when the first is certified.
SlabOutcome SlabSearch::run() {
  frames_.clear();
  for (;;) {
    Choice split;
    const Verdict v = evaluate(split);
    if (v == Verdict::Split) {
      const Range& r = ranges_[split.feature];
      const std::size_t mid = (r.first + r.last) / 2;
      frames_.push_back(Frame{split.feature, split.categorical, r.first, r.last, mid,
                              split.anchor <= mid, false, marks_.size()});
      for (const PieceBrackets& b : brackets_) marks_.push_back(b.mark());
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
        leave(top);
        enter_half(top, !top.lower_first);
        break;
      }
      leave(top);
      marks_.resize(top.marks);
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
