// Leaf tables: the leaves each listed tree reaches in the box being priced, with
// their parts of the tree's slots, kept priced as the block updates move the prices.
#include <algorithm>
#include <cmath>

#include "exact/lagrange.hpp"

namespace morvel::exact {

// Lists the leaves every listed tree reaches in `box`, with the parts along their paths (the
// cells of each slot the box and the path allow), as the walks narrow them.
void LagrangeBound::list_leaves(const Box& box) {
  tree_rows_.assign(1, 0);
  tree_parts_.assign(listed_.size(), 0);
  leaf_values_.clear();
  leaf_terms_.clear();
  leaf_parts_.clear();
  for (std::size_t t = 0; t < listed_.size(); ++t) {
    tree_parts_[t] = static_cast<std::uint32_t>(leaf_parts_.size());
    if (listed_[t] != 0) {
      for (std::uint32_t s = tree_slots_[t]; s < tree_slots_[t + 1]; ++s) {
        fill_cells(s, box.ranges[slots_[s].feature], cur_[s]);
      }
      list_tree(box, t, ensemble_->tree_roots()[t]);
    }
    visits_ += static_cast<double>(leaf_values_.size() - tree_rows_.back());
    tree_rows_.push_back(static_cast<std::uint32_t>(leaf_values_.size()));
    if (listed_[t] != 0) to_columns(t);
  }
}

// Tree t's parts, listed leaf by leaf, into a column per slot.
void LagrangeBound::to_columns(std::size_t t) {
  const std::uint32_t n_slots = tree_slots_[t + 1] - tree_slots_[t];
  const std::uint32_t n_rows = tree_rows_[t + 1] - tree_rows_[t];
  Part* block = leaf_parts_.data() + tree_parts_[t];
  listed_scratch_.assign(block, block + std::size_t{n_slots} * n_rows);
  for (std::uint32_t k = 0; k < n_rows; ++k) {
    for (std::uint32_t j = 0; j < n_slots; ++j) {
      block[std::size_t{j} * n_rows + k] = listed_scratch_[std::size_t{k} * n_slots + j];
    }
  }
}

// Depth first below node n of tree t (listed trees are at most 64 deep).
void LagrangeBound::list_tree(const Box& box, std::size_t t, std::uint32_t n) {
  const Node& w = nodes_[n];
  if (w.feature < 0) {
    leaf_values_.push_back(w.lo);
    leaf_terms_.push_back(0.0);
    leaf_parts_.insert(leaf_parts_.end(), cur_.begin() + tree_slots_[t],
                       cur_.begin() + tree_slots_[t + 1]);
    return;
  }
  const auto f = static_cast<std::size_t>(w.feature);
  const FeatureKind kind = fs_->kind(f);
  if (kind == FeatureKind::Fixed) {
    list_tree(box, t, ensemble_->next_node(n, fs_->fixed_value(f)));
    return;
  }
  if (kind == FeatureKind::Masked) {
    bool any_l = false, any_r = false;
    masked_sides(box, w, any_l, any_r);
    if (any_l) list_tree(box, t, w.left);
    if (any_r) list_tree(box, t, w.right);
    return;
  }
  const Part c = cur_[w.slot];
  Part l, r;
  split_part(c, w, l, r);
  if (l.lo <= l.hi || l.nan) {
    cur_[w.slot] = l;
    list_tree(box, t, w.left);
  }
  if (r.lo <= r.hi || r.nan) {
    cur_[w.slot] = r;
    list_tree(box, t, w.right);
  }
  cur_[w.slot] = c;
}

// Every listed leaf's least prices per part and its term, at the prices in use.
void LagrangeBound::price_leaves() {
  const double lam = lam_lo_ - lam_hi_;
  for (std::size_t t = 0; t + 1 < tree_rows_.size(); ++t) {
    const std::uint32_t first = tree_slots_[t], n_slots = tree_slots_[t + 1] - first;
    const std::uint32_t n_rows = tree_rows_[t + 1] - tree_rows_[t];
    Part* parts = column(t, 0);  // a tree's columns are small: a row reads across them
    for (std::uint32_t k = 0; k < n_rows; ++k) {
      double sum = 0.0;
      for (std::uint32_t j = 0; j < n_slots; ++j) {
        Part& p = parts[std::size_t{j} * n_rows + k];
        p.min = part_min(first + j, p);
        sum = sum + p.min;
      }
      leaf_terms_[tree_rows_[t] + k] = sum - lam * leaf_values_[tree_rows_[t] + k];
    }
  }
}

// After feature f's prices moved: the least prices of its slots' parts, and the terms. A
// term that follows its parts drifts from their fresh sum by a rounding per move: an ascent
// only chooses prices by it, and a trim moves each part at most once after a fresh
// listing, far inside the bound's allowance.
void LagrangeBound::reprice_leaves(std::size_t f) {
  const double lam = lam_lo_ - lam_hi_;
  for (std::uint32_t i = feature_slots_[f]; i < feature_slots_[f + 1]; ++i) {
    const std::uint32_t s = feature_slot_list_[i];
    const std::size_t t = slots_[s].tree;
    const std::uint32_t n_slots = tree_slots_[t + 1] - tree_slots_[t];
    const std::uint32_t n_rows = tree_rows_[t + 1] - tree_rows_[t];
    double* terms = leaf_terms_.data() + tree_rows_[t];
    Part* parts = column(t, s - tree_slots_[t]);
    for (std::uint32_t k = 0; k < n_rows; ++k) {
      const double before = parts[k].min;
      const double after = part_min(s, parts[k]);
      parts[k].min = after;
      // The term follows the one part that moved; an infinite part (a leaf a trim cut off)
      // has the sum taken afresh, which then stays infinite.
      if (std::isfinite(before) && std::isfinite(after) && std::isfinite(terms[k])) {
        terms[k] = terms[k] + (after - before);
        continue;
      }
      double sum = 0.0;
      for (std::uint32_t j = 0; j < n_slots; ++j) sum = sum + column(t, j)[k].min;
      terms[k] = sum - lam * leaf_values_[tree_rows_[t] + k];
    }
    visits_ += static_cast<double>(tree_rows_[t + 1] - tree_rows_[t]);
  }
}

// After a trim narrowed feature f to `r`: its slots' parts of every listed leaf cut to the
// cells `r` meets (an empty part prices at +inf, and so does the leaf), and the terms.
void LagrangeBound::narrow_leaves(std::size_t f, const RankRange& r) {
  for (std::uint32_t i = feature_slots_[f]; i < feature_slots_[f + 1]; ++i) {
    const std::uint32_t s = feature_slot_list_[i];
    const std::size_t t = slots_[s].tree;
    const std::uint32_t j = s - tree_slots_[t];
    Part kept{};
    fill_cells(s, r, kept);
    Part* parts = column(t, j);
    for (std::uint32_t k = 0; k < tree_rows_[t + 1] - tree_rows_[t]; ++k) {
      Part& p = parts[k];
      p.lo = std::max(p.lo, kept.lo);
      p.hi = std::min(p.hi, kept.hi);
      p.nan = p.nan && kept.nan;
    }
  }
  reprice_leaves(f);
}

// Slot s's min-marginals from its tree's leaves, as record_marginal takes them on a walk.
void LagrangeBound::leaf_marginals(std::uint32_t s) {
  const std::size_t t = slots_[s].tree;
  const std::uint32_t j = s - tree_slots_[t];
  double* m = marginal_.data() + slots_[s].mu;
  const std::uint32_t nan_cell = slots_[s].n_cells;
  const Part* parts = column(t, j);
  const double* terms = leaf_terms_.data() + tree_rows_[t];
  for (std::uint32_t k = 0; k < tree_rows_[t + 1] - tree_rows_[t]; ++k) {
    const Part& p = parts[k];
    const double rest = terms[k] - p.min;
    for (std::int32_t c = p.lo; c <= p.hi; ++c) m[c] = std::min(m[c], rest);
    if (p.nan) m[nan_cell] = std::min(m[nan_cell], rest);
  }
  visits_ += static_cast<double>(tree_rows_[t + 1] - tree_rows_[t]);
}

}  // namespace morvel::exact
