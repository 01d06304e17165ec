// The message of the exception of type E that f throws, or "<no error>".
#pragma once

#include <functional>
#include <string>

namespace morvel::testing {

template <class E>
std::string error_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no error>";
}

}  // namespace morvel::testing
