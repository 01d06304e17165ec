// Incremental brackets and split counts over the slab search's pieces.
#include "regions/piece_brackets.hpp"

#include <algorithm>

#include "errors.hpp"
#include "ir.hpp"

namespace morvel::regions {

PieceBrackets::PieceBrackets(const BracketModel& m) : model_(&m) {
  const std::size_t n_trees = m.n_trees();
  lows_.assign(n_trees, 0.0);
  highs_.assign(n_trees, 0.0);
  present_.assign(n_trees, 1);
  both_offsets_.resize(n_trees + 1);
  both_offsets_[0] = 0;
  for (std::uint32_t t = 0; t < n_trees; ++t) {
    both_offsets_[t + 1] = both_offsets_[t] + m.internal_nodes_of(t);
  }
  both_.assign(both_offsets_[n_trees], 0);
  n_both_.assign(n_trees, 0);
  walked_in_.assign(n_trees, 0);
}

void PieceBrackets::store(std::uint32_t t, const MaybeBracket& b) {
  if (!present_[t]) --n_absent_;
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

void PieceBrackets::walk_all(const BoxView& piece, std::span<std::uint64_t> counts) {
  records_.clear();
  old_both_.clear();
  std::fill(present_.begin(), present_.end(), 1);
  n_absent_ = 0;
  const auto roots = model_->ensemble().tree_roots();
  for (std::uint32_t t = 0; t < roots.size(); ++t) {
    std::uint32_t* mine = both_.data() + both_offsets_[t];
    store(t, walker_.walk_listing(*model_, roots[t], piece, mine, n_both_[t]));
    for (std::uint32_t k = 0; k < n_both_[t]; ++k) ++counts[mine[k]];
  }
}

void PieceBrackets::begin_change() {
  if (++change_ == 0) {  // the stamps wrapped around: none may look current
    std::fill(walked_in_.begin(), walked_in_.end(), 0);
    change_ = 1;
  }
}

// Walks tree t again (at most once per change), recording its bracket and list first.
void PieceBrackets::rewalk(std::uint32_t t, const BoxView& piece,
                           std::span<std::uint64_t> counts) {
  if (walked_in_[t] == change_) return;
  walked_in_[t] = change_;
  std::uint32_t* mine = both_.data() + both_offsets_[t];
  const std::uint32_t n_old = n_both_[t];
  records_.push_back(Record{t, n_old, lows_[t], highs_[t], present_[t] != 0});
  for (std::uint32_t k = 0; k < n_old; ++k) {
    old_both_.push_back(mine[k]);
    --counts[mine[k]];
  }
  store(t, walker_.walk_listing(*model_, model_->ensemble().tree_roots()[t], piece, mine,
                                n_both_[t]));
  for (std::uint32_t k = 0; k < n_both_[t]; ++k) ++counts[mine[k]];
}

void PieceBrackets::moved(std::size_t f, double old_lo, double old_hi, const BoxView& piece,
                          std::span<std::uint64_t> counts) {
  ensure(old_lo <= piece.lo[f] && piece.hi[f] <= old_hi, "a piece only narrows");
  begin_change();
  // A narrower extent changes a tree's walk only at the splits its last walk arrived at;
  // one that never arrived at a moved split keeps its bracket and counts. (A walk that
  // stopped at an undefined missing route is walked again, whatever it arrived at.)
  const auto visit = [&](std::uint32_t t, std::uint32_t node) {
    if (walked_in_[t] == change_) return;
    if (present_[t] && !model_->may_arrive(node, piece, f)) return;
    rewalk(t, piece, counts);
  };
  model_->for_each_tree_split_between(f, old_lo, piece.lo[f], visit);
  model_->for_each_tree_split_between(f, old_hi, piece.hi[f], visit);
  for (std::uint32_t t : model_->trees_with_categorical_split_on(f)) rewalk(t, piece, counts);
}

void PieceBrackets::recoded(std::size_t f, const BoxView& piece,
                            std::span<std::uint64_t> counts) {
  begin_change();
  for (std::uint32_t t : model_->trees_splitting_on(f)) rewalk(t, piece, counts);
}

void PieceBrackets::restore(std::size_t mark, std::span<std::uint64_t> counts) {
  ensure(mark <= records_.size(), "restore to a recorded state");
  while (records_.size() > mark) {
    const Record& r = records_.back();
    std::uint32_t* mine = both_.data() + both_offsets_[r.tree];
    for (std::uint32_t k = 0; k < n_both_[r.tree]; ++k) --counts[mine[k]];
    const std::size_t base = old_both_.size() - r.n_both;
    for (std::uint32_t k = 0; k < r.n_both; ++k) {
      mine[k] = old_both_[base + k];
      ++counts[mine[k]];
    }
    old_both_.resize(base);
    n_both_[r.tree] = r.n_both;
    store(r.tree, r.present ? MaybeBracket(Bracket{r.low, r.high}) : std::nullopt);
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

}  // namespace morvel::regions
