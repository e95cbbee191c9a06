// Ordering a chain's members for one run, and what the search needs to know
// of them that never changes during the run.
#include "placement/run_items.hpp"

#include <algorithm>
#include <limits>
#include <map>
#include <tuple>
#include <utility>

#include "zelk_compiler/checked.hpp"

namespace zelk_compiler::detail::search {
namespace {

// The priority orders the restarts take turns with; list order breaks ties.
std::uint64_t duration(const Member& m) { return m.upper - m.lower; }
std::uint64_t area(const Member& m) { return saturating_mul(m.size, duration(m)); }
using Priority = std::tuple<std::uint64_t, std::uint64_t>;
constexpr Priority (*kPriorities[kPriorityCount])(const Member&) = {
    [](const Member& m) {
      return Priority{m.size, duration(m)};
    },
    [](const Member& m) {
      return Priority{duration(m), m.size};
    },
    [](const Member& m) {
      return Priority{area(m), m.size};
    },
};

std::uint64_t splitmix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30U)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27U)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31U);
}

std::vector<Member> ordered(std::span<const Member> members, const RunOrder& order) {
  struct Keyed {
    Priority key;
    std::size_t index;
  };
  std::vector<Keyed> keyed;
  std::uint64_t state = order.seed;
  for (std::size_t i = 0; i < members.size(); ++i) {
    auto [first, second] = order.heat.empty()
                               ? kPriorities[order.priority](members[i])
                               : Priority{order.heat[members[i].member], members[i].size};
    if (order.spread > 0) {
      const std::uint64_t factor = 1024 - order.spread / 2 + splitmix(state) % (order.spread + 1);
      first = first <= std::numeric_limits<std::uint64_t>::max() / 2048 ? first * factor / 1024
                                                                        : first / 1024 * factor;
    }
    keyed.push_back(Keyed{Priority{first, second}, i});
  }
  std::ranges::sort(keyed, [](const Keyed& a, const Keyed& b) {
    return b.key < a.key || (!(a.key < b.key) && a.index < b.index);
  });
  std::vector<Member> result;
  result.reserve(members.size());
  for (const Keyed& k : keyed) {
    result.push_back(members[k.index]);
  }
  return result;
}

}  // namespace

RunItems::RunItems(const Chain& chain, const RunOrder& order)
    : list(ordered(chain.members, order)),
      twin(list.size(), kNone),
      later_alike(list.size()),
      covering(chain.sections),
      by_size(chain.sections) {
  // Identical items (twin) and items alike but for their size
  // (later_alike), each in priority order.
  std::map<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t>, std::uint32_t>
      last_twin;
  std::map<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>, std::vector<std::uint32_t>>
      alike;
  for (std::uint32_t i = 0; i < list.size(); ++i) {
    const Member& m = list[i];
    const auto [previous, fresh] =
        last_twin.try_emplace(std::tuple(m.lower, m.upper, m.size, m.alignment), i);
    if (!fresh) {
      twin[i] = std::exchange(previous->second, i);
    }
    if (m.size % m.alignment == 0) {
      alike[std::tuple(m.lower, m.upper, m.alignment)].push_back(i);
    }
  }
  for (const auto& [lifetime, members] : alike) {
    for (std::size_t k = 0; k < members.size(); ++k) {
      later_alike[members[k]].assign(members.begin() + static_cast<std::ptrdiff_t>(k) + 1,
                                     members.end());
    }
  }
  for (std::uint32_t i = 0; i < list.size(); ++i) {
    for (std::uint32_t s = list[i].first; s < list[i].last; ++s) {
      covering[s].push_back(i);
    }
  }
  for (std::size_t s = 0; s < covering.size(); ++s) {
    by_size[s] = covering[s];
    std::ranges::sort(by_size[s], {}, [this](std::uint32_t i) {
      return std::pair{list[i].size, i};
    });
  }
}

}  // namespace zelk_compiler::detail::search
