// The interrupt probe handed to long searches, and the outcome type they return.
// The probe is supplied by the caller (the Python boundary polls for Ctrl-C);
// the core only calls it at its fixed cadences and winds down when it says stop.
#pragma once

#include <functional>
#include <optional>
#include <utility>

namespace morvel {

// Returns true when the search must stop.
using InterruptProbe = std::function<bool()>;

// Probe for callers that never interrupt (unit tests, nested calls).
inline bool never_interrupt() { return false; }

template <class T>
class SearchOutcome {
 public:
  static SearchOutcome completed(T result) { return SearchOutcome(std::move(result)); }
  static SearchOutcome interrupted() { return SearchOutcome(); }

  bool is_interrupted() const { return !result_.has_value(); }
  T& result() { return *result_; }
  const T& result() const { return *result_; }

 private:
  SearchOutcome() = default;
  explicit SearchOutcome(T result) : result_(std::move(result)) {}
  std::optional<T> result_;
};

}  // namespace morvel
