// Placement of plain buffer lists: each buffer gets an offset so that buffers
// live at the same time never share a byte, with the lowest peak found.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <limits>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <type_traits>
#include <vector>

#include "zelk_compiler/fields.hpp"
#include "zelk_compiler/stop.hpp"

namespace zelk_compiler {

// One buffer: `size` bytes, live over the half-open time range [lower, upper),
// placed at an offset that is a multiple of `alignment`.
struct Buffer {
  std::uint64_t lower = 0;
  std::uint64_t upper = 0;
  std::uint64_t size = 0;
  std::uint64_t alignment = 1;
  friend bool operator==(const Buffer&, const Buffer&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Buffer>) {
  return describe_record<Buffer>("Buffer", field("lower", &Buffer::lower),
                                 field("upper", &Buffer::upper), field("size", &Buffer::size),
                                 field("alignment", &Buffer::alignment));
}

enum class PlacementStrategy {
  FirstFit,  // in list order, each at the lowest offset that is free for its lifetime
  Best,      // several orderings, then an exact search where they stop short of the bound
};

struct PlacementOptions {
  PlacementStrategy strategy = PlacementStrategy::Best;
  // Every buffer must end at or below it: offset + size <= capacity.
  std::uint64_t capacity = std::numeric_limits<std::uint64_t>::max();
  // Deterministic bound on the exact search, in placements tried; 0 runs the
  // orderings only. The default costs a few milliseconds at most.
  std::uint64_t search_steps = 20'000;
  // Wall-clock limit on `Best`'s orderings and exact search, for callers that
  // ask for one; the result then depends on the machine's speed.
  std::optional<std::chrono::steady_clock::time_point> deadline;
};

[[nodiscard]] constexpr auto describe(std::type_identity<PlacementOptions>) {
  return describe_record<PlacementOptions>("PlacementOptions",
                                           field("strategy", &PlacementOptions::strategy),
                                           field("capacity", &PlacementOptions::capacity),
                                           field("search_steps", &PlacementOptions::search_steps),
                                           field("deadline", &PlacementOptions::deadline));
}

struct Placement {
  std::vector<std::uint64_t> offsets;  // one per buffer, in input order: the best placement found
  std::uint64_t peak = 0;              // highest offset + size
  std::uint64_t lower_bound = 0;  // most bytes live at one time, or the largest buffer if larger
  bool fits = false;              // peak <= capacity
  bool optimal = false;  // peak proven minimal (it equals the bound, or the search was exhausted)
  std::string method;    // what produced it: "first fit in list order", "exact search", ...
  friend bool operator==(const Placement&, const Placement&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Placement>) {
  return describe_record<Placement>(
      "Placement", field("offsets", &Placement::offsets), field("peak", &Placement::peak),
      field("lower_bound", &Placement::lower_bound), field("fits", &Placement::fits),
      field("optimal", &Placement::optimal), field("method", &Placement::method));
}

// Places every buffer at an offset that is a multiple of its alignment, so
// that any two buffers whose lifetimes meet occupy disjoint byte ranges.
// `FirstFit` serves the buffers in list order, each at the lowest admissible
// offset. `Best` keeps the lowest peak of several orderings and, where none
// reaches the bound (or, given a capacity, none fits), searches exactly,
// within `search_steps` and the deadline. Given a deadline, `Best` answers a
// bound over the capacity at once, with the buffers stacked in list order.
// Buffers of size 0 or with an empty lifetime occupy nothing and are placed
// at 0.
//
// Broken preconditions (upper < lower, alignment 0, sizes whose sum
// overflows) throw std::invalid_argument. Deterministic unless a deadline is
// given. A stop requested on `stop` throws Stopped within a few hundred
// placements.
[[nodiscard]] Placement place_buffers(std::span<const Buffer> buffers,
                                      const PlacementOptions& options,
                                      const std::stop_token& stop = {});

std::ostream& operator<<(std::ostream& out, const Buffer& buffer);
std::ostream& operator<<(std::ostream& out, PlacementStrategy strategy);
std::ostream& operator<<(std::ostream& out, const PlacementOptions& options);
std::ostream& operator<<(std::ostream& out, const Placement& placement);

}  // namespace zelk_compiler
