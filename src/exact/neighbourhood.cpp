// Neighbourhood choice of the local search: a partial shuffle of the moved and the unmoved
// search features, sized by how the previous rounds ended.
#include "exact/neighbourhood.hpp"

#include <algorithm>

namespace morvel::exact {
namespace {

constexpr std::size_t kFirstSize = 8;
constexpr std::size_t kLeastSize = 3;

}  // namespace

Neighbourhoods::Neighbourhoods(std::span<const std::size_t> order)
    : order_(order.begin(), order.end()), size_(std::min(kFirstSize, order.size())) {
  moved_.reserve(order_.size());
  still_.reserve(order_.size());
}

// splitmix64: small, fast, and the same sequence everywhere.
std::uint64_t Neighbourhoods::next() {
  std::uint64_t z = (state_ += 0x9e3779b97f4a7c15u);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
  return z ^ (z >> 31);
}

// Frees k features of `pool`, drawn without repetition.
void Neighbourhoods::take(std::vector<std::size_t>& pool, std::size_t k,
                          std::vector<std::uint8_t>& free) {
  for (std::size_t i = 0; i < k && i < pool.size(); ++i) {
    const std::size_t j = i + static_cast<std::size_t>(next() % (pool.size() - i));
    std::swap(pool[i], pool[j]);
    free[pool[i]] = 1;
  }
}

void Neighbourhoods::pick(std::span<const std::uint8_t> moved, std::vector<std::uint8_t>& free) {
  std::fill(free.begin(), free.end(), 0);
  moved_.clear();
  still_.clear();
  for (std::size_t f : order_) (moved[f] != 0 ? moved_ : still_).push_back(f);
  // Two thirds of the neighbourhood from the moved features (all of them when fewer), the
  // rest from the others.
  const std::size_t from_moved = std::min(moved_.size(), (2 * size_ + 2) / 3);
  take(moved_, from_moved, free);
  take(still_, size_ - from_moved, free);
}

void Neighbourhoods::settle(bool improved, bool exhausted) {
  if (exhausted) {
    size_ = std::min(size_ + 2, order_.size());
  } else if (!improved) {
    size_ = std::max(std::min(kLeastSize, order_.size()), size_ - 1);
  }
}

}  // namespace morvel::exact
