// Incremental brackets and split counts over the slab search's pieces.
#include "regions/piece_brackets.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "errors.hpp"
#include "ir.hpp"

namespace morvel::regions {
namespace {

// Rounding bounds, with u = 2^-53 the unit roundoff: a sum or difference of doubles is
// within u of its exact value, relatively (also when it underflows, since subnormal sums
// are exact); the factors below leave room for the rounding of the bounds themselves.
constexpr double kUnitRoundoff = RunningSum::kUnitRoundoff;
constexpr double kWiden = 1.0 + 8 * kUnitRoundoff;  // one bound rounded up past its rounding
constexpr double kTiny = std::numeric_limits<double>::min();
constexpr double kLargest = 0x1p1000;  // sums of terms this large cannot overflow

}  // namespace

PieceBrackets::PieceBrackets(const BracketModel& m) : model_(&m) {
  const std::size_t n_trees = m.n_trees();
  lows_.assign(n_trees, 0.0);
  highs_.assign(n_trees, 0.0);
  present_.assign(n_trees, 1);
  trail_at_.assign(n_trees, 0);
  n_both_.assign(n_trees, 0);
  arrival_.assign(m.ensemble().n_nodes(), 0);
  stamp_.assign(n_trees, 0);
  walked_in_.assign(n_trees, 0);
  // Summing n terms in any order errs by at most (n - 1)u / (1 - (n - 1)u) times the sum
  // of their magnitudes, which abs_sum_bound() bounds: taken here with room to spare.
  const double n_terms = static_cast<double>(n_trees + 1);
  const double magnitude = m.abs_sum_bound();
  sum_error_ = magnitude <= kLargest && n_terms * kUnitRoundoff < 0.25
                   ? 8 * n_terms * kUnitRoundoff * magnitude + kTiny
                   : std::numeric_limits<double>::infinity();
}

void PieceBrackets::store(std::uint32_t t, const MaybeBracket& b) {
  if (present_[t]) {
    low_sum_.add(b ? b->low - lows_[t] : -lows_[t]);
    high_sum_.add(b ? b->high - highs_[t] : -highs_[t]);
  } else {
    --n_absent_;
    if (b) {
      low_sum_.add(b->low);
      high_sum_.add(b->high);
    }
  }
  present_[t] = b.has_value();
  if (b) {
    lows_[t] = b->low;
    highs_[t] = b->high;
  } else {
    ++n_absent_;
  }
}

MaybeBracket PieceBrackets::bracket(std::uint32_t t) const {
  if (!present_[t]) return std::nullopt;
  return Bracket{lows_[t], highs_[t]};
}

void PieceBrackets::count_trail(std::uint32_t t, std::span<std::uint64_t> counts, bool add) {
  const std::uint32_t* both = trails_.data() + trail_at_[t];
  if (add) {
    for (std::uint32_t k = 0; k < n_both_[t]; ++k) ++counts[both[k]];
  } else {
    for (std::uint32_t k = 0; k < n_both_[t]; ++k) --counts[both[k]];
  }
}

// Every stamp back to 0: every node then counts as arrived at, which can only cause
// needless re-walks.
void PieceBrackets::restart_stamps() {
  std::fill(arrival_.begin(), arrival_.end(), 0);
  std::fill(stamp_.begin(), stamp_.end(), 0);
  for (Record& r : records_) r.stamp = 0;
  last_stamp_ = 0;
}

void PieceBrackets::walk_onto_top(std::uint32_t t, const BoxView& piece,
                                  std::span<std::uint64_t> counts) {
  if (last_stamp_ == std::numeric_limits<std::uint32_t>::max()) restart_stamps();
  const std::size_t room = trails_top_ + model_->internal_nodes_of(t);
  if (trails_.size() < room) trails_.resize(std::max(room, 2 * trails_.size()));
  BracketWalker::Trail trail{trails_.data() + trails_top_, 0, arrival_.data(), ++last_stamp_};
  store(t, walker_.walk(*model_, model_->ensemble().tree_roots()[t], piece, trail));
  trail_at_[t] = trails_top_;
  n_both_[t] = trail.n_both;
  stamp_[t] = trail.stamp;
  trails_top_ += trail.n_both;
  count_trail(t, counts, true);
}

void PieceBrackets::walk_all(const BoxView& piece, std::span<std::uint64_t> counts) {
  records_.clear();
  trails_top_ = 0;
  std::fill(present_.begin(), present_.end(), 0);
  n_absent_ = present_.size();
  const double base = model_->ensemble().base_score();
  low_sum_ = high_sum_ = RunningSum{base, 0.0};
  for (std::uint32_t t = 0; t < present_.size(); ++t) walk_onto_top(t, piece, counts);
}

void PieceBrackets::begin_change() {
  if (++change_ == 0) {  // the stamps wrapped around: none may look current
    std::fill(walked_in_.begin(), walked_in_.end(), 0);
    change_ = 1;
  }
}

// Walks tree t again (at most once per change), recording its bracket and trail first.
void PieceBrackets::rewalk(std::uint32_t t, const BoxView& piece, std::span<std::uint64_t> counts) {
  if (walked_in_[t] == change_) return;
  walked_in_[t] = change_;
  records_.push_back(Record{t, n_both_[t], trail_at_[t], stamp_[t], present_[t] != 0, lows_[t],
                            highs_[t], low_sum_, high_sum_});
  count_trail(t, counts, false);
  walk_onto_top(t, piece, counts);
}

// Whether narrowing the piece to `piece` at the feature of `node` may change tree t's walk
// there: the walk arrived at the node, and the node no longer reaches both children (it
// did before if it does now; reaching one side, it may have reached both). A walk that
// stopped at an undefined missing route may change anywhere.
bool PieceBrackets::changes_at(std::uint32_t t, std::uint32_t node, const BoxView& piece) const {
  if (walked_in_[t] == change_) return false;  // walked again already
  if (!present_[t]) return true;
  return arrived(t, node) && model_->reach_at(node, piece) != BracketModel::Reach::Both;
}

void PieceBrackets::moved(std::size_t f, double old_lo, double old_hi, const BoxView& piece,
                          std::span<std::uint64_t> counts) {
  ensure(old_lo <= piece.lo[f] && piece.hi[f] <= old_hi, "a piece only narrows");
  begin_change();
  // A narrower extent changes a tree's walk only at a moved split that the walk arrived
  // at (a numeric split between an old and a new end, or a categorical split, which a
  // numeric extent crosses unless it is one value); a tree whose last walk arrived at none
  // keeps its bracket and trail. (A walk that stopped at an undefined missing route is
  // walked again, whatever it arrived at.)
  const auto visit = [&](std::uint32_t t, std::uint32_t node) {
    if (changes_at(t, node, piece)) rewalk(t, piece, counts);
  };
  model_->for_each_tree_split_between(f, old_lo, piece.lo[f], visit);
  model_->for_each_tree_split_between(f, old_hi, piece.hi[f], visit);
  for (const auto& [t, node] : model_->categorical_splits_on(f)) visit(t, node);
}

void PieceBrackets::recoded(std::size_t f, const BoxView& piece, std::span<std::uint64_t> counts) {
  model_->trees_splitting_on(f);  // checks f
  begin_change();
  // A smaller set changes a walk only at the splits on f it arrived at.
  for (const auto& [t, node] : model_->splits_on(f)) {
    if (changes_at(t, node, piece)) rewalk(t, piece, counts);
  }
}

void PieceBrackets::restore(std::size_t mark, std::span<std::uint64_t> counts) {
  ensure(mark <= records_.size(), "restore to a recorded state");
  while (records_.size() > mark) {
    const Record& r = records_.back();
    count_trail(r.tree, counts, false);
    trails_top_ = trail_at_[r.tree];  // the newest trail on the stack
    trail_at_[r.tree] = r.trail_at;
    n_both_[r.tree] = r.n_both;
    stamp_[r.tree] = r.stamp;
    count_trail(r.tree, counts, true);
    // The sums as they were, rather than the change taken back out of them.
    if (present_[r.tree] && !r.present) ++n_absent_;
    if (!present_[r.tree] && r.present) --n_absent_;
    present_[r.tree] = r.present;
    lows_[r.tree] = r.low;
    highs_[r.tree] = r.high;
    low_sum_ = r.low_sum;
    high_sum_ = r.high_sum;
    records_.pop_back();
  }
}

std::optional<Bracket> PieceBrackets::sum() const {
  if (n_absent_ != 0) return std::nullopt;
  double low = model_->ensemble().base_score();
  double high = low;
  const std::size_t n = lows_.size();
  for (std::size_t t = 0; t < n; ++t) {
    low = low + lows_[t];
    high = high + highs_[t];
  }
  return Bracket{low, high};
}

std::optional<Bracket> PieceBrackets::sum_and_resync() {
  const std::optional<Bracket> s = sum();
  if (s && std::isfinite(sum_error_)) {
    low_sum_ = RunningSum{s->low, sum_error_};
    high_sum_ = RunningSum{s->high, sum_error_};
  }
  return s;
}

// |sum() - running value| <= sum_error_ + running error =: d (rounded up). An interval
// [v - 2d, v + 2d] computed in floating point still holds [v - d, v + d], since d is at
// least 2u|v|: sum_error_ >= 8u * magnitude >= 4u|exact sum| and |v| <= |exact sum| + error.
std::optional<SumBounds> PieceBrackets::sum_bounds() const {
  if (n_absent_ != 0) return std::nullopt;
  const double d_low = (sum_error_ + low_sum_.error) * kWiden + kTiny;
  const double d_high = (sum_error_ + high_sum_.error) * kWiden + kTiny;
  const double v_low = low_sum_.value, v_high = high_sum_.value;
  if (!(std::isfinite(d_low) && std::isfinite(d_high) && std::abs(v_low) <= kLargest &&
        std::abs(v_high) <= kLargest)) {
    return std::nullopt;
  }
  return SumBounds{v_low - 2 * d_low, v_low + 2 * d_low, v_high - 2 * d_high, v_high + 2 * d_high};
}

}  // namespace morvel::regions
