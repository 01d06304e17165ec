#include "exact/trace.hpp"

#include <cmath>

namespace morvel::exact {

void Trace::record(std::uint64_t nodes, double incumbent, bool keep, double lower) {
  const std::uint64_t has = std::isnan(incumbent) ? 0 : 1;
  if (!samples_.empty() && samples_.back().nodes == nodes) {
    samples_.back().incumbent = incumbent;
    samples_.back().lower = lower;
    samples_.back().has_incumbent = has;
    keep_.back() = keep_.back() || keep;
    return;
  }
  if (samples_.size() > kThinAbove) thin();
  samples_.push_back({nodes, incumbent, lower, has});
  keep_.push_back(keep);
}

// Keeps every flagged sample and every other unflagged one (the first, third, ...).
void Trace::thin() {
  std::size_t out = 0;
  bool keep_next_unflagged = true;
  for (std::size_t i = 0; i < samples_.size(); ++i) {
    bool kept = keep_[i] != 0;
    if (!kept) {
      kept = keep_next_unflagged;
      keep_next_unflagged = !keep_next_unflagged;
    }
    if (kept) {
      samples_[out] = samples_[i];
      keep_[out] = keep_[i];
      ++out;
    }
  }
  samples_.resize(out);
  keep_.resize(out);
}

}  // namespace morvel::exact
