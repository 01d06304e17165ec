// The exact search's trace: (nodes, incumbent cost, lower bound) samples taken at powers of
// two and at every new incumbent, thinned to stay small on long searches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace morvel::exact {

struct TraceSample {
  std::uint64_t nodes;          // nodes expanded when taken
  double incumbent;             // best cost so far; NaN while there is none
  double lower;                 // proven lower bound at that moment
  std::uint64_t has_incumbent;  // 1 when an incumbent existed
};

class Trace {
 public:
  // Once a trace holds this many samples, the next insertion halves the unflagged ones.
  static constexpr std::size_t kThinAbove = 255;

  // Records a sample; a sample at the same node count as the last one overwrites it.
  // `keep` marks an event (a new incumbent) that thinning never drops.
  void record(std::uint64_t nodes, double incumbent, bool keep, double lower);

  const std::vector<TraceSample>& samples() const { return samples_; }
  const std::vector<std::uint8_t>& keep_flags() const { return keep_; }

 private:
  void thin();

  std::vector<TraceSample> samples_;
  std::vector<std::uint8_t> keep_;
};

}  // namespace morvel::exact
