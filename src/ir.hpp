// The flat tree ensemble: one node array shared by all trees, validated once at
// construction and immutable afterwards, so any number of threads may read it.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cells.hpp"

namespace morvel {

enum class Link : std::uint8_t { Identity = 0, Sigmoid = 1 };

// A feature the model reads as category codes, and its number of categories (> 0).
struct CategoricalFeature {
  std::uint32_t feature;
  std::uint32_t cardinality;
};

// Parses "identity" / "sigmoid"; anything else throws ValidationError.
Link parse_link(const std::string& name);

// Routing node of the scoring loop, packed into 16 bytes. Nodes are laid out tree by tree
// in breadth-first order with siblings adjacent (right child at `first`, left child at
// `first + 1`), so a test's outcome is added to `first`. Every numeric split is stored as
// `v < threshold` (a `<=` split uses the next double up); a leaf points to itself and can
// never go left, so a walk takes a fixed number of steps per tree.
struct ScoreNode {
  double threshold;
  std::uint32_t first;  // right child; the left child follows it
  std::uint32_t meta;   // feature | kSlowBit (categorical or `<= +inf`) | kMissingLeftBit

  static constexpr std::uint32_t kMissingLeftBit = 1u << 31;
  static constexpr std::uint32_t kSlowBit = 1u << 30;
  static constexpr std::uint32_t kFeatureMask = kSlowBit - 1;
};

class Ensemble {
 public:
  // Widest row a model may declare: feature indices must fit below ScoreNode's flag bits.
  static constexpr std::size_t kMaxFeatures = std::size_t{1} << 30;
  // Most category codes per feature: every code is listed in the category blocks, and
  // float32 inputs (as the libraries read them) cannot tell larger codes apart.
  static constexpr std::uint32_t kMaxCategories = std::uint32_t{1} << 24;

  // Validates the node arrays; throws ValidationError with the first failure's text.
  // Beyond index ranges it refuses n_features above kMaxFeatures, a NaN threshold on any
  // split (every split is numeric until categories are attached), cycles, and nodes
  // reached from more than one parent or root entry (shared subtrees).
  static Ensemble create(std::vector<std::int32_t> feature, std::vector<double> threshold,
                         std::vector<std::uint8_t> is_lt, std::vector<std::uint8_t> missing_left,
                         std::vector<std::uint32_t> left, std::vector<std::uint32_t> right,
                         std::vector<double> value, double base_score,
                         std::vector<std::uint32_t> tree_roots, Link link,
                         std::size_t n_features);

  // Replaces the categorical fields; throws ValidationError on malformed sets, on feature
  // indices out of range and on cardinalities above kMaxCategories. `categorical` lists the
  // categorical features in any order; a later entry for a feature replaces an earlier
  // one, and a cardinality of 0 makes the feature numeric. Only these entries are stored,
  // so a model costs no memory per declared feature.
  static Ensemble with_categorical_features(Ensemble ensemble,
                                            std::vector<std::int32_t> node_set,
                                            std::vector<std::uint32_t> set_offsets,
                                            std::vector<std::uint64_t> set_words,
                                            std::vector<CategoricalFeature> categorical);
  // The same with one cardinality per feature (n_features entries, 0 for numeric).
  static Ensemble with_categories(Ensemble ensemble, std::vector<std::int32_t> node_set,
                                  std::vector<std::uint32_t> set_offsets,
                                  std::vector<std::uint64_t> set_words,
                                  std::vector<std::uint32_t> cardinality);

  Ensemble(Ensemble&&) noexcept;
  Ensemble& operator=(Ensemble&&) noexcept;
  Ensemble(const Ensemble&) = delete;
  Ensemble& operator=(const Ensemble&) = delete;
  ~Ensemble();

  std::size_t n_nodes() const { return feature_.size(); }
  std::size_t n_trees() const { return tree_roots_.size(); }
  std::size_t n_features() const { return n_features_; }
  double base_score() const { return base_score_; }
  Link link() const { return link_; }

  std::span<const std::int32_t> feature() const { return feature_; }
  std::span<const double> threshold() const { return threshold_; }
  std::span<const std::uint8_t> is_lt() const { return is_lt_; }
  std::span<const std::uint8_t> missing_left() const { return missing_left_; }
  std::span<const std::uint32_t> left() const { return left_; }
  std::span<const std::uint32_t> right() const { return right_; }
  std::span<const double> value() const { return value_; }
  std::span<const std::uint32_t> tree_roots() const { return tree_roots_; }
  std::span<const std::int32_t> node_set() const { return node_set_; }
  std::span<const std::uint32_t> set_offsets() const { return set_offsets_; }
  std::span<const std::uint64_t> set_words() const { return set_words_; }
  // The categorical features in ascending order of feature.
  std::span<const CategoricalFeature> categorical_features() const { return categorical_; }
  // Number of categories of feature f; 0 for a numeric feature.
  std::uint32_t cardinality(std::size_t f) const;

  bool is_leaf(std::size_t node) const { return feature_[node] < 0; }
  bool is_categorical_feature(std::size_t f) const { return cardinality(f) != 0; }

  // True when code `c` is a member of categorical split set `s` (codes past the set's
  // words are non-members).
  bool set_contains(std::size_t s, std::uint64_t c) const {
    const std::uint64_t n_words = set_offsets_[s + 1] - set_offsets_[s];
    if (c / 64 >= n_words) return false;
    return (set_words_[set_offsets_[s] + c / 64] >> (c % 64)) & 1u;
  }

  // The child a value takes at internal node `node`; NaN follows the missing side.
  std::uint32_t next_node(std::size_t node, double v) const {
    if (std::isnan(v)) return missing_left_[node] ? left_[node] : right_[node];
    bool go_left;
    const std::int32_t s = node_set_[node];
    if (s < 0) {
      go_left = is_lt_[node] ? v < threshold_[node] : v <= threshold_[node];
    } else {
      // Non-codes (negative, fractional, infinite) go right; huge whole numbers saturate
      // (and lie past every set's words).
      go_left = std::isfinite(v) && v >= 0.0 && v == std::trunc(v) &&
                set_contains(static_cast<std::size_t>(s),
                             v >= 9223372036854775807.0 ? 9223372036854775807ull
                                                        : static_cast<std::uint64_t>(v));
    }
    return go_left ? left_[node] : right_[node];
  }

  // Raw score: base_score plus the reached leaf of every tree, summed in tree order.
  double raw_score(const double* row) const;

  // Scores n_rows row-major rows of n_features values into out (n_rows entries).
  void raw_score_batch_into(const double* x, std::size_t n_rows, double* out,
                            bool parallel) const;
  std::vector<double> raw_score_batch(const double* x, std::size_t n_rows, bool parallel) const;

  // Cells and category blocks of this ensemble alone, computed once and cached.
  const FeatureCells& feature_cells() const;
  const CategoryBlocks& category_blocks() const;

 private:
  Ensemble() = default;
  void build_score_nodes();
  template <bool kAllFast, bool kNoNaN>
  std::uint32_t step(std::uint32_t node, const double* row) const;
  template <bool kAllFast, bool kNoNaN>
  void add_trees(const double* xb, std::size_t m, double* acc) const;
  void score_block(const double* x, std::size_t n_rows, double* out) const;

  std::vector<std::int32_t> feature_;
  std::vector<double> threshold_;
  std::vector<std::uint8_t> is_lt_;
  std::vector<std::uint8_t> missing_left_;
  std::vector<std::uint32_t> left_;
  std::vector<std::uint32_t> right_;
  std::vector<double> value_;
  std::vector<std::uint32_t> tree_roots_;
  std::vector<std::int32_t> node_set_;
  std::vector<std::uint32_t> set_offsets_;
  std::vector<std::uint64_t> set_words_;
  std::vector<CategoricalFeature> categorical_;  // ascending by feature, cardinality > 0
  double base_score_ = 0.0;
  std::size_t n_features_ = 0;
  Link link_ = Link::Identity;

  std::uint32_t slow_step(std::uint32_t node, double v) const;

  // The scoring layout (see ScoreNode).
  std::vector<ScoreNode> score_nodes_;
  std::vector<double> score_value_;        // leaf value per scoring node
  std::vector<std::uint32_t> score_origin_;  // node index in the flat arrays
  std::vector<std::uint32_t> score_roots_;
  std::vector<std::uint32_t> tree_depth_;  // longest root-to-leaf path of each tree, in edges
  bool all_fast_ = true;                   // no node needs the slow test

  struct Caches;
  std::unique_ptr<Caches> caches_;
};

}  // namespace morvel
