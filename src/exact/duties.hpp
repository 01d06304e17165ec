// What every exact search mode does before expanding a node: the node and time budgets,
// the interrupt probe (every 2^18 nodes and about every 100 ms), and trace samples at powers
// of two.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "exact/search.hpp"
#include "watch.hpp"

namespace morvel::exact {

class SearchDuties {
 public:
  enum Verdict { Go, Stop, Interrupted };
  static constexpr std::uint64_t kProbeMask = (std::uint64_t{1} << 18) - 1;

  SearchDuties(const ExactProblem& problem, Watch& watch, ExactResult& result)
      : problem_(problem), watch_(watch), result_(result) {}

  // Call before each node; on Go the node counter has been advanced. Besides the fixed
  // probe every 2^18 nodes, the watch probes by time, so a slow node rate (large models)
  // still notices Ctrl-C within a fraction of a second.
  Verdict before_node(double incumbent, double lower) {
    const std::uint64_t c = result_.nodes_expanded;
    if (c >= problem_.node_budget) return Stop;
    if (watch_.poll()) return watch_.interrupted() ? Interrupted : Stop;
    if (c != 0 && (c & kProbeMask) == 0 && watch_.probe_now()) return Interrupted;
    if (((c + 1) & c) == 0) result_.trace.record(c + 1, incumbent, false, lower);
    result_.nodes_expanded = c + 1;
    return Go;
  }

  void record_incumbent(double cost, double lower) {
    result_.trace.record(result_.nodes_expanded, cost, true, lower);
  }
  void record_final(double incumbent, double lower) {
    result_.trace.record(result_.nodes_expanded, incumbent, false, lower);
  }

  double elapsed() const { return watch_.elapsed(); }

 private:
  const ExactProblem& problem_;
  Watch& watch_;
  ExactResult& result_;
};

// Writes the end of a search into `r`. A search that `proved` its answer (exhausted, with
// nothing proven below the incumbent) completes with the incumbent's cost, scaled by the
// gap, as its bound; any other ends as heuristic with `open_lower`, the least cost it left
// unexplored. Then the row and the final trace sample.
inline void conclude(ExactResult& r, SearchDuties& duties, double gap, bool proved,
                     bool gap_pruned, const std::optional<std::vector<double>>& incumbent,
                     double incumbent_cost, double open_lower) {
  if (proved) {
    r.completed = true;
    r.lower_bound = !incumbent ? std::numeric_limits<double>::infinity()
                               : (gap != 0.0 ? incumbent_cost / (1.0 + gap) : incumbent_cost);
    r.proof = gap > 0.0 && gap_pruned ? Proof::OptimalWithinGap : Proof::Optimal;
  } else {
    r.completed = false;
    r.proof = Proof::Heuristic;
    r.lower_bound = open_lower;
  }
  if (incumbent) {
    r.row = incumbent;
    r.cost = incumbent_cost;
  }
  duties.record_final(incumbent ? incumbent_cost : std::nan(""), r.lower_bound);
}

}  // namespace morvel::exact
