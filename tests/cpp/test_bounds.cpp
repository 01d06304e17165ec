// Score bounds of the exact search, checked against brute force: random small ensembles
// (numeric and categorical splits, both missing sides) scored with Ensemble::raw_score and
// Ensemble::next_node over every completion of random partial assignments.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <vector>

#include "errors.hpp"
#include "exact/bounds.hpp"
#include "ir.hpp"

namespace morvel::exact {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kPool[] = {-1.0, 0.0, 1.5, 2.0};  // numeric thresholds

bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

// How the random ensembles are laid out: logical features 0..3 map to `physical` indices of
// a row of `n_features` values; logical feature 4 is never split on.
struct Layout {
  std::vector<std::uint32_t> physical;
  std::size_t n_features;
};
const Layout kNarrow{{0, 1, 2, 3, 4}, 5};
const Layout kWide{{0, 64, 129, 70, 100}, 130};  // three mask words per node
constexpr std::size_t kLogical = 5;
const std::uint32_t kCard[kLogical] = {0, 0, 4, 3, 0};  // logical 2 and 3 are categorical

// Random trees built directly as node arrays. `distinct` keeps every feature at most once
// per root-to-leaf path and every categorical set non-empty within the cardinality, so
// that any leaf a walk calls reachable is reached by some row.
struct RandomEnsemble {
  RandomEnsemble(std::mt19937_64& rng, const Layout& layout, bool distinct)
      : rng(rng), layout(layout), distinct(distinct) {}

  std::mt19937_64& rng;
  const Layout& layout;
  bool distinct;
  std::vector<std::int32_t> feature, node_set;
  std::vector<double> threshold, value;
  std::vector<std::uint8_t> is_lt, missing_left;
  std::vector<std::uint32_t> left, right, roots, set_offsets{0};
  std::vector<std::uint64_t> set_words;
  std::vector<std::vector<double>> thresholds_of = std::vector<std::vector<double>>(kLogical);
  std::vector<std::vector<double>> leaves_of_tree;

  std::uint32_t node(int depth, unsigned used) {
    const auto id = static_cast<std::uint32_t>(feature.size());
    feature.push_back(-1);
    node_set.push_back(-1);
    threshold.push_back(0.0);
    value.push_back(0.0);
    is_lt.push_back(0);
    missing_left.push_back(0);
    left.push_back(0);
    right.push_back(0);
    std::vector<std::size_t> allowed;
    for (std::size_t f = 0; f + 1 < kLogical; ++f) {
      if (!distinct || !(used & (1u << f))) allowed.push_back(f);
    }
    if (allowed.empty() || depth >= 4 || (depth > 0 && coin(0.25))) {
      value[id] = std::uniform_real_distribution<double>(-2.0, 2.0)(rng);
      leaves_of_tree.back().push_back(value[id]);
      return id;
    }
    const std::size_t f = allowed[rng() % allowed.size()];
    feature[id] = static_cast<std::int32_t>(layout.physical[f]);
    missing_left[id] = coin(0.5);
    if (kCard[f] > 0 && coin(0.8)) {
      node_set[id] = static_cast<std::int32_t>(set_offsets.size() - 1);
      add_set(kCard[f]);
    } else {
      threshold[id] = kPool[rng() % std::size(kPool)];
      is_lt[id] = coin(0.5);
      thresholds_of[f].push_back(threshold[id]);
    }
    const std::uint32_t l = node(depth + 1, used | (1u << f));
    const std::uint32_t r = node(depth + 1, used | (1u << f));
    left[id] = l;
    right[id] = r;
    return id;
  }

  // Distinct mode: one word, a non-empty subset of the codes. Otherwise also empty sets,
  // no words at all, or members past the cardinality.
  void add_set(std::uint32_t card) {
    const std::uint64_t codes = (std::uint64_t{1} << card) - 1;
    if (distinct) {
      std::uint64_t w = 0;
      while (w == 0) w = rng() & codes;
      set_words.push_back(w);
    } else {
      const std::size_t n_words = rng() % 3;
      for (std::size_t k = 0; k < n_words; ++k) set_words.push_back(rng() & (codes | 0x30));
    }
    set_offsets.push_back(static_cast<std::uint32_t>(set_words.size()));
  }

  bool coin(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }

  Ensemble build(std::size_t n_trees, double base_score) {
    for (std::size_t t = 0; t < n_trees; ++t) {
      leaves_of_tree.emplace_back();
      roots.push_back(node(0, 0));
    }
    std::vector<std::uint32_t> card(layout.n_features, 0);
    for (std::size_t f = 0; f < kLogical; ++f) card[layout.physical[f]] = kCard[f];
    return Ensemble::with_categories(
        Ensemble::create(feature, threshold, is_lt, missing_left, left, right, value, base_score,
                         roots, Link::Identity, layout.n_features),
        node_set, set_offsets, set_words, card);
  }
};

// Values that between them take every way through every split on logical feature f (and
// that lie in `cell`, when given): the thresholds and the cell's ends, midpoints between
// them, points outside them, infinities, NaN, and for a categorical feature every code,
// codes past the sets' words and values that are not codes.
std::vector<double> representatives(const std::vector<double>& thresholds, std::uint32_t card,
                                    const Cell* cell) {
  std::vector<double> cuts = thresholds;
  if (cell != nullptr) {
    for (const double end : {cell->lo, cell->hi}) {
      if (std::isfinite(end)) cuts.push_back(end);
    }
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  std::vector<double> reps = {-kInf, kInf, kNaN};
  if (cuts.empty()) reps.push_back(0.0);
  for (std::size_t k = 0; k < cuts.size(); ++k) {
    reps.push_back(cuts[k]);
    if (k + 1 < cuts.size()) reps.push_back((cuts[k] + cuts[k + 1]) / 2);
  }
  if (!cuts.empty()) {
    reps.push_back(cuts.front() - 1.0);
    reps.push_back(cuts.back() + 1.0);
  }
  if (card > 0) {
    for (std::uint32_t c = 0; c <= card; ++c) reps.push_back(c);
    for (const double v : {4.0, 5.0, 64.0, 65.0, -1.0, 1.5}) reps.push_back(v);
  }
  if (cell != nullptr) std::erase_if(reps, [&](double v) { return !cell->contains(v); });
  return reps;
}

enum class Kind { Free, Assigned, Narrowed };

struct Trial {
  PartialAssignment pa;
  std::vector<Kind> kind;  // per logical feature
  std::vector<std::vector<double>> choices;  // per logical feature: values a completion takes
};

Cell random_cell(std::mt19937_64& rng) {
  std::vector<double> ends = {-kInf, kInf};
  for (const double t : kPool) {
    for (const double d : {-0.25, 0.0, 0.25}) ends.push_back(t + d);
  }
  double lo = ends[rng() % ends.size()], hi = ends[rng() % ends.size()];
  if (lo > hi) std::swap(lo, hi);
  if (lo == hi) {
    if (std::isinf(lo)) return {-kInf, kInf, true, true};
    return {lo, lo, false, false};
  }
  return {lo, hi, std::isinf(lo) || (rng() & 1), std::isinf(hi) || (rng() & 1)};
}

// A random partial assignment whose completions number at most max_rows. Narrowed features
// are numeric ones unless `narrow_categorical`.
Trial random_trial(std::mt19937_64& rng, const RandomEnsemble& re, bool narrow_categorical,
                   std::size_t max_rows) {
  Trial trial{PartialAssignment(re.layout.n_features), {}, {}};
  std::size_t rows = 1;
  for (std::size_t f = 0; f < kLogical; ++f) {
    const std::size_t p = re.layout.physical[f];
    auto reps = representatives(re.thresholds_of[f], kCard[f], nullptr);
    Kind kind = static_cast<Kind>(rng() % 3);
    if (kind == Kind::Narrowed && kCard[f] > 0 && !narrow_categorical) kind = Kind::Free;
    if (kind == Kind::Narrowed) {
      const Cell cell = random_cell(rng);
      reps = representatives(re.thresholds_of[f], kCard[f], &cell);
      trial.pa.narrowed[p] = 1;
      trial.pa.intervals[p] = cell;
    }
    if (kind != Kind::Free) trial.pa.mask.set(p);
    if (kind == Kind::Assigned || rows * reps.size() > max_rows) {
      // Too many rows: assign a value instead (from the interval, if there was one).
      const double v = reps[rng() % reps.size()];
      kind = Kind::Assigned;
      trial.pa.mask.set(p);
      trial.pa.narrowed[p] = 0;
      trial.pa.assigned[p] = 1;
      trial.pa.values[p] = v;
      reps = {v};
    }
    rows *= reps.size();
    trial.kind.push_back(kind);
    trial.choices.push_back(std::move(reps));
  }
  return trial;
}

// Visits every completion of the trial as a full row.
template <class Visit>
void for_each_completion(const Trial& trial, const Layout& layout, Visit&& visit) {
  std::vector<double> row(layout.n_features, 0.0);
  std::vector<std::size_t> at(kLogical, 0);
  while (true) {
    for (std::size_t f = 0; f < kLogical; ++f) row[layout.physical[f]] = trial.choices[f][at[f]];
    visit(row);
    std::size_t f = 0;
    while (f < kLogical && ++at[f] == trial.choices[f].size()) at[f++] = 0;
    if (f == kLogical) return;
  }
}

struct Brute {
  double score_min = kInf, score_max = -kInf;
  std::vector<double> tree_min, tree_max;
  std::vector<std::uint8_t> visited;             // per node: some completion passes it
  std::vector<std::uint8_t> goes_left, goes_right;  // per node: some completion takes it
};

Brute brute_force(const Ensemble& e, const Trial& trial, const Layout& layout) {
  Brute b{kInf, -kInf, std::vector<double>(e.n_trees(), kInf),
          std::vector<double>(e.n_trees(), -kInf), std::vector<std::uint8_t>(e.n_nodes(), 0),
          std::vector<std::uint8_t>(e.n_nodes(), 0), std::vector<std::uint8_t>(e.n_nodes(), 0)};
  for_each_completion(trial, layout, [&](const std::vector<double>& row) {
    const double s = e.raw_score(row.data());
    b.score_min = std::min(b.score_min, s);
    b.score_max = std::max(b.score_max, s);
    for (std::size_t t = 0; t < e.n_trees(); ++t) {
      std::uint32_t n = e.tree_roots()[t];
      while (!e.is_leaf(n)) {
        b.visited[n] = 1;
        const std::uint32_t next = e.next_node(n, row[e.feature()[n]]);
        (next == e.left()[n] ? b.goes_left : b.goes_right)[n] = 1;
        n = next;
      }
      b.tree_min[t] = std::min(b.tree_min[t], e.value()[n]);
      b.tree_max[t] = std::max(b.tree_max[t], e.value()[n]);
    }
  });
  return b;
}

// Applies the trial's features one at a time in a random order, as the search does.
void apply_trial(EnsembleBounds& bounds, const Trial& trial, const Layout& layout,
                 std::mt19937_64& rng) {
  PartialAssignment growing(layout.n_features);
  std::vector<std::size_t> order(kLogical);
  for (std::size_t f = 0; f < kLogical; ++f) order[f] = f;
  std::shuffle(order.begin(), order.end(), rng);
  BoundsUndo undo;
  for (const std::size_t f : order) {
    if (trial.kind[f] == Kind::Free) continue;
    const std::size_t p = layout.physical[f];
    growing.mask.set(p);
    growing.assigned[p] = trial.pa.assigned[p];
    growing.values[p] = trial.pa.values[p];
    growing.narrowed[p] = trial.pa.narrowed[p];
    growing.intervals[p] = trial.pa.intervals[p];
    bounds.apply_with(p, growing, undo);
  }
}

class BoundsRandom : public ::testing::TestWithParam<const Layout*> {};

TEST_P(BoundsRandom, ContainEveryCompletionOfAnyPartialAssignment) {
  const Layout& layout = *GetParam();
  std::mt19937_64 rng(11);
  for (int round = 0; round < 40; ++round) {
    RandomEnsemble re(rng, layout, false);
    const Ensemble e = re.build(6, 0.25);
    for (int k = 0; k < 5; ++k) {
      const Trial trial = random_trial(rng, re, true, 3000);
      EnsembleBounds bounds(e);
      apply_trial(bounds, trial, layout, rng);
      const Brute b = brute_force(e, trial, layout);
      ASSERT_LE(bounds.lower(), b.score_min) << "round " << round;
      ASSERT_GE(bounds.upper(), b.score_max) << "round " << round;
      for (std::size_t t = 0; t < e.n_trees(); ++t) {
        const auto [lo, hi] = bounds.walk(e.tree_roots()[t], trial.pa);
        ASSERT_LE(lo, b.tree_min[t]);
        ASSERT_GE(hi, b.tree_max[t]);
      }
    }
  }
}

// With a feature at most once per path (and non-empty sets, numeric intervals), every leaf
// a walk reaches is reached by a row: the bounds are exactly the per-tree extremes, and the
// straddle counts are exactly the reachable splits that the interval's values take both ways.
TEST_P(BoundsRandom, ExactWhenPathsUseDistinctFeatures) {
  const Layout& layout = *GetParam();
  std::mt19937_64 rng(23);
  for (int round = 0; round < 40; ++round) {
    RandomEnsemble re(rng, layout, true);
    const Ensemble e = re.build(5, -0.5);
    for (int k = 0; k < 5; ++k) {
      const Trial trial = random_trial(rng, re, false, 3000);
      EnsembleBounds bounds(e);
      apply_trial(bounds, trial, layout, rng);
      const Brute b = brute_force(e, trial, layout);
      double lower = e.base_score(), upper = e.base_score();
      for (std::size_t t = 0; t < e.n_trees(); ++t) {
        const auto [lo, hi] = bounds.walk(e.tree_roots()[t], trial.pa);
        ASSERT_EQ(lo, b.tree_min[t]) << "round " << round << " tree " << t;
        ASSERT_EQ(hi, b.tree_max[t]) << "round " << round << " tree " << t;
        lower = lower + b.tree_min[t];
        upper = upper + b.tree_max[t];
      }
      ASSERT_TRUE(same_bits(bounds.lower(), lower));
      ASSERT_TRUE(same_bits(bounds.upper(), upper));

      std::vector<std::uint64_t> counters(layout.n_features, 0), expected(layout.n_features, 0);
      for (std::size_t t = 0; t < e.n_trees(); ++t) {
        bounds.count_node(e.tree_roots()[t], trial.pa, counters);
      }
      for (std::size_t n = 0; n < e.n_nodes(); ++n) {
        const auto f = static_cast<std::size_t>(std::max(e.feature()[n], 0));
        if (b.visited[n] && trial.pa.narrowed[f] && b.goes_left[n] && b.goes_right[n]) {
          ++expected[f];
        }
      }
      ASSERT_EQ(counters, expected) << "round " << round;
    }
  }
}

// Features sharing slots (as on models whose exact sets would not fit in memory) make walks
// descend further, never shorter: the bounds and straddle counts are bit for bit the same.
TEST_P(BoundsRandom, SharedSlotsGiveTheSameBounds) {
  const Layout& layout = *GetParam();
  std::mt19937_64 rng(31);
  for (int round = 0; round < 40; ++round) {
    RandomEnsemble re(rng, layout, false);
    const Ensemble e = re.build(6, 0.25);
    for (int k = 0; k < 5; ++k) {
      const Trial trial = random_trial(rng, re, true, 3000);
      EnsembleBounds exact(e), shared(e, nullptr, 2);
      std::mt19937_64 order_a(round * 10 + k), order_b(round * 10 + k);
      apply_trial(exact, trial, layout, order_a);
      apply_trial(shared, trial, layout, order_b);
      ASSERT_TRUE(same_bits(exact.lower(), shared.lower()));
      ASSERT_TRUE(same_bits(exact.upper(), shared.upper()));
      std::vector<std::uint64_t> a(layout.n_features, 0), b(layout.n_features, 0);
      for (std::size_t t = 0; t < e.n_trees(); ++t) {
        exact.count_node(e.tree_roots()[t], trial.pa, a);
        shared.count_node(e.tree_roots()[t], trial.pa, b);
      }
      ASSERT_EQ(a, b);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Bounds, BoundsRandom, ::testing::Values(&kNarrow, &kWide),
                         [](const auto& info) {
                           return info.param->n_features > 64 ? std::string("WideMask")
                                                              : std::string("OneWord");
                         });

TEST(Bounds, EmptyMaskGivesEveryTreesExtremeLeaves) {
  std::mt19937_64 rng(5);
  RandomEnsemble re(rng, kNarrow, false);
  const Ensemble e = re.build(7, 1.25);
  const EnsembleBounds bounds(e);
  double lower = e.base_score(), upper = e.base_score();
  for (const auto& leaves : re.leaves_of_tree) {
    lower = lower + *std::min_element(leaves.begin(), leaves.end());
    upper = upper + *std::max_element(leaves.begin(), leaves.end());
  }
  EXPECT_TRUE(same_bits(bounds.lower(), lower));
  EXPECT_TRUE(same_bits(bounds.upper(), upper));
}

// The values include NaN, codes past a set's words and values that are no codes, so every
// routing rule (missing sides of categorical splits too) is compared with the ensemble's.
TEST(Bounds, FullAssignmentIsTheRawScoreBitForBit) {
  std::mt19937_64 rng(7);
  for (int round = 0; round < 30; ++round) {
    RandomEnsemble re(rng, kWide, false);
    const Ensemble e = re.build(8, 0.1);
    EnsembleBounds bounds(e);
    for (int k = 0; k < 10; ++k) {
      PartialAssignment pa(kWide.n_features);
      std::vector<double> row(kWide.n_features, 0.0);
      std::vector<std::size_t> order = {0, 1, 2, 3, 4};
      std::shuffle(order.begin(), order.end(), rng);
      std::vector<BoundsUndo> undos(kLogical);
      for (std::size_t i = 0; i < kLogical; ++i) {
        const std::size_t f = order[i], p = kWide.physical[f];
        const auto reps = representatives(re.thresholds_of[f], kCard[f], nullptr);
        row[p] = pa.values[p] = reps[rng() % reps.size()];
        pa.assigned[p] = 1;
        pa.mask.set(p);
        bounds.apply_with(p, pa, undos[i]);
      }
      const double score = e.raw_score(row.data());
      ASSERT_TRUE(same_bits(bounds.lower(), score)) << bounds.lower() << " vs " << score;
      ASSERT_TRUE(same_bits(bounds.upper(), score));
      for (std::size_t i = kLogical; i-- > 0;) bounds.restore(undos[i]);
    }
  }
}

// Random pushes and pops (last in, first out): after every pop the totals are bit-identical
// to those before the matching push, and equal to a fresh structure given the same stack.
TEST(Bounds, RestoresAreExactUnderRandomLifoSequences) {
  std::mt19937_64 rng(13);
  RandomEnsemble re(rng, kNarrow, false);
  const Ensemble e = re.build(10, -0.3);
  EnsembleBounds bounds(e);
  const double lower0 = bounds.lower(), upper0 = bounds.upper();
  struct Pushed {
    std::size_t feature;
    BoundsUndo undo;
    double lower, upper;
  };
  std::vector<Pushed> stack;
  PartialAssignment pa(kNarrow.n_features);
  for (int step = 0; step < 2000; ++step) {
    std::vector<std::size_t> open;
    for (std::size_t f = 0; f < kLogical; ++f) {
      if (!pa.mask.test(f)) open.push_back(f);
    }
    if (!open.empty() && (stack.empty() || rng() % 3 != 0)) {
      const std::size_t f = open[rng() % open.size()];
      const auto reps = representatives(re.thresholds_of[f], kCard[f], nullptr);
      stack.push_back({f, {}, bounds.lower(), bounds.upper()});
      pa.mask.set(f);
      if (rng() % 4 == 0 && kCard[f] == 0) {
        pa.narrowed[f] = 1;
        pa.intervals[f] = random_cell(rng);
      } else {
        pa.assigned[f] = 1;
        pa.values[f] = reps[rng() % reps.size()];
      }
      bounds.apply_with(f, pa, stack.back().undo);
    } else {
      const Pushed top = stack.back();
      stack.pop_back();
      pa.mask.clear(top.feature);
      pa.assigned[top.feature] = pa.narrowed[top.feature] = 0;
      bounds.restore(top.undo);
      ASSERT_TRUE(same_bits(bounds.lower(), top.lower));
      ASSERT_TRUE(same_bits(bounds.upper(), top.upper));
      EnsembleBounds fresh(e);
      BoundsUndo scratch;
      for (const Pushed& p : stack) fresh.apply_with(p.feature, pa, scratch);
      ASSERT_TRUE(same_bits(bounds.lower(), fresh.lower()));
      ASSERT_TRUE(same_bits(bounds.upper(), fresh.upper()));
    }
  }
  while (!stack.empty()) {
    bounds.restore(stack.back().undo);
    stack.pop_back();
  }
  EXPECT_TRUE(same_bits(bounds.lower(), lower0));
  EXPECT_TRUE(same_bits(bounds.upper(), upper0));
}

TEST(Bounds, UnusedFeatureTouchesNothing) {
  std::mt19937_64 rng(17);
  RandomEnsemble re(rng, kWide, false);
  const Ensemble e = re.build(6, 0.0);
  EnsembleBounds bounds(e);
  const std::size_t unused = kWide.physical[4];
  EXPECT_TRUE(bounds.trees_of(unused).empty());
  PartialAssignment pa(kWide.n_features);
  pa.mask.set(unused);
  pa.assigned[unused] = 1;
  pa.values[unused] = 3.0;
  BoundsUndo undo = {{0, 1.0, 2.0}};  // stale entries are cleared
  const double lower = bounds.lower(), upper = bounds.upper();
  bounds.apply_with(unused, pa, undo);
  EXPECT_TRUE(undo.empty());
  EXPECT_TRUE(same_bits(bounds.lower(), lower));
  EXPECT_TRUE(same_bits(bounds.upper(), upper));
}

// One split on feature 0 at t = 5 with leaves -1 (left) and +1 (right).
struct IntervalCase {
  bool is_lt;
  Cell cell;
  double lo, hi;  // expected walk range
};

void PrintTo(const IntervalCase& c, std::ostream* os) {
  *os << (c.is_lt ? "x < 5 on " : "x <= 5 on ") << (c.cell.lo_open ? "(" : "[") << c.cell.lo
      << ", " << c.cell.hi << (c.cell.hi_open ? ")" : "]");
}

class BoundsInterval : public ::testing::TestWithParam<IntervalCase> {};

TEST_P(BoundsInterval, RoutesByEveryValueOfTheInterval) {
  const IntervalCase& c = GetParam();
  const Ensemble e = Ensemble::create({0, -1, -1}, {5.0, 0, 0}, {c.is_lt, 0, 0}, {1, 0, 0},
                                      {1, 0, 0}, {2, 0, 0}, {0, -1.0, 1.0}, 0.0, {0},
                                      Link::Identity, 1);
  EnsembleBounds bounds(e);
  PartialAssignment pa(1);
  pa.mask.set(0);
  pa.narrowed[0] = 1;
  pa.intervals[0] = c.cell;
  pa.assigned[0] = 1;  // an interval wins over a stale value
  pa.values[0] = kNaN;
  BoundsUndo undo;
  bounds.apply_with(0, pa, undo);
  EXPECT_EQ(bounds.lower(), c.lo);
  EXPECT_EQ(bounds.upper(), c.hi);
  std::vector<std::uint64_t> counters(1, 0);
  bounds.count_node(0, pa, counters);
  EXPECT_EQ(counters[0], c.lo != c.hi ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, BoundsInterval,
    ::testing::Values(
        // x < 5: an open upper end at 5 is below the threshold, a closed one reaches it.
        IntervalCase{true, {1.0, 5.0, false, true}, -1.0, -1.0},
        IntervalCase{true, {1.0, 5.0, false, false}, -1.0, 1.0},
        IntervalCase{true, {5.0, 9.0, false, true}, 1.0, 1.0},
        IntervalCase{true, {5.0, 9.0, true, true}, 1.0, 1.0},
        IntervalCase{true, {-kInf, kInf, true, true}, -1.0, 1.0},
        // x <= 5: 5 itself goes left, so a closed lower end at 5 reaches both sides.
        IntervalCase{false, {1.0, 5.0, false, false}, -1.0, -1.0},
        IntervalCase{false, {5.0, 9.0, false, true}, -1.0, 1.0},
        IntervalCase{false, {5.0, 9.0, true, true}, 1.0, 1.0},
        IntervalCase{false, {5.0, 5.0, false, false}, -1.0, -1.0}));

// A chain far deeper than any real tree: walks run on the heap, not the call stack.
TEST(Bounds, VeryDeepChainWalksWithoutRecursion) {
  constexpr std::uint32_t kDepth = 100000;
  std::vector<std::int32_t> feature;
  std::vector<double> threshold, value;
  std::vector<std::uint8_t> flags;
  std::vector<std::uint32_t> left, right;
  for (std::uint32_t d = 0; d < kDepth; ++d) {  // node 2d splits x0 < d; leaf 2d+1 = d
    feature.insert(feature.end(), {0, -1});
    threshold.insert(threshold.end(), {static_cast<double>(d), 0.0});
    value.insert(value.end(), {0.0, static_cast<double>(d)});
    left.insert(left.end(), {2 * d + 1, 0});
    right.insert(right.end(), {d + 1 < kDepth ? 2 * d + 2 : 2 * kDepth, 0});
    flags.insert(flags.end(), {1, 0});
  }
  // The last split's right leaf (a node has one parent, so it is not the left leaf again).
  feature.push_back(-1);
  threshold.push_back(0.0);
  value.push_back(kDepth - 1.0);
  left.push_back(0);
  right.push_back(0);
  flags.push_back(0);
  const Ensemble e = Ensemble::create(feature, threshold, flags, flags, left, right, value, 0.0,
                                      {0}, Link::Identity, 1);
  EnsembleBounds bounds(e);
  EXPECT_EQ(bounds.lower(), 0.0);
  EXPECT_EQ(bounds.upper(), kDepth - 1.0);
  PartialAssignment pa(1);
  pa.mask.set(0);
  pa.narrowed[0] = 1;
  pa.intervals[0] = Cell{1000.0, kInf, true, true};
  BoundsUndo undo;
  bounds.apply_with(0, pa, undo);
  EXPECT_EQ(bounds.lower(), 1001.0);
  EXPECT_EQ(bounds.upper(), kDepth - 1.0);
}

}  // namespace
}  // namespace morvel::exact
