// place_buffers: the lower bound, greedy orderings and, where they stop
// short, the exact search.
//
// Every greedy plan serves the buffers in some order, each at the first-fit
// or best-fit offset among the buffers already placed. No one ordering wins
// everywhere (largest-first beats list order on most tensor graphs and loses
// on some), so `Best` runs a fixed list of them and keeps the lowest peak,
// stopping as soon as one reaches the bound, which no placement can beat.
// Each costs O(n) per buffer, O(n^2) in all. Only where the orderings stop
// short of the target does the exact search run, within its step budget.
//
// Where the bound is over the capacity and the caller set a deadline, no
// placement fits and none of that work can change the verdict, so `Best`
// stacks the buffers in list order, in linear time, and stops. A deadline bounds the orderings too:
// they read the clock every few hundred placements (so a short list always gets them all), an
// ordering cut short is dropped, and list order, cut short, stacks the buffers it has not placed
// above the others.
#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <string_view>

#include "placement/live_bytes.hpp"
#include "placement/placed_buffers.hpp"
#include "placement/search.hpp"
#include "placement/search_budget.hpp"
#include "zelk_compiler/checked.hpp"
#include "zelk_compiler/placement.hpp"

namespace zelk_compiler {
namespace {

using detail::occupies;
using detail::PlacedBuffers;
using detail::search::DeadlineWatch;

void check_preconditions(std::span<const Buffer> buffers) {
  std::uint64_t total = 0;
  for (const Buffer& buffer : buffers) {
    if (buffer.upper < buffer.lower) {
      throw std::invalid_argument("place_buffers: a lifetime ends before it starts");
    }
    if (buffer.alignment == 0) {
      throw std::invalid_argument("place_buffers: alignment must be at least 1");
    }
    // Every offset any strategy chooses is at most the sum of all sizes, each
    // padded by its alignment, so this bound keeps all offset arithmetic exact.
    const auto padded = checked_add(buffer.size, buffer.alignment - 1);
    const auto sum = padded ? checked_add(total, *padded) : std::nullopt;
    if (!sum) {
      throw std::invalid_argument("place_buffers: sizes and alignments sum past 2^64");
    }
    total = *sum;
  }
}

// The most bytes live at one time, or the largest buffer if that is larger
// (every buffer ends at offset + size >= size, live or not).
std::uint64_t lower_bound(std::span<const Buffer> buffers) {
  detail::LiveBytes live;
  live.reserve(buffers.size());
  std::uint64_t largest = 0;
  for (const Buffer& buffer : buffers) {
    largest = std::max(largest, buffer.size);
    live.add(buffer.lower, buffer.upper, buffer.size);
  }
  return std::max(live.busiest().bytes, largest);
}

std::uint64_t peak_of(std::span<const Buffer> buffers, std::span<const std::uint64_t> offsets) {
  std::uint64_t peak = 0;
  for (std::size_t i = 0; i < buffers.size(); ++i) {
    peak = std::max(peak, offsets[i] + buffers[i].size);
  }
  return peak;
}

enum class Fit { First, Best };

// Offsets of the buffers served in `order`, each at its first-fit or best-fit
// offset among those placed before it. Where the deadline cuts the pass
// short, only the first `placed` of `order` are placed; the others are at 0.
struct Greedy {
  std::vector<std::uint64_t> offsets;
  std::size_t placed = 0;
  [[nodiscard]] bool complete(std::span<const std::size_t> order) const {
    return placed == order.size();
  }
};

Greedy greedy(std::span<const Buffer> buffers, std::span<const std::size_t> order, Fit fit,
              DeadlineWatch& watch) {
  Greedy result{std::vector<std::uint64_t>(buffers.size(), 0), 0};
  PlacedBuffers memory;
  for (; result.placed < order.size(); ++result.placed) {
    const std::size_t i = order[result.placed];
    const Buffer& b = buffers[i];
    if (!occupies(b)) {
      continue;
    }
    if (watch.tick()) {
      return result;
    }
    const std::uint64_t offset = fit == Fit::First
                                     ? memory.first_fit(0, b.size, b.alignment, b.lower, b.upper)
                                     : memory.best_fit(0, b.size, b.alignment, b.lower, b.upper);
    memory.insert(offset, b.size, b.lower, b.upper);
    result.offsets[i] = offset;
  }
  return result;
}

// Places the buffers of `order` that occupy bytes one above the other,
// starting at `top` or above: each is then clear of every buffer below,
// whatever their lifetimes. Linear, and the sum of the padded sizes bounds
// every offset.
void stack(std::span<const Buffer> buffers, std::span<const std::size_t> order,
           std::span<std::uint64_t> offsets, std::uint64_t top) {
  for (const std::size_t i : order) {
    const Buffer& b = buffers[i];
    if (occupies(b)) {
      offsets[i] = saturating_align_up(top, b.alignment);
      top = offsets[i] + b.size;
    }
  }
}

std::uint64_t duration(const Buffer& b) { return b.upper - b.lower; }

// A buffer's size times its lifetime, saturated: it only ranks buffers.
std::uint64_t area(const Buffer& b) { return saturating_mul(b.size, duration(b)); }

// The orderings `Best` tries after list order, each with its tie-breaks;
// the list index breaks the last ties, so every order is deterministic.
struct Ordering {
  std::string_view name;
  Fit fit;
  bool (*before)(const Buffer&, const Buffer&);
};

bool larger(const Buffer& a, const Buffer& b) {
  if (a.size != b.size) {
    return a.size > b.size;
  }
  return duration(a) > duration(b);
}
bool longer(const Buffer& a, const Buffer& b) {
  if (duration(a) != duration(b)) {
    return duration(a) > duration(b);
  }
  return a.size > b.size;
}
bool wider(const Buffer& a, const Buffer& b) {
  if (area(a) != area(b)) {
    return area(a) > area(b);
  }
  return a.size > b.size;
}
bool earlier(const Buffer& a, const Buffer& b) {
  if (a.lower != b.lower) {
    return a.lower < b.lower;
  }
  return duration(a) > duration(b);
}

constexpr Ordering kOrderings[] = {
    {"largest first, first fit", Fit::First, larger},
    {"largest first, best fit", Fit::Best, larger},
    {"longest lifetime first, first fit", Fit::First, longer},
    {"longest lifetime first, best fit", Fit::Best, longer},
    {"largest area first, first fit", Fit::First, wider},
    {"largest area first, best fit", Fit::Best, wider},
    {"earliest start first, first fit", Fit::First, earlier},
};

struct Plan {
  std::vector<std::uint64_t> offsets;
  std::uint64_t peak = 0;
  std::string_view method;
};

std::vector<std::size_t> list_order(std::size_t count) {
  std::vector<std::size_t> order(count);
  std::iota(order.begin(), order.end(), std::size_t{0});
  return order;
}

Plan in_list_order(std::span<const Buffer> buffers, DeadlineWatch& watch) {
  const std::vector<std::size_t> order = list_order(buffers.size());
  Greedy pass = greedy(buffers, order, Fit::First, watch);
  Plan plan{std::move(pass.offsets), 0, "first fit in list order"};
  if (!pass.complete(order)) {
    stack(buffers, std::span(order).subspan(pass.placed), plan.offsets,
          peak_of(buffers, plan.offsets));
    plan.method = "first fit in list order, the rest stacked at the deadline";
  }
  plan.peak = peak_of(buffers, plan.offsets);
  return plan;
}

// The lowest peak of list order and every ordering, the earliest on ties,
// stopping at the first that reaches `bound` or at the deadline.
Plan best_ordering(std::span<const Buffer> buffers, std::uint64_t bound, DeadlineWatch& watch) {
  Plan best = in_list_order(buffers, watch);
  for (const Ordering& ordering : kOrderings) {
    if (best.peak <= bound || watch.passed()) {
      break;
    }
    std::vector<std::size_t> order = list_order(buffers.size());
    // Ties keep list order.
    std::ranges::sort(order, [&](std::size_t a, std::size_t b) {
      return ordering.before(buffers[a], buffers[b]) ||
             (!ordering.before(buffers[b], buffers[a]) && a < b);
    });
    Greedy pass = greedy(buffers, order, ordering.fit, watch);
    if (!pass.complete(order)) {
      break;
    }
    const std::uint64_t peak = peak_of(buffers, pass.offsets);
    if (peak < best.peak) {
      best = Plan{std::move(pass.offsets), peak, ordering.name};
    }
  }
  return best;
}

// No placement fits: the buffers stacked in list order, at once.
Plan stacked(std::span<const Buffer> buffers) {
  Plan plan{std::vector<std::uint64_t>(buffers.size(), 0), 0,
            "stacked in list order: the bound is over the capacity"};
  stack(buffers, list_order(buffers.size()), plan.offsets, 0);
  plan.peak = peak_of(buffers, plan.offsets);
  return plan;
}

}  // namespace

Placement place_buffers(std::span<const Buffer> buffers, const PlacementOptions& options,
                        const std::stop_token& stop) {
  check_preconditions(buffers);
  const std::uint64_t bound = lower_bound(buffers);
  // Only a caller with a deadline asks for an answer in bounded time; without
  // one, a capacity under the bound leaves the lowest-peak plan unchanged
  // (the memory planner compares it with first fit's).
  const bool hopeless = options.strategy == PlacementStrategy::Best &&
                        options.deadline.has_value() && bound > options.capacity;
  DeadlineWatch watch(options.strategy == PlacementStrategy::Best ? options.deadline : std::nullopt,
                      stop);
  Plan plan = hopeless ? stacked(buffers)
              : options.strategy == PlacementStrategy::FirstFit
                  ? in_list_order(buffers, watch)
                  : best_ordering(buffers, bound, watch);
  bool proven = plan.peak <= bound;
  // A search after the deadline has no steps and hands back its start.
  if (options.strategy == PlacementStrategy::Best && !hopeless && !proven &&
      options.search_steps > 0 && !watch.passed()) {
    // Aim for the capacity where the orderings overflow it and it is within
    // reach, otherwise for the bound.
    std::optional<std::uint64_t> fit_within;
    if (plan.peak > options.capacity && options.capacity >= bound) {
      fit_within = options.capacity;
    }
    detail::SearchResult found = detail::search_placement(buffers, plan.offsets,
                                                          {.bound = bound,
                                                           .fit_within = fit_within,
                                                           .steps = options.search_steps,
                                                           .deadline = options.deadline,
                                                           .stop = stop});
    if (found.peak < plan.peak) {
      plan = Plan{std::move(found.offsets), found.peak, "exact search"};
    }
    proven = found.optimal;
  }
  return Placement{.offsets = std::move(plan.offsets),
                   .peak = plan.peak,
                   .lower_bound = bound,
                   .fits = plan.peak <= options.capacity,
                   .optimal = proven,
                   .method = std::string(plan.method)};
}

}  // namespace zelk_compiler
