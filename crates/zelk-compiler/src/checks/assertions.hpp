// What a check uses to fail: the failure exception and the assertions that
// throw it with the values in their printed forms.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/error.hpp"

namespace zelk_compiler::checks {

// Thrown by a check at its first unmet condition; the message is the report.
class CheckFailure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Fails with `message` unless `condition` holds.
inline void require(bool condition, std::string_view message) {
  if (!condition) {
    throw CheckFailure(std::string(message));
  }
}

// Fails showing both values unless they are equal.
template <class Left, class Right>
void require_eq(const Left& left, const Right& right) {
  if (!(left == right)) {
    throw CheckFailure("assertion `left == right` failed\n  left: " + debug_string(left) +
                       "\n right: " + debug_string(right));
  }
}

// The value of a result that must have succeeded; its error is the failure.
template <class T>
T require_ok(Result<T> result) {
  if (!result) {
    throw CheckFailure(debug_string(result.error()));
  }
  return std::move(*result);
}

}  // namespace zelk_compiler::checks
