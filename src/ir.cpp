// Ensemble construction, validation and row scoring.
#include "ir.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>

#include "errors.hpp"

namespace morvel {

struct Ensemble::Caches {
  std::once_flag cells_once;
  std::once_flag blocks_once;
  FeatureCells cells;
  CategoryBlocks blocks;
};

Ensemble::~Ensemble() = default;
Ensemble::Ensemble(Ensemble&&) noexcept = default;
Ensemble& Ensemble::operator=(Ensemble&&) noexcept = default;

Link parse_link(const std::string& name) {
  if (name == "identity") return Link::Identity;
  if (name == "sigmoid") return Link::Sigmoid;
  throw ValidationError("unknown link " + quoted(name));
}

namespace {

void check_length(const char* name, std::size_t len, std::size_t n) {
  if (len != n) {
    throw ValidationError("array " + std::string(name) + " has length " + std::to_string(len) +
                          ", expected " + std::to_string(n));
  }
}

// Every node reachable from the roots must have exactly one parent: one split, or one
// entry of tree_roots. A cycle would make a walk loop forever; a shared subtree would be
// copied once per path into the scoring layout (a chain of 30 nodes whose children
// coincide has 2^30 paths), so both are refused to keep every layout linear in the input.
void check_tree_shape(std::span<const std::int32_t> feature, std::span<const std::uint32_t> left,
                      std::span<const std::uint32_t> right, std::span<const std::uint32_t> roots) {
  enum : std::uint8_t { kUnseen = 0, kOnPath = 1, kDone = 2 };
  std::vector<std::uint8_t> state(feature.size(), kUnseen);
  std::vector<std::pair<std::uint32_t, std::uint8_t>> stack;  // node, children visited
  auto shared = [](std::uint32_t node) {
    return ValidationError("node " + std::to_string(node) + ": reached from more than one parent");
  };
  for (std::uint32_t root : roots) {
    if (state[root] != kUnseen) throw shared(root);
    stack.assign(1, {root, 0});
    state[root] = kOnPath;
    while (!stack.empty()) {
      auto& [node, visited] = stack.back();
      if (feature[node] < 0 || visited == 2) {
        state[node] = kDone;
        stack.pop_back();
        continue;
      }
      const std::uint32_t child = visited++ == 0 ? left[node] : right[node];
      if (state[child] == kOnPath) {
        throw ValidationError("node " + std::to_string(node) + ": child index forms a cycle");
      }
      if (state[child] == kDone) throw shared(child);
      state[child] = kOnPath;
      stack.push_back({child, 0});
    }
  }
}

}  // namespace

Ensemble Ensemble::create(std::vector<std::int32_t> feature, std::vector<double> threshold,
                          std::vector<std::uint8_t> is_lt, std::vector<std::uint8_t> missing_left,
                          std::vector<std::uint32_t> left, std::vector<std::uint32_t> right,
                          std::vector<double> value, double base_score,
                          std::vector<std::uint32_t> tree_roots, Link link,
                          std::size_t n_features) {
  if (n_features > kMaxFeatures) {
    throw ValidationError("n_features " + std::to_string(n_features) +
                          " exceeds the supported maximum of " + std::to_string(kMaxFeatures));
  }
  const std::size_t n = feature.size();
  check_length("threshold", threshold.size(), n);
  check_length("is_lt", is_lt.size(), n);
  check_length("missing_left", missing_left.size(), n);
  check_length("left", left.size(), n);
  check_length("right", right.size(), n);
  check_length("value", value.size(), n);
  for (std::size_t i = 0; i < n; ++i) {
    if (feature[i] < 0) continue;
    if (static_cast<std::size_t>(feature[i]) >= n_features) {
      throw ValidationError("node " + std::to_string(i) + ": feature index out of range");
    }
    if (left[i] >= n || right[i] >= n) {
      throw ValidationError("node " + std::to_string(i) + ": child index out of range");
    }
    // `v < NaN` is false for every v, but the batched routing step would read the
    // comparison differently once a block holds a missing value; no converter emits one.
    if (std::isnan(threshold[i])) {
      throw ValidationError("node " + std::to_string(i) + ": threshold is NaN");
    }
  }
  for (std::uint32_t root : tree_roots) {
    if (root >= n) throw ValidationError("tree root out of range");
  }
  check_tree_shape(feature, left, right, tree_roots);

  Ensemble e;
  e.feature_ = std::move(feature);
  e.threshold_ = std::move(threshold);
  e.is_lt_ = std::move(is_lt);
  e.missing_left_ = std::move(missing_left);
  e.left_ = std::move(left);
  e.right_ = std::move(right);
  e.value_ = std::move(value);
  e.tree_roots_ = std::move(tree_roots);
  e.node_set_.assign(n, -1);
  e.set_offsets_.assign(1, 0);
  e.base_score_ = base_score;
  e.n_features_ = n_features;
  e.link_ = link;
  e.caches_ = std::make_unique<Caches>();
  e.build_score_nodes();
  return e;
}

Ensemble Ensemble::with_categories(Ensemble e, std::vector<std::int32_t> node_set,
                                   std::vector<std::uint32_t> set_offsets,
                                   std::vector<std::uint64_t> set_words,
                                   std::vector<std::uint32_t> cardinality) {
  if (cardinality.size() != e.n_features_) {
    throw ValidationError("cardinality length differs from n_features");
  }
  std::vector<CategoricalFeature> categorical;
  for (std::size_t f = 0; f < cardinality.size(); ++f) {
    if (cardinality[f] != 0) categorical.push_back({static_cast<std::uint32_t>(f), cardinality[f]});
  }
  return with_categorical_features(std::move(e), std::move(node_set), std::move(set_offsets),
                                   std::move(set_words), std::move(categorical));
}

Ensemble Ensemble::with_categorical_features(Ensemble e, std::vector<std::int32_t> node_set,
                                             std::vector<std::uint32_t> set_offsets,
                                             std::vector<std::uint64_t> set_words,
                                             std::vector<CategoricalFeature> categorical) {
  if (node_set.size() != e.n_nodes()) {
    throw ValidationError("node_set length differs from the node count");
  }
  if (set_offsets.empty() || set_offsets[0] != 0) {
    throw ValidationError("set_offsets must start at 0");
  }
  for (std::size_t k = 0; k + 1 < set_offsets.size(); ++k) {
    if (set_offsets[k + 1] < set_offsets[k]) {
      throw ValidationError("set_offsets must be non-decreasing");
    }
  }
  if (set_offsets.back() != set_words.size()) {
    throw ValidationError("set_offsets must end at set_words length");
  }
  for (const CategoricalFeature& c : categorical) {
    if (c.feature >= e.n_features_) throw ValidationError("categorical index out of range");
  }
  std::stable_sort(categorical.begin(), categorical.end(),
                   [](const CategoricalFeature& a, const CategoricalFeature& b) {
                     return a.feature < b.feature;
                   });
  std::vector<CategoricalFeature> kept;
  for (const CategoricalFeature& c : categorical) {
    if (!kept.empty() && kept.back().feature == c.feature) {
      kept.back() = c;  // a later entry for the feature wins
    } else {
      kept.push_back(c);
    }
  }
  std::erase_if(kept, [](const CategoricalFeature& c) { return c.cardinality == 0; });
  for (const CategoricalFeature& c : kept) {
    if (c.cardinality > kMaxCategories) {
      throw ValidationError("feature " + std::to_string(c.feature) + ": " +
                            std::to_string(c.cardinality) +
                            " categories exceed the supported maximum of " +
                            std::to_string(kMaxCategories));
    }
  }
  for (std::size_t i = 0; i < node_set.size(); ++i) {
    if (node_set[i] < 0) continue;
    if (e.feature_[i] < 0) {
      throw ValidationError("node " + std::to_string(i) + ": a leaf cannot carry a split set");
    }
    if (static_cast<std::size_t>(node_set[i]) >= set_offsets.size() - 1) {
      throw ValidationError("node " + std::to_string(i) + ": set index out of range");
    }
  }
  e.node_set_ = std::move(node_set);
  e.set_offsets_ = std::move(set_offsets);
  e.set_words_ = std::move(set_words);
  e.categorical_ = std::move(kept);
  e.caches_ = std::make_unique<Caches>();
  e.build_score_nodes();
  return e;
}

std::uint32_t Ensemble::cardinality(std::size_t f) const {
  const auto it = std::lower_bound(
      categorical_.begin(), categorical_.end(), f,
      [](const CategoricalFeature& c, std::size_t g) { return c.feature < g; });
  return it != categorical_.end() && it->feature == f ? it->cardinality : 0;
}


const FeatureCells& Ensemble::feature_cells() const {
  std::call_once(caches_->cells_once, [this] {
    const Ensemble* self = this;
    caches_->cells = feature_cells_joint(std::span<const Ensemble* const>(&self, 1));
  });
  return caches_->cells;
}

const CategoryBlocks& Ensemble::category_blocks() const {
  std::call_once(caches_->blocks_once, [this] {
    const Ensemble* self = this;
    caches_->blocks = category_blocks_joint(std::span<const Ensemble* const>(&self, 1));
  });
  return caches_->blocks;
}

}  // namespace morvel
