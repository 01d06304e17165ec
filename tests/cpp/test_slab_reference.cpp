// The slab search against a plain reference that walks every tree of both ensembles over
// each piece afresh and sums the brackets in tree order (the search's first form, written
// recursively): outcome, witness point and nodes spent must agree bit for bit on random
// slabs, with leaf values of mixed magnitudes and windows at scores the pieces reach
// exactly. Also the incremental brackets alone, under random narrowings and restores,
// against fresh walks.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "cells.hpp"
#include "ir.hpp"
#include "random_trees.hpp"
#include "regions/brackets.hpp"
#include "regions/cell_ends.hpp"
#include "regions/growth.hpp"
#include "regions/piece_brackets.hpp"
#include "regions/region_slab.hpp"
#include "watch.hpp"

namespace morvel::regions {
namespace {

using testing::kRandomCard;
using testing::kRandomFeatures;
using testing::RandomTrees;
using Kind = SlabOutcome::Kind;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

class ReferenceSlab {
 public:
  ReferenceSlab(const SlabProblem& p, std::uint64_t budget)
      : p_(p), g_(*p.growth), budget_(budget), lo_(p.lo), hi_(p.hi), cats_(p.cats) {
    first_.assign(p.lo.size(), 0);
    last_.assign(p.lo.size(), 0);
    blocks_.resize(p.lo.size());
    for (std::uint32_t f : p.free_numeric) {
      const CellList& cells = (*g_.cells)[f];
      first_[f] = std::isinf(p.lo[f]) ? 0 : cell_index(cells, p.lo[f]);
      last_[f] = std::isinf(p.hi[f]) ? cells.size() - 1 : cell_index(cells, p.hi[f]);
      while (first_[f] < last_[f] && is_empty(clip_to(cells[first_[f]], p.lo[f], p.hi[f]))) {
        ++first_[f];
      }
      while (last_[f] > first_[f] && is_empty(clip_to(cells[last_[f]], p.lo[f], p.hi[f]))) {
        --last_[f];
      }
    }
    for (std::uint32_t f : p.free_categorical) {
      // The blocks cut to the set, each code once, then the codes no block lists.
      std::vector<std::uint32_t> left = p.cats[f];
      for (const Block& block : (*g_.blocks)[f]) {
        Block kept;
        for (std::uint32_t c : block) {
          const auto it = std::find(left.begin(), left.end(), c);
          if (it == left.end()) continue;
          left.erase(it);
          kept.push_back(c);
        }
        if (!kept.empty()) blocks_[f].push_back(kept);
      }
      if (!left.empty()) blocks_[f].push_back(left);
      last_[f] = blocks_[f].size() - 1;
    }
  }

  SlabResult run() {
    if (budget_ == 0) return SlabResult{SlabOutcome{Kind::Undecided, {}}, 0};
    SlabOutcome out{visit(), {}};
    if (out.kind == Kind::Witness) out.point = point_;
    return SlabResult{out, spent_};
  }

 private:
  std::optional<Bracket> walk_all(const BracketModel& m, std::vector<std::uint64_t>& counter) {
    double low = m.ensemble().base_score(), high = low;
    const BoxView box{lo_, hi_, g_.missing, cats_};
    for (std::uint32_t root : m.ensemble().tree_roots()) {
      const MaybeBracket b = walker_.walk(m, root, box, counter);
      if (!b) return std::nullopt;
      low = low + b->low;
      high = high + b->high;
    }
    return Bracket{low, high};
  }

  void form_piece() {
    for (std::uint32_t f : p_.free_numeric) {
      const CellList& cells = (*g_.cells)[f];
      lo_[f] = achievable_bottom(clip_to(cells[first_[f]], p_.lo[f], p_.hi[f]));
      hi_[f] = achievable_top(clip_to(cells[last_[f]], p_.lo[f], p_.hi[f]));
    }
    for (std::uint32_t f : p_.free_categorical) {
      cats_[f].clear();
      for (std::size_t b = first_[f]; b <= last_[f]; ++b) {
        cats_[f].insert(cats_[f].end(), blocks_[f][b].begin(), blocks_[f][b].end());
      }
      std::sort(cats_[f].begin(), cats_[f].end());
    }
  }

  bool witness_fails() {
    point_.resize(lo_.size());
    for (std::size_t f = 0; f < lo_.size(); ++f) {
      const std::uint32_t own = code_of(g_.x_cf[f]);
      if (g_.missing[f]) {
        point_[f] = g_.x_cf[f];
      } else if (!cats_[f].empty()) {
        point_[f] =
            std::binary_search(cats_[f].begin(), cats_[f].end(), own) ? own : cats_[f].front();
      } else {
        point_[f] = std::clamp(g_.x_cf[f], lo_[f], hi_[f]);
      }
    }
    const double s = g_.model->ensemble().raw_score(point_.data());
    if (s < g_.lo_t || s > g_.hi_t) return true;
    return g_.if_model && g_.if_model->ensemble().raw_score(point_.data()) < g_.min_total_path;
  }

  Kind visit() {
    if (spent_ >= budget_) return Kind::Undecided;
    ++spent_;
    form_piece();
    std::vector<std::uint64_t> counter(lo_.size(), 0);
    const auto s = walk_all(*g_.model, counter);
    if (!s) return Kind::Undecided;
    std::optional<Bracket> path;
    if (g_.if_model) {
      path = walk_all(*g_.if_model, counter);
      if (!path) return Kind::Undecided;
    }
    if (s->low >= g_.lo_t && s->high <= g_.hi_t && (!path || path->low >= g_.min_total_path)) {
      return Kind::Certified;
    }
    if (s->high < g_.lo_t || s->low > g_.hi_t || (path && path->high < g_.min_total_path)) {
      return witness_fails() ? Kind::Witness : Kind::Undecided;
    }
    std::uint64_t best = 0;
    std::optional<std::uint32_t> pick;
    bool categorical = false;
    for (std::uint32_t f : p_.free_numeric) {
      if (first_[f] < last_[f] && counter[f] > best) best = counter[f], pick = f;
    }
    for (std::uint32_t f : p_.free_categorical) {
      if (first_[f] < last_[f] && counter[f] > best)
        best = counter[f], pick = f, categorical = true;
    }
    if (!pick) return Kind::Undecided;
    const std::uint32_t f = *pick;
    const std::size_t a = first_[f], b = last_[f], mid = (a + b) / 2;
    std::size_t anchor = a;
    if (!categorical) {
      anchor = position((*g_.cells)[f], std::clamp(g_.x_cf[f], lo_[f], hi_[f]));
    } else {
      for (std::size_t k = b + 1; k-- > a;) {
        const Block& block = blocks_[f][k];
        if (std::find(block.begin(), block.end(), code_of(g_.x_cf[f])) != block.end()) anchor = k;
      }
    }
    const bool lower_first = anchor <= mid;
    Kind out = half(f, lower_first, a, mid, b);
    if (out == Kind::Certified) out = half(f, !lower_first, a, mid, b);
    first_[f] = a;
    last_[f] = b;
    return out;
  }

  Kind half(std::uint32_t f, bool lower, std::size_t a, std::size_t mid, std::size_t b) {
    first_[f] = lower ? a : mid + 1;
    last_[f] = lower ? mid : b;
    return visit();
  }

  const SlabProblem& p_;
  const Growth& g_;
  std::uint64_t budget_, spent_ = 0;
  std::vector<double> lo_, hi_, point_;
  std::vector<std::vector<std::uint32_t>> cats_;
  std::vector<std::size_t> first_, last_;
  std::vector<BlockList> blocks_;
  BracketWalker walker_;
};

// Random trees with thresholds on a fine grid (many cells per feature) and, when
// `rounding`, leaves of mixed magnitudes, so that tree-order sums round.
Ensemble varied_trees(std::mt19937_64& rng, std::size_t n_trees, bool rounding, double base) {
  RandomTrees trees(rng, n_trees, 5, /*distinct=*/false);
  std::uniform_real_distribution<double> unit(-1.0, 1.0);
  for (std::size_t i = 0; i < trees.value.size(); ++i) {
    if (trees.feature[i] < 0) {
      if (rounding && rng() % 3 != 0) {
        trees.value[i] = unit(rng) * std::pow(10.0, static_cast<int>(rng() % 13) - 6);
      }
    } else if (trees.feature[i] != 2) {
      trees.threshold[i] = std::round(unit(rng) * 24.0) / 16.0;
    }
  }
  return trees.build(base);
}

struct SlabCase {
  Ensemble model;
  std::optional<Ensemble> iso;
  std::optional<BracketModel> model_layout, iso_layout;
  std::vector<std::uint8_t> md, iso_md, missing;
  std::vector<double> x, lo, hi;
  std::vector<std::vector<std::uint32_t>> cats;
  FeatureCells cells;
  CategoryBlocks blocks;
  Growth g;
  explicit SlabCase(Ensemble m) : model(std::move(m)) {}
};

// A slab over random trees: features missing, held at one value or spanning grid
// intervals (infinite ends included); feature 2 an open set of codes. The window's ends
// are scores of points of the slab, so that pieces meet them exactly.
std::unique_ptr<SlabCase> random_case(std::mt19937_64& rng) {
  const bool rounding = rng() % 2 == 0;
  const double base = rounding ? 0.1 * static_cast<double>(rng() % 7) : 0.0;
  auto c = std::make_unique<SlabCase>(varied_trees(rng, 4 + rng() % 28, rounding, base));
  if (rng() % 3 == 0) c->iso.emplace(RandomTrees(rng, 5, 3, false).build(3.0));
  std::vector<const Ensemble*> both{&c->model};
  if (c->iso) both.push_back(&*c->iso);
  c->cells = feature_cells_joint(both);
  c->blocks = category_blocks_joint(both);
  c->md.resize(c->model.n_nodes());
  for (auto& m : c->md) m = rng() % 20 != 0;
  c->missing.assign(kRandomFeatures, 0);
  c->x.assign(kRandomFeatures, 0.0);
  c->lo.assign(kRandomFeatures, 0.0);
  c->hi.assign(kRandomFeatures, 0.0);
  c->cats.resize(kRandomFeatures);
  static constexpr double kEnds[] = {-kInf, -1.2, -1.0, -0.7, -0.5, 0.0, 0.3, 0.5, 1.0, 1.5, kInf};
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  for (std::size_t f = 0; f < kRandomFeatures; ++f) {
    if (f == 2) {
      c->x[f] = static_cast<double>(rng() % kRandomCard);
      for (std::uint32_t code = 0; code < kRandomCard; ++code) {
        if (code == c->x[f] || rng() % 2 == 0) c->cats[f].push_back(code);
      }
      c->lo[f] = c->hi[f] = c->x[f];
    } else if (rng() % 12 == 0) {
      c->missing[f] = 1;
      c->x[f] = c->lo[f] = c->hi[f] = kNaN;
    } else {
      double a = kEnds[rng() % 11], b = kEnds[rng() % 11];
      if (a > b) std::swap(a, b);
      if (rng() % 5 == 0) b = a;
      if (std::isinf(a) && a == b) a = b = 0.3;
      c->lo[f] = a;
      c->hi[f] = b;
      const double lo = std::isinf(a) ? -2.0 : a, hi = std::isinf(b) ? 2.0 : b;
      c->x[f] = rng() % 3 == 0 ? lo + (hi - lo) * unit(rng) : std::round(unit(rng) * 6 - 3) / 2;
    }
  }
  c->model_layout.emplace(c->model, c->md);
  c->g.model = &*c->model_layout;
  if (c->iso) {
    c->iso_md.assign(c->iso->n_nodes(), 1);
    c->iso_layout.emplace(*c->iso, c->iso_md);
    c->g.if_model = &*c->iso_layout;
  }
  // Scores of points of the slab for the window's ends.
  std::vector<double> point(kRandomFeatures);
  auto sample = [&](const Ensemble& e) {
    for (std::size_t f = 0; f < kRandomFeatures; ++f) {
      if (!c->cats[f].empty()) {
        point[f] = c->cats[f][rng() % c->cats[f].size()];
      } else if (c->missing[f] || c->lo[f] == c->hi[f]) {
        point[f] = c->lo[f];
      } else {
        const double lo = std::max(c->lo[f], -2.0), hi = std::min(c->hi[f], 2.0);
        point[f] = lo + (hi - lo) * unit(rng);
      }
    }
    return e.raw_score(point.data());
  };
  // Ends at the extreme scores of a few sampled points tend to certify after deep
  // splitting; ends at two points' scores split until they find a failing piece.
  double a = sample(c->model), b = sample(c->model);
  if (rng() % 2 == 0) {
    for (int k = 0; k < 300; ++k) {
      const double s = sample(c->model);
      a = std::min(a, s);
      b = std::max(b, s);
    }
  }
  if (a > b) std::swap(a, b);
  switch (rng() % 4) {
    case 0:
      c->g.lo_t = a, c->g.hi_t = b;
      break;
    case 1:
      c->g.lo_t = a, c->g.hi_t = kInf;
      break;
    case 2:
      c->g.lo_t = -kInf, c->g.hi_t = b;
      break;
    default:
      c->g.lo_t = a - 0.5, c->g.hi_t = b + 0.5;
      break;
  }
  if (c->iso) c->g.min_total_path = sample(*c->iso) - (rng() % 2 == 0 ? 0.0 : 1.0);
  c->g.x_cf = c->x;
  c->g.missing = c->missing;
  c->g.cells = &c->cells;
  c->g.blocks = &c->blocks;
  return c;
}

void expect_same(const SlabResult& got, const SlabResult& want, int round) {
  ASSERT_EQ(got.outcome.kind, want.outcome.kind) << "round " << round;
  EXPECT_EQ(got.nodes, want.nodes) << "round " << round;
  ASSERT_EQ(got.outcome.point.size(), want.outcome.point.size()) << "round " << round;
  for (std::size_t f = 0; f < got.outcome.point.size(); ++f) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(got.outcome.point[f]),
              std::bit_cast<std::uint64_t>(want.outcome.point[f]))
        << "round " << round << " feature " << f;
  }
}

TEST(SlabSearch, DecidesAsTheFreshWalkReferenceBitForBit) {
  std::mt19937_64 rng(17);
  int kinds[4] = {0, 0, 0, 0};
  int deep = 0;
  for (int round = 0; round < 1000; ++round) {
    const auto c = random_case(rng);
    static constexpr std::uint64_t kBudgets[] = {1, 7, 60, 5000, 5000};
    const std::uint64_t budget = kBudgets[rng() % 5];
    // Half the slabs test a block of feature 2's codes, which then never splits.
    const bool block = rng() % 2 == 0;
    std::vector<std::uint32_t> members = c->cats[2];
    if (block) members.erase(members.begin() + static_cast<std::ptrdiff_t>(rng() % members.size()));
    if (members.empty()) members.push_back(static_cast<std::uint32_t>(rng() % kRandomCard));
    const SlabProblem p = c->g.slab_problem(
        c->lo, c->hi, c->cats, block ? SlabKind::CategoryBlock : SlabKind::Numeric, 2, members);
    Watch watch(never_interrupt);
    const SlabResult got = search_slab(p, budget, watch);
    const SlabResult want = ReferenceSlab(p, budget).run();
    expect_same(got, want, round);
    ++kinds[static_cast<int>(want.outcome.kind)];
    deep += want.nodes > 20;
  }
  // Every outcome but an interrupt occurs, and some searches run deep.
  EXPECT_GT(kinds[static_cast<int>(Kind::Certified)], 50);
  EXPECT_GT(kinds[static_cast<int>(Kind::Witness)], 50);
  EXPECT_GT(kinds[static_cast<int>(Kind::Undecided)], 50);
  EXPECT_GT(deep, 25);
}

// Random narrowings of one feature at a time (numeric ends or a subset of feature 2's
// codes), each followed by a restore to a random earlier mark, against fresh walks: the
// brackets, the split counts, and bounds that hold the tree-order sums.
TEST(PieceBrackets, NarrowingsAndRestoresMatchFreshWalks) {
  std::mt19937_64 rng(29);
  for (int round = 0; round < 60; ++round) {
    const auto c = random_case(rng);
    const BracketModel& m = *c->model_layout;
    std::vector<double> lo = c->lo, hi = c->hi;
    std::vector<std::vector<std::uint32_t>> cats = c->cats;
    const BoxView box{lo, hi, c->missing, cats};
    std::vector<std::uint64_t> counts(kRandomFeatures, 0);
    PieceBrackets kept(m);
    kept.walk_all(box, counts);
    struct Saved {
      std::size_t mark;
      std::vector<double> lo, hi;
      std::vector<std::vector<std::uint32_t>> cats;
    };
    std::vector<Saved> saved;
    for (int step = 0; step < 40; ++step) {
      const std::size_t f = rng() % kRandomFeatures;
      if (rng() % 4 == 0 && !saved.empty()) {
        const std::size_t k = rng() % saved.size();
        kept.restore(saved[k].mark, counts);
        lo = saved[k].lo, hi = saved[k].hi, cats = saved[k].cats;
        saved.resize(k);
      } else if (f == 2 && cats[2].size() > 1) {
        saved.push_back(Saved{kept.mark(), lo, hi, cats});
        cats[2].erase(cats[2].begin() + static_cast<std::ptrdiff_t>(rng() % cats[2].size()));
        kept.recoded(2, box, counts);
      } else if (f != 2 && !c->missing[f] && lo[f] < hi[f]) {
        saved.push_back(Saved{kept.mark(), lo, hi, cats});
        const double old_lo = lo[f], old_hi = hi[f];
        const double a = std::max(old_lo, -2.0), b = std::min(old_hi, 2.0);
        const double cut = a + (b - a) * static_cast<double>(rng() % 5) / 4.0;
        (rng() % 2 == 0 ? lo[f] : hi[f]) = std::clamp(cut, old_lo, old_hi);
        kept.moved(f, old_lo, old_hi, box, counts);
      }
      std::vector<std::uint64_t> fresh_counts(kRandomFeatures, 0);
      PieceBrackets fresh(m);
      fresh.walk_all(box, fresh_counts);
      bool all_present = true;
      for (std::uint32_t t = 0; t < m.n_trees(); ++t) {
        const MaybeBracket a = kept.bracket(t), b = fresh.bracket(t);
        ASSERT_EQ(a.has_value(), b.has_value()) << "round " << round << " step " << step;
        all_present = all_present && a.has_value();
        if (a) {
          EXPECT_EQ(a->low, b->low);
          EXPECT_EQ(a->high, b->high);
        }
      }
      if (!all_present) continue;
      EXPECT_EQ(counts, fresh_counts) << "round " << round << " step " << step;
      const auto sum = fresh.sum();
      const auto bounds = kept.sum_bounds();
      ASSERT_TRUE(sum.has_value());
      ASSERT_TRUE(bounds.has_value());  // finite leaves of moderate size
      EXPECT_TRUE(bounds->low_min <= sum->low && sum->low <= bounds->low_max);
      EXPECT_TRUE(bounds->high_min <= sum->high && sum->high <= bounds->high_max);
      // Narrow enough to decide everything but near-ties: no runaway drift.
      EXPECT_LT(bounds->low_max - bounds->low_min, 1e-11 * (1.0 + m.abs_sum_bound()));
    }
  }
}

TEST(PieceBrackets, NoBoundsForLeavesThatAreNotFinite) {
  std::mt19937_64 rng(3);
  RandomTrees trees(rng, 3, 2, false);
  for (std::size_t i = 0; i < trees.value.size(); ++i) {
    if (trees.feature[i] < 0) trees.value[i] = kInf;
  }
  const Ensemble e = trees.build();
  const std::vector<std::uint8_t> md(e.n_nodes(), 1);
  const BracketModel m(e, md);
  const std::vector<double> v(kRandomFeatures, 0.0);
  const std::vector<std::uint8_t> missing(kRandomFeatures, 0);
  const std::vector<std::vector<std::uint32_t>> cats(kRandomFeatures);
  std::vector<std::uint64_t> counts(kRandomFeatures, 0);
  PieceBrackets pb(m);
  pb.walk_all(BoxView{v, v, missing, cats}, counts);
  EXPECT_TRUE(pb.sum().has_value());
  EXPECT_FALSE(pb.sum_bounds().has_value());
}

}  // namespace
}  // namespace morvel::regions
