// The process-wide worker pool: started on first use with one worker per available CPU.
// Work is split into contiguous index ranges; each range writes only its own outputs, so
// results never depend on the number of threads. An exception thrown by any range aborts
// the call and is rethrown on the calling thread.
#pragma once

#include <cstddef>
#include <functional>

namespace morvel {

using RangeBody = std::function<void(std::size_t begin, std::size_t end)>;

// Number of threads that share the work of one parallel_for (the pool's workers).
std::size_t pool_size();

// Runs body over [0, n) in ranges of at least min_chunk indices, on the pool. The calling
// thread takes ranges too, so a call made from inside a worker cannot deadlock.
void parallel_for(std::size_t n, std::size_t min_chunk, const RangeBody& body);

// Runs body over [0, n) on the pool when parallel is set, else sequentially on this thread.
inline void for_ranges(bool parallel, std::size_t n, std::size_t min_chunk, const RangeBody& body) {
  if (parallel) {
    parallel_for(n, min_chunk, body);
  } else if (n > 0) {
    body(0, n);
  }
}

}  // namespace morvel
