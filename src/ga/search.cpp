// One genetic search: the flat population buffers, the initial population, evaluation and
// ordering, breeding, and the generation loop with its stop rules.
//
// The population lives in one row-major buffer of `rows_ * p_` values and the next
// generation is bred into a second buffer of the same capacity; both are sized once, so
// the loop allocates nothing per child. Parents are read through the sorted index order
// instead of moving the rows into sorted position first: the rows bred are the same.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <new>
#include <numeric>

#include "errors.hpp"
#include "exact/domains.hpp"
#include "ga/genes.hpp"
#include "ga/genetic.hpp"
#include "ga/rng.hpp"

namespace morvel::ga {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

constexpr double kMinImprovement = 1e-12;   // a new best must beat the old by more
constexpr double kHugeViolation = 1e18;     // stands in for an infinite window violation
constexpr std::size_t kMaxBackgroundRows = 20;
constexpr std::size_t kMinFillRows = 10;
constexpr double kTakeBackground = 0.5;     // per free feature of a background row
constexpr double kTakeFirstParent = 0.5;    // per feature of a child
constexpr double kMutateChance = 0.15;      // per free feature of a child
constexpr double kResetChance = 0.3;        // cumulative: [0.15, 0.3) resets to the factual
// Populations are scored, checked and repaired in blocks of at most this many rows and
// about kWalksPerPoll tree walks, with a stop check (interrupt and time budget) before
// each block. Rows are independent, so the blocks change no result.
constexpr std::size_t kRowsPerPoll = 1024;
constexpr std::size_t kWalksPerPoll = std::size_t{1} << 22;
// Handing a default population of 80 rows of a small model to the pool costs more in
// wake-ups than it saves; only blocks of this many rows, or of a large model, fan out (the
// answer is the same either way).
constexpr std::size_t kMinRowsToFanOut = 256;
constexpr std::size_t kMinWalksToFanOut = std::size_t{1} << 20;
// However small the time budget, building and scoring the first generation may take this
// long: a zero budget still evaluates one generation and stops after it, while a model too
// large to score in time is still cut off while its first population is built.
constexpr double kFirstGenerationAllowanceS = 0.01;

enum RowClass : std::uint8_t { kValid = 0, kOutsideWindow = 1, kInfeasible = 2 };

// IEEE-754 totalOrder as an integer key.
std::int64_t total_order_key(double v) {
  const auto bits = std::bit_cast<std::int64_t>(v);
  return bits < 0 ? bits ^ std::numeric_limits<std::int64_t>::max() : bits;
}

std::size_t checked_add(std::size_t a, std::size_t b) {
  std::size_t out = 0;
  if (__builtin_add_overflow(a, b, &out)) throw std::bad_alloc();
  return out;
}

std::size_t checked_mul(std::size_t a, std::size_t b) {
  std::size_t out = 0;
  if (__builtin_mul_overflow(a, b, &out)) throw std::bad_alloc();
  return out;
}

// How far a score lies outside the window; NaN counts as 0, infinity as kHugeViolation.
double window_violation(double score, double lo_t, double hi_t) {
  const double v = ScoreWindow{nullptr, lo_t, hi_t}.violation(score);
  if (std::isnan(v)) return 0.0;
  return v >= kInf ? kHugeViolation : v;
}

// The genes of one search: from the cells the problem carries, the model's own when there
// is no further window, else the joint cells computed here.
Genes genes_of(const GaProblem& p, std::span<const double> x, Watch* watch) {
  if (p.cells != nullptr && p.blocks != nullptr) {
    return make_genes(*p.ensemble, *p.constraints, x, p.sigma, *p.cells, *p.blocks, watch);
  }
  if (p.windows.empty()) return make_genes(*p.ensemble, *p.constraints, x, p.sigma, watch);
  const JointCells joint = joint_cells(p);
  return make_genes(*p.ensemble, *p.constraints, x, p.sigma, joint.cells, joint.blocks, watch);
}

// Trees a row walks through when it is scored: the model's, the plausibility ensemble's
// and the further windows'.
std::size_t trees_per_row(const GaProblem& problem) {
  std::size_t trees = problem.ensemble->n_trees() +
                      (problem.if_ensemble != nullptr ? problem.if_ensemble->n_trees() : 0);
  for (const ScoreWindow& w : problem.windows) trees += w.ensemble->n_trees();
  return trees;
}

class Search {
 public:
  // `budget` runs the search's time budget; it started with the call.
  Search(const GaProblem& problem, std::span<const double> x, Rng rng, const GaParams& params,
         Watch* watch, Watch& budget);
  SearchOutcome<GaResult> run();

 private:
  double* row(std::vector<double>& buffer, std::size_t r) { return buffer.data() + r * p_; }
  double* append_factual();
  std::size_t initial_rows() const;
  bool seed_population();
  void add_fill_row();
  bool repair_and_lock(std::vector<double>& buffer, std::size_t rows);
  void limit_changes(double* values);
  bool evaluate();
  void classify(std::size_t begin, std::size_t end, const std::vector<std::uint8_t>& feasible);
  void order();
  bool breed();
  // An interrupt, or the end of the time budget.
  bool halted() { return (watch_ != nullptr && watch_->poll()) || budget_.poll(); }
  // The outcome of a halted search: interrupted, or the best row of the generations that
  // the time budget let finish.
  SearchOutcome<GaResult> halt(GaResult result, const std::vector<double>& best, bool has_best);
  bool fan_out(std::size_t rows) const {
    return params_.parallel && (rows >= kMinRowsToFanOut || rows * walks_ >= kMinWalksToFanOut);
  }

  const GaProblem& problem_;
  std::span<const double> x_;
  const GaParams& params_;
  Watch* watch_;
  Watch& budget_;
  Rng rng_;
  std::size_t p_;
  std::size_t walks_;          // trees_per_row
  std::size_t rows_per_poll_;  // rows per block of scoring, checking and repair
  Genes genes_;
  std::vector<std::size_t> locked_;  // features reset to the factual after every repair
  exact::CostModel cost_;
  std::size_t elites_;
  std::size_t children_;

  std::vector<double> pop_;   // current population, rows_ rows
  std::vector<double> next_;  // the generation being bred
  std::size_t rows_ = 0;
  std::vector<double> score_;
  std::vector<double> window_score_;  // per window, `capacity` rows each
  std::size_t window_stride_ = 0;
  std::vector<double> plausibility_;
  std::vector<double> fitness_;
  std::vector<std::uint8_t> class_;
  std::vector<std::size_t> order_;
  std::vector<std::size_t> shuffle_;  // scratch copy of the free features
  std::vector<std::size_t> changed_;  // scratch: the changed features of one row
};

Search::Search(const GaProblem& problem, std::span<const double> x, Rng rng,
               const GaParams& params, Watch* watch, Watch& budget)
    : problem_(problem),
      x_(x),
      params_(params),
      watch_(watch),
      budget_(budget),
      rng_(rng),
      p_(problem.ensemble->n_features()),
      walks_(std::max<std::size_t>(trees_per_row(problem), 1)),
      rows_per_poll_(std::clamp<std::size_t>(kWalksPerPoll / walks_, 1, kRowsPerPoll)),
      genes_(genes_of(problem, x, &budget)),
      cost_(exact::make_cost_model(x, problem.sigma, problem.weights, problem.lam,
                                   *problem.constraints, *problem.ensemble)),
      elites_(std::max<std::size_t>(params.population / 8, 4)),
      children_(params.population > elites_ ? params.population - elites_ : 0) {
  ensure(problem.background.size() >= checked_mul(problem.n_bg, p_),
         "background holds fewer rows than n_bg");
  ensure(problem.if_ensemble == nullptr || problem.if_ensemble->n_features() == p_,
         "plausibility ensemble and model differ in their number of features");
  for (const ScoreWindow& w : problem.windows) {
    ensure(w.ensemble != nullptr && w.ensemble->n_features() == p_,
           "a window's ensemble and the model differ in their number of features");
  }
  for (std::size_t j = 0; j < p_; ++j) {
    if (genes_.locked[j]) locked_.push_back(j);
  }
}

std::size_t Search::initial_rows() const {
  std::size_t rows = 1;
  for (std::size_t j : genes_.free) {
    rows = checked_add(rows, checked_add(genes_.candidates[j].size(), genes_.may_go_missing[j]));
  }
  rows = checked_add(rows, std::min(problem_.n_bg, kMaxBackgroundRows));
  const std::size_t short_of = params_.population > rows ? params_.population - rows : 0;
  return checked_add(rows, std::max(short_of, kMinFillRows));
}

double* Search::append_factual() {
  double* r = row(pop_, rows_++);
  std::copy(x_.begin(), x_.end(), r);
  return r;
}

// The factual row; one row per candidate value (and missing) of every free feature; rows
// mixed with random background rows; random mutants to fill the population.
bool Search::seed_population() {
  const std::size_t capacity = std::max(initial_rows(), checked_add(elites_, children_));
  const std::size_t values = checked_mul(capacity, p_);
  if (values > pop_.max_size()) throw std::bad_alloc();
  pop_.resize(values);
  next_.resize(values);
  score_.resize(capacity);
  window_stride_ = capacity;
  window_score_.resize(checked_mul(problem_.windows.size(), capacity));
  plausibility_.resize(problem_.if_ensemble != nullptr ? capacity : 0);
  fitness_.resize(capacity);
  class_.resize(capacity);
  order_.resize(capacity);
  shuffle_.resize(genes_.free.size());
  changed_.reserve(genes_.free.size());

  rows_ = 0;
  append_factual();
  for (std::size_t j : genes_.free) {
    for (double c : genes_.candidates[j]) append_factual()[j] = c;
    if (genes_.may_go_missing[j]) append_factual()[j] = kNaN;
  }
  const std::size_t n_bg = problem_.n_bg;
  for (std::size_t k = 0; k < std::min(n_bg, kMaxBackgroundRows); ++k) {
    const double* source = problem_.background.data() + rng_.index(n_bg) * p_;
    double* r = append_factual();
    for (std::size_t j : genes_.free) {
      if (rng_.uniform() < kTakeBackground) r[j] = source[j];
    }
  }
  const std::size_t short_of = params_.population > rows_ ? params_.population - rows_ : 0;
  const std::size_t n_fill = std::max(short_of, kMinFillRows);
  for (std::size_t k = 0; k < n_fill; ++k) add_fill_row();
  return repair_and_lock(pop_, rows_);
}

// The factual row with a random non-empty subset of the free features mutated, in the
// order a partial shuffle of the free list draws them.
void Search::add_fill_row() {
  double* r = append_factual();
  const std::size_t n_free = genes_.free.size();
  if (n_free == 0) return;
  const std::size_t k = static_cast<std::size_t>(rng_.uniform_int(1, n_free + 1));
  std::copy(genes_.free.begin(), genes_.free.end(), shuffle_.begin());
  for (std::size_t i = 0; i < k; ++i) {
    std::swap(shuffle_[i], shuffle_[i + rng_.index(n_free - i)]);
  }
  for (std::size_t i = 0; i < k; ++i) {
    const std::size_t j = shuffle_[i];
    r[j] = genes_.mutate_value(j, x_[j], rng_);
  }
}

bool Search::repair_and_lock(std::vector<double>& buffer, std::size_t rows) {
  for (std::size_t b0 = 0; b0 < rows; b0 += rows_per_poll_) {
    if (halted()) return false;
    const std::size_t m = std::min(rows_per_poll_, rows - b0);
    problem_.constraints->repair(row(buffer, b0), m, x_, fan_out(m));
  }
  for (std::size_t r = 0; r < rows; ++r) {
    double* values = row(buffer, r);
    for (std::size_t j : locked_) values[j] = x_[j];
    if (problem_.change_rules != nullptr) limit_changes(values);
  }
  return true;
}

// Pulls a row that breaks the change-set rules back towards the factual row: one random
// member of every earlier set it contains, then random changes beyond the cap, return to
// their factual values. Rules that still fail leave the row invalid.
void Search::limit_changes(double* values) {
  const ChangeRules& rules = *problem_.change_rules;
  if (rules.diversity == Diversity::NoSuperset) {
    for (const auto& set : rules.earlier) {
      const bool contained = !set.empty() && std::all_of(set.begin(), set.end(), [&](auto f) {
        return f < p_ && changes(x_[f], values[f]);
      });
      if (contained) {
        const std::size_t f = set[rng_.index(set.size())];
        values[f] = x_[f];
      }
    }
  }
  if (!rules.max_changes) return;
  changed_.clear();
  for (std::size_t j : genes_.free) {
    if (changes(x_[j], values[j])) changed_.push_back(j);
  }
  while (changed_.size() > *rules.max_changes) {
    const std::size_t k = rng_.index(changed_.size());
    values[changed_[k]] = x_[changed_[k]];
    changed_[k] = changed_.back();
    changed_.pop_back();
  }
}

bool Search::evaluate() {
  const Ensemble& model = *problem_.ensemble;
  for (std::size_t b0 = 0; b0 < rows_; b0 += rows_per_poll_) {
    if (halted()) return false;
    const std::size_t m = std::min(rows_per_poll_, rows_ - b0);
    const double* block = row(pop_, b0);
    const bool parallel = fan_out(m);
    model.raw_score_batch_into(block, m, score_.data() + b0, parallel);
    for (std::size_t w = 0; w < problem_.windows.size(); ++w) {
      problem_.windows[w].ensemble->raw_score_batch_into(
          block, m, window_score_.data() + w * window_stride_ + b0, parallel);
    }
    const std::vector<std::uint8_t> feasible = problem_.constraints->check(block, m, x_, parallel);
    if (problem_.if_ensemble != nullptr) {
      problem_.if_ensemble->raw_score_batch_into(block, m, plausibility_.data() + b0, parallel);
    }
    classify(b0, b0 + m, feasible);
  }
  return true;
}

// Valid rows (feasible, plausible, in every window) are ranked by their distance; the rest
// by how far their scores miss the windows (summed), infeasible ones after all feasible
// ones.
void Search::classify(std::size_t begin, std::size_t end,
                      const std::vector<std::uint8_t>& feasible) {
  for (std::size_t r = begin; r < end; ++r) {
    bool ok = feasible[r - begin] != 0;
    if (problem_.if_ensemble != nullptr && !(plausibility_[r] >= problem_.min_total_path)) {
      ok = false;  // a NaN total path fails too
    }
    const ChangeRules* rules = problem_.change_rules;
    if (ok && rules != nullptr && !rules->allows(x_, row(pop_, r))) ok = false;
    const double s = score_[r];
    bool inside = problem_.lo_t <= s && s <= problem_.hi_t;
    for (std::size_t w = 0; w < problem_.windows.size() && inside; ++w) {
      inside = problem_.windows[w].contains(window_score_[w * window_stride_ + r]);
    }
    if (ok && inside) {
      class_[r] = kValid;
      fitness_[r] = cost_.row_cost(row(pop_, r));
    } else {
      class_[r] = ok ? kOutsideWindow : kInfeasible;
      double violation = window_violation(s, problem_.lo_t, problem_.hi_t);
      for (std::size_t w = 0; w < problem_.windows.size(); ++w) {
        const ScoreWindow& window = problem_.windows[w];
        violation += window_violation(window_score_[w * window_stride_ + r], window.lo, window.hi);
      }
      fitness_[r] = violation;
    }
  }
}

// By class, then fitness in IEEE total order, then row index: the order a stable sort by
// the first two keys gives, without the stable sort's temporary buffer.
void Search::order() {
  std::iota(order_.begin(), order_.begin() + rows_, std::size_t{0});
  std::sort(order_.begin(), order_.begin() + rows_, [this](std::size_t a, std::size_t b) {
    if (class_[a] != class_[b]) return class_[a] < class_[b];
    const std::int64_t ka = total_order_key(fitness_[a]);
    const std::int64_t kb = total_order_key(fitness_[b]);
    if (ka != kb) return ka < kb;
    return a < b;
  });
}

// Elites carried over unchanged, then children of two parents from the better half:
// uniform crossover, then per free feature a mutation or a reset to the factual value.
bool Search::breed() {
  const std::size_t n_elite = std::min(rows_, elites_);
  for (std::size_t i = 0; i < n_elite; ++i) {
    const double* source = row(pop_, order_[i]);
    std::copy(source, source + p_, row(next_, i));
  }
  const std::size_t parents = std::max<std::size_t>(rows_ / 2, 2);
  ensure(parents <= rows_, "parent pool larger than the population (should be impossible)");
  for (std::size_t c = 0; c < children_; ++c) {
    const double* a = row(pop_, order_[rng_.index(parents)]);
    const double* b = row(pop_, order_[rng_.index(parents)]);
    double* child = row(next_, n_elite + c);
    for (std::size_t j = 0; j < p_; ++j) {
      child[j] = rng_.uniform() < kTakeFirstParent ? a[j] : b[j];
    }
    for (std::size_t j : genes_.free) {
      const double u = rng_.uniform();
      if (u < kMutateChance) {
        child[j] = genes_.mutate_value(j, child[j], rng_);
      } else if (u < kResetChance) {
        child[j] = x_[j];
      }
    }
  }
  const std::size_t next_rows = n_elite + children_;
  if (!repair_and_lock(next_, next_rows)) return false;
  std::swap(pop_, next_);
  rows_ = next_rows;
  return true;
}

SearchOutcome<GaResult> Search::halt(GaResult result, const std::vector<double>& best,
                                     bool has_best) {
  if (watch_ != nullptr && watch_->stopped()) return SearchOutcome<GaResult>::interrupted();
  if (has_best) result.best = best;
  return SearchOutcome<GaResult>::completed(std::move(result));
}

SearchOutcome<GaResult> Search::run() {
  GaResult result;
  // Without generations nothing is evaluated, so the initial population cannot matter.
  if (params_.max_generations == 0) return SearchOutcome<GaResult>::completed(std::move(result));
  std::vector<double> best(p_);
  bool has_best = false;
  if (!seed_population()) return halt(std::move(result), best, has_best);
  double best_cost = kInf;
  std::size_t stall = 0;
  for (;;) {
    if (!evaluate()) return halt(std::move(result), best, has_best);
    order();
    const std::size_t first = order_[0];
    if (class_[first] == kValid && best_cost - kMinImprovement > fitness_[first]) {
      const double* r = row(pop_, first);
      std::copy(r, r + p_, best.begin());
      has_best = true;
      best_cost = fitness_[first];
      stall = 0;
    } else {
      ++stall;
    }
    ++result.generations;
    if (stall >= params_.stall_generations) break;
    if (budget_.elapsed() > params_.time_budget_s) break;
    // The population bred after the last generation would never be evaluated.
    if (result.generations == params_.max_generations) break;
    if (halted() || !breed()) return halt(std::move(result), best, has_best);
  }
  if (has_best) result.best = std::move(best);
  return SearchOutcome<GaResult>::completed(std::move(result));
}

}  // namespace

JointCells joint_cells(const GaProblem& problem) {
  std::vector<const Ensemble*> ensembles{problem.ensemble};
  for (const ScoreWindow& w : problem.windows) ensembles.push_back(w.ensemble);
  return JointCells{feature_cells_joint(ensembles), category_blocks_joint(ensembles)};
}

SearchOutcome<GaResult> solve_genetic(const GaProblem& problem, std::span<const double> x,
                                      std::optional<std::uint64_t> seed, const GaParams& params,
                                      Watch* watch) {
  ensure(problem.ensemble != nullptr && problem.constraints != nullptr,
         "genetic search without a model or constraint set");
  // The time budget counts from here: it bounds the candidate values and the initial
  // population as well as the generations.
  Watch budget(InterruptProbe{}, std::max(params.time_budget_s, kFirstGenerationAllowanceS));
  try {
    Search search(problem, x, seed ? Rng::from_seed(*seed) : Rng::from_os(), params, watch,
                  budget);
    return search.run();
  } catch (const StopRequested&) {
    return SearchOutcome<GaResult>::completed(GaResult{});  // out of time while preparing
  }
}

}  // namespace morvel::ga
