// Neighbourhoods of the local search around the incumbent: which features a round leaves
// free (every other one stays at the incumbent's state), and how many. The choice is a
// seeded shuffle that depends only on the rounds before it, so a search makes the same
// choices on every machine and at any thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace morvel::exact {

class Neighbourhoods {
 public:
  // `order`: the search features.
  explicit Neighbourhoods(std::span<const std::size_t> order);

  // Marks in `free` (one flag per feature) the features the next round leaves free around
  // an incumbent whose moved features (those off their factual value) are flagged in
  // `moved`. Moved features make up most of a neighbourhood: they are where a cheaper row
  // most likely differs.
  void pick(std::span<const std::uint8_t> moved, std::vector<std::uint8_t>& free);
  // How the last round ended: a round that searched its whole neighbourhood makes the next
  // one larger, one stopped by its node cap without a better row makes it smaller.
  void settle(bool improved, bool exhausted);
  std::size_t size() const { return size_; }

 private:
  std::uint64_t next();
  void take(std::vector<std::size_t>& pool, std::size_t k, std::vector<std::uint8_t>& free);

  std::vector<std::size_t> order_;
  std::vector<std::size_t> moved_, still_;  // scratch of pick
  std::size_t size_;
  std::uint64_t state_ = 0x243f6a8885a308d3u;  // a fixed seed
};

}  // namespace morvel::exact
