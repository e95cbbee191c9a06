// Searching for the largest workload that fits: bisection over one size.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

namespace zelkc {

// The largest n in [1, limit) for which `fits(n)` holds, found by bisection
// with about log2(limit) calls: exact when fitting is monotone (whatever
// fits at n fits below n), as the lower bound of a growing workload is and
// the planners' peaks nearly are. Nothing when `fits(1)` does not hold or
// `limit` is at most 1.
[[nodiscard]] std::optional<std::uint64_t> largest_fitting(
    std::uint64_t limit, const std::function<bool(std::uint64_t)>& fits);

}  // namespace zelkc
