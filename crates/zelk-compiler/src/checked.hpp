// Shape products on top of the checked arithmetic.
#pragma once

#include "zelk_compiler/checked.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>

namespace zelk_compiler::detail {

using zelk_compiler::checked_add;
using zelk_compiler::checked_mul;

// Product of a shape's extents: 0 as soon as any extent is 0 (even when the
// extents before it overflow), nothing when the product does not fit.
[[nodiscard]] inline std::optional<std::uint64_t> shape_elements(
    std::span<const std::uint64_t> shape) {
  for (const std::uint64_t extent : shape) {
    if (extent == 0) {
      return 0;
    }
  }
  std::uint64_t product = 1;
  for (const std::uint64_t extent : shape) {
    const auto next = checked_mul(product, extent);
    if (!next) {
      return std::nullopt;
    }
    product = *next;
  }
  return product;
}

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
