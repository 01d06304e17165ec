// Error types of the core. The Python boundary maps each to one Python exception:
// ValidationError -> ValueError, CallerError -> RuntimeError,
// InternalError -> the module's internal-error exception (a BaseException).
#pragma once

#include <stdexcept>
#include <string>

namespace morvel {

// Malformed user-facing input (bad model or constraint data, shape mismatches).
class ValidationError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Input that only a faulty caller can produce (unknown modes, malformed marshalled arrays).
class CallerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A broken internal invariant; valid input never raises it.
class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// `text` between double quotes with quotes, backslashes and control characters escaped,
// for messages that repeat a caller's string.
std::string quoted(const std::string& text);

[[noreturn]] inline void internal_fail(const std::string& what) { throw InternalError(what); }

inline void ensure(bool condition, const char* what) {
  if (!condition) internal_fail(what);
}

// Bounds-checked element access for indices that come from caller data.
template <class Container>
auto checked_at(Container& c, std::size_t i) -> decltype(c[i]) {
  if (i >= c.size()) {
    internal_fail("index out of bounds: the len is " + std::to_string(c.size()) +
                  " but the index is " + std::to_string(i));
  }
  return c[i];
}

}  // namespace morvel
