// Splitting a buffer list into chains, and each chain's sections.
#include "placement/chains.hpp"

#include <algorithm>
#include <utility>

#include "placement/search.hpp"

namespace zelk_compiler::detail::search {
namespace {

Chain make_chain(std::span<const Buffer> buffers, std::span<const std::size_t> indices) {
  std::vector<std::uint64_t> times;
  for (const std::size_t i : indices) {
    times.push_back(buffers[i].lower);
    times.push_back(buffers[i].upper);
  }
  std::ranges::sort(times);
  times.erase(std::unique(times.begin(), times.end()), times.end());
  const auto section = [&times](std::uint64_t time) {
    return static_cast<std::uint32_t>(std::ranges::lower_bound(times, time) - times.begin());
  };
  Chain chain;
  chain.sections = static_cast<std::uint32_t>(times.size() - 1);
  for (const std::size_t i : indices) {
    const Buffer& b = buffers[i];
    chain.members.push_back(Member{.buffer = i,
                                   .size = b.size,
                                   .alignment = b.alignment,
                                   .lower = b.lower,
                                   .upper = b.upper,
                                   .first = section(b.lower),
                                   .last = section(b.upper)});
  }
  std::ranges::sort(chain.members, {}, &Member::buffer);
  for (std::uint32_t k = 0; k < chain.members.size(); ++k) {
    chain.members[k].member = k;
  }
  return chain;
}

}  // namespace

// The buffers that occupy bytes, split into chains whose lifetimes never
// meet another chain's.
std::vector<Chain> chains_of(std::span<const Buffer> buffers) {
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    if (occupies(buffers[i])) {
      order.push_back(i);
    }
  }
  std::ranges::sort(order, {}, [&](std::size_t i) { return std::pair{buffers[i].lower, i}; });
  std::vector<Chain> chains;
  std::size_t start = 0;
  std::uint64_t reach = 0;  // the latest end in the current chain
  for (std::size_t k = 0; k < order.size(); ++k) {
    if (k > start && buffers[order[k]].lower >= reach) {
      chains.push_back(make_chain(buffers, std::span(order).subspan(start, k - start)));
      start = k;
    }
    reach = std::max(reach, buffers[order[k]].upper);
  }
  if (start < order.size()) {
    chains.push_back(make_chain(buffers, std::span(order).subspan(start)));
  }
  return chains;
}

}  // namespace zelk_compiler::detail::search
