// Independent placement checker and brute-force oracle: lifetimes, overlaps
// and the bound are worked out again here in the plainest possible way.
#include "support/placement_checker.hpp"

#include <algorithm>
#include <numeric>
#include <sstream>
#include <stdexcept>

namespace zelk_compiler::test_support {
namespace {

using u64 = std::uint64_t;

// Some time t with lower <= t < upper for both, and bytes in both.
bool live_together(const Buffer& a, const Buffer& b) {
  return a.size > 0 && b.size > 0 && std::max(a.lower, b.lower) < std::min(a.upper, b.upper);
}

u64 live_at(std::span<const Buffer> buffers, u64 time) {
  u64 bytes = 0;
  for (const Buffer& b : buffers) {
    if (b.lower <= time && time < b.upper) bytes += b.size;
  }
  return bytes;
}

// The most bytes live at any one time: the live set only grows at a start.
u64 expected_bound(std::span<const Buffer> buffers) {
  u64 bound = 0;
  for (const Buffer& b : buffers) {
    bound = std::max({bound, b.size, live_at(buffers, b.lower)});
  }
  return bound;
}

}  // namespace

std::vector<std::string> check_placement(std::span<const Buffer> buffers,
                                         const PlacementOptions& options,
                                         const Placement& placement) {
  std::vector<std::string> problems;
  const auto fail = [&problems](const auto&... pieces) {
    std::ostringstream out;
    (out << ... << pieces);
    problems.push_back(out.str());
  };
  if (placement.offsets.size() != buffers.size()) {
    fail(placement.offsets.size(), " offsets for ", buffers.size(), " buffers");
    return problems;
  }
  u64 peak = 0;
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    const Buffer& b = buffers[i];
    const u64 offset = placement.offsets[i];
    if (offset % b.alignment != 0) fail("buffer ", i, " at ", offset, " is not aligned");
    if (offset > ~u64{0} - b.size) {
      fail("buffer ", i, " ends past 2^64");
      continue;
    }
    peak = std::max(peak, offset + b.size);
    for (std::size_t j = 0; j < i; ++j) {
      const u64 other = placement.offsets[j];
      if (live_together(b, buffers[j]) && offset < other + buffers[j].size &&
          other < offset + b.size) {
        fail("buffers ", j, " and ", i, " are live together and share bytes");
      }
    }
  }
  if (placement.peak != peak) fail("peak ", placement.peak, ", the offsets give ", peak);
  const u64 bound = expected_bound(buffers);
  if (placement.lower_bound != bound)
    fail("lower bound ", placement.lower_bound, ", expected ", bound);
  if (peak < bound) fail("peak ", peak, " below the lower bound ", bound);
  if (placement.fits != (peak <= options.capacity)) fail("fits is ", placement.fits);
  if (peak == bound && !placement.optimal) fail("a placement at the bound is not called optimal");
  if (placement.method.empty()) fail("no method named");
  return problems;
}

std::vector<u64> first_fit_literal(std::span<const Buffer> buffers,
                                   std::span<const std::size_t> order) {
  std::vector<u64> offsets(buffers.size(), 0);
  for (std::size_t k = 0; k < order.size(); ++k) {
    const Buffer& b = buffers[order[k]];
    u64 offset = 0;
    for (bool bumped = true; bumped;) {
      bumped = false;
      for (std::size_t j = 0; j < k && !bumped; ++j) {
        const Buffer& placed = buffers[order[j]];
        const u64 at = offsets[order[j]];
        if (live_together(b, placed) && offset < at + placed.size && at < offset + b.size) {
          offset = (at + placed.size + b.alignment - 1) / b.alignment * b.alignment;
          bumped = true;
        }
      }
    }
    offsets[order[k]] = offset;
  }
  return offsets;
}

u64 optimal_peak(std::span<const Buffer> buffers) {
  if (buffers.size() > 8) throw std::invalid_argument("optimal_peak: too many buffers");
  std::vector<std::size_t> order(buffers.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  u64 best = ~u64{0};
  do {
    const std::vector<u64> offsets = first_fit_literal(buffers, order);
    u64 peak = 0;
    for (std::size_t i = 0; i < buffers.size(); ++i)
      peak = std::max(peak, offsets[i] + buffers[i].size);
    best = std::min(best, peak);
  } while (std::next_permutation(order.begin(), order.end()));
  return best;
}

}  // namespace zelk_compiler::test_support
