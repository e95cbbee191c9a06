// Bisection for the largest workload that fits.
#include "commands/fit_search.hpp"

namespace zelkc {

std::optional<std::uint64_t> largest_fitting(std::uint64_t limit,
                                             const std::function<bool(std::uint64_t)>& fits) {
  if (limit <= 1 || !fits(1)) {
    return std::nullopt;
  }
  // fits(low) holds and `high` is taken not to fit.
  std::uint64_t low = 1;
  std::uint64_t high = limit;
  while (high - low > 1) {
    const std::uint64_t middle = low + (high - low) / 2;
    (fits(middle) ? low : high) = middle;
  }
  return low;
}

}  // namespace zelkc
