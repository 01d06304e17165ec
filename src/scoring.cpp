// Row scoring. Rows are scored in blocks: each tree is walked for every row of a block
// before moving to the next tree, so a tree's nodes stay in cache while the block passes,
// and several rows walk the same tree at once so that their memory loads overlap. Every
// row still sums its leaves in tree order starting from the base score.
#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>

#include "ir.hpp"
#include "pool.hpp"

namespace morvel {
namespace {

constexpr std::size_t kBlockRows = 64;
constexpr std::size_t kLanes = 8;

}  // namespace

void Ensemble::build_score_nodes() {
  const double inf = std::numeric_limits<double>::infinity();
  score_nodes_.clear();
  score_value_.clear();
  score_origin_.clear();
  score_roots_.clear();
  tree_depth_.assign(n_trees(), 0);
  all_fast_ = true;
  // Breadth-first per tree; each entry is (scoring index, flat index, depth).
  std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>> queue;
  auto add = [&](std::uint32_t flat) {
    score_nodes_.push_back(ScoreNode{});
    score_value_.push_back(value_[flat]);
    score_origin_.push_back(flat);
    return static_cast<std::uint32_t>(score_nodes_.size() - 1);
  };
  for (std::size_t t = 0; t < n_trees(); ++t) {
    queue.clear();
    const std::uint32_t root = add(tree_roots_[t]);
    score_roots_.push_back(root);
    queue.emplace_back(root, tree_roots_[t], 0);
    for (std::size_t q = 0; q < queue.size(); ++q) {
      const auto [idx, flat, depth] = queue[q];
      ScoreNode& s = score_nodes_[idx];
      if (feature_[flat] < 0) {
        // Never goes left: nothing is below -inf and a NaN goes right.
        s = ScoreNode{-inf, idx, 0};
        tree_depth_[t] = std::max(tree_depth_[t], depth);
        continue;
      }
      const std::uint32_t first = add(right_[flat]);
      add(left_[flat]);
      ScoreNode& node = score_nodes_[idx];  // `add` may have moved the vector
      node.first = first;
      node.threshold = threshold_[flat];
      node.meta = static_cast<std::uint32_t>(feature_[flat]);
      if (missing_left_[flat]) node.meta |= ScoreNode::kMissingLeftBit;
      const bool numeric = node_set_[flat] < 0;
      if (numeric && !is_lt_[flat] && !std::isnan(threshold_[flat]) &&
          threshold_[flat] != inf) {
        // For every non-NaN v: v <= t exactly when v < nextafter(t, +inf).
        node.threshold = std::nextafter(threshold_[flat], inf);
      } else if (!numeric || !is_lt_[flat]) {
        node.meta |= ScoreNode::kSlowBit;
        all_fast_ = false;
      }
      queue.emplace_back(first, right_[flat], depth + 1);
      queue.emplace_back(first + 1, left_[flat], depth + 1);
    }
  }
}

// Construction refuses wider models, so every feature index fits below the flag bits.
static_assert(Ensemble::kMaxFeatures - 1 == ScoreNode::kFeatureMask);

std::uint32_t Ensemble::slow_step(std::uint32_t node, double v) const {
  const ScoreNode& n = score_nodes_[node];
  if (n.first == node) return node;  // a leaf
  const std::uint32_t flat = score_origin_[node];
  return next_node(flat, v) == left_[flat] ? n.first + 1 : n.first;
}

// One routing step, without branches on the data: a NaN fails `v < t` and passes
// `!(v >= t)`, which sends it left exactly when the missing-left bit is set.
// Blocks known to hold no NaN skip the missing-value test.
template <bool kAllFast, bool kNoNaN>
inline std::uint32_t Ensemble::step(std::uint32_t node, const double* row) const {
  const ScoreNode& n = score_nodes_[node];
  const std::uint32_t meta = n.meta;
  if constexpr (!kAllFast) {
    if (meta & ScoreNode::kSlowBit) [[unlikely]] {
      return slow_step(node, row[meta & ScoreNode::kFeatureMask]);
    }
  }
  const double v = row[meta & ScoreNode::kFeatureMask];
  if constexpr (kNoNaN) {
    return n.first + static_cast<unsigned>(v < n.threshold);
  } else {
    const unsigned go_left = static_cast<unsigned>(v < n.threshold) |
                             (static_cast<unsigned>(!(v >= n.threshold)) & (meta >> 31));
    return n.first + go_left;
  }
}

double Ensemble::raw_score(const double* row) const {
  double score = base_score_;
  for (std::size_t t = 0; t < score_roots_.size(); ++t) {
    std::uint32_t node = score_roots_[t];
    if (all_fast_) {
      for (std::uint32_t d = 0; d < tree_depth_[t]; ++d) node = step<true, false>(node, row);
    } else {
      for (std::uint32_t d = 0; d < tree_depth_[t]; ++d) node = step<false, false>(node, row);
    }
    score = score + score_value_[node];
  }
  return score;
}

template <bool kAllFast, bool kNoNaN>
void Ensemble::add_trees(const double* xb, std::size_t m, double* acc) const {
  const std::size_t nf = n_features_;
  for (std::size_t t = 0; t < score_roots_.size(); ++t) {
    const std::uint32_t root = score_roots_[t];
    const std::uint32_t depth = tree_depth_[t];
    std::size_t r = 0;
    for (; r + kLanes <= m; r += kLanes) {
      std::uint32_t node[kLanes];
      for (std::size_t l = 0; l < kLanes; ++l) node[l] = root;
      for (std::uint32_t d = 0; d < depth; ++d) {
        for (std::size_t l = 0; l < kLanes; ++l) {
          node[l] = step<kAllFast, kNoNaN>(node[l], xb + (r + l) * nf);
        }
      }
      for (std::size_t l = 0; l < kLanes; ++l) acc[r + l] = acc[r + l] + score_value_[node[l]];
    }
    for (; r < m; ++r) {
      std::uint32_t node = root;
      for (std::uint32_t d = 0; d < depth; ++d) node = step<kAllFast, kNoNaN>(node, xb + r * nf);
      acc[r] = acc[r] + score_value_[node];
    }
  }
}

void Ensemble::score_block(const double* x, std::size_t n_rows, double* out) const {
  const std::size_t nf = n_features_;
  double acc[kBlockRows];
  for (std::size_t b0 = 0; b0 < n_rows; b0 += kBlockRows) {
    const std::size_t m = std::min(kBlockRows, n_rows - b0);
    const double* xb = x + b0 * nf;
    std::fill(acc, acc + m, base_score_);
    const bool has_nan = std::any_of(xb, xb + m * nf, [](double v) { return v != v; });
    if (all_fast_ && !has_nan) {
      add_trees<true, true>(xb, m, acc);
    } else if (all_fast_) {
      add_trees<true, false>(xb, m, acc);
    } else {
      add_trees<false, false>(xb, m, acc);
    }
    std::copy(acc, acc + m, out + b0);
  }
}

void Ensemble::raw_score_batch_into(const double* x, std::size_t n_rows, double* out,
                                    bool parallel) const {
  for_ranges(parallel, n_rows, 256, [&](std::size_t begin, std::size_t end) {
    score_block(x + begin * n_features_, end - begin, out + begin);
  });
}

std::vector<double> Ensemble::raw_score_batch(const double* x, std::size_t n_rows,
                                              bool parallel) const {
  std::vector<double> out(n_rows, 0.0);
  raw_score_batch_into(x, n_rows, out.data(), parallel);
  return out;
}

}  // namespace morvel
