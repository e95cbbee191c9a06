// Dimension products that treat overflow as a broken precondition, on top of
// the checked arithmetic.
#pragma once

#include "zelk_compiler/checked.hpp"

#include <cstdint>
#include <stdexcept>

namespace zelk_compiler::detail {

// The memory planner and the placement code still name these through detail.
using zelk_compiler::checked_add;
using zelk_compiler::checked_mul;

// Product of two dimensions for callers that treat overflow as a broken
// precondition.
[[nodiscard]] inline std::uint64_t mul_or_throw(std::uint64_t a, std::uint64_t b,
                                                const char* what) {
  const auto product = checked_mul(a, b);
  if (!product) {
    throw std::invalid_argument(what);
  }
  return *product;
}

}  // namespace zelk_compiler::detail
