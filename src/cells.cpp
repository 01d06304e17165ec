// Cells from numeric thresholds, category blocks from routing signatures.
#include "cells.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "errors.hpp"
#include "ir.hpp"

namespace morvel {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// IEEE-754 totalOrder as an integer key: negatives (including -NaN) below positives.
std::int64_t total_order_key(double v) {
  const auto bits = std::bit_cast<std::int64_t>(v);
  return bits < 0 ? bits ^ std::numeric_limits<std::int64_t>::max() : bits;
}

struct Split {
  double threshold;
  bool has_lt;
  bool has_le;
};

// Distinct thresholds of one feature with their operator flags, sorted by total order.
std::vector<Split> merge_splits(std::vector<std::pair<double, bool>> raw) {
  for (auto& [t, lt] : raw) {
    if (t == 0.0) t = 0.0;  // -0.0 and +0.0 are one threshold
  }
  std::stable_sort(raw.begin(), raw.end(), [](const auto& a, const auto& b) {
    return total_order_key(a.first) < total_order_key(b.first);
  });
  std::vector<Split> out;
  for (const auto& [t, lt] : raw) {
    if (out.empty() || !(out.back().threshold == t)) out.push_back({t, false, false});
    (lt ? out.back().has_lt : out.back().has_le) = true;
  }
  return out;
}

CellList cells_from_splits(const std::vector<Split>& splits) {
  CellList cells;
  double lower = -kInf;
  bool lower_open = true;
  for (const Split& s : splits) {
    const double t = s.threshold;
    if (s.has_lt && s.has_le) {
      cells.push_back({lower, t, lower_open, true});
      cells.push_back({t, t, false, false});
      lower_open = true;
    } else if (s.has_le) {
      cells.push_back({lower, t, lower_open, false});
      lower_open = true;
    } else {
      cells.push_back({lower, t, lower_open, true});
      lower_open = false;
    }
    lower = t;
  }
  cells.push_back({lower, kInf, lower_open, true});
  return cells;
}

// One float32 step from f towards +inf (up) or -inf (down); keeps NaN and the infinity
// it would step away from.
double float_neighbour(double end, bool up) {
  const float f = static_cast<float>(end);
  if (std::isnan(f) || f == (up ? std::numeric_limits<float>::infinity()
                                 : -std::numeric_limits<float>::infinity())) {
    return static_cast<double>(f);
  }
  return static_cast<double>(
      std::nextafter(f, up ? std::numeric_limits<float>::infinity()
                           : -std::numeric_limits<float>::infinity()));
}

double double_neighbour(double end, bool up) {
  if (std::isnan(end) || end == (up ? kInf : -kInf)) return end;
  return std::nextafter(end, up ? kInf : -kInf);
}

bool routes_left_numeric(const Ensemble& e, std::size_t node, double v) {
  return e.is_lt()[node] ? v < e.threshold()[node] : v <= e.threshold()[node];
}

}  // namespace

double Cell::nearest_to(double v) const {
  if (contains(v)) return v;
  if (v <= lo) {
    if (!lo_open) return lo;
    const double c = float_neighbour(lo, true);
    if (c > lo && below_hi(c)) return c;
    return double_neighbour(lo, true);
  }
  if (!hi_open) return hi;
  const double c = float_neighbour(hi, false);
  if (c < hi && above_lo(c)) return c;
  return double_neighbour(hi, false);
}

FeatureCells feature_cells_joint(std::span<const Ensemble* const> ensembles) {
  const std::size_t n_features = ensembles.empty() ? 0 : ensembles[0]->n_features();
  for (const Ensemble* e : ensembles) {
    if (e->n_features() != n_features) {
      internal_fail("all ensembles must share the same feature space");
    }
  }
  std::vector<std::vector<std::pair<double, bool>>> raw(n_features);
  for (const Ensemble* e : ensembles) {
    const auto feature = e->feature();
    const auto node_set = e->node_set();
    for (std::size_t i = 0; i < e->n_nodes(); ++i) {
      if (feature[i] < 0 || node_set[i] >= 0) continue;
      raw[static_cast<std::size_t>(feature[i])].emplace_back(e->threshold()[i],
                                                             e->is_lt()[i] != 0);
    }
  }
  FeatureCells cells(n_features);
  for (std::size_t f = 0; f < n_features; ++f) {
    cells[f] = cells_from_splits(merge_splits(std::move(raw[f])));
  }
  return cells;
}

CategoryBlocks category_blocks_joint(std::span<const Ensemble* const> ensembles) {
  const std::size_t n_features = ensembles.empty() ? 0 : ensembles[0]->n_features();
  CategoryBlocks blocks(n_features);
  for (std::size_t f = 0; f < n_features; ++f) {
    std::uint32_t m = 0;
    for (const Ensemble* e : ensembles) {
      if (f >= e->n_features()) continue;
      const std::uint32_t card = e->cardinality(f);
      if (card == 0) continue;
      if (m == 0) {
        m = card;
      } else if (m != card) {
        internal_fail("ensembles disagree on the cardinality of feature " + std::to_string(f) +
                      " (left: " + std::to_string(m) + ", right: " + std::to_string(card) + ")");
      }
    }
    if (m == 0) continue;

    // Splits on f, over the ensembles in order and nodes in index order.
    std::vector<std::pair<const Ensemble*, std::size_t>> splits;
    for (const Ensemble* e : ensembles) {
      const auto feature = e->feature();
      for (std::size_t i = 0; i < e->n_nodes(); ++i) {
        if (feature[i] >= 0 && static_cast<std::size_t>(feature[i]) == f) splits.emplace_back(e, i);
      }
    }
    auto signature = [&](std::uint32_t k, std::vector<std::uint8_t>& out) {
      out.clear();
      for (const auto& [e, i] : splits) {
        const std::int32_t s = e->node_set()[i];
        out.push_back(s >= 0 ? e->set_contains(static_cast<std::size_t>(s), k)
                             : routes_left_numeric(*e, i, static_cast<double>(k)));
      }
    };

    BlockList& list = blocks[f];
    std::vector<std::vector<std::uint8_t>> heads;  // signature of each block's first code
    std::vector<std::uint8_t> sig;
    for (std::uint32_t k = 0; k < m; ++k) {
      signature(k, sig);
      auto it = std::find(heads.begin(), heads.end(), sig);
      if (it == heads.end()) {
        heads.push_back(sig);
        list.push_back({k});
      } else {
        list[static_cast<std::size_t>(it - heads.begin())].push_back(k);
      }
    }
  }
  return blocks;
}

std::size_t cell_index(std::span<const Cell> cells, double v) {
  for (std::size_t i = 0; i < cells.size(); ++i) {
    if (cells[i].contains(v)) return i;
  }
  internal_fail("value not covered by cells (should be impossible)");
}

std::size_t block_index(const BlockList& blocks, std::uint32_t c) {
  for (std::size_t j = 0; j < blocks.size(); ++j) {
    if (std::find(blocks[j].begin(), blocks[j].end(), c) != blocks[j].end()) return j;
  }
  internal_fail("code not covered by blocks (should be impossible)");
}

}  // namespace morvel
